"""Command line: python -m standin_server --port N [--host ADDR] [--control-stdio]."""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from .server import StandInTcpServer


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m standin_server", description=__doc__)
    parser.add_argument("--port", type=int, required=True, help="TCP port, 0 for an ephemeral one")
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (127.0.0.1 or ::1)")
    parser.add_argument(
        "--rcvbuf", type=int, default=None, help="SO_RCVBUF for accepted connections (smaller stalls sooner)"
    )
    parser.add_argument(
        "--control-stdio", action="store_true", help="take JSON-lines control requests on stdin, reply on stdout"
    )
    args = parser.parse_args(argv)
    try:
        server = StandInTcpServer(args.host, args.port, args.rcvbuf)
    except (ValueError, OSError) as exc:
        print(f"standin_server: {exc}", file=sys.stderr)
        return 2
    server.start()
    print(server.listen_text(), flush=True)

    if args.control_stdio:
        from .control import serve_stdio

        serve_stdio(server)  # does not return
        return 0

    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    while not done.wait(0.5):
        pass
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
