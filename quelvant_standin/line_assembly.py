"""Request lines put together from what a connection reads, in bounded memory.

A line is answered from its first token (the command word), its last (the tag) and the
arguments a rule or an event names, so a line longer than ``HEAD + TAIL`` bytes keeps only
its first ``HEAD`` and its last ``TAIL`` bytes and counts what it dropped between them: a
peer that sends a line without end costs the server at most that much.
"""

from __future__ import annotations

from dataclasses import dataclass

HEAD = 1 << 16
TAIL = 1 << 16


@dataclass(frozen=True)
class Line:
    """A line without its line ending: all of it (cut 0), or its ends around cut bytes."""

    head: bytes
    tail: bytes = b""
    cut: int = 0

    def shown(self) -> bytes:
        """The line as an answer may echo it: whole, or its two ends around a note."""
        if not self.cut:
            return self.head
        return b"%s [... %d bytes cut] %s" % (self.head, self.cut, self.tail)

    def is_blank(self) -> bool:
        return not self.cut and not self.head.strip()


class LineAssembler:
    """Collects the pieces of one line; ``finish`` hands it over and starts the next."""

    def __init__(self, head: int = HEAD, tail: int = TAIL) -> None:
        self._head_limit = head
        self._tail_limit = tail
        self._head = bytearray()
        self._tail = bytearray()
        self._cut = 0

    def add(self, piece: bytes | memoryview) -> None:
        room = self._head_limit - len(self._head)
        if room > 0:
            self._head += piece[:room]
            piece = piece[room:]
        if not piece:
            return
        self._tail += piece
        over = len(self._tail) - self._tail_limit
        if over > 0:
            del self._tail[:over]
            self._cut += over

    def finish(self, piece: bytes | memoryview = b"") -> Line:
        self.add(piece)
        head, tail, cut = bytes(self._head), bytes(self._tail), self._cut
        self.clear()
        # The "\r" of a "\r\n" ending goes; it is the last byte kept, in the tail if there is one.
        if tail.endswith(b"\r"):
            tail = tail[:-1]
        elif not tail and head.endswith(b"\r"):
            head = head[:-1]
        if not cut and tail:  # short enough to be whole after all
            head, tail = head + tail, b""
        return Line(head, tail, cut)

    def clear(self) -> None:
        self._head.clear()
        self._tail.clear()
        self._cut = 0
