"""Metrics and traces through OpenTelemetry, read back with the SDK's in-memory reader and
exporter. The providers are the process's, so each scenario runs in a child of its own."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from pace import scaled
from session_driver import KINDS

pytest.importorskip("opentelemetry.sdk")

HERE = Path(__file__).resolve().parent

# The child's preamble: in-memory providers, then `report()` prints what they got as JSON.
PREAMBLE = """
import asyncio, json, sys, time
sys.path.insert(0, {here!r})
from opentelemetry import metrics, trace
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
spans = InMemorySpanExporter()
provider = TracerProvider()
provider.add_span_processor(SimpleSpanProcessor(spans))
trace.set_tracer_provider(provider)
reader = InMemoryMetricReader()
metrics.set_meter_provider(MeterProvider(metric_readers=[reader]))
tracer = trace.get_tracer("test")
from session_driver import Driver
kind, port = {kind!r}, {port!r}

def report(**extra):
    points = {{}}
    data = reader.get_metrics_data()
    for rm in data.resource_metrics if data else []:
        for sm in rm.scope_metrics:
            for m in sm.metrics:
                points[m.name] = [[dict(p.attributes), getattr(p, "value", None), getattr(p, "count", None)]
                                  for p in m.data.data_points]
    print(json.dumps({{"spans": [
        {{"name": s.name, "attrs": dict(s.attributes), "error": s.status.status_code.name == "ERROR",
          "parent": s.parent.span_id if s.parent else None, "id": s.context.span_id,
          "seconds": (s.end_time - s.start_time) / 1e9}} for s in spans.get_finished_spans()],
        "metrics": points, **extra}}))
"""


def run_child(body: str, kind: str, port: int) -> dict:
    code = PREAMBLE.format(here=str(HERE), kind=kind, port=port) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=scaled(120), env={**os.environ})
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def total(points, **attrs) -> float:
    """The sum (or count, for a histogram) of the points whose attributes include attrs."""
    return sum((v if v is not None else c) for a, v, c in points if attrs.items() <= a.items())


@pytest.mark.standin_server(call_events=True, event_delay_ms=0, finish_delay_ms=0,
                            muted=["CallHold"], rules=[{"word": "CallClear", "fault": "close", "times": 1}])
@pytest.mark.parametrize("kind", KINDS)
def test_requests_events_and_a_reconnect_are_measured_and_traced(standin_server, kind):
    got = run_child("""
        d = Driver(kind, port, max_events=1)
        async def traced(s):  # in the task that awaits it
            with tracer.start_as_current_span("caller") as c:
                await s.get_version()
                return c.get_span_context().span_id
        if kind == "thread":
            with tracer.start_as_current_span("caller") as c:
                d.get_version()
            caller = c.get_span_context().span_id
        else:
            caller = d.run(traced, d.raw)
        try:
            d.request("CallHold 1", timeout=0.05)
        except TimeoutError:
            pass
        d.call_make(1, "1001")
        d.call_make(2, "1002")  # two events, a window of one: one is dropped
        d.get_version()
        try:
            d.wait_for(lambda e: False, timeout=0.05)  # every event read is handed on
        except TimeoutError:
            pass
        try:
            d.call_clear(1)  # the server closes the connection instead of answering
        except ConnectionError:
            pass
        d.get_version()  # connects and logs in again
        report(caller=caller)
    """, kind, standin_server.port)
    spans, m = got["spans"], got["metrics"]
    requests = [s for s in spans if "quelvant.tag" in s["attrs"]]
    outcomes = {(s["name"], s["attrs"]["quelvant.outcome"]) for s in requests}
    assert outcomes == {("GetVersion", "reply"), ("CallHold", "timeout"), ("CallMake", "reply"),
                        ("CallClear", "loss")}
    assert requests[0]["parent"] == got["caller"]  # the caller's span is its parent
    assert all(s["error"] == (s["attrs"]["quelvant.outcome"] != "reply") for s in requests)
    assert [s["name"] for s in spans if s["name"] in ("connect", "Login")] == ["connect", "Login"] * 2
    assert not any("secret" in json.dumps(s["attrs"]) for s in spans)
    duration = m["quelvant.client.request.duration"]
    assert total(duration, **{"quelvant.command": "GetVersion", "quelvant.outcome": "reply"}) == 3
    assert total(duration, **{"quelvant.outcome": "loss"}) == 1
    assert total(m["quelvant.client.requests.in_flight"]) == 0
    assert total(m["quelvant.client.events.dropped"], **{"quelvant.consumer": "window"}) >= 1
    assert total(m["quelvant.client.reconnects"]) == 1
    assert total(m["quelvant.client.reconnect.gap"]) == 1
    assert total(m["quelvant.client.connection.up"]) == 1
    assert total(m["quelvant.client.connection.duration"]) > 0


@pytest.mark.parametrize("kind", KINDS)
def test_telemetry_false_reports_nothing(server, kind):
    got = run_child("""
        Driver(kind, port, telemetry=False).get_version()
        report()
    """, kind, server.port)
    assert got["spans"] == [] and got["metrics"] == {}


@pytest.mark.standin_server(delays={"GetVersion": 200})
def test_each_async_span_lasts_its_own_request(standin_server):
    # 100 at once, created and awaited at different times: each span covers its request's
    # send to its settling, not the making of its awaitable.
    got = run_child("""
        async def main(s):
            async def one(i):
                await asyncio.sleep(i * 0.002)
                started = time.monotonic()
                pending = s.get_version()
                await asyncio.sleep(0.05)  # made, not yet awaited
                await pending
                return time.monotonic() - started
            return await asyncio.gather(*(one(i) for i in range(100)))
        d = Driver(kind, port)
        own = d.run(main, d.raw)
        report(own=own)
    """, "asyncio", standin_server.port)
    spans = [s for s in got["spans"] if s["name"] == "GetVersion"]
    assert len(spans) == 100
    by_tag = {s["attrs"]["quelvant.tag"]: s["seconds"] for s in spans}
    for seconds, own in zip((by_tag[t] for t in sorted(by_tag)), got["own"]):
        assert 0.2 <= seconds <= own
