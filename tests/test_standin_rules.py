"""The stand-in server's rule table: matching, ranking, templates, faults, and every way of
giving rules (harness keywords, marks, a file, during a test)."""

from __future__ import annotations

import contextlib
import json
import socket

import pytest

from quelvant_standin.harness import StandInError
from test_standin_server import LineClient


def exchange(srv, lines: list[bytes], count: int | None = None) -> list[bytes]:
    """Sends the lines on a new connection; returns the next count lines read (one a line)."""
    with contextlib.closing(LineClient(srv.address)) as c:
        c.send(b"".join(line + b"\n" for line in lines))
        return [c.readline() for _ in range(len(lines) if count is None else count)]


BUSY = {"word": "CallMake", "args": {"2": "1002"}, "answer": "ERROR busy COMMANDTAG={tag}", "then": []}


@pytest.mark.parametrize(
    "rules, sent, expected",
    [
        # arguments by position and by key; glob patterns
        ([BUSY], [b"CallMake 7 1002 COMMANDTAG=1", b"CallMake 7 1001 COMMANDTAG=2"],
         [b"ERROR busy COMMANDTAG=1", b"OK CallMake COMMANDTAG=2"]),
        ([{"word": "CallMake", "args": {"CallerName": "B*"}, "answer": "ERROR {CallerName} COMMANDTAG={tag}"}],
         [b"CallMake 7 1 CallerName=Bob COMMANDTAG=1", b"CallMake 7 1 CallerName=Al COMMANDTAG=2",
          b"CallMake 7 1 COMMANDTAG=3"],
         [b"ERROR Bob COMMANDTAG=1", b"OK CallMake COMMANDTAG=2", b"OK CallMake COMMANDTAG=3"]),
        # every field; {rid} is one id per request, drawn from the count the usual answers use
        ([{"word": ["ResourceGetStatus"],
           "answer": "OK {word} ResourceId={1} Id={rid} Again={rid} COMMANDTAG={tag}"}],
         [b"ResourceCreatePlayer COMMANDTAG=1", b"ResourceGetStatus 4 COMMANDTAG=2",
          b"ResourceCreateFax COMMANDTAG=3"],
         [b"OK ResourceCreatePlayer ResourceId=1 COMMANDTAG=1",
          b"OK ResourceGetStatus ResourceId=4 Id=2 Again=2 COMMANDTAG=2",
          b"OK ResourceCreateFax ResourceId=3 COMMANDTAG=3"]),
        # a field the request lacks: the answer says so
        ([{"name": "status", "word": "ResourceGetStatus", "answer": "OK {3} COMMANDTAG={tag}"}],
         [b"ResourceGetStatus 4 COMMANDTAG=1"],
         [b"ERROR stand-in rule status: no {3} in the request COMMANDTAG=1"]),
        # a word of the rules' own is answered; a rule for every line reaches unparsable ones
        ([{"word": "Bogus", "answer": "OK Bogus {{braces}} COMMANDTAG={tag}"}],
         [b"Bogus COMMANDTAG=1"], [b"OK Bogus {braces} COMMANDTAG=1"]),
        # ranking: a word before none, arguments before a word alone, else the newest
        ([{"answer": "A"}, {"word": "GetVersion", "answer": "B"}, {"answer": "C"}],
         [b"GetVersion COMMANDTAG=1", b"Logout COMMANDTAG=2", b"nonsense"], [b"B", b"C", b"C"]),
        ([BUSY, {"word": "CallMake", "answer": "W"}],
         [b"CallMake 7 1002 COMMANDTAG=1", b"CallMake 7 1001 COMMANDTAG=2"],
         [b"ERROR busy COMMANDTAG=1", b"W"]),
        ([{"word": "Logout", "answer": "old"}, {"word": "Logout", "answer": "new"}],
         [b"Logout COMMANDTAG=1"], [b"new"]),
        # times: the rule decides that many lines, then the usual answer is back
        ([{"word": "Logout", "answer": "first", "times": 2}],
         [b"Logout COMMANDTAG=1", b"Logout COMMANDTAG=2", b"Logout COMMANDTAG=3"],
         [b"first", b"first", b"OK Logout COMMANDTAG=3"]),
        # follow-up lines: counted from the answer, by their due times; one lacking a field is
        # left out; a fault ranked first takes the place of the answer
        ([{"word": "PlayFile", "then": [[60, "late {tag}"], [0, "at once {1}"], [0, "gone {9}"]]}],
         [b"PlayFile 3 a.wav COMMANDTAG=4"], [b"OK PlayFile COMMANDTAG=4", b"at once 3", b"late 4"]),
        ([{"word": "CallHold", "fault": "withhold"}],
         [b"CallHold 1 COMMANDTAG=1", b"Logout COMMANDTAG=2"], [b"OK Logout COMMANDTAG=2"]),
    ],
    ids=["position", "key-glob", "fields", "missing-field", "own-word", "word-beats-none",
         "args-beat-word", "newest", "times", "then", "withhold"],
)
def test_rules_decide_answers(make_server, rules, sent, expected):
    srv = make_server(rules=rules)
    assert exchange(srv, sent, len(expected)) == expected


@pytest.mark.parametrize("fault", ["close", "reset"])
def test_a_closing_fault_answers_nothing(server, fault):
    server.add_rule("CallMake", fault=fault)
    with contextlib.closing(LineClient(server.address)) as c:
        c.send(b"CallMake 1 COMMANDTAG=1\nLogout COMMANDTAG=2\n")
        if fault == "reset":
            with pytest.raises(ConnectionResetError):
                c.read_until_eof()
        else:
            assert c.read_until_eof() == b""


def test_a_stall_stops_reading_until_resumed(server):
    server.add_rule("CallHold", fault="stall")
    with contextlib.closing(LineClient(server.address)) as c:
        c.send(b"CallHold 1 COMMANDTAG=1\nLogout COMMANDTAG=2\n")
        server.wait_received(b"CallHold 1 COMMANDTAG=1\n")
        assert b"Logout" not in server.received(0)  # read, but not taken in
        server.remove_rule(server.rules()[0]["name"])
        server.resume(0)
        assert c.readline() == b"OK Logout COMMANDTAG=2"  # the stalled line itself: no answer


def test_rules_change_during_a_test_and_list_the_switches_too(server):
    server.set_refuse_login(True)
    name = server.add_rule(word="Logout", answer="ERROR no COMMANDTAG={tag}", name="no-logout")
    assert name == "no-logout"
    assert [r["name"] for r in server.rules()] == ["no-logout", "refuse-login"]
    assert exchange(server, [b"Login a b COMMANDTAG=1", b"Logout COMMANDTAG=2"]) == [
        b"ERROR Login refused COMMANDTAG=1", b"ERROR no COMMANDTAG=2"]
    assert server.remove_rule("no-logout") and not server.remove_rule("no-logout")
    server.set_refuse_login(False)
    assert server.rules() == []
    assert exchange(server, [b"Login a b COMMANDTAG=3"]) == [b"OK Login COMMANDTAG=3"]


@pytest.mark.standin_server(rules=[BUSY])
def test_rules_from_a_mark(standin_server):
    assert exchange(standin_server, [b"CallMake 1 1002 COMMANDTAG=5"]) == [b"ERROR busy COMMANDTAG=5"]


@pytest.mark.parametrize("suffix", [".toml", ".json"])
def test_rules_from_a_file(make_server, tmp_path, suffix):
    path = tmp_path / f"rules{suffix}"
    if suffix == ".toml":
        path.write_text('[[rule]]\nword = "CallMake"\nargs = { 2 = "1002" }\n'
                        'answer = "ERROR busy COMMANDTAG={tag}"\nthen = []\n')
    else:
        path.write_text(json.dumps([BUSY]))
    srv = make_server(rules_file=path, call_events=True, event_delay_ms=0)
    assert exchange(srv, [b"CallMake 1 1002 COMMANDTAG=5", b"CallMake 1 1001 COMMANDTAG=6"], 3) == [
        b"ERROR busy COMMANDTAG=5", b"OK CallMake COMMANDTAG=6", b"CallConnected ResourceId=1"]


@pytest.mark.parametrize(
    "rule, message",
    [
        ({"word": "CallMake"}, "sets nothing"),
        ({"answer": "x", "colour": "red"}, "a rule has no colour"),
        ({"fault": "explode"}, "fault is one of"),
        ({"fault": "close", "answer": "x"}, "takes the place of the answer"),
        ({"answer": "OK {1.real}"}, "is none of"),
        ({"answer": "OK {"}, "template"),
        ({"answer": "two\nlines"}, "one line"),
        ({"word": "two words", "answer": "x"}, "one non-blank token"),
        ({"args": {"0": "x"}, "answer": "x"}, "count from 1"),
        ({"then": [[-1, "x"]]}, "0 or more"),
        ({"then": "CallConnected"}, "a list of lines"),
        ({"then": {"after_ms": 5, "line": "x"}}, "a list of lines"),
        ({"answer": "x", "times": 0}, "1 or more"),
    ],
)
def test_bad_rules_are_refused_where_given(make_server, tmp_path, rule, message):
    with pytest.raises((ValueError, TypeError), match=message):
        make_server(rules=[rule])
    path = tmp_path / "rules.json"
    path.write_text(json.dumps([rule]))
    with pytest.raises(StandInError, match=message):
        make_server(rules_file=path)


def test_rules_keep_answering_unparsable_and_long_lines(make_server):
    srv = make_server(rules=[{"word": "PlayFile", "answer": "OK {1} {Tail} COMMANDTAG={tag}"}])
    long = b"PlayFile 2 " + b"x" * (1 << 20) + b" Tail=end COMMANDTAG=7"
    assert exchange(srv, [long, b"bad line"]) == [b"OK 2 end COMMANDTAG=7", b"ERROR cannot parse line: bad line"]
