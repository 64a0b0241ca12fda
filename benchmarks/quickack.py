"""The wait for events written behind a reply by a server with Nagle's algorithm on.

The stand-in server (--trailing-events N) answers each GetVersion and then writes N event
lines, each in a write of its own, with TCP_NODELAY off: every write waits for the client's
acknowledgement of the one before. A client that lets the system delay its acknowledgements
waits tens of milliseconds per event; one that re-arms TCP_QUICKACK after every receive does
not. Timed per exchange, from the request until the last event is in the program's hands:

    plain          a Python socket client, no re-arm (the baseline)
    plain+rearm    the same, re-arming TCP_QUICKACK after each recv()
    Session        quelvant_rs Session: get_version(), then wait_for() the last event
    AsyncSession   the same on asyncio
    ... (before)   with --before DIR: the Session and AsyncSession of the build in DIR
                   (a directory holding an earlier quelvant_rs extension module)

Every client runs in a child process of its own, in turns, for --rounds rounds; the table
shows the median over all exchanges and each one's ratio to the plain client of the same run.

    .venv/bin/python benchmarks/quickack.py [--events 2] [--count 20] [--rounds 3] [--before DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def plain(port: int, events: int, count: int, rearm: bool) -> list[float]:
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buffer = b""

    def read_until(marker: bytes) -> None:
        nonlocal buffer
        while marker not in buffer:
            chunk = sock.recv(65536)
            if not chunk:
                raise RuntimeError("the server closed the connection")
            if rearm:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            buffer += chunk
        buffer = buffer[buffer.index(marker) + len(marker):]

    sock.sendall(b"Login ivr secret COMMANDTAG=0\n")
    read_until(b"COMMANDTAG=0\n")
    waits = []
    for tag in range(1, count + 1):
        t0 = time.perf_counter()
        sock.sendall(b"GetVersion COMMANDTAG=%d\n" % tag)
        read_until(b"Trailer Index=%d COMMANDTAG=%d\n" % (events, tag))
        waits.append(time.perf_counter() - t0)
    sock.close()
    return waits


def last_event(events: int, tag: int):
    want = f"Trailer Index={events} COMMANDTAG={tag}"
    return lambda e: e.line == want


def module_sync(port: int, events: int, count: int) -> list[float]:
    from quelvant_rs import session

    waits = []
    with session.Session("127.0.0.1", port, "ivr", "secret") as s:
        for _ in range(count):
            t0 = time.perf_counter()
            tag = s.get_version().tag
            s.wait_for(last_event(events, tag))
            waits.append(time.perf_counter() - t0)
    return waits


def module_async(port: int, events: int, count: int) -> list[float]:
    import asyncio

    from quelvant_rs import session

    async def run() -> list[float]:
        waits = []
        async with session.AsyncSession("127.0.0.1", port, "ivr", "secret") as s:
            for _ in range(count):
                t0 = time.perf_counter()
                tag = (await s.get_version()).tag
                await s.wait_for(last_event(events, tag))
                waits.append(time.perf_counter() - t0)
        return waits

    return asyncio.run(run())


def child(args: argparse.Namespace) -> None:
    if args.client == "plain":
        waits = plain(args.port, args.events, args.count, False)
    elif args.client == "plain+rearm":
        waits = plain(args.port, args.events, args.count, True)
    elif args.client == "Session":
        waits = module_sync(args.port, args.events, args.count)
    else:
        waits = module_async(args.port, args.events, args.count)
    print(json.dumps(waits))


def run_child(client: str, port: int, a: argparse.Namespace, module_dir: str | None) -> list[float]:
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    cmd = [sys.executable, __file__, "--child", client, "--port", str(port),
           "--events", str(a.events), "--count", str(a.count)]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--events", type=int, default=2, help="events behind each reply")
    p.add_argument("--count", type=int, default=20, help="exchanges per client and round")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--before", help="a directory with an earlier build of the module")
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--port", type=int, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        a.client = a.child
        child(a)
        return 0

    sys.path.insert(0, ROOT)
    from quelvant_standin.harness import StandInServer

    clients = [("plain", None), ("plain+rearm", None), ("Session", None), ("AsyncSession", None)]
    if a.before:
        clients += [("Session (before)", a.before), ("AsyncSession (before)", a.before)]
    waits: dict[str, list[float]] = {name: [] for name, _ in clients}
    with StandInServer(trailing_events=a.events) as server:
        for r in range(a.rounds):
            turn = clients[r % len(clients):] + clients[:r % len(clients)]
            for name, module_dir in turn:
                waits[name] += run_child(name.split(" ")[0], server.port, a, module_dir)
    base = statistics.median(waits["plain"])
    print(f"{a.events} events behind each reply, {a.count} exchanges x {a.rounds} rounds per client")
    print(f"{'client':<24}{'median ms':>12}{'max ms':>10}{'vs plain':>10}")
    for name, _ in clients:
        m = statistics.median(waits[name])
        print(f"{name:<24}{m * 1e3:>12.3f}{max(waits[name]) * 1e3:>10.3f}{m / base:>10.4f}")
    for name in ("Session", "AsyncSession"):
        if f"{name} (before)" in waits:
            ratio = statistics.median(waits[name]) / statistics.median(waits[f"{name} (before)"])
            print(f"{name} after / before: {ratio:.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
