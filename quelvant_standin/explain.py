"""What the server answers to one line, and the lines that follow it, as a fresh server with
its usual table decides: for the command reference, which shows it for every command."""

from __future__ import annotations

import itertools

from . import presets
from .answers import AnswerTable
from .line_assembly import Line
from .requests import parse, wire
from .rules import RuleTable
from .server import Verdict, decide


def answer_to(line: str, call_events: bool = False) -> Verdict:
    """The server's decision on ``line`` (a request with its tag), on a connection of its own:
    resource ids count from 1; with ``call_events``, its call events at their default delays."""
    rules = RuleTable()
    if call_events:
        for rule in presets.call_events(presets.DEFAULT_EVENT_DELAY_MS, presets.DEFAULT_FINISH_DELAY_MS):
            rules.add(rule)
    ids = itertools.count(1)
    return decide(rules, AnswerTable(), parse(Line(wire(line))), lambda: next(ids))
