"""Value classes: the enum-like singletons, the text records, and the module layout around them."""

from __future__ import annotations

import pytest

import quelvant_rs

V = quelvant_rs.values
Command = quelvant_rs.commands.Command

ENUMS = [
    (V.ECM, "No", 0), (V.ECM, "ECM64", 64), (V.ECM, "ECM128", 128), (V.ECM, "ECM256", 256),
    (V.Channels, "Mono", 1), (V.Channels, "Stereo", 2),
]
TEXT_RECORDS = [V.AudioFormatType, V.PayloadType, V.ToneType]
VALUE_NAMES = ["ECM", "Channels", "AudioFormatType", "PayloadType", "ToneType", "ConstantWithDescription"]


@pytest.mark.parametrize("cls, name, number", ENUMS, ids=[f"{c.__name__}.{n}" for c, n, _ in ENUMS])
def test_enum_members(cls, name, number):
    member = getattr(cls, name)
    assert getattr(cls, name) is member
    assert type(member) is cls
    assert repr(member) == f"{cls.__name__}.{name}"
    assert int(member) == number
    assert member == member and hash(member) == object.__hash__(member)
    assert member != number and member != str(number)
    others = [getattr(c, n) for c, n, _ in ENUMS if (c, n) != (cls, name)]
    assert all(member != o for o in others)
    with pytest.raises(TypeError):
        iter(member)


@pytest.mark.parametrize("cls", [V.ECM, V.Channels], ids=["ECM", "Channels"])
def test_enums_have_no_constructor_and_are_not_iterable(cls):
    with pytest.raises(TypeError, match=rf"^No constructor defined for {cls.__name__}$"):
        cls()
    with pytest.raises(TypeError):
        iter(cls)


@pytest.mark.parametrize("cls", TEXT_RECORDS, ids=lambda c: c.__name__)
def test_text_record_constructor(cls):
    class S(str):
        pass

    assert isinstance(cls("x"), cls) and isinstance(cls(text=S("x y=é")), cls)
    with pytest.raises(TypeError) as e:
        cls(b"PCM")
    assert str(e.value) == "argument 'text': 'bytes' object cannot be converted to 'PyString'"
    for bad in ("a\rb", "a\nb", "\r\n"):
        with pytest.raises(ValueError) as e:
            cls(bad)
        assert str(e.value).startswith("argument 'text': ")
    with pytest.raises(TypeError) as e:
        cls()
    assert str(e.value) == f"{cls.__name__}.__new__() missing 1 required positional argument: 'text'"
    with pytest.raises(TypeError) as e:
        cls("a", "b")
    assert str(e.value) == f"{cls.__name__}.__new__() takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as e:
        cls(None)
    assert str(e.value) == "argument 'text': 'NoneType' object cannot be converted to 'PyString'"


def test_constant_with_description_constructor():
    cwd = V.ConstantWithDescription
    assert isinstance(cwd("1", "one"), cwd) and isinstance(cwd(description="d", value="v"), cwd)
    with pytest.raises(TypeError) as e:
        cwd("1")
    assert str(e.value) == "ConstantWithDescription.__new__() missing 1 required positional argument: 'description'"
    with pytest.raises(TypeError) as e:
        cwd(1, b"x")  # first bad argument wins
    assert str(e.value) == "argument 'value': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as e:
        cwd("1", b"x")
    assert str(e.value) == "argument 'description': 'bytes' object cannot be converted to 'PyString'"
    for args, name in [(("a\n", "d"), "value"), (("a", "d\r"), "description")]:
        with pytest.raises(ValueError) as e:
            cwd(*args)
        assert str(e.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize("text", ["PCM", "", "a b=c", "ü€"])
def test_value_records_render_as_their_text(text):
    assert str(Command.play_file(5, "a.wav", V.AudioFormatType(text), None, None, None, None)) == f"PlayFile 5 a.wav Type={text}"
    assert str(Command.play_tone(1, None, None, V.ToneType(text), None, None)) == f"PlayTone 1 Tone={text}"
    assert (str(Command.rtp_channel_start_sending(1, "h:1", None, None, None, V.PayloadType(text), None, None))
            == f"RtpChannelStartSending 1 h:1 PayloadType={text}")
    desc = V.ConstantWithDescription(text, "never written")
    assert str(Command.document_save(1, "f", None, desc)) == f"DocumentSave 1 f DocumentType={text}"


def test_record_keeps_its_own_text():
    # Each record must own its text, not share one slot per class.
    a, b = V.ToneType("Busy"), V.ToneType("Ring")
    assert str(Command.play_tone(1, None, None, a, None, None)) == "PlayTone 1 Tone=Busy"
    assert str(Command.play_tone(1, None, None, b, None, None)) == "PlayTone 1 Tone=Ring"


WRONG_VALUE = [
    ("fax_receive", (4, 1, 2, None, 64, None), "use_ecm", "int", "ECM"),
    ("fax_send", (4, 1, 2, None, V.Channels.Mono, None, None), "use_ecm", "Channels", "ECM"),
    ("play_file", (5, "a", None, None, "Mono", None, None), "channels", "str", "Channels"),
    ("play_file", (5, "a", None, None, 1, None, None), "channels", "int", "Channels"),
    ("play_file", (5, "a", "PCM", None, None, None, None), "audio_type", "str", "AudioFormatType"),
    ("document_prepare", (1, V.AudioFormatType("A4"), None), "paper_size", "AudioFormatType", "ConstantWithDescription"),
    ("play_tone", (1, None, None, V.PayloadType("x"), None, None), "tone", "PayloadType", "ToneType"),
    ("rtp_channel_start_receiving", (1, None, None, None, V.ToneType("x"), None, None, None, None),
     "payload_type", "ToneType", "PayloadType"),
]


@pytest.mark.parametrize("factory, args, param, got, want", WRONG_VALUE, ids=[f"{w[2]}-{w[3]}" for w in WRONG_VALUE])
def test_value_params_check_the_class(factory, args, param, got, want):
    with pytest.raises(TypeError) as e:
        getattr(Command, factory)(*args)
    assert str(e.value) == f"argument '{param}': '{got}' object cannot be converted to '{want}'"


def test_module_layout():
    assert quelvant_rs.__all__ == ["sum_as_string", "client", "commands"]
    assert "values" not in quelvant_rs.__all__ and quelvant_rs.values is V
    assert quelvant_rs.client.__all__ == ["QuelvantClient", "sum_as_string"]
    assert quelvant_rs.commands.__all__ == ["Command"]
    for name in VALUE_NAMES:
        assert isinstance(getattr(V, name), type)
        for mod in (quelvant_rs, quelvant_rs.client, quelvant_rs.commands):
            assert not hasattr(mod, name), (mod, name)
