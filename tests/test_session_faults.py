"""Both session classes under hostile servers and careless programs: crashes, hangs, lost or
misrouted replies, memory, wrong errors."""

from __future__ import annotations

import asyncio
import contextlib
import os
import re
import subprocess
import textwrap
import threading
import time
from pathlib import Path

import pytest
from pace import scaled
from conftest import blocked_in_syscall
from session_driver import ASYNC, KINDS, Driver, drive, kinds  # noqa: F401 (drive: a fixture)

from quelvant_standin.harness import StandInError
from quelvant_rs import session

SYS_POLL = 7  # x86-64


# -- scenarios in a child process: a crash or a hang there fails the test, not the run --------

CHILD = f"""
import asyncio, sys, threading, time
sys.path[:0] = [{str(Path(__file__).parent)!r}]
from session_driver import Driver

def say(*words):
    print(*words, file=sys.stderr, flush=True)

def said(result, seconds=0.0):
    # what a call came to (its result's or exception's classes), and how long it took
    names = " ".join(c.__name__ for c in type(result).__mro__)
    say("outcome", names, "|", round(seconds, 3), "|", str(result).replace("\\n", " "))

def outcome(call):
    started = time.monotonic()
    try:
        result = call()
    except Exception as exc:
        result = exc
    said(result, time.monotonic() - started)
    return result
"""
LIMIT = 6.0  # for a child whose every call should end within about a second or two (scaled)


def child(spawn, body: str, **values):
    """The scenario body in a fresh interpreter, with values as its variables."""
    assigned = "".join(f"{name} = {value!r}\n" for name, value in values.items())
    with pytest.MonkeyPatch.context() as env:
        # Under the sanitizers a child's report is its test's: on its stderr, not in the run's files.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
            if name in os.environ:
                env.setenv(name, re.sub(r"(^|:)log_path=[^:]*", "", os.environ[name]))
        return spawn(CHILD + assigned + textwrap.dedent(body))


def outcomes(proc, limit: float = LIMIT) -> list[tuple[set[str], float, str]]:
    """Waits for the child to end well; what each outcome() said: classes, seconds, text."""
    limit = scaled(limit)
    try:
        status = proc.finish(limit)
    except subprocess.TimeoutExpired:
        status = None
    assert status is not None, f"still running after {limit:.1f} s; it said:\n{proc.err.decode()}"
    assert status == 0, f"ended with status {status}:\n{proc.err.decode()[-3000:]}"
    said = [line.split(" ", 1)[1].split(" | ", 2) for line in proc.err.decode().splitlines()
            if line.startswith("outcome ")]
    return [(set(names.split()), float(seconds), text) for names, seconds, text in said]


def after(srv, until, action) -> None:
    """action() once the server received what until asks for (see wait_received), if it does."""
    def wait_then_act():
        with contextlib.suppress(StandInError):
            srv.wait_received(until, timeout=scaled(10))
            action()
    threading.Thread(target=wait_then_act, daemon=True).start()


class TestCrashes:
    @pytest.mark.parametrize("reentry", ["close", "wait_for"])
    @kinds()
    def test_a_predicate_calling_the_session_back(self, server, spawn, kind, reentry):
        server.mute("CallHold")
        after(server, b"CallHold", lambda: server.send("Tick\nTock\n"))  # one read, two events
        proc = child(spawn, """
            d = Driver(kind, port)
            def judge(event):
                outcome(lambda: d.raw.close() if reentry == "close" else d.raw.wait_for(lambda e: False, timeout=0.2))
                return True
            for result in d.together(lambda s: s.wait_for(judge, timeout=3), lambda s: s.request("CallHold 1", timeout=1)):
                said(result)
        """, kind=kind, port=server.port, reentry=reentry)
        inner, outer, _ = outcomes(proc)
        # Each call works or is refused in so many words; nothing is torn down under the wait.
        assert inner[0] & {"NoneType", "Pending", "TimeoutError", "RuntimeError"}, inner
        assert outer[0] & {"Event", "RuntimeError"}, outer


# What the server does with the Login, and how the connect must end then.
LOGIN_FAULTS = {
    "silent": (lambda srv: srv.mute("Login"), "TimeoutError"),
    "answers no reply": (lambda srv: (srv.mute("Login"), after(srv, b"Login", lambda: srv.send("Welcome\n"))),
                         "TimeoutError"),
    "closes": (lambda srv: srv.drop_on("Login"), "ConnectionError"),
    "resets": (lambda srv: srv.drop_on("Login", reset=True), "ConnectionError"),
}


class TestHangs:
    @kinds()
    def test_connect_ends_within_the_timeout_whatever_the_login_meets(self, make_server, spawn, kind):
        servers = [make_server() for _ in LOGIN_FAULTS]
        for srv, (script, _) in zip(servers, LOGIN_FAULTS.values()):
            script(srv)
        proc = child(spawn, """
            for port in ports:
                outcome(lambda: Driver(kind, port, timeout=1))
        """, kind=kind, ports=[srv.port for srv in servers])
        got = [names for names, _, _ in outcomes(proc)]
        assert len(got) == len(LOGIN_FAULTS)
        for names, (fault, (_, expected)) in zip(got, LOGIN_FAULTS.items()):
            assert expected in names, (fault, names)

    @kinds()
    def test_a_10_mb_batch_to_a_server_that_answers_as_it_reads(self, server, drive, kind):
        d = drive(kind, server, timeout=scaled(10))
        lines = ["GetVersion " + "x" * 40] * 150_000  # the replies fill both sides' buffers
        assert len(d.request_batch(lines)) == len(lines)

    @kinds()
    def test_a_reconnect_inside_a_call_keeps_to_the_calls_timeout(self, server, spawn, kind):
        server.drop_on("CallHold")
        proc = child(spawn, """
            d = Driver(kind, port, timeout=3, reconnect_attempts=1)
            say("ready"); sys.stdin.readline()
            outcome(lambda: d.request("CallHold 1"))
            outcome(lambda: d.request("GetVersion", timeout=0.5))
        """, kind=kind, port=server.port)
        assert proc.shows(proc.err, "ready")
        server.mute("Login")  # the reconnect's Login goes unanswered
        proc.proc.stdin.write(b"go\n")
        proc.proc.stdin.flush()
        (lost, _, _), (names, seconds, text) = outcomes(proc)
        assert "ConnectionError" in lost
        assert names & {"TimeoutError", "ConnectionError"} and seconds < scaled(2.5, below=3), (names, seconds, text)

    @kinds()
    def test_is_failure_calling_the_session_during_a_reconnect(self, server, spawn, kind):
        server.drop_on("CallHold")
        proc = child(spawn, """
            import quelvant_standin
            def judge(reply):
                if reply.words[1:2] == ["Login"] and reply.tag > 0:
                    outcome(lambda: d.raw.request("GetVersion", timeout=1))
                return quelvant_standin.failed(reply)
            d = Driver(kind, port, is_failure=judge)
            outcome(lambda: d.request("CallHold 1"))
            outcome(lambda: d.request("Logout"))
        """, kind=kind, port=server.port)
        (lost, _, _), (inner, _, _), (outer, _, _) = outcomes(proc)
        assert "ConnectionError" in lost
        assert inner & {"Reply", "Pending", "RuntimeError"}, inner
        assert outer & {"Reply", "RuntimeError"}, outer

    @kinds(among=["thread"])
    def test_a_blocked_sender_holds_no_other_thread_past_its_timeout(self, make_server, drive, kind):
        srv = make_server(rcvbuf=4096)
        d = drive(kind, srv, timeout=None)
        srv.stall()
        big = threading.Thread(target=lambda: d.request("PlayFile 1 " + "a" * (16 << 20)))
        big.start()
        assert blocked_in_syscall(os.getpid(), SYS_POLL)  # the big line waits for room
        ended: list[tuple[type, float]] = []

        def small() -> None:
            started = time.monotonic()
            try:
                d.request("GetVersion", timeout=0.5)
            except Exception as exc:
                ended.append((type(exc), time.monotonic() - started))
        others = [threading.Thread(target=small) for _ in range(2)]
        try:
            for t in others:
                t.start()
            deadline = time.monotonic() + scaled(5)
            for t in others:
                t.join(deadline - time.monotonic())
            assert len(ended) == 2 and all(exc is TimeoutError and took < scaled(1.5) for exc, took in ended), ended
        finally:
            srv.resume()
            big.join(scaled(30))
            for t in others:
                t.join(scaled(10))

    @kinds(among=ASYNC)
    def test_a_connect_failing_inside_the_first_request(self, server, spawn, kind):
        proc = child(spawn, """
            import os, resource
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
            d = Driver(kind, port, connect=False, timeout=None)
            async def first_call(s):
                taken = []
                try:
                    while True:
                        taken.append(os.open("/dev/null", os.O_RDONLY))
                except OSError:
                    pass
                try:
                    return await s.request("GetVersion")
                finally:
                    for fd in taken:
                        os.close(fd)
            outcome(lambda: d.run(first_call, d.raw))
        """, kind=kind, port=server.port)
        [(names, _, text)] = outcomes(proc)
        assert "OSError" in names and "TimeoutError" not in names and "Too many open files" in text, text

    @kinds(among=ASYNC)
    def test_close_from_another_thread_wakes_the_awaiting_task(self, server, spawn, kind):
        server.mute("CallHold")
        proc = child(spawn, """
            d = Driver(kind, port, timeout=None)
            closed_at = []
            def close_elsewhere():
                closed_at.append(time.monotonic())
                d.raw.close()
            async def wait(s):
                threading.Timer(0.3, close_elsewhere).start()
                try:
                    await asyncio.wait_for(s.request("CallHold 1"), 3)  # 3: only so that it ends
                finally:
                    say("woke", time.monotonic() - closed_at[0])
            outcome(lambda: d.run(wait, d.raw))
        """, kind=kind, port=server.port)
        [(names, _, text)] = outcomes(proc)
        woke = float(re.search(r"^woke (\S+)$", proc.err.decode(), re.M)[1])
        assert "ConnectionError" in names and woke < scaled(1, below=3), (names, text, woke)


# -- routing: every reply is returned to its request or held as an event ---------------------

IN_FLIGHT, ROUNDS = 20, 10


async def cancelled_as_replies_are_read(s, srv, lines):
    """Half the tasks are cancelled in the loop iteration that reads their replies, first."""
    tasks = [asyncio.create_task(s.request("GetVersion")) for _ in range(IN_FLIGHT)]
    await asyncio.sleep(0)  # the lines are written
    srv.wait_received(lines)  # and answered, while the loop stands still
    asyncio.get_running_loop().call_soon(lambda: [t.cancel() for t in tasks[::2]])
    await asyncio.wait(tasks)
    return tasks


async def timed_out_as_replies_are_read(s, srv, lines):
    async def limited():
        async with asyncio.timeout(0.01):
            return await s.request("GetVersion")
    tasks = [asyncio.create_task(limited()) for _ in range(IN_FLIGHT)]
    await asyncio.sleep(0)
    await asyncio.sleep(0)
    srv.wait_received(lines)
    time.sleep(0.02)  # the timeouts are due in the iteration that reads the replies
    await asyncio.wait(tasks)
    return tasks


async def group_failing_as_replies_are_read(s, srv, lines):
    async def fail():
        await asyncio.sleep(0)  # after the lines were written
        srv.wait_received(lines)
        raise LookupError
    tasks = []
    with contextlib.suppress(ExceptionGroup):
        async with asyncio.TaskGroup() as g:
            tasks = [g.create_task(s.request("GetVersion")) for _ in range(IN_FLIGHT)]
            g.create_task(fail())
    return tasks


class TestRouting:
    @pytest.mark.parametrize("scene", [cancelled_as_replies_are_read, timed_out_as_replies_are_read,
                                       group_failing_as_replies_are_read], ids=["cancel", "timeout", "taskgroup"])
    @kinds(among=ASYNC)
    def test_no_reply_is_lost_to_a_cancellation(self, server, drive, kind, scene):
        d = drive(kind, server, timeout=1)

        async def rounds(s):
            with s.subscribe() as late:  # the replies that become events, from the start
                for r in range(ROUNDS):
                    tasks = await scene(s, server, 1 + (r + 1) * IN_FLIGHT)
                    returned = {t.result().tag for t in tasks if not t.cancelled() and t.exception() is None}
                    missing = set(range(1 + r * IN_FLIGHT, 1 + (r + 1) * IN_FLIGHT)) - returned
                    with contextlib.suppress(TimeoutError):
                        while missing:
                            missing.discard((await late.get(timeout=1)).tag)
                    assert not missing, f"round {r}: replies neither returned nor held: {sorted(missing)}"

        d.run(rounds, d.raw)

    @kinds()
    def test_a_line_cut_by_the_close_answers_no_request(self, server, drive, kind):
        server.mute("CallHold")
        d = drive(kind, server)
        after(server, b"CallHold", lambda: server.close_mid_line("OK CallHold COMMANDTAG=1"))  # of tag 10's
        with pytest.raises(ConnectionError):
            d.request("CallHold 1")

    @kinds()
    def test_closing_inside_the_reader_glues_no_lines(self, server, drive, kind):
        server.mute("CallHold")

        def judge(reply):
            if reply.tag == 1:
                d.raw.close()
            return False
        d = drive(kind, server, is_failure=judge)
        after(server, lambda got: got.count(b"CallHold") == 3,
              lambda: server.send("".join(f"OK CallHold COMMANDTAG={t}\n" for t in (1, 2, 3))))  # one read
        for got in d.together(*(lambda s, i=i: s.request(f"CallHold {i}") for i in (1, 2, 3))):
            assert (isinstance(got, (ConnectionError, RuntimeError))
                    or got.line == f"OK CallHold COMMANDTAG={got.tag}"), got

    @kinds(among=ASYNC)
    def test_late_replies_of_a_cancelled_batch_become_events(self, server, drive, kind):
        server.delay("CallHold", 200)
        d = drive(kind, server)

        async def cancel(s):
            batch = asyncio.create_task(s.request_batch(["CallHold 1", "CallHold 2"]))
            await asyncio.sleep(0)
            server.wait_received(3)
            batch.cancel()
            with pytest.raises(asyncio.CancelledError):
                await batch
            return [(await s.wait_for(lambda e: e.tag == tag, timeout=2)).line for tag in (1, 2)]

        assert d.run(cancel, d.raw) == ["OK CallHold COMMANDTAG=1", "OK CallHold COMMANDTAG=2"]


# -- memory -----------------------------------------------------------------------------------

class TestMemory:
    @kinds(among=ASYNC)
    def test_timed_out_requests_leave_nothing_queued_behind(self, make_server, spawn, kind, monkeypatch):
        srv = make_server(rcvbuf=4096)
        if "ASAN_OPTIONS" in os.environ:  # freed memory must come back to count as freed
            monkeypatch.setenv("ASAN_OPTIONS", os.environ["ASAN_OPTIONS"] + ":quarantine_size_mb=1")
        proc = child(spawn, """
            import os
            d = Driver(kind, port, timeout=None)
            say("ready"); sys.stdin.readline()
            def rss():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
            async def pile_up(s):
                line = "PlayFile 1 " + "a" * 10_000
                before = rss()
                for _ in range(100):  # 100 MB of lines in all, none of which can leave
                    await asyncio.gather(*(s.request(line, timeout=0.01) for _ in range(100)), return_exceptions=True)
                return rss() - before
            outcome(lambda: d.run(pile_up, d.raw))
        """, kind=kind, port=srv.port)
        assert proc.shows(proc.err, "ready")
        srv.stall()
        proc.proc.stdin.write(b"go\n")
        proc.proc.stdin.flush()
        [(names, _, grown)] = outcomes(proc, limit=30)
        assert "int" in names and int(grown) < 32 << 20, grown

    @kinds()
    def test_failed_reconnects_hold_no_more_than_max_events(self, server, drive, kind):
        d = drive(kind, server, max_events=5, reconnect_attempts=1)
        server.close(conn=0)
        server.wait_closed(0)
        for _ in range(50):
            server.drop_on("Login")
            with pytest.raises(ConnectionError):
                d.get_version()
        d.get_version()
        steps, held = d.events(timeout=0.2), 0
        for _ in range(100):
            try:
                next(steps)
            except StopIteration:
                break
            except (ConnectionError, session.EventsDropped):
                pass
            held += 1
        assert held <= 5 + 2, f"{held} events and marks held"  # room for one loss and one reconnect


# -- errors -----------------------------------------------------------------------------------

class TestErrors:
    @kinds()
    def test_close_inside_the_events_loop_ends_it(self, server, drive, kind):
        d = drive(kind, server)
        for i in range(3):
            server.event(f"Tick n={i}")
        got = []
        for ev in d.events(timeout=2):
            got.append(ev.line)
            d.close()
        assert got == ["Tick n=0"]

    @kinds()
    def test_a_text_as_a_batch_and_nan_seconds_are_refused(self, server, drive, kind):
        d = drive(kind, server)
        with pytest.raises(TypeError):
            d.request_batch("GetVersion")
        with pytest.raises(ValueError, match="not a number"):
            d.request("GetVersion", timeout=float("nan"))
        with pytest.raises(ValueError, match="not a number"):
            Driver(kind, server.port, timeout=float("nan"))
        assert d.get_version().tag == 1  # nothing was sent before
