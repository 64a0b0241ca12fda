"""What the stable-ABI wheel costs beside the version's own wheel, measured side by side.

    python benchmarks/abi3_cost.py [--rounds 5] [--quick]

The interpreter running this picks the wheels from dist/ (scripts/wheel.sh): its version's own
(cp313-cp313 on 3.13) is the baseline, the abi3 wheel the one measured. Each is installed
into a folder of its own under build/abi3-cost/, and every measurement runs in a fresh child
process that imports one of them. Rounds alternate the two (baseline, abi3, abi3, baseline,
...), so load from elsewhere falls on both. A round's figure is its process's best of five
chunks; the table shows each wheel's best round (load only ever slows one down) and the cost
as the ratio of the two bests, with the median and range of the ratios taken within each
round. Nothing here asserts a timing: it prints.

Workloads, against a loopback server in a child process of its own:
- factory: Command.call_make(...) in-process, the binding and conversion alone;
- send: QuelvantClient.call_make(...) to a server that only reads (the whole send path);
- round trip: Session.request("GetVersion") answered at once, one at a time;
- asyncio: AsyncSession requests in flight 100 at a time, requests per second.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

SERVER = r"""
import socket, sys, threading
mode = sys.argv[1]
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)

def serve(conn):
    with conn:
        buf = b""
        while True:
            data = conn.recv(1 << 20)
            if not data:
                return
            if mode == "drain":
                continue
            buf += data
            *lines, buf = buf.split(b"\n")
            out = []
            for line in lines:
                word, _, rest = line.partition(b" ")
                tag = line.rpartition(b"COMMANDTAG=")[2]
                out.append(b"OK " + word + b" COMMANDTAG=" + tag + b"\n")
            conn.sendall(b"".join(out))

import os
# Ends when the benchmark closes its stdin (a close would not wake a blocked accept).
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
while True:
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
"""

WORKLOAD = r"""
CHUNKS = 5
import asyncio, itertools, json, os, sys, time
from quelvant_rs import client, commands, session
what, port, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) // CHUNKS
Command = commands.Command

def timed(loop):
    # The best of the chunks, for the whole count: a chunk that met load elsewhere is dropped.
    best = float("inf")
    for _ in range(CHUNKS):
        started = time.perf_counter()
        loop()
        best = min(best, time.perf_counter() - started)
    return best * CHUNKS

if what == "factory":
    make = Command.call_make
    def loop():
        for _ in itertools.repeat(None, n):
            make(7, "1001", None, None, None, None, None)
    seconds = timed(loop)
elif what == "send":
    c = client.QuelvantClient("127.0.0.1", port, None, "u", "p")
    c.connect()
    send = c.call_make
    def loop():
        for _ in itertools.repeat(None, n):
            send(7, "1001", None, None, None, None, None)
    seconds = timed(loop)
elif what == "round trip":
    with session.Session("127.0.0.1", port, "u", "p") as s:
        request = s.request
        def loop():
            for _ in itertools.repeat(None, n):
                request("GetVersion")
        seconds = timed(loop)
else:
    async def main():
        async with session.AsyncSession("127.0.0.1", port, "u", "p") as s:
            best = float("inf")
            for _ in range(CHUNKS):
                started = time.perf_counter()
                for _ in range(n // 100):
                    await asyncio.gather(*(s.request("GetVersion") for _ in range(100)))
                best = min(best, time.perf_counter() - started)
            return best * CHUNKS
    seconds = asyncio.run(main())
print(json.dumps({"seconds": seconds, "module": sys.modules["quelvant_rs"].__file__}))
os._exit(0)  # the client's reader thread would print the server's close
"""

WORKLOADS = {  # name: (server mode, count, count when quick, unit)
    "factory": ("drain", 200_000, 50_000, "ns/call"),
    "send": ("drain", 100_000, 25_000, "ns/call"),
    "round trip": ("echo", 5_000, 1_500, "µs/request"),
    "asyncio": ("echo", 20_000, 5_000, "requests/s"),
}


def install(wheel: str, name: str) -> Path:
    target = ROOT / "build" / "abi3-cost" / f"{name}-{sys.version_info.major}.{sys.version_info.minor}"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                    "--no-deps", "--upgrade", "--target", str(target), wheel], check=True)
    return target


def run(site: Path, what: str, port: int, count: int) -> float:
    env = {**os.environ, "PYTHONPATH": str(site)}
    out = subprocess.run([sys.executable, "-c", WORKLOAD, what, str(port), str(count)], env=env,
                         check=True, capture_output=True, text=True).stdout
    result = json.loads(out.splitlines()[-1])
    if not result["module"].startswith(str(site)):
        sys.exit(f"abi3_cost: {what} ran {result['module']}, not the module in {site}")
    return result["seconds"]


def figure(seconds: float, count: int, unit: str) -> float:
    if unit == "requests/s":
        return count / seconds
    return seconds / count * (1e9 if unit == "ns/call" else 1e6)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--quick", action="store_true", help="smaller counts")
    args = parser.parse_args()
    cp = f"cp{sys.version_info.major}{sys.version_info.minor}"
    own = sorted(glob.glob(str(ROOT / "dist" / f"quelvant_rs-*-{cp}-{cp}-*.whl")))
    abi3 = sorted(glob.glob(str(ROOT / "dist" / "quelvant_rs-*-abi3-*.whl")))
    if not own or not abi3:
        sys.exit(f"abi3_cost: needs dist/*-{cp}-{cp}-*.whl and dist/*-abi3-*.whl (scripts/wheel.sh)")
    sites = {"own": install(own[-1], cp), "abi3": install(abi3[-1], "abi3")}
    print(f"CPython {sys.version.split()[0]} on {sysconfig.get_platform()}; {args.rounds} rounds")
    print(f"baseline {Path(own[-1]).name}\nmeasured {Path(abi3[-1]).name}\n")
    servers = {}
    for mode in ("drain", "echo"):
        proc = subprocess.Popen([sys.executable, "-c", SERVER, mode], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        servers[mode] = (proc, int(proc.stdout.readline()))
    rows = []
    try:
        for what, (mode, count, quick, unit) in WORKLOADS.items():
            count = quick if args.quick else count
            port = servers[mode][1]
            got = {"own": [], "abi3": []}
            ratios = []
            for r in range(args.rounds):
                order = ("own", "abi3") if r % 2 == 0 else ("abi3", "own")
                this = {name: figure(run(sites[name], what, port, count), count, unit) for name in order}
                for name, value in this.items():
                    got[name].append(value)
                # The cost as a ratio: above 1 means the abi3 wheel is slower.
                ratios.append(this["own"] / this["abi3"] if unit == "requests/s" else this["abi3"] / this["own"])
            best = min if unit != "requests/s" else max
            own_best, abi3_best = best(got["own"]), best(got["abi3"])
            cost = own_best / abi3_best if unit == "requests/s" else abi3_best / own_best
            rows.append((what, unit, own_best, abi3_best, cost, statistics.median(ratios),
                         min(ratios), max(ratios)))
    finally:
        for proc, _ in servers.values():
            proc.stdin.close()
            proc.wait()
    print(f"| workload | unit | {cp} wheel, best | abi3 wheel, best | abi3 cost | per round: median (min–max) |")
    print("|---|---|---:|---:|---:|---|")
    for what, unit, own_v, abi3_v, cost, ratio, lo, hi in rows:
        print(f"| {what} | {unit} | {own_v:,.1f} | {abi3_v:,.1f} | {cost:.3f} | {ratio:.3f} ({lo:.3f}–{hi:.3f}) |")
    print(textwrap.dedent("""
        abi3 cost: the abi3 wheel's best time over the baseline's (for requests/s, the
        baseline's best rate over the abi3 wheel's); 1.05 is 5 % slower."""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
