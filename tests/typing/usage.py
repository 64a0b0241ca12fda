"""Typed use of quelvant_rs, checked with `mypy --strict` against the installed stubs.

It is also run as a plain script (no server needed), so what it claims holds at runtime too:
every call marked `# type: ignore[...]` is one the stubs must reject and the module refuses.
With warn_unused_ignores (part of --strict), a stub that stops rejecting one fails the check.
"""

from collections.abc import Callable
from typing import assert_type

from quelvant_rs import client, commands, session, sum_as_string, values

Command = commands.Command


def describe(cmd: commands.Command) -> str:
    match cmd:
        case Command.CallMake(record):
            # A string: record classes exist for type checkers only.
            assert_type(record, "commands.CallMake")
            # The record round-trips into a new command of the same variant.
            again = Command.CallMake(record)
            assert_type(again, Command.CallMake)
            return f"dial: {again}"
        case Command.CallHold(_) | Command.CallRetrieve(_):
            return f"hold or retrieve: {cmd}"
        case Command.FaxSend(_0=record):
            assert_type(record, "commands.FaxSend")
            return f"fax: {cmd}"
        case _:
            return f"other: {cmd}"


def refused(call: Callable[[], object], error: type[Exception] = TypeError) -> None:
    try:
        call()
    except error:
        return
    raise AssertionError("the module accepted a call the stubs reject")


def drive(c: client.QuelvantClient) -> None:
    """Needs a server; only type-checked."""
    c.connect()
    assert_type(c.login(), None)
    c.call_make(7, "1001", None, None, None, None, None)
    pcm = values.AudioFormatType("PCM")
    c.play_file(2, "greeting.wav", pcm, 8000, values.Channels.Stereo, None, None)
    v17 = values.ConstantWithDescription("V17", "14400 bit/s")
    c.fax_receive(3, 1, 4, v17, values.ECM.No, None)
    c.calls_set_accepting(1, True)
    assert_type(c.send_command(Command.call_hold(7)), int)
    assert_type(c.send_raw_command("GetVersion"), int)
    assert_type(c.send_batch([Command.call_hold(7), "GetVersion"]), list[int])
    c.get_protocol_version()
    c.disconnect()


def converse(s: session.Session) -> None:
    """Needs a server; only type-checked."""
    front = s.resource_create_frontend(None, None, None, True)
    assert_type(front, session.Reply)
    assert_type(s.call_make(7, "1001", caller_name="Bob", reply_timeout=None), session.Reply)
    assert_type(s.play_file(7, "hello.wav", reply_timeout=session.SESSION_TIMEOUT), session.Reply)
    assert_type(front.fields, dict[str, str])
    ev = s.wait_for(lambda e: e.words[:1] == ["CallConnected"], timeout=30)
    assert_type(ev.tag, int | None)
    for e in s.events(timeout=None):
        assert_type(e, session.Event)
    with s.subscribe(lambda e: e.words[:1] == ["PlayFinished"], max_pending=100) as played:
        s.play_file(7, "hello.wav")
        assert_type(played.get(timeout=30), session.Event)
        assert_type(played.pending, int)
    assert_type(s.request_batch([Command.call_hold(7), "GetVersion"]), list[session.Reply])
    assert_type(s.stats, session.SessionStats)
    assert_type(s.stats.dropped, int)


async def converse_async(s: session.AsyncSession) -> None:
    """Needs a server and a loop; only type-checked."""
    async with s:
        assert_type(await s.call_make(7, "1001", None, None, None, None, None), session.Reply)
        assert_type(await s.call_make(7, "1001", reply_timeout=2.5), session.Reply)
        assert_type(await s.request("GetVersion", timeout=None), session.Reply)
        async for e in s.events():
            assert_type(e, session.Event)
        with s.subscribe() as every:
            assert_type(await every.get(timeout=None), session.Event)
            async for e in every:
                assert_type(e, session.Event)


def main() -> None:
    make = Command.call_make(7, "1001", None, "2002", "Front desk", None, None)
    assert_type(make, Command.CallMake)
    assert_type(make._0, "commands.CallMake")
    assert_type(make[0], "commands.CallMake")
    assert_type(len(make), int)
    assert_type(str(make), str)
    assert isinstance(make, Command.CallMake) and isinstance(make, Command)
    assert describe(make).startswith("dial: CallMake 7 1001")
    assert describe(Command.call_hold(7)) == "hold or retrieve: CallHold 7"
    fax = Command.fax_send(3, 1, 4, None, values.ECM.ECM256, "Daily report", None)
    assert describe(fax).startswith("fax: FaxSend 3 1 4")
    assert describe(Command.logout()) == "other: Logout"

    assert_type(sum_as_string(2, 3), str)
    assert_type(client.sum_as_string(2, 3), str)
    assert_type(int(values.ECM.ECM64), int)
    assert_type(values.Channels.Mono, values.Channels)

    c = client.QuelvantClient("127.0.0.1", 1234, None, "user1", "secret")
    assert_type(c.command_tag, int)

    # Wrong on purpose: each line must stay an error for mypy and a refusal at runtime.
    refused(lambda: Command.call_make("7", "1", None, None, None, None, None))  # type: ignore[arg-type]
    refused(lambda: Command.call_make(7, "1001"))  # type: ignore[call-arg]
    refused(lambda: Command.calls_set_accepting(1, 1))  # type: ignore[arg-type]
    refused(lambda: Command.fax_send(3, 1, 4, None, 64, None, None))  # type: ignore[arg-type]
    refused(lambda: Command.play_file(1, "f", "PCM", 8000, None, None, None))  # type: ignore[arg-type]
    refused(lambda: Command.CallMake(Command.get_version()._0))  # type: ignore[arg-type]
    refused(lambda: c.send_command("CallHold 7"))  # type: ignore[arg-type]
    refused(lambda: c.login("user1", "secret"))  # type: ignore[call-arg]
    refused(lambda: c.get_version(1))  # type: ignore[call-arg]
    refused(lambda: values.AudioFormatType(8))  # type: ignore[arg-type]
    refused(lambda: session.Session("127.0.0.1", 1, None, None, 5))  # type: ignore[call-arg]
    refused(lambda: session.Session("127.0.0.1", 1, None, None, timeout="1"))  # type: ignore[arg-type]
    try:
        c.command_tag = 5  # type: ignore[misc]
    except AttributeError:
        pass
    else:
        raise AssertionError("command_tag is writable")
    try:
        values.ECM.No = values.ECM.ECM64  # type: ignore[misc]
    except TypeError:
        pass
    else:
        raise AssertionError("ECM.No is writable")
    try:

        class Sub(Command.CallMake):  # type: ignore[misc]
            pass

    except TypeError:
        pass
    else:
        raise AssertionError("a variant class was subclassed")
    print("usage: ok")


if __name__ == "__main__":
    main()
