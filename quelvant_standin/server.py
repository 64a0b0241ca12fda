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

import ipaddress
import socket
import struct
import sys
import threading
import time
import traceback
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from functools import partial
from typing import Any

from . import catalogue, presets
from .answers import VERSION_TEXT, AnswerTable, Response
from .byte_window import ByteWindow
from .line_assembly import Line, LineAssembler
from .replay import Replay
from .requests import Request, parse, wire
from .rules import RuleTable
from .scheduler import Scheduler
from .templates import Context, MissingField

__all__ = ["VERSION_TEXT", "StandInTcpServer", "ConnectionGone", "check_loopback"]



def __getattr__(name: str) -> frozenset[str]:
    # The command words come from the built module's catalogue (catalogue.py), read when
    # first asked for, so importing this module never needs the module built.
    if name == "KNOWN_COMMANDS":
        return catalogue.command_words()
    if name == "RESOURCE_CREATORS":
        return frozenset(w for w in catalogue.command_words() if w.startswith("ResourceCreate"))
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# What received() keeps of each connection by default: its first MiB and its last 16 MiB.
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


# What handling a line leaves the reader to do.
_CLOSING = "closing"  # nothing more is read for answers: the connection is going
_STALLED = "stalled"  # stop reading until resumed


@dataclass(frozen=True)
class Verdict:
    """The server's decision on one request: a fault, or an answer with what follows it."""

    fault: str | None = None
    answer: bytes = b""
    then: list[tuple[float, bytes]] = field(default_factory=list)
    delay_ms: float = 0.0
    quit: bool = False


def decide(rules: RuleTable, base_table: AnswerTable | Replay, request: Request,
           next_rid: Callable[[], int]) -> Verdict:
    """What to do with one request: the rules' say, and the usual (or the recording's) for
    the rest."""
    winners = rules.resolve(request)
    outcome = winners.outcome
    if outcome is not None and outcome.fault:
        return Verdict(fault=outcome.fault)
    context = Context(request, next_rid)
    # The usual answer (or the recording's) and what follows it, unless a rule answers. The
    # rules' resolve() names only rules that set what they win, so each is read from its rule.
    base: Response | None = None
    if outcome is None or outcome.answer is None:
        base = base_table.respond(request, context)
        if base.answer is None:
            return Verdict(fault="withhold")
        answer = base.answer
    else:
        try:
            answer = outcome.answer.expand(context)
        except MissingField as exc:
            answer = b"ERROR stand-in rule %s: %s" % (wire(outcome.name), wire(str(exc)))
            if request.tag is not None:
                answer += b" COMMANDTAG=" + wire(request.tag)
    lines = winners.then.then if winners.then is not None else None
    if lines is not None:
        then = []
        for ms, template in lines:
            try:
                then.append((ms, template.expand(context)))
            except MissingField:
                pass  # nothing to say it about: an event line is left out
    else:
        then = base.then if base is not None else []
    delay = winners.delay.delay_ms if winners.delay is not None else None
    delay_ms = 0.0 if delay is None else delay
    return Verdict(answer=answer, then=then, delay_ms=delay_ms, quit=request.word == "Quit")


class ConnectionGone(Exception):
    """Raised inside send helpers when the connection is closing or closed."""


class Connection:
    def __init__(self, server: "StandInTcpServer", sock: socket.socket, index: int, stalled: bool) -> None:
        self.server = server
        self.sock = sock
        self.index = index
        self.peer = sock.getpeername()
        # What was read, for received(): its first bytes and its last received_limit; guarded
        # by server.cond.
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
        self._backlog = b""  # read before a stall took effect, handled when reading resumes
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

    def send_line(self, line: bytes) -> bool:
        """Send line plus "\\n"; False if the connection has gone meanwhile."""
        try:
            self.send_all(line + b"\n")
        except ConnectionGone:
            return False
        return True

    def _deliver(self, reply: bytes, events: list[tuple[float, bytes]], quit: bool) -> None:
        # Events count from the moment their answer goes out, however late that
        # is.  Later ones are queued before the answer is written, under msg_lock,
        # so by the time a client sees the answer they are already in the queue:
        # anything scheduled later for a later moment comes out after them.  Those
        # due at once go right behind the answer, each in a write of its own (with
        # Nagle's algorithm on, each then waits for the acknowledgement of the one
        # before: what the trailing events are for).
        with self.msg_lock:
            for delay_ms, line in events:
                if delay_ms > 0:
                    self.server.scheduler.after(delay_ms, partial(self.send_line, line))
            if not self.send_line(reply):
                return
            for delay_ms, line in events:
                if delay_ms <= 0 and not self.send_line(line):
                    break
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
            if self._backlog and not (self.draining or self.ignoring):
                backlog, self._backlog = self._backlog, b""
                self._feed(backlog)
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
            after = self._handle_line(self._line.finish(view[pos:nl]))
            self._record(view[pos : nl + 1])
            pos = nl + 1
            if after is _CLOSING:
                self._record(view[pos:])
                return
            if after is _STALLED:
                # Read, but as if not yet: handled (and shown) once reading resumes.
                self._backlog = bytes(view[pos:])
                return
        self._line.add(view[pos:])
        self._record(view[pos:])

    def _handle_line(self, received: Line) -> object:
        """Answer one line; _CLOSING once the connection is being closed, _STALLED when it
        stops reading, else None."""
        if received.is_blank():
            return None  # blank lines are keep-alives, not commands
        verdict = self.server.decide(parse(received))
        if verdict.fault == "close":
            self.shutdown_write()
            return _CLOSING
        if verdict.fault == "reset":
            self.reset()
            return _CLOSING
        if verdict.fault == "stall":
            self.stall()
            return _STALLED
        if verdict.fault == "withhold":
            return None
        return _CLOSING if self._reply(verdict) else None

    def _reply(self, verdict: "Verdict") -> bool:
        """Answer now or later; True once the connection is being closed (an answered Quit)."""
        srv = self.server
        if srv.silent:
            return False  # no answer, so nothing follows it either (and Quit does not close)
        if verdict.delay_ms <= 0:
            self._deliver(verdict.answer, verdict.then, verdict.quit)
            return verdict.quit
        srv.scheduler.after(verdict.delay_ms, partial(self._deliver, verdict.answer, verdict.then, verdict.quit))
        if verdict.quit:
            # Lines after a Quit are never answered, however long its answer takes.
            self.ignoring = True
        return verdict.quit

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
    ) -> None:
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
        self.rules = RuleTable()
        self.base: AnswerTable | Replay = AnswerTable()  # answers where no rule sets one
        self.call_events = False
        self.event_delay_ms = presets.DEFAULT_EVENT_DELAY_MS
        self.finish_delay_ms = presets.DEFAULT_FINISH_DELAY_MS
        self._refuse_login = False
        self._trailing_events = 0  # lines written one by one behind every answer, Nagle on
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
        for ms, line in self.base.lead_events(conn.index):
            self.scheduler.after(ms, partial(conn.send_line, line))
        conn.thread.start()

    # -- how requests are treated -----------------------------------------------
    def decide(self, request: Request) -> Verdict:
        """What to do with one request: the rules' say, and the usual for the rest."""
        return decide(self.rules, self.base, request, self.next_resource_id)

    def replay(self, path: str) -> None:
        """Answer from this recording instead of the usual table (rules still rank above it)."""
        self.base = Replay(path)

    def uncovered(self, clear: bool = False) -> list[str]:
        """The requests a replayed recording did not hold (cleared when asked)."""
        return self.base.take_uncovered(clear) if isinstance(self.base, Replay) else []

    def add_rule(self, rule_fields: Mapping[str, object]) -> str:
        return self.rules.add(rule_fields)

    def remove_rule(self, name: str) -> bool:
        return self.rules.remove(name)

    def set_delay(self, word: str | None, ms: float) -> None:
        if ms < 0:
            raise ValueError(f"delay must not be negative, got {ms}")
        if ms == 0 and word is None:
            self.rules.remove(presets.delay_name(None))
        else:
            self.rules.add(presets.delay(word, ms))

    def set_muted(self, word: str, on: bool) -> None:
        if on:
            self.rules.add(presets.mute(word))
        else:
            self.rules.remove(presets.mute_name(word))

    def set_drop(self, word: str, reset: bool) -> None:
        self.rules.add(presets.drop(word, reset))

    @property
    def refuse_login(self) -> bool:
        return self._refuse_login

    @refuse_login.setter
    def refuse_login(self, on: bool) -> None:
        self._refuse_login = bool(on)
        if on:
            self.rules.add(presets.refuse_login())
        else:
            self.rules.remove(presets.REFUSE_LOGIN)

    @property
    def trailing_events(self) -> int:
        return self._trailing_events

    @trailing_events.setter
    def trailing_events(self, count: int) -> None:
        # Nagle's algorithm follows this count for connections accepted from then on.
        self._trailing_events = max(int(count), 0)
        if self._trailing_events:
            self.rules.add(presets.trailing_events(self._trailing_events, catalogue.command_words()))
        else:
            self.rules.remove(presets.TRAILING_EVENTS)

    def set_call_events(self, on: bool, event_delay_ms: float | None, finish_delay_ms: float | None) -> None:
        for ms in (event_delay_ms, finish_delay_ms):
            if ms is not None and ms < 0:
                raise ValueError(f"delay must not be negative, got {ms}")
        if event_delay_ms is not None:
            self.event_delay_ms = float(event_delay_ms)
        if finish_delay_ms is not None:
            self.finish_delay_ms = float(finish_delay_ms)
        self.call_events = on
        if on:
            for rule in presets.call_events(self.event_delay_ms, self.finish_delay_ms):
                self.rules.add(rule)
        else:
            for name in presets.call_event_names():
                self.rules.remove(name)

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
    def received(self, conn: int, offset: int = 0) -> list[tuple[int, bytes]]:
        """What conn's window holds from offset on, as (stream offset, bytes) pieces."""
        with self.cond:
            return self.select(conn)[0].window.read(offset)

    def describe(self, conn: int) -> dict[str, Any]:
        with self.cond:
            if not 0 <= conn < len(self.connections):
                return {"exists": False, "size": 0, "dropped": 0, "peer_closed": False, "closed": False}
            c = self.connections[conn]
            return {"exists": True, "size": c.window.size, "dropped": c.window.dropped,
                    "peer_closed": c.peer_closed, "closed": c.closed}

    def wait_change(self, conn: int, size: int, timeout: float) -> dict[str, Any]:
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

    def wait_ended(self, conn: int, timeout: float) -> dict[str, Any]:
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
