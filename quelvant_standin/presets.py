"""The server's switches as rules: call events, delays, withheld words, dropped connections,
refused logins and trailing events, each kept under a name of its own in the rule table, so
setting a switch again replaces its rule and clearing it removes the rule.
"""

from __future__ import annotations

from .rules import Rule
from .templates import Template

DEFAULT_EVENT_DELAY_MS = 20.0
DEFAULT_FINISH_DELAY_MS = 50.0

# With call events on: the line sent event_delay_ms after the answer.
CALL_EVENTS = {"CallMake": "CallConnected", "CallAnswer": "CallConnected", "CallClear": "CallCleared"}
# With call events on: the line, carrying the command's tag, sent finish_delay_ms after the
# answer to a command that runs for a while.
FINISHED_EVENTS = {
    "PlayFile": "PlayFinished",
    "PlayStream": "PlayFinished",
    "PlayTone": "PlayFinished",
    "RecorderStartToFile": "RecorderFinished",
    "RecorderStartToStream": "RecorderFinished",
    "FaxSend": "FaxFinished",
    "FaxReceive": "FaxFinished",
}

REFUSE_LOGIN = "refuse-login"
TRAILING_EVENTS = "trailing-events"


def delay_name(word: str | None) -> str:
    return f"delay:{'*' if word is None else word}"


def delay(word: str | None, ms: float) -> Rule:
    # A word's own 0 stays a rule: it ranks above a delay for every word.
    words = None if word is None else frozenset([word])
    return Rule(delay_name(word), word=words, delay_ms=float(ms))


def mute_name(word: str) -> str:
    return f"mute:{word}"


def mute(word: str) -> Rule:
    return Rule(mute_name(word), word=frozenset([word]), fault="withhold")


def drop(word: str, reset: bool) -> Rule:
    return Rule(f"drop:{word}", word=frozenset([word]), fault="reset" if reset else "close", times=1)


def refuse_login() -> Rule:
    return Rule(REFUSE_LOGIN, word=frozenset(["Login"]),
                answer=Template("ERROR Login refused COMMANDTAG={tag}"))


def call_event_names() -> list[str]:
    return [f"call-event:{word}" for word in (*CALL_EVENTS, *FINISHED_EVENTS)]


def call_events(event_delay_ms: float, finish_delay_ms: float) -> list[Rule]:
    """A request with no argument before its tag has no {1}, and so gets no such line."""
    rules = [Rule(f"call-event:{word}", word=frozenset([word]),
                  then=((event_delay_ms, Template(f"{event} ResourceId={{1}}")),))
             for word, event in CALL_EVENTS.items()]
    rules += [Rule(f"call-event:{word}", word=frozenset([word]),
                   then=((finish_delay_ms,
                          Template(f"{event} ResourceId={{1}} COMMANDTAG={{tag}}")),))
              for word, event in FINISHED_EVENTS.items()]
    return rules


def trailing_events(count: int, words: frozenset[str]) -> Rule:
    """Behind every answer but Login's: count lines, each a write of its own."""
    lines = tuple((0.0, Template(f"Trailer Index={k} COMMANDTAG={{tag}}")) for k in range(1, count + 1))
    return Rule(TRAILING_EVENTS, word=words - {"Login"}, then=lines)
