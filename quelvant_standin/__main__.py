"""Command line: python -m quelvant_standin --port N [--host ADDR] [--control-stdio] [options].

Every option is described in quelvant_standin/README.md.
"""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from .rules import load_rules
from .server import DEFAULT_RECEIVED_LIMIT, StandInTcpServer


def _ms(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"need a number of milliseconds, 0 or more, got {text!r}")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quelvant_standin", description=__doc__)
    parser.add_argument("--port", type=int, required=True, help="TCP port, 0 for an ephemeral one")
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (127.0.0.1 or ::1)")
    parser.add_argument(
        "--rcvbuf", type=int, default=None, help="SO_RCVBUF for accepted connections (smaller stalls sooner)"
    )
    parser.add_argument(
        "--received-limit", type=int, default=DEFAULT_RECEIVED_LIMIT,
        help="bytes of each connection kept for received(): its last ones (16 MiB)",
    )
    parser.add_argument(
        "--control-stdio", action="store_true", help="take JSON-lines control requests on stdin, reply on stdout"
    )
    parser.add_argument(
        "--call-events",
        action="store_true",
        help="announce call progress (CallConnected, CallCleared) and finished commands (PlayFinished, ...)",
    )
    parser.add_argument(
        "--event-delay-ms", type=_ms, default=None, help="how long after its answer a call event follows (20)"
    )
    parser.add_argument(
        "--finish-delay-ms", type=_ms, default=None, help="how long after its answer a finished line follows (50)"
    )
    parser.add_argument("--refuse-login", action="store_true", help="answer every Login with ERROR")
    parser.add_argument(
        "--trailing-events", type=int, default=0,
        help="after every answer but Login's, N event lines, each in a write of its own, Nagle on",
    )
    parser.add_argument(
        "--rules", action="append", default=[], metavar="FILE",
        help="rules from a file (TOML with [[rule]] tables, or JSON); may be given again",
    )
    parser.add_argument(
        "--replay", metavar="FILE", default=None,
        help="answer as the recording FILE did (rules still rank above it)",
    )
    args = parser.parse_args(argv)
    try:
        server = StandInTcpServer(args.host, args.port, args.rcvbuf, args.received_limit)
        rules = [rule_fields for path in args.rules for rule_fields in load_rules(path)]
        if args.replay is not None:
            server.replay(args.replay)
    except (ValueError, OSError) as exc:
        print(f"quelvant_standin: {exc}", file=sys.stderr)
        return 2
    server.set_call_events(args.call_events, args.event_delay_ms, args.finish_delay_ms)
    server.refuse_login = args.refuse_login
    server.trailing_events = max(args.trailing_events, 0)
    for rule_fields in rules:  # after the switches: a file's rule ranks above theirs among equals
        server.add_rule(rule_fields)
    server.start()
    print(server.listen_text(), flush=True)

    if args.control_stdio:
        from .control import serve_stdio

        serve_stdio(server)  # does not return
        return 0

    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    while not done.wait(0.5):
        pass
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
