"""pytest fixtures that start stand-in servers; pytest loads this through the package's
``pytest11`` entry point, so installing the package is all a test suite needs.

``standin_server``: a server started on a free loopback port for one test and stopped after
it, a ``StandInServer`` (``host``, ``port``, and every control and query method). Its options
are ``StandInServer``'s keyword arguments, taken from ``@pytest.mark.standin_server(...)`` on
the test, its class or its module (the nearest mark wins, option by option) and then from an
indirect parametrisation, which wins over the marks::

    @pytest.mark.standin_server(call_events=True, event_delay_ms=0)
    def test_call(standin_server): ...

    @pytest.mark.parametrize("standin_server", [{}, {"delays": {"Login": 200}}], indirect=True)
    def test_login(standin_server): ...

``standin_server_factory(**options)``: starts further servers, each stopped after the test.

``rules=[...]`` gives the server rules (see ``rules.py``), ``rules_file`` a file of them and
``replay`` a recording to answer from (see ``replay.py``); a relative file name is taken from
the test's folder. A replaying server's requests the recording did not hold fail the test
when it ends, unless it took them with ``uncovered(clear=True)``::

    @pytest.mark.standin_server(replay="flow.rec")
    def test_flow_as_recorded(standin_server): ...
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import Any

import pytest

from .harness import StandInServer

MARK = "standin_server"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARK}(**options): options of the {MARK} fixture's server, as StandInServer takes them "
        "(call_events, event_delay_ms, finish_delay_ms, refuse_login, delays, muted, silent, "
        "rules, rules_file, replay, ...)",
    )


# Options naming a file: a relative path is taken from the test's own folder.
_PATH_OPTIONS = ("rules_file", "replay")


@pytest.fixture
def standin_server_factory(request: pytest.FixtureRequest) -> Iterator[Callable[..., StandInServer]]:
    """Starts a stand-in server per call, with StandInServer's options; all stop after the test.
    A replaying server's requests its recording did not hold fail the test there."""
    started: list[tuple[StandInServer, bool]] = []
    folder = Path(request.node.path).parent

    def start(**options: Any) -> StandInServer:
        for key in _PATH_OPTIONS:
            if options.get(key) is not None:
                options[key] = folder / options[key]
        server = StandInServer(**options).start()
        started.append((server, options.get("replay") is not None))
        return server

    yield start
    missed = []
    for server, replaying in reversed(started):
        if replaying:
            missed += server.uncovered()
        server.stop()
    if missed:
        pytest.fail("requests the recording does not hold (answered ERROR): " + "; ".join(missed),
                    pytrace=False)


@pytest.fixture
def standin_server(
    request: pytest.FixtureRequest, standin_server_factory: Callable[..., StandInServer]
) -> StandInServer:
    """A stand-in server on a free loopback port, configured by marks and indirect parameters."""
    options: dict[str, Any] = {}
    for mark in reversed(list(request.node.iter_markers(MARK))):
        if mark.args:
            raise TypeError(f"@pytest.mark.{MARK} takes keyword options only, got {mark.args!r}")
        options.update(mark.kwargs)
    param = getattr(request, "param", None)
    if param is not None:
        if not isinstance(param, Mapping):
            raise TypeError(f"an indirect parameter of {MARK} is a mapping of options, got {param!r}")
        options.update(param)
    return standin_server_factory(**options)
