"""Measurements that run in a child process, one per call of bench.py.

    python workloads.py NAME RESULT_JSON ARGS_JSON

Each runs in its own process so that file descriptor 1 can be the sink under test, so
module reader threads (which live until the process exits) never pile up across
measurements, and so memory deltas start from a clean interpreter. Results go to
RESULT_JSON, never to stdout: stdout belongs to the module's reader.
"""

from __future__ import annotations

import atexit
import json
import os
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

Command = commands.Command
HOST = "127.0.0.1"
ARGS7 = (7, "1001", None, None, None, None, None)


def module_client(port: int):
    c = qclient.QuelvantClient(HOST, port, None, None, None)
    c.connect()
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

    def run(count: int) -> int:
        proc.stdin.write(f"{count}\n")
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


def setup_module_call_make(port: int, tools: str, nodelay: bool):
    call_make = module_client(port).call_make

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
    "F2": setup_f2,
    "P1": setup_p1,
    "module.call_make": setup_module_call_make,
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
    if kind == "module":
        before = socket_fds()
        c = module_client(port)
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
    if kind != "module":
        p.close()
    return {"calls": calls, "data_segments": segs, "nodelay": nodelay}


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
    "callgrind": run_callgrind,
}


def main() -> None:
    name, result_path, args = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    result = WORKLOADS[name](args)
    with open(result_path, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
