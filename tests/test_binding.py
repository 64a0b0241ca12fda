"""Argument binding and conversion shared by every callable of the module."""

from __future__ import annotations

import numpy
import pytest

import quelvant_rs
from golden import GOLDEN, INT_RANGES, TARGET_NAME

Command = quelvant_rs.commands.Command
QuelvantClient = quelvant_rs.client.QuelvantClient
V = quelvant_rs.values
IDS = [g.factory for g in GOLDEN]
by_cmd = pytest.mark.parametrize("g", GOLDEN, ids=IDS)
RANGE_MSG = "out of range integral type conversion attempted"


def client() -> QuelvantClient:
    return QuelvantClient("127.0.0.1", None, None, None, None)


def record(g):
    return getattr(Command, g.factory)(**g.low)._0


def _callables():
    """(display name, callable, parameter names, valid argument values)."""
    out = []
    for g in GOLDEN:
        if g.top:  # those without parameters are checked on their own below
            out.append((f"Command.{g.factory}()", getattr(Command, g.factory), list(g.low), list(g.low.values())))
    for g in GOLDEN[::9]:
        out.append((f"Command_{g.variant}.__new__()", getattr(Command, g.variant), ["_0"], [record(g)]))
    kw = next(g for g in GOLDEN if g.factory == "call_make").low
    out += [
        ("QuelvantClient.__new__()", QuelvantClient,
         ["server", "control_port", "transport_channel_port", "username", "password"],
         ["127.0.0.1", None, None, None, None]),
        ("QuelvantClient.call_make()", client().call_make, list(kw), list(kw.values())),
        ("sum_as_string()", quelvant_rs.sum_as_string, ["a", "b"], [1, 2]),
        ("sum_as_string()", quelvant_rs.client.sum_as_string, ["a", "b"], [1, 2]),
        ("AudioFormatType.__new__()", V.AudioFormatType, ["text"], ["x"]),
        ("ConstantWithDescription.__new__()", V.ConstantWithDescription, ["value", "description"], ["v", "d"]),
    ]
    return out


CALLABLES = _callables()


def _patterns(names, values):
    """Call shapes that must fail to bind, as (args, kwargs)."""
    n = len(names)
    pats = [(tuple(values) + (0,), {}), (tuple(values) + (0, 0), {})]
    for k in range(1, n + 1):
        pats.append((tuple(values[: n - k]), {}))
    if n >= 2:
        pats.append(((), {names[-1]: values[-1]}))
        pats.append(((), {names[0]: values[0]}))
    if n >= 1:
        pats.append((tuple(values), {names[0]: values[0]}))
        pats.append((tuple(values[:1]), {names[0]: values[0]}))
    pats.append(((), {**dict(zip(names, values)), "bogus": 1}))
    pats.append(((), {"bogus": 1}))
    return pats


def _python_error(names, args, kwargs) -> str:
    ns: dict = {}
    exec(f"def f({', '.join(names)}): pass", ns)
    try:
        ns["f"](*args, **kwargs)
    except TypeError as e:
        return str(e)
    raise AssertionError("reference def accepted the call")


@pytest.mark.parametrize("name, fn, names, values", CALLABLES, ids=[f"{c[0]}#{i}" for i, c in enumerate(CALLABLES)])
def test_binding_errors_match_python(name, fn, names, values):
    if not name.startswith("QuelvantClient."):  # an unconnected client cannot send
        fn(*values)
    for args, kwargs in _patterns(names, values):
        with pytest.raises(TypeError) as e:
            fn(*args, **kwargs)
        ref = _python_error(names, args, kwargs)
        assert ref.startswith("f() ")
        if " positional argument" in ref and " given" in ref:
            # Only the count wording differs from a def: always "arguments".
            m = len(args)
            ref = f"f() takes {len(names)} positional arguments but {m} {'was' if m == 1 else 'were'} given"
        assert str(e.value) == name + ref[3:], (args, kwargs)


def test_zero_parameter_factories_refuse_arguments():
    for g in GOLDEN:
        if not g.top:
            f = getattr(Command, g.factory)
            assert f.__text_signature__ == "()" and str(f()) == g.variant
            # Wording for the no-parameter case is left to the interpreter's own style.
            for args, kwargs in [((None,), {}), ((1, 2), {}), ((), {"x": 1})]:
                with pytest.raises(TypeError) as e:
                    f(*args, **kwargs)
                assert f"{g.factory}() takes no " in str(e.value), str(e.value)


# --- conversion, every parameter of every command ----------------------------


@by_cmd
def test_text_params(g):
    f = getattr(Command, g.factory)
    kwargs = g.low

    class S(str):
        pass

    for p in g.params:
        if p.kind != "text":
            continue
        assert str(f(**{**kwargs, p.name: S("s p=ä")})) == g.line(**{p.name: "s p=ä"})
        for bad in ("a\rb", "a\n", "\r\n", "\n"):
            with pytest.raises(ValueError) as e:
                f(**{**kwargs, p.name: bad})
            assert str(e.value).startswith(f"argument '{p.name}': "), (p.name, bad)
        for bad, tname in [(b"x", "bytes"), (1, "int"), (["x"], "list"), (V.ToneType("x"), "ToneType")]:
            with pytest.raises(TypeError) as e:
                f(**{**kwargs, p.name: bad})
            assert str(e.value) == f"argument '{p.name}': '{tname}' object cannot be converted to 'PyString'"
        with pytest.raises(UnicodeEncodeError) as e:
            f(**{**kwargs, p.name: "a\ud800"})
        assert not str(e.value).startswith("argument")


@by_cmd
def test_integer_params(g):
    f = getattr(Command, g.factory)
    kwargs = g.low

    class Idx:
        def __index__(self):
            return 7

    for p in g.params:
        if p.kind not in INT_RANGES:
            continue
        lo, hi = INT_RANGES[p.kind]

        def bad(value, exc):
            with pytest.raises(exc) as e:
                f(**{**kwargs, p.name: value})
            return str(e.value)

        assert str(f(**{**kwargs, p.name: True})) == g.line(**{p.name: 1})
        assert str(f(**{**kwargs, p.name: Idx()})) == g.line(**{p.name: 7})
        if p.kind in ("u8", "u16", "i16"):
            assert bad(hi + 1, OverflowError) == RANGE_MSG, p.name
            assert bad(lo - 1, OverflowError) == RANGE_MSG, p.name
        elif p.kind == "u32":
            assert bad(2**32, OverflowError) == RANGE_MSG, p.name
            assert bad(2**64 - 1, OverflowError) == RANGE_MSG, p.name
            assert bad(-1, OverflowError) != RANGE_MSG, p.name
            bad(2**64, OverflowError)
        else:
            bad(hi + 1, OverflowError)
            bad(lo - 1, OverflowError)
        bad(2**100, OverflowError)
        bad(-(2**100), OverflowError)
        for value in (1.0, "1", b"1", V.ECM.No) + (() if p.optional else (None,)):
            assert bad(value, TypeError).startswith(f"argument '{p.name}': "), (p.name, value)


@by_cmd
def test_bool_params(g):
    f = getattr(Command, g.factory)
    kwargs = g.low
    for p in g.params:
        if p.kind != "bool":
            continue
        for value in [True, False, numpy.bool_(True), numpy.bool_(False)]:
            assert str(f(**{**kwargs, p.name: value})) == g.line(**{p.name: value})
        for value, tname in [(1, "int"), (0, "int"), ("1", "str"), (numpy.int64(1), "int64")] + (
                [] if p.optional else [(None, "NoneType")]):
            with pytest.raises(TypeError) as e:
                f(**{**kwargs, p.name: value})
            assert str(e.value) == f"argument '{p.name}': '{tname}' object cannot be converted to 'PyBool'"


@by_cmd
def test_wrong_type_and_none_for_every_param(g):
    f = getattr(Command, g.factory)
    kwargs = g.low
    for p in g.params:
        cases = [object()] + ([] if p.optional else [None])
        for value in cases:
            with pytest.raises(TypeError) as e:
                f(**{**kwargs, p.name: value})
            msg = str(e.value)
            if p.kind in INT_RANGES:
                assert msg.startswith(f"argument '{p.name}': "), msg
            else:
                tname = type(value).__name__
                assert msg == f"argument '{p.name}': '{tname}' object cannot be converted to '{TARGET_NAME.get(p.kind, p.kind)}'"


def test_index_error_keeps_its_cause():
    class Bad:
        def __index__(self):
            raise TypeError("x") from ValueError("y")

    with pytest.raises(TypeError) as e:
        Command.resource_delete(Bad())
    assert str(e.value).startswith("argument 'resource_id': ")
    assert isinstance(e.value.__cause__, ValueError) and str(e.value.__cause__) == "y"


@pytest.mark.parametrize("args, exc, needle", [
    (("x", 5, None, None, None, None, None), TypeError, "argument 'resource_id': "),
    ((1, 5, 2**40, None, None, None, None), TypeError, "argument 'address': "),
    ((1, "a", 2**40, None, 5, None, None), OverflowError, RANGE_MSG),
    ((1, "a", None, 5, b"x", None, None), TypeError, "argument 'caller_number': "),
    ((1, "a\n", None, 5, None, None, None), ValueError, "argument 'address': "),
    ((1, "a", None, None, None, 256, "x"), OverflowError, RANGE_MSG),
], ids=["id", "address", "timeout", "caller_number", "linebreak", "privacy"])
def test_first_bad_argument_wins(args, exc, needle):
    with pytest.raises(exc) as e:
        Command.call_make(*args)
    assert type(e.value) is exc and str(e.value).startswith(needle)


# --- sum_as_string --------------------------------------------------------------


@pytest.mark.parametrize("fn", [quelvant_rs.sum_as_string, quelvant_rs.client.sum_as_string])
def test_sum_as_string(fn):
    assert fn(2, 3) == "5" and fn(b=3, a=2) == "5" and fn(True, 0) == "1"
    assert fn(2**64 - 1, 1) == "0"
    assert fn(2**64 - 1, 0) == str(2**64 - 1)
    for args in [(-1, 0), (0, 2**64)]:
        with pytest.raises(OverflowError):
            fn(*args)
    with pytest.raises(TypeError) as e:
        fn("1", 2)
    assert str(e.value).startswith("argument 'a': ")
    with pytest.raises(TypeError) as e:
        fn(1)
    assert str(e.value) == "sum_as_string() missing 1 required positional argument: 'b'"


# --- QuelvantClient construction --------------------------------------------------


@pytest.mark.parametrize("server", [
    "localhost", " 10.0.0.1", "10.0.0.1 ", "10.0.0.1:5000", "010.0.0.1", "256.1.1.1", "[::1]",
    "fe80::1%eth0", "", "1.2.3", "::1::", "10.0.0.1\n",
])
def test_client_rejects_non_ip_servers(server):
    with pytest.raises(ValueError) as e:
        QuelvantClient(server, None, None, None, None)
    assert str(e.value) == f"Invalid IP address: {server}"


@pytest.mark.parametrize("server", ["127.0.0.1", "0.0.0.0", "255.255.255.255", "::1", "::ffff:10.0.0.1", "fe80::1", "2001:db8::8:800:200c:417a"])
def test_client_accepts_ip_literals(server):
    c = QuelvantClient(server, 1, 65535, "user", "pw")
    assert c.command_tag == 0
    with pytest.raises(AttributeError):
        c.command_tag = 5
    assert c.command_tag == 0


def test_client_argument_conversion():
    ok = ["127.0.0.1", None, None, None, None]

    def with_(i, value):
        args = list(ok)
        args[i] = value
        return QuelvantClient(*args)

    for i, name in [(1, "control_port"), (2, "transport_channel_port")]:
        with_(i, 0), with_(i, 65535)
        with pytest.raises(OverflowError, match=f"^{RANGE_MSG}$"):
            with_(i, 65536)
        with pytest.raises(TypeError) as e:
            with_(i, "80")
        assert str(e.value).startswith(f"argument '{name}': ")
    for i, name in [(3, "username"), (4, "password")]:
        with_(i, "")
        for bad in ("a\nb", "a\r"):
            with pytest.raises(ValueError) as e:
                with_(i, bad)
            assert str(e.value).startswith(f"argument '{name}': ")
        with pytest.raises(TypeError) as e:
            with_(i, b"u")
        assert str(e.value) == f"argument '{name}': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        with_(0, None)
    assert str(e.value) == "argument 'server': 'NoneType' object cannot be converted to 'PyString'"


def test_send_command_checks_the_class():
    with pytest.raises(TypeError) as e:
        client().send_command(Command.call_hold(1)._0)
    assert str(e.value) == "argument 'command': 'CallHold' object cannot be converted to 'Command'"
