"""Recordings of sessions, and the stand-in server answering from one."""

from __future__ import annotations

import contextlib
import logging
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quelvant_standin
from quelvant_rs import session
from quelvant_standin import recording
from quelvant_standin.harness import StandInError
from test_standin_server import LineClient

HEADER = recording.HEADER + "\n"


def record_flow(srv, path, caplog) -> None:
    """A call flow of one Session against srv, recorded at path."""
    with caplog.at_level(logging.WARNING), recording.record(path, server=srv.address):
        with session.Session(srv.host, srv.port, "ivr", "secret", is_failure=quelvant_standin.failed) as s:
            front = int(s.resource_create_frontend().fields["ResourceId"])
            s.call_make(front, "1001")
            s.wait_for(lambda e: e.words[:1] == ["CallConnected"], timeout=5)
            with s.subscribe(lambda e: e.words[:1] == ["PlayFinished"]) as played:
                s.play_file(front, "hello.wav")
                played.get(timeout=5)
    # The trace reached the recording only: the program's own logging saw none of it.
    assert not [r for r in caplog.records if r.name == recording.WIRE_LOGGER]
    assert logging.getLogger(recording.WIRE_LOGGER).level == logging.NOTSET


@pytest.mark.standin_server(call_events=True, event_delay_ms=5, finish_delay_ms=5)
def test_a_recorded_flow_is_answered_as_it_was(standin_server, make_server, tmp_path, caplog):
    path = tmp_path / "flow.rec"
    record_flow(standin_server, path, caplog)
    entries = recording.read(path)
    assert path.read_text().startswith(HEADER) and "secret" not in path.read_text()
    assert [(e.sent, e.line) for e in entries[:2]] == [
        (True, "Login ivr *** COMMANDTAG=0"),
        (False, "OK Login COMMANDTAG=0")]
    assert [e.at for e in entries] == sorted(e.at for e in entries)

    replay = make_server(replay=path)
    with contextlib.closing(LineClient(replay.address)) as c:
        # Other tags, another password: matched by word and arguments, answered with these tags.
        c.send(b"Login ivr other 2 3 COMMANDTAG=20\nResourceCreateFrontEnd COMMANDTAG=21\n"
               b"CallMake 1 1001 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=22\n")
        assert [c.readline() for _ in range(4)] == [
            b"OK Login COMMANDTAG=20", b"OK ResourceCreateFrontEnd ResourceId=1 COMMANDTAG=21",
            b"OK CallMake COMMANDTAG=22", b"CallConnected ResourceId=1"]
        c.send(b"PlayFile 1 hello.wav COMMANDTAG=23\n")
        assert [c.readline() for _ in range(2)] == [
            b"OK PlayFile COMMANDTAG=23", b"PlayFinished ResourceId=1 COMMANDTAG=23"]
        c.send(b"CallHold 1 COMMANDTAG=24\n")
        assert c.readline() == b"ERROR not in the recording: CallHold 1 COMMANDTAG=24"
    assert replay.uncovered(clear=True) == ["CallHold 1"]
    assert replay.uncovered() == []


def test_replay_answers_in_order_withholds_and_leads(make_server, tmp_path):
    path = tmp_path / "hand.rec"
    path.write_text(HEADER + textwrap.dedent("""\
        # written by hand
        0.000 < Hello Banner=1
        0.010 > ResourceCreatePlayer COMMANDTAG=1
        0.011 < OK ResourceCreatePlayer ResourceId=5 COMMANDTAG=1
        0.020 > ResourceCreatePlayer COMMANDTAG=2
        0.021 < OK ResourceCreatePlayer ResourceId=6 COMMANDTAG=2
        0.030 > CallHold 5 COMMANDTAG=3
        0.040 > GetVersion COMMANDTAG=4
        0.041 < OK GetVersion Version=9 COMMANDTAG=4
        0.042 < Unrelated COMMANDTAG=99
        """))
    srv = make_server(replay=path, rules=[{"word": "Logout", "answer": "ruled {tag}"}])
    with contextlib.closing(LineClient(srv.address)) as c:
        assert c.readline() == b"Hello Banner=1"  # before any request: on connecting
        c.send(b"".join(b"%s COMMANDTAG=%d\n" % (line, tag) for tag, line in enumerate(
            [b"ResourceCreatePlayer"] * 3 + [b"CallHold 5", b"Logout", b"GetVersion"], 1)))
        assert [c.readline() for _ in range(6)] == [
            b"OK ResourceCreatePlayer ResourceId=5 COMMANDTAG=1",
            b"OK ResourceCreatePlayer ResourceId=6 COMMANDTAG=2",
            b"OK ResourceCreatePlayer ResourceId=6 COMMANDTAG=3",  # the last one again
            # CallHold: never answered in the recording, so not now either
            b"ruled 5",  # a rule ranks above the recording
            b"OK GetVersion Version=9 COMMANDTAG=6",
            b"Unrelated COMMANDTAG=99"]  # another request's tag stays as it was
    assert srv.uncovered() == []


@pytest.mark.parametrize("text, message", [
    ("not a recording\n", "not a recording"),
    (HEADER + "0.1 ? what\n", ":2: expected"),
])
def test_a_bad_recording_is_refused_at_start(make_server, tmp_path, text, message):
    path = tmp_path / "bad.rec"
    path.write_text(text)
    with pytest.raises(StandInError, match=message):
        make_server(replay=path)


def test_the_mark_replays_and_fails_a_test_the_recording_does_not_cover(tmp_path):
    (tmp_path / "flow.rec").write_text(
        HEADER + "0 > GetVersion COMMANDTAG=0\n0 < OK GetVersion Version=rec COMMANDTAG=0\n")
    (tmp_path / "test_flow.py").write_text(textwrap.dedent("""\
        import socket, pytest

        def ask(srv, line):
            with socket.create_connection(srv.address) as c:
                c.sendall(line + b"\\n")
                return c.makefile("rb").readline()

        @pytest.mark.standin_server(replay="flow.rec")
        def test_covered(standin_server):
            assert ask(standin_server, b"GetVersion COMMANDTAG=3") == b"OK GetVersion Version=rec COMMANDTAG=3\\n"

        @pytest.mark.standin_server(replay="flow.rec")
        def test_not_covered(standin_server):
            ask(standin_server, b"CallHold 1 COMMANDTAG=4")
        """))
    # The kit this process tests, wherever it comes from.
    kit = str(Path(quelvant_standin.__file__).resolve().parent.parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [kit, os.environ.get("PYTHONPATH")]))}
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_flow.py"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert "2 passed, 1 error" in done.stdout, done.stdout
    assert "requests the recording does not hold (answered ERROR): CallHold 1" in done.stdout
