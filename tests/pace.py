"""How much slower this run goes than an idle machine, measured once when the tests start, so
that no outcome depends on the machine's speed: every watchdog limit of the tests (a wait for
something that should happen, a bound on how long a call may take) is scaled by it.

The probe is a short CPU-bound loop, timed on the wall clock against its CPU time on an idle
machine: other processes on the cores, a slower machine and the interpreter's own speed all
show in it. Sanitizer builds add their known slowdown (QUELVANT_SLOWDOWN, set by their
scripts), which the probe cannot see: the interpreter itself is not instrumented. A child
process inherits its parent's factor (QUELVANT_TEST_PACE), so one run has one pace.
"""

from __future__ import annotations

import os
import statistics
import time

# The probe's CPU time on an idle machine of the project's kind (two cores, CPython 3.13).
PROBE_IDLE_SECONDS = 0.018


def _probe() -> float:
    started = time.perf_counter()
    x = 0
    for i in range(200_000):
        x += i * i % 7
    return time.perf_counter() - started


def _measure() -> float:
    inherited = os.environ.get("QUELVANT_TEST_PACE")
    if inherited:
        return float(inherited)
    load = statistics.median(_probe() for _ in range(5)) / PROBE_IDLE_SECONDS
    factor = max(1.0, load) * float(os.environ.get("QUELVANT_SLOWDOWN", "1"))
    os.environ["QUELVANT_TEST_PACE"] = f"{factor:.3f}"
    return factor


FACTOR = _measure()


def scaled(seconds: float, below: float | None = None) -> float:
    """A watchdog limit of `seconds` on an idle machine, for this run; kept under `below`,
    where the test tells an early end from a later limit (a session's own timeout)."""
    limit = seconds * FACTOR
    return limit if below is None else min(limit, max(seconds, below * 0.9))
