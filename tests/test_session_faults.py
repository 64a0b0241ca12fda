"""Both session classes under hostile servers and careless programs: crashes, hangs, lost or
misrouted replies, memory, wrong errors."""

from __future__ import annotations

import asyncio
import contextlib
import gc
import logging
import os
import re
import socket
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from pace import scaled
from session_driver import ASYNC, KINDS, drive, kinds  # noqa: F401 (drive: a fixture)

from quelvant_standin.harness import StandInError
from quelvant_rs import session


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

say("started")
"""
LIMIT = 6.0  # for a child whose every call should end within about a second or two


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
    """Waits for the child to end well, within limit of its start (its imports can take
    seconds under a sanitizer); what each outcome() said: classes, seconds, text."""
    assert proc.shows(proc.err, "started\n", timeout=scaled(60)), proc.err.decode()
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

    def test_a_request_each_reconnect_loses_before_it_goes_is_named_unsent(self, server, caplog):
        server.add_rule("Resync", fault="close")  # on_reconnect's request loses every connection
        s = session.Session(server.host, server.port, "ivr", "secret", reconnect_delay=0.001,
                            on_reconnect=lambda s: s.request("Resync"))
        server.drop_on("CallHold")
        with pytest.raises(ConnectionError):
            s.call_hold(1)
        with caplog.at_level(logging.CRITICAL, logger="quelvant_rs"):  # the hook's failures
            with pytest.raises(ConnectionError, match="^GetVersion was not sent: the connection"):
                s.get_version()
        s.close()

    def test_a_request_whose_limit_ran_out_while_reconnecting_is_not_sent(self, server):
        hook_over = threading.Event()
        s = session.Session(server.host, server.port, "ivr", "secret", reconnect_delay=0.001,
                            on_reconnect=lambda _: hook_over.wait(scaled(1.5)))
        server.drop_on("CallHold")
        with pytest.raises(ConnectionError):
            s.call_hold(1)
        with pytest.raises(TimeoutError, match="^GetVersion was not sent: its limit .0.5 s. ran out"):
            s.get_version(reply_timeout=0.5)  # the hook, connecting again, outlasts it
        assert server.received(1).count(b"\n") == 1  # the Login alone
        s.close()

    @kinds()
    def test_a_reconnect_whose_login_is_lost_tries_again(self, server, drive, kind):
        d = drive(kind, server, reconnect_attempts=3, reconnect_delay=0.001)
        server.drop_on("Login")  # the reconnect's first Login: its connection closed unanswered
        server.drop_on("CallHold")
        with pytest.raises(ConnectionError):
            d.call_hold(1)
        assert d.get_version().words[:2] == ["OK", "GetVersion"]
        assert server.wait_connections(3, timeout=scaled(5)) == 3

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

    @kinds(among=ASYNC)
    def test_a_connect_failing_inside_the_first_request(self, server, spawn, kind):
        proc = child(spawn, """
            import os, resource
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
            # A session used once first: UndefinedBehaviorSanitizer checks a class's first
            # virtual call through a pipe, which needs descriptors this test then takes.
            Driver(kind, port).get_version()
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
        d = drive(kind, server, timeout=scaled(5))
        # "COMMANDTAG=1" is what is left of another request's "=10".
        after(server, b"CallHold", lambda: server.close_mid_line("OK CallHold COMMANDTAG=1"))
        with pytest.raises(ConnectionError, match=r"lost while waiting for the reply to CallHold \(tag 1\)"):
            d.request("CallHold 1")
        ev = next(d.events(timeout=1))
        assert (ev.kind, ev.tag, ev.line) == ("line", None, "OK CallHold COMMANDTAG=1")

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


# -- memory -----------------------------------------------------------------------------------

class TestClose:
    def test_close_ends_a_call_pausing_between_reconnect_attempts(self, make_server, caplog):
        srv = make_server()
        s = session.Session(srv.host, srv.port, "ivr", "secret", timeout=None, reconnect_attempts=3,
                            reconnect_delay=60, reconnect_max_delay=60)
        srv.drop_on("CallHold")
        with pytest.raises(ConnectionError):
            s.call_hold(1)
        srv.stop()  # refused from now on: the next call spends its time in the pauses
        ended = []

        def request() -> None:
            try:
                s.get_version()
            except RuntimeError as closed:
                ended.append(closed)

        with caplog.at_level(logging.INFO, logger="quelvant_rs"):
            call = threading.Thread(target=request)
            call.start()
            deadline = time.monotonic() + scaled(10)
            while "connect attempt failed" not in caplog.text and time.monotonic() < deadline:
                time.sleep(0.01)
            s.close()
            call.join(scaled(2))
        assert not call.is_alive() and "closed" in str(ended[0])


class TestMemory:
    @kinds()
    def test_a_program_that_only_makes_requests_holds_no_more_events_than_the_window(
            self, server, drive, kind):
        d = drive(kind, server, max_events=4)
        for _ in range(3):
            server.send(b"Tick\n" * 50)  # before the reply, on the same connection
            d.get_version()
        assert repr(d.raw).endswith(", 4 events held>"), repr(d.raw)
        assert d.raw.stats.dropped == 146

    def test_sessions_that_made_requests_leave_nothing_in_the_threads_context(self, server):
        def sessions(n: int) -> None:
            for _ in range(n):
                with session.Session(server.host, server.port, "ivr", "secret") as s:
                    s.get_version()

        sessions(20)
        gc.collect()
        before = sys.getallocatedblocks()
        sessions(300)
        gc.collect()
        assert sys.getallocatedblocks() - before < 150  # two blocks a session, when each kept one

    @kinds()
    def test_the_logger_is_asked_by_names_made_once(self, server, drive, kind, monkeypatch):
        # A name made afresh for each call sits in the interpreter's method cache by its
        # address: a note per reconnect filled that cache with copies.
        logger = logging.getLogger("quelvant_rs.session")
        asked = []

        class Recording(type(logger)):
            def __getattribute__(self, name):
                asked.append(name)
                return super().__getattribute__(name)

        monkeypatch.setattr(logger, "__class__", Recording)
        d = drive(kind, server)
        server.drop_on("CallHold")
        with pytest.raises(ConnectionError):
            d.call_hold(4)
        d.get_version()  # connected again: its notes asked the logger again
        assert "isEnabledFor" in asked
        assert [n for n in asked if sys.intern(n) is not n] == []

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

    @pytest.mark.parametrize("word", ["Login", "GetVersion"])  # each reconnect lost, or the request after it
    @kinds()
    def test_losses_again_and_again_hold_one_mark(self, server, drive, kind, word):
        d = drive(kind, server, max_events=5, reconnect_attempts=1, reconnect_delay=0.001)
        server.close(conn=0, reset=True)  # a FIN would wait for the client's, which reads only in a call
        server.wait_closed(0)
        for _ in range(30):
            server.drop_on(word)
            with pytest.raises(ConnectionError):
                d.get_version()
        d.get_version()
        marks = []
        while True:  # the marks held for wait_for, until none is left
            try:
                marks.append(d.wait_for(lambda e: True, timeout=0.5).kind)
            except ConnectionError as e:
                assert "may be missing" in str(e), e
                marks.append("lost")
            except TimeoutError:
                break
        # Marks with no line between them say no more than the first: 30 losses, one mark,
        # and the reconnect's after it.
        assert marks == ["lost", "reconnected"], marks


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


# -- user code calling back, resolvers, secrets -----------------------------------------------

def wire_handler(body: str) -> str:
    """Child code installing a handler of the wire trace whose emit(record) runs body."""
    return f"""
import logging
class Handler(logging.Handler):
    def emit(self, record):
{textwrap.indent(textwrap.dedent(body), " " * 8)}
logging.getLogger("quelvant_rs.wire").addHandler(Handler())
logging.getLogger("quelvant_rs.wire").setLevel(logging.DEBUG)
"""


@pytest.fixture(scope="session")
def fake_resolver(tmp_path_factory) -> str:
    """A shared object that scripts getaddrinfo() in a child (see tests/fake_resolver.c)."""
    shim = tmp_path_factory.mktemp("resolver") / "fake_resolver.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(shim),
                    str(Path(__file__).with_name("fake_resolver.c")), "-ldl"], check=True)
    return str(shim)


@pytest.fixture
def resolving(monkeypatch, fake_resolver):
    """resolving(script): children started from now resolve the names script gives as it says."""
    def script(hosts: str) -> None:
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), fake_resolver]))
        monkeypatch.setenv("LD_PRELOAD", preload)
        monkeypatch.setenv("QV_FAKE_HOSTS", hosts)
    return script


@pytest.fixture
def dead_address(server):
    """127.0.0.2 at the server's port, where connecting hangs: a full backlog drops the SYN."""
    listener = socket.socket()
    listener.bind(("127.0.0.2", server.port))
    listener.listen(0)
    fillers = []
    for _ in range(3):
        c = socket.socket()
        c.setblocking(False)
        c.connect_ex(("127.0.0.2", server.port))
        fillers.append(c)
    yield "127.0.0.2"
    for c in fillers:
        c.close()
    listener.close()


class TestUserCodeAndNames:
    def test_a_predicate_that_takes_the_event_it_accepts_is_told_at_once(self, server):
        with session.Session(server.host, server.port, "ivr", "secret") as s:
            server.event("Tick")

            def judge(event):
                assert s.wait_for(lambda e: True, timeout=1).line == "Tick"  # takes it
                return True

            with pytest.raises(RuntimeError, match="taken by a call the predicate itself made"):
                s.wait_for(judge, timeout=scaled(5))

    @kinds(among=ASYNC)
    @pytest.mark.parametrize("when", ["batch", "queued before the Login"])
    def test_a_trace_handler_closing_the_session_midway(self, server, spawn, kind, when):
        proc = child(spawn, wire_handler("""
            if "GetVersion" in record.getMessage():
                d.raw.close()
        """) + textwrap.dedent("""
            d = Driver(kind, port, connect=when == "batch")
            async def scene():
                if when == "batch":
                    return await d.raw.request_batch(["GetVersion"] * 3)
                return await asyncio.gather(*(d.raw.get_version() for _ in range(3)))
            outcome(lambda: d.run(scene))
        """), kind=kind, port=server.port, when=when)
        [(names, _, text)] = outcomes(proc)
        assert "ConnectionError" in names and "closed" in text, text

    def test_order_holds_when_a_trace_handler_waits_for_events(self, server, drive):
        d = drive("thread", server)
        logger = logging.getLogger("quelvant_rs.wire")

        class Waiting(logging.Handler):
            def emit(self, record):
                if " < Tick" in record.getMessage():
                    with contextlib.suppress(TimeoutError, RuntimeError):
                        d.raw.wait_for(lambda e: False, timeout=0.05)
        handler = Waiting()
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG)
        try:
            with d.subscribe() as sub:
                server.send("".join(f"Tick {i}\n" for i in range(10)))
                assert [d.get(sub).line for _ in range(10)] == [f"Tick {i}" for i in range(10)]
        finally:
            logger.removeHandler(handler)
            logger.setLevel(logging.NOTSET)

    @kinds()
    def test_an_event_two_subscriptions_took_is_handed_out_once_each(self, server, drive, kind):
        d = drive(kind, server)
        first, second = d.subscribe(), d.subscribe()
        server.send("Tick 1\n")
        assert d.get(second).line == "Tick 1"
        first.close()  # its copy is not the window's to give again
        with pytest.raises(TimeoutError):
            d.wait_for(lambda e: True, timeout=0.2)
        second.close()

    @kinds()
    @pytest.mark.parametrize("line", ["Login\tbob\thunter2\t2\t3", "Login  bob \x0bhunter2 2 3",
                                      "login bob hunter2"])
    def test_a_login_is_masked_however_its_words_are_separated(self, server, drive, kind, caplog, line):
        caplog.set_level(logging.DEBUG, logger="quelvant_rs")
        d = drive(kind, server)
        with contextlib.suppress(session.ServerError):
            d.request(line)
        shown = [r.getMessage() for r in caplog.records if r.name == "quelvant_rs.wire"]
        assert any(" > " in m and "bob ***" in m for m in shown), shown
        assert not any("hunter2" in r.getMessage() or "hunter2" in repr(r.args) for r in caplog.records)

    @kinds()
    def test_without_logging_configured_a_window_drop_prints_nothing(self, make_server, spawn, kind):
        srv = make_server(trailing_events=3)
        proc = child(spawn, """
            d = Driver(kind, port, max_events=1)
            d.get_version()
            outcome(lambda: d.wait_for(lambda e: False, timeout=0.3))
            said(d.stats.dropped)
        """, kind=kind, port=srv.port)
        (waited, _, _), (_, _, dropped) = outcomes(proc)
        assert "TimeoutError" in waited and dropped == "2"
        assert "none was taken" not in proc.err.decode()  # the log record's words

    def test_ctrl_c_in_a_trace_handler_reaches_the_caller(self, server, spawn):
        proc = child(spawn, """
            import logging, os, signal
            logging.getLogger("quelvant_rs").setLevel(logging.DEBUG)
            unraisable = []
            sys.unraisablehook = unraisable.append
            class Interrupt(Exception): pass
            armed = False
            def handler(signum, frame):
                if armed:
                    raise Interrupt
            signal.signal(signal.SIGINT, handler)
            d = Driver("thread", port)
            stop = threading.Event()
            def interrupt():
                while not stop.wait(0.003):
                    os.kill(os.getpid(), signal.SIGINT)
            threading.Thread(target=interrupt, daemon=True).start()
            caught = calls = 0
            while caught < 50 and calls < 20000:
                try:
                    armed = True
                    d.get_version()
                    armed = False
                except Interrupt:
                    armed = False
                    caught += 1
                calls += 1
            stop.set()
            said(caught)
            said(len(unraisable))
        """, port=server.port)
        (_, _, caught), (_, _, unraisable) = outcomes(proc, limit=60)
        assert int(caught) == 50 and unraisable == "0", (caught, unraisable, proc.err.decode()[-2000:])

    def test_a_trace_handler_may_request_on_the_line_being_sent(self, server, spawn):
        proc = child(spawn, wire_handler("""
            if " > CallHold" in record.getMessage():
                outcome(lambda: d.raw.get_version(reply_timeout=3))
        """) + textwrap.dedent("""
            d = Driver("thread", port)
            outcome(lambda: d.request("CallHold 1"))
        """), port=server.port)
        (inner, _, _), (outer, _, _) = outcomes(proc)
        assert "Reply" in inner and "Reply" in outer, (inner, outer)

    def test_a_signal_handler_sending_while_its_thread_sends_is_refused_at_once(self, make_server, spawn):
        srv = make_server(rcvbuf=4096)
        proc = child(spawn, """
            import signal
            d = Driver("thread", port)
            say("ready"); sys.stdin.readline()
            def handler(signum, frame):
                outcome(lambda: d.raw.request("GetVersion", timeout=5))
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            outcome(lambda: d.raw.request("PlayFile 1 " + "a" * (8 << 20), timeout=1))
        """, port=srv.port)
        assert proc.shows(proc.err, "ready")
        srv.stall()
        proc.proc.stdin.write(b"go\n")
        proc.proc.stdin.flush()
        (inner, _, text), (outer, _, _) = outcomes(proc)
        assert "RuntimeError" in inner and "wait for itself" in text, text
        assert "TimeoutError" in outer

    @pytest.mark.parametrize("kind", KINDS)
    def test_a_dead_first_address_leaves_the_next_and_the_login_their_time(
            self, server, dead_address, resolving, spawn, kind):
        resolving(f"multi.test={dead_address},127.0.0.1")
        proc = child(spawn, """
            d = Driver(kind, port, host="multi.test", timeout=1)
            outcome(d.get_version)
        """, kind=kind, port=server.port)
        [(names, _, text)] = outcomes(proc)
        assert "Reply" in names, text

    @pytest.mark.parametrize("kind", KINDS)
    @pytest.mark.parametrize("script, timeout, expected", [
        ("slow.test@2.5=127.0.0.1", 3, "Reply"),
        ("slow.test@2.5=127.0.0.1", 1, "no answer within 1 s"),
        ("slow.test@-1=127.0.0.1", 1, "no answer within 1 s"),
    ], ids=["slow-in-time", "slow-too-late", "silent"])
    def test_the_resolver_is_bounded_by_the_timeout(self, server, resolving, spawn, kind,
                                                    script, timeout, expected):
        resolving(script)
        proc = child(spawn, """
            outcome(lambda: Driver(kind, port, host="slow.test", timeout=timeout).get_version())
        """, kind=kind, port=server.port, timeout=timeout)
        [(names, _, text)] = outcomes(proc, limit=LIMIT + 3)
        if expected == "Reply":
            assert "Reply" in names, text
        else:
            assert "gaierror" in names and text == f"Failed to resolve 'slow.test': the resolver gave {expected}", text

    def test_ctrl_c_while_resolving_is_answered(self, server, resolving, spawn):
        resolving("silent.test@-1=127.0.0.1")
        proc = child(spawn, """
            import os, signal
            threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
            try:
                Driver("thread", port, host="silent.test", timeout=None)
            except KeyboardInterrupt:
                say("outcome KeyboardInterrupt | 0 | interrupted")
        """, port=server.port)
        [(names, _, _)] = outcomes(proc)
        assert names == {"KeyboardInterrupt"}
