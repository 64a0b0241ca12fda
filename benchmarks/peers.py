"""Pure-Python peers of the module, the baselines its ratios are measured against.

Each follows the module's rules for CallMake: a None timeout, privacy or screen stores the
protocol default (30000, 0, 1); a None caller_number or caller_name leaves the key off.
They skip the module's argument checks (types, ranges, line breaks), so they are the
cheapest honest Python equivalent rather than a faithful re-implementation.
"""

from __future__ import annotations

import asyncio
import os
import queue
import socket
import threading


class CallMake:
    """The command as a plain `__slots__` object (peer of `Command.call_make(...)`)."""

    __slots__ = ("resource_id", "address", "timeout", "caller_number", "caller_name", "privacy", "screen")

    def __init__(self, resource_id, address, timeout, caller_number, caller_name, privacy, screen):
        self.resource_id = resource_id
        self.address = address
        self.timeout = 30000 if timeout is None else timeout
        self.caller_number = caller_number
        self.caller_name = caller_name
        self.privacy = 0 if privacy is None else privacy
        self.screen = 1 if screen is None else screen

    def __str__(self):
        line = f"CallMake {self.resource_id} {self.address} TimeOut={self.timeout}"
        if self.caller_number is not None:
            line += f" CallerNumber={self.caller_number}"
        if self.caller_name is not None:
            line += f" CallerName={self.caller_name}"
        return f"{line} Privacy={self.privacy} Screen={self.screen}"


class PyCommand:
    """Peer of `Command`: the factory is the class itself, one Python-level call."""

    call_make = CallMake


def render_call_make(resource_id, address, timeout, caller_number, caller_name, privacy, screen, tag):
    """The wire bytes of one tagged CallMake (P1's work without the send)."""
    line = f"CallMake {resource_id} {address} TimeOut={30000 if timeout is None else timeout}"
    if caller_number is not None:
        line += f" CallerNumber={caller_number}"
    if caller_name is not None:
        line += f" CallerName={caller_name}"
    return (
        f"{line} Privacy={0 if privacy is None else privacy} Screen={1 if screen is None else screen}"
        f" COMMANDTAG={tag}\n"
    ).encode()


class PeerClient:
    """P1: renders with an f-string, tags, encodes and sends with sendall."""

    def __init__(self, host: str, port: int, nodelay: bool | None = None):
        self.sock = socket.create_connection((host, port))
        if nodelay is not None:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, int(nodelay))
        self.command_tag = 0

    def call_make(self, resource_id, address, timeout, caller_number, caller_name, privacy, screen):
        tag = self.command_tag
        line = f"CallMake {resource_id} {address} TimeOut={30000 if timeout is None else timeout}"
        if caller_number is not None:
            line += f" CallerNumber={caller_number}"
        if caller_name is not None:
            line += f" CallerName={caller_name}"
        self.sock.sendall(
            f"{line} Privacy={0 if privacy is None else privacy} Screen={1 if screen is None else screen}"
            f" COMMANDTAG={tag}\n".encode()
        )
        self.command_tag = tag + 1

    def close(self) -> None:
        self.sock.close()


_output_lock = threading.Lock()


def read_lines_to_stdout(sock: socket.socket) -> int:
    """P3: the reader loop in Python. Returns the number of lines it printed."""
    reader = sock.makefile("rb")
    write = os.write
    count = 0
    for raw in iter(reader.readline, b""):
        text = raw.decode("utf-8", "replace").strip()
        message = f"Received: {text}\n".encode()
        with _output_lock:  # the module holds a process-wide lock per line too
            write(1, message)
        count += 1
    with _output_lock:
        write(1, b"Connection closed.\n")
    return count


# ---- peers of the sessions -----------------------------------------------------------------
# Each logs in first, as a session does, with the same line.

LOGIN = "Login bench bench 2 3"


def tag_of(line: str) -> int | None:
    """The number after the last "COMMANDTAG=" on the line, or None."""
    _, key, rest = line.rpartition("COMMANDTAG=")
    if not key:
        return None
    digits = rest.split(" ", 1)[0]
    return int(digits) if digits.isdigit() else None


class BlockingPeer:
    """P4: sendall, then readline until the line carrying the tag; other lines are skipped."""

    def __init__(self, host: str, port: int):
        self.sock = socket.create_connection((host, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.readline = self.sock.makefile("rb").readline
        self.command_tag = 0
        self.request(LOGIN)

    def request(self, text: str) -> str:
        tag = self.command_tag
        self.command_tag = tag + 1
        self.sock.sendall(f"{text} COMMANDTAG={tag}\n".encode())
        while True:
            raw = self.readline()
            if not raw:
                raise ConnectionError("closed")
            line = raw.decode("utf-8", "replace").strip()
            if tag_of(line) == tag:
                return line

    def close(self) -> None:
        self.sock.close()


class ThreadedPeer:
    """P5: a reader thread routes each reply by tag to the caller waiting for it, through a
    condition variable; the caller only sends and waits."""

    def __init__(self, host: str, port: int):
        self.sock = socket.create_connection((host, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.command_tag = 0
        self._cond = threading.Condition()
        self._waiting: set[int] = set()
        self._replies: dict[int, str] = {}
        self._closed = False
        threading.Thread(target=self._read, daemon=True).start()
        self.request(LOGIN)

    def _read(self) -> None:
        for raw in iter(self.sock.makefile("rb").readline, b""):
            line = raw.decode("utf-8", "replace").strip()
            tag = tag_of(line)
            with self._cond:
                if tag in self._waiting:
                    self._waiting.discard(tag)
                    self._replies[tag] = line
                    self._cond.notify_all()
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def request(self, text: str) -> str:
        tag = self.command_tag
        self.command_tag = tag + 1
        with self._cond:
            self._waiting.add(tag)  # before the line leaves, so the reply cannot come too early
        self.sock.sendall(f"{text} COMMANDTAG={tag}\n".encode())
        with self._cond:
            while tag not in self._replies:
                if self._closed:
                    raise ConnectionError("closed")
                self._cond.wait()
            return self._replies.pop(tag)

    def close(self) -> None:
        self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()


class AsyncPeer:
    """P6: asyncio streams; a reader task readline()s, parses the tag and resolves the future
    kept for it in a dict; every request is one writer.write()."""

    @classmethod
    async def connect(cls, host: str, port: int) -> "AsyncPeer":
        self = cls()
        self._reader, self._writer = await asyncio.open_connection(host, port)
        self._loop = asyncio.get_running_loop()
        self._futures: dict[int, asyncio.Future] = {}
        self.command_tag = 0
        self._task = asyncio.create_task(self._read())
        await self.request(LOGIN)
        return self

    def request(self, text: str) -> asyncio.Future:
        """The future of the reply (awaited directly: no coroutine per request)."""
        tag = self.command_tag
        self.command_tag = tag + 1
        future = self._loop.create_future()
        self._futures[tag] = future
        self._writer.write(f"{text} COMMANDTAG={tag}\n".encode())
        return future

    async def _read(self) -> None:
        readline = self._reader.readline
        futures = self._futures
        while raw := await readline():
            line = raw.decode("utf-8", "replace").strip()
            future = futures.pop(tag_of(line), None)
            if future is not None and not future.done():
                future.set_result(line)
        for future in futures.values():
            if not future.done():
                future.set_exception(ConnectionError("closed"))
        futures.clear()

    async def close(self) -> None:
        for future in self._futures.values():
            future.cancel()
        self._futures.clear()
        self._task.cancel()
        self._writer.close()
        try:
            await self._writer.wait_closed()
        except (ConnectionError, asyncio.CancelledError):
            pass


def queue_lines(sock: socket.socket, lines: queue.Queue) -> None:
    """P7's reader thread: recv, split into lines, decode, put each line in the queue."""
    put = lines.put
    rest = b""
    while data := sock.recv(65536):
        data = rest + data
        cut = data.rfind(b"\n") + 1
        rest = data[cut:]
        for line in data[:cut].decode("utf-8", "replace").splitlines():
            put(line)
