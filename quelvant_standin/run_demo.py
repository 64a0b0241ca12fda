"""Runs a client script against a fresh stand-in server.

    python -m quelvant_standin.run_demo [--call-events] SCRIPT

The server listens on an ephemeral loopback port; the script gets host and port as its two
arguments. With --call-events the server also announces call progress and finished commands
(see README.md). The server is stopped when the script ends, whatever its outcome.
"""

from __future__ import annotations

import subprocess
import sys

from .harness import StandInServer

_USAGE = "usage: python -m quelvant_standin.run_demo [--call-events] SCRIPT"


def main(argv: list[str]) -> int:
    call_events = argv[:1] == ["--call-events"]
    if call_events:
        argv = argv[1:]
    if len(argv) != 1:
        print(_USAGE, file=sys.stderr)
        return 2
    with StandInServer(call_events=call_events) as server:
        print(f"stand-in server listening on {server.host}:{server.port}", flush=True)
        return subprocess.run(
            [sys.executable, argv[0], server.host, str(server.port)], timeout=60
        ).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
