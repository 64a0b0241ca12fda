"""What the wire trace costs with logging off: the blocking round trip and the asyncio runs,
this build against an earlier one, side by side.

    .venv/bin/python benchmarks/trace_cost.py --before DIR [--rounds 5] [--count 20000]
    .venv/bin/python benchmarks/trace_cost.py --before DIR --instructions

With --instructions the clients run under valgrind (callgrind) instead, and each row is the
instructions the client executes per request: counted for two run lengths and differenced, so
start-up, import and connecting drop out. Unlike times, these do not move with the load of a
shared machine.

DIR holds an earlier build of the module (its quelvant_rs extension file), e.g. one built from
the commit before the trace. Both run against the echo server of the benchmarks
(build/bench-tools/loopback_server, which benchmarks/run.sh compiles; built here with g++ when
missing), each measurement in a child process of its own, the two builds in turns within each
round. Logging is left as a program that never configures it has it (the root logger at
WARNING): the trace is off. With --logging-on the DEBUG trace goes to a null handler instead,
to show what it costs when it is on.

Rows: Session.get_version() ns per blocking round trip; AsyncSession requests/s with 100 in
flight. Each ratio is this build over the earlier one within a round (for the rate, earlier
over this one, so that above 1 always means slower); the median and range over the rounds.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import statistics
import subprocess
import sys
import time
from itertools import repeat
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "build" / "bench-tools"


def echo_server() -> tuple[subprocess.Popen, int]:
    binary = TOOLS / "loopback_server"
    source = ROOT / "benchmarks" / "tools" / "loopback_server.cpp"
    if not binary.exists() or source.stat().st_mtime > binary.stat().st_mtime:
        TOOLS.mkdir(parents=True, exist_ok=True)
        subprocess.run([os.environ.get("CXX", "g++"), "-std=c++20", "-O2", "-pthread", "-o", str(binary),
                        str(source)], check=True)
    proc = subprocess.Popen([str(binary), "echo"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    first = proc.stdout.readline().split()
    if len(first) != 2 or first[0] != "port":
        raise RuntimeError(f"loopback_server: unexpected start {first}")
    return proc, int(first[1])


def child_roundtrip(port: int, count: int) -> float:
    from quelvant_rs import session

    with session.Session("127.0.0.1", port, "ivr", "secret") as s:
        get_version = s.get_version
        for _ in repeat(None, 500):
            get_version()
        t0 = time.perf_counter_ns()
        for _ in repeat(None, count):
            get_version()
        return (time.perf_counter_ns() - t0) / count


def child_asyncio(port: int, count: int) -> float:
    from quelvant_rs import session

    inflight = 100

    async def drive(request, n: int) -> None:
        async def worker() -> None:
            for _ in repeat(None, n // inflight):
                await request()
        await asyncio.gather(*(worker() for _ in range(inflight)))

    async def run() -> float:
        async with session.AsyncSession("127.0.0.1", port, "ivr", "secret") as s:
            await drive(s.get_version, 2000)
            t0 = time.perf_counter_ns()
            await drive(s.get_version, count)
            return count / ((time.perf_counter_ns() - t0) / 1e9)

    return asyncio.run(run())


def run_child(what: str, port: int, count: int, module_dir: str | None, logging_on: bool,
              prefix: tuple[str, ...] = ()) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    cmd = [*prefix, sys.executable, __file__, "--child", what, "--port", str(port), "--count", str(count)]
    if logging_on:
        cmd.append("--logging-on")
    return subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)


def measured(what: str, port: int, count: int, module_dir: str | None, logging_on: bool) -> float:
    return json.loads(run_child(what, port, count, module_dir, logging_on).stdout)


CALLGRIND = ("valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null")


def instructions(what: str, port: int, count: int, module_dir: str | None, logging_on: bool) -> int:
    err = run_child(what, port, count, module_dir, logging_on, CALLGRIND).stderr
    found = re.search(r"Collected : (\d+)", err)
    if not found:
        raise RuntimeError(f"callgrind gave no total: {err[-500:]}")
    return int(found.group(1))


def instruction_rows(a: argparse.Namespace, port: int) -> None:
    short, long = 2000, 6000
    print(f"instructions per request (callgrind, runs of {short} and {long} differenced, median of 3)")
    for what in ("roundtrip", "asyncio"):
        per = {}
        for name, d in (("before", a.before), ("after", None)):
            on = a.logging_on and name == "after"
            # The median of three: the interpreter's allocations move a count by a few per cent.
            per[name] = statistics.median(
                (instructions(what, port, long, d, on) - instructions(what, port, short, d, on)) / (long - short)
                for _ in range(3))
        print(f"  {what:<10} before {per['before']:>10.0f}  after {per['after']:>10.0f}  "
              f"after/before {per['after'] / per['before']:.4f}")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--before", help="a directory with an earlier build of the module")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--count", type=int, default=20000)
    p.add_argument("--logging-on", action="store_true")
    p.add_argument("--instructions", action="store_true", help="count instructions under callgrind")
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--port", type=int, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        if a.logging_on:
            import logging
            logging.getLogger("quelvant_rs").addHandler(logging.NullHandler())
            logging.getLogger("quelvant_rs").setLevel(logging.DEBUG)
        fn = child_roundtrip if a.child == "roundtrip" else child_asyncio
        print(json.dumps(fn(a.port, a.count)))
        return 0
    if not a.before:
        p.error("--before DIR is required")
    server, port = echo_server()
    if a.instructions:
        try:
            instruction_rows(a, port)
        finally:
            server.stdin.close()
            server.wait()
        return 0
    ratios: dict[str, list[float]] = {"roundtrip": [], "asyncio": []}
    values: dict[str, list[float]] = {}
    try:
        for r in range(a.rounds):
            for what in ("roundtrip", "asyncio"):
                order = [("before", a.before), ("after", None)]
                if r % 2:
                    order.reverse()
                got = {name: measured(what, port, a.count, d, a.logging_on and name == "after")
                       for name, d in order}
                for name, v in got.items():
                    values.setdefault(f"{what} {name}", []).append(v)
                ratio = got["after"] / got["before"] if what == "roundtrip" else got["before"] / got["after"]
                ratios[what].append(ratio)
    finally:
        server.stdin.close()
        server.wait()
    trace = "on (DEBUG to a NullHandler)" if a.logging_on else "off"
    print(f"wire trace {trace}; {a.rounds} rounds, {a.count} requests per run")
    for key, vs in values.items():
        unit = "ns per round trip" if key.startswith("roundtrip") else "requests/s"
        print(f"  {key:<18} median {statistics.median(vs):>12.1f} {unit}  ({min(vs):.1f} - {max(vs):.1f})")
    for what, rs in ratios.items():
        print(f"{what:<10} after/before cost ratio: median {statistics.median(rs):.4f} "
              f"(min {min(rs):.4f}, max {max(rs):.4f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
