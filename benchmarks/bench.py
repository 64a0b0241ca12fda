"""Runs every benchmark round by round and prints the results table.

Started by run.sh, with the benchmark venv's interpreter. Every ratio is computed per
round from two measurements taken next to each other, then summarised over the rounds as
median and min-max, so slow drift of the machine affects both sides alike.

Environment:
    BENCH_QUICK=1   smaller counts (about 3 minutes)
    BENCH_ROUNDS=N  rounds (default 5; fewer than 5 is raised to 5)
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import queue
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
TOOLS = ROOT / "build" / "bench-tools"
SCRATCH = ROOT / "build" / "bench-tmp"
RESULTS = HERE / "results"
PY = sys.executable

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
ROUNDS = max(5, int(os.environ.get("BENCH_ROUNDS", "5")))

if QUICK:
    SEND_COUNT = 40_000
    MICRO_COUNT = 200_000
    FLOOD_LINES = 400_000
    MEMORY_OBJECTS = 300_000
    LATENCY = {"singles": 12, "bursts": 8, "gap": 0.005}
    BATCH_BLOCKS = 20
    ROUND_TRIPS = 5_000
    EVENT_LINES = 200_000
    CALLGRIND = {"base": 500, "extra": 5_000, "kinds": ["loop", "module.call_make"], "reader_lines": (5_000, 50_000)}
else:
    SEND_COUNT = 200_000
    MICRO_COUNT = 1_000_000
    FLOOD_LINES = 2_000_000
    MEMORY_OBJECTS = 1_000_000
    LATENCY = {"singles": 40, "bursts": 20, "gap": 0.005}
    BATCH_BLOCKS = 100
    ROUND_TRIPS = 20_000
    EVENT_LINES = 1_000_000
    CALLGRIND = {
        "base": 1_000,
        "extra": 20_000,
        "kinds": ["loop", "module.call_make", "module.send_command", "P1", "Command.call_make pos", "str(cmd)"],
        "reader_lines": (20_000, 200_000),
    }
# The Python reader is several times slower; a quarter of the lines keeps the run short
# while still lasting long enough that start-up is negligible.
P3_LINES = FLOOD_LINES // 4
CONNECTIONS = 200
FLOOD_LINE = "OK CallMake COMMANDTAG=1234567 Reason=42"  # 40 bytes + "\n"
BATCH_SIZE = 1000  # CallMake lines per batch
ASYNC_REQUESTS = 20_000  # per run, with ASYNC_INFLIGHT awaited at a time on one connection
ASYNC_INFLIGHT = 100
EVENT_LINE = "CallConnected ResourceId=1234567 Reason=42"  # no tag: an event; 42 bytes + "\n"
PENDING = 100_000  # requests in flight, for memory
QUEUED_EVENTS = 100_000  # events received and not taken, for memory
ONE_ITERATION = [30_000, 45_000]  # requests made in one loop iteration: below and above 1 MiB of lines
LARGE_BATCH = [10_000, 20_000]  # CallMake lines in one send_batch: below and above 1 MiB
CHILD_TIMEOUT = 300  # seconds; every child is bounded


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# ---- processes ---------------------------------------------------------------------------


class Server:
    """A loopback_server process; it exits when we close its stdin."""

    def __init__(self, *args: str, cpu: int | None = None):
        self.proc = subprocess.Popen(
            [str(TOOLS / "loopback_server"), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            preexec_fn=(lambda: os.sched_setaffinity(0, {cpu})) if cpu is not None else None,
        )
        self.lines: queue.Queue[str] = queue.Queue()
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "port":
            self.stop()
            raise RuntimeError(f"loopback_server {args}: unexpected start {first}")
        self.port = int(first[1])
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self) -> None:
        for line in self.proc.stdout:
            self.lines.put(line)

    def stamps(self, timeout: float = 10.0) -> dict[int, int]:
        """The next connection's read times, by tag."""
        head = self.lines.get(timeout=timeout).split()
        assert head[0] == "stamps", head
        out = {}
        for _ in range(int(head[1])):
            tag, ns = self.lines.get(timeout=timeout).split()
            out[int(tag)] = int(ns)
        return out

    def stop(self) -> None:
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


# One CPU for the pinned round trips: the last this process may use.
PIN_CPU = max(os.sched_getaffinity(0))


def workload(name: str, args: dict, stdout=subprocess.DEVNULL, prefix: list[str] | None = None, env=None,
             cpu: int | None = None) -> dict:
    """Runs workloads.py NAME in a child (on CPU `cpu` only, if given) and returns its JSON result."""
    with tempfile.NamedTemporaryFile(dir=SCRATCH, suffix=".json", delete=False) as f:
        path = f.name
    try:
        cmd = [*(prefix or []), PY, str(HERE / "workloads.py"), name, path, json.dumps(args)]
        pin = (lambda: os.sched_setaffinity(0, {cpu})) if cpu is not None else None
        proc = subprocess.run(cmd, stdout=stdout, stderr=subprocess.PIPE, timeout=CHILD_TIMEOUT, env=env,
                              preexec_fn=pin)
        if proc.returncode != 0:
            raise RuntimeError(f"workload {name} {args} failed:\n{proc.stderr.decode(errors='replace')[-3000:]}")
        with open(path) as f:
            return json.load(f)
    finally:
        os.unlink(path)


def rotate(items: list, k: int) -> list:
    k %= len(items)
    return items[k:] + items[:k]


# ---- measurements ------------------------------------------------------------------------

samples: dict[str, list[float]] = {}  # measure -> one value per round
notes: dict[str, str] = {}


def record(name: str, value: float) -> None:
    samples.setdefault(name, []).append(value)


CHUNKS = 5  # interleaved slices per measurement and round
send_nodelay: set[bool] = set()  # the module's TCP_NODELAY, which the other senders copy


def round_send(r: int, drain: Server) -> None:
    # client.call_make sits between its two floors, F1 and F2; the order flips every round.
    order = ["F1", "module.call_make", "F2", "P1", "module.send_command", "module.call_make nagle", "F1 nagle"]
    if r % 2:
        order.reverse()
    args = {"port": drain.port, "count": SEND_COUNT, "order": order, "chunks": CHUNKS, "tools": str(TOOLS)}
    res = workload("send", args)
    send_nodelay.add(res["nodelay"])
    for name, ns in res["ns"].items():
        record(f"send {name}", ns)


def round_micro(r: int) -> None:
    # Groups stay adjacent (module, then its peer, or the reverse on odd rounds).
    order = ["loop"]
    groups = [("Command.call_make pos", "py factory pos"), ("Command.call_make kw", "py factory kw"),
              ("str(cmd)", "py str(obj)"),
              ("attr Command.call_make pos", "attr Before.call_make pos", "attr py factory pos")]
    for group in rotate(groups, r):
        order += list(group) if r % 2 == 0 else list(reversed(group))
    order += ["P1 render only", "cmd._0"]
    for name, ns in workload("micro", {"count": MICRO_COUNT, "order": order, "chunks": CHUNKS}).items():
        record(f"micro {name}", ns)


def round_batch(r: int, drain: Server) -> None:
    order = ["built", "single", "prebuilt", "F1 line", "F1 block"]
    if r % 2:
        order.reverse()
    res = workload("batch", {"port": drain.port, "tools": str(TOOLS), "size": BATCH_SIZE,
                             "blocks": BATCH_BLOCKS, "chunks": CHUNKS, "order": order})
    send_nodelay.add(res["nodelay"])
    for name, us in res["us"].items():
        record(f"batch {name}", us)


def round_sessions(r: int, echo: Server, echo_pinned: Server, events: Server) -> None:
    # Blocking round trips: every client on the echo server, interleaved in chunks; then the
    # same with this process's children and the server all on one CPU.
    order = rotate(["F4", "F5", "Session", "P4", "P5"], r)
    for where, server, cpu in (("free", echo, None), ("one cpu", echo_pinned, PIN_CPU)):
        res = workload("roundtrip", {"port": server.port, "tools": str(TOOLS), "count": ROUND_TRIPS,
                                     "chunks": CHUNKS, "order": order}, cpu=cpu)
        for name, ns in res.items():
            record(f"rtt {where} {name}", ns / 1000)
    # On one CPU with the server, as the round trips above: the loop's own work, not how the
    # scheduler moves two processes about.
    res = workload("asyncio", {"port": echo_pinned.port, "count": ASYNC_REQUESTS,
                               "inflight": ASYNC_INFLIGHT, "chunks": CHUNKS,
                               "order": rotate(["module", "P6", "module uvloop", "floor"], r)},
                   cpu=PIN_CPU)
    for name, rate in res.items():
        record(f"aio {name}", rate)
    for impl in rotate(["module", "P7"], r):
        res = workload("events", {"port": events.port, "count": EVENT_LINES, "line": EVENT_LINE, "impl": impl})
        record(f"events {impl}", res["lines_per_s"])


def round_session_memory(r: int, mute: Server, queued: Server) -> None:
    for impl in rotate(["module", "module no timeout", "P6"], r):
        res = workload("pending_memory", {"port": mute.port, "count": PENDING, "impl": impl})
        record(f"mem pending {impl}", res["rss_per_request"])
    for impl in rotate(["module", "P7"], r):
        res = workload("event_memory", {"port": queued.port, "count": QUEUED_EVENTS, "impl": impl})
        record(f"mem event {impl}", res["rss_per_event"])
        record(f"mem event rss {impl}", res["rss"])


def run_reader_once(impl: str, sink: str, port: int, lines: int) -> float:
    """Lines per second of one reader run with fd 1 on `sink`."""
    sink_file = SCRATCH / "sink.txt"
    if impl == "F3":
        cmd = [str(TOOLS / "read_floor"), str(port)]
    else:
        with tempfile.NamedTemporaryFile(dir=SCRATCH, suffix=".json", delete=False) as f:
            result_path = f.name
        args = {"impl": "module" if impl == "module" else "p3", "port": port, "timeout": CHILD_TIMEOUT - 10}
        cmd = [PY, str(HERE / "workloads.py"), "reader", result_path, json.dumps(args)]
    drain = None
    if sink == "/dev/null":
        out = open(os.devnull, "wb")
    elif sink == "file":
        out = open(sink_file, "wb")
    else:
        rfd, wfd = os.pipe()
        drain = subprocess.Popen([str(TOOLS / "pipe_drain")], stdin=rfd, stderr=subprocess.PIPE, text=True)
        os.close(rfd)
        out = os.fdopen(wfd, "wb")
    try:
        proc = subprocess.run(cmd, stdout=out, stderr=subprocess.PIPE, text=True, timeout=CHILD_TIMEOUT)
    finally:
        out.close()
    if proc.returncode != 0:
        raise RuntimeError(f"reader {impl} -> {sink} failed:\n{proc.stderr[-3000:]}")
    if impl == "F3":
        ns = int(proc.stderr.split()[1])
    else:
        with open(result_path) as f:
            ns = json.load(f)["ns"]
        os.unlink(result_path)
    # Every line must have arrived, or the rate means nothing.
    seen = None
    if drain is not None:
        seen = int(drain.communicate(timeout=60)[1].split()[1])
    elif sink == "file":
        with open(sink_file, "rb") as f:
            seen = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 22), b""))
        sink_file.unlink()
    if seen is not None and seen != lines + 1:
        raise RuntimeError(f"reader {impl} -> {sink}: {seen} lines written, expected {lines + 1}")
    return lines / (ns / 1e9)


SINKS = ["/dev/null", "file", "pipe"]


def round_reader(r: int, flood: Server, flood_p3: Server) -> None:
    for sink in rotate(SINKS, r):
        for impl in rotate(["module", "F3", "P3"], r):
            server, lines = (flood_p3, P3_LINES) if impl == "P3" else (flood, FLOOD_LINES)
            record(f"read {impl} {sink}", run_reader_once(impl, sink, server.port, lines))


def round_memory(r: int, drain: Server) -> None:
    for kind in rotate(["module short", "module long", "py short"], r):
        res = workload("command_memory", {"count": MEMORY_OBJECTS, "kind": kind})
        record(f"mem {kind} rss", res["rss_per_object"])
        record(f"mem {kind} blocks", res["blocks_per_object"])
        record(f"mem {kind} getsizeof", res["getsizeof"])
    res = workload("connection_memory", {"count": CONNECTIONS, "port": drain.port})
    if res["threads_in_recv"] != CONNECTIONS:
        raise RuntimeError(f"only {res['threads_in_recv']} of {CONNECTIONS} readers reached recv")
    record("mem connection rss", res["rss_per_connection"])
    record("mem stack rss", res["stack_rss_median"])
    record("mem stack rss max", res["stack_rss_max"])
    notes["stack"] = (
        f"stack mapping sizes {sorted(set(res['stack_sizes']))} B, guard {res['guard_sizes']} B"
    )
    record("mem stack size", max(res["stack_sizes"]))


# "module nagle" is the module's client with TCP_NODELAY turned off again on its socket: the
# module as it was before connect() set it.
LAT_CLIENTS = ["module nagle", "module", "python nagle", "python nodelay"]
# How the stamp server answers: never, at once (as the stand-in server does), or
# LATE_MS after reading, as for a command that takes a while.
LATE_MS = 10
LAT_SERVERS = {"silent": ("silent",), "reply": ("reply",), f"late {LATE_MS} ms": ("late", str(LATE_MS))}
# Against the late server, a burst must start after the previous burst's answers (and so its
# acknowledgements) are back, or each burst inherits the last one's wait.
LATE_GAP = 2.5 * LATE_MS / 1000
latency_max: dict[str, float] = {}
module_nodelay: set[bool] = set()  # what the module's own socket had, as read back


def round_latency(r: int, stamp: dict[str, Server]) -> None:
    configs = [(s, c, b) for s in LAT_SERVERS for c in LAT_CLIENTS for b in (1, 10)]
    for server, client, burst in rotate(configs, r * 5):
        rounds = LATENCY["singles"] if burst == 1 else LATENCY["bursts"]
        gap = LATE_GAP if server.startswith("late") else LATENCY["gap"]
        res = workload("latency", {"port": stamp[server].port, "client": client, "burst": burst,
                                   "rounds": rounds, "gap": gap})
        stamps = stamp[server].stamps()
        if client == "module":
            module_nodelay.add(res["nodelay"])
        elif client == "module nagle" and res["nodelay"]:
            raise RuntimeError("TCP_NODELAY could not be turned off on the module's socket")
        calls = res["calls"]
        lat = [(stamps[tag] - t) / 1000 for tag, t in calls]  # microseconds
        key = f"{server}|{client}"
        if burst == 1:
            record(f"lat single {key}", statistics.median(lat))
            latency_max[f"single {key}"] = max(latency_max.get(f"single {key}", 0), max(lat))
        else:
            second = [lat[i + 1] for i in range(0, len(lat), burst)]
            done = [(stamps[calls[i + burst - 1][0]] - calls[i][1]) / 1000 for i in range(0, len(calls), burst)]
            record(f"lat second {key}", statistics.median(second))
            record(f"lat burst {key}", statistics.median(done))
            record(f"lat segs {key}", res["data_segments"] / rounds)
            latency_max[f"burst {key}"] = max(latency_max.get(f"burst {key}", 0), max(done))


# ---- callgrind ---------------------------------------------------------------------------

_ANNOTATE_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(\S.*?)\s*$")


def annotate(path: Path, inclusive: bool) -> dict[str, int]:
    out = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100", str(path)],
        capture_output=True, text=True, timeout=CHILD_TIMEOUT, check=True,
    ).stdout
    costs: dict[str, int] = {}
    body = out.split("file:function", 1)[-1]
    for line in body.splitlines():
        m = _ANNOTATE_LINE.match(line)
        if m and not line.lstrip().startswith("-"):
            name = re.sub(r"\s*\[[^\]]*\]$", "", m.group(2))  # drop the object file
            file, _, function = name.partition(":")  # C++ names hold "::"; paths do not
            name = f"{function}  ({os.path.basename(file)})" if file else name
            costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


def call_counts(path: Path) -> dict[str, int]:
    """Calls made to each function, summed over callers, from a callgrind output file."""
    names: dict[str, str] = {}
    counts: dict[str, int] = {}
    callee = None
    ref = re.compile(r"^c?fn=\((\d+)\)(?: (.*))?$")
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith(("fn=", "cfn=")):
                m = ref.match(line.rstrip("\n"))
                if not m:
                    continue
                if m.group(2):
                    names[m.group(1)] = m.group(2)
                if line.startswith("cfn="):
                    callee = names.get(m.group(1), m.group(1))
            elif line.startswith("calls=") and callee is not None:
                counts[callee] = counts.get(callee, 0) + int(line[6:].split()[0])
    return counts


def total_ir(path: Path) -> int:
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def symbol_dir() -> Path | None:
    """A directory holding the unstripped copy of the installed module, for function names.

    The build tree keeps it; it is used only if its build ID matches the installed one, so
    the profile is of the very same code."""
    import quelvant_rs  # bench.py runs in the venv the module was installed into

    installed = Path(quelvant_rs.__file__)
    candidate = ROOT / "build" / "bench" / installed.name

    def build_id(p: Path) -> str:
        out = subprocess.run(["readelf", "-n", str(p)], capture_output=True, text=True).stdout
        m = re.search(r"Build ID: (\S+)", out)
        return m.group(1) if m else ""

    if not candidate.exists() or not shutil.which("readelf") or build_id(candidate) != build_id(installed):
        return None
    target = TOOLS / "symbols"
    target.mkdir(exist_ok=True)
    shutil.copy2(candidate, target / installed.name)
    return target


def per_iteration_report(kind: str, outs: list[Path], extra: int, unit: str) -> list[str]:
    """Self cost, inclusive cost and calls per iteration, from the difference of two runs."""
    self0, self1 = annotate(outs[0], False), annotate(outs[1], False)
    incl0, incl1 = annotate(outs[0], True), annotate(outs[1], True)
    calls0, calls1 = call_counts(outs[0]), call_counts(outs[1])
    total = (total_ir(outs[1]) - total_ir(outs[0])) / extra

    def diff(a, b, below=float("inf")):
        d = {k: (b.get(k, 0) - a.get(k, 0)) / extra for k in set(a) | set(b)}
        return sorted(((v, k) for k, v in d.items() if 0.5 <= v < below), reverse=True)

    lines = [f"== {kind}: {total:.0f} instructions per {unit} ==", "", f"Self cost per {unit}, by function (top 25):"]
    lines += [f"  {v:8.1f}  {k}" for v, k in diff(self0, self1)[:25]]
    # Callers that merely enclose the whole measured loop are left out.
    lines += ["", f"Inclusive cost per {unit}, by function (top 20 below 95% of the total):"]
    lines += [f"  {v:8.1f}  {k}" for v, k in diff(incl0, incl1, 0.95 * total)[:20]]
    lines += ["", f"Calls per {unit}, by callee (at least 0.5; allocations, locks and system calls show here):"]
    lines += [f"  {v:8.2f}  {k}" for v, k in diff(calls0, calls1)[:40]]
    return lines + [""]


def run_callgrind(drain: Server) -> tuple[dict, str]:
    base, extra = CALLGRIND["base"], CALLGRIND["extra"]
    sym = symbol_dir()
    env = dict(os.environ)
    # Both runs of a pair must do identical start-up work for it to cancel; string hashes
    # randomised per process would change dict collisions between them.
    env["PYTHONHASHSEED"] = "0"
    if sym:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(sym), env.get("PYTHONPATH")) if p)
    valgrind = ["valgrind", "--tool=callgrind", "--quiet"]
    per_call: dict[str, float] = {}
    details: list[str] = []

    for kind in CALLGRIND["kinds"]:
        outs = []
        for n in (base, base + extra):
            out = SCRATCH / f"callgrind.{kind.replace(' ', '_')}.{n}.out"
            workload("callgrind", {"kind": kind, "port": drain.port, "count": n},
                     prefix=[*valgrind, f"--callgrind-out-file={out}"], env=env)
            outs.append(out)
        per_call[kind] = (total_ir(outs[1]) - total_ir(outs[0])) / extra
        if kind in ("module.call_make", "P1", "Command.call_make pos"):
            details += per_iteration_report(kind, outs, extra, "iteration")
        for out in outs:
            out.unlink()

    # The reader, per received line: two floods of different length, same difference method.
    lines_base, lines_extra = CALLGRIND["reader_lines"]
    floods = [Server("flood", str(n), FLOOD_LINE) for n in (lines_base, lines_base + lines_extra)]
    per_line: dict[str, float] = {}
    try:
        for impl in ("module", "F3"):
            outs = []
            for flood in floods:
                out = SCRATCH / f"callgrind.reader_{impl}.{flood.port}.out"
                if impl == "module":
                    # Only the reader thread's loop is counted, not the main thread's polling.
                    workload("reader", {"impl": "module", "port": flood.port, "timeout": CHILD_TIMEOUT - 10},
                             prefix=[*valgrind, "--collect-atstart=no", "--toggle-collect=*run_reader*",
                                     f"--callgrind-out-file={out}"], env=env)
                else:
                    subprocess.run([*valgrind, f"--callgrind-out-file={out}", str(TOOLS / "read_floor"), str(flood.port)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=CHILD_TIMEOUT, check=True)
                outs.append(out)
            per_line[impl] = (total_ir(outs[1]) - total_ir(outs[0])) / lines_extra
            details += per_iteration_report(f"reader {impl} (to /dev/null)", outs, lines_extra, "line")
            for out in outs:
                out.unlink()
    finally:
        for f in floods:
            f.stop()

    report = [
        f"Instructions per iteration = (Ir(N+K) - Ir(N)) / K with N={base}, K={extra}: two runs of the same",
        "script, so interpreter start-up, imports and connecting cancel out. User space only (the",
        "kernel's side of send() and write() is not counted). Each iteration is one pass of a",
        "`for _ in itertools.repeat(None, n)` loop around the call; the `loop` row is the loop's own share.",
        f"Readers: the same difference over floods of {lines_base:,} and {lines_base + lines_extra:,} lines, fd 1 on",
        "/dev/null; for the module only the reader thread (run_reader and below) is counted.",
        f"Module symbols: {'unstripped build-tree copy, same build ID' if sym else 'stripped (no names)'}.",
        "",
        "Instructions per iteration:",
    ]
    for kind, v in per_call.items():
        net = f"  (net of the loop: {v - per_call['loop']:.0f})" if kind != "loop" and "loop" in per_call else ""
        report.append(f"  {kind:24s} {v:8.0f}{net}")
    report += ["", "Instructions per received line:"]
    report += [f"  reader {impl:17s} {v:8.0f}" for impl, v in per_line.items()]
    report.append("")
    per_call.update({f"reader {k}": v for k, v in per_line.items()})
    return per_call, "\n".join(report + details)


# ---- table -------------------------------------------------------------------------------


def summary(values: list[float]) -> tuple[float, float, float]:
    return statistics.median(values), min(values), max(values)


def fmt(v: float, unit: str) -> str:
    if unit == "x":
        return f"{v:.2f}"
    if unit == "lines/s":
        return f"{v / 1e6:.2f} M"
    if unit == "req/s":
        return f"{v / 1e3:.1f} k"
    if unit == "µs" and v < 100:
        return f"{v:.1f}"
    if unit in ("B", "KiB", "MiB"):
        return f"{v:.0f}" if v >= 100 else f"{v:.1f}"
    if unit == "ns":
        return f"{v:.0f}" if v >= 100 else f"{v:.1f}"
    if unit in ("µs", "instr"):
        return f"{v:,.0f}"
    return f"{v:.2f}"


class Table:
    def __init__(self):
        self.rows: list[tuple[str, ...]] = []

    def section(self, title: str) -> None:
        self.rows.append((f"**{title}**", "", "", "", ""))

    def value(self, label: str, values: list[float], unit: str, target: str = "", ok: bool | None = None) -> None:
        med, lo, hi = summary(values)
        mark = "" if ok is None else ("pass" if ok else "MISS")
        spread = f"{fmt(lo, unit)} – {fmt(hi, unit)}" if len(values) > 1 else "(1 run)"
        self.rows.append((label, f"{fmt(med, unit)} {unit}".strip(), spread, target, mark))

    def ratio(self, label: str, num: str, den: str, op: str = "", limit: float | None = None) -> None:
        vals = [a / b for a, b in zip(samples[num], samples[den])]
        if limit is None:
            self.value(label, vals, "x")
            return
        med = statistics.median(vals)
        ok = med <= limit if op == "<=" else med >= limit
        self.value(label, vals, "x", f"{'≤' if op == '<=' else '≥'} {limit:g}", ok)

    def markdown(self) -> str:
        head = ("Measure", "Median", "Min – max over rounds", "Target", "")
        widths = [max(len(r[i]) for r in [head, *self.rows]) for i in range(5)]
        line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
        return "\n".join([line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|", *map(line, self.rows)])


def build_main_table(instructions: dict) -> str:
    t = Table()
    s = samples
    nd = {frozenset({True}): "on", frozenset({False}): "off"}.get(frozenset(send_nodelay), "mixed")
    t.section(f"Sending CallMake to a loopback drain (ns per call, loop included; TCP_NODELAY {nd} "
              "for every sender, as the module sets it, except the rows marked off)")
    t.value("F1 C++: one send() per pre-rendered line", s["send F1"], "ns")
    t.value("F1 C++, TCP_NODELAY off", s["send F1 nagle"], "ns")
    t.value("F2 Python socket.sendall, pre-encoded", s["send F2"], "ns")
    t.value("P1 pure-Python client: f-string, tag, encode, sendall", s["send P1"], "ns")
    t.value('client.call_make(7, "1001", None×5)', s["send module.call_make"], "ns")
    t.value("client.call_make, TCP_NODELAY turned off on its socket (before)", s["send module.call_make nagle"], "ns")
    t.value("client.send_command(prebuilt)", s["send module.send_command"], "ns")
    t.section(f"Batches of {BATCH_SIZE:,} CallMake lines to the drain (µs per {BATCH_SIZE:,} lines; TCP_NODELAY {nd})")
    t.value(f"client.send_batch([Command.call_make(...) × {BATCH_SIZE:,}]), building included", s["batch built"], "µs")
    t.value(f"client.send_batch(prebuilt list of {BATCH_SIZE:,})", s["batch prebuilt"], "µs")
    t.value(f"{BATCH_SIZE:,} × client.call_make(...)", s["batch single"], "µs")
    t.value("F1 C++: one send() per line", s["batch F1 line"], "µs")
    t.value(f"F1 C++: one send() of the {BATCH_SIZE:,}-line block", s["batch F1 block"], "µs")
    t.section("Building and rendering in-process (ns per call, loop included)")
    t.value("empty loop iteration over itertools.repeat (in every row)", s["micro loop"], "ns")
    t.value("Command.call_make, by position", s["micro Command.call_make pos"], "ns")
    t.value("Command.call_make, by keyword", s["micro Command.call_make kw"], "ns")
    t.value("P2 pure-Python factory (__slots__), by position", s["micro py factory pos"], "ns")
    t.value("P2 pure-Python factory (__slots__), by keyword", s["micro py factory kw"], "ns")
    t.value("str(cmd)", s["micro str(cmd)"], "ns")
    t.value("P2 pure-Python rendering, str(obj) with f-strings", s["micro py str(obj)"], "ns")
    t.value("P2 P1's rendering + tag + encode, no send", s["micro P1 render only"], "ns")
    t.value("cmd._0", s["micro cmd._0"], "ns")
    t.value("Command.call_make(...), looked up per call (staticmethod in the class dict)", s["micro attr Command.call_make pos"], "ns")
    t.value("Before.call_make(...), the same builtin as a plain class attribute (before)", s["micro attr Before.call_make pos"], "ns")
    t.value("PyCommand.call_make(...), P2 looked up per call", s["micro attr py factory pos"], "ns")
    t.section(f"Reading a flood of {FLOOD_LINES:,} lines of 41 bytes (P3: {P3_LINES:,})")
    for sink in SINKS:
        t.value(f"module reader → {sink}", s[f"read module {sink}"], "lines/s")
        t.value(f"F3 C++ reader → {sink}", s[f"read F3 {sink}"], "lines/s")
        t.value(f"P3 Python reader thread → {sink}", s[f"read P3 {sink}"], "lines/s")
    t.section("Blocking requests on the echo server (µs per round trip; free: scheduled anywhere; one CPU: clients and server pinned to one)")
    for where in ("free", "one cpu"):
        t.value(f"{where}: F4 C++: send(), blocking recv() until the tagged reply", s[f"rtt {where} F4"], "µs")
        t.value(f"{where}: F5 minimal extension function: F4's calls, interpreter lock released around them",
                s[f"rtt {where} F5"], "µs")
        t.value(f"{where}: Session.get_version()", s[f"rtt {where} Session"], "µs")
        t.value(f"{where}: P4 pure-Python: sendall, readline, tag match", s[f"rtt {where} P4"], "µs")
        t.value(f"{where}: P5 pure-Python: reader thread hands replies over a condition variable", s[f"rtt {where} P5"], "µs")
    t.section(f"asyncio on the echo server: {ASYNC_REQUESTS:,} requests, {ASYNC_INFLIGHT} in flight, one connection")
    t.value("AsyncSession.get_version(), default event loop", s["aio module"], "req/s")
    if s.get("aio module uvloop"):
        t.value("AsyncSession.get_version(), uvloop", s["aio module uvloop"], "req/s")
    t.value("P6 asyncio streams, dict of futures by tag, default event loop", s["aio P6"], "req/s")
    t.value("asyncio floor: futures a loop callback resolves, no I/O", s["aio floor"], "req/s")
    t.section(f"Events: {EVENT_LINES:,} lines of {len(EVENT_LINE) + 1} bytes after the login, taken one by one")
    t.value("for ev in Session.events()", s["events module"], "lines/s")
    t.value("P7 Python reader thread → queue.Queue → consumer", s["events P7"], "lines/s")
    t.section("Memory")
    t.value(f"Command, short CallMake: RSS delta / {MEMORY_OBJECTS:,} objects", s["mem module short rss"], "B")
    t.value("Command, short CallMake: sys.getsizeof", s["mem module short getsizeof"], "B")
    t.value("Command, short CallMake: pymalloc blocks per object", s["mem module short blocks"], "")
    t.value("Command, CallMake with a 40-char caller name: RSS / object", s["mem module long rss"], "B")
    t.value("P2 __slots__ object, short CallMake: RSS / object", s["mem py short rss"], "B")
    t.value(f"connected client + reader thread: RSS delta / {CONNECTIONS}", [v / 1024 for v in s["mem connection rss"]], "KiB")
    t.value("reader thread stack mapping size", [v / 1024 for v in s["mem stack size"]], "KiB")
    t.value("reader thread stack resident (median thread)", [v / 1024 for v in s["mem stack rss"]], "KiB")
    t.value(f"AsyncSession, {PENDING:,} requests in flight (timeout 10 s): RSS delta / request", s["mem pending module"], "B")
    t.value("  … with timeout=None (no deadline kept)", s["mem pending module no timeout"], "B")
    t.value(f"P6, {PENDING:,} futures in flight: RSS delta / request", s["mem pending P6"], "B")
    t.value(f"Session, {QUEUED_EVENTS:,} events queued, not taken: RSS delta / event", s["mem event module"], "B")
    t.value(f"  … process RSS with the {QUEUED_EVENTS:,} events queued", [v / 2**20 for v in s["mem event rss module"]], "MiB")
    t.value(f"P7 queue.Queue of {QUEUED_EVENTS:,} str lines: RSS delta / event", s["mem event P7"], "B")
    t.value(f"  … process RSS with the {QUEUED_EVENTS:,} lines queued", [v / 2**20 for v in s["mem event rss P7"]], "MiB")
    t.section("Many lines in one write: below and above 1 MiB of lines (once per run)")
    for count in ONE_ITERATION:
        t.value(f"AsyncSession: {count:,} requests made in one loop iteration, µs per request",
                s[f"one iteration {count}"], "µs")
    for count in LARGE_BATCH:
        t.value(f"client.send_batch of {count:,} pre-built CallMake lines, µs per line", s[f"large batch {count}"], "µs")
    t.section("Ratios (per round, side by side)")
    t.ratio("client.call_make / F1", "send module.call_make", "send F1", "<=", 1.10)
    t.ratio("client.call_make / F2", "send module.call_make", "send F2", "<=", 1.0)
    t.ratio("P1 / client.call_make", "send P1", "send module.call_make", ">=", 1.5)
    t.ratio("client.send_command / F1 (no target)", "send module.send_command", "send F1")
    t.ratio("client.call_make, TCP_NODELAY on / off (no target)", "send module.call_make", "send module.call_make nagle")
    t.ratio("F1, TCP_NODELAY on / off (no target)", "send F1", "send F1 nagle")
    t.ratio(f"send_batch incl. building / {BATCH_SIZE:,} × client.call_make", "batch built", "batch single", "<=", 0.25)
    t.ratio(f"send_batch prebuilt / {BATCH_SIZE:,} × client.call_make (no target)", "batch prebuilt", "batch single")
    t.ratio("send_batch incl. building / F1 one send() per block (no target)", "batch built", "batch F1 block")
    t.ratio("send_batch prebuilt / F1 one send() per block (no target)", "batch prebuilt", "batch F1 block")
    t.ratio(f"{BATCH_SIZE:,} × client.call_make / F1 one send() per line (no target)", "batch single", "batch F1 line")
    t.ratio("Command.call_make / pure-Python factory, by position", "micro Command.call_make pos", "micro py factory pos", "<=", 0.25)
    t.ratio("Command.call_make / pure-Python factory, by keyword", "micro Command.call_make kw", "micro py factory kw", "<=", 0.25)
    t.ratio("Command.call_make looked up per call / P2 looked up per call (as built)",
            "micro attr Command.call_make pos", "micro attr py factory pos", "<=", 0.25)
    t.ratio("Before.call_make looked up per call / P2 looked up per call (before)",
            "micro attr Before.call_make pos", "micro attr py factory pos", "<=", 0.25)
    t.ratio("Command.call_make / Before.call_make, looked up per call (no target)",
            "micro attr Command.call_make pos", "micro attr Before.call_make pos")
    t.ratio("str(cmd) / pure-Python rendering", "micro str(cmd)", "micro py str(obj)", "<=", 0.25)
    for sink in SINKS:
        t.ratio(f"reader lines/s / F3, {sink}", f"read module {sink}", f"read F3 {sink}", ">=", 0.9)
    for sink in SINKS:
        t.ratio(f"reader lines/s / P3, {sink}", f"read module {sink}", f"read P3 {sink}", ">=", 2)
    for where in ("free", "one cpu"):
        t.ratio(f"Session round trip / F4, {where}", f"rtt {where} Session", f"rtt {where} F4",
                "<=", 1.05 if where == "one cpu" else None)
    for where in ("free", "one cpu"):
        t.ratio(f"F5 / F4, {where}: what any Python call adds (no target)", f"rtt {where} F5", f"rtt {where} F4")
        t.ratio(f"Session round trip / F5, {where} (no target)", f"rtt {where} Session", f"rtt {where} F5")
    for where in ("free", "one cpu"):
        t.ratio(f"P4 / Session round trip, {where} (no target)", f"rtt {where} P4", f"rtt {where} Session")
        t.ratio(f"P5 / Session round trip, {where} (no target)", f"rtt {where} P5", f"rtt {where} Session")
    t.ratio("AsyncSession req/s / P6, default loop, one CPU", "aio module", "aio P6", ">=", 3.5)
    t.ratio("AsyncSession req/s / asyncio's floor (futures a callback resolves, no I/O; no target)",
            "aio module", "aio floor")
    if s.get("aio module uvloop"):
        t.ratio("AsyncSession req/s with uvloop / P6 default loop (no target)", "aio module uvloop", "aio P6")
    t.ratio("Session.events() lines/s / P7", "events module", "events P7", ">=", 3)
    t.ratio("AsyncSession / P6, memory per request in flight (no target)", "mem pending module", "mem pending P6")
    t.ratio("Session / P7, memory per queued event (no target)", "mem event module", "mem event P7")
    t.section("Targets on absolute figures")
    short = s["mem module short rss"]
    t.value("Command object, short CallMake (RSS / object)", short, "B", "≤ 200", statistics.median(short) <= 200)
    conn = [v / 1024 for v in s["mem connection rss"]]
    t.value("reader thread stack and buffers resident (RSS / connection)", conn, "KiB", "≤ 128", statistics.median(conn) <= 128)
    if "module.call_make" in instructions:
        v = instructions["module.call_make"]
        t.value("instructions per client.call_make (callgrind, loop included)", [v], "instr", "≤ 1,500", v <= 1500)
        if "loop" in instructions:
            t.value("  … net of the loop iteration", [v - instructions["loop"]], "instr", "", None)
    for impl in ("module", "F3"):
        if f"reader {impl}" in instructions:
            t.value(f"instructions per line, {impl} reader (no target)", [instructions[f"reader {impl}"]], "instr")
    return t.markdown()


def module_label() -> str:
    if module_nodelay == {True}:
        return "module (as is: TCP_NODELAY on)"
    if module_nodelay == {False}:
        return "module (as is: TCP_NODELAY off)"
    return "module (as is)"


def build_latency_table() -> str:
    head = ("Server", "Client", "Single p50 µs", "Burst: 2nd line p50 µs", "Burst: 1st call → 10th read p50 µs",
            "Data segments / burst", "Worst burst µs")
    rows = []
    for server in LAT_SERVERS:
        for client in LAT_CLIENTS:
            key = f"{server}|{client}"

            def cell(name: str, unit: str = "µs") -> str:
                med, lo, hi = summary(samples[f"lat {name} {key}"])
                if unit == "segs":
                    return f"{med:.1f} ({lo:.1f}–{hi:.1f})"
                return f"{med:.0f} ({lo:.0f}–{hi:.0f})"

            rows.append((
                server,
                {"module": module_label(), "module nagle": "module, TCP_NODELAY turned off (before)"}.get(client, client),
                cell("single"), cell("second"), cell("burst"), cell("segs", "segs"),
                f"{latency_max[f'burst {key}']:.0f}",
            ))
    widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    return "\n".join([line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|", *map(line, rows)])


def source_state() -> str:
    def git(*args: str) -> str:
        try:
            return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True, timeout=10).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            return ""

    head = git("rev-parse", "--short", "HEAD") or "unknown commit"
    dirty = git("status", "--porcelain", "--", "src", "CMakeLists.txt")
    return f"module built from {head}" + (" plus uncommitted changes in src/" if dirty else "")


def machine() -> str:
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{os.cpu_count()} CPUs ({cpu}), Linux {platform.release()}, Python {platform.python_version()}"


def main() -> int:
    SCRATCH.mkdir(parents=True, exist_ok=True)
    RESULTS.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    load_start = os.getloadavg()
    built_from = source_state()  # run.sh built from the tree as it is now
    log(f"benchmarks: {'quick' if QUICK else 'full'} run, {ROUNDS} rounds")
    servers = []
    try:
        drain = Server("drain")
        flood = Server("flood", str(FLOOD_LINES), FLOOD_LINE)
        flood_p3 = Server("flood", str(P3_LINES), FLOOD_LINE)
        stamp = {name: Server("stamp", *how) for name, how in LAT_SERVERS.items()}
        echo = Server("echo")
        echo_pinned = Server("echo", cpu=PIN_CPU)
        events = Server("events", str(EVENT_LINES), EVENT_LINE)
        mute = Server("echo", "login")  # answers the Login only
        queued = Server("events", str(QUEUED_EVENTS), EVENT_LINE, "on-request")
        servers = [drain, flood, flood_p3, *stamp.values(), echo, echo_pinned, events, mute, queued]
        for r in range(ROUNDS):
            t0 = time.monotonic()
            round_send(r, drain)
            round_batch(r, drain)
            round_micro(r)
            round_reader(r, flood, flood_p3)
            round_memory(r, drain)
            round_latency(r, stamp)
            round_sessions(r, echo, echo_pinned, events)
            round_session_memory(r, mute, queued)
            log(f"  round {r + 1}/{ROUNDS} done in {time.monotonic() - t0:.0f} s")
        # Slow above 1 MiB of lines (the line buffer then grows by copying), so once, not per round.
        for count, us in workload("one_iteration", {"port": mute.port, "counts": ONE_ITERATION}).items():
            record(f"one iteration {count}", us)
        for count, us in workload("large_batch", {"port": drain.port, "counts": LARGE_BATCH}).items():
            record(f"large batch {count}", us)
        instructions, cg_report = {}, ""
        if shutil.which("valgrind") and shutil.which("callgrind_annotate"):
            log("  callgrind …")
            instructions, cg_report = run_callgrind(drain)
        else:
            log("  valgrind not found: no instruction counts")
    finally:
        for s in servers:
            s.stop()

    elapsed = time.monotonic() - started
    load_end = os.getloadavg()
    main_table = build_main_table(instructions)
    latency_table = build_latency_table()
    header = (
        f"Run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}, {'BENCH_QUICK' if QUICK else 'full'}, "
        f"{ROUNDS} rounds, {elapsed:.0f} s. {machine()}; {built_from}.\n"
        f"Counts per round: {SEND_COUNT:,} sends, {MICRO_COUNT:,} in-process calls, "
        f"{FLOOD_LINES:,} flood lines, {MEMORY_OBJECTS:,} objects, {CONNECTIONS} connections, "
        f"{BATCH_BLOCKS} batches of {BATCH_SIZE:,} lines, {ROUND_TRIPS:,} blocking round trips per client and "
        f"placement, {CHUNKS} asyncio runs of {ASYNC_REQUESTS:,} requests per client, {EVENT_LINES:,} events; "
        f"sends, batches, in-process calls, round trips and asyncio runs interleaved in {CHUNKS} chunks per round.\n"
        f"Load average (1 min) at start {load_start[0]:.2f}, at end {load_end[0]:.2f}: other work on the "
        "machine shows as spread between rounds."
    )
    lat_note = (
        f"Latency: CLOCK_MONOTONIC from just before the Python call to the stamp server's recv() "
        f"that returned the line, per round the median over {LATENCY['singles']} singles / "
        f"{LATENCY['bursts']} bursts of 10 calls, each single or burst {LATENCY['gap'] * 1000:g} ms after "
        f"the previous ({LATE_GAP * 1000:g} ms against the late server); cells show the median (min–max) of the round medians, and the worst burst of all "
        "rounds. \"silent\": the server never answers; \"reply\": it answers every line at once, as the "
        f"stand-in server does; \"late\": it answers each line {LATE_MS} ms after reading it. "
        "Data segments: the client socket's tcpi_data_segs_out per burst (10 = no write was held back). "
        "The module runs as built, its TCP_NODELAY read back from its socket, and as before "
        "(TCP_NODELAY turned off again on its socket through a duplicate of its descriptor); "
        "\"python nagle\"/\"python nodelay\" are the P1 client with TCP_NODELAY off/on."
    )
    text = "\n\n".join([header, main_table, "TCP_NODELAY", latency_table, lat_note,
                        notes.get("stack", "")]) + "\n"
    print(text)
    (RESULTS / "latest.md").write_text(text)
    if cg_report:
        (RESULTS / "callgrind.txt").write_text(cg_report + "\n")
        print(cg_report.split("\n\n== ")[0])
    log(f"wrote {RESULTS / 'latest.md'}" + (f" and {RESULTS / 'callgrind.txt'}" if cg_report else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
