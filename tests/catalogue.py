"""The expected command set, kept apart from the C++ tables so tests check one against the other.

Each command: (factory, variant, params). Each param: P(name, kind, key, optional, default).
key None means the value is written positionally after one space; otherwise " <key>=<value>".
default is what gets written when None is passed (None: nothing is written).
"""

from __future__ import annotations

from typing import NamedTuple


class P(NamedTuple):
    name: str
    kind: str
    key: str | None = None
    optional: bool = False
    default: object = None


def opt(name: str, kind: str, key: str, default: object = None) -> P:
    return P(name, kind, key, True, default)


def rid(name: str = "resource_id") -> P:
    return P(name, "u32")


class Cmd(NamedTuple):
    factory: str
    variant: str
    params: tuple[P, ...]


_ID_ONLY = "rid"

_TABLE: list[tuple[str, str, object]] = [
    ("protocol_version", "ProtocolVersion", ()),
    ("get_version", "GetVersion", ()),
    ("login", "Login", (
        P("username", "text"), P("password", "text"),
        P("major", "u8", None, True, 2), P("minor", "u8", None, True, 3),
        P("revision", "u8", None, True))),
    ("logout", "Logout", ()),
    ("quit", "Quit", ()),
    ("resource_create_frontend", "ResourceCreateFrontEnd", (
        opt("reg_incoming_ani", "text", "RegIncomingANI"),
        opt("reg_incoming_dnis", "text", "RegIncomingDNIS"),
        opt("reg_incoming_rdn", "text", "RegIncomingRDN"),
        opt("accepting", "bool", "Accepting"))),
    ("resource_create_player", "ResourceCreatePlayer", ()),
    ("resource_create_recorder", "ResourceCreateRecorder", ()),
    ("resource_create_transport_channel", "ResourceCreateTransportChannel", (P("transport_type", "text"),)),
    ("resource_create_rtp_channel", "ResourceCreateRtpChannel", (
        opt("in_band_dtmf_enabled", "bool", "InBandDTMFEnabled"),)),
    ("resource_create_sound_device", "ResourceCreateSoundDevice", (
        P("direction", "text", "Direction"),
        opt("device", "text", "Device"), opt("buffers", "u8", "Buffers"))),
    ("resource_create_fax", "ResourceCreateFax", ()),
    ("resource_create_document", "ResourceCreateDocument", ()),
    ("resource_delete", "ResourceDelete", _ID_ONLY),
    ("resource_get_status", "ResourceGetStatus", _ID_ONLY),
    ("call_make", "CallMake", (
        rid(), P("address", "text"),
        opt("timeout", "u32", "TimeOut", 30000),
        opt("caller_number", "text", "CallerNumber"), opt("caller_name", "text", "CallerName"),
        opt("privacy", "u8", "Privacy", 0), opt("screen", "u8", "Screen", 1))),
    ("call_answer", "CallAnswer", _ID_ONLY),
    ("call_clear", "CallClear", (rid(), opt("reason", "text", "Reason"))),
    ("call_transfer_consultation", "CallTransferConsultation", (rid("resource_id1"), rid("resource_id2"))),
    ("call_transfer_blind", "CallTransferBlind", (
        rid(), P("address", "text"), opt("use_h450", "u8", "UseH450", 1))),
    ("call_hold", "CallHold", _ID_ONLY),
    ("call_retrieve", "CallRetrieve", _ID_ONLY),
    ("call_send_dtmf", "CallSendDTMF", (
        rid(), P("dtmf_string", "text"),
        opt("duration", "u32", "Duration", 300), opt("delay", "u32", "Delay", 200),
        opt("pause_duration", "u32", "PauseDuration", 2000))),
    ("call_stop_activity", "CallStopActivity", _ID_ONLY),
    ("call_t38_relay", "CallT38Relay", (rid("resource_id1"), rid("resource_id2"))),
    ("calls_set_alerting_type", "CallsSetAlertingType", (rid(), P("alerting_type", "text"))),
    ("calls_set_accepting", "CallsSetAccepting", (rid(), P("accepting", "bool"))),
    ("play_file", "PlayFile", (
        rid(), P("file_name", "text"),
        opt("audio_type", "AudioFormatType", "Type"), opt("sample_rate", "u16", "SampleRate"),
        opt("channels", "Channels", "Channels"), opt("index", "u32", "Index"),
        opt("skip_bytes", "i64", "SkipBytes"))),
    ("play_stream", "PlayStream", (
        rid("player_id"), rid("transport_channel_id"),
        opt("audio_type", "AudioFormatType", "Type"), opt("sample_rate", "u16", "SampleRate"),
        opt("buffer_optimum_size", "u32", "BufferOptimumSize"))),
    ("play_tone", "PlayTone", (
        rid(), opt("frequency", "u16", "Frequency"), opt("frequency2", "u16", "Frequency2"),
        opt("tone", "ToneType", "Tone"), opt("volume", "u8", "Volume"),
        opt("duration", "u16", "Duration"))),
    ("play_stop", "PlayStop", _ID_ONLY),
    ("recorder_start_to_file", "RecorderStartToFile", (
        rid(), P("file_name", "text"),
        opt("audio_type", "AudioFormatType", "Type"), opt("sample_rate", "u16", "SampleRate"),
        opt("channels", "Channels", "Channels"), opt("file_offset", "i64", "FileOffset"),
        opt("max_duration", "u32", "MaxDuration"), opt("max_silence", "u32", "MaxSilence"),
        opt("voice_trigger", "bool", "VoiceTrigger"), opt("pause_if_empty", "bool", "PauseIfEmpty"))),
    ("recorder_start_to_stream", "RecorderStartToStream", (
        rid("recorder_id"), rid("transport_channel_id"),
        opt("audio_type", "AudioFormatType", "Type"), opt("sample_rate", "u16", "SampleRate"),
        opt("max_duration", "u32", "MaxDuration"), opt("max_silence", "u32", "MaxSilence"),
        opt("voice_trigger", "bool", "VoiceTrigger"), opt("pause_if_empty", "bool", "PauseIfEmpty"))),
    ("recorder_stop", "RecorderStop", _ID_ONLY),
    ("rtp_channel_start_receiving", "RtpChannelStartReceiving", (
        rid(),
        opt("sender_control_address", "text", "SenderControlAddress"),
        opt("receiver_data_address", "text", "ReceiverDataAddress"),
        opt("receiver_control_address", "text", "ReceiverControlAddress"),
        opt("payload_type", "PayloadType", "PayloadType"),
        opt("rfc2833_payload_type", "u8", "RFC2833PayloadType"),
        opt("rtp_session_id", "u8", "RtpSessionId"),
        opt("jitter_buffer_length_min", "u16", "JitterBufferLengthMin"),
        opt("jitter_buffer_length_max", "u16", "JitterBufferLengthMax"))),
    ("rtp_channel_start_sending", "RtpChannelStartSending", (
        rid(), P("receiver_data_address", "text"),
        opt("receiver_control_address", "text", "ReceiverControlAddress"),
        opt("sender_data_address", "text", "SenderDataAddress"),
        opt("sender_control_address", "text", "SenderControlAddress"),
        opt("payload_type", "PayloadType", "PayloadType"),
        opt("rfc2833_payload_type", "u8", "RFC2833PayloadType"),
        opt("rtp_session_id", "u8", "RtpSessionId"))),
    ("rtp_channel_stop", "RtpChannelStop", _ID_ONLY),
    ("rtp_channel_send_dtmf", "RtpChannelSendDTMF", (
        rid(), P("dtmf_string", "text"),
        opt("duration", "u32", "Duration"), opt("delay", "u32", "Delay"),
        opt("pause_duration", "u32", "PauseDuration"))),
    ("sound_device_start", "SoundDeviceStart", _ID_ONLY),
    ("sound_device_stop", "SoundDeviceStop", _ID_ONLY),
    ("fax_receive", "FaxReceive", (
        rid("fax_resource_id"), rid("frontend_resource_id"), rid("document_resource_id"),
        opt("fax_mode", "ConstantWithDescription", "FaxMode"),
        opt("use_ecm", "ECM", "UseECM"), opt("csi", "text", "CSI"))),
    ("fax_send", "FaxSend", (
        rid("fax_resource_id"), rid("frontend_resource_id"), rid("document_resource_id"),
        opt("speed", "ConstantWithDescription", "Speed"),
        opt("use_ecm", "ECM", "UseECM"), opt("header", "text", "Header"), opt("tsi", "text", "TSI"))),
    ("fax_abort", "FaxAbort", _ID_ONLY),
    ("document_add_file", "DocumentAddFile", (
        rid(), P("file_path", "text"),
        opt("transformation", "ConstantWithDescription", "Transformation"))),
    ("document_prepare", "DocumentPrepare", (
        rid(), opt("paper_size", "ConstantWithDescription", "PaperSize"),
        opt("resolution", "ConstantWithDescription", "Resolution"))),
    ("document_save", "DocumentSave", (
        rid(), P("file_path", "text"), opt("multipage", "bool", "Multipage"),
        opt("document_type", "ConstantWithDescription", "DocumentType"))),
    ("document_clear", "DocumentClear", _ID_ONLY),
    ("audio_send", "AudioSend", (
        rid("source_resource_id"), rid("sink_resource_id"),
        opt("source_channel", "u8", "SourceChannel"), opt("sink_channel", "u8", "SinkChannel"),
        opt("volume", "i16", "Volume"), opt("auto_gain", "bool", "AutoGain"),
        opt("auto_gain_resolution", "u16", "AutoGainResolution"),
        opt("auto_gain_rise_time", "u16", "AutoGainRiseTime"),
        opt("auto_gain_fall_time", "u16", "AutoGainFallTime"),
        opt("auto_gain_kill_time", "u16", "AutoGainKillTime"))),
    ("audio_cancel", "AudioCancel", (rid("source_resource_id"), rid("sink_resource_id"))),
    ("audio_level_notification_send", "AudioLevelNotificationSend", (
        rid(), opt("resolution", "u16", "Resolution"),
        opt("voice_dead_band", "u16", "VoiceDeadBand"),
        opt("silence_dead_band", "u16", "SilenceDeadBand"),
        opt("adaptive_period", "u16", "AdaptivePeriod"),
        opt("voice_timer", "u16", "VoiceTimer"), opt("silence_timer", "u16", "SilenceTimer"))),
    ("audio_level_notification_cancel", "AudioLevelNotificationCancel", _ID_ONLY),
    ("in_band_signaling_detection_enable", "InBandSignalingDetectionEnable", _ID_ONLY),
    ("in_band_signaling_detection_disable", "InBandSignalingDetectionDisable", _ID_ONLY),
    ("get_rtp_statistics", "GetRtpStatistics", _ID_ONLY),
]

COMMANDS: list[Cmd] = [
    Cmd(f, v, (rid(),) if ps == _ID_ONLY else tuple(ps))  # type: ignore[arg-type]
    for f, v, ps in _TABLE
]
BY_FACTORY = {c.factory: c for c in COMMANDS}

# Inclusive ranges of the integer kinds.
INT_RANGES = {
    "u8": (0, 2**8 - 1),
    "u16": (0, 2**16 - 1),
    "i16": (-(2**15), 2**15 - 1),
    "u32": (0, 2**32 - 1),
    "i64": (-(2**63), 2**63 - 1),
}

# Class name a wrong-typed argument is reported against.
TARGET_NAME = {
    "text": "PyString",
    "bool": "PyBool",
    "ECM": "ECM",
    "Channels": "Channels",
    "AudioFormatType": "AudioFormatType",
    "PayloadType": "PayloadType",
    "ToneType": "ToneType",
    "ConstantWithDescription": "ConstantWithDescription",
}

assert len(COMMANDS) == 54


# --- sample arguments and their expected wire text -------------------------

def sample(kind: str, name: str = "x"):
    """A valid, non-trivial argument of the given kind and the text it must render as."""
    import quelvant_rs

    v = quelvant_rs.values
    table = {
        "text": (f"{name} a=b é", f"{name} a=b é"),
        "u8": (200, "200"),
        "u16": (60000, "60000"),
        "i16": (-300, "-300"),
        "u32": (4000000000, "4000000000"),
        "i64": (-5000000000, "-5000000000"),
        "bool": (True, "1"),
        "ECM": (v.ECM.ECM128, "128"),
        "Channels": (v.Channels.Stereo, "2"),
        "AudioFormatType": (v.AudioFormatType("PCM16"), "PCM16"),
        "PayloadType": (v.PayloadType("G711U"), "G711U"),
        "ToneType": (v.ToneType("Busy"), "Busy"),
        "ConstantWithDescription": (v.ConstantWithDescription("V17", "14400 bps"), "V17"),
    }
    return table[kind]


def piece(p: P, text: str | None) -> str:
    if text is None:
        return ""
    return f" {text}" if p.key is None else f" {p.key}={text}"


def expected_line(cmd: Cmd, texts: dict[str, str | None]) -> str:
    """The line for the given rendered texts; a None text falls back to the default."""
    out = cmd.variant
    for p in cmd.params:
        t = texts.get(p.name)
        if t is None and p.default is not None:
            t = str(p.default)
        out += piece(p, t)
    return out


def minimal_args(cmd: Cmd) -> tuple[dict, dict]:
    """Args with every optional None; returns (kwargs, rendered texts)."""
    kwargs, texts = {}, {}
    for p in cmd.params:
        if p.optional:
            kwargs[p.name], texts[p.name] = None, None
        else:
            kwargs[p.name], texts[p.name] = sample(p.kind, p.name)
    return kwargs, texts


def full_args(cmd: Cmd) -> tuple[dict, dict]:
    """Args with every parameter given a sample value."""
    kwargs, texts = {}, {}
    for p in cmd.params:
        kwargs[p.name], texts[p.name] = sample(p.kind, p.name)
    return kwargs, texts
