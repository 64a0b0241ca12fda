"""The client's per-command methods, driven over loopback against the stand-in server."""

from __future__ import annotations

import re
import time

import pytest
from pace import scaled

from golden import GOLDEN
from quelvant_rs import client, commands

Command = commands.Command
QuelvantClient = client.QuelvantClient
IDS = [g.factory for g in GOLDEN]
by_cmd = pytest.mark.parametrize("cmd", GOLDEN, ids=IDS)

NOT_CONNECTED = "No active connection to send message"
PYERR_NOT_CONNECTED = (
    "PyErr { type: <class 'RuntimeError'>, value: RuntimeError('No active connection to send message'), "
    "traceback: None }"
)
# Connection, resource and call commands turn a failed send into an internal failure;
# media, RTP, fax, document and audio commands hand the send's error back as it is.
INTERNAL_FAILURE = {g.factory for g in GOLDEN[:27]}
assert GOLDEN[26].factory == "calls_set_accepting" and GOLDEN[27].factory == "play_file"

LOGIN_KW = dict(username="alice", password="pw", major=None, minor=None, revision=None)


def failure_prefix(cmd) -> str:
    name = cmd.method
    return f"{name} failed: " if name.startswith("call") else "TODO: panic message: "


def method_args(cmd, full: bool = True) -> tuple[dict, dict]:
    """(method kwargs, factory kwargs): login takes its credentials from the client."""
    if cmd.factory == "login":
        return {}, LOGIN_KW
    kw = cmd.top if full else cmd.low
    return kw, kw


def invoke(c, cmd, kwargs: dict, keyword: bool = False):
    m = getattr(c, cmd.method)
    if keyword:
        return m(**dict(reversed(kwargs.items())))
    return m(*kwargs.values())


def new_client(server) -> QuelvantClient:
    return QuelvantClient(server.host, server.port, None, "alice", "pw")


def connected(server) -> QuelvantClient:
    c = new_client(server)
    c.connect()
    return c


def line(text: str, tag: int) -> bytes:
    return f"{text} COMMANDTAG={tag}\n".encode()


def panic_class():
    """The internal-failure class, taken from a failure on an unconnected client."""
    try:
        QuelvantClient("127.0.0.1", None, None, None, None).logout()
    except BaseException as e:  # noqa: BLE001 - the class under test is not an Exception
        return type(e)
    raise AssertionError("logout() on an unconnected client did not fail")


def assert_only(server, expected: bytes, conn: int = 0) -> None:
    """Connection conn received exactly expected, and nothing came before it."""
    got = server.wait_received(expected.count(b"\n"), conn=conn)
    assert got == expected


# --- shape of the class ------------------------------------------------------------


def test_method_registration_order():
    names = [n for n in vars(QuelvantClient) if not n.startswith("_") and n != "command_tag"]
    per_command = [g.method for g in GOLDEN]
    assert names == (
        ["connect", "disconnect", "send_raw_command", "send_command", "get_version", "get_protocol_version"]
        + [n for n in per_command if n not in ("get_version", "get_protocol_version")]
        + ["print_details"]
        + ["send_batch"]  # added after the 59, which keep their order
    )
    assert len(names) == 60


@by_cmd
def test_text_signature_matches_factory(cmd):
    sig = getattr(QuelvantClient, cmd.method).__text_signature__
    if cmd.factory == "login" or not cmd.top:
        assert sig == "($self)"
        return
    assert sig == "($self, " + ", ".join(cmd.top) + ")"
    assert sig == "($self, " + getattr(Command, cmd.factory).__text_signature__[1:]


# --- what goes on the wire -----------------------------------------------------------


def test_every_method_sends_its_line_with_the_next_tag(server):
    server.set_silent()  # keeps Quit from ending the connection halfway through
    c = connected(server)
    expected = b""
    for full, keyword in [(True, False), (False, True), (True, True)]:
        for cmd in GOLDEN:
            margs, fargs = method_args(cmd, full)
            text = str(getattr(Command, cmd.factory)(**fargs))
            if cmd.factory != "login":
                assert text == "".join(cmd.top_pieces if full else cmd.low_pieces)
            tag = c.command_tag
            assert invoke(c, cmd, margs, keyword) is None, cmd.factory
            assert c.command_tag == tag + 1, cmd.factory
            expected += line(text, tag)
    # send_command returns the tag it used, for every kind of command.
    for cmd in GOLDEN:
        obj = getattr(Command, cmd.factory)(**method_args(cmd)[1])
        tag = c.command_tag
        assert c.send_command(obj) == tag
        assert c.command_tag == tag + 1
        expected += line(str(obj), tag)
    assert_only(server, expected)


@pytest.mark.parametrize("name, args, text", [
    ("login", (), "Login alice pw 2 3"),
    ("get_protocol_version", (), "ProtocolVersion"),
    ("call_make", (7, "1001", None, None, None, None, None), "CallMake 7 1001 TimeOut=30000 Privacy=0 Screen=1"),
    ("call_make", (7, "1001", 5, "42", "Bob Ann", 2, 0),
     "CallMake 7 1001 TimeOut=5 CallerNumber=42 CallerName=Bob Ann Privacy=2 Screen=0"),
    ("call_make", (7, "1001", 0, None, None, 0, 0), "CallMake 7 1001 TimeOut=0 Privacy=0 Screen=0"),
    ("call_transfer_blind", (7, "1002", None), "CallTransferBlind 7 1002 UseH450=1"),
    ("call_transfer_blind", (7, "1002", 0), "CallTransferBlind 7 1002 UseH450=0"),
    ("call_send_dtmf", (7, "12#", None, None, None), "CallSendDTMF 7 12# Duration=300 Delay=200 PauseDuration=2000"),
    ("call_send_dtmf", (7, "1", 0, 0, 0), "CallSendDTMF 7 1 Duration=0 Delay=0 PauseDuration=0"),
    ("rtp_channel_send_dtmf", (3, "123", None, None, None), "RtpChannelSendDTMF 3 123"),
    ("call_clear", (9, "a=b c ü€"), "CallClear 9 Reason=a=b c ü€"),
    ("resource_create_frontend", (None, None, None, None), "ResourceCreateFrontEnd"),
    ("resource_delete", (2**32 - 1,), "ResourceDelete 4294967295"),
], ids=lambda v: v if isinstance(v, str) and " " not in v else None)
def test_literal_lines_and_defaults(server, name, args, text):
    c = connected(server)
    tag = c.command_tag
    assert getattr(c, name)(*args) is None
    assert_only(server, line(text, tag))


def test_send_command_reuses_an_object_and_shares_the_counter(server):
    c = connected(server)
    cmd = Command.call_make(4, "1001", None, "5", None, None, None)
    before = (str(cmd), repr(cmd))
    t0 = c.command_tag
    assert c.send_command(cmd) == t0
    assert c.send_command(command=cmd) == t0 + 1
    assert (str(cmd), repr(cmd)) == before
    with pytest.raises(TypeError) as e:
        c.send_command(5)
    assert str(e.value) == "argument 'command': 'int' object cannot be converted to 'Command'"
    assert c.command_tag == t0 + 2
    c.call_hold(3)
    assert c.command_tag == t0 + 3
    assert_only(server, line(before[0], t0) + line(before[0], t0 + 1) + line("CallHold 3", t0 + 2))


# --- binding and conversion ----------------------------------------------------------


def _error(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - compared, not handled
        return type(e), str(e)
    return None


@by_cmd
def test_binding_and_none_rules_match_factory(server, cmd):
    """Same arity, names, None rules and no defaults: every bad call fails like the factory's."""
    c = connected(server)
    m = getattr(c, cmd.method)
    f = getattr(Command, cmd.factory)
    tag = c.command_tag
    if cmd.factory == "login" or not cmd.top:
        for args, kwargs in [((None,), {}), ((), {"x": 1})]:
            err = _error(m, *args, **kwargs)
            assert err is not None and err[0] is TypeError
            assert err[1].startswith(f"QuelvantClient.{cmd.method}() takes "), err
    else:
        kw = cmd.low
        vals, names = list(kw.values()), list(kw)
        shapes = [(vals[:-1], {}), (vals + [0], {}), ([], {**kw, "bogus": 1}),
                  ([], {k: v for k, v in kw.items() if k != names[-1]}), (vals, {names[0]: vals[0]})]
        for p in cmd.params:
            for bad in [object()] + ([] if p.optional else [None]):
                shapes.append(([], {**kw, p.name: bad}))
        for args, kwargs in shapes:
            want = _error(f, *args, **kwargs)
            assert want is not None, (args, kwargs)
            want = (want[0], want[1].replace(f"Command.{cmd.factory}()", f"QuelvantClient.{cmd.method}()"))
            assert _error(m, *args, **kwargs) == want, (args, kwargs)
    assert c.command_tag == tag
    c.get_version()
    assert_only(server, line("GetVersion", tag))


TEXT_CASES = [(g, p.name) for g in GOLDEN if g.factory != "login" for p in g.params if p.kind == "text"]


@pytest.mark.parametrize("cmd, pname", TEXT_CASES, ids=[f"{c.factory}.{n}" for c, n in TEXT_CASES])
def test_line_breaks_in_text_are_refused_before_sending(server, cmd, pname):
    c = connected(server)
    kw = cmd.top
    tag = c.command_tag
    for bad in ("1001\r\nQuit", "a\rb", "tail\n", "\n"):
        with pytest.raises(ValueError) as e:
            invoke(c, cmd, {**kw, pname: bad})
        assert str(e.value).startswith(f"argument '{pname}': "), (bad, str(e.value))
    assert c.command_tag == tag
    c.get_version()
    assert_only(server, line("GetVersion", tag))


@pytest.mark.parametrize("name, args, exc, message", [
    ("resource_delete", (-1,), OverflowError, None),
    ("get_rtp_statistics", (-1,), OverflowError, None),
    ("call_make", (2**32, "1", None, None, None, None, None), OverflowError, None),
    ("play_tone", (1, None, None, None, 256, None), OverflowError, None),
    ("fax_send", (1, 2, 3, None, 1, None, None), TypeError,
     "argument 'use_ecm': 'int' object cannot be converted to 'ECM'"),
    ("calls_set_accepting", (1, 1), TypeError,
     "argument 'accepting': 'int' object cannot be converted to 'PyBool'"),
    ("call_make", (1, b"1001", None, None, None, None, None), TypeError,
     "argument 'address': 'bytes' object cannot be converted to 'PyString'"),
    ("resource_delete", ("1",), TypeError, None),
], ids=["delete", "rtp_stats", "call_make_timeout", "play_tone_volume", "fax_send_ecm", "accepting",
        "address_bytes", "delete_str"])
def test_conversion_errors_are_plain_and_send_nothing(server, name, args, exc, message):
    c = connected(server)
    tag = c.command_tag
    with pytest.raises(exc) as e:
        getattr(c, name)(*args)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message
    elif exc is TypeError:
        assert str(e.value).startswith("argument 'resource_id': ")
    assert c.command_tag == tag
    c.get_version()
    assert_only(server, line("GetVersion", tag))


# --- send failures ---------------------------------------------------------------


def attempt(fn) -> tuple[BaseException, bool]:
    """Run fn, which must fail; return its exception and whether 'except Exception' caught it."""
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - which clause catches it is part of the check
        return e, True
    except BaseException as e:  # noqa: BLE001
        return e, False
    raise AssertionError("the call did not fail")


def check_failure(cmd, e, caught_as_exception, fd1, pyerr_pattern, plain_type, plain_pattern) -> None:
    """The failure a method raises: internal failure for the first group, the send's own otherwise."""
    if cmd.factory in INTERNAL_FAILURE:
        panic = type(e)
        assert (panic.__name__, panic.__module__) == ("PanicException", "pyo3_runtime"), (type(e), str(e))
        assert panic.__bases__ == (BaseException,)
        assert not caught_as_exception
        assert re.fullmatch(re.escape(failure_prefix(cmd)) + pyerr_pattern, str(e)), str(e)
        # Reported before being raised, so it is already there.
        assert str(e) in fd1.err
    else:
        assert type(e) is plain_type, (type(e), str(e))
        assert caught_as_exception
        assert re.fullmatch(plain_pattern, str(e)), str(e)


@by_cmd
@pytest.mark.parametrize("state", ["never_connected", "disconnected"])
def test_send_without_connection(server, fd1, cmd, state):
    c = new_client(server)
    conn = 0
    if state == "disconnected":
        c.connect()
        c.get_version()
        server.wait_received(1)
        c.disconnect()
        conn = 1
    margs = method_args(cmd)[0]
    tag = c.command_tag
    for _ in range(2):
        err, caught = attempt(lambda: invoke(c, cmd, margs))
        check_failure(cmd, err, caught, fd1, re.escape(PYERR_NOT_CONNECTED), RuntimeError, re.escape(NOT_CONNECTED))
        assert c.command_tag == tag
    if cmd.factory in INTERNAL_FAILURE:
        assert type(err) is panic_class()
    # Still usable: a new connection carries on with the tag that did not move.
    c.connect()
    invoke(c, cmd, margs)
    assert c.command_tag == tag + 1
    text = str(getattr(Command, cmd.factory)(**method_args(cmd)[1]))
    assert_only(server, line(text, tag), conn=conn)


OS_DETAIL = r"Failed to send message: [^'\n]+"


@by_cmd
def test_send_after_reset(server, fd1, cmd):
    c = connected(server)
    server.wait_connections(1)
    server.close(0, reset=True)
    margs = method_args(cmd)[0]
    deadline = time.monotonic() + scaled(5.0)
    while True:
        tag = c.command_tag
        try:
            invoke(c, cmd, margs)
        except Exception as e:  # noqa: BLE001 - which clause catches it is part of the check
            err, caught = e, True
            break
        except BaseException as e:  # noqa: BLE001
            err, caught = e, False
            break
        assert c.command_tag == tag + 1
        assert time.monotonic() < deadline, "sending into a reset connection never failed"
    assert c.command_tag == tag
    check_failure(
        cmd, err, caught, fd1,
        re.escape("PyErr { type: <class 'OSError'>, value: OSError('") + OS_DETAIL
        + re.escape("'), traceback: None }"),
        OSError, OS_DETAIL,
    )
    c.connect()
    invoke(c, cmd, margs)
    assert c.command_tag == tag + 1
    text = str(getattr(Command, cmd.factory)(**method_args(cmd)[1]))
    assert_only(server, line(text, tag), conn=1)


# --- re-entry while the client is in use -----------------------------------------------


class Reentrant:
    """Int-like value whose conversion touches the client again."""

    def __init__(self, touch):
        self.touch = touch
        self.raised: list[BaseException] = []

    def __index__(self):
        try:
            self.touch()
        except BaseException as e:
            self.raised.append(e)
            raise
        return 1


@pytest.mark.parametrize("outer, rest", [
    ("resource_delete", ()),
    ("call_make", ("1001", None, None, None, None, None)),
    ("get_rtp_statistics", ()),
    ("play_stream", (2, None, None, None)),
])
@pytest.mark.parametrize("nested, message", [
    ("method", "Already borrowed"),
    ("send_command", "Already borrowed"),
    ("command_tag", "Already mutably borrowed"),
])
def test_nested_use_during_conversion(server, outer, rest, nested, message):
    c = connected(server)
    touch = {
        "method": lambda: c.get_version(),
        "send_command": lambda: c.send_command(Command.logout()),
        "command_tag": lambda: c.command_tag,
    }[nested]
    tag = c.command_tag
    arg = Reentrant(touch)
    with pytest.raises(RuntimeError) as e:
        getattr(c, outer)(arg, *rest)
    assert type(e.value) is RuntimeError and str(e.value) == message
    assert len(arg.raised) == 1 and e.value is arg.raised[0]
    assert c.command_tag == tag
    c.resource_delete(5)
    assert c.command_tag == tag + 1
    assert_only(server, line("ResourceDelete 5", tag))
