// Arbitrary bytes as the message of each host method's channel, through the
// handlers the plugin installs and the Pigeon codec with its custom types. For any
// input: the handler replies exactly once; a message that does not decode gets the
// empty reply and reaches no method; a method with arguments is called exactly
// when its argument list holds strings where it expects them, and with those
// strings; every reply decodes as a one-element success or a three-element error;
// and whatever decodes re-encodes to bytes that decode and re-encode to themselves.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plugin/pigeon_api.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
using tovra_windows_vpn::ErrorOr;
using tovra_windows_vpn::FlutterError;

// Keeps the handlers the host API installs, so the fuzzer can call them.
class CapturingMessenger : public flutter::BinaryMessenger {
 public:
  void Send(const std::string&, const uint8_t*, size_t, flutter::BinaryReply) const override {}
  void SetMessageHandler(const std::string& channel,
                         flutter::BinaryMessageHandler handler) override {
    handlers[channel] = std::move(handler);
  }
  std::map<std::string, flutter::BinaryMessageHandler> handlers;
};

// Records what each method received and answers at once, with a value or an error.
class RecordingApi : public tovra_windows_vpn::TovraWindowsVpnHostApi {
 public:
  int calls = 0;
  std::vector<std::string> args;
  bool answer_error = false;

  template <typename T>
  void Answer(std::function<void(ErrorOr<T>)>& result) {
    ++calls;
    if (answer_error) {
      result(FlutterError("fuzz", "answered with an error", EncodableValue(int32_t{7})));
    } else {
      result(T{});
    }
  }
  void IsAvailable(std::function<void(ErrorOr<bool>)> r) override { Answer(r); }
  void GetHealth(std::function<void(ErrorOr<tovra_windows_vpn::TovraNativeHealth>)> r) override {
    Answer(r);
  }
  void GetAgentHealth(
      std::function<void(ErrorOr<tovra_windows_vpn::TovraAgentHealth>)> r) override {
    Answer(r);
  }
  void GetServiceHealth(
      std::function<void(ErrorOr<tovra_windows_vpn::TovraServiceHealth>)> r) override {
    Answer(r);
  }
  void StartEvents(std::function<void(std::optional<FlutterError>)> r) override {
    ++calls;
    r(answer_error ? std::optional<FlutterError>(FlutterError("fuzz")) : std::nullopt);
  }
  void StartWireGuard(
      const std::string& config,
      std::function<void(ErrorOr<tovra_windows_vpn::TovraWireGuardStatus>)> r) override {
    args = {config};
    Answer(r);
  }
  void StopWireGuard(
      std::function<void(ErrorOr<tovra_windows_vpn::TovraWireGuardStatus>)> r) override {
    Answer(r);
  }
  void WireGuardStatus(
      std::function<void(ErrorOr<tovra_windows_vpn::TovraWireGuardStatus>)> r) override {
    Answer(r);
  }
  void GetOpenVpnCapabilities(
      std::function<void(ErrorOr<tovra_windows_vpn::TovraOpenVpnCapabilities>)> r) override {
    Answer(r);
  }
  void StartOpenVpn(
      const std::string& config, const std::string& username, const std::string& password,
      std::function<void(ErrorOr<tovra_windows_vpn::TovraOpenVpnStatus>)> r) override {
    args = {config, username, password};
    Answer(r);
  }
  void StopOpenVpn(std::function<void(ErrorOr<tovra_windows_vpn::TovraOpenVpnStatus>)> r) override {
    Answer(r);
  }
  void GetOpenVpnStatus(
      std::function<void(ErrorOr<tovra_windows_vpn::TovraOpenVpnStatus>)> r) override {
    Answer(r);
  }
};

struct Method {
  const char* name;
  size_t string_args;
};

// The methods with argument lists come up more often than the others.
constexpr Method kMethods[] = {
    {"isAvailable", 0},      {"getHealth", 0},       {"getAgentHealth", 0},
    {"getServiceHealth", 0}, {"startEvents", 0},     {"startWireGuard", 1},
    {"stopWireGuard", 0},    {"wireGuardStatus", 0}, {"getOpenVpnCapabilities", 0},
    {"startOpenVpn", 3},     {"stopOpenVpn", 0},     {"getOpenVpnStatus", 0},
    {"startWireGuard", 1},   {"startOpenVpn", 3},    {"startWireGuard", 1},
    {"startOpenVpn", 3}};

// Custom values order by identity, as in the published wrapper, so a map keyed by
// one writes its entries in allocation order: its bytes are not stable.
bool HasCustomMapKey(const EncodableValue& value, bool in_key = false) {
  if (std::holds_alternative<flutter::CustomEncodableValue>(value)) return in_key;
  if (const auto* list = std::get_if<EncodableList>(&value)) {
    for (const EncodableValue& item : *list) {
      if (HasCustomMapKey(item, in_key)) return true;
    }
  }
  if (const auto* map = std::get_if<flutter::EncodableMap>(&value)) {
    for (const auto& [key, item] : *map) {
      if (HasCustomMapKey(key, true) || HasCustomMapKey(item, in_key)) return true;
    }
  }
  return false;
}

void CheckRoundTrip(const flutter::StandardMessageCodec& codec, const EncodableValue& value) {
  const std::unique_ptr<std::vector<uint8_t>> encoded = codec.EncodeMessage(value);
  const std::unique_ptr<EncodableValue> again = codec.DecodeMessage(*encoded);
  if (!again) std::abort();
  if (!HasCustomMapKey(value) && *codec.EncodeMessage(*again) != *encoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Method& method = kMethods[data[0] & 15];
  CapturingMessenger messenger;
  RecordingApi api;
  api.answer_error = (data[0] & 0x80) != 0;
  tovra_windows_vpn::TovraWindowsVpnHostApi::SetUp(&messenger, &api);
  const auto handler =
      messenger.handlers.find(std::string(tovra_windows_vpn::kHostChannelPrefix) + method.name);
  if (handler == messenger.handlers.end() || messenger.handlers.size() != 12) std::abort();

  // An exact-size heap copy, so ASan sees any over-read.
  std::vector<uint8_t> message(data + 1, data + size);
  message.shrink_to_fit();
  int replies = 0;
  std::vector<uint8_t> reply;
  handler->second(message.data(), message.size(), [&](const uint8_t* bytes, size_t count) {
    ++replies;
    reply.assign(bytes, bytes + count);
  });
  if (replies != 1) std::abort();

  const flutter::StandardMessageCodec& codec = tovra_windows_vpn::PigeonCodec();
  const std::unique_ptr<EncodableValue> decoded = codec.DecodeMessage(message);
  if (!decoded) {
    if (!reply.empty() || api.calls != 0) std::abort();
    return 0;
  }
  CheckRoundTrip(codec, *decoded);

  // The method runs exactly when the argument list holds strings where it expects them.
  const auto* list = std::get_if<EncodableList>(decoded.get());
  bool arguments_usable = true;
  if (method.string_args > 0) {
    arguments_usable = list && list->size() >= method.string_args;
    for (size_t i = 0; arguments_usable && i < method.string_args; ++i) {
      arguments_usable = std::holds_alternative<std::string>((*list)[i]);
    }
  }
  if (api.calls != (arguments_usable ? 1 : 0)) std::abort();
  for (size_t i = 0; arguments_usable && i < method.string_args; ++i) {
    if (api.args.size() != method.string_args || api.args[i] != std::get<std::string>((*list)[i]))
      std::abort();
  }

  const std::unique_ptr<EncodableValue> answer = codec.DecodeMessage(reply);
  const auto* answer_list = answer ? std::get_if<EncodableList>(answer.get()) : nullptr;
  if (!answer_list) std::abort();
  const bool error_reply = !arguments_usable || api.answer_error;
  if (answer_list->size() != (error_reply ? 3u : 1u)) std::abort();
  if (error_reply && !std::holds_alternative<std::string>((*answer_list)[0])) std::abort();
  CheckRoundTrip(codec, *answer);
  return 0;
}
