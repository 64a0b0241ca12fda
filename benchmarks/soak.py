"""Soak: a million calls and a thousand connect/disconnect cycles against the stand-in server,
then the same for a Session: a million requests, a thousand reconnects, a thousand sessions
opened and closed.

Once the server has closed its side and the reader threads are gone, resident memory,
sys.getallocatedblocks(), the open descriptors and the threads must be back at their baseline
(taken after a warm-up), and no call may have kept a reference to any argument object. Error
paths are in the mix: every tenth call is refused at conversion, and every tenth session
request is answered with a failure. Figures go to stdout; the exit status is 0 when every
check holds.

    benchmarks/soak.sh                       # builds into .venv-soak, then runs this
    python benchmarks/soak.py [--calls N] [--cycles N] [--requests N] [--reconnects N]
                              [--sessions N]

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
import quelvant_standin  # noqa: E402
from golden import GOLDEN  # noqa: E402
from quelvant_standin.harness import StandInServer  # noqa: E402

QuelvantClient = quelvant_rs.client.QuelvantClient
Command = quelvant_rs.commands.Command
Session = quelvant_rs.session.Session
ServerError = quelvant_rs.session.ServerError

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


def build_calls(c: QuelvantClient) -> tuple[list, list]:
    """The calls to cycle through, and every argument object they pass."""
    calls: list = []
    arguments: list = []
    for cmd in GOLDEN:
        if cmd.factory == "quit":
            continue  # the server would end the connection
        method = getattr(c, cmd.method)
        if cmd.factory == "login" or not cmd.top:
            calls.append((method, ()))
            continue
        for kwargs in (cmd.top, cmd.low):
            args = tuple(kwargs.values())
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


# ---- Session -----------------------------------------------------------------------------------

def open_session(server: StandInServer) -> Session:
    return Session(server.host, server.port, "alice", "pw", is_failure=quelvant_standin.failed)


def session_requests(s: Session) -> list:
    """Requests that succeed: (method, args, the word the reply names, None for any)."""
    requests: list = []
    for cmd in GOLDEN:
        if cmd.factory == "quit":
            continue  # the server would end the connection
        method = getattr(s, cmd.method)
        word = None if cmd.variant == "Login" else cmd.variant
        if not cmd.top:
            requests.append((method, (), word))
            continue
        for kwargs in (cmd.top, cmd.low):
            requests.append((method, tuple(kwargs.values()), word))
    requests += [
        (s.request, (Command.call_make(7, "1001", 30000, "42", "Bob", 0, 1),), "CallMake"),
        (s.request, (Command.get_version(),), "GetVersion"),
        (s.request, ("GetVersion",), "GetVersion"),
        (s.request, ("CallHold 7",), "CallHold"),
    ]
    return requests


def session_refused(s: Session) -> list:
    """Requests refused at conversion (TypeError), before any tag is taken or byte sent."""
    return [
        (s.call_hold, ("7",)),
        (s.call_hold, (1.5,)),
        (s.call_hold, (None,)),
        (s.call_clear, (1, 5)),
        (s.call_make, (7, 1001, None, None, None, None, None)),
        (s.resource_create_frontend, (None, None, None, "yes")),
        (s.request, (3.5,)),
        (s.request, (b"GetVersion",)),
        (s.call_hold, ()),
    ]


FAILING = ["NoSuchWord", "NoSuchWord 1 2 3", "callhold 7"]  # unknown words: ERROR replies


def soak_session_requests(server: StandInServer, count: int) -> None:
    """count requests on one Session. Tags run on without a gap, so a refused request took no
    tag, and it sent nothing: the server would have answered a line without a tag with an
    error, which would be an event here."""
    s = open_session(server)
    ok = itertools.cycle(session_requests(s))
    refused = itertools.cycle(session_refused(s))
    failing = itertools.cycle(FAILING)
    tag = 1  # after the login's
    for i in range(count):
        kind = i % 10
        if kind == 9:
            fn, args = next(refused)
            try:
                fn(*args)
            except TypeError:
                continue
            raise AssertionError(f"{fn.__name__}{args} was not refused")
        if kind == 4:
            text = next(failing)
            try:
                s.request(text)
            except ServerError as e:
                if e.reply.tag != tag or e.reply.words[:3] != ["ERROR", "unknown", "command"]:
                    raise AssertionError(f"{text!r}: failure reply {e.reply!r}, tag {tag} expected")
            else:
                raise AssertionError(f"{text!r} did not raise ServerError")
        else:
            fn, args, word = next(ok)
            reply = fn(*args)
            if reply.tag != tag or reply.words[0] != "OK" or (word and reply.words[1] != word):
                raise AssertionError(f"{fn.__name__}: reply {reply!r}, tag {tag} expected")
        tag += 1
    stray = list(s.events(timeout=0.2))
    if stray:
        raise AssertionError(f"{len(stray)} unexpected events, the first {stray[0]!r}")
    s.close()


def soak_reconnects(server: StandInServer, count: int) -> None:
    """The server drops the connection count times under a waiting request. The wait raises
    ConnectionError; the events stream then reconnects (logging in again: tags go on) and
    yields the "reconnected" mark in the gap's place, and the next request is answered."""
    s = open_session(server)
    tag = 1
    for _ in range(count):
        server.drop_on("CallHold")
        try:
            s.call_hold(4)
        except ConnectionError:
            pass
        else:
            raise AssertionError("call_hold answered on a dropped connection")
        mark = next(s.events(timeout=5))
        if mark.kind != "reconnected":
            raise AssertionError(f"the loss was not marked in the events: {mark!r}")
        reply = s.get_version()
        if reply.tag != tag + 2:  # the lost CallHold's tag, then the new login's
            raise AssertionError(f"get_version after a reconnect: {reply!r}, tag {tag + 2} expected")
        tag += 3
        stray = list(s.events(timeout=0))
        if stray:
            raise AssertionError(f"after a reconnect: events {stray!r}")
    s.close()


def soak_sessions(server: StandInServer, count: int) -> None:
    """count Sessions opened, used once and ended: by close(), by the with block, or by
    dropping the last reference."""
    for i in range(count):
        if i % 3 == 0:
            s = open_session(server)
            s.get_version()
            s.close()
        elif i % 3 == 1:
            with open_session(server) as s:
                s.get_version()
        else:
            open_session(server).get_version()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--cycles", type=int, default=1_000)
    parser.add_argument("--requests", type=int, default=1_000_000, help="requests on one Session")
    parser.add_argument("--reconnects", type=int, default=1_000)
    parser.add_argument("--sessions", type=int, default=1_000, help="Session open/close cycles")
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
        soak_session_requests(server, 20_000)
        soak_reconnects(server, 50)
        soak_sessions(server, 100)
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

        session_times = {}
        session_snaps = {}
        for label, run, count in [("requests", soak_session_requests, opts.requests),
                                  ("reconnects", soak_reconnects, opts.reconnects),
                                  ("sessions", soak_sessions, opts.sessions)]:
            started = time.monotonic()
            run(server, count)
            session_times[label] = time.monotonic() - started
            wait_for_threads(base_threads)
            session_snaps[label] = snapshot()

        leaked_refs = refcount_check(server, 2_000)
        wait_for_threads(base_threads)

    for label, snap in [("after calls", after_calls), ("after cycles", after_cycles),
                        ("after session requests", session_snaps["requests"]),
                        ("after session reconnects", session_snaps["reconnects"]),
                        ("after session open/close", session_snaps["sessions"])]:
        d_rss = snap["rss"] - base["rss"]
        d_blocks = snap["blocks"] - base["blocks"]
        d_fds = snap["fds"] - base["fds"]
        d_threads = snap["threads"] - base["threads"]
        checks.append((f"{label}: RSS {d_rss / 1024:+.0f} KiB (tolerance {RSS_TOLERANCE >> 10} KiB)",
                       d_rss <= RSS_TOLERANCE, ""))
        checks.append((f"{label}: allocated blocks {d_blocks:+d} (tolerance {BLOCK_TOLERANCE})",
                       abs(d_blocks) <= BLOCK_TOLERANCE, ""))
        checks.append((f"{label}: open descriptors {d_fds:+d}", d_fds == 0, ""))
        checks.append((f"{label}: threads {d_threads:+d}", d_threads == 0, ""))
    checks.append((f"reference counts of argument objects: {len(leaked_refs)} changed",
                   not leaked_refs, "; ".join(leaked_refs[:5])))

    print(f"soak: {opts.calls:,} calls in {calls_time:.1f} s ({opts.calls / calls_time:,.0f}/s, "
          "every tenth refused at conversion)", file=report)
    print(f"soak: {opts.cycles:,} connect/disconnect cycles in {cycles_time:.1f} s", file=report)
    rate = opts.requests / session_times["requests"] if opts.requests else 0
    print(f"soak: {opts.requests:,} Session requests in {session_times['requests']:.1f} s "
          f"({rate:,.0f}/s, every tenth refused at conversion, every tenth a failure reply)",
          file=report)
    print(f"soak: {opts.reconnects:,} Session reconnects in {session_times['reconnects']:.1f} s",
          file=report)
    print(f"soak: {opts.sessions:,} Session open/close cycles in {session_times['sessions']:.1f} s",
          file=report)
    print(f"soak: baseline RSS {base['rss'] / 2**20:.1f} MiB, {base['blocks']:,} blocks, "
          f"{base['fds']} descriptors, {base['threads']} threads", file=report)
    for text, ok, detail in checks:
        print(f"soak: {'ok  ' if ok else 'FAIL'} {text}{' ' + detail if detail else ''}", file=report)
    failed = sum(not ok for _, ok, _ in checks)
    print(f"soak: {len(checks) - failed} checks passed, {failed} failed", file=report)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
