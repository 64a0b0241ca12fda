"""``-x LINE`` and ``--tail``: the console without its prompt (and without prompt_toolkit)."""

from __future__ import annotations

import sys

from quelvant_rs import session

from . import actions, typed_line
from .event_filter import EventFilter


async def run_lines(s: session.AsyncSession, lines: list[str]) -> int:
    """Each line's reply on stdout, what went wrong otherwise on stderr; 1 if any failed."""
    status = 0
    for text in lines:
        try:
            parsed = typed_line.parse(text)
        except Exception as exc:
            print(f"error: {exc}", file=sys.stderr, flush=True)
            status = 1
            continue
        if parsed is None:
            continue
        if isinstance(parsed, typed_line.ConsoleCommand):
            if parsed.name != "raw" or not parsed.rest:
                print(f"error: -x takes command lines and /raw LINE, not /{parsed.name}", file=sys.stderr)
                status = 1
                continue
            outcome = await actions.raw(s, parsed.rest)
        else:
            outcome = await actions.run(s, parsed)
        if outcome.line is not None:
            print(outcome.line, flush=True)
        if outcome.error is not None:
            print(f"error: {outcome.error}", file=sys.stderr, flush=True)
        if not outcome.ok:
            status = 1
    return status


async def tail(s: session.AsyncSession, shown: EventFilter) -> int:
    """Every event the filter shows, one a line, until Ctrl-C or the session is lost."""
    try:
        async for event in s.events():
            if shown.shows(event):
                print(event.line if event.kind == "line" else f"({event.kind})", flush=True)
    except ConnectionError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    return 0
