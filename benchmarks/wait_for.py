"""wait_for after ignored events: what a call and a wait for the event it causes cost once
100,000 events nobody takes came before, as a ratio to the same with none before.

    benchmarks/wait_for.sh                       # builds into .venv-bench, then runs this
    python benchmarks/wait_for.py [--ignored N] [--cycles N] [--rounds N]

Each class (Session, AsyncSession) talks to two `loopback_server events N LINE on-request
EVENT` servers, one with N ignored events and one with none: the first request after the
login is answered after N lines "PlayFinished ResourceId=1", and every answer is followed by
"CallConnected ResourceId=7" in the same write. A cycle is the program's pattern from the
README: `call_make(7, "1001")`, then `wait_for(lambda e: e.words[:1] == ["CallConnected"])`;
the PlayFinished lines are never taken. Both sessions are timed in interleaved chunks
(A B A B ...), so load from elsewhere hits both sides of the ratio; a round's ratio is the
mean cycle with N ignored over the mean with none. Target: within 1.5x. Nothing here asserts
a timing: the figures are printed, and the target marked pass or MISS.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import time
from itertools import repeat
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = Path(os.environ.get("BENCH_TOOLS", ROOT / "build" / "bench-tools"))

from quelvant_rs import session  # noqa: E402

HOST = "127.0.0.1"
IGNORED_LINE = "PlayFinished ResourceId=1"
CAUSED_LINE = "CallConnected ResourceId=7"
TARGET = 1.5
CHUNKS = 5


def connected(event) -> bool:
    return event.words[:1] == ["CallConnected"]


class Server:
    def __init__(self, ignored: int):
        self.proc = subprocess.Popen(
            [str(TOOLS / "loopback_server"), "events", str(ignored), IGNORED_LINE, "on-request", CAUSED_LINE],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        self.port = int(self.proc.stdout.readline().split()[1])

    def stop(self) -> None:
        self.proc.stdin.close()
        self.proc.wait(timeout=5)


def sync_round(ignored: int, cycles: int, settings: dict) -> tuple[float, float]:
    servers = [Server(0), Server(ignored)]
    sessions = [session.Session(HOST, srv.port, "bench", "bench", timeout=60, **settings) for srv in servers]
    try:
        for s in sessions:  # the flood (or none), the event it is followed by, a warm-up
            s.request("Flood")
            s.wait_for(connected)
            for _ in range(200):
                s.call_make(7, "1001")
                s.wait_for(connected)
        spent = [0, 0]
        per_chunk = cycles // CHUNKS
        for _ in range(CHUNKS):
            for i, s in enumerate(sessions):
                call_make, wait_for = s.call_make, s.wait_for
                t0 = time.perf_counter_ns()
                for _ in repeat(None, per_chunk):
                    call_make(7, "1001")
                    wait_for(connected)
                spent[i] += time.perf_counter_ns() - t0
        n = per_chunk * CHUNKS
        return spent[0] / n / 1000, spent[1] / n / 1000
    finally:
        for s in sessions:
            s.close()
        for srv in servers:
            srv.stop()


def async_round(ignored: int, cycles: int, settings: dict) -> tuple[float, float]:
    async def main() -> tuple[float, float]:
        servers = [Server(0), Server(ignored)]
        sessions = [session.AsyncSession(HOST, srv.port, "bench", "bench", timeout=60, **settings) for srv in servers]
        try:
            for s in sessions:
                await s.connect()
                await s.request("Flood")
                await s.wait_for(connected)
                for _ in range(200):
                    await s.call_make(7, "1001")
                    await s.wait_for(connected)
            spent = [0, 0]
            per_chunk = cycles // CHUNKS
            for _ in range(CHUNKS):
                for i, s in enumerate(sessions):
                    call_make, wait_for = s.call_make, s.wait_for
                    t0 = time.perf_counter_ns()
                    for _ in repeat(None, per_chunk):
                        await call_make(7, "1001")
                        await wait_for(connected)
                    spent[i] += time.perf_counter_ns() - t0
            n = per_chunk * CHUNKS
            return spent[0] / n / 1000, spent[1] / n / 1000
        finally:
            for s in sessions:
                await s.close()
            for srv in servers:
                srv.stop()

    return asyncio.run(main())


def summary(values: list[float], unit: str = "") -> str:
    return f"{statistics.median(values):.2f}{unit} ({min(values):.2f}-{max(values):.2f})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ignored", type=int, default=100_000)
    parser.add_argument("--cycles", type=int, default=5_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--max-events", type=int, help="the window's size (default: the session's default)")
    a = parser.parse_args()
    settings = {"max_events": a.max_events} if a.max_events else {}
    if not (TOOLS / "loopback_server").exists():
        print(f"no {TOOLS / 'loopback_server'}: run benchmarks/wait_for.sh", file=sys.stderr)
        return 2
    print(f"{a.rounds} rounds, {a.cycles:,} cycles per session and round, "
          f"{a.ignored:,} events ignored before, max_events {a.max_events or 'at its default'}")
    status = 0
    for name, run in [("Session", sync_round), ("AsyncSession", async_round)]:
        base, loaded, ratios = [], [], []
        for _ in range(a.rounds):
            none, many = run(a.ignored, a.cycles, settings)
            base.append(none)
            loaded.append(many)
            ratios.append(many / none)
        verdict = "pass" if statistics.median(ratios) <= TARGET else "MISS"
        if verdict == "MISS":
            status = 1
        print(f"{name}: call_make + wait_for, none ignored before: {summary(base, ' us')}")
        print(f"{name}: call_make + wait_for, {a.ignored:,} ignored before: {summary(loaded, ' us')}")
        print(f"{name}: ratio {summary(ratios, 'x')}  target <= {TARGET}x  {verdict}")
    return status


if __name__ == "__main__":
    sys.exit(main())
