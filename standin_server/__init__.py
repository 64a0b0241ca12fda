"""Stand-in for the telephony and media server, for tests and benchmarks.

It speaks the control protocol closely enough to drive a client: it accepts
any number of TCP connections on a loopback address, reads newline-terminated
lines (a trailing "\\r" is dropped) and answers each one with a single line.

Requests
    ``<Word> [<arguments...>] COMMANDTAG=<digits>``
    The word must be the first token (no leading blanks) and the tag the last
    one (nothing after it).  Blank lines are ignored.

Answers (one line each, "\\n"-terminated)
    ``OK <Word> COMMANDTAG=<tag>``
        any known command word;
    ``OK <Word> ResourceId=<n> COMMANDTAG=<tag>``
        the ResourceCreate* commands; n counts up from 1 for the whole server,
        across all connections;
    ``OK GetVersion Version=standin-1.0 COMMANDTAG=<tag>``
        GetVersion;
    ``ERROR unknown command <Word> COMMANDTAG=<tag>``
        well-formed line whose word is not a known command;
    ``ERROR cannot parse line: <line>``
        anything else (no trailing ``COMMANDTAG=<digits>``, no word before it);
        <line> is the received line, byte for byte, without its line ending.
    After answering ``Quit`` the server sends FIN on that connection.

Fault scripting (see ``harness.StandInServer``): raw sends, floods, stalled
reading, closing mid-line, closing with FIN or with RST, and a silent mode in
which nothing is answered and Quit does not close.  Every byte read from each
connection is kept, per connection, in accept order.

Run it alone with ``python -m standin_server --port 0``; its first line on
stdout is ``listening on <host>:<port>`` (IPv6 hosts in brackets).
"""

from .server import KNOWN_COMMANDS, RESOURCE_CREATORS, VERSION_TEXT, StandInTcpServer

__all__ = ["KNOWN_COMMANDS", "RESOURCE_CREATORS", "VERSION_TEXT", "StandInTcpServer", "StandInServer"]


def __getattr__(name):
    # The harness pulls in subprocess machinery the server process never needs.
    if name == "StandInServer":
        from .harness import StandInServer

        return StandInServer
    raise AttributeError(name)
