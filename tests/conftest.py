"""Shared fixtures: a stand-in server per test, fd-1 capture, a dead port."""

from __future__ import annotations

import socket
import time
from collections.abc import Callable, Iterator

import pytest

from standin_server.harness import StandInServer


@pytest.fixture
def server() -> Iterator[StandInServer]:
    """A started stand-in server (its own process), stopped after the test."""
    with StandInServer() as srv:
        yield srv


@pytest.fixture
def make_server() -> Iterator[Callable[..., StandInServer]]:
    """Factory for extra or differently configured servers, e.g. make_server(rcvbuf=4096)."""
    started: list[StandInServer] = []

    def make(**kwargs) -> StandInServer:
        srv = StandInServer(**kwargs).start()
        started.append(srv)
        return srv

    yield make
    for srv in started:
        srv.stop()


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

    def wait_for(self, what: str | Callable[[str], bool], timeout: float = 5.0) -> str:
        """Wait until what (a substring, or a predicate on all fd-1 text) holds; return all text."""
        pred = (lambda t: what in t) if isinstance(what, str) else what
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


@pytest.fixture
def free_port() -> int:
    """A loopback port with nothing listening on it (connecting is refused)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
