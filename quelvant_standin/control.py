"""JSON-lines control channel on stdin/stdout, used by the test harness.

Each request is one JSON object on a line: {"id": N, "op": NAME, ...args};
the ops and their arguments are listed in README.md.
Each reply is one JSON object on a line: {"id": N, "ok": true, "result": ...}
or {"id": N, "ok": false, "error": TEXT}.  Byte strings travel base64-encoded.
Requests run on their own threads, so a slow one (a flood into a client that
does not read, a long wait) never holds up the others; replies may therefore
come back out of order and are matched by id.

End of input on stdin stops the server: if the harness dies, so does its
server.
"""

from __future__ import annotations

import base64
import json
import os
import sys
import threading
from typing import Any, BinaryIO

from .server import StandInTcpServer


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _unb64(text: str) -> bytes:
    return base64.b64decode(text.encode("ascii"), validate=True)


def _ms(value: Any) -> float | None:
    return None if value is None else float(value)


def _word(value: object) -> str:
    if not isinstance(value, str) or not value or any(ch.isspace() for ch in value):
        raise ValueError(f"a command word is one non-blank token, got {value!r}")
    return value


class ControlChannel:
    def __init__(self, server: StandInTcpServer, inp: BinaryIO, out: BinaryIO) -> None:
        self.server = server
        self.inp = inp
        self.out = out
        self._out_lock = threading.Lock()

    def _reply(self, msg: dict[str, Any]) -> None:
        line = json.dumps(msg, separators=(",", ":")).encode("ascii") + b"\n"
        with self._out_lock:
            self.out.write(line)
            self.out.flush()

    def _dispatch(self, req: dict[str, Any]) -> Any:
        s = self.server
        op = req.get("op")
        conn: Any = req.get("conn")
        if op == "ping":
            return "pong"
        if op == "connections":
            with s.cond:
                return len(s.connections)
        if op == "wait_connections":
            return s.wait_connections(int(req["n"]), float(req["timeout"]))
        if op == "received":
            return [[start, _b64(data)] for start, data in s.received(int(conn), int(req.get("offset", 0)))]
        if op == "describe":
            return s.describe(int(conn))
        if op == "wait_change":
            return s.wait_change(int(conn), int(req["size"]), float(req["timeout"]))
        if op == "wait_ended":
            return s.wait_ended(int(conn), float(req["timeout"]))
        if op == "send":
            return s.send(_unb64(req["data"]), conn)
        if op == "flood":
            return s.flood(_unb64(req["line"]), int(req["count"]), conn)
        if op == "stall":
            return s.set_stalled(True, conn)
        if op == "resume":
            return s.set_stalled(False, conn)
        if op == "close":
            return s.close(conn, bool(req.get("reset", False)))
        if op == "close_mid_line":
            return s.close_mid_line(_unb64(req["data"]), conn)
        if op == "set_silent":
            s.silent = bool(req["on"])
            return None
        if op == "set_call_events":
            return s.set_call_events(bool(req["on"]), _ms(req.get("event_delay_ms")), _ms(req.get("finish_delay_ms")))
        if op == "set_refuse_login":
            s.refuse_login = bool(req["on"])
            return None
        if op == "delay":
            return s.set_delay(None if req.get("word") is None else _word(req["word"]), float(req["ms"]))
        if op == "mute":
            return s.set_muted(_word(req.get("word")), bool(req.get("on", True)))
        if op == "drop_on":
            return s.set_drop(_word(req.get("word")), bool(req.get("reset", False)))
        if op == "add_rule":
            return s.add_rule(req["rule"])
        if op == "remove_rule":
            return s.remove_rule(str(req["name"]))
        if op == "rules":
            return s.rules.describe()
        if op == "uncovered":
            return s.uncovered(bool(req.get("clear", False)))
        if op == "event":
            return s.event(
                _unb64(req["line"]),
                conn,
                float(req.get("after_ms", 0)),
                _ms(req.get("every_ms")),
                int(req.get("count", 1)),
            )
        raise ValueError(f"unknown control op {op!r}")

    def _handle(self, req: dict[str, Any]) -> None:
        rid = req.get("id")
        try:
            result = self._dispatch(req)
        except Exception as exc:  # reported to the harness, which raises it there
            self._reply({"id": rid, "ok": False, "error": f"{type(exc).__name__}: {exc}"})
        else:
            self._reply({"id": rid, "ok": True, "result": result})

    def run(self) -> None:
        """Serve requests until stdin ends or a "stop" request arrives."""
        for raw in self.inp:
            if not raw.strip():
                continue
            try:
                req = json.loads(raw)
            except ValueError as exc:
                self._reply({"id": None, "ok": False, "error": f"bad request: {exc}"})
                continue
            if req.get("op") == "stop":
                self.server.stop()
                self._reply({"id": req.get("id"), "ok": True, "result": None})
                break
            threading.Thread(target=self._handle, args=(req,), daemon=True).start()
        self.server.stop()


def serve_stdio(server: StandInTcpServer) -> None:
    ControlChannel(server, sys.stdin.buffer, sys.stdout.buffer).run()
    # Daemon threads may sit in blocking calls; leave without waiting for them.
    sys.stdout.flush()
    os._exit(0)
