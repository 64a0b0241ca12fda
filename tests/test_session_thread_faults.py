"""What a hostile server or a careless program does to a session: an unterminated last line
(both classes), Ctrl-C behind another thread's reconnect."""

from __future__ import annotations

import asyncio
import signal
import threading

import pytest
from pace import scaled

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
    s = blocking(kind, server, timeout=scaled(5))
    try:
        server.mute("GetVersion")
        # The first request's tag is 1; "COMMANDTAG=1" is what is left of another one's "=10".
        closer = threading.Thread(target=lambda: (server.wait_received(b"GetVersion", timeout=scaled(10)),
                                                  server.close_mid_line(b"OK GetVersion COMMANDTAG=1")))
        closer.start()
        with pytest.raises(ConnectionError, match=r"lost while waiting for the reply to GetVersion \(tag 1\)"):
            s.request("GetVersion")
        closer.join(scaled(10))
        ev = next(s.events(timeout=1))
        assert (ev.kind, ev.tag, ev.line) == ("line", None, "OK GetVersion COMMANDTAG=1")
    finally:
        s.close()


def test_ctrl_c_is_answered_behind_another_threads_reconnect(server, spawn):
    # The process then ends well too, its daemon thread still reconnecting.
    child = spawn(f"""
        import sys, threading, time
        from quelvant_rs import session
        s = session.Session("127.0.0.1", {server.port}, "ivr", "secret", timeout=None)
        print("ready", file=sys.stderr, flush=True)
        sys.stdin.readline()
        threading.Thread(target=s.get_version, daemon=True).start()  # reconnects, for ever
        time.sleep(0.2)
        print("waiting", file=sys.stderr, flush=True)
        try:
            s.get_version()  # behind that reconnect
        except KeyboardInterrupt:
            print("interrupted", file=sys.stderr, flush=True)
    """)
    assert child.shows(child.err, "ready\n")
    server.mute("Login")
    server.close(conn=0)
    server.wait_closed(0)
    child.proc.stdin.write(b"go\n")
    child.proc.stdin.flush()
    assert child.shows(child.err, "waiting\n")
    server.wait_received(b"Login", conn=1)
    child.proc.send_signal(signal.SIGINT)
    assert child.shows(child.err, "interrupted\n"), child.err
    assert child.finish() == 0, child.err

