"""What is AsyncSession's own, on asyncio's own event loop and on uvloop: many requests in one
write, cancellation, its loop (the rest runs over both classes in test_session.py)."""

from __future__ import annotations

import asyncio

import pytest
from pace import scaled
from session_driver import ASYNC, drive, kinds, loop_factory  # noqa: F401 (drive: a fixture)

from quelvant_rs import commands

Command = commands.Command


@kinds(among=ASYNC)
def test_many_requests_in_flight_go_out_in_one_write(server, drive, kind):
    d = drive(kind, server)

    async def flow(s):
        statuses = await asyncio.gather(*(s.resource_get_status(i) for i in range(50)))
        task = asyncio.create_task(s.get_version())  # a coroutine as asyncio sees one
        return statuses, await task

    statuses, version = d.run(flow, d.raw)
    assert [r.tag for r in statuses] == list(range(1, 51))
    assert all(r.words[1] == "ResourceGetStatus" for r in statuses)
    assert version.tag == 51
    # The 50 requests of one loop iteration went out together, each line whole.
    lines = server.received(0).splitlines()
    assert lines[0] == b"Login ivr secret 2 3 COMMANDTAG=0"
    assert lines[1:51] == [b"ResourceGetStatus %d COMMANDTAG=%d" % (i, i + 1) for i in range(50)]


@kinds(among=ASYNC)
@pytest.mark.parametrize("lines", [[Command.call_hold(3)], ["CallHold 1", "CallHold 2"]], ids=["request", "batch"])
def test_a_cancelled_call_is_forgotten_and_its_late_replies_become_events(server, drive, kind, lines):
    server.delay("CallHold", 200)
    d = drive(kind, server)
    tags = range(1, len(lines) + 1)

    async def cancel(s):
        task = asyncio.create_task(s.request(lines[0]) if len(lines) == 1 else s.request_batch(lines))
        await asyncio.sleep(0)  # the lines are written
        server.wait_received(1 + len(lines))  # the task is awaiting its replies now
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        late = [(await s.wait_for(lambda e, t=t: e.tag == t, timeout=scaled(5))).line for t in tags]
        return late, (await s.get_version()).tag

    late, after = d.run(cancel, d.raw)
    assert late == [f"OK CallHold COMMANDTAG={t}" for t in tags]
    assert after == len(lines) + 1  # the cancelled tags are not taken again


@kinds(among=ASYNC)
def test_session_belongs_to_the_loop_of_its_first_call(server, drive, kind):
    d = drive(kind, server)  # connected on the driver's loop

    async def elsewhere():
        with pytest.raises(RuntimeError, match="another event loop"):
            d.raw.get_version()

    with asyncio.Runner(loop_factory=loop_factory(kind)) as other:
        other.run(elsewhere())
    with pytest.raises(RuntimeError, match="no running event loop"):
        d.raw.get_version()
