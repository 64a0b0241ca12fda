"""AsyncSession over loopback against the stand-in server, on asyncio's own event loop and on
uvloop: many requests in flight, events, cancellation, timeouts, loss and reconnect."""

from __future__ import annotations

import asyncio
import inspect
import os

import pytest
from catalogue import COMMANDS, full_args

import quelvant_standin
from quelvant_rs import commands, session

Command = commands.Command
AsyncSession = session.AsyncSession

try:
    import uvloop
except ImportError:  # the tests run on asyncio's loop alone then
    uvloop = None

LOOPS = ["asyncio"] + (["uvloop"] if uvloop else [])


@pytest.fixture(params=LOOPS)
def run(request):
    """Runs a coroutine to its end on a fresh loop of the kind under test."""
    factory = uvloop.new_event_loop if request.param == "uvloop" else asyncio.new_event_loop

    def run_one(coro, timeout: float = 30.0):
        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(asyncio.wait_for(coro, timeout))

    return run_one


def open_session(srv, **settings) -> AsyncSession:
    settings.setdefault("is_failure", quelvant_standin.failed)
    return AsyncSession(srv.host, srv.port, "ivr", "secret", **settings)


def method_name(cmd) -> str:
    return "get_protocol_version" if cmd.factory == "protocol_version" else cmd.factory


def test_call_flow_with_many_requests_in_flight(make_server, run):
    srv = make_server(call_events=True, event_delay_ms=0, finish_delay_ms=0)

    async def flow():
        async with open_session(srv) as s:
            front = await s.resource_create_frontend(None, None, None, True)
            rid = int(front.fields["ResourceId"])
            await s.call_make(rid, "1001", None, None, None, None, None)
            connected = await s.wait_for(lambda e: e.words[:1] == ["CallConnected"])
            statuses = await asyncio.gather(*(s.resource_get_status(i) for i in range(50)))
            task = asyncio.create_task(s.get_version())  # a coroutine as asyncio sees one
            return rid, connected, statuses, await task

    rid, connected, statuses, version = run(flow())
    assert connected.line == f"CallConnected ResourceId={rid}"
    assert [r.tag for r in statuses] == list(range(3, 53))
    assert all(r.words[1] == "ResourceGetStatus" for r in statuses)
    assert version.tag == 53
    # The 50 requests of one loop iteration went out together, each line whole.
    lines = srv.received(0).splitlines()
    assert lines[0] == b"Login ivr secret 2 3 COMMANDTAG=0"
    assert lines[3:53] == [b"ResourceGetStatus %d COMMANDTAG=%d" % (i, i + 3) for i in range(50)]


def test_every_command_method_returns_an_awaitable_reply(server, run):
    async def each():
        async with open_session(server) as s:
            got = []
            for cmd in COMMANDS:
                if cmd.variant != "Quit":
                    got.append(await getattr(s, method_name(cmd))(**full_args(cmd)[0]))
            return got

    replies = run(each())
    assert [r.words[1] for r in replies[1:]] == [c.variant for c in COMMANDS if c.variant != "Quit"][1:]
    for cmd in COMMANDS:
        m = getattr(AsyncSession, method_name(cmd))
        assert list(inspect.signature(m).parameters)[1:] == [p.name for p in cmd.params]


def test_cancelled_request_is_forgotten_and_its_reply_becomes_an_event(server, run):
    server.delay("CallHold", 300)

    async def cancel():
        async with open_session(server) as s:
            task = asyncio.create_task(s.request(Command.call_hold(3)))
            await asyncio.sleep(0.05)  # the task is awaiting its reply now
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            late = await s.wait_for(lambda e: e.tag == 1, timeout=5)
            return late, await s.get_version()

    late, after = run(cancel())
    assert late.line == "OK CallHold COMMANDTAG=1"
    assert after.tag == 2


def test_timeout_and_server_error(server, run):
    server.mute("CallHold")

    async def fail():
        async with open_session(server, timeout=0.2) as s:
            with pytest.raises(TimeoutError, match=r"^no reply to CallHold \(tag 1\) within 0.2 s$"):
                await s.call_hold(1)
            with pytest.raises(session.ServerError, match=r"^Bogus \(tag 2\) failed"):
                await s.request("Bogus 1", timeout=None)
            with pytest.raises(TimeoutError, match="no event matched"):
                await s.wait_for(lambda e: False, timeout=0.05)
            return [e async for e in s.events(timeout=0.05)]

    assert run(fail()) == []


def test_loss_fails_requests_at_once_then_reconnects_with_a_marker(server, run):
    server.drop_on("CallHold")

    async def lose():
        async with open_session(server, timeout=30) as s:
            waiting = asyncio.create_task(anext(s.events(timeout=30)))
            with pytest.raises(ConnectionError, match=r"lost while waiting for the reply to CallHold \(tag 1\)"):
                await s.call_hold(1)
            with pytest.raises(ConnectionError, match="may be missing"):
                await waiting
            reply = await s.get_version()  # reconnects, logs in again
            marker = await anext(s.events())
            return reply, marker

    reply, marker = run(lose(), timeout=20)
    assert reply.tag == 3 and marker.kind == "reconnected"
    assert server.received(1).startswith(b"Login ivr secret 2 3 COMMANDTAG=2\n")


def test_refused_login_raises_from_aenter(make_server, run):
    srv = make_server(refuse_login=True)

    async def enter():
        s = open_session(srv)
        queued = s.get_version()  # made while connecting: fails the same way
        with pytest.raises(session.ServerError, match=r"^Login \(tag 0\) failed"):
            async with s:
                pass
        with pytest.raises(session.ServerError):
            await queued

    run(enter())


def test_close_ends_every_wait_and_leaves_no_descriptor(server, run):
    server.mute("CallHold")

    async def cycles():
        for _ in range(3):
            async with open_session(server):
                pass
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(200):
            async with open_session(server):
                pass
        after = len(os.listdir("/proc/self/fd"))
        s = open_session(server, timeout=None)
        await s.connect()
        pending = s.call_hold(1)
        iterating = asyncio.create_task(anext(s.events(timeout=None), "ended"))
        await asyncio.sleep(0.05)
        await s.close()
        with pytest.raises(ConnectionError, match="session was closed"):
            await pending
        with pytest.raises(RuntimeError, match="closed"):
            s.get_version()
        return before, after, await iterating

    before, after, iterated = run(cycles())
    assert before == after and iterated == "ended"


def test_events_queue_bounds_and_drops_with_a_count(server, run):
    async def flood():
        async with open_session(server, max_events=3) as s:
            server.event("Tick", every_ms=1, count=10)
            await asyncio.sleep(0.3)
            got = []
            with pytest.raises(session.EventsDropped) as e:
                async for ev in s.events(timeout=1):
                    got.append(ev.line)
            return got, e.value.count

    assert run(flood()) == (["Tick"] * 3, 7)


def test_session_belongs_to_the_loop_of_its_first_call(server, run):
    s = open_session(server)

    async def first():
        await s.connect()

    run(first())

    async def elsewhere():
        with pytest.raises(RuntimeError, match="another event loop"):
            s.get_version()

    run(elsewhere())
    with pytest.raises(RuntimeError, match="no running event loop"):
        s.get_version()


def test_request_batch_collects_every_reply_then_raises_the_first_failure(server, run):
    server.mute("CallHold")

    async def batches():
        async with open_session(server) as s:
            replies = await s.request_batch([Command.call_retrieve(1), "GetVersion"])
            with pytest.raises(session.ServerError, match=r"^Bogus \(tag 4\)"):
                await s.request_batch(["Logout", "Bogus 2", "GetVersion"])
            with pytest.raises(TimeoutError, match=r"^no reply to CallHold \(tag 7\) within 0.2 s$"):
                await s.request_batch(["Logout", Command.call_hold(3)], timeout=0.2)
            return replies, await s.request_batch([])

    replies, empty = run(batches())
    assert [r.tag for r in replies] == [1, 2] and empty == []
