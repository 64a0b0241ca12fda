"""Copies a step's output through as it comes, and says that the step is still running when it
has printed nothing for a while (a compile of one large file, a slow test, a fuzzing run), so
that no step of a run is silent for longer than that.

    COMMAND 2>&1 | python3 scripts/heartbeat.py NAME [SECONDS]

SECONDS (default 10) is the longest silence. It ends when its input does.
"""

from __future__ import annotations

import os
import select
import sys
import time


def main() -> None:
    name = sys.argv[1]
    quiet_limit = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    started = last = time.monotonic()
    at_line_start = True
    out = sys.stdout.buffer
    while True:
        ready, _, _ = select.select([0], [], [], max(0.0, last + quiet_limit - time.monotonic()))
        now = time.monotonic()
        if ready:
            data = os.read(0, 65536)
            if not data:
                return
            out.write(data)
            at_line_start = data.endswith(b"\n")
        else:
            note = f"   ({name}: still running, {now - started:.0f} s)\n"
            out.write(("" if at_line_start else "\n").encode() + note.encode())
            at_line_start = True
        out.flush()
        last = now


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
