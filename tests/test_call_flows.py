"""Call flows that cannot miss their outcomes: failures recognised by default, resource
handles, completions by tag, an honest wait_for, and a hook after reconnects."""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import logging
import threading
import time

import pytest
from pace import scaled
from session_driver import KINDS, Driver, drive, kinds  # noqa: F401 (drive: a fixture)

from quelvant_rs import session
from quelvant_standin.harness import StandInError


def after(srv, until, action, conn: int = 0) -> None:
    """action() once connection conn received what until asks for, if it does."""
    def wait_then_act():
        with contextlib.suppress(StandInError):
            srv.wait_received(until, conn=conn, timeout=scaled(10))
            action()
    threading.Thread(target=wait_then_act, daemon=True).start()


@kinds()
def test_an_error_reply_is_a_failure_unless_the_judgement_is_off(make_server, drive, kind, caplog):
    cls = session.Session if kind == "thread" else session.AsyncSession
    assert inspect.signature(cls).parameters["is_failure"].default is session.ERROR_REPLIES
    caplog.set_level(logging.INFO, logger="quelvant_rs")
    refusing = make_server(refuse_login=True)
    with pytest.raises(session.ServerError, match=r"^Login \(tag 0\) failed: ERROR Login refused"):
        Driver(kind, refusing.port, is_failure=session.ERROR_REPLIES)
    assert not any("logged in" in m for m in caplog.messages), caplog.messages
    srv = make_server()
    judged = drive(kind, srv, is_failure=session.ERROR_REPLIES)
    assert repr(judged.raw).split()[2] == "connected,"
    with pytest.raises(session.ServerError) as raised:
        judged.request("NoSuchCommand 1")
    assert raised.value.reply.words[0] == "ERROR"
    assert drive(kind, srv, is_failure=None).request("NoSuchCommand 1").words[0] == "ERROR"


@pytest.mark.parametrize("raises", [False, True], ids=["returns", "raises"])
@kinds()
def test_on_reconnect_runs_before_the_mark_and_the_new_connections_events(server, drive, kind, caplog, raises):
    said: list[str] = []
    # The new connection's first event comes as soon as its Login is answered. (Waited for on
    # that connection: the first one, closed below, can end the wait before the second exists.)
    after(server, b"Login", lambda: server.event("Tick after", conn=1), conn=1)

    def hook_sync(s):
        said.append("hook")
        said.append(s.request("GetVersion").words[1])
        time.sleep(0.2)  # the user's own work; events must wait for it
        if raises:
            raise ValueError("resync failed")

    async def hook_async(s):
        said.append("hook")
        said.append((await s.request("GetVersion")).words[1])
        await asyncio.sleep(0.2)
        if raises:
            raise ValueError("resync failed")

    d = drive(kind, server, on_reconnect=hook_sync if kind == "thread" else hook_async)
    steps = d.events()
    server.close(conn=0)
    for ev in steps:
        said.append(ev.kind if ev.kind == "reconnected" else ev.line)
        if ev.kind == "reconnected":
            assert isinstance(ev.gap, float) and ev.gap > 0
        if ev.line == "Tick after":
            break
    assert said == ["hook", "GetVersion", "reconnected", "Tick after"], said
    failures = [r for r in caplog.records if r.levelname == "ERROR"]
    assert [r.getMessage().endswith("on_reconnect raised") and r.exc_info[0] is ValueError
            for r in failures] == ([True] if raises else [])


def flow_sync(s, calls: list[str]) -> None:
    """One call flow the race-free way: the resource first, then its commands."""
    rid = int(s.resource_create_frontend().fields["ResourceId"])
    with s.resource(rid) as call:
        call.call_make("1001", caller_name="Bob")
        connected = call.wait_for(lambda e: e.words[0] == "CallConnected", timeout=30)
        played = s.completion(call.play_file("hello.wav"), timeout=30)
    assert connected.fields["ResourceId"] == str(rid) and played.fields["ResourceId"] == str(rid)
    calls.append(played.words[0])


async def flow_async(s, calls: list[str]) -> None:
    rid = int((await s.resource_create_frontend()).fields["ResourceId"])
    async with s.resource(rid) as call:
        await call.call_make("1001", caller_name="Bob")
        connected = await call.wait_for(lambda e: e.words[0] == "CallConnected", timeout=30)
        played = await s.completion(await call.play_file("hello.wav"), timeout=30)
    assert connected.fields["ResourceId"] == str(rid) and played.fields["ResourceId"] == str(rid)
    calls.append(played.words[0])


@pytest.mark.standin_server(call_events=True, event_delay_ms=0, finish_delay_ms=0)
@kinds()
def test_many_concurrent_flows_each_get_their_own_outcomes(standin_server, drive, kind):
    # Noise about other resources throughout, and no window to speak of: nothing may depend on it.
    standin_server.event("Noise ResourceId=999999", every_ms=1, count=100_000)
    d = drive(kind, standin_server, max_events=1)
    calls: list[str] = []
    if kind == "thread":  # 64 threads, 40 flows each
        def forty(s):
            for _ in range(40):
                flow_sync(s, calls)
        failures = [r for r in d.together(*[forty] * 64) if r is not None]
        assert not failures and len(calls) == 64 * 40, failures[:3]
        return

    async def rounds():
        for _ in range(10):  # 10 rounds of 500 at once
            results = await asyncio.gather(*(flow_async(d.raw, calls) for _ in range(500)),
                                           return_exceptions=True)
            assert not [r for r in results if r is not None], [r for r in results if r][:3]
    d.run(rounds)
    assert calls == ["PlayFinished"] * 5000


@pytest.mark.standin_server(call_events=True, event_delay_ms=0, finish_delay_ms=0)
@kinds()
def test_a_completion_is_there_however_late_it_is_asked(standin_server, drive, kind):
    d = drive(kind, standin_server)
    reply = d.play_file(7, "hello.wav")
    flood = standin_server.flood("Ignored ResourceId=8", 50_000, wait=False)
    while not flood.done():  # the session reads while the server writes
        with contextlib.suppress(TimeoutError):
            d.wait_for(lambda e: False, timeout=0.05)
    flood.result()
    standin_server.event("Last", after_ms=0)
    d.wait_for(lambda e: e.line == "Last", timeout=60)  # every ignored event came first
    assert d.stats.events >= 50_000
    assert d.completion(reply).line == f"PlayFinished ResourceId=7 COMMANDTAG={reply.tag}"
    with pytest.raises(TimeoutError, match=r"^no line completed the request of tag \d+ within 0\.2 s$"):
        d.completion(d.get_version(), timeout=0.2)
    with pytest.raises(ValueError, match="not to a request this session sent"):
        drive(kind, standin_server).completion(reply)
