"""Recordings of what sessions sent and received, with timings; the stand-in server replays
them (``replay.py``).

A recording is UTF-8 text, one line per protocol line::

    # quelvant recording 1
    # server 127.0.0.1:1234
    0.000000 > Login ivr *** COMMANDTAG=0
    0.001530 < OK Login COMMANDTAG=0
    0.002210 > CallMake 7 1001 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=1
    0.002790 < OK CallMake COMMANDTAG=1
    0.023112 < CallConnected ResourceId=7

Each line: the seconds since the recording started, ``>`` for a line the client sent or
``<`` for one it received, and the line as it went, without its line ending, each after one
blank. A line that starts with ``#`` is a comment (the first names the format); blank lines
are left out. A ``Login`` line's password always reads ``***``.

Programs record through the sessions' wire trace (the logger ``quelvant_rs.wire``), so what
is recorded, and when, is what the trace shows: an ``AsyncSession``'s lines as they leave
and arrive, a ``Session``'s reply when its caller takes it and an event when a wait takes it
from the socket; an event dropped for ``max_events`` is not traced, so not recorded::

    from quelvant_standin import recording

    with recording.record("flow.rec", server=("127.0.0.1", 1234)):
        ...  # sessions to that server: each line they send and receive is written down
"""

from __future__ import annotations

import logging
import re
import threading
import time
from dataclasses import dataclass
from pathlib import Path

HEADER = "# quelvant recording 1"
WIRE_LOGGER = "quelvant_rs.wire"

# "<server>:<port> > <line>" as the wire trace writes each line (an IPv6 server bare).
_TRACE_RE = re.compile(r"^(?P<server>.*):(?P<port>[0-9]+) (?P<dir>[<>]) (?P<line>.*)$", re.DOTALL)
_ENTRY_RE = re.compile(r"^(?P<at>[0-9]+(?:\.[0-9]*)?) (?P<dir>[<>]) (?P<line>.*)$", re.DOTALL)


def mask_login(line: str) -> str:
    """A Login line as the trace shows it: word and user name kept, the rest but its tag ***."""
    if not line.startswith("Login "):
        return line
    rest = line[len("Login "):]
    user_end = rest.find(" ")
    if user_end < 0:
        return line  # no password in it
    shown = "Login " + rest[:user_end] + " ***"
    tag = rest.rfind(" COMMANDTAG=")
    if tag > user_end:
        shown += rest[tag:]
    return shown


@dataclass(frozen=True)
class Entry:
    """One recorded line: when (seconds from the start), which way, and the line."""

    at: float
    sent: bool
    line: str


def read(path: str | Path) -> list[Entry]:
    """The entries of a recording, in order; ValueError (naming file and line) if it is not one."""
    path = Path(path)
    entries = []
    with open(path, encoding="utf-8", errors="surrogateescape", newline="\n") as f:
        for number, raw in enumerate(f, 1):
            text = raw.rstrip("\n")
            if number == 1 and text != HEADER:
                raise ValueError(f"{path}:1: not a recording (its first line is not {HEADER!r})")
            if not text.strip() or text.startswith("#"):
                continue
            match = _ENTRY_RE.match(text)
            if match is None:
                raise ValueError(f"{path}:{number}: expected '<seconds> > <line>' or "
                                 f"'<seconds> < <line>', got {text!r}")
            entries.append(Entry(float(match["at"]), match["dir"] == ">", match["line"]))
    return entries


class Writer:
    """Writes a recording, a line at a time (each flushed, so a crash loses nothing written)."""

    def __init__(self, path: str | Path, comment: str | None = None) -> None:
        self.path = Path(path)
        self._file = open(self.path, "w", encoding="utf-8", errors="surrogateescape", newline="\n")
        self._lock = threading.Lock()
        self._start = time.monotonic()
        self._file.write(HEADER + "\n")
        if comment:
            self._file.write(f"# {comment}\n")
        self._file.flush()

    def write(self, sent: bool, line: str) -> None:
        at = time.monotonic() - self._start
        text = mask_login(line) if sent else line
        with self._lock:
            if self._file.closed:
                return
            self._file.write(f"{at:.6f} {'>' if sent else '<'} {text}\n")
            self._file.flush()

    def close(self) -> None:
        with self._lock:
            self._file.close()


class _Tap(logging.Filter):
    """On the wire logger while anything records: hands each trace record to the recorders,
    and lets on to the logger's handlers only what they would have had without it."""

    def __init__(self) -> None:
        super().__init__()
        self.recorders: list[Recorder] = []
        self.shown_level = logging.WARNING
        self.saved_level = logging.NOTSET

    def filter(self, record: logging.LogRecord) -> bool:
        for recorder in list(self.recorders):
            recorder._take(record)
        return record.levelno >= self.shown_level


_tap = _Tap()
_tap_lock = threading.Lock()


class Recorder:
    """Records the lines of this process's sessions (to ``server``, a (host, port), if given)
    into a recording at ``path``, from ``start()`` (or ``with``) until ``stop()``."""

    def __init__(self, path: str | Path, server: tuple[str, int] | None = None) -> None:
        self.path: Path = Path(path)
        self.server: tuple[str, int] | None = None if server is None else (str(server[0]), int(server[1]))
        self._writer: Writer | None = None

    def start(self) -> "Recorder":
        if self._writer is not None:
            return self
        where = "every server" if self.server is None else f"{self.server[0]}:{self.server[1]}"
        self._writer = Writer(self.path, f"server {where}")
        with _tap_lock:
            if not _tap.recorders:
                logger = logging.getLogger(WIRE_LOGGER)
                _tap.shown_level = logger.getEffectiveLevel()
                _tap.saved_level = logger.level
                logger.setLevel(logging.DEBUG)
                logger.addFilter(_tap)
            _tap.recorders.append(self)
        return self

    def stop(self) -> None:
        writer, self._writer = self._writer, None
        if writer is None:
            return
        with _tap_lock:
            _tap.recorders.remove(self)
            if not _tap.recorders:
                logger = logging.getLogger(WIRE_LOGGER)
                logger.removeFilter(_tap)
                logger.setLevel(_tap.saved_level)
        writer.close()

    @property
    def recording(self) -> bool:
        return self._writer is not None

    def _take(self, record: logging.LogRecord) -> None:
        writer = self._writer
        if writer is None:
            return
        match = _TRACE_RE.match(record.getMessage())
        if match is None:
            return
        if self.server is not None and (match["server"], int(match["port"])) != self.server:
            return
        writer.write(match["dir"] == ">", match["line"])

    def __enter__(self) -> "Recorder":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def record(path: str | Path, server: tuple[str, int] | None = None) -> Recorder:
    """A started Recorder; use it as a context manager, or call its stop()."""
    return Recorder(path, server).start()

