"""What is AsyncSession's own, on asyncio's own event loop and on uvloop: many requests in one
write, cancellation, connecting, closing, its loop (the rest runs over both classes in
test_session.py)."""

from __future__ import annotations

import asyncio
import os

import pytest
from pace import scaled

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


def test_many_requests_in_flight_go_out_in_one_write(server, run):
    async def flow():
        async with open_session(server) as s:
            statuses = await asyncio.gather(*(s.resource_get_status(i) for i in range(50)))
            task = asyncio.create_task(s.get_version())  # a coroutine as asyncio sees one
            return statuses, await task

    statuses, version = run(flow())
    assert [r.tag for r in statuses] == list(range(1, 51))
    assert all(r.words[1] == "ResourceGetStatus" for r in statuses)
    assert version.tag == 51
    # The 50 requests of one loop iteration went out together, each line whole.
    lines = server.received(0).splitlines()
    assert lines[0] == b"Login ivr secret 2 3 COMMANDTAG=0"
    assert lines[1:51] == [b"ResourceGetStatus %d COMMANDTAG=%d" % (i, i + 1) for i in range(50)]


def test_cancelled_request_is_forgotten_and_its_reply_becomes_an_event(server, run):
    server.delay("CallHold", 300)

    async def cancel():
        async with open_session(server) as s:
            task = asyncio.create_task(s.request(Command.call_hold(3)))
            await asyncio.sleep(0.05)  # the task is awaiting its reply now
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            late = await s.wait_for(lambda e: e.tag == 1, timeout=scaled(5))
            return late, await s.get_version()

    late, after = run(cancel())
    assert late.line == "OK CallHold COMMANDTAG=1"
    assert after.tag == 2


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
