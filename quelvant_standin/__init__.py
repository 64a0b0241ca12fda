"""Stand-in for the telephony and media server, for tests and benchmarks.

It speaks the control protocol closely enough to drive a client: loopback TCP
only, one answer line per request line, with optional call events, finished
lines, delayed, withheld or refused answers and scripted faults, all decided by
a table of rules (``rules.py``); it can answer from a recording (``replay.py``)
that ``recording.py`` writes.  Every
request and answer format, event line, option, control request and ordering
rule is in ``quelvant_standin/README.md``.

Run it alone with ``python -m quelvant_standin --port 0``; from pytest, use the
``standin_server`` fixture (``pytest_plugin``); for a server of your own,
``harness.StandInServer``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Protocol

from .server import VERSION_TEXT, StandInTcpServer

__all__ = ["KNOWN_COMMANDS", "RESOURCE_CREATORS", "VERSION_TEXT", "StandInTcpServer", "StandInServer", "failed"]


if TYPE_CHECKING:
    from .harness import StandInServer

    KNOWN_COMMANDS: frozenset[str]
    RESOURCE_CREATORS: frozenset[str]


class _HasWords(Protocol):
    @property
    def words(self) -> list[str]: ...


def failed(reply: _HasWords) -> bool:
    """Whether a reply reports failure in this server's terms: its first word is ERROR.

    Meant as the session layer's is_failure= setting; reply needs only .words.
    """
    return reply.words[:1] == ["ERROR"]


def __getattr__(name: str) -> object:
    # The harness pulls in subprocess machinery the server process never needs; the command
    # words are read from the built module's catalogue when first asked for.
    if name == "StandInServer":
        from .harness import StandInServer

        return StandInServer
    if name in ("KNOWN_COMMANDS", "RESOURCE_CREATORS"):
        from . import server

        return getattr(server, name)
    raise AttributeError(name)
