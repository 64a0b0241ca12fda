"""The server's usual answers, where no rule sets one (see README.md, "Requests and answers")."""

from __future__ import annotations

from dataclasses import dataclass, field

from . import catalogue
from .requests import Request
from .templates import Context

VERSION_TEXT = "standin-1.0"


@dataclass(frozen=True)
class Response:
    """An answer (None: none at all) and the lines that follow it, (after_ms, line) each."""

    answer: bytes | None
    then: list[tuple[float, bytes]] = field(default_factory=list)


class AnswerTable:
    """Answers every known command word OK, and anything else with the error it is."""

    def lead_events(self, index: int) -> list[tuple[float, bytes]]:
        return []

    def respond(self, request: Request, context: Context) -> Response:
        if request.word is None or request.tag is None:
            return Response(b"ERROR cannot parse line: " + request.line.shown())
        word, tag = request.word_bytes, b"COMMANDTAG=" + request.tag.encode("ascii")
        if request.word not in catalogue.command_words():
            return Response(b"ERROR unknown command " + word + b" " + tag)
        if request.word.startswith("ResourceCreate"):
            return Response(b"OK %s ResourceId=%d %s" % (word, context.rid(), tag))
        if request.word == "GetVersion":
            return Response(b"OK GetVersion Version=%s %s" % (VERSION_TEXT.encode(), tag))
        return Response(b"OK " + word + b" " + tag)
