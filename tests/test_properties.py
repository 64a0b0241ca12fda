"""Arbitrary Python values for every parameter of every factory and client method.

Each value comes to its piece of the golden line (tests/golden.py), or to one exact exception:
the interpreter's own where the interpreter reads the value, else the module's fixed words;
each call must give exactly that line, or exactly that exception, and nothing else. Client methods on an
unconnected client fail at the send once every argument converted, so there the outcome is
the conversion error or the send failure; a run on a connected client checks the bytes sent.
"""

from __future__ import annotations

import ctypes
import ipaddress
import operator
from typing import NamedTuple

import numpy
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quelvant_rs
from golden import GOLDEN, INT_RANGES, TARGET_NAME, Param, value as record

Command = quelvant_rs.commands.Command
QuelvantClient = quelvant_rs.client.QuelvantClient
V = quelvant_rs.values

RANGE_MSG = "out of range integral type conversion attempted"
LINE_BREAK_MSG = "text must not contain a carriage return or line feed"
NOT_CONNECTED = "No active connection to send message"
PYERR_NOT_CONNECTED = (
    "PyErr { type: <class 'RuntimeError'>, value: RuntimeError('No active connection to send message'), "
    "traceback: None }")

FEW = settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Refused(NamedTuple):
    exc: type[BaseException]
    message: str


# --- values ---------------------------------------------------------------------------------

class Str(str):
    pass


class Int(int):
    pass


class Index:
    """Converts through __index__ (to an int, or to something that is not one)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class FailingIndex:
    def __index__(self):
        raise ValueError("no index today")


BOUNDS = sorted({b + d for lo, hi in INT_RANGES.values() for b in (lo, hi) for d in (-1, 0, 1)}
                | {2**64 - 1, 2**64, -(2**64), 2**100, -(2**100)})
line_safe_chars = st.characters(codec="utf-8", exclude_characters="\r\n")
any_chars = st.one_of(st.characters(), st.sampled_from("\r\n\ud800\udfff\udc80 =\x00\x85\u2028é\U0001f600"))
line_safe_text = st.text(line_safe_chars, max_size=10)
any_text = st.text(any_chars, max_size=10)
ints = st.one_of(st.sampled_from(BOUNDS), st.integers(), st.integers(-(2**70), 2**70))

TEXT_RECORDS = {"AudioFormatType": V.AudioFormatType, "PayloadType": V.PayloadType, "ToneType": V.ToneType}
ENUMS = {"ECM": [V.ECM.No, V.ECM.ECM64, V.ECM.ECM128, V.ECM.ECM256],
         "Channels": [V.Channels.Mono, V.Channels.Stereo]}


def value_objects(kind: str) -> st.SearchStrategy:
    if kind in ENUMS:
        return st.sampled_from(ENUMS[kind])
    if kind == "ConstantWithDescription":
        return st.builds(record, st.just(V.ConstantWithDescription), line_safe_text, line_safe_text)
    return st.builds(record, st.just(TEXT_RECORDS[kind]), line_safe_text)


anything = st.one_of(
    ints, st.booleans(), st.none(), any_text, any_text.map(Str), st.binary(max_size=4),
    st.floats(allow_nan=False), ints.map(Index), st.builds(FailingIndex), st.just(Index("7")),
    st.integers(-(2**63), 2**63 - 1).map(numpy.int64), st.integers(0, 255).map(numpy.uint8),
    st.booleans().map(numpy.bool_), st.just(numpy.float64(1.0)), st.just(object()), st.just([1]),
    st.just(Command.call_hold(1)),
    *(value_objects(k) for k in ("ECM", "Channels", "ConstantWithDescription", *TEXT_RECORDS)),
)


def valid(p: Param) -> st.SearchStrategy:
    """Values p converts, of every accepted type, in-range bounds included."""
    if p.kind == "text":
        base = st.one_of(line_safe_text, line_safe_text.map(Str))
    elif p.kind in INT_RANGES:
        lo, hi = INT_RANGES[p.kind]
        in_range = st.one_of(st.sampled_from([lo, lo + 1, hi - 1, hi]), st.integers(lo, hi))
        base = st.one_of(in_range, in_range.map(Int), in_range.map(Index),
                         in_range.filter(lambda v: -(2**63) <= v < 2**63).map(numpy.int64),
                         st.booleans() if lo <= 0 else st.nothing())
    elif p.kind == "bool":
        base = st.one_of(st.booleans(), st.booleans().map(numpy.bool_))
    else:
        base = value_objects(p.kind)
    return st.one_of(base, st.none()) if p.optional else base


def near_miss(p: Param) -> st.SearchStrategy:
    """Values of p's kind that are refused: out of range, line breaks, surrogates."""
    if p.kind == "text":
        return st.tuples(line_safe_text, st.sampled_from(["\r", "\n", "\ud800"]), line_safe_text).map("".join)
    if p.kind in INT_RANGES:
        lo, hi = INT_RANGES[p.kind]
        return st.one_of(st.sampled_from([b for b in BOUNDS if not lo <= b <= hi]), ints.filter(lambda v: not lo <= v <= hi))
    return anything.filter(lambda v: refusal(p, v) is not None)


def either(a: st.SearchStrategy, b: st.SearchStrategy) -> st.SearchStrategy:
    """a or b, even odds (st.one_of flattens nested one_of, which would drown a in b's branches)."""
    return st.booleans().flatmap(lambda first: a if first else b)


@st.composite
def call_values(draw, cmd) -> list:
    """All valid; or all valid but one (refused narrowly, or of another type); or anything."""
    mode = draw(st.sampled_from(["valid", "one bad", "one bad", "wild"]), label="mode")
    if mode == "wild":
        return [draw(either(valid(p), anything), label=p.name) for p in cmd.params]
    values = [draw(valid(p), label=p.name) for p in cmd.params]
    if mode == "one bad" and cmd.params:
        k = draw(st.integers(0, len(cmd.params) - 1), label="bad parameter")
        values[k] = draw(either(near_miss(cmd.params[k]), anything), label=f"bad {cmd.params[k].name}")
    return values


# --- what a value comes to -------------------------------------------------------------------
# Where the interpreter reads a value (an integer at the width read first, a text's UTF-8), its
# own error is the oracle; the other refusals are the module's fixed words; an accepted value
# stands as its piece of the golden line.

def interpreter(function: str, restype):
    read = getattr(ctypes.pythonapi, function)
    read.argtypes, read.restype = [ctypes.py_object], restype
    return read


READ_NATIVE = interpreter("PyLong_AsLong", ctypes.c_long)
READ = {"u32": interpreter("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong),
        "i64": interpreter("PyLong_AsLongLong", ctypes.c_longlong)}


def qualname(value) -> str:
    return type(value).__qualname__


def wrong_type(p: Param, value) -> Refused:
    return Refused(TypeError, f"argument '{p.name}': '{qualname(value)}' object cannot be converted to "
                              f"'{TARGET_NAME.get(p.kind, p.kind)}'")


def text_refusal(name: str, value, refuse_line_breaks: bool) -> Refused | None:
    if not isinstance(value, str):
        return Refused(TypeError, f"argument '{name}': '{qualname(value)}' object cannot be converted to 'PyString'")
    encoded = outcome(lambda: value.encode("utf-8"))
    if isinstance(encoded, Refused):
        return encoded
    if refuse_line_breaks and ("\r" in value or "\n" in value):
        return Refused(ValueError, f"argument '{name}': {LINE_BREAK_MSG}")
    return None


def refusal(p: Param, value) -> Refused | None:
    """How p refuses value; None where it takes it."""
    if value is None and p.optional:
        return None
    if p.kind == "text":
        return text_refusal(p.name, value, refuse_line_breaks=True)
    if p.kind in INT_RANGES:
        number = outcome(lambda: operator.index(value))
        if isinstance(number, Refused):  # only a TypeError is named after the argument
            return number._replace(message=f"argument '{p.name}': {number.message}") if number.exc is TypeError else number
        read = outcome(lambda: READ.get(p.kind, READ_NATIVE)(number))
        if isinstance(read, Refused):
            return read
        lo, hi = INT_RANGES[p.kind]
        return None if lo <= read <= hi else Refused(OverflowError, RANGE_MSG)
    if p.kind == "bool":
        numpy_bool = type(value).__module__ == "numpy" and type(value).__name__ in ("bool", "bool_")
        return None if value is True or value is False or numpy_bool else wrong_type(p, value)
    return None if isinstance(value, getattr(V, p.kind)) else wrong_type(p, value)


def model(g, values: list) -> str | Refused:
    """The first parameter's refusal, in parameter order, or the golden line of the values."""
    refused = (refusal(p, value) for p, value in zip(g.params, values))
    return next((r for r in refused if r), None) or g.line(**dict(zip(g.top, values)))


def outcome(call) -> str | Refused:
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - the internal-failure class is a BaseException
        return Refused(type(exc), str(exc))
    return result


def send_failure(cmd) -> Refused:
    """An unconnected client's method once every argument converted."""
    name = cmd.method
    if GOLDEN.index(cmd) >= 27:  # media, RTP, fax, document and audio commands hand the error back
        return Refused(RuntimeError, NOT_CONNECTED)
    prefix = f"{name} failed: " if name.startswith("call") else "TODO: panic message: "
    return Refused(PANIC, prefix + PYERR_NOT_CONNECTED)


def _panic_class():
    try:
        QuelvantClient("127.0.0.1", None, None, None, None).logout()
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("logout() on an unconnected client did not fail")


PANIC = _panic_class()
WITH_PARAMS = [g for g in GOLDEN if g.top]
by_cmd = pytest.mark.parametrize("cmd", WITH_PARAMS, ids=[c.factory for c in WITH_PARAMS])


def draw_call(data, cmd) -> tuple[list, tuple, dict]:
    values = data.draw(call_values(cmd))
    if data.draw(st.booleans(), label="by keyword"):
        return values, (), {p.name: v for p, v in zip(cmd.params, values)}
    return values, tuple(values), {}


def unwrap(result) -> str | Refused:
    return result if isinstance(result, Refused) else str(result)


# --- factories and unconnected methods --------------------------------------------------------

@by_cmd
@FEW
@given(data=st.data())
def test_factory_and_unconnected_method_follow_the_model(cmd, data):
    values, args, kwargs = draw_call(data, cmd)
    want = model(cmd, values)
    assert unwrap(outcome(lambda: getattr(Command, cmd.factory)(*args, **kwargs))) == want
    if cmd.factory == "login":
        return  # the method takes its arguments from the client, never from the caller
    c = QuelvantClient("127.0.0.1", None, None, None, None)
    got = outcome(lambda: getattr(c, cmd.method)(*args, **kwargs))
    assert got == (want if isinstance(want, Refused) else send_failure(cmd))
    assert c.command_tag == 0


# --- a connected client: only converted calls reach the wire, each with the next tag ----------

CALLABLE = [g for g in GOLDEN if g.factory != "login"]


@settings(max_examples=15, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=st.data())
def test_connected_calls_send_exactly_the_converted_lines(server, data):
    server.set_silent()  # no answers to print, and Quit does not end the connection
    conn = server.connections()
    c = QuelvantClient(server.host, server.port, None, "alice", "pw")
    c.connect()
    expected = b""
    for _ in range(data.draw(st.integers(1, 12), label="calls")):
        tag = c.command_tag
        kind = data.draw(st.sampled_from(["method", "method", "raw", "command"]), label="kind")
        if kind == "raw":
            message = data.draw(st.one_of(any_text, any_text.map(Str), st.binary(max_size=3)), label="message")
            want = text_refusal("message", message, refuse_line_breaks=False) or str.__str__(message)
            got = outcome(lambda: c.send_raw_command(message))
        else:
            cmd = data.draw(st.sampled_from(CALLABLE), label="command")
            values, args, kwargs = draw_call(data, cmd)
            want = model(cmd, values)
            if kind == "method":
                got = outcome(lambda: getattr(c, cmd.method)(*args, **kwargs))
                got = tag if got is None else got  # a method returns None, send_command the tag
            else:
                built = outcome(lambda: getattr(Command, cmd.factory)(*args, **kwargs))
                got = outcome(lambda: c.send_command(built)) if not isinstance(built, Refused) else built
        if isinstance(want, Refused):
            assert got == want
            assert c.command_tag == tag
        else:
            assert got == tag
            assert c.command_tag == tag + 1
            expected += f"{want} COMMANDTAG={tag}\n".encode()
    c.send_raw_command("End")
    expected += f"End COMMANDTAG={c.command_tag - 1}\n".encode()
    assert server.wait_received(b"End COMMANDTAG=", conn=conn) == expected
    c.disconnect()
    server.close(conn=conn)


# --- the client's own constructor ---------------------------------------------------------------

address_pieces = st.sampled_from(["0", "1", "12", "255", "256", "01", "ffff", "FFFF", "abcd", "12345",
                                  ":", "::", ".", "1.2.3.4", "%eth0", " ", "[", "]", "g", "０", "١"])
address_texts = st.one_of(st.lists(address_pieces, max_size=12).map("".join), any_text,
                          st.lists(st.integers(0, 0xFFFF), min_size=8, max_size=8).map(
                              lambda ws: ":".join(f"{w:x}" for w in ws)))


def python_address(text: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    if "%" in text:  # scoped IPv6 text: the client takes literals only
        return None
    try:
        return ipaddress.ip_address(text)
    except ValueError:
        return None


CONSTRUCTOR = [Param("control_port", "u16", True), Param("transport_channel_port", "u16", True),
               Param("username", "text", True), Param("password", "text", True)]


@settings(max_examples=300, deadline=None)
@given(server=either(address_texts, anything),
       rest=st.tuples(*(either(valid(p), anything) for p in CONSTRUCTOR)))
def test_client_constructor_accepts_exactly_ip_literals(server, rest):
    got = outcome(lambda: QuelvantClient(server, *rest))
    # Every argument is converted, in order, before the address is read.
    conversions = [text_refusal("server", server, refuse_line_breaks=False)]
    conversions += [refusal(p, v) for p, v in zip(CONSTRUCTOR, rest)]
    want = next((r for r in conversions if r), None)
    if want is None and python_address(server) is None:
        want = Refused(ValueError, f"Invalid IP address: {server}")
    if want is None:
        assert type(got) is QuelvantClient and got.command_tag == 0
    else:
        assert got == want
