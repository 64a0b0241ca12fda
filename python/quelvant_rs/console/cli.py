"""The command line: quelvant-console HOST[:PORT] [-u USER] [options]."""

from __future__ import annotations

import argparse
import asyncio
import getpass
import os
import sys
from pathlib import Path

from quelvant_rs import session
from quelvant_standin.recording import Recorder

from . import oneshot
from .event_filter import EventFilter

PASSWORD_VARIABLE = "QUELVANT_PASSWORD"
PORT_VARIABLE = "QUELVANT_PORT"
DEFAULT_PORT = 1234


def address(text: str) -> tuple[str, int]:
    """HOST, HOST:PORT, [IPv6] or [IPv6]:PORT; the port defaults to $QUELVANT_PORT, else 1234."""
    host, port = text, None
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else None
        if rest and not rest.startswith(":"):
            raise argparse.ArgumentTypeError(f"expected [ADDRESS]:PORT, got {text!r}")
    elif text.count(":") == 1:
        host, port = text.split(":")
    port = port or os.environ.get(PORT_VARIABLE) or str(DEFAULT_PORT)
    if not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError(f"expected HOST[:PORT], got {text!r}")
    return host, int(port)


def default_history() -> Path:
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return Path(state) / "quelvant" / "console-history"


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quelvant-console",
        description="An operator's console for the server: a prompt with completion, events as "
        "they come, one-shot commands (-x) and a tail of events (--tail).",
        epilog=f"The password comes from ${PASSWORD_VARIABLE}, or from a prompt that does not echo.")
    p.add_argument("address", type=address, metavar="HOST[:PORT]",
                   help=f"the server's control port (${PORT_VARIABLE}, else {DEFAULT_PORT}, when left out)")
    p.add_argument("-u", "--user", help="log in as USER (without it: the module's default login)")
    p.add_argument("-x", dest="lines", action="append", default=[], metavar="LINE",
                   help="run LINE and print its reply; may be given again; exit status 1 if any failed")
    p.add_argument("--tail", action="store_true", help="print events only, filtered, until Ctrl-C")
    p.add_argument("--filter", action="append", default=[], metavar="MATCH",
                   help="show only events MATCH takes (a word, Key=Value or a Python expression)")
    p.add_argument("--mute", action="append", default=[], metavar="MATCH", help="do not show events MATCH takes")
    p.add_argument("--record", metavar="FILE", help="record every line sent and received into FILE")
    p.add_argument("--timeout", type=float, default=10.0, help="seconds to wait for each reply (10)")
    p.add_argument("--failure-word", action="append", metavar="WORD",
                   help="a reply whose first word is WORD failed (ERROR unless given)")
    p.add_argument("--history", type=Path, default=None, help=f"the prompt's history file ({default_history()})")
    return p


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        shown = EventFilter(args.filter, args.mute)
    except ValueError as exc:
        print(f"quelvant-console: {exc}", file=sys.stderr)
        return 2
    interactive = not args.lines and not args.tail
    if interactive:
        try:
            from . import prompt
        except ImportError as exc:
            print(f"quelvant-console: the interactive console needs prompt_toolkit ({exc.name} is missing): "
                  "pip install 'quelvant_rs[console]'; -x and --tail work without it", file=sys.stderr)
            return 2
    password = None
    if args.user is not None:
        password = os.environ.get(PASSWORD_VARIABLE)
        if password is None:
            password = getpass.getpass(f"password for {args.user}: ")
    failure_words = args.failure_word or ["ERROR"]

    def failed(reply: session.Reply) -> bool:
        return bool(reply.words) and reply.words[0] in failure_words

    async def run() -> int:
        host, port = args.address
        s = session.AsyncSession(host, port, args.user, password, timeout=args.timeout, is_failure=failed)
        try:
            await s.connect()
        except Exception as exc:
            s.close()
            print(f"quelvant-console: cannot log in to {host}:{port}: {type(exc).__name__}: {exc}",
                  file=sys.stderr)
            return 2
        try:
            if args.lines:
                return await oneshot.run_lines(s, args.lines)
            if args.tail:
                return await oneshot.tail(s, shown)
            return await prompt.interactive(s, shown, args.history or default_history())
        finally:
            s.close()

    recorder = Recorder(args.record).start() if args.record else None
    try:
        return asyncio.run(run())
    except KeyboardInterrupt:
        return 0
    finally:
        if recorder is not None:
            recorder.stop()
