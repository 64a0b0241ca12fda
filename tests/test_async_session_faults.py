"""What a session keeps while a server misbehaves for long: the marks of connections lost
again and again, each right after its reconnect."""

from __future__ import annotations

import asyncio
import socket
import threading

import pytest

from quelvant_rs import session


class LosingServer:
    """Logs every connection in, and drops it at its first request."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                login = conn.recv(1000).partition(b"COMMANDTAG=")[2].strip()
                if login:
                    conn.sendall(b"OK Login COMMANDTAG=" + login + b"\n")
                    conn.recv(1000)


@pytest.mark.parametrize("kind", ["thread", "asyncio"])
def test_a_loss_after_every_reconnect_holds_bounded_marks(kind):
    srv = LosingServer()
    args = ("127.0.0.1", srv.port, "ivr", "secret")
    settings = dict(reconnect_attempts=2, reconnect_delay=0.001, max_events=10)
    if kind == "thread":
        s = session.Session(*args, **settings)
        call = lambda step: step()  # noqa: E731
    else:
        runner = asyncio.Runner()
        s = session.AsyncSession(*args, **settings)

        async def awaited(step):
            return await step()
        call = lambda step: runner.run(awaited(step))  # noqa: E731
        call(s.connect)
    try:
        for _ in range(30):
            with pytest.raises(ConnectionError):
                call(s.get_version)
        marks = []
        while True:  # the marks held for wait_for, until none is left
            try:
                ev = call(lambda: s.wait_for(lambda e: True, timeout=0.5))
            except ConnectionError as e:
                if "may be missing" not in str(e):
                    break
                marks.append("lost")
                continue
            except TimeoutError:
                break
            marks.append(ev.kind)
    finally:
        s.close()
        srv.sock.close()
        if kind != "thread":
            runner.close()
    # Marks with no line between them say no more than the first: 30 losses, one mark (and
    # the last reconnect's, when it came after the last loss).
    assert marks in (["lost"], ["lost", "reconnected"]), marks
