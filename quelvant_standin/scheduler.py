"""One thread that runs actions at their due times: delayed answers, events.

A heap of due times under a condition variable, so a reader thread never
sleeps on behalf of a reply and a thousand pending lines cost no threads.
Actions run one at a time on the scheduler thread, outside its lock; an
action that blocks (a send to a client that stopped reading) holds up the
ones due after it.
"""

from __future__ import annotations

import heapq
import itertools
import sys
import threading
import time
import traceback
from collections.abc import Callable


class Scheduler:
    def __init__(self) -> None:
        self._cond = threading.Condition()
        # (due, seq, action): seq keeps actions due at the same moment in the
        # order they were scheduled and spares comparing the actions.
        self._heap: list[tuple[float, int, Callable[[], object]]] = []
        self._seq = itertools.count()
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name="scheduler", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def after(self, ms: float, action: Callable[[], object]) -> None:
        self.at(time.monotonic() + ms / 1000.0, action)

    def at(self, due: float, action: Callable[[], object]) -> None:
        with self._cond:
            heapq.heappush(self._heap, (due, next(self._seq), action))
            if self._heap[0][2] is action:
                self._cond.notify()

    def stop(self) -> None:
        with self._cond:
            self._stopping = True
            self._heap.clear()
            self._cond.notify()

    def _next(self) -> Callable[[], object] | None:
        with self._cond:
            while not self._stopping:
                if self._heap:
                    wait = self._heap[0][0] - time.monotonic()
                    if wait <= 0:
                        return heapq.heappop(self._heap)[2]
                    self._cond.wait(wait)
                else:
                    self._cond.wait()
            return None

    def _run(self) -> None:
        while (action := self._next()) is not None:
            try:
                action()
            except Exception:  # one broken action must not end every later one
                traceback.print_exc(file=sys.stderr)
