"""The last bytes of a stream, up to a limit, with their place in the stream.

What the server read on a connection is kept for ``received()``, but only so much of it: a
peer that sends without end must not grow the server without end. Offsets count every byte
of the stream, kept or not, so a reader that asks "from offset n on" learns where what it got
starts.
"""

from __future__ import annotations

from collections import deque

# Bytes are kept in blocks of about this size: few objects for a stream of short lines, and
# dropping the oldest bytes frees whole blocks instead of copying the rest.
_BLOCK = 1 << 16


class ByteWindow:
    """The stream's last ``limit`` bytes (all of them while it is shorter)."""

    def __init__(self, limit: int) -> None:
        if limit < 1:
            raise ValueError(f"a window holds at least 1 byte, got {limit}")
        self.limit = limit
        self.start = 0  # offset in the stream of the first byte held
        self.size = 0  # bytes in the stream so far, held or not
        self._blocks: deque[bytes] = deque()
        self._held = 0  # bytes in _blocks
        self._open = bytearray()  # the newest bytes, not yet a block

    def __len__(self) -> int:
        return self._held + len(self._open)

    def append(self, data: bytes | bytearray | memoryview) -> None:
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
        """The stream went on to offset unseen: what is held is no longer its end, so it goes."""
        if offset > self.size:
            self._blocks.clear()
            self._held = 0
            self._open.clear()
            self.start = self.size = offset

    def _trim(self) -> None:
        excess = len(self) - self.limit
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

    def read(self, offset: int = 0) -> tuple[int, bytes]:
        """(where the bytes start, the bytes held from offset on): from the first byte held
        when offset lies before it."""
        skip = max(offset, self.start) - self.start
        parts = []
        for block in (*self._blocks, self._open):
            if skip >= len(block):
                skip -= len(block)
                continue
            parts.append(block[skip:] if skip else block)
            skip = 0
        return max(offset, self.start), b"".join(parts)
