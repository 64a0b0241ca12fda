"""Running what the operator typed on the session, and what came of it."""

from __future__ import annotations

from collections.abc import Awaitable
from dataclasses import dataclass

from quelvant_rs import session

from .typed_line import Call


@dataclass(frozen=True)
class Outcome:
    """ok: the session did not judge it a failure. line: the reply, if one came; error: what
    went wrong otherwise."""

    ok: bool
    line: str | None = None
    error: str | None = None


async def run(s: session.AsyncSession, call: Call) -> Outcome:
    try:
        pending = getattr(s, call.method)(*call.args, **call.kwargs)
    except Exception as exc:  # the method refused its arguments, or the session is closed
        return Outcome(False, error=f"{type(exc).__name__}: {exc} (nothing sent)")
    return await _outcome(pending)


async def raw(s: session.AsyncSession, text: str) -> Outcome:
    try:
        pending = s.request(text)
    except Exception as exc:
        return Outcome(False, error=f"{type(exc).__name__}: {exc} (nothing sent)")
    return await _outcome(pending)


async def _outcome(pending: Awaitable[session.Reply]) -> Outcome:
    try:
        reply = await pending
    except session.ServerError as exc:
        return Outcome(False, line=exc.reply.line)
    except Exception as exc:  # a timeout, a lost connection
        return Outcome(False, error=f"{type(exc).__name__}: {exc}")
    return Outcome(True, line=reply.line)
