"""Call flows that cannot miss their outcomes: failures recognised by default, resource
handles, completions by tag, an honest wait_for, and a hook after reconnects."""

from __future__ import annotations

import inspect
import logging

import pytest
from session_driver import KINDS, Driver, drive, kinds  # noqa: F401 (drive: a fixture)

from quelvant_rs import session


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
