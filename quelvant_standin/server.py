"""TCP side of the stand-in server: accepting, per-connection readers, answers.

Every connection gets one reader thread.  The reader is the only thread that
ever closes a connection's socket; other threads ask for a close by setting a
flag and waking it.  Closing from elsewhere would free the descriptor number
while a sender may still use it, and the next accept could reuse that number,
so a late send would land on a different client.

Answers normally go out from the reader thread as each line is handled.  A
delayed answer, and every event or finished line, goes out from the server's
one scheduler thread instead (see ``scheduler.py``); whole lines never mix,
since every message is written under the connection's msg_lock.
"""

from __future__ import annotations

import functools
import ipaddress
import re
import socket
import struct
import sys
import threading
import time
import traceback
from functools import partial

from . import catalogue
from .byte_window import ByteWindow
from .line_assembly import Line, LineAssembler
from .requests import parse
from .scheduler import Scheduler

VERSION_TEXT = "standin-1.0"



def __getattr__(name: str):
    # The command words come from the built module's catalogue (catalogue.py), read when
    # first asked for, so importing this module never needs the module built.
    if name == "KNOWN_COMMANDS":
        return catalogue.command_words()
    if name == "RESOURCE_CREATORS":
        return _resource_creators()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


@functools.cache
def _resource_creators() -> frozenset[str]:
    return frozenset(w for w in catalogue.command_words() if w.startswith("ResourceCreate"))


# With call events on: the line sent event_delay_ms after the answer.
CALL_EVENTS = {"CallMake": b"CallConnected", "CallAnswer": b"CallConnected", "CallClear": b"CallCleared"}
# With call events on: the line, carrying the command's tag, sent
# finish_delay_ms after the answer to a command that runs for a while.
FINISHED_EVENTS = {
    "PlayFile": b"PlayFinished",
    "PlayStream": b"PlayFinished",
    "PlayTone": b"PlayFinished",
    "RecorderStartToFile": b"RecorderFinished",
    "RecorderStartToStream": b"RecorderFinished",
    "FaxSend": b"FaxFinished",
    "FaxReceive": b"FaxFinished",
}
DEFAULT_EVENT_DELAY_MS = 20.0
DEFAULT_FINISH_DELAY_MS = 50.0

_BLANKS_RE = re.compile(rb"[ \t]+")
# What received() keeps of each connection by default: its last 16 MiB.
DEFAULT_RECEIVED_LIMIT = 16 << 20

# Short socket timeouts keep every blocking call bounded, so flags such as
# "closing" or "stalled" are noticed promptly without any extra wake-up pipe.
_IO_POLL = 0.1
# How long a graceful close keeps draining the peer before giving up on its FIN.
_DRAIN_LIMIT = 2.0
_FLOOD_CHUNK = 1 << 20


def check_loopback(host: str) -> int:
    """Return the address family for host, refusing anything but loopback."""
    try:
        addr = ipaddress.ip_address(host)
    except ValueError:
        raise ValueError(f"host must be a literal loopback address, got {host!r}") from None
    if not addr.is_loopback:
        raise ValueError(f"refusing to listen on non-loopback address {host}")
    return socket.AF_INET6 if addr.version == 6 else socket.AF_INET


class ConnectionGone(Exception):
    """Raised inside send helpers when the connection is closing or closed."""


class Connection:
    def __init__(self, server: "StandInTcpServer", sock: socket.socket, index: int, stalled: bool):
        self.server = server
        self.sock = sock
        self.index = index
        self.peer = sock.getpeername()
        # What was read, for received(): its last received_limit bytes; guarded by server.cond.
        self.window = ByteWindow(server.received_limit)
        self.peer_closed = False  # we read EOF (or an error) from the peer
        self.closed = False  # our socket is closed
        self.write_shut = False  # FIN sent; nothing more may be written
        self.closing = False  # close asked for: reader must close at once
        self.draining = False  # graceful close: keep reading until EOF
        self.ignoring = False  # a delayed Quit is pending: record, answer nothing more
        self.drain_deadline = 0.0
        self.resume_event = threading.Event()
        if not stalled:
            self.resume_event.set()
        # msg_lock keeps one whole message (an answer, a flood chunk) together;
        # io_lock is held for each single syscall so the reader can close safely.
        # Reentrant so an answer can hold it while its events are queued.
        self.msg_lock = threading.RLock()
        self.io_lock = threading.Lock()
        self._line = LineAssembler()  # the line not yet complete
        self.thread = threading.Thread(target=self._run, name=f"conn-{index}", daemon=True)

    # -- state queries --------------------------------------------------
    @property
    def open(self) -> bool:
        return not (self.closed or self.closing or self.write_shut)

    # -- sending ---------------------------------------------------------
    def send_all(self, data: bytes | bytearray | memoryview) -> None:
        with self.msg_lock:
            view = memoryview(data)
            while view:
                with self.io_lock:
                    if self.closed or self.closing or self.write_shut:
                        raise ConnectionGone(f"connection {self.index} is closed")
                    try:
                        n = self.sock.send(view)
                    except TimeoutError:
                        continue
                    except OSError as exc:
                        raise ConnectionGone(f"connection {self.index}: {exc}") from exc
                view = view[n:]

    def answer(self, line: bytes) -> None:
        if self.server.silent:
            return
        try:
            self.send_all(line + b"\n")
        except ConnectionGone:
            pass

    def send_line(self, line: bytes) -> bool:
        """Send line plus "\\n"; False if the connection has gone meanwhile."""
        try:
            self.send_all(line + b"\n")
        except ConnectionGone:
            return False
        return True

    def _deliver(self, reply: bytes, events: list[tuple[float, bytes]], quit: bool) -> None:
        # Events count from the moment their answer goes out, however late that
        # is.  They are queued before the answer is written, under msg_lock, so
        # one due at once still waits for the answer, and by the time a client
        # sees the answer its events are already in the queue: anything
        # scheduled later for a later moment comes out after them.
        with self.msg_lock:
            for delay_ms, line in events:
                self.server.scheduler.after(delay_ms, partial(self.send_line, line))
            if not self.send_line(reply):
                return
        if quit:
            self.shutdown_write()

    # -- control actions ---------------------------------------------------
    def stall(self) -> None:
        self.resume_event.clear()

    def resume(self) -> None:
        self.resume_event.set()

    def shutdown_write(self) -> None:
        """Send FIN after anything already queued, then drain until the peer closes."""
        with self.msg_lock, self.io_lock:
            if self.closed or self.closing or self.write_shut:
                return
            self.write_shut = True
            self.drain_deadline = time.monotonic() + _DRAIN_LIMIT
            self.draining = True
            try:
                self.sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        self.resume_event.set()

    def reset(self) -> None:
        """Abort with RST: zero linger, then have the reader close the socket."""
        with self.io_lock:
            if self.closed:
                return
            self.closing = True
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                # SHUT_RD sends nothing on the wire but wakes a reader blocked in recv.
                self.sock.shutdown(socket.SHUT_RD)
            except OSError:
                pass
        self.resume_event.set()

    # -- reader thread --------------------------------------------------
    def _run(self) -> None:
        try:
            self._read_loop()
        finally:
            self._close_socket()

    def _read_loop(self) -> None:
        sock = self.sock
        while True:
            if self.closing:
                return
            if self.draining:
                if time.monotonic() >= self.drain_deadline:
                    return
            elif not self.resume_event.is_set():
                self.resume_event.wait(_IO_POLL)
                continue
            try:
                chunk = sock.recv(65536)
            except TimeoutError:
                continue
            except OSError:
                chunk = b""
            if self.closing:
                return
            if not chunk:
                with self.server.cond:
                    self.peer_closed = True
                    self.server.cond.notify_all()
                return
            if self.draining or self.ignoring:
                self._record(chunk)
                continue
            self._feed(chunk)

    def _record(self, data: bytes | memoryview) -> None:
        if data:
            with self.server.cond:
                self.window.append(data)
                self.server.cond.notify_all()

    def _feed(self, chunk: bytes) -> None:
        # A complete line is recorded only after it has been answered, so a
        # harness that saw the line in received() knows its answer is already
        # written (or suppressed) and can change modes without racing it.
        # Bytes of an unfinished line are recorded at once.
        view = memoryview(chunk)
        pos = 0
        while (nl := chunk.find(b"\n", pos)) >= 0:
            quit_seen = self._handle_line(self._line.finish(view[pos:nl]))
            self._record(view[pos : nl + 1])
            pos = nl + 1
            if quit_seen:
                self._record(view[pos:])
                return
        self._line.add(view[pos:])
        self._record(view[pos:])

    def _handle_line(self, received: Line) -> bool:
        """Answer one line; return True once the connection is being closed."""
        if received.is_blank():
            return False  # blank lines are keep-alives, not commands
        srv = self.server
        request = parse(received)
        if request.word is None:
            return self._reply(None, b"ERROR cannot parse line: " + received.shown())
        word, tag = request.word_bytes, request.tag.encode("ascii")
        line = received.head
        tag_part = b"COMMANDTAG=" + tag
        name = request.word if request.word.isascii() else ""
        reset = srv.take_drop(name)
        if reset is not None:
            if reset:
                self.reset()
            else:
                self.shutdown_write()
            return True
        if srv.is_muted(name):
            return False
        if name not in catalogue.command_words():
            return self._reply(name, b"ERROR unknown command " + word + b" " + tag_part)
        if name in _resource_creators():
            rid = srv.next_resource_id()
            reply = b"OK %s ResourceId=%d %s" % (word, rid, tag_part)
        elif name == "GetVersion":
            reply = b"OK GetVersion Version=%s %s" % (VERSION_TEXT.encode(), tag_part)
        elif name == "Login" and srv.refuse_login:
            reply = b"ERROR Login refused " + tag_part
        else:
            reply = b"OK " + word + b" " + tag_part
        events = self._events_for(name, line, tag_part) if srv.call_events else []
        done = self._reply(name, reply, events, quit=name == "Quit")
        if srv.trailing_events and name != "Login" and not srv.silent and not done:
            # Each in a write of its own, right behind the answer: with Nagle's algorithm on,
            # every one waits for the client's acknowledgement of the write before it.
            for k in range(1, srv.trailing_events + 1):
                if not self.send_line(b"Trailer Index=%d %s" % (k, tag_part)):
                    break
        return done

    def _events_for(self, name: str, line: bytes, tag_part: bytes) -> list[tuple[float, bytes]]:
        tokens = _BLANKS_RE.split(line)
        if len(tokens) < 3:
            return []  # no resource argument, so nothing to announce about
        rid = b"ResourceId=" + tokens[1]
        if name in CALL_EVENTS:
            return [(self.server.event_delay_ms, CALL_EVENTS[name] + b" " + rid)]
        if name in FINISHED_EVENTS:
            return [(self.server.finish_delay_ms, FINISHED_EVENTS[name] + b" " + rid + b" " + tag_part)]
        return []

    def _reply(self, name: str | None, reply: bytes, events=(), quit: bool = False) -> bool:
        srv = self.server
        delay_ms = srv.reply_delay(name)
        if delay_ms <= 0 and not events:
            self.answer(reply)
            if quit and not srv.silent:
                self.shutdown_write()
                return True
            return False
        if srv.silent:
            return False  # no answer, so nothing follows it either
        if delay_ms <= 0:
            self._deliver(reply, list(events), quit)
            return quit
        srv.scheduler.after(delay_ms, partial(self._deliver, reply, list(events), quit))
        if quit:
            # Lines after a Quit are never answered, however long its answer takes.
            self.ignoring = True
        return quit

    def _close_socket(self) -> None:
        with self.io_lock:
            if not self.closed:
                try:
                    self.sock.close()
                except OSError:
                    pass
        with self.server.cond:
            self.closed = True
            self.server.cond.notify_all()


class StandInTcpServer:
    """Listening socket, accept thread and the list of connections in accept order."""

    def __init__(
        self, host: str = "127.0.0.1", port: int = 0, rcvbuf: int | None = None,
        received_limit: int = DEFAULT_RECEIVED_LIMIT,
    ):
        family = check_loopback(host)
        if received_limit < 1:
            raise ValueError(f"received_limit must be at least 1 byte, got {received_limit}")
        self.received_limit = received_limit
        catalogue.command_words()  # a missing catalogue fails here, not at the first line
        self.host = host
        self.cond = threading.Condition()
        self.connections: list[Connection] = []
        self.silent = False
        self.stall_new = False
        self.call_events = False
        self.event_delay_ms = DEFAULT_EVENT_DELAY_MS
        self.finish_delay_ms = DEFAULT_FINISH_DELAY_MS
        self.refuse_login = False
        self.trailing_events = 0  # lines written one by one behind every answer, Nagle on
        # Keyed by command word; the key None holds the delay for every other word.
        self._delays: dict[str | None, float] = {}
        self._muted: set[str] = set()
        self._drops: dict[str, bool] = {}  # word -> reset; one-shot
        self._settings_lock = threading.Lock()
        self.scheduler = Scheduler()
        self._next_rid = 1
        self._rid_lock = threading.Lock()
        self._stopping = False
        self.failed_accepts = 0  # connections that failed before they were set up
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rcvbuf:
            # Set before listen() so accepted sockets inherit it and the
            # advertised window is small from the first segment.
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.listener.bind((host, port))
        self.listener.listen(64)
        self.listener.settimeout(_IO_POLL)
        self.port = self.listener.getsockname()[1]
        self._accept_thread = threading.Thread(target=self._accept_loop, name="accept", daemon=True)

    def start(self) -> None:
        self.scheduler.start()
        self._accept_thread.start()

    def listen_text(self) -> str:
        shown = f"[{self.host}]" if ":" in self.host else self.host
        return f"listening on {shown}:{self.port}"

    def next_resource_id(self) -> int:
        with self._rid_lock:
            rid = self._next_rid
            self._next_rid += 1
            return rid

    def _accept_loop(self) -> None:
        while not self._stopping:
            try:
                sock, _ = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                if self._stopping:
                    return
                continue
            try:
                self._take(sock)
            except Exception as exc:  # one connection's failure must not end the accepting
                # A peer that reset before its connection was set up (getpeername() fails)
                # gets no index; anything else is a fault worth seeing.
                if not isinstance(exc, OSError):
                    traceback.print_exc(file=sys.stderr)
                with self.cond:
                    self.failed_accepts += 1
                sock.close()

    def _take(self, sock: socket.socket) -> None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 0 if self.trailing_events else 1)
        sock.settimeout(_IO_POLL)
        with self.cond:
            conn = Connection(self, sock, len(self.connections), self.stall_new)
            self.connections.append(conn)
            self.cond.notify_all()
        conn.thread.start()

    # -- per-word behaviour ------------------------------------------------
    def set_delay(self, word: str | None, ms: float) -> None:
        if ms < 0:
            raise ValueError(f"delay must not be negative, got {ms}")
        with self._settings_lock:
            if ms == 0 and word is None:
                self._delays.pop(None, None)
            else:
                # A word's own 0 stays stored: it overrides a delay for every word.
                self._delays[word] = float(ms)

    def reply_delay(self, word: str | None) -> float:
        if not self._delays:
            return 0.0
        with self._settings_lock:
            if word is not None and word in self._delays:
                return self._delays[word]
            return self._delays.get(None, 0.0)

    def set_muted(self, word: str, on: bool) -> None:
        with self._settings_lock:
            if on:
                self._muted.add(word)
            else:
                self._muted.discard(word)

    def is_muted(self, word: str) -> bool:
        if not self._muted:
            return False
        with self._settings_lock:
            return word in self._muted

    def set_drop(self, word: str, reset: bool) -> None:
        with self._settings_lock:
            self._drops[word] = reset

    def take_drop(self, word: str) -> bool | None:
        """None, or (once per drop_on) whether the line with word closes with RST."""
        if not self._drops:
            return None
        with self._settings_lock:
            return self._drops.pop(word, None)

    def set_call_events(self, on: bool, event_delay_ms: float | None, finish_delay_ms: float | None) -> None:
        for ms in (event_delay_ms, finish_delay_ms):
            if ms is not None and ms < 0:
                raise ValueError(f"delay must not be negative, got {ms}")
        if event_delay_ms is not None:
            self.event_delay_ms = float(event_delay_ms)
        if finish_delay_ms is not None:
            self.finish_delay_ms = float(finish_delay_ms)
        self.call_events = on

    # -- selection ---------------------------------------------------------
    def select(self, conn: int | None) -> list[Connection]:
        """None means every connection still open; an index must exist."""
        with self.cond:
            if conn is None:
                return [c for c in self.connections if not c.closed]
            if not 0 <= conn < len(self.connections):
                raise IndexError(f"no connection {conn}; {len(self.connections)} accepted so far")
            return [self.connections[conn]]

    # -- actions -----------------------------------------------------------
    def send(self, data: bytes, conn: int | None) -> int:
        targets = [c for c in self.select(conn) if c.open]
        if conn is not None and not targets:
            raise ConnectionGone(f"connection {conn} is closed")
        for c in targets:
            c.send_all(data)
        return len(targets)

    def flood(self, line: bytes, count: int, conn: int | None) -> int:
        if not line.endswith(b"\n"):
            line += b"\n"
        per_chunk = max(1, _FLOOD_CHUNK // len(line))
        chunk = line * per_chunk
        targets = [c for c in self.select(conn) if c.open]
        if conn is not None and not targets:
            raise ConnectionGone(f"connection {conn} is closed")
        for c in targets:
            left = count
            while left >= per_chunk:
                c.send_all(chunk)
                left -= per_chunk
            if left:
                c.send_all(line * left)
        return len(targets)

    def set_stalled(self, stalled: bool, conn: int | None) -> None:
        if conn is None:
            # Also applies to clients that connect later, so a test can stall
            # before its client has even connected.
            self.stall_new = stalled
        for c in self.select(conn):
            if stalled:
                c.stall()
            else:
                c.resume()

    def close(self, conn: int | None, reset: bool) -> None:
        for c in self.select(conn):
            if reset:
                c.reset()
            else:
                c.shutdown_write()

    def event(self, line: bytes, conn: int | None, after_ms: float, every_ms: float | None, count: int) -> None:
        """Send line (plus "\\n") after_ms from now, then every every_ms, count times in all."""
        if b"\n" in line:
            raise ValueError("an event is one line: it must not hold a newline")
        if count < 1:
            raise ValueError(f"count must be at least 1, got {count}")
        if count > 1 and every_ms is None:
            raise ValueError("count above 1 needs every_ms")
        if after_ms < 0 or (every_ms is not None and every_ms < 0):
            raise ValueError("after_ms and every_ms must not be negative")
        self.select(conn)  # a wrong index fails now, not silently later
        start = time.monotonic() + after_ms / 1000.0
        interval = 0.0 if every_ms is None else every_ms / 1000.0

        def fire(k: int) -> None:
            # Targets are looked up at each firing: None reaches whoever is open then.
            for c in self.select(conn):
                if c.open:
                    c.send_line(line)
            if k + 1 < count:
                # Due times step from the first one, so a late firing does not
                # push back every later line.
                self.scheduler.at(start + (k + 1) * interval, partial(fire, k + 1))

        if after_ms <= 0:
            # At once, on this thread: the line is on the wire when the request returns.
            targets = [c for c in self.select(conn) if c.open]
            if conn is not None and not targets:
                raise ConnectionGone(f"connection {conn} is closed")
            fire(0)
        else:
            self.scheduler.at(start, partial(fire, 0))

    def close_mid_line(self, data: bytes, conn: int | None) -> None:
        targets = [c for c in self.select(conn) if c.open]
        if conn is not None and not targets:
            raise ConnectionGone(f"connection {conn} is closed")
        for c in targets:
            c.send_all(data)
            c.shutdown_write()

    # -- queries -----------------------------------------------------------
    def received(self, conn: int, offset: int = 0) -> tuple[int, bytes]:
        """(start, data): what conn's window holds from offset on, starting at stream offset
        start (past offset when the bytes there are no longer held)."""
        with self.cond:
            return self.select(conn)[0].window.read(offset)

    def describe(self, conn: int) -> dict:
        with self.cond:
            if not 0 <= conn < len(self.connections):
                return {"exists": False, "size": 0, "start": 0, "peer_closed": False, "closed": False}
            c = self.connections[conn]
            return {"exists": True, "size": c.window.size, "start": c.window.start,
                    "peer_closed": c.peer_closed, "closed": c.closed}

    def wait_change(self, conn: int, size: int, timeout: float) -> dict:
        """Block until connection conn holds more than size bytes or has ended."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                state = self.describe(conn)
                if state["exists"] and (state["size"] > size or state["peer_closed"] or state["closed"]):
                    return state
                left = deadline - time.monotonic()
                if left <= 0:
                    return state
                self.cond.wait(left)

    def wait_connections(self, n: int, timeout: float) -> int:
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.connections) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.cond.wait(left)
            return len(self.connections)

    def wait_ended(self, conn: int, timeout: float) -> dict:
        """Block until connection conn's socket is closed here, for any reason."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                state = self.describe(conn)
                if state["closed"]:
                    return state
                left = deadline - time.monotonic()
                if left <= 0:
                    return state
                self.cond.wait(left)

    def stop(self) -> None:
        self._stopping = True
        self.scheduler.stop()
        try:
            self.listener.close()
        except OSError:
            pass
        for c in self.select(None):
            c.reset()
