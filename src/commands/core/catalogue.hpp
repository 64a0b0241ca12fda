#pragma once
// The 54 protocol commands as data. Rendering, Python factories, variant and record classes
// and the client's per-command methods are all generic code walking this table; a new
// command is one new entry below.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "commands/core/kinds.hpp"

namespace qv {

inline constexpr std::size_t kMaxFields = 10;

struct Field {
  std::string_view name;  // Python argument name
  Kind kind = Kind::Text;
  bool optional = false;
  // Written before the value: " " for a positional value, " Key=" for a keyed one.
  std::string_view prefix = " ";
  bool has_default = false;  // a None argument stores `default_value` instead of "absent"
  std::int64_t default_value = 0;
};

// A mandatory positional value.
constexpr Field arg(std::string_view name, Kind kind) { return {name, kind, false, " "}; }
// A mandatory value written with its key.
constexpr Field keyed(std::string_view name, Kind kind, std::string_view prefix) {
  return {name, kind, false, prefix};
}
// An optional value (`None` in Python, absent on the line), optionally defaulted by factories.
constexpr Field opt(std::string_view name, Kind kind, std::string_view prefix) {
  return {name, kind, true, prefix};
}
constexpr Field opt(std::string_view name, Kind kind, std::string_view prefix, std::int64_t dflt) {
  return {name, kind, true, prefix, true, dflt};
}

// What a client method raises when its send fails.
enum class OnSendFailure : std::uint8_t {
  Raise,        // the send's own exception, unchanged
  PanicTodo,    // internal failure "TODO: panic message: ..."
  PanicNamed,   // internal failure "<method> failed: ..."
};

// How a client method obtains its arguments.
enum class MethodArgs : std::uint8_t {
  AsFactory,    // the factory's argument list
  Credentials,  // none: the first two fields come from the client's user name and password
};

struct Variant {
  std::string_view name;     // protocol word, variant and record class name
  std::string_view factory;  // static factory on Command
  std::string_view method;   // client method
  OnSendFailure on_failure;
  MethodArgs method_args;
  std::array<Field, kMaxFields> fields{};
  std::size_t field_count = 0;

  constexpr Variant(std::string_view n, std::string_view f, OnSendFailure fail,
                    std::initializer_list<Field> fs, std::string_view m = {},
                    MethodArgs margs = MethodArgs::AsFactory)
      : name(n), factory(f), method(m.empty() ? f : m), on_failure(fail), method_args(margs) {
    for (const Field& field : fs) fields[field_count++] = field;
  }
};

namespace detail {
constexpr auto build_catalogue() {
  using enum Kind;
  using enum OnSendFailure;
  return std::to_array<Variant>({
      // Connection
      {"ProtocolVersion", "protocol_version", PanicTodo, {}, "get_protocol_version"},
      {"GetVersion", "get_version", PanicTodo, {}},
      {"Login", "login", PanicTodo,
       {arg("username", Text), arg("password", Text), opt("major", U8, " ", 2),
        opt("minor", U8, " ", 3), opt("revision", U8, " ")},
       {}, MethodArgs::Credentials},
      {"Logout", "logout", PanicTodo, {}},
      {"Quit", "quit", PanicTodo, {}},
      // Resource creation and housekeeping
      {"ResourceCreateFrontEnd", "resource_create_frontend", PanicTodo,
       {opt("reg_incoming_ani", Text, " RegIncomingANI="),
        opt("reg_incoming_dnis", Text, " RegIncomingDNIS="),
        opt("reg_incoming_rdn", Text, " RegIncomingRDN="), opt("accepting", Bool, " Accepting=")}},
      {"ResourceCreatePlayer", "resource_create_player", PanicTodo, {}},
      {"ResourceCreateRecorder", "resource_create_recorder", PanicTodo, {}},
      {"ResourceCreateTransportChannel", "resource_create_transport_channel", PanicTodo,
       {arg("transport_type", Text)}},
      {"ResourceCreateRtpChannel", "resource_create_rtp_channel", PanicTodo,
       {opt("in_band_dtmf_enabled", Bool, " InBandDTMFEnabled=")}},
      {"ResourceCreateSoundDevice", "resource_create_sound_device", PanicTodo,
       {keyed("direction", Text, " Direction="), opt("device", Text, " Device="),
        opt("buffers", U8, " Buffers=")}},
      {"ResourceCreateFax", "resource_create_fax", PanicTodo, {}},
      {"ResourceCreateDocument", "resource_create_document", PanicTodo, {}},
      {"ResourceDelete", "resource_delete", PanicTodo, {arg("resource_id", U32)}},
      {"ResourceGetStatus", "resource_get_status", PanicTodo, {arg("resource_id", U32)}},
      // Call control
      {"CallMake", "call_make", PanicNamed,
       {arg("resource_id", U32), arg("address", Text), opt("timeout", U32, " TimeOut=", 30000),
        opt("caller_number", Text, " CallerNumber="), opt("caller_name", Text, " CallerName="),
        opt("privacy", U8, " Privacy=", 0), opt("screen", U8, " Screen=", 1)}},
      {"CallAnswer", "call_answer", PanicNamed, {arg("resource_id", U32)}},
      {"CallClear", "call_clear", PanicNamed,
       {arg("resource_id", U32), opt("reason", Text, " Reason=")}},
      {"CallTransferConsultation", "call_transfer_consultation", PanicNamed,
       {arg("resource_id1", U32), arg("resource_id2", U32)}},
      {"CallTransferBlind", "call_transfer_blind", PanicNamed,
       {arg("resource_id", U32), arg("address", Text), opt("use_h450", U8, " UseH450=", 1)}},
      {"CallHold", "call_hold", PanicNamed, {arg("resource_id", U32)}},
      {"CallRetrieve", "call_retrieve", PanicNamed, {arg("resource_id", U32)}},
      {"CallSendDTMF", "call_send_dtmf", PanicNamed,
       {arg("resource_id", U32), arg("dtmf_string", Text), opt("duration", U32, " Duration=", 300),
        opt("delay", U32, " Delay=", 200), opt("pause_duration", U32, " PauseDuration=", 2000)}},
      {"CallStopActivity", "call_stop_activity", PanicNamed, {arg("resource_id", U32)}},
      {"CallT38Relay", "call_t38_relay", PanicNamed,
       {arg("resource_id1", U32), arg("resource_id2", U32)}},
      {"CallsSetAlertingType", "calls_set_alerting_type", PanicNamed,
       {arg("resource_id", U32), arg("alerting_type", Text)}},
      {"CallsSetAccepting", "calls_set_accepting", PanicNamed,
       {arg("resource_id", U32), arg("accepting", Bool)}},
      // Media
      {"PlayFile", "play_file", Raise,
       {arg("resource_id", U32), arg("file_name", Text), opt("audio_type", AudioFormatType, " Type="),
        opt("sample_rate", U16, " SampleRate="), opt("channels", Channels, " Channels="),
        opt("index", U32, " Index="), opt("skip_bytes", I64, " SkipBytes=")}},
      {"PlayStream", "play_stream", Raise,
       {arg("player_id", U32), arg("transport_channel_id", U32),
        opt("audio_type", AudioFormatType, " Type="), opt("sample_rate", U16, " SampleRate="),
        opt("buffer_optimum_size", U32, " BufferOptimumSize=")}},
      {"PlayTone", "play_tone", Raise,
       {arg("resource_id", U32), opt("frequency", U16, " Frequency="),
        opt("frequency2", U16, " Frequency2="), opt("tone", ToneType, " Tone="),
        opt("volume", U8, " Volume="), opt("duration", U16, " Duration=")}},
      {"PlayStop", "play_stop", Raise, {arg("resource_id", U32)}},
      {"RecorderStartToFile", "recorder_start_to_file", Raise,
       {arg("resource_id", U32), arg("file_name", Text), opt("audio_type", AudioFormatType, " Type="),
        opt("sample_rate", U16, " SampleRate="), opt("channels", Channels, " Channels="),
        opt("file_offset", I64, " FileOffset="), opt("max_duration", U32, " MaxDuration="),
        opt("max_silence", U32, " MaxSilence="), opt("voice_trigger", Bool, " VoiceTrigger="),
        opt("pause_if_empty", Bool, " PauseIfEmpty=")}},
      {"RecorderStartToStream", "recorder_start_to_stream", Raise,
       {arg("recorder_id", U32), arg("transport_channel_id", U32),
        opt("audio_type", AudioFormatType, " Type="), opt("sample_rate", U16, " SampleRate="),
        opt("max_duration", U32, " MaxDuration="), opt("max_silence", U32, " MaxSilence="),
        opt("voice_trigger", Bool, " VoiceTrigger="), opt("pause_if_empty", Bool, " PauseIfEmpty=")}},
      {"RecorderStop", "recorder_stop", Raise, {arg("resource_id", U32)}},
      // RTP
      {"RtpChannelStartReceiving", "rtp_channel_start_receiving", Raise,
       {arg("resource_id", U32), opt("sender_control_address", Text, " SenderControlAddress="),
        opt("receiver_data_address", Text, " ReceiverDataAddress="),
        opt("receiver_control_address", Text, " ReceiverControlAddress="),
        opt("payload_type", PayloadType, " PayloadType="),
        opt("rfc2833_payload_type", U8, " RFC2833PayloadType="),
        opt("rtp_session_id", U8, " RtpSessionId="),
        opt("jitter_buffer_length_min", U16, " JitterBufferLengthMin="),
        opt("jitter_buffer_length_max", U16, " JitterBufferLengthMax=")}},
      {"RtpChannelStartSending", "rtp_channel_start_sending", Raise,
       {arg("resource_id", U32), arg("receiver_data_address", Text),
        opt("receiver_control_address", Text, " ReceiverControlAddress="),
        opt("sender_data_address", Text, " SenderDataAddress="),
        opt("sender_control_address", Text, " SenderControlAddress="),
        opt("payload_type", PayloadType, " PayloadType="),
        opt("rfc2833_payload_type", U8, " RFC2833PayloadType="),
        opt("rtp_session_id", U8, " RtpSessionId=")}},
      {"RtpChannelStop", "rtp_channel_stop", Raise, {arg("resource_id", U32)}},
      {"RtpChannelSendDTMF", "rtp_channel_send_dtmf", Raise,
       {arg("resource_id", U32), arg("dtmf_string", Text), opt("duration", U32, " Duration="),
        opt("delay", U32, " Delay="), opt("pause_duration", U32, " PauseDuration=")}},
      // Sound devices
      {"SoundDeviceStart", "sound_device_start", Raise, {arg("resource_id", U32)}},
      {"SoundDeviceStop", "sound_device_stop", Raise, {arg("resource_id", U32)}},
      // Fax
      {"FaxReceive", "fax_receive", Raise,
       {arg("fax_resource_id", U32), arg("frontend_resource_id", U32),
        arg("document_resource_id", U32), opt("fax_mode", ConstantWithDescription, " FaxMode="),
        opt("use_ecm", Ecm, " UseECM="), opt("csi", Text, " CSI=")}},
      {"FaxSend", "fax_send", Raise,
       {arg("fax_resource_id", U32), arg("frontend_resource_id", U32),
        arg("document_resource_id", U32), opt("speed", ConstantWithDescription, " Speed="),
        opt("use_ecm", Ecm, " UseECM="), opt("header", Text, " Header="), opt("tsi", Text, " TSI=")}},
      {"FaxAbort", "fax_abort", Raise, {arg("resource_id", U32)}},
      // Fax documents
      {"DocumentAddFile", "document_add_file", Raise,
       {arg("resource_id", U32), arg("file_path", Text),
        opt("transformation", ConstantWithDescription, " Transformation=")}},
      {"DocumentPrepare", "document_prepare", Raise,
       {arg("resource_id", U32), opt("paper_size", ConstantWithDescription, " PaperSize="),
        opt("resolution", ConstantWithDescription, " Resolution=")}},
      {"DocumentSave", "document_save", Raise,
       {arg("resource_id", U32), arg("file_path", Text), opt("multipage", Bool, " Multipage="),
        opt("document_type", ConstantWithDescription, " DocumentType=")}},
      {"DocumentClear", "document_clear", Raise, {arg("resource_id", U32)}},
      // Audio routing and detection
      {"AudioSend", "audio_send", Raise,
       {arg("source_resource_id", U32), arg("sink_resource_id", U32),
        opt("source_channel", U8, " SourceChannel="), opt("sink_channel", U8, " SinkChannel="),
        opt("volume", I16, " Volume="), opt("auto_gain", Bool, " AutoGain="),
        opt("auto_gain_resolution", U16, " AutoGainResolution="),
        opt("auto_gain_rise_time", U16, " AutoGainRiseTime="),
        opt("auto_gain_fall_time", U16, " AutoGainFallTime="),
        opt("auto_gain_kill_time", U16, " AutoGainKillTime=")}},
      {"AudioCancel", "audio_cancel", Raise,
       {arg("source_resource_id", U32), arg("sink_resource_id", U32)}},
      {"AudioLevelNotificationSend", "audio_level_notification_send", Raise,
       {arg("resource_id", U32), opt("resolution", U16, " Resolution="),
        opt("voice_dead_band", U16, " VoiceDeadBand="),
        opt("silence_dead_band", U16, " SilenceDeadBand="),
        opt("adaptive_period", U16, " AdaptivePeriod="), opt("voice_timer", U16, " VoiceTimer="),
        opt("silence_timer", U16, " SilenceTimer=")}},
      {"AudioLevelNotificationCancel", "audio_level_notification_cancel", Raise,
       {arg("resource_id", U32)}},
      {"InBandSignalingDetectionEnable", "in_band_signaling_detection_enable", Raise,
       {arg("resource_id", U32)}},
      {"InBandSignalingDetectionDisable", "in_band_signaling_detection_disable", Raise,
       {arg("resource_id", U32)}},
      {"GetRtpStatistics", "get_rtp_statistics", Raise, {arg("resource_id", U32)}},
  });
}
}  // namespace detail

inline constexpr auto kCatalogue = detail::build_catalogue();
inline constexpr std::size_t kVariantCount = kCatalogue.size();
static_assert(kVariantCount == 54, "the protocol has 54 commands");
static_assert(kVariantCount <= 256, "a command's variant is stored in one byte");

// The variant whose protocol word is `word`; naming a word the catalogue lacks fails the build.
consteval std::size_t variant_named(std::string_view word) {
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    if (kCatalogue[i].name == word) return i;
  }
  throw "no command has this word";  // not a constant expression: the build stops here
}
inline constexpr std::size_t kLoginVariant = variant_named("Login");

// Client methods are registered get_version first, then get_protocol_version, then the rest in
// catalogue order.
inline constexpr std::array<std::uint8_t, kVariantCount> kClientMethodOrder = [] {
  std::array<std::uint8_t, kVariantCount> order{};
  order[0] = 1;
  order[1] = 0;
  for (std::size_t i = 2; i < kVariantCount; ++i) order[i] = static_cast<std::uint8_t>(i);
  return order;
}();

}  // namespace qv
