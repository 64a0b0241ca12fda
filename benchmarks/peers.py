"""Pure-Python peers of the module, the baselines its ratios are measured against.

Each follows the module's rules for CallMake: a None timeout, privacy or screen stores the
protocol default (30000, 0, 1); a None caller_number or caller_name leaves the key off.
They skip the module's argument checks (types, ranges, line breaks), so they are the
cheapest honest Python equivalent rather than a faithful re-implementation.
"""

from __future__ import annotations

import os
import socket
import threading


class CallMake:
    """The command as a plain `__slots__` object (peer of `Command.call_make(...)`)."""

    __slots__ = ("resource_id", "address", "timeout", "caller_number", "caller_name", "privacy", "screen")

    def __init__(self, resource_id, address, timeout, caller_number, caller_name, privacy, screen):
        self.resource_id = resource_id
        self.address = address
        self.timeout = 30000 if timeout is None else timeout
        self.caller_number = caller_number
        self.caller_name = caller_name
        self.privacy = 0 if privacy is None else privacy
        self.screen = 1 if screen is None else screen

    def __str__(self):
        line = f"CallMake {self.resource_id} {self.address} TimeOut={self.timeout}"
        if self.caller_number is not None:
            line += f" CallerNumber={self.caller_number}"
        if self.caller_name is not None:
            line += f" CallerName={self.caller_name}"
        return f"{line} Privacy={self.privacy} Screen={self.screen}"


class PyCommand:
    """Peer of `Command`: the factory is the class itself, one Python-level call."""

    call_make = CallMake


def render_call_make(resource_id, address, timeout, caller_number, caller_name, privacy, screen, tag):
    """The wire bytes of one tagged CallMake (P1's work without the send)."""
    line = f"CallMake {resource_id} {address} TimeOut={30000 if timeout is None else timeout}"
    if caller_number is not None:
        line += f" CallerNumber={caller_number}"
    if caller_name is not None:
        line += f" CallerName={caller_name}"
    return (
        f"{line} Privacy={0 if privacy is None else privacy} Screen={1 if screen is None else screen}"
        f" COMMANDTAG={tag}\n"
    ).encode()


class PeerClient:
    """P1: renders with an f-string, tags, encodes and sends with sendall."""

    def __init__(self, host: str, port: int, nodelay: bool | None = None):
        self.sock = socket.create_connection((host, port))
        if nodelay is not None:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, int(nodelay))
        self.command_tag = 0

    def call_make(self, resource_id, address, timeout, caller_number, caller_name, privacy, screen):
        tag = self.command_tag
        line = f"CallMake {resource_id} {address} TimeOut={30000 if timeout is None else timeout}"
        if caller_number is not None:
            line += f" CallerNumber={caller_number}"
        if caller_name is not None:
            line += f" CallerName={caller_name}"
        self.sock.sendall(
            f"{line} Privacy={0 if privacy is None else privacy} Screen={1 if screen is None else screen}"
            f" COMMANDTAG={tag}\n".encode()
        )
        self.command_tag = tag + 1

    def close(self) -> None:
        self.sock.close()


_output_lock = threading.Lock()


def read_lines_to_stdout(sock: socket.socket) -> int:
    """P3: the reader loop in Python. Returns the number of lines it printed."""
    reader = sock.makefile("rb")
    write = os.write
    count = 0
    for raw in iter(reader.readline, b""):
        text = raw.decode("utf-8", "replace").strip()
        message = f"Received: {text}\n".encode()
        with _output_lock:  # the module holds a process-wide lock per line too
            write(1, message)
        count += 1
    with _output_lock:
        write(1, b"Connection closed.\n")
    return count
