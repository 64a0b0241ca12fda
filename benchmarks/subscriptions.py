"""What subscribing and unsubscribing cost with many subscriptions live: one subscribe() and
close() pair with 80,000 others live, as a ratio to the same with 10 live.

    python benchmarks/subscriptions.py [--live N] [--cycles N] [--rounds N]

A Session and an AsyncSession each talk to a stand-in server (quelvant_standin). For each
count of live subscriptions, the session holds that many open and then times `cycles`
subscribe()/close() pairs; the counts are timed in interleaved chunks (10, N, 10, N ...) so
load from elsewhere hits both sides. A round's ratio is the mean pair with N live over the
mean with 10. Target: within 1.2x (the same cost). Nothing here asserts a timing: the
figures are printed, and the target marked pass or MISS.
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import time
from itertools import repeat

from quelvant_rs import session
from quelvant_standin.harness import StandInServer

TARGET = 1.2
CHUNKS = 5


def pairs(s, cycles: int) -> int:
    subscribe = s.subscribe
    t0 = time.perf_counter_ns()
    for _ in repeat(None, cycles):
        subscribe().close()
    return time.perf_counter_ns() - t0


def measure(s, counts: list[int], cycles: int) -> dict[int, float]:
    total = dict.fromkeys(counts, 0)
    for _ in range(CHUNKS):
        for live in counts:
            held = [s.subscribe() for _ in repeat(None, live)]
            total[live] += pairs(s, cycles)
            for sub in held:
                sub.close()
    return {live: ns / (cycles * CHUNKS) for live, ns in total.items()}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--live", type=int, default=80_000)
    parser.add_argument("--cycles", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    counts = [10, args.live]
    server = StandInServer().start()
    results: dict[str, list[float]] = {"Session": [], "AsyncSession": []}
    try:
        for r in range(args.rounds):
            order = counts if r % 2 == 0 else counts[::-1]
            with session.Session(server.host, server.port, "ivr", "secret") as s:
                ns = measure(s, order, args.cycles)
            results["Session"].append(ns[args.live] / ns[10])
            print(f"round {r + 1}: Session {ns[10]:.0f} ns with 10 live, {ns[args.live]:.0f} ns "
                  f"with {args.live:,}", flush=True)

            async def run():
                async with session.AsyncSession(server.host, server.port, "ivr", "secret") as s:
                    return measure(s, order, args.cycles)
            ns = asyncio.run(run())
            results["AsyncSession"].append(ns[args.live] / ns[10])
            print(f"round {r + 1}: AsyncSession {ns[10]:.0f} ns with 10 live, {ns[args.live]:.0f} "
                  f"ns with {args.live:,}", flush=True)
    finally:
        server.stop()
    for name, ratios in results.items():
        med = statistics.median(ratios)
        verdict = "pass" if med <= TARGET else "MISS"
        print(f"{name}: subscribe()+close() with {args.live:,} live / with 10 live: {med:.2f}x "
              f"(min {min(ratios):.2f}, max {max(ratios):.2f}; target <= {TARGET}x: {verdict})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
