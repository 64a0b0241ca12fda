"""Drives Session (threads) and AsyncSession (asyncio, uvloop) through one test body: Driver
makes every call of either class blocking."""

from __future__ import annotations

import asyncio
import inspect
import threading

import pytest
from pace import scaled

import quelvant_standin
from quelvant_rs import session

try:
    import uvloop
except ImportError:  # the async cases run on asyncio's loop alone then
    uvloop = None

ASYNC = ["asyncio"] + (["uvloop"] if uvloop else [])
KINDS = ["thread", *ASYNC]


def loop_factory(kind: str):
    return uvloop.new_event_loop if kind == "uvloop" else asyncio.new_event_loop


def warm_up(kind: str) -> None:
    """The first loop of a kind opens descriptors kept for the process: open one before a
    test counts them."""
    if kind != "thread":
        with asyncio.Runner(loop_factory=loop_factory(kind)) as runner:
            runner.run(asyncio.sleep(0))


class Driver:
    """One session of the kind under test; every call blocks until it has its outcome. An
    AsyncSession lives on a loop of its own, run for each call."""

    def __init__(self, kind: str, port: int, connect: bool = True, host: str = "127.0.0.1", **settings):
        settings.setdefault("is_failure", quelvant_standin.failed)
        self.kind = kind
        self.cls = session.Session if kind == "thread" else session.AsyncSession
        self.args = (host, port, "ivr", "secret")
        if kind == "thread":
            self.raw = self.cls(*self.args, **settings)
            return
        self.runner = asyncio.Runner(loop_factory=loop_factory(kind))
        self.raw = self.cls(*self.args, **settings)
        if connect:
            try:
                self.run(self.raw.connect)
            except BaseException:
                self.runner.close()
                raise

    def run(self, call, *args):
        """Awaits call(*args) (a session call, or an async scenario) on the session's loop."""
        async def outcome():
            return await call(*args)
        return self.runner.run(outcome())

    def __getattr__(self, name):
        call = getattr(self.raw, name)
        if self.kind == "thread" or not callable(call):
            return call
        return lambda *args, **kwargs: self.run(lambda: call(*args, **kwargs))

    def events(self, **kwargs):
        """An iterator over the events; one that raised can be stepped on."""
        return self.stream(self.raw.events(**kwargs))

    def subscribe(self, *args, **kwargs):
        """A subscription of the raw session; step it with stream() or get()."""
        return self.raw.subscribe(*args, **kwargs)

    def stream(self, sub):
        """A blocking iterator over a subscription (or events()) of either kind."""
        if self.kind == "thread":
            return sub
        return iter(lambda: self.run(lambda: anext(sub, None)), None)

    def get(self, sub, **kwargs):
        """A subscription's next event, by its get()."""
        return sub.get(**kwargs) if self.kind == "thread" else self.run(lambda: sub.get(**kwargs))

    def first(self, steps, default):
        """The next item of an iterator of either kind, or default: for together()."""
        return next(steps, default) if self.kind == "thread" else anext(steps, default)

    def after(self, wait, call):
        """For together(): call(raw session) once the blocking wait() returned."""
        if self.kind == "thread":
            return lambda s: (wait(), call(s))[1]

        async def then(s):
            await asyncio.to_thread(wait)
            result = call(s)
            return await result if inspect.isawaitable(result) else result
        return then

    def open_and_close(self, count: int) -> None:
        """count more sessions to the same server, each entered and left by `with` (`async
        with` on this loop), unused."""
        if self.kind == "thread":
            for _ in range(count):
                with self.cls(*self.args):
                    pass
            return

        async def cycles():
            for _ in range(count):
                async with self.cls(*self.args):
                    pass
        self.run(cycles)

    def together(self, *calls):
        """Each call(raw session) at once, in threads or tasks; their results or exceptions."""
        if self.kind != "thread":
            async def all_of():
                return await asyncio.gather(*(call(self.raw) for call in calls), return_exceptions=True)
            return self.run(all_of)
        results: list = [None] * len(calls)

        def one(i):
            try:
                results[i] = calls[i](self.raw)
            except Exception as exc:
                results[i] = exc
        threads = [threading.Thread(target=one, args=(i,)) for i in range(len(calls))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(scaled(30))
        return results

    def dispose(self):
        if not self.raw.closed:
            self.close()
        if self.kind != "thread":
            self.runner.close()


def kinds(*broken: str, reason: str = "", among: list[str] = KINDS):
    """Runs the test over the session kinds among; those in broken fail for reason as yet."""
    xfail = pytest.mark.xfail(strict=True, reason=reason)
    return pytest.mark.parametrize("kind", [pytest.param(k, marks=xfail if k in broken else ()) for k in among])


@pytest.fixture
def drive():
    """Driver(kind, port, ...) for the test; every one is closed afterwards."""
    made: list[Driver] = []

    def make(kind, srv, **settings):
        made.append(Driver(kind, srv.port, **settings))
        return made[-1]

    yield make
    for d in made:
        d.dispose()
