"""Measurements that run in a child process, one per call of bench.py.

    python workloads.py NAME RESULT_JSON ARGS_JSON

Each runs in its own process so that file descriptor 1 can be the sink under test, so
module reader threads (which live until the process exits) never pile up across
measurements, and so memory deltas start from a clean interpreter. Results go to
RESULT_JSON, never to stdout: stdout belongs to the module's reader.
"""

from __future__ import annotations

import asyncio
import atexit
import gc
import json
import os
import queue
import re
import socket
import subprocess
import sys
import threading
import time
from itertools import repeat

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
from quelvant_rs import client as qclient  # noqa: E402
from quelvant_rs import commands  # noqa: E402
from quelvant_rs import session as qsession  # noqa: E402

Command = commands.Command
HOST = "127.0.0.1"
ARGS7 = (7, "1001", None, None, None, None, None)
USER = PASSWORD = "bench"


def module_client(port: int, nagle: bool = False):
    """A connected client; `nagle` turns TCP_NODELAY off again on its socket, as the module
    left it before connect() set it."""
    before = socket_fds()
    c = qclient.QuelvantClient(HOST, port, None, None, None)
    c.connect()
    if nagle:
        # The module does not expose its socket; a duplicate of its descriptor is the same
        # socket, so the option set on it holds for the module's sends.
        with socket.socket(fileno=os.dup(min(socket_fds() - before))) as dup:
            dup.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 0)
    return c


def wire_lines(count: int) -> list[bytes]:
    return [f"CallMake 7 1001 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG={i}\n".encode() for i in range(count)]


# Every timed loop iterates itertools.repeat, as timeit does: unlike range() it creates no
# int per iteration, so the loop adds as little as possible to the call it surrounds.

# ---- sending ----------------------------------------------------------------------------
# Each sender is set up once (connected, lines pre-built) and then timed in chunks that
# alternate between the senders, so a burst of load from elsewhere on the machine lands on
# all of them alike instead of on whichever happened to run then.
# The timed loops are written out per workload on purpose: a shared loop taking the call as
# a function would add one Python call per iteration to every row and blur the ratios.


def setup_f1(port: int, tools: str, nodelay: bool):
    # One C++ process and connection for the whole measurement, driven over its stdin.
    proc = subprocess.Popen(
        [os.path.join(tools, "send_floor"), str(port), *(["nodelay"] if nodelay else [])],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )

    def stop() -> None:
        proc.stdin.close()  # end of input ends it
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    atexit.register(stop)

    def run(count: int, block: int = 1) -> int:
        proc.stdin.write(f"{count} {block}\n")
        proc.stdin.flush()
        reply = proc.stdout.readline().split()
        if len(reply) != 2 or reply[0] != "ns":
            raise RuntimeError(f"send_floor failed: {reply}")
        return int(reply[1])  # the C++ program times its own send loop

    return run


def setup_f2(port: int, tools: str, nodelay: bool):
    s = socket.create_connection((HOST, port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, int(nodelay))
    sendall = s.sendall
    cache: dict[int, list[bytes]] = {}

    def run(count: int) -> int:
        lines = cache.setdefault(count, wire_lines(count))
        t0 = time.perf_counter_ns()
        for b in lines:
            sendall(b)
        return time.perf_counter_ns() - t0

    return run


def setup_p1(port: int, tools: str, nodelay: bool):
    call_make = peers.PeerClient(HOST, port, nodelay=nodelay).call_make

    def run(count: int) -> int:
        t0 = time.perf_counter_ns()
        for _ in repeat(None, count):
            call_make(7, "1001", None, None, None, None, None)
        return time.perf_counter_ns() - t0

    return run


def setup_f1_nagle(port: int, tools: str, nodelay: bool):
    return setup_f1(port, tools, False)


def setup_module_call_make(port: int, tools: str, nodelay: bool):
    call_make = module_client(port).call_make

    def run(count: int) -> int:
        t0 = time.perf_counter_ns()
        for _ in repeat(None, count):
            call_make(7, "1001", None, None, None, None, None)
        return time.perf_counter_ns() - t0

    return run


def setup_module_call_make_nagle(port: int, tools: str, nodelay: bool):
    call_make = module_client(port, nagle=True).call_make

    def run(count: int) -> int:
        t0 = time.perf_counter_ns()
        for _ in repeat(None, count):
            call_make(7, "1001", None, None, None, None, None)
        return time.perf_counter_ns() - t0

    return run


def setup_module_send_command(port: int, tools: str, nodelay: bool):
    send = module_client(port).send_command
    cmd = Command.call_make(*ARGS7)

    def run(count: int) -> int:
        t0 = time.perf_counter_ns()
        for _ in repeat(None, count):
            send(cmd)
        return time.perf_counter_ns() - t0

    return run


SENDERS = {
    "F1": setup_f1,
    "F1 nagle": setup_f1_nagle,
    "F2": setup_f2,
    "P1": setup_p1,
    "module.call_make": setup_module_call_make,
    "module.call_make nagle": setup_module_call_make_nagle,
    "module.send_command": setup_module_send_command,
}


def module_socket_nodelay(port: int) -> bool:
    """Whether the module sets TCP_NODELAY, read back from a connected client's socket."""
    before = socket_fds()
    c = module_client(port)
    with socket.socket(fileno=os.dup(min(socket_fds() - before))) as probe:
        nodelay = bool(probe.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
    c.disconnect()
    return nodelay


def run_send(a: dict) -> dict:
    # The floors and the Python peer use the module's own TCP_NODELAY setting: with it every
    # small send() is a segment of its own, which costs the sender noticeably more.
    nodelay = module_socket_nodelay(a["port"])
    runs = {name: SENDERS[name](a["port"], a["tools"], nodelay) for name in a["order"]}
    per_chunk = a["count"] // a["chunks"]
    for run in runs.values():
        run(min(per_chunk, 2000))  # warm up: connection, specialisation, buffers
    total = dict.fromkeys(runs, 0)
    for _ in range(a["chunks"]):
        for name, run in runs.items():
            total[name] += run(per_chunk)
    return {"ns": {name: ns / (per_chunk * a["chunks"]) for name, ns in total.items()}, "nodelay": nodelay}


# ---- batches ------------------------------------------------------------------------------
# Each "block" is 1,000 CallMake lines; every measure sends the same number of blocks, timed in
# chunks that alternate between the measures, as for sending.


def setup_batch_built(port: int, tools: str, size: int):
    send_batch = module_client(port).send_batch
    make = Command.call_make

    def run(blocks: int) -> int:
        t0 = time.perf_counter_ns()
        for _ in repeat(None, blocks):
            # Building the Command objects is part of the batch's cost.
            send_batch([make(7, "1001", None, None, None, None, None) for _ in repeat(None, size)])
        return time.perf_counter_ns() - t0

    return run


def setup_batch_prebuilt(port: int, tools: str, size: int):
    send_batch = module_client(port).send_batch
    cmds = [Command.call_make(*ARGS7) for _ in range(size)]

    def run(blocks: int) -> int:
        t0 = time.perf_counter_ns()
        for _ in repeat(None, blocks):
            send_batch(cmds)
        return time.perf_counter_ns() - t0

    return run


def setup_batch_single(port: int, tools: str, size: int):
    call_make = module_client(port).call_make

    def run(blocks: int) -> int:
        t0 = time.perf_counter_ns()
        for _ in repeat(None, blocks * size):
            call_make(7, "1001", None, None, None, None, None)
        return time.perf_counter_ns() - t0

    return run


def setup_batch_f1(port: int, tools: str, size: int, block: int, nodelay: bool):
    run_f1 = setup_f1(port, tools, nodelay)
    return lambda blocks: run_f1(blocks * size, block)


def run_batch(a: dict) -> dict:
    port, tools, size = a["port"], a["tools"], a["size"]
    nodelay = module_socket_nodelay(port)  # F1 copies it, as for sending
    setups = {
        "built": lambda: setup_batch_built(port, tools, size),
        "prebuilt": lambda: setup_batch_prebuilt(port, tools, size),
        "single": lambda: setup_batch_single(port, tools, size),
        "F1 line": lambda: setup_batch_f1(port, tools, size, 1, nodelay),
        "F1 block": lambda: setup_batch_f1(port, tools, size, size, nodelay),
    }
    runs = {name: setups[name]() for name in a["order"]}
    per_chunk = a["blocks"] // a["chunks"]
    for run in runs.values():
        run(2)  # warm up
    total = dict.fromkeys(runs, 0)
    for _ in range(a["chunks"]):
        for name, run in runs.items():
            total[name] += run(per_chunk)
    # microseconds per block of `size` lines
    return {"us": {name: ns / 1000 / (per_chunk * a["chunks"]) for name, ns in total.items()}, "nodelay": nodelay}


# ---- pure-Python-side micro benchmarks ---------------------------------------------------


def micro_loop(n):
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        pass
    return time.perf_counter_ns() - t0


def micro_factory_pos(n):
    f = Command.call_make
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        f(7, "1001", None, None, None, None, None)
    return time.perf_counter_ns() - t0


def micro_factory_kw(n):
    f = Command.call_make
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        f(resource_id=7, address="1001", timeout=None, caller_number=None, caller_name=None, privacy=None, screen=None)
    return time.perf_counter_ns() - t0


def micro_py_factory_pos(n):
    f = peers.PyCommand.call_make
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        f(7, "1001", None, None, None, None, None)
    return time.perf_counter_ns() - t0


def micro_py_factory_kw(n):
    f = peers.PyCommand.call_make
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        f(resource_id=7, address="1001", timeout=None, caller_number=None, caller_name=None, privacy=None, screen=None)
    return time.perf_counter_ns() - t0


class Before:
    """The factory as a plain class attribute, as Command held its factories before they became
    staticmethod objects; the attribute is the very same builtin function."""


Before.call_make = Command.call_make


# The attribute is looked up in the loop, as a program writing Command.call_make(...) does;
# the rows above hoist it, so they time the call alone. One function per class on purpose:
# each loop keeps its own specialised attribute load, as a program's call site does; one
# function shared by the three would share that cache and time its misses.
def micro_attr_factory_pos(n):
    cls = Command
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        cls.call_make(7, "1001", None, None, None, None, None)
    return time.perf_counter_ns() - t0


def micro_attr_before_pos(n):
    cls = Before
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        cls.call_make(7, "1001", None, None, None, None, None)
    return time.perf_counter_ns() - t0


def micro_attr_py_factory_pos(n):
    cls = peers.PyCommand
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        cls.call_make(7, "1001", None, None, None, None, None)
    return time.perf_counter_ns() - t0


def micro_str(n):
    cmd = Command.call_make(*ARGS7)
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        str(cmd)
    return time.perf_counter_ns() - t0


def micro_py_str(n):
    obj = peers.PyCommand.call_make(*ARGS7)
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        str(obj)
    return time.perf_counter_ns() - t0


def micro_p1_render(n):
    render = peers.render_call_make
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        render(7, "1001", None, None, None, None, None, 123456)
    return time.perf_counter_ns() - t0


def micro_record(n):
    cmd = Command.call_make(*ARGS7)
    r = repeat(None, n)
    t0 = time.perf_counter_ns()
    for _ in r:
        cmd._0
    return time.perf_counter_ns() - t0


MICROS = {
    "loop": micro_loop,
    "Command.call_make pos": micro_factory_pos,
    "Command.call_make kw": micro_factory_kw,
    "py factory pos": micro_py_factory_pos,
    "py factory kw": micro_py_factory_kw,
    "attr Command.call_make pos": micro_attr_factory_pos,
    "attr Before.call_make pos": micro_attr_before_pos,
    "attr py factory pos": micro_attr_py_factory_pos,
    "str(cmd)": micro_str,
    "py str(obj)": micro_py_str,
    "P1 render only": micro_p1_render,
    "cmd._0": micro_record,
}


def run_micro(a: dict) -> dict:
    per_chunk = a["count"] // a["chunks"]
    for f in MICROS.values():  # warm every path (specialisation, caches) before timing
        f(min(per_chunk, 2000))
    total = dict.fromkeys(a["order"], 0)
    for _ in range(a["chunks"]):  # interleaved, as for sending
        for name in a["order"]:
            total[name] += MICROS[name](per_chunk)
    return {name: ns / (per_chunk * a["chunks"]) for name, ns in total.items()}


# ---- reading -----------------------------------------------------------------------------


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def run_reader(a: dict) -> dict:
    """Lines/s of a reader whose fd 1 is the sink, from connect until the reader has ended."""
    deadline_s = a["timeout"]
    if a["impl"] == "module":
        before = thread_count()
        c = qclient.QuelvantClient(HOST, a["port"], None, None, None)
        t0 = time.perf_counter_ns()
        c.connect()
        # The reader thread is detached; it has ended (after printing "Connection closed.")
        # when the task count is back where it was. A 2 ms poll costs the reader little CPU
        # and at most 2 ms over runs of a second or more.
        limit = time.monotonic() + deadline_s
        while thread_count() > before:
            if time.monotonic() > limit:
                raise TimeoutError("module reader did not finish")
            time.sleep(0.002)
        t1 = time.perf_counter_ns()
        return {"ns": t1 - t0, "lines": None}
    t0 = time.perf_counter_ns()
    s = socket.create_connection((HOST, a["port"]))
    result = {}
    th = threading.Thread(target=lambda: result.setdefault("lines", peers.read_lines_to_stdout(s)), daemon=True)
    th.start()
    th.join(deadline_s)
    if th.is_alive():
        raise TimeoutError("Python reader did not finish")
    t1 = time.perf_counter_ns()
    return {"ns": t1 - t0, "lines": result["lines"]}


# ---- memory ------------------------------------------------------------------------------


def rss_bytes() -> int:
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Rss:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no Rss in smaps_rollup")


def run_command_memory(a: dict) -> dict:
    n = a["count"]
    kinds = {
        "module short": lambda: Command.call_make(7, "1001", None, None, None, None, None),
        "module long": lambda: Command.call_make(7, "1001", None, None, "x" * 40, None, None),
        "py short": lambda: peers.PyCommand.call_make(7, "1001", None, None, None, None, None),
    }
    make = kinds[a["kind"]]
    sample = make()
    objs = [None] * n  # the list's own array is in the baseline, not in the per-object delta
    for i in range(1000):  # warm allocator pools and caches
        objs[i] = make()
    for i in range(1000):
        objs[i] = None
    blocks0 = sys.getallocatedblocks()
    rss0 = rss_bytes()
    for i in range(n):
        objs[i] = make()
    rss1 = rss_bytes()
    blocks1 = sys.getallocatedblocks()
    return {
        "rss_per_object": (rss1 - rss0) / n,
        "blocks_per_object": (blocks1 - blocks0) / n,
        "getsizeof": sys.getsizeof(sample),
    }


def parse_smaps() -> list[dict]:
    maps = []
    header = re.compile(r"^([0-9a-f]+)-([0-9a-f]+) (\S+) ")
    with open("/proc/self/smaps") as f:
        for line in f:
            m = header.match(line)
            if m:
                maps.append({"start": int(m.group(1), 16), "end": int(m.group(2), 16), "perms": m.group(3)})
            elif line.startswith(("Size:", "Rss:")):
                key, value = line.split()[:2]
                maps[-1][key[:-1]] = int(value) * 1024
    return maps


def blocked_in(tid: str) -> tuple[int, int] | None:
    """(syscall number, stack pointer) of a task blocked in a system call."""
    try:
        with open(f"/proc/self/task/{tid}/syscall") as f:
            fields = f.read().split()
    except OSError:
        return None
    if len(fields) < 3 or not fields[0].isdigit():
        return None
    return int(fields[0]), int(fields[-2], 16)


def run_connection_memory(a: dict) -> dict:
    n, port = a["count"], a["port"]
    main_tid = str(threading.get_native_id())
    rss0 = rss_bytes()
    clients = []
    for _ in range(n):
        clients.append(module_client(port))
    # Every reader has allocated its buffers once it sits in recv (recvfrom, 45 on x86-64).
    limit = time.monotonic() + 20
    while True:
        states = {t: blocked_in(t) for t in os.listdir("/proc/self/task") if t != main_tid}
        waiting = [s for s in states.values() if s and s[0] == 45]
        if len(waiting) >= n or time.monotonic() > limit:
            break
        time.sleep(0.01)
    rss1 = rss_bytes()
    maps = parse_smaps()
    stacks = []
    for _, sp in waiting:
        for i, m in enumerate(maps):
            if m["start"] <= sp < m["end"]:
                # glibc puts the guard page(s) just below the stack as a no-access mapping.
                below = maps[i - 1] if i > 0 else None
                guard = below["end"] - below["start"] if below and below["end"] == m["start"] and below["perms"] == "---p" else 0
                stacks.append({"size": m.get("Size", 0), "rss": m.get("Rss", 0), "guard": guard})
                break
    return {
        "rss_per_connection": (rss1 - rss0) / n,
        "threads_in_recv": len(waiting),
        "stack_sizes": sorted({s["size"] for s in stacks}),
        "stack_rss_median": sorted(s["rss"] for s in stacks)[len(stacks) // 2] if stacks else None,
        "stack_rss_max": max((s["rss"] for s in stacks), default=None),
        "guard_sizes": sorted({s["guard"] for s in stacks}),
    }


# ---- latency -----------------------------------------------------------------------------


def socket_fds() -> set[int]:
    fds = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}").startswith("socket:"):
                fds.add(int(name))
        except OSError:
            pass
    return fds


_TCPI_DATA_SEGS_OUT = 156  # offset of tcpi_data_segs_out in Linux's struct tcp_info


def data_segments_out(sock: socket.socket) -> int:
    info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 256)
    return int.from_bytes(info[_TCPI_DATA_SEGS_OUT : _TCPI_DATA_SEGS_OUT + 4], sys.byteorder)


def run_latency(a: dict) -> dict:
    """Call times (CLOCK_MONOTONIC ns) by tag; the stamp server reports when it read each.

    Also counts the data segments the client socket sent: one per line means no write was
    held back to be coalesced (Nagle's algorithm or auto-corking)."""
    port, kind, burst, rounds, gap = a["port"], a["client"], a["burst"], a["rounds"], a["gap"]
    if kind in ("module", "module nagle"):
        before = socket_fds()
        c = module_client(port, nagle=(kind == "module nagle"))
        call_make = c.call_make
        # The module does not expose its socket; a duplicate of its descriptor reads the
        # same connection's counters.
        probe = socket.socket(fileno=os.dup(min(socket_fds() - before)))
    else:
        p = peers.PeerClient(HOST, port, nodelay=(kind == "python nodelay"))
        call_make = p.call_make
        probe = p.sock

    now = time.monotonic_ns  # CLOCK_MONOTONIC, the clock the server stamps with
    calls = []
    tag = 0
    segs0 = data_segments_out(probe)
    for _ in range(rounds):
        for _ in range(burst):
            calls.append((tag, now()))
            call_make(7, "1001", None, None, None, None, None)
            tag += 1
        time.sleep(gap)
    segs = data_segments_out(probe) - segs0
    nodelay = bool(probe.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
    if not kind.startswith("module"):
        p.close()
    return {"calls": calls, "data_segments": segs, "nodelay": nodelay}


# ---- sessions -----------------------------------------------------------------------------


def setup_rtt_f4(port: int, tools: str):
    # The C++ client, one process and connection, driven over its stdin like F1.
    proc = subprocess.Popen([os.path.join(tools, "rtt_floor"), str(port)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def stop() -> None:
        proc.stdin.close()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    atexit.register(stop)

    def run(count: int) -> int:
        proc.stdin.write(f"{count}\n")
        proc.stdin.flush()
        reply = proc.stdout.readline().split()
        if len(reply) != 2 or reply[0] != "ns":
            raise RuntimeError(f"rtt_floor failed: {reply}")
        return int(reply[1])

    return run


def timed_requests(request, is_answer, word: str | None = None):
    """run(count): ns for count blocking requests, request() (or request(word): the loop makes
    the call directly either way, as a program would); run.check() judges the last answer."""
    last = []

    def run(count: int) -> int:
        t0 = time.perf_counter_ns()
        if word is None:
            for _ in repeat(None, count):
                r = request()
        else:
            for _ in repeat(None, count):
                r = request(word)
        t1 = time.perf_counter_ns()
        last.append(r)
        return t1 - t0

    run.check = lambda: is_answer(last[-1])
    return run


def setup_rtt_session(port: int, tools: str):
    s = qsession.Session(HOST, port, USER, PASSWORD)
    return timed_requests(s.get_version, lambda r: r.words[:2] == ["OK", "GetVersion"])


def is_echo_answer(line: str) -> bool:
    return line.startswith("OK GetVersion ")


def setup_rtt_f5(port: int, tools: str):
    # The minimal extension function (tools/rtt_floor_ext.cpp), built for this interpreter.
    sys.path.insert(0, tools)
    import rtt_floor_ext

    rtt_floor_ext.connect(port)
    return timed_requests(rtt_floor_ext.request, is_echo_answer)


def setup_rtt_peer(make):
    def setup(port: int, tools: str):
        return timed_requests(make(HOST, port).request, is_echo_answer, "GetVersion")

    return setup


ROUND_TRIPS = {
    "F4": setup_rtt_f4,
    "F5": setup_rtt_f5,
    "Session": setup_rtt_session,
    "P4": setup_rtt_peer(peers.BlockingPeer),
    "P5": setup_rtt_peer(peers.ThreadedPeer),
}


def run_roundtrip(a: dict) -> dict:
    """ns per blocking request against the echo server, interleaved in chunks."""
    runs = {name: ROUND_TRIPS[name](a["port"], a["tools"]) for name in a["order"]}
    per_chunk = a["count"] // a["chunks"]
    for run in runs.values():
        run(min(per_chunk, 500))  # warm up
    total = dict.fromkeys(runs, 0)
    for _ in range(a["chunks"]):
        for name, run in runs.items():
            total[name] += run(per_chunk)
    for name, run in runs.items():
        if hasattr(run, "check") and not run.check():
            raise RuntimeError(f"{name}: the last reply was not the echo server's answer")
    return {name: ns / (per_chunk * a["chunks"]) for name, ns in total.items()}


async def _drive(request, count: int, inflight: int) -> tuple[int, object]:
    """`inflight` workers each await one request after another until `count` are done; the
    time from the first request to the last reply."""
    per_worker = count // inflight
    last = []

    async def worker() -> None:
        for _ in repeat(None, per_worker):
            r = await request()
        last.append(r)

    t0 = time.perf_counter_ns()
    await asyncio.gather(*(worker() for _ in range(inflight)))
    return time.perf_counter_ns() - t0, last[-1]


async def _asyncio_module(port: int, count: int, inflight: int) -> int:
    async with qsession.AsyncSession(HOST, port, USER, PASSWORD) as s:
        await _drive(s.get_version, 200, inflight)  # warm up
        ns, last = await _drive(s.get_version, count, inflight)
    if last.words[:2] != ["OK", "GetVersion"]:
        raise RuntimeError(f"unexpected reply {last!r}")
    return ns


async def _asyncio_peer(port: int, count: int, inflight: int) -> int:
    p = await peers.AsyncPeer.connect(HOST, port)
    request = lambda: p.request("GetVersion")  # noqa: E731  (the module's call is one call too)
    await _drive(request, 200, inflight)
    ns, last = await _drive(request, count, inflight)
    await p.close()
    if not last.startswith("OK GetVersion "):
        raise RuntimeError(f"unexpected reply {last!r}")
    return ns


async def _asyncio_floor(count: int, inflight: int) -> int:
    """asyncio's own ceiling: the same workers awaiting futures a loop callback resolves, no
    I/O at all."""
    loop = asyncio.get_running_loop()

    def request():
        f = loop.create_future()
        loop.call_soon(f.set_result, None)
        return f
    await _drive(request, 200, inflight)
    ns, _ = await _drive(request, count, inflight)
    return ns


def uvloop_factory():
    try:
        import uvloop
    except ImportError:
        return None
    return uvloop.new_event_loop


def run_asyncio(a: dict) -> dict:
    """Requests per second, `count` requests with `inflight` awaited at a time on one
    connection; every run on a fresh loop and connection, the clients interleaved in chunks."""
    port, count, inflight = a["port"], a["count"], a["inflight"]
    uv = uvloop_factory()
    runs = {
        "module": lambda: asyncio.run(_asyncio_module(port, count, inflight)),
        "P6": lambda: asyncio.run(_asyncio_peer(port, count, inflight)),
        "floor": lambda: asyncio.run(_asyncio_floor(count, inflight)),
    }
    if uv:
        runs["module uvloop"] = lambda: asyncio.run(_asyncio_module(port, count, inflight), loop_factory=uv)
    order = [n for n in a["order"] if n in runs]
    total = dict.fromkeys(order, 0)
    for _ in range(a["chunks"]):
        for name in order:
            total[name] += runs[name]()
    return {name: count * a["chunks"] / (ns / 1e9) for name, ns in total.items()}


def run_events(a: dict) -> dict:
    """Lines per second taken by the program, from just after the login until the last line."""
    port, count, line = a["port"], a["count"], a["line"]
    last = None
    if a["impl"] == "module":
        # The flood starts with the Login's reply, before events() subscribes: the recent
        # window holds what comes first, so it must hold all of it on a busy machine.
        with qsession.Session(HOST, port, USER, PASSWORD, max_events=count) as s:
            n = 0
            t0 = time.perf_counter_ns()
            for ev in s.events(timeout=10):
                n += 1
                if n == count:
                    break
            t1 = time.perf_counter_ns()
            last = ev.line
    else:
        sock = socket.create_connection((HOST, port))
        lines: queue.Queue[str] = queue.Queue()
        threading.Thread(target=peers.queue_lines, args=(sock, lines), daemon=True).start()
        sock.sendall(f"{peers.LOGIN} COMMANDTAG=0\n".encode())
        get = lines.get
        if peers.tag_of(get(timeout=10)) != 0:
            raise RuntimeError("no answer to the login")
        n = 0
        t0 = time.perf_counter_ns()
        for _ in repeat(None, count):
            last = get(timeout=10)
            n += 1
        t1 = time.perf_counter_ns()
        sock.close()
    if n != count or last != line:
        raise RuntimeError(f"{n} of {count} lines, the last {last!r}")
    return {"lines_per_s": count / ((t1 - t0) / 1e9)}


def run_pending_memory(a: dict) -> dict:
    """RSS per request in flight on an AsyncSession (or P6) against a server that never
    answers: the program holds each request's awaitable, as a task awaiting it would."""
    port, n = a["port"], a["count"]

    async def main() -> dict:
        held = [None] * n  # the list's array is in the baseline
        if a["impl"].startswith("module"):
            # "module no timeout": no deadline to keep per request
            timeout = None if a["impl"] == "module no timeout" else 10.0
            s = qsession.AsyncSession(HOST, port, USER, PASSWORD, timeout=timeout)
            await s.connect()
            submit = s.get_version
            cancel = lambda pending: pending.close()  # noqa: E731  (the session lets go of it)
        else:
            p = await peers.AsyncPeer.connect(HOST, port)
            submit = lambda: p.request("GetVersion")  # noqa: E731
            cancel = lambda future: future.cancel()  # noqa: E731
        for i in range(1000):  # warm allocator pools, the loop, the write path
            held[i] = submit()
        await asyncio.sleep(0.05)
        for i in range(1000):
            cancel(held[i])
            held[i] = None
        gc.collect()
        await asyncio.sleep(0.05)
        rss0 = rss_bytes()
        # A thousand per loop iteration, as tasks would make them: the lines of one iteration
        # are written together, and the session's line buffer grows by copying past 1 MiB.
        for start in range(0, n, 1000):
            for i in range(start, min(start + 1000, n)):
                held[i] = submit()
            await asyncio.sleep(0)
        # The last lines go out; the server reads and drops them.
        await asyncio.sleep(0.2)
        rss1 = rss_bytes()
        for h in held:  # cancelled, so no "exception never retrieved" for each at the end
            cancel(h)
        if a["impl"].startswith("module"):
            await s.close()
        else:
            await p.close()
        return {"rss_per_request": (rss1 - rss0) / n}

    return asyncio.run(main())


def run_one_iteration(a: dict) -> dict:
    """µs per request when `count` requests are made in one loop iteration, so that all their
    lines wait in the session's output buffer until the iteration ends."""
    port = a["port"]

    async def main() -> dict:
        out = {}
        for count in a["counts"]:
            async with qsession.AsyncSession(HOST, port, USER, PASSWORD) as s:
                submit = s.get_version
                held = [None] * count
                t0 = time.perf_counter_ns()
                for i in range(count):
                    held[i] = submit()
                t1 = time.perf_counter_ns()
                await asyncio.sleep(0.05)
                for h in held:
                    h.close()
            out[str(count)] = (t1 - t0) / 1000 / count
        return out

    return asyncio.run(main())


def run_large_batch(a: dict) -> dict:
    """µs per line of one client.send_batch of `count` pre-built CallMake lines, per count."""
    c = module_client(a["port"])
    out = {}
    for count in a["counts"]:
        cmds = [Command.call_make(*ARGS7) for _ in range(count)]
        t0 = time.perf_counter_ns()
        c.send_batch(cmds)
        out[str(count)] = (time.perf_counter_ns() - t0) / 1000 / count
    return out


def run_event_memory(a: dict) -> dict:
    """RSS per event received and not yet taken."""
    port, n = a["port"], a["count"]
    if a["impl"] == "module":
        # The server floods when the request comes and answers it after the flood, so when the
        # reply is here every event is queued; a sync session reads only while someone waits.
        s = qsession.Session(HOST, port, USER, PASSWORD, max_events=2 * n)
        rss0 = rss_bytes()
        s.get_version()
        rss1 = rss_bytes()
        queued = sum(1 for _ in s.events(timeout=0))
        s.close()
    else:
        lines: queue.Queue[str] = queue.Queue()
        rss0 = rss_bytes()
        sock = socket.create_connection((HOST, port))
        threading.Thread(target=peers.queue_lines, args=(sock, lines), daemon=True).start()
        sock.sendall(f"{peers.LOGIN} COMMANDTAG=0\nGetVersion COMMANDTAG=1\n".encode())
        limit = time.monotonic() + 60
        while lines.qsize() < n + 2 and time.monotonic() < limit:  # the login's answer, the flood, the reply
            time.sleep(0.001)
        rss1 = rss_bytes()
        queued = lines.qsize() - 2
        sock.close()
    if queued != n:
        raise RuntimeError(f"{queued} events queued, expected {n}")
    return {"rss_per_event": (rss1 - rss0) / n, "rss": rss1}


def run_callgrind(a: dict) -> dict:
    """The body for callgrind: `count` iterations of one workload, nothing else timed."""
    kind, count = a["kind"], a["count"]
    if kind in SENDERS:
        SENDERS[kind](a["port"], "", False)(count)
    else:
        MICROS[kind](count)
    return {}


WORKLOADS = {
    "send": run_send,
    "micro": run_micro,
    "reader": run_reader,
    "command_memory": run_command_memory,
    "connection_memory": run_connection_memory,
    "latency": run_latency,
    "batch": run_batch,
    "roundtrip": run_roundtrip,
    "asyncio": run_asyncio,
    "events": run_events,
    "pending_memory": run_pending_memory,
    "event_memory": run_event_memory,
    "one_iteration": run_one_iteration,
    "large_batch": run_large_batch,
    "callgrind": run_callgrind,
}


def main() -> None:
    name, result_path, args = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    result = WORKLOADS[name](args)
    with open(result_path, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
