"""Shared fixtures: the stand-in server kit's fixtures under the names the tests use, fd-1
capture, a dead port."""

from __future__ import annotations

import contextlib
import fcntl
import os
import select
import socket
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator

import pytest
import pace
from pace import scaled

from quelvant_standin.harness import StandInServer


def _thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def _wait_for_readers_to_end(baseline: int, timeout: float | None = None) -> None:
    """Once the server side is gone the client's reader threads finish; waiting for them
    keeps their last lines inside this test's captured output."""
    timeout = scaled(3.0) if timeout is None else timeout
    deadline = time.monotonic() + timeout
    while _thread_count() > baseline and time.monotonic() < deadline:
        time.sleep(0.005)


@pytest.fixture
def _readers_end() -> Iterator[None]:
    """Set up before the server fixtures, so it waits for the readers after those stopped."""
    baseline = _thread_count()
    yield
    _wait_for_readers_to_end(baseline)


@pytest.fixture
def standin_server_factory(_readers_end, standin_server_factory):
    """The kit's factory, after _readers_end however a test names its servers: set up the
    other way round, the readers would be waited for while the servers still run."""
    return standin_server_factory


@pytest.fixture
def server(standin_server: StandInServer) -> StandInServer:
    """The kit's standin_server: a started stand-in server (its own process), stopped after
    the test; marks and indirect parameters set its options."""
    return standin_server


@pytest.fixture
def make_server(standin_server_factory) -> Callable[..., StandInServer]:
    """Factory for extra or differently configured servers, e.g. make_server(rcvbuf=4096)."""
    return standin_server_factory


class Fd1:
    """Accumulates what the process writes to fd 1 (and fd 2, kept apart).

    The client's reader thread writes asynchronously, so tests wait for text
    to show up instead of reading once.
    """

    def __init__(self, capfd: pytest.CaptureFixture[str]):
        self._capfd = capfd
        self._out = ""
        self._err = ""

    def _pull(self) -> None:
        out, err = self._capfd.readouterr()
        self._out += out
        self._err += err

    @property
    def text(self) -> str:
        """Everything written to fd 1 since the test started."""
        self._pull()
        return self._out

    @property
    def err(self) -> str:
        """Everything written to fd 2 since the test started."""
        self._pull()
        return self._err

    def wait_for(self, what: str | Callable[[str], bool], timeout: float | None = None) -> str:
        """Wait until what (a substring, or a predicate on all fd-1 text) holds; return all text."""
        pred = (lambda t: what in t) if isinstance(what, str) else what
        timeout = scaled(5.0) if timeout is None else timeout
        deadline = time.monotonic() + timeout
        while True:
            self._pull()
            if pred(self._out):
                return self._out
            if time.monotonic() >= deadline:
                desc = repr(what) if isinstance(what, str) else getattr(what, "__name__", "predicate")
                tail = self._out[-2000:]
                raise TimeoutError(f"fd 1 did not show {desc} within {timeout}s; fd 1 so far ends with:\n{tail}")
            # capfd offers nothing to block on; poll briefly.
            time.sleep(0.005)


@pytest.fixture
def fd1(capfd: pytest.CaptureFixture[str]) -> Fd1:
    return Fd1(capfd)


class RawFd1:
    """fd 1 redirected into a pipe for one test, kept as the exact bytes written.

    capfd empties its capture file by truncating it, so text a background thread writes
    at that moment is lost or turns into NULs; a pipe drained into memory loses nothing.
    The bytes are decoded with surrogateescape, so output that is not UTF-8 shows up as
    such instead of being repaired on the way.
    """

    def __init__(self) -> None:
        self._buf = bytearray()
        self._decoded = ""
        self._decoded_len = 0
        self._lock = threading.Lock()
        self._r, self._w = os.pipe()
        os.set_blocking(self._r, False)
        with contextlib.suppress(OSError):
            fcntl.fcntl(self._w, fcntl.F_SETPIPE_SZ, 1 << 20)  # fewer wake-ups under a flood
        self._saved: int | None = None
        self._pump = threading.Thread(target=self._run, name="raw-fd1", daemon=True)
        self._pump.start()

    def attach(self) -> None:
        self._saved = os.dup(1)
        os.dup2(self._w, 1)

    def detach(self) -> None:
        if self._saved is not None:
            os.dup2(self._saved, 1)
            os.close(self._saved)
            self._saved = None

    def _drain(self) -> bool:
        """Move what the pipe holds into the buffer; False once every writer is gone."""
        with self._lock:
            while True:
                try:
                    chunk = os.read(self._r, 1 << 16)
                except BlockingIOError:
                    return True
                if not chunk:
                    return False
                self._buf += chunk

    def _run(self) -> None:
        # Drains even while the test waits on something else, so a writer never stalls
        # on a full pipe.
        poller = select.poll()
        poller.register(self._r, select.POLLIN)
        while True:
            poller.poll()
            if not self._drain():
                return

    def close(self) -> None:
        self.detach()
        os.close(self._w)
        self._pump.join(timeout=scaled(5.0))
        if not self._pump.is_alive():
            os.close(self._r)

    @property
    def data(self) -> bytes:
        """Every byte written to fd 1 since the test started."""
        self._drain()
        with self._lock:
            return bytes(self._buf)

    @property
    def text(self) -> str:
        data = self.data
        if len(data) != self._decoded_len:
            self._decoded = data.decode("utf-8", "surrogateescape")
            self._decoded_len = len(data)
        return self._decoded

    def wait_for(self, what: str | Callable[[str], bool], timeout: float | None = None) -> str:
        """Like Fd1.wait_for."""
        pred = (lambda t: what in t) if isinstance(what, str) else what
        timeout = scaled(5.0) if timeout is None else timeout
        deadline = time.monotonic() + timeout
        while True:
            text = self.text
            if pred(text):
                return text
            if time.monotonic() >= deadline:
                desc = repr(what) if isinstance(what, str) else getattr(what, "__name__", "predicate")
                tail = text[-2000:]
                raise TimeoutError(f"fd 1 did not show {desc} within {timeout}s; it ends with:\n{tail}")
            time.sleep(0.005)


@pytest.fixture
def raw_fd1() -> Iterator[RawFd1]:
    out = RawFd1()
    try:
        yield out
    finally:
        out.close()


def pytest_report_header() -> str:
    return f"watchdog limits scaled by {pace.FACTOR:.2f} (the pace measured at start-up)"


@pytest.hookimpl(wrapper=True, trylast=True)
def pytest_runtest_call(item: pytest.Item):
    # Output capture points fd 1 at its own file again at the start of every test phase,
    # so the pipe goes in here, inside that, for the test body only.
    out = getattr(item, "funcargs", {}).get("raw_fd1")
    if out is None:
        return (yield)
    out.attach()
    try:
        return (yield)
    finally:
        out.detach()


@pytest.fixture
def free_port() -> int:
    """A loopback port with nothing listening on it (connecting is refused)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# -- client code in a child process ---------------------------------------------------------

class ClientProcess:
    """Client code in a child Python: it may hold its GIL while blocked, the test may not."""

    def __init__(self, code: str):
        self.proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.err = bytearray(), bytearray()  # fd 1 (reader output) and fd 2 (markers)
        self._pumps = [threading.Thread(target=self._pump, args=pair, daemon=True)
                       for pair in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))]
        for pump in self._pumps:
            pump.start()

    @staticmethod
    def _pump(stream, buf: bytearray) -> None:
        for chunk in iter(lambda: stream.read1(1 << 16), b""):
            buf += chunk

    def shows(self, buf: bytearray, text: str, timeout: float | None = None) -> bool:
        """Whether text shows up in buf within timeout."""
        timeout = scaled(10.0) if timeout is None else timeout
        deadline = time.monotonic() + timeout
        while text.encode() not in buf:
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.005)
        return True

    def finish(self, timeout: float | None = None) -> int:
        timeout = scaled(10.0) if timeout is None else timeout
        self.proc.stdin.close()
        rc = self.proc.wait(timeout)
        for pump in self._pumps:
            pump.join(timeout)
        return rc


@pytest.fixture
def spawn():
    children: list[ClientProcess] = []
    yield lambda code: children.append(ClientProcess(code)) or children[-1]
    for child in children:
        if child.proc.poll() is None:
            child.proc.kill()
            child.proc.wait()


SYS_WRITE = 1  # x86-64 system call numbers, as /proc/<pid>/task/<tid>/syscall shows them
SYS_SENDTO = 44
SYS_SENDMSG = 46
SYS_CONNECT = 42
SYS_SEND = (SYS_SENDTO, SYS_SENDMSG)  # a send, by whichever of the two calls it is made
SYS_RECVFROM = 45


def blocked_in_syscall(pid: int, number: int | tuple[int, ...], first_arg: int | None = None,
                       timeout: float | None = None) -> bool:
    """Whether some thread of process pid comes to sit in system call `number` (or one of
    several numbers; on descriptor first_arg, if given) within timeout: the way to know a send
    or write is blocked, rather than guessing from how long it has not returned."""
    numbers = {str(n) for n in (number if isinstance(number, tuple) else (number,))}
    timeout = scaled(10.0) if timeout is None else timeout
    deadline = time.monotonic() + timeout
    while True:
        for tid in os.listdir(f"/proc/{pid}/task"):
            with contextlib.suppress(OSError):
                with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                    fields = f.read().split()
                if (fields and fields[0] in numbers
                        and (first_arg is None or int(fields[1], 16) == first_arg)):
                    return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.005)
