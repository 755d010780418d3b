// The plugin's Dart-facing surface in the shape Pigeon's C++ output has: the codec
// with the custom types, FlutterError/ErrorOr, the host API with its twelve
// channels and the Flutter API with onNativeEvent. Channel names, list orders and
// type bytes are what the Dart side depends on.
#pragma once

#include <flutter/basic_message_channel.h>
#include <flutter/binary_messenger.h>
#include <flutter/encodable_value.h>
#include <flutter/standard_message_codec.h>

#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "plugin/plugin_rules.h"

namespace tovra_windows_vpn {

class FlutterError {
 public:
  explicit FlutterError(const std::string& code) : code_(code) {}
  FlutterError(const std::string& code, const std::string& message)
      : code_(code), message_(message) {}
  FlutterError(const std::string& code, const std::string& message,
               const flutter::EncodableValue& details)
      : code_(code), message_(message), details_(details) {}

  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  const flutter::EncodableValue& details() const { return details_; }

 private:
  std::string code_;
  std::string message_;
  flutter::EncodableValue details_;
};

template <class T>
class ErrorOr {
 public:
  ErrorOr(const T& rhs) : v_(rhs) {}
  ErrorOr(const T&& rhs) : v_(std::move(rhs)) {}
  ErrorOr(const FlutterError& rhs) : v_(rhs) {}
  ErrorOr(const FlutterError&& rhs) : v_(std::move(rhs)) {}

  bool has_error() const { return std::holds_alternative<FlutterError>(v_); }
  const T& value() const { return std::get<T>(v_); }
  const FlutterError& error() const { return std::get<FlutterError>(v_); }
  T TakeValue() && { return std::get<T>(std::move(v_)); }

 private:
  std::variant<T, FlutterError> v_;
};

// Custom type bytes, enums first, then data classes.
enum PigeonTypeByte : uint8_t {
  kTypeComponentState = 129,
  kTypeNativeErrorKind = 130,
  kTypeTriState = 131,
  kTypeOpenVpnState = 132,
  kTypeOpenVpnErrorKind = 133,
  kTypeVersionInfo = 134,
  kTypeNativeHealth = 135,
  kTypeAgentHealth = 136,
  kTypeServiceHealth = 137,
  kTypeWireGuardStatus = 138,
  kTypeOpenVpnCapabilities = 139,
  kTypeOpenVpnStatus = 140,
  kTypeNativeEvent = 141,
};

// Field lists of the data classes, in wire order.
flutter::EncodableList ToEncodableList(const TovraVersionInfo& v);
flutter::EncodableList ToEncodableList(const TovraNativeHealth& v);
flutter::EncodableList ToEncodableList(const TovraAgentHealth& v);
flutter::EncodableList ToEncodableList(const TovraServiceHealth& v);
flutter::EncodableList ToEncodableList(const TovraWireGuardStatus& v);
flutter::EncodableList ToEncodableList(const TovraOpenVpnCapabilities& v);
flutter::EncodableList ToEncodableList(const TovraOpenVpnStatus& v);
flutter::EncodableList ToEncodableList(const TovraNativeEvent& v);

class PigeonInternalCodecSerializer : public flutter::StandardCodecSerializer {
 public:
  PigeonInternalCodecSerializer() = default;
  static const PigeonInternalCodecSerializer& GetInstance() {
    static PigeonInternalCodecSerializer instance;
    return instance;
  }
  void WriteValue(const flutter::EncodableValue& value,
                  flutter::ByteStreamWriter* stream) const override;

 protected:
  flutter::EncodableValue ReadValueOfType(uint8_t type,
                                          flutter::ByteStreamReader* stream) const override;
};

const flutter::StandardMessageCodec& PigeonCodec();

// The host API. Every operation replies exactly once through `result`, from any
// thread.
class TovraWindowsVpnHostApi {
 public:
  TovraWindowsVpnHostApi(const TovraWindowsVpnHostApi&) = delete;
  TovraWindowsVpnHostApi& operator=(const TovraWindowsVpnHostApi&) = delete;
  virtual ~TovraWindowsVpnHostApi() {}

  virtual void IsAvailable(std::function<void(ErrorOr<bool> reply)> result) = 0;
  virtual void GetHealth(std::function<void(ErrorOr<TovraNativeHealth> reply)> result) = 0;
  virtual void GetAgentHealth(std::function<void(ErrorOr<TovraAgentHealth> reply)> result) = 0;
  virtual void GetServiceHealth(std::function<void(ErrorOr<TovraServiceHealth> reply)> result) = 0;
  virtual void StartEvents(std::function<void(std::optional<FlutterError> reply)> result) = 0;
  virtual void StartWireGuard(const std::string& config,
                              std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) = 0;
  virtual void StopWireGuard(std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) = 0;
  virtual void WireGuardStatus(std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) = 0;
  virtual void GetOpenVpnCapabilities(
      std::function<void(ErrorOr<TovraOpenVpnCapabilities> reply)> result) = 0;
  virtual void StartOpenVpn(const std::string& config, const std::string& username,
                            const std::string& password,
                            std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) = 0;
  virtual void StopOpenVpn(std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) = 0;
  virtual void GetOpenVpnStatus(std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) = 0;

  static const flutter::StandardMessageCodec& GetCodec() { return PigeonCodec(); }
  // Installs the twelve channel handlers (or removes them when `api` is null).
  static void SetUp(flutter::BinaryMessenger* binary_messenger, TovraWindowsVpnHostApi* api,
                    const std::string& message_channel_suffix = "");
  static flutter::EncodableValue WrapError(std::string_view error_message);
  static flutter::EncodableValue WrapError(const FlutterError& error);

 protected:
  TovraWindowsVpnHostApi() = default;
};

inline constexpr char kHostChannelPrefix[] =
    "dev.flutter.pigeon.tovra_windows_vpn.TovraWindowsVpnHostApi.";
inline constexpr char kOnNativeEventChannel[] =
    "dev.flutter.pigeon.tovra_windows_vpn.TovraWindowsVpnFlutterApi.onNativeEvent";

class TovraWindowsVpnFlutterApi {
 public:
  explicit TovraWindowsVpnFlutterApi(flutter::BinaryMessenger* binary_messenger,
                                     const std::string& message_channel_suffix = "");
  void OnNativeEvent(const TovraNativeEvent& event, std::function<void(void)>&& on_success,
                     std::function<void(const FlutterError&)>&& on_error);

 private:
  flutter::BinaryMessenger* binary_messenger_;
  std::string message_channel_suffix_;
};

}  // namespace tovra_windows_vpn
