"""The 54 commands as literal golden lines, written from the protocol's description and kept
apart from the module's tables: every test that renders a command checks it against these.

A row gives the factory; its line with every argument at the top of its kind; its line with
every argument that takes None given None and the rest at the bottom of their kinds (0, the
least number, "", False); and the arguments at the top, by name in signature order, Opt()
around those that take None. The lines are written in pieces split at "|": the command word,
then one piece per argument ("" where it writes nothing). So each argument's piece stands
alone, and the line of any mix of top, bottom and other values follows from the two.
"""

from __future__ import annotations

import operator
from typing import NamedTuple

import quelvant_rs

V = quelvant_rs.values
ECM, Channels = V.ECM, V.Channels
U8, U16, I16, U32, I64 = 2**8 - 1, 2**16 - 1, 2**15 - 1, 2**32 - 1, 2**63 - 1
KINDS = {U8: "u8", U16: "u16", I16: "i16", U32: "u32", I64: "i64"}  # an integer's kind, by its top
INT_RANGES = {"u8": (0, U8), "u16": (0, U16), "i16": (-(2**15), I16), "u32": (0, U32), "i64": (-(2**63), I64)}
# The class a wrong-typed argument is reported against, where it is not the value class itself.
TARGET_NAME = {"text": "PyString", "bool": "PyBool"}

# The text each value record stands as on the line, by id (the objects are kept alive here).
WIRE: dict[int, tuple[object, str]] = {}


def value(cls, text: str, *rest: str):
    """A value record whose text on the line is known."""
    obj = cls(text, *rest)
    WIRE[id(obj)] = (obj, text)
    return obj


def cwd(constant: str, description: str):
    return value(V.ConstantWithDescription, constant, description)


AUDIO, PAYLOAD, TONE = value(V.AudioFormatType, "PCM16"), value(V.PayloadType, "G711U"), value(V.ToneType, "Busy")


def wire_text(v) -> str:
    """What a valid argument stands as on the line."""
    if isinstance(v, str):
        return str.__str__(v)
    if id(v) in WIRE:
        return WIRE[id(v)][1]
    if type(v).__name__ in ("bool", "bool_"):  # and NumPy's
        return "1" if v else "0"
    if type(v) in (ECM, Channels):
        return str(int(v))
    return str(operator.index(v))


class Opt(NamedTuple):
    top: object


class Param(NamedTuple):
    name: str
    kind: str  # text, bool, u8, u16, i16, u32, i64, or the value class's name
    optional: bool


class Golden(NamedTuple):
    factory: str
    top: dict  # every argument at the top of its kind
    low: dict  # None where it is taken, else at the bottom of its kind
    top_pieces: tuple[str, ...]
    low_pieces: tuple[str, ...]

    @property
    def variant(self) -> str:
        return self.top_pieces[0]

    @property
    def method(self) -> str:
        """The per-command method's name: ProtocolVersion's is get_protocol_version."""
        return "get_protocol_version" if self.factory == "protocol_version" else self.factory

    @property
    def params(self) -> list[Param]:
        return [Param(n, kind_of(v), self.low[n] is None) for n, v in self.top.items()]

    def line(self, **values) -> str:
        """The line of a call with these arguments by name, the rest at the bottom."""
        out = self.variant
        for (name, top), top_piece, low_piece in zip(self.top.items(), self.top_pieces[1:], self.low_pieces[1:]):
            v = values.get(name, self.low[name])
            out += low_piece if v is None else top_piece.removesuffix(wire_text(top)) + wire_text(v)
        return out


def kind_of(top) -> str:
    if isinstance(top, (str, bool)):
        return {str: "text", bool: "bool"}[type(top)]
    return KINDS[top] if isinstance(top, int) else type(top).__name__


def bottom(top):
    kind = kind_of(top)
    return {"text": "", "bool": False}.get(kind, INT_RANGES[kind][0] if kind in INT_RANGES else top)


def G(factory: str, top_line: str, low_line: str | None = None, **args) -> Golden:
    top = {n: a.top if isinstance(a, Opt) else a for n, a in args.items()}
    low = {n: None if isinstance(a, Opt) else bottom(a) for n, a in args.items()}
    g = Golden(factory, top, low, tuple(top_line.split("|")), tuple((low_line or top_line).split("|")))
    # The rows check each other: a piece ends with its value, and the bottom's piece is the top's
    # with the bottom's value.
    assert len(g.top_pieces) == len(g.low_pieces) == 1 + len(args), factory
    for (name, v), top_piece in zip(top.items(), g.top_pieces[1:]):
        assert top_piece.endswith(wire_text(v)), (factory, name)
        assert low[name] is None or g.line(**{name: low[name]}) == "".join(g.low_pieces), (factory, name)
    return g


GOLDEN = [
    G("protocol_version", "ProtocolVersion"),
    G("get_version", "GetVersion"),
    G("login", "Login| é1| é2| 255| 255| 255", "Login| | | 2| 3|", username="é1", password="é2",
      major=Opt(U8), minor=Opt(U8), revision=Opt(U8)),
    G("logout", "Logout"),
    G("quit", "Quit"),
    G("resource_create_frontend",
      "ResourceCreateFrontEnd| RegIncomingANI=é1| RegIncomingDNIS=é2| RegIncomingRDN=é3| Accepting=1",
      "ResourceCreateFrontEnd||||", reg_incoming_ani=Opt("é1"), reg_incoming_dnis=Opt("é2"),
      reg_incoming_rdn=Opt("é3"), accepting=Opt(True)),
    G("resource_create_player", "ResourceCreatePlayer"),
    G("resource_create_recorder", "ResourceCreateRecorder"),
    G("resource_create_transport_channel", "ResourceCreateTransportChannel| é1",
      "ResourceCreateTransportChannel| ", transport_type="é1"),
    G("resource_create_rtp_channel", "ResourceCreateRtpChannel| InBandDTMFEnabled=1",
      "ResourceCreateRtpChannel|", in_band_dtmf_enabled=Opt(True)),
    G("resource_create_sound_device", "ResourceCreateSoundDevice| Direction=é1| Device=é2| Buffers=255",
      "ResourceCreateSoundDevice| Direction=||", direction="é1", device=Opt("é2"), buffers=Opt(U8)),
    G("resource_create_fax", "ResourceCreateFax"),
    G("resource_create_document", "ResourceCreateDocument"),
    G("resource_delete", "ResourceDelete| 4294967295", "ResourceDelete| 0", resource_id=U32),
    G("resource_get_status", "ResourceGetStatus| 4294967295", "ResourceGetStatus| 0", resource_id=U32),
    G("call_make", "CallMake| 4294967295| é1| TimeOut=4294967295| CallerNumber=é2| CallerName=é3| Privacy=255"
      "| Screen=255", "CallMake| 0| | TimeOut=30000||| Privacy=0| Screen=1", resource_id=U32, address="é1",
      timeout=Opt(U32), caller_number=Opt("é2"), caller_name=Opt("é3"), privacy=Opt(U8), screen=Opt(U8)),
    G("call_answer", "CallAnswer| 4294967295", "CallAnswer| 0", resource_id=U32),
    G("call_clear", "CallClear| 4294967295| Reason=é1", "CallClear| 0|", resource_id=U32, reason=Opt("é1")),
    G("call_transfer_consultation", "CallTransferConsultation| 4294967295| 4294967295",
      "CallTransferConsultation| 0| 0", resource_id1=U32, resource_id2=U32),
    G("call_transfer_blind", "CallTransferBlind| 4294967295| é1| UseH450=255",
      "CallTransferBlind| 0| | UseH450=1", resource_id=U32, address="é1", use_h450=Opt(U8)),
    G("call_hold", "CallHold| 4294967295", "CallHold| 0", resource_id=U32),
    G("call_retrieve", "CallRetrieve| 4294967295", "CallRetrieve| 0", resource_id=U32),
    G("call_send_dtmf",
      "CallSendDTMF| 4294967295| é1| Duration=4294967295| Delay=4294967295| PauseDuration=4294967295",
      "CallSendDTMF| 0| | Duration=300| Delay=200| PauseDuration=2000", resource_id=U32, dtmf_string="é1",
      duration=Opt(U32), delay=Opt(U32), pause_duration=Opt(U32)),
    G("call_stop_activity", "CallStopActivity| 4294967295", "CallStopActivity| 0", resource_id=U32),
    G("call_t38_relay", "CallT38Relay| 4294967295| 4294967295", "CallT38Relay| 0| 0", resource_id1=U32,
      resource_id2=U32),
    G("calls_set_alerting_type", "CallsSetAlertingType| 4294967295| é1", "CallsSetAlertingType| 0| ",
      resource_id=U32, alerting_type="é1"),
    G("calls_set_accepting", "CallsSetAccepting| 4294967295| 1", "CallsSetAccepting| 0| 0", resource_id=U32,
      accepting=True),
    G("play_file", "PlayFile| 4294967295| é1| Type=PCM16| SampleRate=65535| Channels=2| Index=4294967295"
      "| SkipBytes=9223372036854775807", "PlayFile| 0| |||||", resource_id=U32, file_name="é1",
      audio_type=Opt(AUDIO), sample_rate=Opt(U16), channels=Opt(Channels.Stereo), index=Opt(U32),
      skip_bytes=Opt(I64)),
    G("play_stream",
      "PlayStream| 4294967295| 4294967295| Type=PCM16| SampleRate=65535| BufferOptimumSize=4294967295",
      "PlayStream| 0| 0|||", player_id=U32, transport_channel_id=U32, audio_type=Opt(AUDIO),
      sample_rate=Opt(U16), buffer_optimum_size=Opt(U32)),
    G("play_tone",
      "PlayTone| 4294967295| Frequency=65535| Frequency2=65535| Tone=Busy| Volume=255| Duration=65535",
      "PlayTone| 0|||||", resource_id=U32, frequency=Opt(U16), frequency2=Opt(U16), tone=Opt(TONE),
      volume=Opt(U8), duration=Opt(U16)),
    G("play_stop", "PlayStop| 4294967295", "PlayStop| 0", resource_id=U32),
    G("recorder_start_to_file",
      "RecorderStartToFile| 4294967295| é1| Type=PCM16| SampleRate=65535| Channels=2"
      "| FileOffset=9223372036854775807| MaxDuration=4294967295| MaxSilence=4294967295| VoiceTrigger=1"
      "| PauseIfEmpty=1", "RecorderStartToFile| 0| ||||||||", resource_id=U32, file_name="é1",
      audio_type=Opt(AUDIO), sample_rate=Opt(U16), channels=Opt(Channels.Stereo), file_offset=Opt(I64),
      max_duration=Opt(U32), max_silence=Opt(U32), voice_trigger=Opt(True), pause_if_empty=Opt(True)),
    G("recorder_start_to_stream",
      "RecorderStartToStream| 4294967295| 4294967295| Type=PCM16| SampleRate=65535"
      "| MaxDuration=4294967295| MaxSilence=4294967295| VoiceTrigger=1| PauseIfEmpty=1",
      "RecorderStartToStream| 0| 0||||||", recorder_id=U32, transport_channel_id=U32, audio_type=Opt(AUDIO),
      sample_rate=Opt(U16), max_duration=Opt(U32), max_silence=Opt(U32), voice_trigger=Opt(True),
      pause_if_empty=Opt(True)),
    G("recorder_stop", "RecorderStop| 4294967295", "RecorderStop| 0", resource_id=U32),
    G("rtp_channel_start_receiving",
      "RtpChannelStartReceiving| 4294967295| SenderControlAddress=é1| ReceiverDataAddress=é2"
      "| ReceiverControlAddress=é3| PayloadType=G711U| RFC2833PayloadType=255| RtpSessionId=255"
      "| JitterBufferLengthMin=65535| JitterBufferLengthMax=65535", "RtpChannelStartReceiving| 0||||||||",
      resource_id=U32, sender_control_address=Opt("é1"), receiver_data_address=Opt("é2"),
      receiver_control_address=Opt("é3"), payload_type=Opt(PAYLOAD), rfc2833_payload_type=Opt(U8),
      rtp_session_id=Opt(U8), jitter_buffer_length_min=Opt(U16), jitter_buffer_length_max=Opt(U16)),
    G("rtp_channel_start_sending",
      "RtpChannelStartSending| 4294967295| é1| ReceiverControlAddress=é2| SenderDataAddress=é3"
      "| SenderControlAddress=é4| PayloadType=G711U| RFC2833PayloadType=255| RtpSessionId=255",
      "RtpChannelStartSending| 0| ||||||", resource_id=U32, receiver_data_address="é1",
      receiver_control_address=Opt("é2"), sender_data_address=Opt("é3"), sender_control_address=Opt("é4"),
      payload_type=Opt(PAYLOAD), rfc2833_payload_type=Opt(U8), rtp_session_id=Opt(U8)),
    G("rtp_channel_stop", "RtpChannelStop| 4294967295", "RtpChannelStop| 0", resource_id=U32),
    G("rtp_channel_send_dtmf", "RtpChannelSendDTMF| 4294967295| é1| Duration=4294967295| Delay=4294967295"
      "| PauseDuration=4294967295", "RtpChannelSendDTMF| 0| |||", resource_id=U32, dtmf_string="é1",
      duration=Opt(U32), delay=Opt(U32), pause_duration=Opt(U32)),
    G("sound_device_start", "SoundDeviceStart| 4294967295", "SoundDeviceStart| 0", resource_id=U32),
    G("sound_device_stop", "SoundDeviceStop| 4294967295", "SoundDeviceStop| 0", resource_id=U32),
    G("fax_receive", "FaxReceive| 4294967295| 4294967295| 4294967295| FaxMode=T38| UseECM=128| CSI=é1",
      "FaxReceive| 0| 0| 0|||", fax_resource_id=U32, frontend_resource_id=U32, document_resource_id=U32,
      fax_mode=Opt(cwd("T38", "over IP")), use_ecm=Opt(ECM.ECM128), csi=Opt("é1")),
    G("fax_send", "FaxSend| 4294967295| 4294967295| 4294967295| Speed=V17| UseECM=128| Header=é1| TSI=é2",
      "FaxSend| 0| 0| 0||||", fax_resource_id=U32, frontend_resource_id=U32, document_resource_id=U32,
      speed=Opt(cwd("V17", "14400 bps")), use_ecm=Opt(ECM.ECM128), header=Opt("é1"), tsi=Opt("é2")),
    G("fax_abort", "FaxAbort| 4294967295", "FaxAbort| 0", resource_id=U32),
    G("document_add_file", "DocumentAddFile| 4294967295| é1| Transformation=Rotate", "DocumentAddFile| 0| |",
      resource_id=U32, file_path="é1", transformation=Opt(cwd("Rotate", "90 degrees"))),
    G("document_prepare", "DocumentPrepare| 4294967295| PaperSize=A4| Resolution=Fine", "DocumentPrepare| 0||",
      resource_id=U32, paper_size=Opt(cwd("A4", "210x297")), resolution=Opt(cwd("Fine", "204x196"))),
    G("document_save", "DocumentSave| 4294967295| é1| Multipage=1| DocumentType=TIFF", "DocumentSave| 0| ||",
      resource_id=U32, file_path="é1", multipage=Opt(True), document_type=Opt(cwd("TIFF", "multipage"))),
    G("document_clear", "DocumentClear| 4294967295", "DocumentClear| 0", resource_id=U32),
    G("audio_send",
      "AudioSend| 4294967295| 4294967295| SourceChannel=255| SinkChannel=255| Volume=32767| AutoGain=1"
      "| AutoGainResolution=65535| AutoGainRiseTime=65535| AutoGainFallTime=65535| AutoGainKillTime=65535",
      "AudioSend| 0| 0||||||||", source_resource_id=U32, sink_resource_id=U32, source_channel=Opt(U8),
      sink_channel=Opt(U8), volume=Opt(I16), auto_gain=Opt(True), auto_gain_resolution=Opt(U16),
      auto_gain_rise_time=Opt(U16), auto_gain_fall_time=Opt(U16), auto_gain_kill_time=Opt(U16)),
    G("audio_cancel", "AudioCancel| 4294967295| 4294967295", "AudioCancel| 0| 0", source_resource_id=U32,
      sink_resource_id=U32),
    G("audio_level_notification_send",
      "AudioLevelNotificationSend| 4294967295| Resolution=65535| VoiceDeadBand=65535"
      "| SilenceDeadBand=65535| AdaptivePeriod=65535| VoiceTimer=65535| SilenceTimer=65535",
      "AudioLevelNotificationSend| 0||||||", resource_id=U32, resolution=Opt(U16), voice_dead_band=Opt(U16),
      silence_dead_band=Opt(U16), adaptive_period=Opt(U16), voice_timer=Opt(U16), silence_timer=Opt(U16)),
    G("audio_level_notification_cancel", "AudioLevelNotificationCancel| 4294967295",
      "AudioLevelNotificationCancel| 0", resource_id=U32),
    G("in_band_signaling_detection_enable", "InBandSignalingDetectionEnable| 4294967295",
      "InBandSignalingDetectionEnable| 0", resource_id=U32),
    G("in_band_signaling_detection_disable", "InBandSignalingDetectionDisable| 4294967295",
      "InBandSignalingDetectionDisable| 0", resource_id=U32),
    G("get_rtp_statistics", "GetRtpStatistics| 4294967295", "GetRtpStatistics| 0", resource_id=U32),
]
BY_FACTORY = {g.factory: g for g in GOLDEN}
assert len(GOLDEN) == 54
