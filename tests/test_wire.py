"""The wire: TCP_NODELAY on the control connection, many commands in one write, and the
factories' place in Command's class dictionary."""

from __future__ import annotations

import contextlib
import inspect
import os
import pydoc
import socket

import pytest
from golden import GOLDEN
from conftest import SYS_SEND, blocked_in_syscall

from quelvant_rs import client, commands

QuelvantClient = client.QuelvantClient
Command = commands.Command


def client_socket(port: int) -> socket.socket:
    """A duplicate of this process's socket connected to `port` (the client's handle)."""
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            if not os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                continue
            s = socket.socket(fileno=os.dup(int(fd)))
            try:
                if s.type == socket.SOCK_STREAM and s.getpeername()[1] == port:
                    return s
            except OSError:
                pass
            s.close()
    raise LookupError(f"no socket connected to port {port}")


def connected(srv) -> QuelvantClient:
    c = QuelvantClient(srv.host, srv.port, None, None, None)
    c.connect()
    return c


def test_control_connection_sets_tcp_nodelay(server, raw_fd1):
    connected(server)
    with client_socket(server.port) as s:
        assert s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0


def test_batch_writes_every_line_with_consecutive_tags(server, raw_fd1):
    c = connected(server)
    c.send_raw_command("GetVersion")
    hold = Command.call_hold(3)
    batch = [hold, "Raw 1", Command.call_make(7, "1001", None, None, None, None, None), "", hold]
    assert c.send_batch(batch) == [1, 2, 3, 4, 5]
    assert c.send_batch(iter(["Gen"])) == [6]  # any iterable
    assert c.send_batch([]) == []
    assert c.command_tag == 7
    assert server.wait_received(7) == (
        b"GetVersion COMMANDTAG=0\nCallHold 3 COMMANDTAG=1\nRaw 1 COMMANDTAG=2\n"
        b"CallMake 7 1001 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=3\n COMMANDTAG=4\n"
        b"CallHold 3 COMMANDTAG=5\nGen COMMANDTAG=6\n")
    assert str(hold) == "CallHold 3"  # sent twice, unchanged


@pytest.mark.parametrize("bad, kind, message", [
    (5, TypeError, "argument 'commands': element 2: 'int' object cannot be converted to 'Command' or 'PyString'"),
    (b"bytes", TypeError, "argument 'commands': element 2: 'bytes' object cannot be converted to 'Command' or 'PyString'"),
    (None, TypeError, "argument 'commands': element 2: 'NoneType' object cannot be converted to 'Command' or 'PyString'"),
    (Command.call_hold(1)._0, TypeError, "argument 'commands': element 2: 'CallHold' object cannot be converted to 'Command' or 'PyString'"),
    ("\ud800", UnicodeEncodeError, None),
], ids=["int", "bytes", "None", "record", "surrogate"])
def test_batch_refused_at_an_element_sends_nothing(server, raw_fd1, bad, kind, message):
    c = connected(server)
    with pytest.raises(kind) as e:
        c.send_batch([Command.call_hold(1), "Fine", bad, "Never"])
    if message is not None:
        assert str(e.value) == message
    else:
        assert e.value.__notes__ == ["element 2 of argument 'commands'"]
    assert c.command_tag == 0
    assert c.send_raw_command("After") == 0
    assert server.wait_received(1) == b"After COMMANDTAG=0\n"


def test_batch_argument_and_connection_errors():
    c = QuelvantClient("127.0.0.1", 1, None, None, None)
    with pytest.raises(TypeError, match=r"^argument 'commands': 'int' object is not iterable$"):
        c.send_batch(5)
    with pytest.raises(RuntimeError, match=r"^No active connection to send message$"):
        c.send_batch(["A", Command.call_hold(1)])
    with pytest.raises(TypeError, match=r"^QuelvantClient\.send_batch\(\) missing 1 required positional argument: 'commands'$"):
        c.send_batch()
    assert c.command_tag == 0


def test_failed_batch_write_counts_only_whole_lines(make_server, spawn):
    # Ten short lines fit the socket buffers at once; the 8 MiB line cannot, as the server
    # reads nothing, so the reset lands inside it: exactly ten tags are used.
    srv = make_server(rcvbuf=4096)
    srv.stall()
    child = spawn(f"""
        import sys
        from quelvant_rs import client
        c = client.QuelvantClient("127.0.0.1", {srv.port}, None, None, None)
        c.connect()
        print("sending", file=sys.stderr, flush=True)
        try:
            c.send_batch(["x" * 1000] * 10 + ["y" * (8 << 20)] + ["z"] * 5)
        except OSError as exc:
            print(type(exc).__name__, "|", str(exc).split(":")[0], "| tag", c.command_tag, file=sys.stderr, flush=True)
        sys.stdin.readline()
        c.connect()
        print("next", c.send_raw_command("GetVersion"), file=sys.stderr, flush=True)
    """)
    assert child.shows(child.err, "sending\n")
    assert blocked_in_syscall(child.proc.pid, SYS_SEND)
    srv.close(conn=0, reset=True)
    assert child.shows(child.err, "OSError | Failed to send message | tag 10\n"), child.err
    srv.resume()
    child.proc.stdin.write(b"go\n")
    child.proc.stdin.flush()
    assert child.shows(child.err, "next 10\n"), child.err
    assert srv.wait_received(1, conn=1) == b"GetVersion COMMANDTAG=10\n"
    assert child.finish() == 0, child.err


def test_factories_are_static_methods_of_command():
    text = pydoc.plain(pydoc.render_doc(Command))
    # pydoc wraps a long signature over several lines: compare without the layout.
    static_part = "".join(text[text.index("Static methods defined here:"):].replace("|", "").split())
    for g in GOLDEN:
        entry = vars(Command)[g.factory]
        assert isinstance(entry, staticmethod), g.factory
        f = getattr(Command, g.factory)
        assert f.__qualname__ == f"Command.{g.factory}"
        assert list(inspect.signature(f).parameters) == list(g.top)
        # Documentation keeps every parameter, the first included.
        assert f"{g.factory}({','.join(g.top)})" in static_part
