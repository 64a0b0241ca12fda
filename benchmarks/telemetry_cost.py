"""What the sessions' OpenTelemetry instrumentation costs, measured side by side.

    python benchmarks/telemetry_cost.py [--rounds 9] [--quick]

Run it with an interpreter that has the module and opentelemetry-sdk installed (the test venv,
.venv, has both). Four setups, each in fresh child processes, alternated round by round so
that load from elsewhere falls on all of them:
- off: the package hidden from the import system and telemetry=False: the path of a session
  without instrumentation, every hook one test of a flag (the baseline);
- absent: the package hidden, the default telemetry=True;
- api: the API installed, no provider set (the API's own no-op default);
- sdk: the SDK's providers, spans to a batching processor whose exporter drops them, metrics
  to an in-memory reader.
Workloads (abi3_cost.py's, against its loopback server): round trip, Session.request one at a
time; asyncio, AsyncSession requests 100 in flight. A round's figure is its process's best of
five chunks; the table shows each setup's best round and its cost over the baseline's best.
Nothing here asserts a timing: it prints.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from abi3_cost import SERVER, WORKLOAD, WORKLOADS, figure  # noqa: E402

# The package out of reach, as where it is not installed.
HIDDEN = """
import sys
class _Hidden:
    def find_spec(self, name, path=None, target=None):
        if name == "opentelemetry" or name.startswith("opentelemetry."):
            raise ImportError(name)
sys.meta_path.insert(0, _Hidden())
"""

SETUPS = {
    "off": HIDDEN + 'SETTINGS = {"telemetry": False}\n',
    "absent": HIDDEN + "SETTINGS = {}\n",
    "api": """
import opentelemetry.trace, opentelemetry.metrics
SETTINGS = {}
""",
    "sdk": """
from opentelemetry import metrics, trace
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor, SpanExporter, SpanExportResult
class _Drop(SpanExporter):
    def export(self, spans):
        return SpanExportResult.SUCCESS
provider = TracerProvider()
provider.add_span_processor(BatchSpanProcessor(_Drop()))
trace.set_tracer_provider(provider)
metrics.set_meter_provider(MeterProvider(metric_readers=[InMemoryMetricReader()]))
SETTINGS = {}
""",
}

# abi3_cost's workload, its sessions made with the setup's settings.
BODY = WORKLOAD.replace('session.Session("127.0.0.1", port, "u", "p")',
                        'session.Session("127.0.0.1", port, "u", "p", **SETTINGS)').replace(
    'session.AsyncSession("127.0.0.1", port, "u", "p")',
    'session.AsyncSession("127.0.0.1", port, "u", "p", **SETTINGS)')
MEASURED = ("round trip", "asyncio")


def run(setup: str, what: str, port: int, count: int) -> float:
    code = SETUPS[setup] + BODY
    out = subprocess.run([sys.executable, "-c", code, what, str(port), str(count)], check=True,
                         capture_output=True, text=True, env=dict(os.environ)).stdout
    return json.loads(out.splitlines()[-1])["seconds"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--quick", action="store_true", help="smaller counts")
    args = parser.parse_args()
    assert BODY.count("**SETTINGS") == 2, "abi3_cost's workload changed: update the replacements"
    proc = subprocess.Popen([sys.executable, "-c", SERVER, "echo"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    port = int(proc.stdout.readline())
    print(f"CPython {sys.version.split()[0]}; {args.rounds} rounds; baseline: off\n")
    print("| workload | unit | " + " | ".join(f"{s}, best" for s in SETUPS) +
          " | cost of " + " / ".join(list(SETUPS)[1:]) + " | per round, median (min–max) |")
    print("|---|---|" + "---:|" * (len(SETUPS) + 1) + "---|")
    try:
        for what in MEASURED:
            _, count, quick, unit = WORKLOADS[what]
            count = quick if args.quick else count
            got = {s: [] for s in SETUPS}
            ratios = {s: [] for s in list(SETUPS)[1:]}
            for r in range(args.rounds):
                order = list(SETUPS) if r % 2 == 0 else list(SETUPS)[::-1]
                this = {s: figure(run(s, what, port, count), count, unit) for s in order}
                for s, value in this.items():
                    got[s].append(value)
                for s in ratios:  # above 1: slower than the baseline
                    ratios[s].append(this["off"] / this[s] if unit == "requests/s" else this[s] / this["off"])
            best = max if unit == "requests/s" else min
            bests = {s: best(v) for s, v in got.items()}
            costs = [bests["off"] / bests[s] if unit == "requests/s" else bests[s] / bests["off"]
                     for s in ratios]
            spread = "; ".join(f"{s} {statistics.median(v):.3f} ({min(v):.3f}–{max(v):.3f})"
                               for s, v in ratios.items())
            print(f"| {what} | {unit} | " + " | ".join(f"{bests[s]:,.1f}" for s in SETUPS) + " | " +
                  " / ".join(f"{c:.3f}" for c in costs) + f" | {spread} |")
    finally:
        proc.stdin.close()
        proc.wait()
    print("\ncost: a setup's best over the baseline's (for requests/s, the baseline's best rate over "
          "the setup's); 1.02 is 2 % slower.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
