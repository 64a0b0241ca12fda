"""Which events the console shows: ``/filter`` and ``/mute`` (``--filter``, ``--mute``).

A match is a command word (an event's first word, ``CallConnected``), a ``Key=Value`` (one of
its fields), or a Python expression over the event (``event``, and its ``line``, ``words``,
``fields``, ``tag`` and ``kind``): ``tag is not None and "Play" in line``. An event is shown
when no filter is set or one of them takes it, and no mute does.
"""

from __future__ import annotations

import builtins
import re
from collections.abc import Iterable
from types import CodeType

from quelvant_rs import session

_WORD = re.compile(r"[A-Za-z][A-Za-z0-9_.-]*")
_FIELD = re.compile(r"([A-Za-z][A-Za-z0-9_]*)=(\S*)")


class EventMatcher:
    def __init__(self, text: str) -> None:
        self.text: str = text.strip()
        self._code: CodeType | None = None
        if _WORD.fullmatch(self.text) or _FIELD.fullmatch(self.text):
            return
        try:
            self._code = compile(self.text, "<filter>", "eval")
        except SyntaxError as exc:
            raise ValueError(f"{self.text!r} is no word, Key=Value or Python expression: {exc.msg}") from None

    def __call__(self, event: session.Event) -> bool:
        if self._code is not None:
            names = {"event": event, "line": event.line, "words": event.words, "fields": event.fields,
                     "tag": event.tag, "kind": event.kind}
            return bool(eval(self._code, {"__builtins__": builtins}, names))
        key, eq, value = self.text.partition("=")
        if eq:
            return event.fields.get(key) == value
        return event.words[:1] == [self.text]

    def __str__(self) -> str:
        return self.text


class EventFilter:
    def __init__(self, filters: Iterable[str] = (), mutes: Iterable[str] = ()) -> None:
        self.filters: list[EventMatcher] = [EventMatcher(s) for s in filters]
        self.mutes: list[EventMatcher] = [EventMatcher(s) for s in mutes]

    def shows(self, event: session.Event) -> bool:
        """Whether to show event; an expression that raises counts as not taking it."""
        return (not self.filters or any(_takes(m, event) for m in self.filters)) and not any(
            _takes(m, event) for m in self.mutes)


def _takes(matcher: EventMatcher, event: session.Event) -> bool:
    try:
        return matcher(event)
    except Exception:
        return False
