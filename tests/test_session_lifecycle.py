"""Both session classes at the end of their life: collected in a cycle (the socket closed, a
ResourceWarning as for an unclosed socket), collected after their loop closed; and the
arguments refused before anything is sent."""

from __future__ import annotations

import asyncio
import gc
import math
import os
import re
import warnings

import pytest
from pace import scaled

import quelvant_standin
from quelvant_rs import session

try:
    import uvloop
except ImportError:  # the tests run on asyncio's loop alone then
    uvloop = None

CLASSES = [session.Session, session.AsyncSession]
NAN = math.nan


def sockets() -> int:
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:  # the listing's own descriptor
            pass
    return count


@pytest.fixture
def collector_off():
    """Only the test's own gc.collect() frees cycles."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.fixture
def unclosed_warnings():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield lambda: [str(w.message) for w in caught if w.category is ResourceWarning]


class Holder:
    """Holds a session whose is_failure is bound to the holder, and a subscription whose
    predicate is: cycles."""

    def __init__(self, cls, srv):
        self.session = cls(srv.host, srv.port, "ivr", "secret", is_failure=self.failed)
        self.events = self.session.subscribe(self.failed)

    def failed(self, reply) -> bool:
        return quelvant_standin.failed(reply)


def held_sessions(cls, srv, count: int) -> list[Holder]:
    """`count` logged-in sessions, each in a cycle, idle and not closed (an AsyncSession's
    loop is closed by then)."""
    if cls is session.Session:
        holders = [Holder(cls, srv) for _ in range(count)]
        assert all(h.session.get_version().tag == 1 for h in holders)
        return holders

    async def connect():
        holders = [Holder(cls, srv) for _ in range(count)]
        for h in holders:
            await h.session.connect()
            assert (await h.session.get_version()).tag == 1
        return holders

    return asyncio.run(connect())


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_cycle_through_is_failure_is_collected_closing_the_socket(
    server, cls, collector_off, unclosed_warnings
):
    before = sockets()
    holders = held_sessions(cls, server, 5)
    assert sockets() == before + 5
    del holders
    assert sockets() == before + 5  # only the collector can free them
    gc.collect()
    assert sockets() == before
    said = unclosed_warnings()
    assert len(said) == 5
    assert all(re.fullmatch(rf"unclosed <{cls.__name__} 127\.0\.0\.1:\d+ connected, 0 requests pending, "
                            r"0 events held>", m) for m in said)
    # Closed, and collected without a warning.
    held_sessions(cls, server, 1)[0].session.close()
    gc.collect()
    assert sockets() == before and len(unclosed_warnings()) == 5


@pytest.mark.parametrize("loop_kind, close_loop", [
    ("asyncio", True),
    ("asyncio", False),  # the loop is garbage too, and unclosed
    pytest.param("uvloop", True, marks=pytest.mark.skipif(uvloop is None, reason="no uvloop")),
])
def test_async_session_with_work_under_way_collected_with_its_loop(
    make_server, loop_kind, close_loop, collector_off, unclosed_warnings
):
    srv = make_server()
    srv.mute("CallHold")
    before = sockets()  # the loop's own go with it
    loop = (uvloop.new_event_loop if loop_kind == "uvloop" else asyncio.new_event_loop)()
    holder = Holder(session.AsyncSession, srv)

    async def start():
        s = holder.session
        await s.connect()
        # Left under way: a request, a batch and waits for events, with their deadlines.
        return [s.call_hold(1), s.request_batch(["CallHold 2"], timeout=scaled(100)),
                s.wait_for(lambda e: False), s.wait_for(lambda e: False, timeout=None),
                s.events().__anext__()]

    pending = loop.run_until_complete(start())
    srv.wait_received(b"CallHold 2")
    if close_loop:
        loop.close()
    del holder, pending, loop
    gc.collect()
    assert sockets() == before
    assert any(m.startswith("unclosed <AsyncSession 127.0.0.1:") for m in unclosed_warnings())


def tag_after(cls, srv, refusals) -> int:
    """Runs `refusals(s)` on a new session (its calls raise at once, in either class), then
    one request: that request's tag."""
    if cls is session.Session:
        with cls(srv.host, srv.port, None, None) as s:
            refusals(s)
            return s.get_version().tag

    async def run():
        async with cls(srv.host, srv.port, None, None) as s:
            refusals(s)
            return (await s.get_version()).tag

    return asyncio.run(run())


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_one_text_is_no_batch(server, cls):
    def refusals(s):
        for text in ["GetVersion", b"GetVersion", bytearray(b"GetVersion")]:
            with pytest.raises(TypeError) as e:
                s.request_batch(text)
            assert str(e.value) == (
                "argument 'commands': a batch is a list (or other iterable) of commands or texts, "
                f"not one {type(text).__name__}; send one text with request()")

    assert tag_after(cls, server, refusals) == 1  # nothing was sent for them


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("setting", ["timeout", "reconnect_delay", "reconnect_max_delay"])
@pytest.mark.parametrize("value, says", [(NAN, "and NaN is not a number"), (-1.0, "not negative")])
def test_seconds_settings_refuse_nan_and_negative_saying_which(cls, setting, value, says):
    with pytest.raises(ValueError) as e:
        cls("127.0.0.1", 1, None, None, **{setting: value})
    assert str(e.value) == f"argument '{setting}': must be a number of seconds, {says}"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_call_timeout_of_nan_is_refused_as_no_number(server, cls):
    def refusals(s):
        for call in [lambda: s.request("GetVersion", timeout=NAN),
                     lambda: s.request_batch(["GetVersion"], timeout=NAN),
                     lambda: s.events(timeout=NAN), lambda: s.wait_for(bool, timeout=NAN)]:
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == "argument 'timeout': must be a number of seconds, and NaN is not a number"

    assert tag_after(cls, server, refusals) == 1
