"""Faults from the server and from the process's own fd 1, each survived as documented.

Faults already covered in test_client.py are not repeated here: the server closing mid-line
(test_lines_in_pieces_long_lines_and_unterminated_tail, test_end_of_stream_after_complete_line),
a reset while the reader waits (test_reset_ends_reader), a send into a stalled server
(test_send_blocks_while_server_stalled) and sends after the server has gone
(test_send_after_server_gone_then_reconnect).
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
import subprocess
import sys
import termios
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor

from conftest import SYS_RECVFROM, SYS_SEND, SYS_WRITE, blocked_in_syscall
from quelvant_rs import client
from pace import scaled

QuelvantClient = client.QuelvantClient
CLOSED = "Connection closed.\n"
SEND_FAILED = re.compile(
    r"Failed to send message: (Connection reset by peer \(os error 104\)|Broken pipe \(os error 32\))")


def numbered(conn: int, seq: int) -> str:
    """Line seq of connection conn; every 37th is longer than a pipe's atomic write."""
    pad = "x" * (5000 if seq % 37 == 0 else seq % 60)
    return f"c{conn:03d} n{seq:05d} {pad}."


def test_reset_during_a_large_send(make_server, spawn):
    srv = make_server(rcvbuf=4096)
    srv.stall()  # reads nothing, so the 64 MiB send cannot finish before the reset
    child = spawn(f"""
        import sys
        from quelvant_rs import client
        c = client.QuelvantClient("127.0.0.1", {srv.port}, None, None, None)
        c.connect()
        print("sending", file=sys.stderr, flush=True)
        for attempt in range(2):  # the failed send, then one on the dead connection
            try:
                c.send_raw_command("PlayFile 1 " + "a" * (64 << 20))
            except OSError as exc:
                print(type(exc).__name__, "|", exc, "| tag", c.command_tag, file=sys.stderr, flush=True)
        print("done", file=sys.stderr, flush=True)
        sys.stdin.readline()
        c.connect()
        print("sent", c.send_raw_command("GetVersion"), file=sys.stderr, flush=True)
        sys.stdin.readline()
    """)
    assert child.shows(child.err, "sending\n")
    assert blocked_in_syscall(child.proc.pid, SYS_SEND)
    srv.close(conn=0, reset=True)
    assert child.shows(child.err, "done\n"), child.err
    report = child.err.decode().splitlines()
    assert len(report) == 4 and report[0] == "sending" and report[3] == "done", report
    for failure in report[1:3]:
        kind, message, tag = failure.split(" | ")
        assert (kind, tag) == ("OSError", "tag 0") and SEND_FAILED.fullmatch(message), failure
    assert child.shows(child.out, CLOSED)  # the reader saw the reset too
    srv.resume()
    child.proc.stdin.write(b"reconnect\n")
    child.proc.stdin.flush()
    assert child.shows(child.err, "sent 0\n"), child.err  # the failed sends used no tag
    assert srv.wait_received(1, conn=1) == b"GetVersion COMMANDTAG=0\n"
    srv.close()
    assert child.shows(child.out, "COMMANDTAG=0\n" + CLOSED)
    assert child.finish() == 0, child.err
    assert child.out == (CLOSED + "Received: OK GetVersion Version=standin-1.0 COMMANDTAG=0\n" + CLOSED).encode()


def test_200_connections_flooding_at_once(server, raw_fd1):
    conns, lines = 200, 120
    clients = []
    for i in range(conns):
        c = QuelvantClient(server.host, server.port, None, None, None)
        c.connect()
        clients.append(c)
    server.wait_connections(conns)
    blocks = ["".join(numbered(i, s) + "\n" for s in range(lines)) for i in range(conns)]
    # One control request per connection: the server writes to all of them at the same time.
    with ThreadPoolExecutor(conns) as pool:
        for done in [pool.submit(server.send, blocks[i], conn=i) for i in range(conns)]:
            done.result(timeout=scaled(60))
    server.close()
    out = raw_fd1.wait_for(lambda t: t.count(CLOSED) >= conns, timeout=scaled(60)).split("\n")
    assert out.pop() == ""  # everything printed ends in "\n"
    assert out.count(CLOSED[:-1]) == conns
    seen: dict[int, list[str]] = {i: [] for i in range(conns)}
    for line in out:
        if line != CLOSED[:-1]:
            assert line.startswith("Received: c") and line[11:14].isdigit(), line[:80]
            seen[int(line[11:14])].append(line[len("Received: "):])
    for i in range(conns):
        assert seen[i] == [numbered(i, s) for s in range(lines)], f"connection {i}"


def run_child(code: str, **popen) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE, **popen)


def process_state(pid: int) -> tuple[int, int]:
    """(threads, socket descriptors) of process pid, read from outside: inside, listing a
    directory would take the free fd 1 while the reader may still write to it."""
    sockets = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(FileNotFoundError):
            sockets += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
    return len(os.listdir(f"/proc/{pid}/task")), sockets


def test_closed_fd1_absorbs_reader_output(server):
    child = run_child(f"""
        import os, sys
        from quelvant_rs import client
        os.close(1)
        c = client.QuelvantClient("127.0.0.1", {server.port}, None, None, None)
        c.connect()
        c.print_details()
        c.send_raw_command("GetVersion")
        print("connected", file=sys.stderr, flush=True)
        sys.stdin.readline()
        c.disconnect()
        print("disconnected", file=sys.stderr, flush=True)
        sys.stdin.readline()
    """, stdout=subprocess.DEVNULL)
    try:
        assert child.stderr.readline() == b"connected\n"
        assert blocked_in_syscall(child.pid, SYS_RECVFROM)  # the reader, waiting for the server
        # A sanitizer's own thread may have started with the reader: count from here.
        threads, sockets = process_state(child.pid)
        threads -= 1
        assert sockets == 2  # the client's handle and the reader's
        server.flood("OK " + "y" * 200, 5000, conn=0)
        server.close()
        deadline = time.monotonic() + scaled(30)  # the reader ends once the server has closed
        while process_state(child.pid)[0] > threads and time.monotonic() < deadline:
            time.sleep(0.01)
        child.stdin.write(b"go\n")
        child.stdin.flush()
        assert child.stderr.readline() == b"disconnected\n"
        assert process_state(child.pid) == (threads, 0)
        child.stdin.close()
        assert child.wait(scaled(30)) == 0
        assert child.stderr.read() == b""
        # Had a socket taken the free fd 1, the printed text would have gone to the server.
        assert server.received(0) == b"GetVersion COMMANDTAG=0\n"
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


def pipe_fill(read_end: int) -> int:
    pending = bytearray(4)
    fcntl.ioctl(read_end, termios.FIONREAD, pending)
    return int.from_bytes(pending, sys.byteorder)


def test_full_stdout_pipe_holds_the_reader_until_drained(server):
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
    capacity = fcntl.fcntl(write_end, fcntl.F_GETPIPE_SZ)
    child = run_child(f"""
        import sys
        from quelvant_rs import client
        c = client.QuelvantClient("127.0.0.1", {server.port}, None, None, None)
        c.connect()
        print("connected", file=sys.stderr, flush=True)
        sys.stdin.readline()
    """, stdout=write_end)
    os.close(write_end)
    try:
        assert child.stderr.readline() == b"connected\n"
        lines = 3000

        def send_then_close():
            server.send("".join(numbered(0, s) + "\n" for s in range(lines)), conn=0)
            server.close()

        sender = ThreadPoolExecutor(1)
        sent = sender.submit(send_then_close)
        # The pipe fills and the reader stays in write(1, ...) while nobody drains it.
        assert blocked_in_syscall(child.pid, SYS_WRITE, first_arg=1)
        deadline = time.monotonic() + scaled(10)
        while (filled := pipe_fill(read_end)) < capacity and time.monotonic() < deadline:
            time.sleep(0.005)
        assert filled == capacity
        assert blocked_in_syscall(child.pid, SYS_WRITE, first_arg=1)
        data = bytearray()
        while not data.endswith(CLOSED.encode()):
            chunk = os.read(read_end, 1 << 16)
            assert chunk, data[-200:]
            data += chunk
        sent.result(timeout=scaled(30))
        sender.shutdown()
        expected = "".join(f"Received: {numbered(0, s)}\n" for s in range(lines)) + CLOSED
        assert data.decode() == expected
        child.stdin.close()
        assert child.wait(scaled(30)) == 0, child.stderr.read()
    finally:
        os.close(read_end)
        if child.poll() is None:
            child.kill()
            child.wait()
