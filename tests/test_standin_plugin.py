"""The stand-in server's pytest fixture, as a test suite that installed the wheel uses it.

Needs nothing but pytest and the wheel: the release check runs this file in such an
environment before the whole suite.
"""

from __future__ import annotations

import time

import pytest

import quelvant_standin
from quelvant_rs import session


def get_version(srv) -> float:
    """Logs a session in, asks for the version; returns how long the answer took."""
    with session.Session(srv.host, srv.port, "ivr", "secret", is_failure=quelvant_standin.failed, timeout=0.6) as s:
        start = time.monotonic()
        assert s.request("GetVersion").fields["Version"] == "standin-1.0"
        return time.monotonic() - start


def test_a_session_logs_in_to_the_fixture_server(standin_server):
    get_version(standin_server)
    assert standin_server.received(0).startswith(b"Login ivr secret ")


@pytest.mark.standin_server(refuse_login=True, delays={"GetVersion": 250})
@pytest.mark.parametrize(
    "standin_server, fails, slow",
    [
        ({}, session.ServerError, None),  # the mark's options hold
        ({"refuse_login": False}, None, True),  # a parameter wins, option by option
        ({"refuse_login": False, "delays": {}}, None, False),
        ({"refuse_login": False, "muted": ["GetVersion"]}, TimeoutError, None),
        ({"refuse_login": False, "silent": True}, TimeoutError, None),
    ],
    indirect=["standin_server"],
)
def test_options_come_from_marks_then_parameters(standin_server, fails, slow):
    if fails:
        with pytest.raises(fails):
            get_version(standin_server)
    else:
        assert (get_version(standin_server) >= 0.25) == slow
