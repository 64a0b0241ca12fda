"""A call flow tested as an application's own test suite would: pytest, the stand-in server's
fixture (installed with the package), a session, and nothing of the project's test tools.

Run it with ``python -m pytest examples/test_call_flow.py``; ``mypy --strict`` checks it.
"""

from __future__ import annotations

import pickle

import pytest

import quelvant_standin
from quelvant_rs import commands, session
from quelvant_standin.harness import StandInServer

Command = commands.Command


def resource(reply: session.Reply) -> int:
    return int(reply.fields["ResourceId"])


@pytest.mark.standin_server(call_events=True, event_delay_ms=0, finish_delay_ms=0)
def test_a_call_is_made_answered_and_cleared(standin_server: StandInServer) -> None:
    with session.Session(
        standin_server.host, standin_server.port, "ivr", "secret", is_failure=quelvant_standin.failed
    ) as s:
        front = resource(s.resource_create_frontend(accepting=True))
        with s.subscribe(lambda e: e.words[:1] == ["CallConnected"]) as connected:
            s.request(Command.call_make(front, "1001", None, None, None, None, None))
            event = connected.get(timeout=10)
    # Bound inside the with blocks and used after them: the session and the subscription
    # do not swallow exceptions, so a checker knows both names are set here.
    assert event.fields["ResourceId"] == str(front)
    assert pickle.loads(pickle.dumps(event)).line == event.line
    assert standin_server.received(0).count(b"CallMake ") == 1


def test_an_unknown_command_raises_server_error_with_its_reply(standin_server: StandInServer) -> None:
    with session.Session(
        standin_server.host, standin_server.port, "ivr", "secret", is_failure=quelvant_standin.failed
    ) as s:
        with pytest.raises(session.ServerError) as failure:
            s.request("Bogus 1")  # a command the server does not know
    assert failure.value.reply.words[0] == "ERROR"
