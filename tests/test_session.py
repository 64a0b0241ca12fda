"""Both session classes over loopback against the stand-in server (through Driver, which makes
AsyncSession's calls blocking on a loop of its own): replies by tag, events, timeouts,
connection loss and reconnect, bounded memory, refused calls; then what is Session's own:
threads, Ctrl-C, closing, fork()."""

from __future__ import annotations

import asyncio
import contextlib
import copy
import inspect
import os
import pickle
import signal
import threading
import time

import pytest
from pace import scaled
from golden import GOLDEN
from conftest import blocked_in_syscall
from session_driver import ASYNC, Driver, drive, kinds, warm_up  # noqa: F401 (drive: a fixture)

import quelvant_standin
from quelvant_standin.harness import StandInServer
import quelvant_rs
from quelvant_rs import commands, session

Command = commands.Command
Session = session.Session
Reply, Event = session.Reply, session.Event
AsyncSession = session.AsyncSession
IDS = [g.factory for g in GOLDEN]
SYS_POLL = 7  # x86-64
NAN = float("nan")


def process_counts() -> tuple[int, int]:
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


@pytest.fixture
def calls(make_server):
    """A server that follows calls and long commands with their events at once."""
    return make_server(call_events=True, event_delay_ms=0, finish_delay_ms=0)


@kinds()
def test_call_flow_takes_ids_from_replies_and_waits_for_events(calls, drive, kind):
    s = drive(kind, calls)
    front = s.resource_create_frontend(None, None, None, True)
    assert type(front) is Reply and front.tag == 1
    assert front.words == ["OK", "ResourceCreateFrontEnd", front.words[2], "COMMANDTAG=1"]
    rid = int(front.fields["ResourceId"])
    assert s.call_make(rid, "1001", None, None, None, None, None).line == "OK CallMake COMMANDTAG=2"
    connected = s.wait_for(lambda e: e.words[:1] == ["CallConnected"], timeout=scaled(5))
    assert (connected.tag, connected.line, connected.kind) == (None, f"CallConnected ResourceId={rid}", "line")
    played = s.request(Command.play_file(rid, "hello.wav", None, None, None, None, None))
    finished = s.wait_for(lambda e: e.words[:1] == ["PlayFinished"], timeout=scaled(5))
    assert finished.tag == played.tag == 3  # the later stage carries its command's tag
    # Logged in first, with the stored credentials, as QuelvantClient.login() sends it.
    assert calls.received(0).startswith(b"Login ivr secret 2 3 COMMANDTAG=0\n")


def test_reply_and_event_are_immutable_values(calls, drive):
    r = drive("thread", calls).get_version()
    assert repr(r) == "Reply(tag=1, line='OK GetVersion Version=standin-1.0 COMMANDTAG=1')"
    r.words.append("x")
    r.fields["x"] = "y"
    assert r.words[-1] == "COMMANDTAG=1" and "x" not in r.fields
    for name in ("tag", "line", "words", "fields"):
        with pytest.raises(AttributeError):
            setattr(r, name, None)
    with pytest.raises(TypeError, match="No constructor defined for Reply"):
        Reply()
    match r:
        case Reply(tag, line):
            assert (tag, line) == (r.tag, r.line)


def test_replies_events_and_session_errors_survive_pickle_under_their_builtins_names(calls):
    with Session(calls.host, calls.port, "ivr", "secret", is_failure=quelvant_standin.failed) as s:
        reply = s.get_version()
        calls.send("Tick 7 COMMANDTAG=99\nTock\n")
        tagged = s.wait_for(lambda e: e.words[:1] == ["Tick"], timeout=scaled(5))
        untagged = s.wait_for(lambda e: e.words[:1] == ["Tock"], timeout=scaled(5))
        with pytest.raises(session.ServerError) as failed:
            s.request("Bogus 1")
    dropped = session.EventsDropped("3 events were dropped here")
    dropped.count = 3
    for original in (reply, tagged, untagged, failed.value, dropped):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            copy = pickle.loads(pickle.dumps(original, protocol))
            assert type(copy) is type(original) and type(copy).__module__ == "builtins"
            assert repr(copy) == repr(original) and copy is not original
            for name in ("tag", "line", "words", "fields", "kind", "count"):
                assert getattr(copy, name, None) == getattr(original, name, None), name
    assert repr(pickle.loads(pickle.dumps(failed.value)).reply) == repr(failed.value.reply)


@pytest.fixture(scope="module")
def shared_server():
    """One server for many short sessions; each test finds its own connection."""
    with StandInServer() as srv:
        yield srv


@pytest.mark.parametrize("cmd", GOLDEN, ids=IDS)
@kinds()
def test_every_command_method_sends_the_factory_line_and_returns_its_reply(shared_server, drive, kind, cmd):
    server = shared_server
    kwargs, minimal = cmd.top, cmd.low
    required = [minimal[p.name] for p in cmd.params if not p.optional]
    P = inspect.Parameter
    for cls in (Session, AsyncSession):
        params = list(inspect.signature(getattr(cls, cmd.method)).parameters.values())[1:]
        assert [(p.name, p.kind, p.default) for p in params] == [
            *((p.name, P.POSITIONAL_OR_KEYWORD, None if p.optional else P.empty) for p in cmd.params),
            ("reply_timeout", P.KEYWORD_ONLY, session.SESSION_TIMEOUT)]
        assert params[-1].default is session.SESSION_TIMEOUT
    conn = server.connections()
    s = drive(kind, server)
    reply = getattr(s, cmd.method)(**kwargs)
    sent = 1
    if cmd.variant != "Quit":  # after which the server closes
        getattr(s, cmd.method)(*minimal.values())
        getattr(s, cmd.method)(*required, reply_timeout=5)  # the optional ones left out
        sent = 3
    s.close()
    line, with_nones = "".join(cmd.top_pieces), "".join(cmd.low_pieces)
    assert reply.tag == 1
    lines = server.wait_received(1 + sent, conn=conn).splitlines()[1:]
    assert lines[0] == f"{line} COMMANDTAG=1".encode()
    assert lines[1:] == [f"{with_nones} COMMANDTAG={tag}".encode() for tag in range(2, sent + 1)]
    if cmd.variant != "Login":  # the stand-in server's answer names the command word
        assert reply.words[:2] == ["OK", cmd.variant]


@kinds()
def test_failed_replies_raise_server_error_by_the_predicate(server, drive, kind):
    s, plain = drive(kind, server), drive(kind, server, is_failure=None)
    with pytest.raises(session.ServerError) as e:
        s.request("Bogus 1", timeout=None)
    assert str(e.value) == "Bogus (tag 1) failed: ERROR unknown command Bogus COMMANDTAG=1"
    assert e.value.reply.tag == 1
    # Without a predicate the layer does not guess: the reply is returned.
    assert plain.request("Bogus 2").line == "ERROR unknown command Bogus COMMANDTAG=1"
    # A raising predicate's own exception comes through.
    def broken(reply):
        raise LookupError("no rule")
    with pytest.raises(LookupError):
        drive(kind, server, is_failure=broken)  # the login's reply is checked too


@kinds()
def test_refused_login_raises_from_connecting_and_leaves_nothing(make_server, kind):
    srv = make_server(refuse_login=True)
    warm_up(kind)
    before = process_counts()
    def refused():
        return pytest.raises(session.ServerError, match=r"^Login \(tag 0\) failed: ERROR Login refused")
    with refused():
        Driver(kind, srv.port)
    assert process_counts() == before
    if kind == "thread":
        return
    d = Driver(kind, srv.port, connect=False)

    async def enter(s):
        queued = s.get_version()  # made while connecting: fails the same way
        with refused():
            async with s:
                pass
        with refused():
            await queued

    try:
        d.run(enter, d.raw)
    finally:
        d.runner.close()


@kinds()
def test_events_in_order_until_quiet_and_wait_for_leaves_the_others(server, drive, kind):
    s = drive(kind, server)
    for i in range(3):
        server.event(f"Tick n={i}")
    server.event("Ring ResourceId=9")
    ring = s.wait_for(lambda e: e.words[0] == "Ring")
    assert ring.fields == {"ResourceId": "9"}
    got = [e.line for e in s.events(timeout=0.2)]
    assert got == ["Tick n=0", "Tick n=1", "Tick n=2"]
    with pytest.raises(TimeoutError, match=r"^no event matched within 0.1 s$"):
        s.wait_for(lambda e: True, timeout=0.1)
    assert list(s.events(timeout=0.05)) == []


@kinds()
def test_events_hands_on_a_window_above_a_subscriptions_default_bound(server, drive, kind):
    s = drive(kind, server, max_events=12_000)
    flood = server.flood("Tick", 11_000, wait=False)
    while not flood.done():  # the session reads while the server writes
        with contextlib.suppress(TimeoutError):
            s.wait_for(lambda e: False, timeout=0.05)
    flood.result()
    assert s.get_version().tag == 1  # its reply comes after every tick
    assert sum(1 for _ in s.events(timeout=0)) == 11_000  # none dropped on the way


@kinds()
def test_timeout_names_the_command_and_its_late_reply_becomes_an_event(server, drive, kind):
    server.delay("GetVersion", 400)
    server.mute("CallHold")
    s = drive(kind, server, timeout=0.2)
    with pytest.raises(TimeoutError, match=r"^no reply to GetVersion \(tag 1\) within 0.1 s$"):
        s.request(Command.get_version(), timeout=0.1)
    with pytest.raises(TimeoutError, match=r"^no reply to CallHold \(tag 2\) within 0.2 s$"):
        s.call_hold(1)  # the session's timeout
    assert s.request("Logout", timeout=scaled(5)).tag == 3  # not taken for the late one
    late = s.wait_for(lambda e: e.tag == 1, timeout=scaled(5))
    assert late.line.startswith("OK GetVersion")


@kinds()
def test_reply_timeout_bounds_the_wait_of_one_call(server, drive, kind):
    server.mute("CallHold")
    server.delay("GetVersion", 300)
    s, brief = drive(kind, server, timeout=scaled(30)), drive(kind, server, timeout=0.1)
    started = time.monotonic()
    with pytest.raises(TimeoutError, match=r"^no reply to CallHold \(tag 1\) within 0.2 s$"):
        s.call_hold(1, reply_timeout=0.2)
    assert time.monotonic() - started < scaled(10, below=scaled(30))  # not the session's timeout
    assert brief.get_version(reply_timeout=None).tag == 1  # None: for ever, past the 0.1 s
    with pytest.raises(TimeoutError, match=r"^no reply to CallHold \(tag 2\) within 0.1 s$"):
        brief.call_hold(1, reply_timeout=session.SESSION_TIMEOUT)
    for bad, error in [(-1, r"not negative"), (float("nan"), r"and NaN is not a number")]:
        with pytest.raises(ValueError, match=rf"^argument 'reply_timeout': must be a number of seconds, {error}$"):
            s.get_version(reply_timeout=bad)
    with pytest.raises(TypeError, match=r"^argument 'reply_timeout': 'str' object cannot be converted"):
        s.get_version(reply_timeout="1")


@kinds()
def test_command_methods_take_keywords_and_refuse_bad_calls_as_python_does(server, drive, kind):
    s = drive(kind, server)
    name = type(s.raw).__name__
    s.call_make(7, "1001", caller_name="Bob")
    s.call_make(address="1002", resource_id=7, timeout=5000)
    s.play_file(3, "hello.wav")
    s.resource_create_frontend(accepting=True)
    refused = [
        (lambda: s.call_make(7), r"call_make\(\) missing 1 required positional argument: 'address'"),
        (lambda: s.play_file(), r"play_file\(\) missing 2 required positional arguments: 'resource_id' and 'file_name'"),
        (lambda: s.call_make(7, "1001", caller="Bob"), r"call_make\(\) got an unexpected keyword argument 'caller'"),
        (lambda: s.get_version(timeout=1), r"get_version\(\) got an unexpected keyword argument 'timeout'"),
        (lambda: s.call_make(7, "1001", address="1"), r"call_make\(\) got multiple values for argument 'address'"),
        (lambda: s.call_hold(1, 2), r"call_hold\(\) takes 1 positional argument but 2 were given"),
        (lambda: s.get_version(1), r"get_version\(\) takes 0 positional arguments but 1 was given"),
    ]
    for call, message in refused:
        with pytest.raises(TypeError, match=rf"^{name}\.{message}$"):
            call()
    C = Command
    expected = [C.call_make(7, "1001", None, None, "Bob", None, None), C.call_make(7, "1002", 5000, None, None, None, None),
                C.play_file(3, "hello.wav", None, None, None, None, None), C.resource_create_frontend(None, None, None, True)]
    assert server.wait_received(5).splitlines()[1:] == [f"{c} COMMANDTAG={t}".encode() for t, c in enumerate(expected, 1)]


@pytest.mark.parametrize("cls", [Session, AsyncSession], ids=["Session", "AsyncSession"])
def test_every_default_is_shown_and_a_wait_limit_defaults_to_the_session_timeout(cls):
    default = session.SESSION_TIMEOUT
    assert eval(repr(default), {"quelvant_rs": quelvant_rs}) is default is copy.deepcopy(default)
    limits = 0
    for name in dir(cls):
        if name.startswith("_") or not callable(getattr(cls, name)):
            continue
        for p in inspect.signature(getattr(cls, name)).parameters.values():
            assert p.default is not Ellipsis, (name, p.name)
            if p.name in ("reply_timeout", "timeout") and p.default is not None:
                assert p.default is default, (name, p.name)
                limits += 1
    assert limits == 4 + len(GOLDEN)  # request, request_batch, wait_for, completion, each command
    # A stream runs until the session is closed; a subscription's get() waits as long as any call.
    assert inspect.signature(cls.events).parameters["timeout"].default is None
    assert str(inspect.signature(cls.subscribe)) == "(self, /, predicate=None, *, max_pending=10000)"


@kinds()
def test_connection_loss_fails_the_waiting_request_at_once_and_reconnect_marks_it(server, drive, kind):
    s = drive(kind, server, timeout=scaled(30))
    s.get_version()
    server.drop_on("CallHold")
    started = time.monotonic()
    with pytest.raises(ConnectionError, match=r"lost while waiting for the reply to CallHold \(tag 2\)"):
        s.call_hold(4)
    assert time.monotonic() - started < scaled(10, below=scaled(30))  # at the loss, not at the timeout
    # A stream goes on across the loss: the session reconnects and logs in again for it, and
    # the stream marks the gap; tags go on.
    marker = next(s.events(timeout=scaled(5)))
    assert server.wait_received(b"Login", conn=1).startswith(b"Login ivr secret 2 3 COMMANDTAG=3\n")
    assert s.get_version().tag == 4
    assert (marker.kind, marker.tag, marker.line, marker.words) == ("reconnected", None, "", [])
    assert repr(marker) == "Event(kind='reconnected')"


@kinds()
def test_a_stream_runs_until_closed_and_goes_on_across_reconnects(make_server, drive, kind):
    srv = make_server()
    s = drive(kind, srv, timeout=0.2, reconnect_attempts=2, reconnect_delay=0.01)
    steps = s.stream(s.subscribe())
    time.sleep(0.4)  # quiet for longer than the session's timeout: a stream does not end
    closer = threading.Timer(0.1, lambda: srv.close(conn=0))
    closer.start()
    assert next(steps).kind == "reconnected"
    closer.join()  # its answer may come after the loss it made: not after the server stopped
    srv.event("Tick n=1")
    assert next(steps).line == "Tick n=1"
    srv.stop()  # every attempt is refused now
    with pytest.raises(ConnectionError, match="reconnect"):
        next(steps)
    s.close()
    assert next(steps, "ended") == "ended"


@kinds()
@pytest.mark.parametrize("reset", [False, True], ids=["closed", "reset"])
def test_without_reconnect_a_lost_session_stays_lost(server, drive, kind, reset):
    s = drive(kind, server, reconnect_attempts=0)
    closer = threading.Timer(0.2, lambda: server.close(conn=0, reset=reset))
    closer.start()
    with pytest.raises(ConnectionError, match="may be missing"):  # a blocked events() raises
        for _ in s.events():
            pass
    closer.join()  # its answer may come after the loss it made: not after the server stopped
    with pytest.raises(ConnectionError, match="does not reconnect"):
        s.get_version()
    assert server.connections() == 1


def test_threads_share_one_session_each_reply_to_its_own_waiter(server, drive):
    server.delay("ResourceGetStatus", 5)  # so that many requests are in flight at once
    answered: list[tuple[int, int]] = []  # (resource id asked for, tag of its reply)
    errors: list[BaseException] = []
    s = drive("thread", server)

    def work(k: int) -> None:
        try:
            for i in range(30):
                reply = s.resource_get_status(k * 1000 + i)
                assert reply.words[:2] == ["OK", "ResourceGetStatus"], reply
                answered.append((k * 1000 + i, reply.tag))
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(scaled(60))
    assert not errors, errors[:3]
    sent = {int(line.rsplit(b"COMMANDTAG=", 1)[1]): line for line in server.received(0).splitlines()}
    assert len(answered) == 240 and len({tag for _, tag in answered}) == 240
    for rid, tag in answered:  # each reply carried the tag of this thread's own line
        assert sent[tag].startswith(f"ResourceGetStatus {rid} ".encode()), (rid, sent[tag])


def test_a_blocked_send_lets_other_threads_run_and_holds_none_past_its_timeout(make_server, drive):
    srv = make_server(rcvbuf=4096)
    s = drive("thread", srv, timeout=None)
    srv.stall()
    outcome: list[object] = []
    sender = threading.Thread(target=lambda: outcome.append(s.request("PlayFile 1 " + "a" * (16 << 20))))
    sender.start()
    ended: list[tuple[type, float]] = []

    def small() -> None:
        started = time.monotonic()
        try:
            s.request("GetVersion", timeout=0.5)
        except Exception as exc:
            ended.append((type(exc), time.monotonic() - started))
    others = [threading.Thread(target=small) for _ in range(2)]
    try:
        assert blocked_in_syscall(os.getpid(), SYS_POLL)  # waiting for room, lock released
        ticks = 0
        stop = time.monotonic() + 0.3
        while time.monotonic() < stop:
            ticks += 1  # runs only while the sender has the interpreter lock released
        assert ticks > 1000 and sender.is_alive()
        for t in others:
            t.start()
        deadline = time.monotonic() + 5
        for t in others:
            t.join(deadline - time.monotonic())
        assert len(ended) == 2 and all(exc is TimeoutError and took < 1.5 for exc, took in ended), ended
    finally:
        srv.resume()
        sender.join(scaled(30))
        for t in others:
            t.join(scaled(10))
    assert outcome and outcome[0].line == "OK PlayFile COMMANDTAG=1"


@pytest.mark.parametrize("wait", ["request", "events", "wait_for"])
def test_ctrl_c_ends_a_wait_promptly(server, spawn, wait):
    server.mute("CallHold")
    call = {"request": "s.call_hold(1)", "events": "next(s.events())",
            "wait_for": "s.wait_for(lambda e: False)"}[wait]
    child = spawn(f"""
        import sys, time
        from quelvant_rs import session
        s = session.Session("127.0.0.1", {server.port}, None, None, timeout=None)
        print("waiting", file=sys.stderr, flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", file=sys.stderr, flush=True)
        print("then", s.get_version().tag, file=sys.stderr, flush=True)
    """)
    assert child.shows(child.err, "waiting\n")
    server.wait_received(1 if wait != "request" else b"CallHold")
    child.proc.send_signal(signal.SIGINT)
    assert child.shows(child.err, "interrupted\n"), child.err
    assert child.shows(child.err, "then 2\n" if wait == "request" else "then 1\n"), child.err
    assert child.finish() == 0, child.err


def test_ctrl_c_is_answered_behind_another_threads_reconnect(server, spawn):
    # The process then ends well too, its daemon thread still reconnecting.
    child = spawn(f"""
        import sys, threading, time
        from quelvant_rs import session
        s = session.Session("127.0.0.1", {server.port}, "ivr", "secret", timeout=None)
        print("ready", file=sys.stderr, flush=True)
        sys.stdin.readline()
        threading.Thread(target=s.get_version, daemon=True).start()  # reconnects, for ever
        time.sleep(0.2)
        print("waiting", file=sys.stderr, flush=True)
        try:
            s.get_version()  # behind that reconnect
        except KeyboardInterrupt:
            print("interrupted", file=sys.stderr, flush=True)
    """)
    assert child.shows(child.err, "ready\n")
    server.mute("Login")
    server.close(conn=0, reset=True)  # a FIN would wait for the client's, which reads only in a call
    server.wait_closed(0)
    child.proc.stdin.write(b"go\n")
    child.proc.stdin.flush()
    assert child.shows(child.err, "waiting\n")
    server.wait_received(b"Login", conn=1)
    child.proc.send_signal(signal.SIGINT)
    assert child.shows(child.err, "interrupted\n"), child.err
    assert child.finish() == 0, child.err


@kinds()
def test_a_slow_subscription_drops_and_counts_and_the_window_keeps_the_latest(server, drive, kind):
    server.delay("GetVersion", 300)
    s = drive(kind, server, max_events=5)
    floods = s.subscribe(lambda e: e.words[0] == "Flood", max_pending=5)
    for i in range(8):
        server.event(f"Tick n={i}")
    server.event("Flood", every_ms=1, count=20)
    assert s.get_version().tag == 1  # read past the events to its reply
    # Nobody took the ticks: the window holds the 5 latest, and wait_for finds them in order.
    assert [s.wait_for(lambda e: True, timeout=1).line for _ in range(5)] == [f"Tick n={i}" for i in range(3, 8)]
    got = []
    with pytest.raises(session.EventsDropped) as e:
        for ev in s.stream(floods):
            got.append(ev.line)
    assert got == ["Flood"] * 5 and e.value.count == 15
    assert "15 events were dropped here: the subscription held as many" in str(e.value)
    server.event("Flood")
    assert s.get(floods, timeout=scaled(5)).line == "Flood"  # it goes on after the loss
    assert s.request("Logout").tag == 2


@kinds()
def test_a_subscription_takes_what_it_accepts_from_the_moment_it_exists(server, drive, kind):
    s = drive(kind, server)
    server.event("Ring n=0")
    s.get_version()  # read past it: it came before the subscription
    rings = s.subscribe(lambda e: e.words[0] == "Ring")
    server.event("Ring n=1")
    server.event("Tick n=1")
    assert s.get(rings, timeout=scaled(5)).line == "Ring n=1"
    assert s.wait_for(lambda e: e.words[0] == "Tick", timeout=scaled(5)).line == "Tick n=1"  # nobody else's
    assert s.wait_for(lambda e: e.words[0] == "Ring", timeout=scaled(5)).line == "Ring n=0"  # held from before
    with pytest.raises(TimeoutError):
        s.get(rings, timeout=0.1)
    # What it holds when it ends goes back to be held for wait_for, in its place.
    server.event("Ring n=2")
    s.get_version()
    with rings:
        pass
    assert rings.closed and s.wait_for(lambda e: True, timeout=scaled(5)).line == "Ring n=2"
    with pytest.raises(RuntimeError, match="^the subscription is closed"):
        s.get(rings, timeout=1)

    def broken(event):
        raise ValueError("no verdict")
    with s.subscribe(broken) as sub:  # what its predicate raised is its own to meet
        server.event("Tick n=2")
        with pytest.raises(ValueError, match="no verdict"):
            s.get(sub, timeout=scaled(5))
    assert s.wait_for(lambda e: True, timeout=scaled(5)).line == "Tick n=2"


@kinds(among=ASYNC)
@pytest.mark.parametrize("wait", ["subscription", "wait_for"])
def test_an_event_handed_to_a_cancelled_wait_goes_back_to_its_place(server, drive, kind, wait):
    s = drive(kind, server)

    async def scenario():
        sub = s.raw.subscribe() if wait == "subscription" else None
        take = (lambda: sub.get(timeout=scaled(5))) if sub else (lambda: s.raw.wait_for(lambda e: True, timeout=scaled(5)))
        server.send("Tick n=1\nTick n=2\n")
        await asyncio.sleep(0.3)  # both held
        task = asyncio.create_task(take())  # handed n=1 at once; cancelled before it reads it
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task
        return [(await take()).line for _ in range(2)]
    assert s.run(scenario) == ["Tick n=1", "Tick n=2"]


@kinds()
def test_a_line_over_max_line_arrives_cut_and_answers_nothing(server, drive, kind):
    server.mute("CallHold")
    s = drive(kind, server, max_line=64)
    server.send("Big " + "x" * 200 + " COMMANDTAG=77\n")
    ev = next(s.events(timeout=scaled(5)))
    assert ev.line == "Big " + "x" * 60 + " [... 154 bytes cut]" and ev.tag is None
    # What is left of a cut line's tag could be another request's: it answers none.
    sender = threading.Timer(0.1, lambda: server.send("OK COMMANDTAG=1" + " y" * 40 + "\n"))
    sender.start()
    with pytest.raises(TimeoutError):
        s.request("CallHold 5", timeout=0.5)
    sender.join()
    assert next(s.events(timeout=scaled(5))).line.startswith("OK COMMANDTAG=1 y y")


@kinds()
def test_open_and_close_leave_nothing_and_close_ends_every_wait(server, drive, kind):
    server.mute("CallHold")
    d = drive(kind, server, timeout=None)
    d.open_and_close(3)  # warm-up
    before = process_counts()
    d.open_and_close(1000 if kind == "thread" else 200)
    assert process_counts() == before
    events = d.raw.events(timeout=None)
    waited = d.together(lambda s: s.call_hold(1), lambda s: d.first(events, "ended"),
                        d.after(lambda: server.wait_received(b"CallHold"), lambda s: s.close()))
    assert isinstance(waited[0], ConnectionError) and "session was closed" in str(waited[0]), waited
    assert waited[1] == "ended" and d.closed
    with pytest.raises(RuntimeError, match="^the session is closed$"):
        d.get_version()
    d.close()  # twice is fine


@kinds()
def test_refused_calls_send_nothing_and_use_no_tag(server, drive, kind):
    s = drive(kind, server)
    cls = type(s.raw).__name__
    for call, exc, message in [
        (lambda: s.call_make(-1, "x", None, None, None, None, None), OverflowError, None),
        (lambda: s.play_file(1, b"x", None, None, None, None, None), TypeError,
         "argument 'file_name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: s.call_hold(), TypeError, f"{cls}.call_hold() missing 1 required positional argument: 'resource_id'"),
        (lambda: s.request("A\nB"), ValueError, "argument 'command': text must not contain a carriage return or line feed"),
        (lambda: s.request(5), TypeError, "argument 'command': 'int' object cannot be converted to 'Command' or 'PyString'"),
        (lambda: s.request("x", timeout=-1), ValueError, "argument 'timeout': must be a number of seconds, not negative"),
        (lambda: s.request("x", 1, 2), TypeError, f"{cls}.request() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: s.request_batch(["GetVersion", 7]), TypeError,
         "argument 'commands': element 1: 'int' object cannot be converted to 'Command' or 'PyString'"),
        (lambda: s.wait_for(3), TypeError, "argument 'predicate': 'int' object is not callable"),
        (lambda: s.subscribe(3), TypeError, "argument 'predicate': 'int' object is not callable"),
        (lambda: s.subscribe(None, 5), TypeError, f"{cls}.subscribe() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: s.subscribe(max_pending=0), ValueError, "argument 'max_pending': must be at least 1"),
        *((lambda text=text: s.request_batch(text), TypeError,
           "argument 'commands': a batch is a list (or other iterable) of commands or texts, "
           f"not one {type(text).__name__}; send one text with request()")
          for text in ["GetVersion", b"GetVersion", bytearray(b"GetVersion")]),
        *((call, ValueError, "argument 'timeout': must be a number of seconds, and NaN is not a number")
          for call in [lambda: s.request("GetVersion", timeout=NAN), lambda: s.request_batch(["GetVersion"], timeout=NAN),
                       lambda: s.events(timeout=NAN), lambda: s.wait_for(bool, timeout=NAN)]),
    ]:
        with pytest.raises(exc) as e:
            call()
        if message:
            assert str(e.value) == message
    assert s.get_version().tag == 1
    assert server.received(0).count(b"\n") == 2  # the login and the one request


@pytest.mark.parametrize("cls", [Session, AsyncSession], ids=["Session", "AsyncSession"])
@pytest.mark.parametrize("args, kwargs, exc, message", [
    (("bad host", 1, None, None), {}, ValueError,
     "Invalid server: 'bad host' (give an IP address or a host name)"),
    (("", 1, None, None), {}, ValueError, "Invalid server: '' (give an IP address or a host name)"),
    (("127.0.0.1", 1, None, None, 5), {}, TypeError,
     "{}() takes 4 positional arguments but 5 were given"),
    (("127.0.0.1", 1, None, None), {"bogus": 1}, TypeError, "{}() got an unexpected keyword argument 'bogus'"),
    (("127.0.0.1", 1, None, None), {"max_events": 0}, ValueError, "argument 'max_events': must be at least 1"),
    (("127.0.0.1", 1, None, None), {"is_failure": 3}, TypeError, "argument 'is_failure': 'int' object is not callable"),
    (("127.0.0.1", 1, None, None), {"timeout": "1"}, TypeError,
     "argument 'timeout': 'str' object cannot be converted to 'PyFloat'"),
    (("127.0.0.1", 70000, None, None), {}, OverflowError, "out of range integral type conversion attempted"),
    *((("127.0.0.1", 1, None, None), {setting: value}, ValueError, f"argument '{setting}': must be a number of seconds, {says}")
      for setting in ["timeout", "reconnect_delay", "reconnect_max_delay"]
      for value, says in [(NAN, "and NaN is not a number"), (-1.0, "not negative")]),
])
def test_constructor_argument_errors(cls, args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        cls(*args, **kwargs)
    assert str(e.value) == message.format(cls.__name__)


@kinds()
def test_request_batch_one_write_every_reply_collected_then_the_first_failure(server, drive, kind):
    server.mute("CallRetrieve")
    s = drive(kind, server)
    got = s.request_batch([Command.call_hold(1), "GetVersion"])
    assert [r.tag for r in got] == [1, 2]
    with pytest.raises(session.ServerError, match=r"^Bogus \(tag 4\)"):
        s.request_batch(["CallHold 1", "Bogus 2", "GetVersion"])
    with pytest.raises(TimeoutError, match=r"^no reply to CallRetrieve \(tag 7\) within 0.2 s$"):
        s.request_batch(["Logout", Command.call_retrieve(3)], timeout=0.2)
    assert s.request_batch([]) == []
    lines = server.received(0).splitlines()
    assert lines[1:] == [b"CallHold 1 COMMANDTAG=1", b"GetVersion COMMANDTAG=2",
                         b"CallHold 1 COMMANDTAG=3", b"Bogus 2 COMMANDTAG=4", b"GetVersion COMMANDTAG=5",
                         b"Logout COMMANDTAG=6", b"CallRetrieve 3 COMMANDTAG=7"]


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_after_fork_the_child_refuses_the_parents_session(server, drive):
    s = drive("thread", server)
    pid = os.fork()
    if pid == 0:
        try:
            s.get_version()
            code = 1
        except RuntimeError as exc:
            code = 0 if "after fork()" in str(exc) else 2
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert s.get_version().tag == 1  # the parent's connection is untouched


@pytest.mark.parametrize("cls, then", [(Session, ", tagged, and wait for its reply."),
                                       (AsyncSession, " at once, tagged; await the result for its reply.")],
                         ids=["Session", "AsyncSession"])
def test_command_methods_document_their_line_and_every_argument(cls, then):
    for cmd in GOLDEN:
        method = getattr(cls, cmd.method)
        doc = inspect.getdoc(method)
        assert " ".join(doc.split("\n\n")[0].split()) == f"Send ``{cmd.variant}``{then}", doc
        for name in inspect.signature(method).parameters:
            assert name == "self" or f"\n    {name}: " in doc, (cmd.method, name)
