"""Soak: a million calls and a thousand connect/disconnect cycles against the stand-in server.

Once the server has closed its side and the reader threads are gone, resident memory,
sys.getallocatedblocks() and the open descriptors must be back at their baseline (taken after
a warm-up), and no call may have kept a reference to any argument object. Error paths are
in the mix: every tenth call is refused at conversion. Figures go to stdout; the exit status
is 0 when every check holds.

    benchmarks/soak.sh                       # builds into .venv-soak, then runs this
    python benchmarks/soak.py [--calls N] [--cycles N]

Tolerances (stated, not tuned per run): RSS may end up to 1 MiB above its baseline (the C
library keeps some freed pages); allocated blocks and descriptors must return exactly
(within 50 blocks, for interpreter caches); reference counts must be equal.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import itertools
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT), str(ROOT / "tests")]

import quelvant_rs  # noqa: E402
from catalogue import COMMANDS, full_args, minimal_args  # noqa: E402
from standin_server.harness import StandInServer  # noqa: E402

QuelvantClient = quelvant_rs.client.QuelvantClient
Command = quelvant_rs.commands.Command

RSS_TOLERANCE = 1 << 20
LIBC = ctypes.CDLL(None)
BLOCK_TOLERANCE = 50


def rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def fds() -> int:
    return len(os.listdir("/proc/self/fd")) - 1  # less the listing's own


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def snapshot() -> dict[str, int]:
    gc.collect()
    LIBC.malloc_trim(0)  # hand freed heap pages back, so RSS shows what is still in use
    return {"rss": rss(), "blocks": sys.getallocatedblocks(), "fds": fds(), "threads": threads()}


def wait_for_threads(n: int, timeout: float = 120.0) -> None:
    """Reader threads end after the server's close; wait until only n threads are left."""
    deadline = time.monotonic() + timeout
    while threads() > n:
        if time.monotonic() > deadline:
            raise RuntimeError(f"{threads() - n} reader thread(s) still running after {timeout}s")
        time.sleep(0.01)


def method_name(cmd) -> str:
    return "get_protocol_version" if cmd.factory == "protocol_version" else cmd.factory


def build_calls(c: QuelvantClient) -> tuple[list, list]:
    """The calls to cycle through, and every argument object they pass."""
    calls: list = []
    arguments: list = []
    for cmd in COMMANDS:
        if cmd.factory == "quit":
            continue  # the server would end the connection
        method = getattr(c, method_name(cmd))
        if cmd.factory == "login" or not cmd.params:
            calls.append((method, ()))
            continue
        for make in (full_args, minimal_args):
            args = tuple(make(cmd)[0].values())
            arguments += args
            calls.append((method, args))
    command = Command.call_make(7, "1001", 30000, "42", "Bob", 0, 1)
    raw = "GetVersion"
    arguments += [command, raw]
    calls += [(c.send_command, (command,)), (c.send_raw_command, (raw,))]
    return calls, arguments


def refused_calls(c: QuelvantClient) -> tuple[list, list]:
    """Calls refused at conversion, each with the exception it must raise."""
    big, text_with_break, surrogate, wrong = 2**40, "a\nb", "a\ud800", 1.5
    calls = [
        (c.call_hold, (wrong,), TypeError),
        (c.call_hold, (big,), OverflowError),
        (c.call_clear, (1, text_with_break), ValueError),
        (c.call_clear, (1, surrogate), UnicodeEncodeError),
        (Command.play_tone, (1, 70000, None, None, None, None), OverflowError),
    ]
    return calls, [big, text_with_break, surrogate, wrong]


def soak_calls(server: StandInServer, count: int) -> None:
    c = QuelvantClient(server.host, server.port, None, "alice", "pw")
    c.connect()
    calls, _ = build_calls(c)
    refused, _ = refused_calls(c)
    ok = itertools.cycle(calls)
    bad = itertools.cycle(refused)
    for i in range(count):
        if i % 10 == 9:
            fn, args, exc = next(bad)
            try:
                fn(*args)
            except exc:
                pass
            else:
                raise AssertionError(f"{fn.__name__}{args} was not refused")
        else:
            fn, args = next(ok)
            fn(*args)
    server.close()
    c.disconnect()


def soak_cycles(server: StandInServer, count: int) -> None:
    for _ in range(count):
        c = QuelvantClient(server.host, server.port, None, None, None)
        c.connect()
        c.get_version()
        c.quit()  # the server answers, then closes its side
        c.disconnect()


def refcount_check(server: StandInServer, rounds: int) -> list[str]:
    """Argument objects keep their reference counts across many calls, sent or refused."""
    c = QuelvantClient(server.host, server.port, None, "alice", "pw")
    c.connect()
    calls, sent_args = build_calls(c)
    refused, refused_args = refused_calls(c)
    objects = sent_args + refused_args
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(rounds):
        for fn, args in calls:
            fn(*args)
        for fn, args, exc in refused:
            try:
                fn(*args)
            except exc:
                pass
    after = [sys.getrefcount(o) for o in objects]
    server.close()
    c.disconnect()
    return [f"{type(o).__name__} {o!r:.40}: {b} -> {a}" for o, b, a in zip(objects, before, after) if a != b]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--cycles", type=int, default=1_000)
    opts = parser.parse_args()

    # The reader prints every answer; fd 1 goes to /dev/null, the figures to the real stdout.
    report = os.fdopen(os.dup(1), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    checks: list[tuple[str, bool, str]] = []

    with StandInServer() as server:
        base_threads = threads()
        soak_calls(server, 20_000)  # warm-up: caches, malloc arenas, cached thread stacks
        soak_cycles(server, 200)
        wait_for_threads(base_threads)
        base = snapshot()

        started = time.monotonic()
        soak_calls(server, opts.calls)
        wait_for_threads(base_threads)
        after_calls = snapshot()
        calls_time = time.monotonic() - started

        started = time.monotonic()
        soak_cycles(server, opts.cycles)
        wait_for_threads(base_threads)
        after_cycles = snapshot()
        cycles_time = time.monotonic() - started

        leaked_refs = refcount_check(server, 2_000)
        wait_for_threads(base_threads)

    for label, snap in [("after calls", after_calls), ("after cycles", after_cycles)]:
        d_rss = snap["rss"] - base["rss"]
        d_blocks = snap["blocks"] - base["blocks"]
        d_fds = snap["fds"] - base["fds"]
        checks.append((f"{label}: RSS {d_rss / 1024:+.0f} KiB (tolerance {RSS_TOLERANCE >> 10} KiB)",
                       d_rss <= RSS_TOLERANCE, ""))
        checks.append((f"{label}: allocated blocks {d_blocks:+d} (tolerance {BLOCK_TOLERANCE})",
                       abs(d_blocks) <= BLOCK_TOLERANCE, ""))
        checks.append((f"{label}: open descriptors {d_fds:+d}", d_fds == 0, ""))
    checks.append((f"reference counts of argument objects: {len(leaked_refs)} changed",
                   not leaked_refs, "; ".join(leaked_refs[:5])))

    print(f"soak: {opts.calls:,} calls in {calls_time:.1f} s ({opts.calls / calls_time:,.0f}/s, "
          "every tenth refused at conversion)", file=report)
    print(f"soak: {opts.cycles:,} connect/disconnect cycles in {cycles_time:.1f} s", file=report)
    print(f"soak: baseline RSS {base['rss'] / 2**20:.1f} MiB, {base['blocks']:,} blocks, "
          f"{base['fds']} descriptors, {base['threads']} threads", file=report)
    for text, ok, detail in checks:
        print(f"soak: {'ok  ' if ok else 'FAIL'} {text}{' ' + detail if detail else ''}", file=report)
    failed = sum(not ok for _, ok, _ in checks)
    print(f"soak: {len(checks) - failed} checks passed, {failed} failed", file=report)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
