"""Both session classes at the end of their life: collected in a cycle (the socket closed, a
ResourceWarning as for an unclosed socket), collected after their loop closed."""

from __future__ import annotations

import gc
import os
import re
import warnings

import pytest
from pace import scaled
from session_driver import ASYNC, Driver, kinds

import quelvant_standin


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
    """Holds a logged-in session whose is_failure is bound to the holder, and a subscription
    whose predicate is: cycles. The driver, and so an AsyncSession's loop, is left out."""

    def __init__(self, kind, srv, connect: bool = True):
        d = Driver(kind, srv.port, connect=connect, is_failure=self.failed)
        self.session, self.runner = d.raw, getattr(d, "runner", None)
        self.events = self.session.subscribe(self.failed)
        if connect:
            assert d.get_version().tag == 1

    def failed(self, reply) -> bool:
        return quelvant_standin.failed(reply)


def held_sessions(kind, srv, count: int) -> list[Holder]:
    """`count` logged-in sessions, each in a cycle, idle and not closed (an AsyncSession's
    loop is closed by then)."""
    holders = [Holder(kind, srv) for _ in range(count)]
    for h in holders:
        if h.runner:
            h.runner.close()
    return holders


@kinds()
def test_a_cycle_through_is_failure_is_collected_closing_the_socket(server, kind, collector_off, unclosed_warnings):
    before = sockets()
    holders = held_sessions(kind, server, 5)
    name = type(holders[0].session).__name__
    assert sockets() == before + 5
    del holders
    assert sockets() == before + 5  # only the collector can free them
    gc.collect()
    assert sockets() == before
    said = unclosed_warnings()
    assert len(said) == 5
    assert all(re.fullmatch(rf"unclosed <{name} 127\.0\.0\.1:\d+ connected, 0 requests pending, "
                            r"0 events held>", m) for m in said)
    # Closed, and collected without a warning.
    held_sessions(kind, server, 1)[0].session.close()
    gc.collect()
    assert sockets() == before and len(unclosed_warnings()) == 5


# An unclosed loop is garbage too; not uvloop's, whose handles keep it (and the session) alive.
@pytest.mark.parametrize("kind, close_loop", [*((k, True) for k in ASYNC), ("asyncio", False)])
def test_async_session_with_work_under_way_collected_with_its_loop(
    make_server, kind, close_loop, collector_off, unclosed_warnings
):
    srv = make_server()
    srv.mute("CallHold")
    before = sockets()  # the loop's own go with it
    holder = Holder(kind, srv, connect=False)

    async def start():
        s = holder.session
        await s.connect()
        # Left under way: a request, a batch and waits for events, with their deadlines.
        return [s.call_hold(1), s.request_batch(["CallHold 2"], timeout=scaled(100)),
                s.wait_for(lambda e: False), s.wait_for(lambda e: False, timeout=None),
                s.events().__anext__()]

    pending = holder.runner.run(start())
    srv.wait_received(b"CallHold 2")
    if close_loop:
        holder.runner.close()
    del holder, pending
    gc.collect()
    assert sockets() == before
    assert any(m.startswith("unclosed <AsyncSession 127.0.0.1:") for m in unclosed_warnings())
