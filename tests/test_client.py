"""QuelvantClient over real loopback sockets: connection, reader thread, tagged send."""

from __future__ import annotations

import contextlib
import gc
import io
import ipaddress
import os
import random
import re
import socket
import time
from collections import Counter

import pytest
from pace import scaled
from conftest import SYS_SEND, blocked_in_syscall
from hypothesis import HealthCheck, given, settings, strategies as st

from quelvant_rs import client, commands

QuelvantClient = client.QuelvantClient
Command = commands.Command
CLOSED = "Connection closed.\n"
REFUSED = "Failed to connect: Connection refused (os error 111)"
NOT_CONNECTED = "No active connection to send message"
SEND_FAILED = re.compile(
    r"Failed to send message: (Broken pipe \(os error 32\)|Connection reset by peer \(os error 104\))"
)
# Unicode White_Space; str.strip() would also take U+001C..U+001F, which are not in it.
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")


def report(raw: bytes) -> str:
    """What the reader must print for one raw server line (without its "\\n")."""
    return "Received: " + raw.decode("utf-8", "replace").strip(WHITE_SPACE) + "\n"


def closed(n: int):
    def n_closed(text: str) -> bool:
        return text.count(CLOSED) >= n
    return n_closed


def connected(srv, conn: int = 0, host: str | None = None) -> QuelvantClient:
    c = QuelvantClient(host or srv.host, srv.port, None, None, None)
    c.connect()
    srv.wait_connections(conn + 1)
    return c


def socket_handles(port: int) -> Counter[str]:
    """Open descriptors of the sockets whose TCP peer is this loopback port, per socket; a
    duplicated handle counts twice. Sockets to other peers (another test's, a resolver's)
    do not count."""
    peers: set[str] = set()
    for table in ("/proc/self/net/tcp", "/proc/self/net/tcp6"):
        with contextlib.suppress(OSError), open(table) as rows:
            next(rows)
            for row in rows:
                cols = row.split()
                if int(cols[2].rsplit(":", 1)[1], 16) == port:
                    peers.add(f"socket:[{cols[9]}]")
    found: Counter[str] = Counter()
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            target = os.readlink(f"/proc/self/fd/{fd}")
            if target in peers:
                found[target] += 1
    return found


def extra_handles(before: Counter[str], port: int) -> int:
    return (socket_handles(port) - before).total()


def wait_extra_handles(before: Counter[str], n: int, port: int) -> int:
    """Wait until n socket handles beyond `before` are open (a reader closes its copy late)."""
    deadline = time.monotonic() + scaled(5.0)
    while (extra := extra_handles(before, port)) != n and time.monotonic() < deadline:
        time.sleep(0.005)
    return extra


def print_details_line(out, c: QuelvantClient) -> str:
    start = len(out.text)
    c.print_details()
    return out.text[start:]


# -- construction and print_details ----------------------------------------------------

@pytest.mark.parametrize("given_addr, shown", [
    ("127.0.0.1", "127.0.0.1"),
    ("2001:0DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1"),
    ("1:0:0:2:0:0:0:3", "1:0:0:2::3"),
    ("1:0:0:1:0:0:1:1", "1::1:0:0:1:1"),  # equal runs: the first one goes
    ("0:0:0:0:0:0:0:0", "::"),
    ("1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"),
    ("1:0:0:0:0:0:0:0", "1::"),
    ("::ffff:10.0.0.1", "::ffff:10.0.0.1"),
    ("::FFFF:0A00:0001", "::ffff:10.0.0.1"),
    ("::1.2.3.4", "::102:304"),
    ("::ffff:0:1.2.3.4", "::ffff:0:102:304"),
    ("::1", "::1"),
])
def test_print_details_writes_one_line_with_canonical_address(raw_fd1, given_addr, shown):
    c = QuelvantClient(given_addr, 7, 8, "alice", "s3cret")
    assert print_details_line(raw_fd1, c) == (
        f"QuelvantClient(server: {shown}, control_port: 7, transport_channel_port: 8, "
        "username: alice, password: s3cret)\n")


def test_defaults_and_output_on_fd1_not_sys_stdout(raw_fd1):
    c = QuelvantClient("10.1.2.3", None, None, None, None)
    with contextlib.redirect_stdout(io.StringIO()) as py_out:
        line = print_details_line(raw_fd1, c)
    assert py_out.getvalue() == ""
    assert re.fullmatch(
        r"QuelvantClient\(server: 10\.1\.2\.3, control_port: 1234, transport_channel_port: 1235, "
        r"username: user1, password: [a-z]{3}\)\n", line), line
    assert c.command_tag == 0
    with pytest.raises(AttributeError):
        c.command_tag = 5


ipv6_words = st.lists(st.sampled_from([0, 0, 0, 1, 0xFFFF, 0xDB8, 0xABCD]) | st.integers(0, 0xFFFF),
                      min_size=8, max_size=8)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(words=ipv6_words, upper=st.booleans())
def test_ipv6_text_matches_python_ipaddress(raw_fd1, words, upper):
    text = ":".join(f"{w:04X}" if upper else f"{w:x}" for w in words)
    expected = ipaddress.IPv6Address(text).compressed  # RFC 5952, mapped IPv4 dotted (3.13)
    line = print_details_line(raw_fd1, QuelvantClient(text, 1, 2, "u", "p"))
    assert line.startswith(f"QuelvantClient(server: {expected}, control_port: 1,"), (text, line)


# -- connect / disconnect -----------------------------------------------------------------

def test_connect_refused_leaves_unconnected_client_unchanged(free_port):
    c = QuelvantClient("127.0.0.1", free_port, None, None, None)
    with pytest.raises(OSError) as err:
        c.connect()
    assert type(err.value) is OSError and str(err.value) == REFUSED
    with pytest.raises(RuntimeError, match=f"^{NOT_CONNECTED}$"):
        c.send_raw_command("GetVersion")
    assert c.command_tag == 0


def test_failed_reconnect_keeps_old_connection(raw_fd1):
    # The stand-in cannot stop listening while keeping a connection, so a bare listener
    # plays the peer here: connect() completes from the backlog and every write is small,
    # so nothing in this process blocks on the other end.
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port = listener.getsockname()[1]
        c = QuelvantClient("127.0.0.1", port, None, None, None)
        c.connect()
        listener.settimeout(5)
        peer, _ = listener.accept()
    with peer:
        assert c.send_raw_command("First") == 0
        with pytest.raises(OSError) as err:
            c.connect()
        assert type(err.value) is OSError and str(err.value) == REFUSED
        assert c.send_raw_command("Second") == 1
        peer.settimeout(5)
        got = b""
        while got.count(b"\n") < 2:
            chunk = peer.recv(4096)
            assert chunk, got
            got += chunk
        assert got == b"First COMMANDTAG=0\nSecond COMMANDTAG=1\n"
        peer.sendall(b"still here\n")
        raw_fd1.wait_for("Received: still here\n")
    raw_fd1.wait_for(CLOSED)


def test_reconnect_replaces_connection_and_closes_old_handle(server, raw_fd1):
    before = socket_handles(server.port)
    c = connected(server)
    assert extra_handles(before, server.port) == 2  # the client's handle and the reader's copy
    assert c.send_raw_command("GetVersion") == 0
    c.connect()
    server.wait_connections(2)
    assert c.send_raw_command("GetVersion") == 1
    server.wait_received(b"GetVersion COMMANDTAG=1\n", conn=1)
    assert server.received(0) == b"GetVersion COMMANDTAG=0\n"
    # The first reader keeps its copy, so the old connection is still read.
    server.send(b"on old\n", conn=0)
    raw_fd1.wait_for("Received: on old\n")
    assert extra_handles(before, server.port) == 3
    server.close()
    raw_fd1.wait_for(closed(2))
    assert wait_extra_handles(before, 1, server.port) == 1
    c.disconnect()
    assert wait_extra_handles(before, 0, server.port) == 0


def test_ipv6_loopback(make_server, raw_fd1):
    srv = make_server(host="::1")
    c = connected(srv, host="::1")
    assert c.send_raw_command("GetVersion") == 0
    srv.wait_received(b"GetVersion COMMANDTAG=0\n")
    raw_fd1.wait_for("Received: OK GetVersion Version=standin-1.0 COMMANDTAG=0\n")
    srv.close()
    raw_fd1.wait_for(CLOSED)


def test_disconnect_then_reader_lives_until_server_closes(server, raw_fd1):
    c = QuelvantClient("127.0.0.1", server.port, None, None, None)
    with pytest.raises(RuntimeError, match="^No active connection to disconnect$"):
        c.disconnect()
    c.connect()
    assert c.send_raw_command("GetVersion") == 0
    server.wait_received(1)
    c.disconnect()
    with pytest.raises(RuntimeError, match="^No active connection to disconnect$"):
        c.disconnect()
    for send in (lambda: c.send_raw_command("Late"), lambda: c.send_command(Command.call_hold(1))):
        with pytest.raises(RuntimeError, match=f"^{NOT_CONNECTED}$"):
            send()
    assert c.command_tag == 1
    server.send(b"after disconnect\n")
    raw_fd1.wait_for("Received: after disconnect\n")
    assert CLOSED not in raw_fd1.text
    server.close()
    raw_fd1.wait_for(CLOSED)
    assert server.received(0) == b"GetVersion COMMANDTAG=0\n"
    c.connect()
    server.wait_connections(2)
    assert c.send_raw_command("GetVersion") == 1  # numbering goes on across connections
    server.wait_received(b"GetVersion COMMANDTAG=1\n", conn=1)
    server.close()
    raw_fd1.wait_for(closed(2))


def test_delete_connected_client(server, raw_fd1):
    before = socket_handles(server.port)
    c = connected(server)
    del c
    gc.collect()
    assert wait_extra_handles(before, 1, server.port) == 1  # only the reader's copy is left
    server.send(b"orphan line\n")
    raw_fd1.wait_for("Received: orphan line\n")
    server.close()
    raw_fd1.wait_for(CLOSED)
    assert wait_extra_handles(before, 0, server.port) == 0


# -- reader thread -------------------------------------------------------------------------

FIXED_LINES = [
    b"OK 12\r", b"", b"\t x \xe3\x80\x80", b"\xc2\xa0x\xe2\x80\xa8", b"a \t b", b"\x1c x \x1f",
    b"\xc2\x85x\xe2\x80\x8b", b"\xe1\xa0\x8e",
    b"\xe2\x80\xaf\xe2\x81\x9f\xe1\x9a\x80y\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa9",
    b"\xe3\x80\x80", b"mid\rdle\x0bend\x0c", b"nul\x00byte", b"\xff", b"a\x80b", b"\xc0\xaf", b"\xe0\x80\xaf",
    b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf8\x88\x80\x80\x80", b"\xf0\x9f\x98", b"\xe2\x82 x",
    b"\xc2\r", b" \xff ", b"\xe3\x80", b"\xf0\x9f\x98\x80 ok \xc3\xa9",
]
FRAGMENTS = [
    b"a", b"Z", b" ", b"\t", b"\r", b"\x0b", b"\x1f", b"\x00", b"\xff", b"\x80", b"\xbf", b"\xc2",
    b"\xc2\xa0", b"\xc2\x85", b"\xc3\xa9", b"\xe0\xa0", b"\xe0\x9f\x80", b"\xed\xa0\x80", b"\xed\x9f\xbf",
    b"\xe2\x80\xa8", b"\xe2\x80\x8b", b"\xe3\x80\x80", b"\xe1\x9a\x80", b"\xef\xbf\xbd", b"\xf0\x9f\x98\x80",
    b"\xf0\x9f\x98", b"\xf4\x8f\xbf\xbf", b"\xf4\x90", b"\xf5\x80", b"\xc1\xbf",
]


def test_reader_decodes_and_strips_like_python(server, raw_fd1):
    rng = random.Random(5952)
    lines = FIXED_LINES + [b"".join(rng.choices(FRAGMENTS, k=rng.randint(1, 10))) for _ in range(400)]
    connected(server)
    server.send(b"".join(line + b"\n" for line in lines))
    server.close()
    text = raw_fd1.wait_for(CLOSED)
    got = text.split("\n")
    assert got[-2:] == ["Connection closed.", ""]
    wrong = [(raw, report(raw), g + "\n") for raw, g in zip(lines, got) if report(raw) != g + "\n"]
    assert not wrong, wrong[:10]
    assert len(got) == len(lines) + 2


def test_lines_in_pieces_long_lines_and_unterminated_tail(server, raw_fd1):
    connected(server)
    split = [b"OK \xe2", b"\x98", b"\x8e sp", b"lit\r", b"\nnext ", b"line\n"]
    long_line = b"L" + b"\xc3\xa9" * 20_000 + b" end"
    huge_line = b"H" * (1 << 20)
    for piece in split:
        server.send(piece)
    for i in range(0, len(long_line), 999):  # odd steps cut characters in half
        server.send(long_line[i:i + 999])
    server.send(b"\n" + huge_line + b"\n")
    server.close_mid_line(b" tail \xe2\x82")
    text = raw_fd1.wait_for(CLOSED)
    assert text == (
        "Received: OK \u260e split\nReceived: next line\n" + report(long_line) + report(huge_line)
        + "Received: tail \ufffd\n" + CLOSED)


@pytest.mark.parametrize("tail, shown", [(b"", ""), (b"  ", "Received: \n"), (b"\xff", "Received: \ufffd\n")])
def test_end_of_stream_after_complete_line(server, raw_fd1, tail, shown):
    connected(server)
    server.send(b"done\n")
    server.close_mid_line(tail)
    assert raw_fd1.wait_for(CLOSED) == "Received: done\n" + shown + CLOSED


def test_reset_ends_reader(server, raw_fd1):
    connected(server)
    server.send(b"before reset\n")
    raw_fd1.wait_for("Received: before reset\n")
    server.close(reset=True)
    assert raw_fd1.wait_for(CLOSED).endswith("Received: before reset\n" + CLOSED)


def test_flood_complete_in_order_without_interleaving(server, raw_fd1):
    connected(server, 0)
    connected(server, 1)
    count = 20_000
    other = "B" * 300 + " from the second connection"
    flood = server.flood(other, count, conn=1, wait=False)
    server.send("".join(f"n {i:05d} {'.' * 40}\n" for i in range(count)), conn=0)
    flood.result(timeout=scaled(60))
    server.close()
    text = raw_fd1.wait_for(closed(2), timeout=scaled(60))
    lines = text.split("\n")
    numbered = [ln for ln in lines if ln.startswith("Received: n ")]
    assert numbered == [f"Received: n {i:05d} {'.' * 40}" for i in range(count)]
    assert lines.count(f"Received: {other}") == count
    assert len(lines) == 2 * count + 3  # two closes and the empty rest after the last "\n"


# -- tagged send ---------------------------------------------------------------------------

class Text(str):
    pass


def test_send_raw_command_wire_format(server, raw_fd1):
    c = connected(server)
    # An empty text first: the client's line buffer has never been grown then.
    messages = ["", "GetVersion", "PlayFile 3 a\r\nb", "Say \u00e9 \u260e \U0001f600", Text("CallHold 4")]
    tags = [c.send_raw_command(m) for m in messages]
    assert tags == list(range(len(messages))) and c.command_tag == len(messages)
    with pytest.raises(TypeError) as err:
        c.send_raw_command(b"GetVersion")
    assert str(err.value) == "argument 'message': 'bytes' object cannot be converted to 'PyString'"
    assert c.send_raw_command(message="GetVersion") == len(messages)
    expected = "".join(f"{m} COMMANDTAG={t}\n" for t, m in enumerate([*messages, "GetVersion"])).encode()
    assert server.wait_received(expected.count(b"\n")) == expected
    assert server.received(0) == expected
    raw_fd1.wait_for("Received: OK GetVersion Version=standin-1.0 COMMANDTAG=1\n")
    server.close()
    raw_fd1.wait_for(CLOSED)


def send_until_failure(c: QuelvantClient, tag: int, timeout: float = 5.0) -> tuple[int, OSError]:
    """Keep sending until the dead connection shows; each success must use the next tag."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            assert c.send_raw_command("GetVersion") == tag
        except OSError as exc:
            return tag, exc
        tag += 1
        assert time.monotonic() < deadline, "sends kept succeeding on a closed connection"
        time.sleep(0.01)


@pytest.mark.parametrize("reset", [False, True], ids=["fin", "rst"])
def test_send_after_server_gone_then_reconnect(server, raw_fd1, reset):
    c = connected(server)
    assert c.send_raw_command("GetVersion") == 0
    server.wait_received(1)
    server.close(conn=0, reset=reset)
    raw_fd1.wait_for(CLOSED)
    server.wait_closed(0)
    tag, err = send_until_failure(c, 1)
    assert type(err) is OSError and SEND_FAILED.fullmatch(str(err)), repr(err)
    assert c.command_tag == tag
    with pytest.raises(OSError):
        c.send_raw_command("GetVersion")
    assert c.command_tag == tag
    c.connect()
    server.wait_connections(2)
    assert c.send_raw_command("GetVersion") == tag
    assert server.wait_received(1, conn=1) == b"GetVersion COMMANDTAG=%d\n" % tag
    server.close()
    raw_fd1.wait_for(closed(2))


# -- client in its own process: signals and blocking sends ------------------------------------

def test_no_sigpipe_on_dead_connection(server, spawn):
    # Python ignores SIGPIPE; restore the default so a missing MSG_NOSIGNAL would kill the child.
    child = spawn(f"""
        import signal, sys
        from quelvant_rs import client
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        c = client.QuelvantClient("127.0.0.1", {server.port}, None, None, None)
        c.connect()
        sys.stdin.readline()
        errors = []
        for _ in range(200):
            try:
                c.send_raw_command("GetVersion")
            except OSError as exc:
                errors.append(str(exc))
                if len(errors) == 4:
                    break
        print(errors, file=sys.stderr)
    """)
    server.wait_connections(1)
    server.close(conn=0, reset=True)
    server.wait_closed(0)
    assert child.shows(child.out, CLOSED)
    child.proc.stdin.write(b"go\n")
    assert child.finish() == 0, child.err
    assert "Broken pipe (os error 32)" in child.err.decode(), child.err  # EPIPE is the SIGPIPE case
    assert child.out == CLOSED.encode()


def test_send_blocks_while_server_stalled(make_server, spawn):
    srv = make_server(rcvbuf=4096)
    srv.stall()
    size = 8 << 20
    child = spawn(f"""
        import sys
        from quelvant_rs import client
        c = client.QuelvantClient("127.0.0.1", {srv.port}, None, None, None)
        c.connect()
        print("sending", file=sys.stderr)
        print("sent", c.send_raw_command("PlayFile 1 " + "a" * {size}), file=sys.stderr)
        sys.stdin.readline()
    """)
    assert child.shows(child.err, "sending\n")
    assert blocked_in_syscall(child.proc.pid, SYS_SEND)
    assert b"sent" not in child.err
    assert srv.received(0) == b""
    srv.resume()
    assert child.shows(child.err, "sent 0\n", timeout=scaled(30)), child.err
    assert srv.wait_received(1, timeout=scaled(30)) == b"PlayFile 1 " + b"a" * size + b" COMMANDTAG=0\n"
    srv.close()
    assert child.shows(child.out, CLOSED)
    assert child.finish() == 0, child.err
    assert child.out == b"Received: OK PlayFile COMMANDTAG=0\n" + CLOSED.encode()


# -- exclusive use ---------------------------------------------------------------------------

class CallsBack:
    """An index whose conversion re-enters the client it is being passed to."""

    def __init__(self, inner, swallow: bool):
        self.inner = inner
        self.swallow = swallow
        self.error: Exception | None = None

    def __index__(self) -> int:
        try:
            self.inner()
        except RuntimeError as exc:
            self.error = exc
            if not self.swallow:
                raise
        return 5


INNER_CALLS = {
    "connect": (lambda c: c.connect(), "Already borrowed"),
    "disconnect": (lambda c: c.disconnect(), "Already borrowed"),
    "send_raw_command": (lambda c: c.send_raw_command("x"), "Already borrowed"),
    "send_command": (lambda c: c.send_command(Command.call_hold(1)), "Already borrowed"),
    "call_make": (lambda c: c.call_make(1, "y", None, None, None, None, None), "Already borrowed"),
    "get_version": (lambda c: c.get_version(), "Already borrowed"),
    "command_tag": (lambda c: c.command_tag, "Already mutably borrowed"),
    "print_details": (lambda c: c.print_details(), "Already mutably borrowed"),
}


@pytest.mark.parametrize("swallow", [False, True], ids=["raised", "caught"])
@pytest.mark.parametrize("inner", INNER_CALLS)
def test_reentrant_use_is_refused(server, raw_fd1, inner, swallow):
    call, message = INNER_CALLS[inner]
    c = connected(server)
    cb = CallsBack(lambda: call(c), swallow)
    make_line = b"CallMake %d %s TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=%d\n"
    if swallow:
        c.call_make(cb, "x", None, None, None, None, None)
        expected = make_line % (5, b"x", 0)
    else:
        with pytest.raises(RuntimeError) as err:
            c.call_make(cb, "x", None, None, None, None, None)
        assert err.value is cb.error
        expected = b""
    assert type(cb.error) is RuntimeError and str(cb.error) == message
    tag = c.command_tag
    assert tag == (1 if swallow else 0)
    c.call_make(7, "1001", None, None, None, None, None)  # nothing stays borrowed
    expected += make_line % (7, b"1001", tag)
    assert server.wait_received(expected.count(b"\n")) == expected
    assert c.command_tag == tag + 1
    assert "control_port: " in print_details_line(raw_fd1, c)
    assert server.connections() == 1
    server.close()
    raw_fd1.wait_for(CLOSED)
