"""What a connection read, kept for ``received()`` in bounded memory: all of it while it is
short, and once it is longer than ``head + limit`` bytes its first ``head`` bytes (a
login, the first requests) and its last ``limit`` (what a test waits for), the bytes between
them dropped.

Offsets count every byte of the stream, kept or not, so a reader that asks "from offset n
on" learns where each piece it gets starts, and a copy elsewhere keeps the same two parts.
"""

from __future__ import annotations

from collections import deque

HEAD = 1 << 20
# The last bytes are kept in blocks of about this size: few objects for a stream of short
# lines, and dropping the oldest frees whole blocks instead of copying the rest.
_BLOCK = 1 << 16


class ByteWindow:
    def __init__(self, limit: int, head: int = HEAD) -> None:
        if limit < 1:
            raise ValueError(f"a window holds at least 1 byte, got {limit}")
        self.limit = limit
        self.head_limit = head
        self.size = 0  # bytes in the stream so far, kept or not
        self._head = bytearray()  # the stream's first bytes
        self.start = 0  # offset in the stream of the first of the last bytes kept
        self._blocks: deque[bytes] = deque()
        self._held = 0  # bytes in _blocks
        self._open = bytearray()  # the newest bytes, not yet a block

    @property
    def dropped(self) -> int:
        """Bytes of the stream no longer held (those between its first and its last)."""
        return self.start - len(self._head) if self.start > len(self._head) else 0

    def append(self, data: bytes | bytearray | memoryview) -> None:
        if not data:
            return
        room = self.head_limit - len(self._head)
        if room > 0 and self.start == len(self._head):  # no gap yet: the head can grow
            taken = data[:room]
            self._head += taken
            self.size += len(taken)
            self.start = self.size
            data = data[room:]
            if not data:
                return
        self.size += len(data)
        self._open += data
        if len(self._open) >= _BLOCK:
            self._blocks.append(bytes(self._open))
            self._held += len(self._open)
            self._open.clear()
        self._trim()

    def skip_to(self, offset: int) -> None:
        """The stream went on to offset unseen: the last bytes held are no longer its end."""
        if offset > self.size:
            self._blocks.clear()
            self._held = 0
            self._open.clear()
            self.start = self.size = offset

    def _trim(self) -> None:
        excess = self._held + len(self._open) - self.limit
        while excess > 0 and self._blocks:
            first = self._blocks[0]
            if len(first) <= excess:
                self._blocks.popleft()
                cut = len(first)
            else:
                self._blocks[0] = first[excess:]
                cut = excess
            self._held -= cut
            self.start += cut
            excess -= cut
        if excess > 0:  # only the open block is left
            del self._open[:excess]
            self.start += excess

    def read(self, offset: int = 0) -> list[tuple[int, bytes]]:
        """The bytes held from offset on, as (stream offset, bytes) pieces: at most two, the
        first bytes and the last, when the stream lost bytes between them."""
        pieces: list[tuple[int, bytes]] = []
        if offset < len(self._head):
            pieces.append((offset, bytes(self._head[offset:])))
        skip = max(offset, self.start) - self.start
        parts: list[bytes | bytearray] = []
        kept: tuple[bytes | bytearray, ...] = (*self._blocks, self._open)
        for block in kept:
            if skip >= len(block):
                skip -= len(block)
                continue
            parts.append(block[skip:] if skip else block)
            skip = 0
        if parts:
            pieces.append((max(offset, self.start), b"".join(parts)))
        return pieces

    def write_at(self, offset: int, data: bytes) -> None:
        """Appends a piece another window's read() gave, starting at stream offset."""
        self.skip_to(offset)
        self.append(data[self.size - offset:] if offset < self.size else data)

    def held(self) -> bytes:
        """Every byte held, in the stream's order (without those dropped between)."""
        return b"".join(data for _, data in self.read(0))
