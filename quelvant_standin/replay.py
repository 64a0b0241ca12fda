"""Answers from a recording (``recording.py``): the server answers each request the way the
recorded server did.

Each line the client sent is a request. Its answer is the first line received after it that
carries its tag; the lines received after that answer which carry the same tag, and those
without the tag of any request, follow it (an untagged line follows the last request sent
before it), each as long after the answer as it came in the recording (at once, if it came
before). Lines received before the first request go to the first connection, as long after
it is accepted as they came after the recording's first line.

A request is matched by its command word and arguments (a Login's password aside); the n-th
request with the same ones gets the n-th recorded answer, the last one again once they run
out. Tags are the request's own: a recorded line's tag, when it is the tag its request had,
is rewritten. A request the recording never answered gets no answer; one it does not hold is
answered ``ERROR not in the recording: <request> COMMANDTAG=<tag>`` and listed in
``uncovered``.
"""

from __future__ import annotations

import re
import sys
import threading
from dataclasses import dataclass, field
from pathlib import Path

from . import recording
from .answers import Response
from .line_assembly import Line
from .requests import Request, parse, wire
from .templates import Context

_TAG_RE = re.compile(r"(?<=[ \t])COMMANDTAG=([0-9]+)$")


def _tag_of(line: str) -> str | None:
    match = _TAG_RE.search(line)
    return None if match is None else match.group(1)


def key_of(request: Request) -> str:
    return recording.mask_login(request.key_text())


@dataclass
class _Exchange:
    tag: str
    answer: str | None = None
    answered_at: float | None = None
    sent_at: float = 0.0
    follow: list[tuple[float, str]] = field(default_factory=list)

    def anchor(self) -> float:
        return self.sent_at if self.answered_at is None else self.answered_at

    def retag(self, line: str, tag: str) -> bytes:
        if _tag_of(line) == self.tag:
            line = _TAG_RE.sub(f"COMMANDTAG={tag}", line)
        return wire(line)


class Replay:
    """The answers of one recording; thread-safe."""

    def __init__(self, path: str | Path) -> None:
        entries = recording.read(path)
        self.path = Path(path)
        self._by_key: dict[str, list[_Exchange]] = {}
        self._lead: list[tuple[float, str]] = []
        self._used: dict[str, int] = {}
        self._lock = threading.Lock()
        self.uncovered: list[str] = []
        waiting: dict[str, _Exchange] = {}  # by tag: sent, not yet answered
        by_tag: dict[str, _Exchange] = {}  # by tag: the latest request that had it
        last: _Exchange | None = None
        first_at = entries[0].at if entries else 0.0
        for e in entries:
            tag = _tag_of(e.line)
            if e.sent:
                request = parse(Line(wire(e.line)))
                if request.word is None or request.tag is None:
                    continue  # the recorded server could only have refused it
                last = _Exchange(request.tag, sent_at=e.at)
                self._by_key.setdefault(key_of(request), []).append(last)
                waiting[request.tag] = by_tag[request.tag] = last
            elif tag is not None and tag in waiting:
                answered = waiting.pop(tag)
                answered.answer, answered.answered_at = e.line, e.at
            else:
                owner = by_tag.get(tag) if tag is not None else None
                owner = owner or last
                if owner is None:
                    self._lead.append((max(0.0, e.at - first_at) * 1000.0, e.line))
                else:
                    owner.follow.append((max(0.0, e.at - owner.anchor()) * 1000.0, e.line))

    def lead_events(self, index: int) -> list[tuple[float, bytes]]:
        """(after_ms, line) for connection index, from its accept."""
        return [(ms, wire(line)) for ms, line in self._lead] if index == 0 else []

    def take_uncovered(self, clear: bool) -> list[str]:
        with self._lock:
            found = list(self.uncovered)
            if clear:
                self.uncovered.clear()
            return found

    def respond(self, request: Request, context: Context) -> Response:
        if request.word is None or request.tag is None:
            return Response(b"ERROR cannot parse line: " + request.line.shown())
        key = key_of(request)
        with self._lock:
            found = self._by_key.get(key)
            if not found:
                self.uncovered.append(key)
            else:
                k = self._used.get(key, 0)
                self._used[key] = k + 1
                exchange = found[min(k, len(found) - 1)]
        if not found:
            print(f"quelvant_standin: not in the recording {self.path}: {key}", file=sys.stderr, flush=True)
            return Response(b"ERROR not in the recording: %s COMMANDTAG=%s" % (wire(key), wire(request.tag)))
        if exchange.answer is None:
            return Response(None)
        return Response(exchange.retag(exchange.answer, request.tag),
                        [(ms, exchange.retag(line, request.tag)) for ms, line in exchange.follow])
