#include "plugin/pigeon_api.h"

#include <stdexcept>

namespace tovra_windows_vpn {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;

namespace {

template <typename Enum>
EncodableValue EnumValue(Enum e) {
  return CustomEncodableValue(e);
}

EncodableList StringList(const std::vector<std::string>& list) {
  EncodableList out;
  out.reserve(list.size());
  for (const auto& s : list) out.emplace_back(s);
  return out;
}

}  // namespace

EncodableList ToEncodableList(const TovraVersionInfo& v) {
  return {EncodableValue(v.protocol), EncodableValue(v.version),
          EncodableValue(StringList(v.capabilities))};
}

EncodableList ToEncodableList(const TovraNativeHealth& v) {
  return {EnumValue(v.state),
          EncodableValue(v.protocol),
          EncodableValue(v.version),
          EncodableValue(v.session_id),
          EncodableValue(v.agent_connected),
          EncodableValue(v.service_connected),
          EnumValue(v.last_error)};
}

EncodableList ToEncodableList(const TovraAgentHealth& v) {
  return {EnumValue(v.state), CustomEncodableValue(v.version), EncodableValue(v.session_id),
          EncodableValue(v.generation), EncodableValue(v.service_connected)};
}

EncodableList ToEncodableList(const TovraServiceHealth& v) {
  return {EnumValue(v.state), CustomEncodableValue(v.version), EncodableValue(v.generation),
          EncodableValue(v.uptime_seconds)};
}

EncodableList ToEncodableList(const TovraWireGuardStatus& v) {
  return {
      EnumValue(v.state),         EncodableValue(v.adapter_present),   EncodableValue(v.rx_bytes),
      EncodableValue(v.tx_bytes), EncodableValue(v.last_handshake_ms), EncodableValue(v.error)};
}

EncodableList ToEncodableList(const TovraOpenVpnCapabilities& v) {
  return {EnumValue(v.open_vpn_found),
          EncodableValue(v.open_vpn_version),
          EnumValue(v.interactive_service_installed),
          EnumValue(v.interactive_service_running),
          EnumValue(v.spare1),
          EnumValue(v.spare2)};
}

EncodableList ToEncodableList(const TovraOpenVpnStatus& v) {
  return {EnumValue(v.state),
          EncodableValue(v.active),
          EncodableValue(v.bytes_in),
          EncodableValue(v.bytes_out),
          EncodableValue(v.connected_since_ms),
          EnumValue(v.error_kind),
          EncodableValue(v.attempt_id)};
}

EncodableList ToEncodableList(const TovraNativeEvent& v) {
  return {EncodableValue(v.type), EncodableValue(v.detail), EncodableValue(v.timestamp_ms)};
}

// ---- codec ----

namespace {

template <typename Enum>
bool WriteEnum(const std::any& a, uint8_t type, const PigeonInternalCodecSerializer& s,
               flutter::ByteStreamWriter* stream) {
  if (a.type() != typeid(Enum)) return false;
  stream->WriteByte(type);
  s.WriteValue(EncodableValue(static_cast<int32_t>(std::any_cast<Enum>(a))), stream);
  return true;
}

template <typename Class>
bool WriteClass(const std::any& a, uint8_t type, const PigeonInternalCodecSerializer& s,
                flutter::ByteStreamWriter* stream) {
  if (a.type() != typeid(Class)) return false;
  stream->WriteByte(type);
  s.WriteValue(EncodableValue(ToEncodableList(std::any_cast<const Class&>(a))), stream);
  return true;
}

template <typename Enum>
EncodableValue ReadEnum(const EncodableValue& v) {
  if (v.IsNull()) return EncodableValue();
  if (!std::holds_alternative<int32_t>(v) && !std::holds_alternative<int64_t>(v)) {
    return EncodableValue();
  }
  return CustomEncodableValue(static_cast<Enum>(v.LongValue()));
}

// Field readers for incoming data classes. A field of the wrong type makes the
// whole value unreadable (null), never an exception inside the codec.
struct Fields {
  const EncodableList* list;
  bool ok = true;

  const EncodableValue* At(size_t i) {
    if (list == nullptr || i >= list->size()) {
      ok = false;
      return nullptr;
    }
    return &(*list)[i];
  }
  int64_t Int(size_t i) {
    const EncodableValue* v = At(i);
    if (v && (std::holds_alternative<int32_t>(*v) || std::holds_alternative<int64_t>(*v))) {
      return v->LongValue();
    }
    ok = false;
    return 0;
  }
  bool Bool(size_t i) {
    const EncodableValue* v = At(i);
    if (v && std::holds_alternative<bool>(*v)) return std::get<bool>(*v);
    ok = false;
    return false;
  }
  std::string String(size_t i) {
    const EncodableValue* v = At(i);
    if (v && std::holds_alternative<std::string>(*v)) return std::get<std::string>(*v);
    ok = false;
    return {};
  }
  template <typename T>
  T Custom(size_t i) {
    const EncodableValue* v = At(i);
    if (v && std::holds_alternative<CustomEncodableValue>(*v)) {
      const std::any& a = std::get<CustomEncodableValue>(*v);
      if (a.type() == typeid(T)) return std::any_cast<T>(a);
    }
    ok = false;
    return T{};
  }
  std::vector<std::string> Strings(size_t i) {
    const EncodableValue* v = At(i);
    std::vector<std::string> out;
    if (!v || !std::holds_alternative<EncodableList>(*v)) {
      ok = false;
      return out;
    }
    for (const auto& e : std::get<EncodableList>(*v)) {
      if (!std::holds_alternative<std::string>(e)) {
        ok = false;
        return {};
      }
      out.push_back(std::get<std::string>(e));
    }
    return out;
  }
};

template <typename Class>
EncodableValue ReadClass(const EncodableValue& v);

template <>
EncodableValue ReadClass<TovraVersionInfo>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraVersionInfo r{f.Int(0), f.String(1), f.Strings(2)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

template <>
EncodableValue ReadClass<TovraNativeHealth>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraNativeHealth r{
      f.Custom<TovraComponentState>(0), f.Int(1), f.String(2), f.Int(3), f.Bool(4), f.Bool(5),
      f.Custom<TovraNativeErrorKind>(6)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

template <>
EncodableValue ReadClass<TovraAgentHealth>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraAgentHealth r{f.Custom<TovraComponentState>(0), f.Custom<TovraVersionInfo>(1), f.Int(2),
                     f.String(3), f.Bool(4)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

template <>
EncodableValue ReadClass<TovraServiceHealth>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraServiceHealth r{f.Custom<TovraComponentState>(0), f.Custom<TovraVersionInfo>(1), f.String(2),
                       f.Int(3)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

template <>
EncodableValue ReadClass<TovraWireGuardStatus>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraWireGuardStatus r{
      f.Custom<TovraComponentState>(0), f.Bool(1), f.Int(2), f.Int(3), f.Int(4), f.Int(5)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

template <>
EncodableValue ReadClass<TovraOpenVpnCapabilities>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraOpenVpnCapabilities r{f.Custom<TovraTriState>(0), f.String(1),
                             f.Custom<TovraTriState>(2), f.Custom<TovraTriState>(3),
                             f.Custom<TovraTriState>(4), f.Custom<TovraTriState>(5)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

template <>
EncodableValue ReadClass<TovraOpenVpnStatus>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraOpenVpnStatus r{f.Custom<TovraOpenVpnState>(0),     f.Bool(1), f.Int(2), f.Int(3), f.Int(4),
                       f.Custom<TovraOpenVpnErrorKind>(5), f.Int(6)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

template <>
EncodableValue ReadClass<TovraNativeEvent>(const EncodableValue& v) {
  Fields f{std::get_if<EncodableList>(&v)};
  TovraNativeEvent r{f.String(0), f.String(1), f.Int(2)};
  return f.ok ? EncodableValue(CustomEncodableValue(r)) : EncodableValue();
}

}  // namespace

void PigeonInternalCodecSerializer::WriteValue(const EncodableValue& value,
                                               flutter::ByteStreamWriter* stream) const {
  if (const auto* custom = std::get_if<CustomEncodableValue>(&value)) {
    const std::any& a = *custom;
    if (WriteEnum<TovraComponentState>(a, kTypeComponentState, *this, stream) ||
        WriteEnum<TovraNativeErrorKind>(a, kTypeNativeErrorKind, *this, stream) ||
        WriteEnum<TovraTriState>(a, kTypeTriState, *this, stream) ||
        WriteEnum<TovraOpenVpnState>(a, kTypeOpenVpnState, *this, stream) ||
        WriteEnum<TovraOpenVpnErrorKind>(a, kTypeOpenVpnErrorKind, *this, stream) ||
        WriteClass<TovraVersionInfo>(a, kTypeVersionInfo, *this, stream) ||
        WriteClass<TovraNativeHealth>(a, kTypeNativeHealth, *this, stream) ||
        WriteClass<TovraAgentHealth>(a, kTypeAgentHealth, *this, stream) ||
        WriteClass<TovraServiceHealth>(a, kTypeServiceHealth, *this, stream) ||
        WriteClass<TovraWireGuardStatus>(a, kTypeWireGuardStatus, *this, stream) ||
        WriteClass<TovraOpenVpnCapabilities>(a, kTypeOpenVpnCapabilities, *this, stream) ||
        WriteClass<TovraOpenVpnStatus>(a, kTypeOpenVpnStatus, *this, stream) ||
        WriteClass<TovraNativeEvent>(a, kTypeNativeEvent, *this, stream)) {
      return;
    }
  }
  flutter::StandardCodecSerializer::WriteValue(value, stream);
}

EncodableValue PigeonInternalCodecSerializer::ReadValueOfType(
    uint8_t type, flutter::ByteStreamReader* stream) const {
  switch (type) {
    case kTypeComponentState:
      return ReadEnum<TovraComponentState>(ReadValue(stream));
    case kTypeNativeErrorKind:
      return ReadEnum<TovraNativeErrorKind>(ReadValue(stream));
    case kTypeTriState:
      return ReadEnum<TovraTriState>(ReadValue(stream));
    case kTypeOpenVpnState:
      return ReadEnum<TovraOpenVpnState>(ReadValue(stream));
    case kTypeOpenVpnErrorKind:
      return ReadEnum<TovraOpenVpnErrorKind>(ReadValue(stream));
    case kTypeVersionInfo:
      return ReadClass<TovraVersionInfo>(ReadValue(stream));
    case kTypeNativeHealth:
      return ReadClass<TovraNativeHealth>(ReadValue(stream));
    case kTypeAgentHealth:
      return ReadClass<TovraAgentHealth>(ReadValue(stream));
    case kTypeServiceHealth:
      return ReadClass<TovraServiceHealth>(ReadValue(stream));
    case kTypeWireGuardStatus:
      return ReadClass<TovraWireGuardStatus>(ReadValue(stream));
    case kTypeOpenVpnCapabilities:
      return ReadClass<TovraOpenVpnCapabilities>(ReadValue(stream));
    case kTypeOpenVpnStatus:
      return ReadClass<TovraOpenVpnStatus>(ReadValue(stream));
    case kTypeNativeEvent:
      return ReadClass<TovraNativeEvent>(ReadValue(stream));
    default:
      return flutter::StandardCodecSerializer::ReadValueOfType(type, stream);
  }
}

const flutter::StandardMessageCodec& PigeonCodec() {
  return flutter::StandardMessageCodec::GetInstance(&PigeonInternalCodecSerializer::GetInstance());
}

// ---- host API ----

EncodableValue TovraWindowsVpnHostApi::WrapError(std::string_view error_message) {
  return EncodableValue(EncodableList{EncodableValue(std::string(error_message)),
                                      EncodableValue("Error"), EncodableValue()});
}

EncodableValue TovraWindowsVpnHostApi::WrapError(const FlutterError& error) {
  return EncodableValue(EncodableList{EncodableValue(error.code()), EncodableValue(error.message()),
                                      error.details()});
}

namespace {

using Reply = flutter::MessageReply<EncodableValue>;

std::string ChannelName(const char* method, const std::string& suffix) {
  std::string name = std::string(kHostChannelPrefix) + method;
  if (!suffix.empty()) name += "." + suffix;
  return name;
}

// Wraps a result of type T as a one-element list (custom types as custom values).
template <typename T>
EncodableValue WrapValue(T&& v) {
  if constexpr (std::is_same_v<std::decay_t<T>, bool>) {
    return EncodableValue(EncodableList{EncodableValue(v)});
  } else {
    return EncodableValue(EncodableList{CustomEncodableValue(std::forward<T>(v))});
  }
}

template <typename T>
std::function<void(ErrorOr<T>)> ReplyWith(const Reply& reply) {
  return [reply](ErrorOr<T>&& output) {
    if (output.has_error()) {
      reply(TovraWindowsVpnHostApi::WrapError(output.error()));
      return;
    }
    reply(WrapValue(std::move(output).TakeValue()));
  };
}

const std::string& StringArg(const EncodableList& args, size_t index) {
  return std::get<std::string>(args.at(index));
}

// Installs one channel. `body` gets the decoded argument list and the reply; any
// exception it throws becomes the handler-error reply.
void Install(
    flutter::BinaryMessenger* messenger, const char* method, const std::string& suffix,
    TovraWindowsVpnHostApi* api,
    std::function<void(TovraWindowsVpnHostApi*, const EncodableValue&, const Reply&)> body) {
  flutter::BasicMessageChannel<> channel(messenger, ChannelName(method, suffix), &PigeonCodec());
  if (api == nullptr) {
    channel.SetMessageHandler(nullptr);
    return;
  }
  channel.SetMessageHandler([api, body](const EncodableValue& message, const Reply& reply) {
    try {
      body(api, message, reply);
    } catch (const std::exception& exception) {
      reply(TovraWindowsVpnHostApi::WrapError(exception.what()));
    }
  });
}

}  // namespace

void TovraWindowsVpnHostApi::SetUp(flutter::BinaryMessenger* m, TovraWindowsVpnHostApi* api,
                                   const std::string& suffix) {
  Install(m, "isAvailable", suffix, api, [](auto* a, const EncodableValue&, const Reply& reply) {
    a->IsAvailable(ReplyWith<bool>(reply));
  });
  Install(m, "getHealth", suffix, api, [](auto* a, const EncodableValue&, const Reply& reply) {
    a->GetHealth(ReplyWith<TovraNativeHealth>(reply));
  });
  Install(m, "getAgentHealth", suffix, api, [](auto* a, const EncodableValue&, const Reply& reply) {
    a->GetAgentHealth(ReplyWith<TovraAgentHealth>(reply));
  });
  Install(m, "getServiceHealth", suffix, api,
          [](auto* a, const EncodableValue&, const Reply& reply) {
            a->GetServiceHealth(ReplyWith<TovraServiceHealth>(reply));
          });
  Install(m, "startEvents", suffix, api, [](auto* a, const EncodableValue&, const Reply& reply) {
    a->StartEvents([reply](std::optional<FlutterError>&& error) {
      if (error) {
        reply(WrapError(*error));
        return;
      }
      reply(EncodableValue(EncodableList{EncodableValue()}));
    });
  });
  Install(m, "startWireGuard", suffix, api,
          [](auto* a, const EncodableValue& message, const Reply& reply) {
            const auto& args = std::get<EncodableList>(message);
            if (args.at(0).IsNull()) {
              reply(WrapError("config_arg unexpectedly null."));
              return;
            }
            a->StartWireGuard(StringArg(args, 0), ReplyWith<TovraWireGuardStatus>(reply));
          });
  Install(m, "stopWireGuard", suffix, api, [](auto* a, const EncodableValue&, const Reply& reply) {
    a->StopWireGuard(ReplyWith<TovraWireGuardStatus>(reply));
  });
  Install(m, "wireGuardStatus", suffix, api,
          [](auto* a, const EncodableValue&, const Reply& reply) {
            a->WireGuardStatus(ReplyWith<TovraWireGuardStatus>(reply));
          });
  Install(m, "getOpenVpnCapabilities", suffix, api,
          [](auto* a, const EncodableValue&, const Reply& reply) {
            a->GetOpenVpnCapabilities(ReplyWith<TovraOpenVpnCapabilities>(reply));
          });
  Install(m, "startOpenVpn", suffix, api,
          [](auto* a, const EncodableValue& message, const Reply& reply) {
            const auto& args = std::get<EncodableList>(message);
            static const char* const kNullMessages[] = {"config_arg unexpectedly null.",
                                                        "username_arg unexpectedly null.",
                                                        "password_arg unexpectedly null."};
            for (size_t i = 0; i < 3; ++i) {
              if (args.at(i).IsNull()) {
                reply(WrapError(kNullMessages[i]));
                return;
              }
            }
            a->StartOpenVpn(StringArg(args, 0), StringArg(args, 1), StringArg(args, 2),
                            ReplyWith<TovraOpenVpnStatus>(reply));
          });
  Install(m, "stopOpenVpn", suffix, api, [](auto* a, const EncodableValue&, const Reply& reply) {
    a->StopOpenVpn(ReplyWith<TovraOpenVpnStatus>(reply));
  });
  Install(m, "getOpenVpnStatus", suffix, api,
          [](auto* a, const EncodableValue&, const Reply& reply) {
            a->GetOpenVpnStatus(ReplyWith<TovraOpenVpnStatus>(reply));
          });
}

// ---- Flutter API ----

TovraWindowsVpnFlutterApi::TovraWindowsVpnFlutterApi(flutter::BinaryMessenger* binary_messenger,
                                                     const std::string& message_channel_suffix)
    : binary_messenger_(binary_messenger),
      message_channel_suffix_(message_channel_suffix.empty() ? "" : "." + message_channel_suffix) {}

void TovraWindowsVpnFlutterApi::OnNativeEvent(const TovraNativeEvent& event,
                                              std::function<void(void)>&& on_success,
                                              std::function<void(const FlutterError&)>&& on_error) {
  const std::string channel_name = std::string(kOnNativeEventChannel) + message_channel_suffix_;
  flutter::BasicMessageChannel<> channel(binary_messenger_, channel_name, &PigeonCodec());
  const EncodableValue message(EncodableList{CustomEncodableValue(event)});
  channel.Send(message, [channel_name, on_success = std::move(on_success),
                         on_error = std::move(on_error)](const uint8_t* reply, size_t reply_size) {
    std::unique_ptr<EncodableValue> decoded = PigeonCodec().DecodeMessage(reply, reply_size);
    const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
    if (list == nullptr) {
      on_error(FlutterError("channel-error",
                            "Unable to establish connection on channel: '" + channel_name + "'.",
                            EncodableValue("")));
      return;
    }
    if (list->size() > 1) {
      const auto* code = std::get_if<std::string>(&(*list)[0]);
      const auto* error_message = std::get_if<std::string>(&(*list)[1]);
      on_error(FlutterError(code ? *code : std::string(),
                            error_message ? *error_message : std::string(),
                            list->size() > 2 ? (*list)[2] : EncodableValue()));
      return;
    }
    on_success();
  });
}

}  // namespace tovra_windows_vpn
