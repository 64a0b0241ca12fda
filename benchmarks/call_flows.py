"""A call flow written the race-free way with a resource handle and a completion, against
the same flow written by hand with a subscription made before each send: 500 flows at once
on one AsyncSession, as a ratio.

    python benchmarks/call_flows.py [--flows N] [--rounds N]

Both flows run against one stand-in server (quelvant_standin, call events and finished lines
sent at once): resource_create_frontend, call_make, its CallConnected, play_file, its
PlayFinished. A round runs the two kinds in interleaved chunks; its ratio is the handle
flows' time over the hand-written ones'. Target: within 1.2x. Nothing here asserts a timing:
the figures are printed, and the target marked pass or MISS.
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import time

from quelvant_rs import session
from quelvant_standin.harness import StandInServer

TARGET = 1.2
CHUNKS = 3


async def with_handle(s) -> None:
    rid = int((await s.resource_create_frontend()).fields["ResourceId"])
    async with s.resource(rid) as call:
        await call.call_make("1001")
        await call.wait_for(lambda e: e.words[0] == "CallConnected")
        await s.completion(await call.play_file("hello.wav"))


async def by_hand(s) -> None:
    rid = (await s.resource_create_frontend()).fields["ResourceId"]

    def about(word):
        return lambda e: e.words[:1] == [word] and e.fields.get("ResourceId") == rid
    with s.subscribe(about("CallConnected")) as connected:
        await s.call_make(int(rid), "1001")
        await connected.get()
    with s.subscribe(about("PlayFinished")) as finished:
        await s.play_file(int(rid), "hello.wav")
        await finished.get()


async def run(s, flow, flows: int) -> int:
    t0 = time.perf_counter_ns()
    await asyncio.gather(*(flow(s) for _ in range(flows)))
    return time.perf_counter_ns() - t0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--flows", type=int, default=500)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    server = StandInServer(call_events=True, event_delay_ms=0, finish_delay_ms=0).start()
    ratios = []

    async def rounds():
        async with session.AsyncSession(server.host, server.port, "ivr", "secret") as s:
            await run(s, with_handle, args.flows)  # warm up
            await run(s, by_hand, args.flows)
            for r in range(args.rounds):
                totals = {"handle": 0, "hand": 0}
                order = [("handle", with_handle), ("hand", by_hand)]
                for _ in range(CHUNKS):
                    for name, flow in (order if r % 2 == 0 else order[::-1]):
                        totals[name] += await run(s, flow, args.flows)
                ratios.append(totals["handle"] / totals["hand"])
                print(f"round {r + 1}: {args.flows} flows with handles {totals['handle'] / CHUNKS / 1e6:.1f} ms, "
                      f"by hand {totals['hand'] / CHUNKS / 1e6:.1f} ms", flush=True)
    try:
        asyncio.run(rounds())
    finally:
        server.stop()
    med = statistics.median(ratios)
    print(f"handle-based flow / hand-written flow with subscribe() before each send: {med:.2f}x "
          f"(min {min(ratios):.2f}, max {max(ratios):.2f}; target <= {TARGET}x: "
          f"{'pass' if med <= TARGET else 'MISS'})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
