"""The stand-in server itself, driven with plain sockets."""

from __future__ import annotations

import contextlib
import os
import re
import signal
import struct
import socket
import threading
import time
from types import SimpleNamespace

import pytest
from pace import scaled

from golden import GOLDEN, wire_text
from quelvant_rs import commands, session
from quelvant_standin import catalogue as built
from quelvant_standin import failed
from quelvant_standin.harness import StandInError, StandInServer, StandInTimeout

IO_TIMEOUT = 5.0

# Written out here rather than imported, so a word dropped from the server's
# table shows up as a failure.
COMMAND_WORDS = """
ProtocolVersion GetVersion Login Logout Quit ResourceCreateFrontEnd ResourceCreatePlayer
ResourceCreateRecorder ResourceCreateTransportChannel ResourceCreateRtpChannel
ResourceCreateSoundDevice ResourceCreateFax ResourceCreateDocument ResourceDelete
ResourceGetStatus CallMake CallAnswer CallClear CallTransferConsultation CallTransferBlind
CallHold CallRetrieve CallSendDTMF CallStopActivity CallT38Relay CallsSetAlertingType
CallsSetAccepting PlayFile PlayStream PlayTone PlayStop RecorderStartToFile
RecorderStartToStream RecorderStop RtpChannelStartReceiving RtpChannelStartSending
RtpChannelStop RtpChannelSendDTMF SoundDeviceStart SoundDeviceStop FaxReceive FaxSend
FaxAbort DocumentAddFile DocumentPrepare DocumentSave DocumentClear AudioSend AudioCancel
AudioLevelNotificationSend AudioLevelNotificationCancel InBandSignalingDetectionEnable
InBandSignalingDetectionDisable GetRtpStatistics
""".split()


class LineClient:
    def __init__(self, address: tuple[str, int]):
        self.sock = socket.create_connection(address, timeout=IO_TIMEOUT)
        self.buf = b""

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def readline(self) -> bytes:
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError(f"connection closed; unterminated tail {self.buf!r}")
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line

    def read_until_eof(self) -> bytes:
        while True:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                data, self.buf = self.buf, b""
                return data
            self.buf += chunk

    def close(self) -> None:
        self.sock.close()


@pytest.fixture
def connect(server):
    clients: list[LineClient] = []

    def make(srv: StandInServer = server) -> LineClient:
        c = LineClient(srv.address)
        clients.append(c)
        return c

    yield make
    for c in clients:
        c.close()


def test_every_command_word_is_answered_with_its_tag(connect):
    c = connect()
    words = [w for w in COMMAND_WORDS if w != "Quit"]
    c.send(b"".join(b"%s 1 x=2 COMMANDTAG=%d\n" % (w.encode(), 100 + i) for i, w in enumerate(words)))
    for i, w in enumerate(words):
        line = c.readline().decode()
        assert line.startswith(f"OK {w} ") and line.endswith(f" COMMANDTAG={100 + i}"), line


@pytest.mark.parametrize(
    "sent, answer",
    [
        (b"CallMake 7 1001 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=4\n", b"OK CallMake COMMANDTAG=4"),
        (b"Login user pw COMMANDTAG=8\r\n", b"OK Login COMMANDTAG=8"),
        (b"GetVersion COMMANDTAG=0\n", b"OK GetVersion Version=standin-1.0 COMMANDTAG=0"),
        (b"\n\r\nLogout COMMANDTAG=17\n", b"OK Logout COMMANDTAG=17"),  # blank lines draw no answer
        (b"CallMake 7 1001\n", b"ERROR cannot parse line: CallMake 7 1001"),
        (b"CallMake 7 COMMANDTAG=\n", b"ERROR cannot parse line: CallMake 7 COMMANDTAG="),
        (b"CallMake 7 COMMANDTAG=4x\n", b"ERROR cannot parse line: CallMake 7 COMMANDTAG=4x"),
        (b"CallMake COMMANDTAG=4 7\n", b"ERROR cannot parse line: CallMake COMMANDTAG=4 7"),
        (b" CallMake 7 COMMANDTAG=4\n", b"ERROR cannot parse line:  CallMake 7 COMMANDTAG=4"),
        (b"COMMANDTAG=4\n", b"ERROR cannot parse line: COMMANDTAG=4"),
        (b"Bogus 1 2 COMMANDTAG=12\n", b"ERROR unknown command Bogus COMMANDTAG=12"),
        (b"callmake 1 COMMANDTAG=5\n", b"ERROR unknown command callmake COMMANDTAG=5"),
    ],
)
def test_answer_line(connect, sent, answer):
    c = connect()
    # Byte-at-a-time delivery must still read as one line; the valid command
    # after it proves the connection survives errors and the answers stay in order.
    for i in range(len(sent)):
        c.send(sent[i : i + 1])
    c.send(b"Login COMMANDTAG=99\n")
    assert c.readline() == answer
    assert c.readline() == b"OK Login COMMANDTAG=99"


def test_resource_ids_count_up_across_connections(server, connect):
    a, b = connect(), connect()
    answers = []
    for client, word, tag in [
        (a, b"ResourceCreatePlayer", 1),
        (b, b"ResourceCreateFrontEnd", 1),
        (a, b"ResourceDelete 1", 2),
        (a, b"ResourceCreateFax", 3),
    ]:
        client.send(b"%s COMMANDTAG=%d\n" % (word, tag))
        answers.append(client.readline())
    assert answers == [
        b"OK ResourceCreatePlayer ResourceId=1 COMMANDTAG=1",
        b"OK ResourceCreateFrontEnd ResourceId=2 COMMANDTAG=1",
        b"OK ResourceDelete COMMANDTAG=2",
        b"OK ResourceCreateFax ResourceId=3 COMMANDTAG=3",
    ]


def test_quit_answers_then_closes(server, connect):
    c = connect()
    c.send(b"Quit COMMANDTAG=3\nLogin COMMANDTAG=4\n")
    assert c.read_until_eof() == b"OK Quit COMMANDTAG=3\n"
    c.close()
    assert server.wait_closed(0) is True


def test_silent_mode_answers_nothing_and_quit_stays_open(server, connect):
    c = connect()
    server.set_silent(True)
    c.send(b"Quit COMMANDTAG=1\nCallMake 1 COMMANDTAG=2\nnonsense\n")
    server.wait_received(b"nonsense\n")
    server.set_silent(False)
    c.send(b"Login COMMANDTAG=3\n")
    assert c.readline() == b"OK Login COMMANDTAG=3"


def test_received_is_exact_per_connection(server, connect):
    a, b = connect(), connect()
    pieces = [b"CallMake 1 COMMANDTAG=1\r\n", b"\x00\xff bin", b"ary\n", b"partial, no newline"]
    for p in pieces:
        a.send(p)
    b.send(b"Login COMMANDTAG=1\n")
    assert server.wait_received(b"newline", conn=0) == b"".join(pieces)
    assert server.wait_received(1, conn=1) == b"Login COMMANDTAG=1\n"
    assert server.connections() == 2


@pytest.mark.parametrize("line", [b"EVENT 5 State=Idle\n", b"EVENT 5 State=Idle"])
def test_flood_sends_exact_count(server, connect, line):
    c = connect()
    server.wait_connections(1)
    count = 250_001  # not a multiple of any chunk size
    flood = server.flood(line, count, conn=0, wait=False)
    # Lines go out faster than the socket buffers hold, so read while it runs.
    data = bytearray()
    while data.count(b"\n") < count:
        chunk = c.sock.recv(1 << 20)
        assert chunk, f"EOF after {len(data)} bytes"
        data += chunk
    flood.result()
    server.close(0)
    data += c.read_until_eof()
    lines = bytes(data).split(b"\n")
    assert lines[-1] == b""
    assert len(lines) - 1 == count
    assert set(lines[:-1]) == {line.rstrip(b"\n")}


@pytest.mark.parametrize("conn", [None, 1])
def test_send_reaches_chosen_connections(server, connect, conn):
    a, b = connect(), connect()
    server.wait_connections(2)
    server.send(b"EVENT one\n", conn=conn)
    server.send(b"EVENT two\n", conn=1)
    assert b.readline() == b"EVENT one"
    assert b.readline() == b"EVENT two"
    a.sock.settimeout(0.3)
    if conn is None:
        assert a.readline() == b"EVENT one"
    else:
        with pytest.raises(TimeoutError):
            a.readline()


def _send_until_blocked(sock: socket.socket, chunk: bytes, limit: int) -> int:
    """Send until a send times out; return bytes accepted.  Fails if limit passes first."""
    sent = 0
    view = memoryview(chunk)
    while sent < limit:
        try:
            sent += sock.send(view)
        except TimeoutError:
            return sent
    pytest.fail(f"{sent} bytes went out and send never blocked")


def _buffer_limit() -> int:
    # The kernel's largest buffers bound how much can vanish into a stalled
    # connection; anything past that without blocking means stall is broken.
    total = 0
    for name in ("tcp_rmem", "tcp_wmem"):
        try:
            with open(f"/proc/sys/net/ipv4/{name}") as f:
                total += int(f.read().split()[2])
        except (OSError, ValueError, IndexError):
            return 256 << 20
    return total + (8 << 20)


@pytest.mark.parametrize("before_connect", [False, True])
def test_stall_blocks_sender_until_resume(server, before_connect):
    if before_connect:
        server.stall()  # also applies to connections accepted later
    sock = socket.create_connection(server.address, timeout=IO_TIMEOUT)
    try:
        server.wait_connections(1)
        if not before_connect:
            server.stall(0)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)
        sock.settimeout(0.5)
        chunk = b"x" * 65536  # no newline: nothing to answer, so only the stall can block
        sent = _send_until_blocked(sock, chunk, _buffer_limit())
        assert len(server.received(0)) < sent
        server.resume(None if before_connect else 0)
        sock.settimeout(IO_TIMEOUT)
        sock.sendall(chunk)
        sent += len(chunk)
        got = server.wait_received(lambda d: len(d) >= sent, timeout=scaled(10.0))
        assert got == b"x" * sent
    finally:
        sock.close()


@pytest.mark.parametrize("conn", [None, 0])
def test_close_mid_line_delivers_partial_then_eof(server, connect, conn):
    c = connect()
    server.wait_connections(1)
    server.send(b"EVENT whole\n")
    server.close_mid_line(b"EVENT half", conn=conn)
    assert c.read_until_eof() == b"EVENT whole\nEVENT half"


def test_close_sends_fin_after_pending_output(server, connect):
    c = connect()
    server.wait_connections(1)
    server.send(b"EVENT last\n", conn=0)
    server.close(0)
    assert c.read_until_eof() == b"EVENT last\n"


def test_close_with_reset(server, connect):
    c = connect()
    server.wait_connections(1)
    server.close(0, reset=True)
    with pytest.raises(ConnectionResetError):
        c.read_until_eof()
    assert server.wait_closed(0) is False


@pytest.mark.parametrize(
    "wait",
    [
        lambda s: s.wait_received(1, timeout=0.2),
        lambda s: s.wait_received(b"never", timeout=0.2),
        lambda s: s.wait_connections(2, timeout=0.2),
        lambda s: s.wait_closed(0, timeout=0.2),
    ],
    ids=["lines", "bytes", "connections", "closed"],
)
def test_waits_time_out(server, connect, wait):
    connect().send(b"no newline yet")
    server.wait_received(b"yet")
    start = time.monotonic()
    with pytest.raises(StandInTimeout):
        wait(server)
    assert time.monotonic() - start < scaled(3.0)


def test_wait_received_fails_fast_when_connection_ended(server, connect):
    c = connect()
    c.send(b"only this")
    c.close()
    with pytest.raises(StandInError, match="ended without"):
        server.wait_received(b"more", timeout=scaled(30.0))


def test_ipv6_loopback(make_server):
    if not socket.has_ipv6:
        pytest.skip("no IPv6 support")
    try:
        socket.socket(socket.AF_INET6).bind(("::1", 0))
    except OSError:
        pytest.skip("::1 unavailable")
    srv = make_server(host="::1")
    c = LineClient(srv.address)
    try:
        c.send(b"GetVersion COMMANDTAG=2\n")
        assert re.fullmatch(rb"OK GetVersion Version=\S+ COMMANDTAG=2", c.readline())
    finally:
        c.close()


def test_refuses_non_loopback_host():
    with pytest.raises(StandInError, match="loopback"):
        StandInServer(host="0.0.0.0").start()


def test_stop_kills_a_hung_server(make_server):
    srv = make_server()
    pid = srv.pid
    os.kill(pid, signal.SIGSTOP)
    start = time.monotonic()
    srv.stop()
    assert time.monotonic() - start < scaled(10.0)
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


def test_fd1_waits_for_output_written_later_by_another_thread(fd1):
    release = threading.Event()

    def writer():
        release.wait(IO_TIMEOUT)
        os.write(1, b"Received: OK Login COMMANDTAG=1\n")
        os.write(1, b"Connection closed.\n")

    t = threading.Thread(target=writer)
    t.start()
    try:
        with pytest.raises(TimeoutError, match="Connection closed"):
            fd1.wait_for("Connection closed.", timeout=0.1)
        release.set()
        text = fd1.wait_for(lambda t: t.count("\n") >= 2)
    finally:
        release.set()
        t.join()
    assert text == "Received: OK Login COMMANDTAG=1\nConnection closed.\n"
    assert fd1.text == text


def test_free_port_refuses_connections(free_port):
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", free_port), timeout=IO_TIMEOUT).close()


# -- call events, delays, withheld answers, scripted events and drops ---------------------

def _marker_after(server: StandInServer, ms: float = 1) -> bytes:
    """Schedule a marker line; anything the server scheduled earlier for sooner goes out first."""
    server.event(b"marker", after_ms=ms)
    return b"marker"


@pytest.mark.parametrize(
    "sent, event",
    [
        (b"CallMake 7 1001 TimeOut=30000 COMMANDTAG=4", b"CallConnected ResourceId=7"),
        (b"CallAnswer 3 COMMANDTAG=5", b"CallConnected ResourceId=3"),
        (b"CallClear 7 16 COMMANDTAG=6", b"CallCleared ResourceId=7"),
        (b"PlayFile 2 greeting.wav PCM COMMANDTAG=7", b"PlayFinished ResourceId=2 COMMANDTAG=7"),
        (b"PlayStream 2 9 COMMANDTAG=8", b"PlayFinished ResourceId=2 COMMANDTAG=8"),
        (b"PlayTone 12\t440 COMMANDTAG=9", b"PlayFinished ResourceId=12 COMMANDTAG=9"),
        (b"RecorderStartToFile 5 out.wav COMMANDTAG=10", b"RecorderFinished ResourceId=5 COMMANDTAG=10"),
        (b"RecorderStartToStream 5 9 COMMANDTAG=11", b"RecorderFinished ResourceId=5 COMMANDTAG=11"),
        (b"FaxSend 3 1 4 COMMANDTAG=12", b"FaxFinished ResourceId=3 COMMANDTAG=12"),
        (b"FaxReceive 3 4 COMMANDTAG=13", b"FaxFinished ResourceId=3 COMMANDTAG=13"),
        (b"CallHold 7 COMMANDTAG=14", None),
        (b"PlayStop 2 COMMANDTAG=15", None),
        (b"CallMake COMMANDTAG=16", None),  # no resource to announce
    ],
)
def test_call_event_follows_its_answer(server, connect, sent, event):
    server.set_call_events(True, event_delay_ms=0, finish_delay_ms=0)
    c = connect()
    c.send(sent + b"\n")
    tokens = sent.split()
    assert c.readline() == b"OK %s %s" % (tokens[0], tokens[-1])
    marker = _marker_after(server)
    if event is not None:
        assert c.readline() == event
    assert c.readline() == marker


@pytest.mark.parametrize(
    "options, first, second",
    [
        ({"call_events": True}, b"CallConnected ResourceId=7", b"PlayFinished ResourceId=2 COMMANDTAG=2"),
        ({"event_delay_ms": 300, "finish_delay_ms": 0}, b"PlayFinished ResourceId=2 COMMANDTAG=2",
         b"CallConnected ResourceId=7"),
    ],
    ids=["option-default-delays", "op-set-delays"],
)
def test_call_event_delays_order_events(make_server, options, first, second):
    srv = make_server(**options)
    if not options.get("call_events"):
        srv.set_call_events(True)
    with contextlib.closing(LineClient(srv.address)) as c:
        c.send(b"CallMake 7 COMMANDTAG=1\nPlayFile 2 a.wav COMMANDTAG=2\n")
        got = [c.readline() for _ in range(4)]
    assert got == [b"OK CallMake COMMANDTAG=1", b"OK PlayFile COMMANDTAG=2", first, second]


def test_call_events_off_sends_none(server, connect):
    server.set_call_events(True, event_delay_ms=0, finish_delay_ms=0)
    server.set_call_events(False)
    c = connect()
    c.send(b"CallMake 7 COMMANDTAG=1\nPlayFile 2 a.wav COMMANDTAG=2\n")
    assert c.readline() == b"OK CallMake COMMANDTAG=1"
    assert c.readline() == b"OK PlayFile COMMANDTAG=2"
    marker = _marker_after(server)
    assert c.readline() == marker


@pytest.mark.parametrize(
    "delays, sent, expected",
    [
        ([("Login", 500)], b"Login a b COMMANDTAG=1\nLogout COMMANDTAG=2\n",
         [b"OK Logout COMMANDTAG=2", b"OK Login COMMANDTAG=1"]),
        ([(None, 500), ("Logout", 0)], b"Bogus COMMANDTAG=1\nnonsense\nLogout COMMANDTAG=2\n",
         [b"OK Logout COMMANDTAG=2", b"ERROR unknown command Bogus COMMANDTAG=1",
          b"ERROR cannot parse line: nonsense"]),
        ([("Login", 500), ("Login", 0)], b"Login COMMANDTAG=1\nLogout COMMANDTAG=2\n",
         [b"OK Login COMMANDTAG=1", b"OK Logout COMMANDTAG=2"]),
        # Events count from the delayed answer, so they still follow it.
        ([("CallMake", 500)], b"CallMake 7 COMMANDTAG=1\nLogout COMMANDTAG=2\n",
         [b"OK Logout COMMANDTAG=2", b"OK CallMake COMMANDTAG=1", b"CallConnected ResourceId=7"]),
    ],
    ids=["one-word", "every-word-but-one", "zero-removes", "events-follow"],
)
def test_delayed_answers_go_out_after_later_ones(server, connect, delays, sent, expected):
    server.set_call_events(True, event_delay_ms=0)
    for word, ms in delays:
        server.delay(word, ms)
    c = connect()
    c.send(sent)
    assert [c.readline() for _ in expected] == expected


def test_delayed_quit_answers_then_closes_and_answers_nothing_after(server, connect):
    server.delay("Quit", 300)
    c = connect()
    c.send(b"Quit COMMANDTAG=1\nLogin COMMANDTAG=2\n")
    server.wait_received(b"Login COMMANDTAG=2\n")
    c.send(b"Logout COMMANDTAG=3\n")
    assert c.read_until_eof() == b"OK Quit COMMANDTAG=1\n"


def test_muted_word_gets_no_answer_and_no_event(server, connect):
    server.set_call_events(True, event_delay_ms=0)
    server.mute("CallMake")
    c = connect()
    c.send(b"CallMake 7 COMMANDTAG=1\nLogin COMMANDTAG=2\n")
    assert c.readline() == b"OK Login COMMANDTAG=2"
    marker = _marker_after(server)
    assert c.readline() == marker
    server.mute("CallMake", on=False)
    c.send(b"CallMake 7 COMMANDTAG=3\n")
    assert c.readline() == b"OK CallMake COMMANDTAG=3"


@pytest.mark.parametrize("conn", [None, 1])
@pytest.mark.parametrize("after_ms, every_ms, count", [(0, None, 1), (0, 20, 3), (30, 10, 4)])
def test_event_sends_count_lines(server, connect, conn, after_ms, every_ms, count):
    a, b = connect(), connect()
    server.wait_connections(2)
    line = b"CallIncoming ResourceId=3 CallerNumber=2002"
    server.event(line, conn=conn, after_ms=after_ms, every_ms=every_ms, count=count)
    assert [b.readline() for _ in range(count)] == [line] * count
    # Due well after a further line would have been: it shows there was none.
    marker = _marker_after(server, 200)
    assert b.readline() == marker
    assert [a.readline() for _ in range(count if conn is None else 0)] == [line] * (count if conn is None else 0)
    assert a.readline() == marker


@pytest.mark.parametrize("reset", [False, True])
def test_drop_on_closes_unanswered_once(server, connect, reset):
    server.drop_on("CallMake", reset=reset)
    a = connect()
    a.send(b"CallMake 7 COMMANDTAG=1\nLogin COMMANDTAG=2\n")
    if reset:
        with pytest.raises(ConnectionResetError):
            a.read_until_eof()
    else:
        assert a.read_until_eof() == b""
    a.close()
    assert server.wait_closed(0) is not reset  # FIN waits for the peer's; RST does not
    b = connect()
    b.send(b"CallMake 7 COMMANDTAG=3\n")
    assert b.readline() == b"OK CallMake COMMANDTAG=3"


@pytest.mark.parametrize("via_option", [True, False])
def test_refused_login(make_server, via_option):
    srv = make_server(refuse_login=via_option)
    if not via_option:
        srv.set_refuse_login(True)
    with contextlib.closing(LineClient(srv.address)) as c:
        c.send(b"Login user pw COMMANDTAG=8\nLogout COMMANDTAG=9\n")
        assert [c.readline(), c.readline()] == [b"ERROR Login refused COMMANDTAG=8", b"OK Logout COMMANDTAG=9"]
        srv.set_refuse_login(False)
        c.send(b"Login user pw COMMANDTAG=10\n")
        assert c.readline() == b"OK Login COMMANDTAG=10"


@pytest.mark.parametrize(
    "line, expected",
    [("ERROR Login refused COMMANDTAG=1", True), ("OK Login COMMANDTAG=1", False), ("ERRORS x", False), ("", False)],
)
def test_failed_predicate(line, expected):
    assert failed(SimpleNamespace(line=line, words=line.split())) is expected


def test_catalogue_file_is_the_modules_catalogue():
    # The build writes it from the same table the module is made of; the expected lines here
    # are the tests' own golden ones, kept apart from the C++ table.
    entries = {c.factory: c for c in built.commands()}
    assert len(entries) == len(GOLDEN)
    for g in GOLDEN:
        entry = entries[g.factory]
        assert entry.word == g.variant
        keys = [piece[1:].removesuffix(wire_text(v)).removesuffix("=") or None
                for v, piece in zip(g.top.values(), g.top_pieces[1:])]
        assert [(f.name, f.kind, f.optional, f.key) for f in entry.fields] == [
            (p.name, p.kind, p.optional, key) for p, key in zip(g.params, keys)]
        assert callable(getattr(commands.Command, entry.factory))
        assert callable(getattr(session.Session, entry.method))
    assert built.command_words() == set(COMMAND_WORDS)


# -- the kit's own faults ------------------------------------------------------------------

def _server_side_states(listen_port: int, peer_port: int) -> list[str]:
    """The TCP states (hex, as /proc/net/tcp shows them) of the server's end of one connection."""
    states = []
    with open("/proc/net/tcp") as f:
        for row in f.read().splitlines()[1:]:
            fields = row.split()
            local, remote = (int(a.rsplit(":", 1)[1], 16) for a in fields[1:3])
            if (local, remote) == (listen_port, peer_port):
                states.append(fields[3])
    return states


@pytest.mark.parametrize("fault", ["reset before accept", "error setting up"])
def test_one_connections_failure_never_stops_accepting(monkeypatch, fault):
    from quelvant_standin import server as server_module

    srv = server_module.StandInTcpServer()  # in this process: its accept thread is the subject
    try:
        early = socket.create_connection(("127.0.0.1", srv.port), timeout=IO_TIMEOUT)
        if fault == "reset before accept":
            peer = early.getsockname()[1]
            early.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            early.close()  # RST while it waits in the listen queue: getpeername() will fail
            deadline = time.monotonic() + IO_TIMEOUT
            while "01" in _server_side_states(srv.port, peer):  # still ESTABLISHED
                assert time.monotonic() < deadline, "the reset never reached the listen queue"
                time.sleep(0.005)
        else:
            real = server_module.Connection
            calls = []

            def first_fails(*args, **kwargs):
                calls.append(1)
                if len(calls) == 1:
                    raise RuntimeError("broken set-up")
                return real(*args, **kwargs)

            monkeypatch.setattr(server_module, "Connection", first_fails)
        srv.start()
        with contextlib.closing(LineClient(("127.0.0.1", srv.port))) as c:
            c.send(b"GetVersion COMMANDTAG=1\n")
            assert c.readline() == b"OK GetVersion Version=standin-1.0 COMMANDTAG=1"
        assert (srv.failed_accepts, len(srv.connections)) == (1, 1)
        early.close()
    finally:
        srv.stop()


@pytest.mark.parametrize("line_feed", [True, False])
def test_a_huge_line_costs_the_server_a_bounded_window(server, connect, line_feed):
    def rss_kib() -> int:
        with open(f"/proc/{server.pid}/status") as f:
            return next(int(row.split()[1]) for row in f if row.startswith("VmRSS:"))

    c = connect()
    c.send(b"GetVersion COMMANDTAG=1\n")
    c.readline()
    before = rss_kib()
    block = b"a" * (1 << 20)
    c.send(b"PlayFile 1 ")
    for _ in range(64):
        c.send(block)
    end = b" COMMANDTAG=5\n" if line_feed else b" still no line feed"
    c.send(end)
    if line_feed:  # the server still answers it from the ends it kept
        assert c.readline() == b"OK PlayFile COMMANDTAG=5"
    held = server.wait_received(lambda d: d.endswith(end), timeout=30)
    # received() keeps the first MiB and the last 16 MiB; the line's own assembly its two
    # ends (128 KiB). Before, the server held the line twice over (128 MiB) for good.
    first = b"GetVersion COMMANDTAG=1\nPlayFile 1 "
    stream = first + b"a" * (64 << 20) + end
    assert held == stream[: 1 << 20] + stream[-(16 << 20):]
    assert rss_kib() - before < 64 << 10
