"""What a hostile server or a careless program does to a session: an unterminated last line
(both classes)."""

from __future__ import annotations

import asyncio
import threading

import pytest

import quelvant_standin
from quelvant_rs import session


@pytest.fixture
def blocking():
    """blocking(kind, server, **settings): a session of the kind with blocking calls (request,
    events, close); an AsyncSession runs on a loop of its own, closed after the test."""
    loops: list[asyncio.AbstractEventLoop] = []
    yield lambda kind, srv, **settings: make_blocking(kind, srv, loops, **settings)
    for loop in loops:
        loop.close()


def make_blocking(kind: str, srv, loops: list, **settings):
    settings.setdefault("is_failure", quelvant_standin.failed)
    args = (srv.host, srv.port, "ivr", "secret")
    if kind == "thread":
        return session.Session(*args, **settings)
    loop = asyncio.new_event_loop()
    loops.append(loop)

    def run(call):
        async def awaited():
            return await call()
        return loop.run_until_complete(awaited())

    s = session.AsyncSession(*args, **settings)  # bound to the loop of its first call
    run(s.connect)

    class Adapter:
        def request(self, text, **kw):
            return run(lambda: s.request(text, **kw))

        def events(self, **kw):
            steps = s.events(**kw)
            while True:
                try:
                    yield run(lambda: anext(steps))
                except StopAsyncIteration:
                    return

        def close(self):
            s.close()

    return Adapter()


@pytest.mark.parametrize("kind", ["thread", "async"])
def test_a_line_cut_short_by_the_close_answers_no_request(server, blocking, kind):
    s = blocking(kind, server, timeout=5)
    try:
        server.mute("GetVersion")
        # The first request's tag is 1; "COMMANDTAG=1" is what is left of another one's "=10".
        threading.Thread(target=lambda: (server.wait_received(b"GetVersion", timeout=10),
                                         server.close_mid_line(b"OK GetVersion COMMANDTAG=1")),
                         daemon=True).start()
        with pytest.raises(ConnectionError, match=r"lost while waiting for the reply to GetVersion \(tag 1\)"):
            s.request("GetVersion")
        ev = next(s.events(timeout=1))
        assert (ev.kind, ev.tag, ev.line) == ("line", None, "OK GetVersion COMMANDTAG=1")
    finally:
        s.close()

