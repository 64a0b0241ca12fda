"""Run the stand-in server in a child process and script it from Python.

The client under test may hold the GIL while it blocks in connect() or send(),
so a server living in the test process could never drain that send and both
would hang.  The server therefore runs as ``python -m quelvant_standin
--control-stdio`` and this class talks to it over the JSON-lines channel
described in ``control.py``.

Connections are numbered from 0 in the order the server accepted them.  Every
wait takes a timeout and raises ``StandInTimeout`` when it runs out; every
failed request raises ``StandInError`` carrying the end of the child's stderr.
"""

from __future__ import annotations

import base64
import concurrent.futures
import itertools
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from types import TracebackType
from typing import IO, Any

from .byte_window import ByteWindow
from .rules import check_all
from .server import DEFAULT_RECEIVED_LIMIT

_PACKAGE_PARENT = str(Path(__file__).resolve().parent.parent)

Until = int | bytes | Callable[[bytes], bool]


class StandInError(RuntimeError):
    """The stand-in server refused a request, died, or could not be reached."""


class StandInTimeout(StandInError, TimeoutError):
    """A wait on the stand-in server ran out of time."""


def _tail(data: bytes, limit: int = 400) -> str:
    if len(data) <= limit:
        return repr(data)
    return f"...{data[-limit:]!r} ({len(data)} bytes in all)"


def _as_bytes(data: bytes | bytearray | memoryview | str) -> bytes:
    return data.encode("utf-8") if isinstance(data, str) else bytes(data)


class _Request(concurrent.futures.Future[Any]):
    """A control request's answer to come, with the id it was sent under."""

    standin_id: int = 0


class Flood:
    """A flood running in the server; result() waits for it to finish."""

    def __init__(self, server: "StandInServer", fut: _Request, timeout: float) -> None:
        self._server = server
        self._fut = fut
        self._timeout = timeout

    def done(self) -> bool:
        return self._fut.done()

    def result(self, timeout: float | None = None) -> None:
        self._server._result("flood", self._fut, self._timeout if timeout is None else timeout)


class StandInServer:
    """Handle on one stand-in server process; use as a context manager."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        *,
        rcvbuf: int | None = None,
        call_events: bool = False,
        event_delay_ms: float | None = None,
        finish_delay_ms: float | None = None,
        refuse_login: bool = False,
        trailing_events: int = 0,
        delays: Mapping[str | None, float] | None = None,
        muted: Iterable[str] = (),
        silent: bool = False,
        rules: Iterable[Mapping[str, object]] = (),
        rules_file: str | os.PathLike[str] | None = None,
        replay: str | os.PathLike[str] | None = None,
        received_limit: int | None = None,
        startup_timeout: float = 10.0,
        call_timeout: float = 10.0,
    ) -> None:
        self._host = host
        self._rcvbuf = rcvbuf
        self._received_limit = DEFAULT_RECEIVED_LIMIT if received_limit is None else int(received_limit)
        self._options: list[str] = []
        if received_limit is not None:
            self._options += ["--received-limit", str(self._received_limit)]
        if call_events:
            self._options.append("--call-events")
        if event_delay_ms is not None:
            self._options += ["--event-delay-ms", str(event_delay_ms)]
        if finish_delay_ms is not None:
            self._options += ["--finish-delay-ms", str(finish_delay_ms)]
        if refuse_login:
            self._options.append("--refuse-login")
        if trailing_events:
            self._options += ["--trailing-events", str(trailing_events)]
        # Set through the control channel before start() returns, so they hold from a
        # client's first line on.
        self._script: list[tuple[str, dict[str, Any]]] = [("delay", {"word": w, "ms": ms}) for w, ms in (delays or {}).items()]
        self._script += [("mute", {"word": w, "on": True}) for w in ((muted,) if isinstance(muted, str) else muted)]
        if silent:
            self._script.append(("set_silent", {"on": True}))
        # Checked here, so a bad rule fails where the test gave it.
        self._script += [("add_rule", {"rule": rule_fields}) for rule_fields in check_all(rules)]
        if rules_file is not None:
            self._options += ["--rules", str(Path(rules_file).resolve())]
        if replay is not None:
            self._options += ["--replay", str(Path(replay).resolve())]
        self._startup_timeout = startup_timeout
        self._call_timeout = call_timeout
        self._proc: subprocess.Popen[bytes] | None = None
        self._stderr: IO[bytes] | None = None
        self._reader: threading.Thread | None = None
        self._port: int | None = None
        self._ids = itertools.count(1)
        self._pending: dict[int, _Request] = {}
        # Why the replies ended (the child exited, or was stopped): a request made after that
        # fails at once, not after its whole limit (a child that is still exiting takes input).
        self._ended: str | None = None
        self._lock = threading.Lock()
        self._listening: concurrent.futures.Future[str] = concurrent.futures.Future()
        self._rx: dict[int, ByteWindow] = {}

    # -- lifecycle ---------------------------------------------------------
    def start(self) -> "StandInServer":
        if self._proc is not None:
            raise StandInError("stand-in server already started")
        self._listening = concurrent.futures.Future()
        self._ended = None
        self._rx = {}
        self._port = None
        cmd = [sys.executable, "-m", "quelvant_standin", "--port", "0", "--host", self._host, "--control-stdio"]
        if self._rcvbuf:
            cmd += ["--rcvbuf", str(self._rcvbuf)]
        cmd += self._options
        env = dict(os.environ)
        # The server is plain Python: a sanitizer runtime the tests preload would only slow
        # every start of it down.
        for name in os.environ.get("STANDIN_SERVER_ENV_UNSET", "").split():
            env.pop(name, None)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (_PACKAGE_PARENT, env.get("PYTHONPATH")) if p)
        self._stderr = tempfile.TemporaryFile()
        self._proc = subprocess.Popen(
            cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr, env=env, close_fds=True
        )
        self._reader = threading.Thread(target=self._read_replies, name="standin-replies", daemon=True)
        self._reader.start()
        try:
            first = self._listening.result(self._startup_timeout)
        except concurrent.futures.TimeoutError:
            self.stop()
            raise StandInTimeout(f"stand-in server did not start within {self._startup_timeout}s") from None
        except StandInError:
            self.stop()
            raise
        prefix = "listening on "
        if not first.startswith(prefix):
            self.stop()
            raise StandInError(f"unexpected first line from stand-in server: {first!r}")
        self._port = int(first[len(prefix) :].rpartition(":")[2])
        try:
            for op, args in self._script:
                self._call(op, **args)
        except StandInError:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Stop the child; kills it if it does not leave promptly.  Idempotent."""
        proc = self._proc
        if proc is None:
            return
        if proc.poll() is None:
            try:
                self._call("stop", reply_within=2.0)
                answered = True
            except StandInError:
                answered = False  # hung or dead: no point waiting politely
            try:
                if proc.stdin is not None:
                    proc.stdin.close()
            except OSError:
                pass
            try:
                proc.wait(timeout=2.0 if answered else 0.1)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        for stream in (proc.stdin, proc.stdout):
            try:
                if stream is not None:
                    stream.close()
            except OSError:
                pass
        if self._reader is not None:
            self._reader.join(timeout=2.0)
        self._fail_pending("stand-in server stopped")
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None
        self._proc = None

    def __enter__(self) -> "StandInServer":
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()

    @property
    def host(self) -> str:
        return self._host

    @property
    def port(self) -> int:
        if self._port is None:
            raise StandInError("stand-in server not started")
        return self._port

    @property
    def address(self) -> tuple[str, int]:
        return (self._host, self.port)

    @property
    def pid(self) -> int:
        if self._proc is None:
            raise StandInError("stand-in server not started")
        return self._proc.pid

    # -- control channel ---------------------------------------------------
    def _stderr_tail(self) -> str:
        f = self._stderr
        if f is None:
            return ""
        try:
            f.seek(0)
            text = f.read()[-2000:].decode("utf-8", "replace").strip()
        except (OSError, ValueError):
            return ""
        return f"\n--- stand-in server stderr ---\n{text}" if text else ""

    def _fail_pending(self, why: str) -> None:
        with self._lock:
            pending, self._pending = self._pending, {}
            self._ended = self._ended or why
        for fut in pending.values():
            if not fut.done():
                fut.set_exception(StandInError(why))
        if not self._listening.done():
            self._listening.set_exception(StandInError(why + self._stderr_tail()))

    def _read_replies(self) -> None:
        stdout = self._proc.stdout if self._proc is not None else None
        if stdout is None:
            return
        try:
            for raw in stdout:
                if not self._listening.done():
                    self._listening.set_result(raw.decode("utf-8", "replace").strip())
                    continue
                try:
                    msg = json.loads(raw)
                except ValueError:
                    continue
                with self._lock:
                    fut = self._pending.pop(msg.get("id"), None)
                if fut is None:
                    continue
                if msg.get("ok"):
                    fut.set_result(msg.get("result"))
                else:
                    fut.set_exception(StandInError(msg.get("error", "request failed")))
        except (OSError, ValueError):
            pass
        self._fail_pending("stand-in server exited")

    def _submit(self, op: str, **args: Any) -> _Request:
        proc = self._proc
        if proc is None:
            raise StandInError("stand-in server not started")
        rid = next(self._ids)
        fut = _Request()
        fut.standin_id = rid
        line = json.dumps({"id": rid, "op": op, **args}, separators=(",", ":")).encode("ascii") + b"\n"
        with self._lock:
            if self._ended is not None:
                raise StandInError(f"cannot reach stand-in server ({self._ended}){self._stderr_tail()}")
            self._pending[rid] = fut
            try:
                if proc.stdin is None:
                    raise ValueError("its input is closed")
                proc.stdin.write(line)
                proc.stdin.flush()
            except (OSError, ValueError) as exc:
                self._pending.pop(rid, None)
                raise StandInError(f"cannot reach stand-in server ({exc}){self._stderr_tail()}") from None
        return fut

    def _result(self, op: str, fut: _Request, limit: float) -> Any:
        try:
            return fut.result(limit)
        except concurrent.futures.TimeoutError:
            with self._lock:
                self._pending.pop(fut.standin_id, None)
            raise StandInTimeout(f"stand-in server gave no reply to {op!r} within {limit:.1f}s") from None
        except StandInError as exc:
            raise StandInError(f"{op}: {exc}{self._stderr_tail()}") from None

    def _call(self, op: str, reply_within: float | None = None, **args: Any) -> Any:
        limit = self._call_timeout if reply_within is None else reply_within
        return self._result(op, self._submit(op, **args), limit)

    # -- queries -----------------------------------------------------------
    def connections(self) -> int:
        """How many connections the server has accepted so far (closed ones included)."""
        count: int = self._call("connections")
        return count

    def wait_connections(self, n: int, timeout: float = 5.0) -> int:
        got: int = self._call("wait_connections", reply_within=timeout + self._call_timeout, n=n, timeout=timeout)
        if got < n:
            raise StandInTimeout(f"expected {n} connection(s) within {timeout}s, server accepted {got}")
        return got

    def _fetch(self, conn: int) -> tuple[bytes | None, dict[str, Any]]:
        state = self._call("describe", conn=conn)
        if not state["exists"]:
            return None, state
        # The same window as the server's: what it no longer holds is gone here too.
        window = self._rx.setdefault(conn, ByteWindow(self._received_limit))
        if state["size"] > window.size:
            for start, data in self._call("received", conn=conn, offset=window.size):
                window.write_at(start, base64.b64decode(data))
        return window.held(), state

    def received(self, conn: int = 0) -> bytes:
        """Every byte the server has read on connection conn so far; once there were more
        than 1 MiB + ``received_limit`` (16 MiB unless set), the first MiB and the last
        ``received_limit`` bytes, without those between.

        A complete line appears here only after the server has answered it
        (or chosen not to), so once a line shows up its answer is on the wire.
        """
        data, _ = self._fetch(conn)
        if data is None:
            raise StandInError(f"no connection {conn}; the server accepted {self.connections()}")
        return data

    def wait_received(self, until: Until, conn: int = 0, timeout: float = 5.0) -> bytes:
        """Wait until what connection conn received satisfies until; return it all.

        until is a number of complete lines, a byte string that must appear, or
        a predicate on the received bytes.  Also waits for the connection itself.
        """
        pred: Callable[[bytes], bool]
        if isinstance(until, int):
            pred, what = (lambda d: d.count(b"\n") >= until), f"{until} line(s)"
        elif isinstance(until, (bytes, bytearray)):
            needle = bytes(until)
            pred, what = (lambda d: needle in d), repr(needle)
        else:
            pred, what = until, getattr(until, "__name__", "predicate")
        deadline = time.monotonic() + timeout
        while True:
            data, state = self._fetch(conn)
            if data is not None:
                if pred(data):
                    return data
                if state["closed"]:
                    raise StandInError(
                        f"connection {conn} ended without {what}; received {_tail(data)}"
                    )
            left = deadline - time.monotonic()
            if left <= 0:
                seen = "no such connection" if data is None else f"received {_tail(data)}"
                raise StandInTimeout(f"connection {conn}: no {what} within {timeout}s; {seen}")
            size = -1 if data is None else len(data)
            self._call("wait_change", reply_within=left + self._call_timeout, conn=conn, size=size, timeout=left)

    def wait_closed(self, conn: int = 0, timeout: float = 5.0) -> bool:
        """Wait until the server's socket for conn is closed; True if the peer closed first."""
        state = self._call("wait_ended", reply_within=timeout + self._call_timeout, conn=conn, timeout=timeout)
        if not state["closed"]:
            raise StandInTimeout(f"connection {conn} still open after {timeout}s (state {state})")
        return bool(state["peer_closed"])

    # -- scripting -----------------------------------------------------------
    def send(self, data: bytes | str, conn: int | None = None) -> None:
        """Write raw bytes to connection conn, or to every open one when None."""
        self._call("send", conn=conn, data=base64.b64encode(_as_bytes(data)).decode("ascii"))

    def flood(
        self, line: bytes | str, count: int, conn: int | None = None, timeout: float = 60.0, wait: bool = True
    ) -> "Flood | None":
        """Send count copies of line ("\\n" added if missing) in large writes.

        With wait, returns once everything is written, so the client must be
        reading meanwhile.  Without, returns a Flood at once; call its
        result() later to learn that the flood finished (or why it failed).
        """
        fut = self._submit("flood", conn=conn, count=count, line=base64.b64encode(_as_bytes(line)).decode("ascii"))
        flood = Flood(self, fut, timeout)
        if wait:
            flood.result()
            return None
        return flood

    def stall(self, conn: int | None = None) -> None:
        """Stop reading from conn (all, and later ones too, when None); the peer's sends back up."""
        self._call("stall", conn=conn)

    def resume(self, conn: int | None = None) -> None:
        self._call("resume", conn=conn)

    def close(self, conn: int | None = None, reset: bool = False) -> None:
        """Close conn (all when None): FIN after pending output, or RST when reset."""
        self._call("close", conn=conn, reset=reset)

    def close_mid_line(self, data: bytes | str, conn: int | None = None) -> None:
        """Send data (meant to lack a final newline), then close with FIN."""
        self._call("close_mid_line", conn=conn, data=base64.b64encode(_as_bytes(data)).decode("ascii"))

    def set_silent(self, on: bool = True) -> None:
        """While silent the server answers nothing and Quit does not close."""
        self._call("set_silent", on=on)

    # -- protocol behaviour ------------------------------------------------------
    # Each of these returns once the server applies the setting to every line
    # it reads from then on.

    def set_call_events(
        self, on: bool = True, event_delay_ms: float | None = None, finish_delay_ms: float | None = None
    ) -> None:
        """Switch call events and finished lines on or off; a delay of None keeps the current one."""
        self._call("set_call_events", on=on, event_delay_ms=event_delay_ms, finish_delay_ms=finish_delay_ms)

    def set_refuse_login(self, on: bool = True) -> None:
        """While on, Login is answered ERROR Login refused."""
        self._call("set_refuse_login", on=on)

    def delay(self, word: str | None, ms: float) -> None:
        """Answer lines with this command word (every word when None) ms later; 0 answers at once."""
        self._call("delay", word=word, ms=ms)

    def mute(self, word: str, on: bool = True) -> None:
        """While on, lines with this command word get no answer and no events."""
        self._call("mute", word=word, on=on)

    def event(
        self,
        line: bytes | str,
        conn: int | None = None,
        after_ms: float = 0,
        every_ms: float | None = None,
        count: int = 1,
    ) -> None:
        """Send line ("\\n" added) to conn (every open one when None) after_ms from now, then
        every every_ms until count lines went out.  With after_ms 0 the first line is
        written before this returns."""
        self._call(
            "event",
            conn=conn,
            line=base64.b64encode(_as_bytes(line)).decode("ascii"),
            after_ms=after_ms,
            every_ms=every_ms,
            count=count,
        )

    def drop_on(self, word: str, reset: bool = False) -> None:
        """Close the connection the next line with this word arrives on, unanswered: FIN, or RST."""
        self._call("drop_on", word=word, reset=reset)

    # -- rules ---------------------------------------------------------------------
    def add_rule(self, word: str | Iterable[str] | None = None, **fields: object) -> str:
        """Add a rule (see rules.py: word, args, answer, then, delay_ms, fault, times, name);
        returns its name. A rule under a name already there replaces it."""
        rule_fields = {"word": list(word) if word is not None and not isinstance(word, str) else word, **fields}
        name: str = self._call("add_rule", rule=check_all([rule_fields])[0])
        return name

    def remove_rule(self, name: str) -> bool:
        """Remove the rule of that name; False if there was none."""
        removed: bool = self._call("remove_rule", name=name)
        return removed

    def rules(self) -> list[dict[str, object]]:
        """Every rule in the table, the switches' too, newest first."""
        rules: list[dict[str, object]] = self._call("rules")
        return rules

    def uncovered(self, clear: bool = False) -> list[str]:
        """The requests (without their tags) that a replayed recording did not hold, each
        answered with an ERROR; clear forgets them, for a test that sent them on purpose."""
        requests: list[str] = self._call("uncovered", clear=clear)
        return requests
