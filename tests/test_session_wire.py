"""Host names, the wire trace through logging, repr and stats: for both session classes."""

from __future__ import annotations

import contextlib
import logging
import socket

import pytest

from quelvant_rs import session
from session_driver import Driver, drive, kinds  # noqa: F401 (drive: a fixture)


@pytest.fixture
def trailing(make_server):
    """A server that writes two events behind every answer but the Login's."""
    return make_server(trailing_events=2)


def trailer(k: int):
    return lambda e: e.line.startswith(f"Trailer Index={k} ")


@kinds()
def test_a_host_name_is_resolved_and_its_addresses_tried_in_turn(server, drive, kind):
    # The server listens on 127.0.0.1 alone: where "localhost" is ::1 first, that one is
    # refused and the next address taken.
    d = drive(kind, server, host="localhost")
    assert d.get_version().tag == 1
    assert repr(d.raw).startswith(f"<{type(d.raw).__name__} localhost:{server.port} connected,")


@kinds()
@pytest.mark.parametrize("host, exc, message", [
    ("nowhere.invalid", socket.gaierror, r"^Failed to resolve 'nowhere\.invalid': \S"),
    ("localhost", ConnectionRefusedError,
     r"^Failed to connect to 'localhost' \(at any address it resolves to; the last: Connection refused "),
])
def test_a_name_that_does_not_connect_says_why(free_port, kind, host, exc, message):
    with pytest.raises(exc, match=message):
        Driver(kind, free_port, host=host).dispose()


@kinds()
def test_repr_and_stats_count_what_happened(trailing, drive, kind):
    d = drive(kind, trailing)
    name, port = type(d.raw).__name__, trailing.port
    assert repr(d.raw) == f"<{name} 127.0.0.1:{port} connected, 0 requests pending, 0 events held>"
    assert d.stats == (1, 1, 0, 0, 0)  # the Login
    d.get_version()
    d.wait_for(trailer(2))  # the first trailer stays held
    assert repr(d.raw) == f"<{name} 127.0.0.1:{port} connected, 0 requests pending, 1 event held>"
    stats = d.stats
    assert (stats.requests, stats.replies, stats.events, stats.dropped, stats.reconnects) == (2, 2, 2, 0, 0)
    assert type(stats).__name__ == "SessionStats" and "dropped" in type(stats).dropped.__doc__
    d.close()
    assert repr(d.raw) == f"<{name} 127.0.0.1:{port} closed, 0 requests pending, 0 events held>"


@kinds()
def test_the_wire_trace_shows_every_line_and_never_a_password(server, drive, kind, caplog):
    caplog.set_level(logging.DEBUG, logger="quelvant_rs")
    d = drive(kind, server)
    d.request("Login bob hunter2 2 3")  # a Login of the program's own
    server.drop_on("CallHold")
    with pytest.raises(ConnectionError):
        d.call_hold(4)
    d.get_version()  # connects again
    peer = f"127.0.0.1:{server.port}"
    wire = [r.getMessage() for r in caplog.records if r.name == "quelvant_rs.wire"]
    assert all(r.levelno == logging.DEBUG for r in caplog.records if r.name == "quelvant_rs.wire")
    assert wire[:4] == [f"{peer} > Login ivr *** COMMANDTAG=0", f"{peer} < OK Login COMMANDTAG=0",
                        f"{peer} > Login bob *** COMMANDTAG=1", f"{peer} < OK Login COMMANDTAG=1"]
    assert f"{peer} > CallHold 4 COMMANDTAG=2" in wire
    assert wire[-4:] == [f"{peer} > Login ivr *** COMMANDTAG=3", f"{peer} < OK Login COMMANDTAG=3",
                         f"{peer} > GetVersion COMMANDTAG=4",
                         f"{peer} < OK GetVersion Version=standin-1.0 COMMANDTAG=4"]
    assert not any("secret" in m or "hunter2" in m for m in caplog.messages)
    notes = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "quelvant_rs.session"]
    assert [m for level, m in notes if level == logging.INFO] == [
        f"{peer} connected", f"{peer} logged in as 'ivr'",
        f"{peer} connected", f"{peer} logged in as 'ivr'", f"{peer} reconnected after the connection was lost"]
    assert d.stats.reconnects == 1


@kinds()
def test_window_drops_are_debug_and_a_subscriptions_drops_a_warning(trailing, drive, kind, caplog):
    caplog.set_level(logging.DEBUG, logger="quelvant_rs.session")
    d = drive(kind, trailing, max_events=1)
    d.get_version()
    with contextlib.suppress(TimeoutError):
        d.wait_for(lambda e: False, timeout=0.5)
    with d.subscribe(max_pending=1) as sub:
        d.get_version()
        assert d.get(sub).line.startswith("Trailer Index=1 ")
        with pytest.raises(session.EventsDropped):
            d.get(sub, timeout=0.5)
    assert d.stats.dropped == 2
    peer = f"127.0.0.1:{trailing.port}"
    assert [(r.levelname, r.getMessage()) for r in caplog.records if "dropped" in r.getMessage()] == [
        ("DEBUG", f"{peer} 1 event dropped: max_events (1) were held and none was taken"),
        ("WARNING", f"{peer} 1 event dropped by a subscription: it held max_pending events the "
                    "program had not taken")]
