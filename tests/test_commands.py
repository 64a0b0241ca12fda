"""Command lines and the Command class family, checked against the golden lines."""

from __future__ import annotations

import inspect

import pytest

import quelvant_rs
from golden import BY_FACTORY, GOLDEN, INT_RANGES

Command = quelvant_rs.commands.Command
V = quelvant_rs.values
IDS = [g.factory for g in GOLDEN]
by_cmd = pytest.mark.parametrize("g", GOLDEN, ids=IDS)


def make(factory: str, *args, **kwargs):
    """Call a factory, passing None for every parameter not given (none has a default)."""
    names = list(BY_FACTORY[factory].top)
    for name in names[len(args):]:
        kwargs.setdefault(name, None)
    return getattr(Command, factory)(*args, **kwargs)


def line(factory: str, *args, **kwargs) -> str:
    return str(make(factory, *args, **kwargs))


def test_command_is_reached_through_the_submodule_attribute():
    from quelvant_rs import commands

    assert commands.Command is quelvant_rs.commands.Command


def test_variants_and_factories_are_class_attributes_in_their_order():
    variants = [g.variant for g in GOLDEN]
    assert [n for n in vars(Command) if n in variants] == variants
    assert [n for n in vars(Command) if n in IDS] == IDS


@by_cmd
def test_variant_class_shape(g):
    cls = getattr(Command, g.variant)
    assert isinstance(cls, type) and issubclass(cls, Command) and cls is not Command
    assert cls.__name__ == cls.__qualname__ == f"Command_{g.variant}"
    assert cls.__module__ == "builtins"
    assert cls.__match_args__ == ("_0",)
    assert cls.__text_signature__ == "(_0)"
    with pytest.raises(TypeError):
        type("X", (cls,), {})


@by_cmd
def test_factory_signature(g):
    names = list(g.top)
    f = getattr(Command, g.factory)
    assert f.__doc__ is None
    assert f.__text_signature__ == "(" + ", ".join(names) + ")"
    params = inspect.signature(f).parameters
    assert list(params) == names
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params.values())


@by_cmd
def test_rendering_matches_the_golden_lines(g):
    f = getattr(Command, g.factory)
    c = f(**g.low)
    assert type(c) is getattr(Command, g.variant)
    assert str(c) == "".join(g.low_pieces)
    # The factory is reachable from variant classes and from instances too.
    assert str(getattr(getattr(Command, g.variant), g.factory)(**g.low)) == str(c)
    assert str(getattr(c, g.factory)(**g.low)) == str(c)
    assert str(f(*g.top.values())) == "".join(g.top_pieces)
    # One argument at a time pins each piece to its own parameter; integers at both ends of
    # their range render in full, and an empty text leaves its key or space.
    for p in g.params:
        for v in [g.top[p.name], *({"text": [""]}.get(p.kind, INT_RANGES.get(p.kind, ())))]:
            assert str(f(**{**g.low, p.name: v})) == g.line(**{p.name: v}), (p.name, v)


WORKED = [
    (("resource_create_frontend",), {}, "ResourceCreateFrontEnd"),
    (("resource_create_frontend", "100", None, None, True), {}, "ResourceCreateFrontEnd RegIncomingANI=100 Accepting=1"),
    (("resource_create_frontend", None, "200", "", False), {},
     "ResourceCreateFrontEnd RegIncomingDNIS=200 RegIncomingRDN= Accepting=0"),
    (("resource_create_rtp_channel",), {}, "ResourceCreateRtpChannel"),
    (("resource_create_rtp_channel", True), {}, "ResourceCreateRtpChannel InBandDTMFEnabled=1"),
    (("resource_create_transport_channel", "A"), {}, "ResourceCreateTransportChannel A"),
    (("resource_create_sound_device", "A"), {}, "ResourceCreateSoundDevice Direction=A"),
    (("resource_create_sound_device", "A", "B", 4), {}, "ResourceCreateSoundDevice Direction=A Device=B Buffers=4"),
    (("resource_delete", 12), {}, "ResourceDelete 12"),
    (("call_make", 7, "1001"), {}, "CallMake 7 1001 TimeOut=30000 Privacy=0 Screen=1"),
    (("call_make", 7, "1001", 5000, "2002", "Desk", 1, 0), {},
     "CallMake 7 1001 TimeOut=5000 CallerNumber=2002 CallerName=Desk Privacy=1 Screen=0"),
    (("call_make", 7, ""), {}, "CallMake 7  TimeOut=30000 Privacy=0 Screen=1"),
    (("call_clear", 7), {}, "CallClear 7"),
    (("call_clear", 7, "16"), {}, "CallClear 7 Reason=16"),
    (("call_transfer_consultation", 7, 8), {}, "CallTransferConsultation 7 8"),
    (("call_transfer_blind", 7, "1002"), {}, "CallTransferBlind 7 1002 UseH450=1"),
    (("call_send_dtmf", 7, "123#"), {}, "CallSendDTMF 7 123# Duration=300 Delay=200 PauseDuration=2000"),
    (("rtp_channel_send_dtmf", 7, "123"), {}, "RtpChannelSendDTMF 7 123"),
    (("call_t38_relay", 7, 9), {}, "CallT38Relay 7 9"),
    (("calls_set_alerting_type", 7, "A"), {}, "CallsSetAlertingType 7 A"),
    (("calls_set_accepting", 7, False), {}, "CallsSetAccepting 7 0"),
    (("play_file", 5, "greeting.wav"), dict(sample_rate=8000, skip_bytes=1024),
     "PlayFile 5 greeting.wav SampleRate=8000 SkipBytes=1024"),
    (("play_tone", 7), dict(frequency=425, volume=20, duration=3000), "PlayTone 7 Frequency=425 Volume=20 Duration=3000"),
    (("recorder_start_to_stream", 3, 9), dict(max_duration=60000, voice_trigger=True, pause_if_empty=False),
     "RecorderStartToStream 3 9 MaxDuration=60000 VoiceTrigger=1 PauseIfEmpty=0"),
    (("audio_send", 10, 11), dict(volume=-6, auto_gain=True), "AudioSend 10 11 Volume=-6 AutoGain=1"),
    (("fax_send", 4, 1, 2), dict(use_ecm=V.ECM.ECM256, header="Daily report"), "FaxSend 4 1 2 UseECM=256 Header=Daily report"),
    (("fax_receive", 4, 1, 2), dict(use_ecm=V.ECM.No), "FaxReceive 4 1 2 UseECM=0"),
    (("fax_receive", 1, 2, 3), dict(csi=""), "FaxReceive 1 2 3 CSI="),
    (("document_add_file", 2, ""), {}, "DocumentAddFile 2 "),
    (("rtp_channel_start_receiving", 6),
     dict(rfc2833_payload_type=101, rtp_session_id=2, jitter_buffer_length_min=40, jitter_buffer_length_max=200),
     "RtpChannelStartReceiving 6 RFC2833PayloadType=101 RtpSessionId=2 JitterBufferLengthMin=40 JitterBufferLengthMax=200"),
    (("login", "u", "p"), {}, "Login u p 2 3"),
    (("login", "u", "p", None, None, 0), {}, "Login u p 2 3 0"),
    (("login", "", "p"), {}, "Login  p 2 3"),
    (("play_file", 5, "a.wav", V.AudioFormatType("PCM")), {}, "PlayFile 5 a.wav Type=PCM"),
    (("play_file", 5, "a.wav"), dict(channels=V.Channels.Mono), "PlayFile 5 a.wav Channels=1"),
    (("document_prepare", 1, V.ConstantWithDescription("A4", "210x297"), None), {}, "DocumentPrepare 1 PaperSize=A4"),
    (("protocol_version",), {}, "ProtocolVersion"),
    (("quit",), {}, "Quit"),
]


@pytest.mark.parametrize("args, kwargs, expected", WORKED, ids=[w[2][:40] for w in WORKED])
def test_worked_lines(args, kwargs, expected):
    assert line(*args, **kwargs) == expected


# --- the Command class and its variant instances ----------------------------


def test_command_has_no_constructor_even_through_a_subclass():
    with pytest.raises(TypeError, match=r"^No constructor defined for Command$"):
        Command()

    class Sub(Command):
        pass

    with pytest.raises(TypeError, match=r"^No constructor defined for Sub$"):
        Sub()


@by_cmd
def test_record_class_and_copy_constructor(g):
    c = getattr(Command, g.factory)(**g.low)
    cls = getattr(Command, g.variant)
    rec_type = type(c._0)
    assert rec_type.__name__ == g.variant and rec_type.__module__ == "builtins"
    with pytest.raises(TypeError, match=rf"^No constructor defined for {g.variant}$"):
        rec_type()
    with pytest.raises(TypeError):
        type("X", (rec_type,), {})

    for copy in (cls(c._0), cls(_0=c._0), cls(c[0])):
        assert type(copy) is cls and str(copy) == str(c) and copy is not c

    # A record of the next variant must not be accepted.
    other = GOLDEN[(GOLDEN.index(g) + 1) % len(GOLDEN)]
    rec = getattr(Command, other.factory)(**other.low)._0
    with pytest.raises(TypeError) as e:
        cls(rec)
    assert str(e.value) == f"argument '_0': '{other.variant}' object cannot be converted to '{g.variant}'"


def test_variant_constructor_argument_errors():
    with pytest.raises(TypeError) as e:
        Command.CallHold(3)
    assert str(e.value) == "argument '_0': 'int' object cannot be converted to 'CallHold'"
    with pytest.raises(TypeError) as e:
        Command.CallHold(Command.call_answer(1))  # the command, not its record
    assert str(e.value) == "argument '_0': 'Command_CallAnswer' object cannot be converted to 'CallHold'"
    with pytest.raises(TypeError) as e:
        Command.CallHold()
    assert str(e.value) == "Command_CallHold.__new__() missing 1 required positional argument: '_0'"


def test_instance_record_access():
    c = Command.call_hold(3)
    assert c._0 is not c._0
    assert type(c[0]) is type(c._0) and c[0] is not c._0
    assert len(c) == 1
    with pytest.raises(AttributeError):
        c._0 = Command.call_hold(4)._0
    with pytest.raises(IndexError, match=r"^tuple index out of range$"):
        c[1]
    for idx, exc in [(-1, OverflowError), (2**64, OverflowError), (2**64 - 1, IndexError), (True, IndexError)]:
        with pytest.raises(exc):
            c[idx]
    assert type(c[False]) is type(c._0)
    with pytest.raises(TypeError) as e:
        c["a"]
    assert str(e.value).startswith("argument 'idx': ")


def test_instances_compare_and_hash_by_identity_with_default_repr():
    a, b = Command.call_hold(3), Command.call_hold(3)
    assert str(a) == str(b) == "CallHold 3"
    assert a == a and a != b and not (a == b)
    assert hash(a) == hash(a) == object.__hash__(a)
    assert repr(a) == object.__repr__(a)
    assert isinstance(a, Command)


def test_pattern_matching_binds_record_and_discriminates_variants():
    def which(cmd):
        match cmd:
            case Command.CallAnswer(_):
                return "answer", None
            case Command.CallHold(rec):
                return "hold", rec
        return "none", None

    kind, rec = which(Command.call_hold(5))
    assert kind == "hold" and type(rec).__name__ == "CallHold"
    assert str(Command.CallHold(rec)) == "CallHold 5"
    assert which(Command.call_answer(5))[0] == "answer"
    assert which(Command.call_retrieve(5))[0] == "none"
