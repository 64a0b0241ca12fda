"""A request line as the server reads it: its command word, arguments and tag.

    <Word> [<arguments...>] COMMANDTAG=<digits>

The word is the first token (no leading blanks), the tag the very last one; tokens are
separated by blanks or tabs. Arguments are text as received (bytes that are not UTF-8 kept
through surrogate escapes, so what is echoed is what came). ``args`` are the tokens between
word and tag, by position; ``keys`` the ``Key=Value`` ones among them, by key.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

from .line_assembly import Line

# Word, optional arguments, then the tag as the very last token.  Deliberately
# strict (no leading blanks, nothing after the tag) so a client that formats
# lines sloppily is caught rather than forgiven.
_COMMAND_RE = re.compile(rb"^(\S+)(?:[ \t]+\S.*?)?[ \t]+COMMANDTAG=([0-9]+)$", re.DOTALL)
# The two ends of a line too long to keep whole.
_WORD_RE = re.compile(rb"^(\S+)[ \t]")
_TAG_RE = re.compile(rb"[ \t]COMMANDTAG=([0-9]+)$")
_BLANKS_RE = re.compile(rb"[ \t]+")


def text(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def wire(line: str) -> bytes:
    return line.encode("utf-8", "surrogateescape")


@dataclass(frozen=True)
class Request:
    """word and tag None: the line does not parse."""

    line: Line
    word: str | None = None
    tag: str | None = None
    args: tuple[str, ...] = ()
    keys: dict[str, str] = field(default_factory=dict)

    @property
    def word_bytes(self) -> bytes:
        return wire(self.word or "")

    def key_text(self) -> str:
        """The request without its tag, tokens joined by one blank: what a recording matches."""
        return " ".join((self.word or "", *self.args))


def _keys(tokens: list[bytes]) -> dict[str, str]:
    found: dict[str, str] = {}
    for token in tokens:
        key, eq, value = token.partition(b"=")
        if eq and key:
            found.setdefault(text(key), text(value))
    return found


def parse(line: Line) -> Request:
    if not line.cut:
        match = _COMMAND_RE.match(line.head)
        if match is None:
            return Request(line)
        tokens = _BLANKS_RE.split(line.head)[1:-1]
        return Request(line, text(match.group(1)), text(match.group(2)),
                       tuple(text(t) for t in tokens), _keys(tokens))
    # Too long to keep whole: the word from the first part, the tag from the last, and of the
    # arguments those wholly kept (by position only those before the cut).
    word, tag = _WORD_RE.match(line.head), _TAG_RE.search(line.tail)
    if word is None or tag is None:
        return Request(line)
    before = _BLANKS_RE.split(line.head)[1:-1]
    after = _BLANKS_RE.split(line.tail)[1:-1]
    return Request(line, text(word.group(1)), text(tag.group(1)),
                   tuple(text(t) for t in before), _keys(before + after))
