#include "plugin/pigeon_api.h"

#include <gtest/gtest.h>

#include <map>

namespace tovra_windows_vpn {
namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using Bytes = std::vector<uint8_t>;

Bytes Encode(const EncodableValue& v) {
  return *PigeonCodec().EncodeMessage(v);
}
EncodableValue Decode(const Bytes& b) {
  auto v = PigeonCodec().DecodeMessage(b);
  return v ? *v : EncodableValue();
}

template <typename T>
T Custom(const EncodableValue& v) {
  return std::any_cast<T>(static_cast<const std::any&>(std::get<CustomEncodableValue>(v)));
}

void AppendLe(Bytes& b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

TEST(PigeonCodec, NativeHealthReplyBytes) {
  const TovraNativeHealth h = BuildNativeHealth(1, true, false, 4);
  const Bytes bytes = Encode(EncodableValue(EncodableList{CustomEncodableValue(h)}));
  Bytes expected = {0x0C, 0x01, 135, 0x0C, 0x07, 129, 0x03};
  AppendLe(expected, 2, 4);  // state up, as a nested int32
  expected.push_back(0x04);
  AppendLe(expected, 6, 8);                    // protocol, int64
  expected.insert(expected.end(), {0x07, 9});  // version text
  for (char c : std::string("0.1.0-w6a")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0x04);
  AppendLe(expected, 1, 8);                       // session id
  expected.insert(expected.end(), {0x01, 0x02});  // agentConnected true, serviceConnected false
  expected.insert(expected.end(), {130, 0x03});
  AppendLe(expected, 2, 4);  // last error: agent unavailable
  EXPECT_EQ(bytes, expected);
}

TEST(PigeonCodec, AgentHealthNestsVersionInfo) {
  TovraAgentHealth a{
      TovraComponentState::up, {6, "0.1.0-w6a", {"health"}}, 3, "7-0x00000001", true};
  const Bytes bytes = Encode(EncodableValue(EncodableList{CustomEncodableValue(a)}));
  ASSERT_GE(bytes.size(), 13u);
  EXPECT_EQ(bytes[2], 136);
  EXPECT_EQ(bytes[4], 5) << "five fields";
  EXPECT_EQ(bytes[5], 129);
  EXPECT_EQ(bytes[11], 134) << "the version info is its own custom type";
  EXPECT_EQ(bytes[12], 0x0C);
}

TEST(PigeonCodec, EveryTypeRoundTrips) {
  const TovraVersionInfo version{6, "0.1.0-w6a", {"a", "b"}};
  const std::vector<EncodableValue> values = {
      CustomEncodableValue(version),
      CustomEncodableValue(BuildNativeHealth(0xFFFFFFFF, false, true, 7)),
      CustomEncodableValue(TovraAgentHealth{TovraComponentState::reserved3, version, 1, "g", true}),
      CustomEncodableValue(TovraServiceHealth{TovraComponentState::down, version, "g", -1}),
      CustomEncodableValue(
          TovraWireGuardStatus{TovraComponentState::starting, true, INT64_MAX, 0, 5, 7}),
      CustomEncodableValue(TovraOpenVpnCapabilities{TovraTriState::yes, "2.6.14", TovraTriState::no,
                                                    TovraTriState::unknown, TovraTriState::unknown,
                                                    TovraTriState::unknown}),
      CustomEncodableValue(TovraOpenVpnStatus{TovraOpenVpnState::connected, true, 1, 2, 3,
                                              static_cast<TovraOpenVpnErrorKind>(16), 9}),
      CustomEncodableValue(TovraNativeEvent{"agentConnected", "", 1700000000000}),
  };
  for (size_t i = 0; i < values.size(); ++i) {
    const Bytes once = Encode(EncodableValue(EncodableList{values[i]}));
    const EncodableValue back = Decode(once);
    ASSERT_TRUE(std::holds_alternative<EncodableList>(back)) << i;
    const Bytes twice = Encode(back);
    EXPECT_EQ(once, twice) << "type " << i;
  }
  EXPECT_EQ(Custom<TovraWireGuardStatus>(std::get<EncodableList>(
                Decode(Encode(EncodableValue(EncodableList{values[4]}))))[0]),
            (TovraWireGuardStatus{TovraComponentState::starting, true, INT64_MAX, 0, 5, 7}));
}

TEST(PigeonCodec, EnumsReadNullAsNullAndAcceptBothIntWidths) {
  EXPECT_TRUE(Decode(Bytes{129, 0x00}).IsNull());
  Bytes int64_state = {131, 0x04};
  AppendLe(int64_state, 2, 8);
  EXPECT_EQ(Custom<TovraTriState>(Decode(int64_state)), TovraTriState::no);
  Bytes int32_state = {132, 0x03};
  AppendLe(int32_state, 10, 4);
  EXPECT_EQ(Custom<TovraOpenVpnState>(Decode(int32_state)), TovraOpenVpnState::connected);
  EXPECT_TRUE(Decode(Bytes{130, 0x07, 0x01, 'x'}).IsNull()) << "a text is no enum";
}

TEST(PigeonCodec, MalformedDataClassesReadAsNull) {
  // The fields of an event without its type byte stay a plain list.
  const EncodableValue plain(
      EncodableList{EncodableValue("t"), EncodableValue(""), EncodableValue("x")});
  EXPECT_EQ(Decode(Encode(plain)), plain);
  // A native event whose timestamp is a text, and one with a field missing.
  Bytes bad = {141, 0x0C, 0x03, 0x07, 0x01, 't', 0x07, 0x00, 0x07, 0x01, 'x'};
  EXPECT_TRUE(Decode(bad).IsNull());
  Bytes short_list = {141, 0x0C, 0x02, 0x07, 0x01, 't', 0x07, 0x00};
  EXPECT_TRUE(Decode(short_list).IsNull());
}

// ---- channel handlers over a recording messenger ----

class RecordingMessenger : public flutter::BinaryMessenger {
 public:
  void Send(const std::string& channel, const uint8_t* message, size_t size,
            flutter::BinaryReply reply) const override {
    sent.push_back({channel, Bytes(message, message + size)});
    if (reply) pending_replies.push_back(reply);
  }
  void SetMessageHandler(const std::string& channel,
                         flutter::BinaryMessageHandler handler) override {
    if (handler) {
      handlers[channel] = std::move(handler);
    } else {
      handlers.erase(channel);
    }
  }
  // Calls a host channel as Dart would and returns the decoded reply.
  EncodableValue Call(const std::string& method, const EncodableValue& args) {
    const Bytes message = Encode(args);
    EncodableValue result;
    bool replied = false;
    handlers.at(std::string(kHostChannelPrefix) + method)(
        message.data(), message.size(), [&](const uint8_t* data, size_t size) {
          replied = true;
          result = Decode(Bytes(data, data + size));
        });
    EXPECT_TRUE(replied) << method;
    return result;
  }

  mutable std::vector<std::pair<std::string, Bytes>> sent;
  mutable std::vector<flutter::BinaryReply> pending_replies;
  std::map<std::string, flutter::BinaryMessageHandler> handlers;
};

// Answers every call at once with fixed values; records what it was given.
class FixedApi : public TovraWindowsVpnHostApi {
 public:
  void IsAvailable(std::function<void(ErrorOr<bool>)> r) override { r(true); }
  void GetHealth(std::function<void(ErrorOr<TovraNativeHealth>)> r) override {
    r(BuildNativeHealth(1, true, true, 0));
  }
  void GetAgentHealth(std::function<void(ErrorOr<TovraAgentHealth>)> r) override {
    r(FlutterError("AGENT_UNAVAILABLE", ""));
  }
  void GetServiceHealth(std::function<void(ErrorOr<TovraServiceHealth>)>) override {
    throw std::runtime_error("boom");
  }
  void StartEvents(std::function<void(std::optional<FlutterError>)> r) override { r(std::nullopt); }
  void StartWireGuard(const std::string& config,
                      std::function<void(ErrorOr<TovraWireGuardStatus>)> r) override {
    last_config = config;
    r(TovraWireGuardStatus{});
  }
  void StopWireGuard(std::function<void(ErrorOr<TovraWireGuardStatus>)> r) override {
    r(TovraWireGuardStatus{});
  }
  void WireGuardStatus(std::function<void(ErrorOr<TovraWireGuardStatus>)> r) override {
    r(TovraWireGuardStatus{});
  }
  void GetOpenVpnCapabilities(std::function<void(ErrorOr<TovraOpenVpnCapabilities>)> r) override {
    r(TovraOpenVpnCapabilities{});
  }
  void StartOpenVpn(const std::string& c, const std::string& u, const std::string& p,
                    std::function<void(ErrorOr<TovraOpenVpnStatus>)> r) override {
    last_config = c + "|" + u + "|" + p;
    r(TovraOpenVpnStatus{});
  }
  void StopOpenVpn(std::function<void(ErrorOr<TovraOpenVpnStatus>)> r) override {
    r(TovraOpenVpnStatus{});
  }
  void GetOpenVpnStatus(std::function<void(ErrorOr<TovraOpenVpnStatus>)> r) override {
    r(TovraOpenVpnStatus{});
  }

  std::string last_config;
};

EncodableValue List(std::initializer_list<EncodableValue> items) {
  return EncodableValue(EncodableList(items));
}
EncodableValue HandlerError(const std::string& what) {
  return List({EncodableValue(what), EncodableValue("Error"), EncodableValue()});
}

TEST(HostChannels, ReplyShapes) {
  RecordingMessenger m;
  FixedApi api;
  TovraWindowsVpnHostApi::SetUp(&m, &api);
  EXPECT_EQ(m.handlers.size(), 12u);

  EXPECT_EQ(m.Call("isAvailable", List({})), List({EncodableValue(true)}));
  EXPECT_EQ(m.Call("startEvents", List({})), List({EncodableValue()}));
  EXPECT_EQ(m.Call("getAgentHealth", List({})),
            List({EncodableValue("AGENT_UNAVAILABLE"), EncodableValue(""), EncodableValue()}));
  EXPECT_EQ(m.Call("getServiceHealth", List({})), HandlerError("boom"));
  const EncodableValue health = m.Call("getHealth", List({}));
  ASSERT_EQ(std::get<EncodableList>(health).size(), 1u);
  EXPECT_TRUE(Custom<TovraNativeHealth>(std::get<EncodableList>(health)[0]).agent_connected);
}

TEST(HostChannels, ArgumentChecks) {
  RecordingMessenger m;
  FixedApi api;
  TovraWindowsVpnHostApi::SetUp(&m, &api);
  EXPECT_EQ(m.Call("startWireGuard", List({EncodableValue()})),
            HandlerError("config_arg unexpectedly null."));
  EXPECT_EQ(
      m.Call("startOpenVpn", List({EncodableValue("p"), EncodableValue(), EncodableValue("x")})),
      HandlerError("username_arg unexpectedly null."));
  EXPECT_EQ(
      m.Call("startOpenVpn", List({EncodableValue("p"), EncodableValue("u"), EncodableValue()})),
      HandlerError("password_arg unexpectedly null."));
  EXPECT_TRUE(api.last_config.empty()) << "the operation is not called";

  // A mistyped or missing argument is an error raised inside the handler.
  const auto mistyped =
      std::get<EncodableList>(m.Call("startWireGuard", List({EncodableValue(int64_t{5})})));
  ASSERT_EQ(mistyped.size(), 3u);
  EXPECT_EQ(mistyped[1], EncodableValue("Error"));
  const auto missing = std::get<EncodableList>(m.Call("startWireGuard", List({})));
  ASSERT_EQ(missing.size(), 3u);
  EXPECT_EQ(missing[1], EncodableValue("Error"));

  m.Call("startOpenVpn", List({EncodableValue("p"), EncodableValue("u"), EncodableValue("pw")}));
  EXPECT_EQ(api.last_config, "p|u|pw");
  m.Call("startWireGuard", List({EncodableValue("[Interface]")}));
  EXPECT_EQ(api.last_config, "[Interface]");

  TovraWindowsVpnHostApi::SetUp(&m, nullptr);
  EXPECT_TRUE(m.handlers.empty()) << "set-up with no API removes every handler";
}

TEST(FlutterApi, OnNativeEventOutcomes) {
  RecordingMessenger m;
  TovraWindowsVpnFlutterApi api(&m);
  int successes = 0;
  std::vector<FlutterError> errors;
  for (int i = 0; i < 3; ++i) {
    api.OnNativeEvent(
        TovraNativeEvent{"agentConnected", "", 5}, [&] { ++successes; },
        [&](const FlutterError& e) { errors.push_back(e); });
  }
  ASSERT_EQ(m.sent.size(), 3u);
  EXPECT_EQ(m.sent[0].first, kOnNativeEventChannel);
  const auto message = std::get<EncodableList>(Decode(m.sent[0].second));
  ASSERT_EQ(message.size(), 1u);
  EXPECT_EQ(Custom<TovraNativeEvent>(message[0]).type, "agentConnected");

  const Bytes ok = Encode(List({}));
  m.pending_replies[0](ok.data(), ok.size());
  const Bytes err = Encode(List({EncodableValue("c"), EncodableValue("m"), EncodableValue("d")}));
  m.pending_replies[1](err.data(), err.size());
  m.pending_replies[2](nullptr, 0);  // no Dart handler
  EXPECT_EQ(successes, 1);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].code(), "c");
  EXPECT_EQ(errors[0].details(), EncodableValue("d"));
  EXPECT_EQ(errors[1].code(), "channel-error");
  EXPECT_EQ(errors[1].message(), std::string("Unable to establish connection on channel: '") +
                                     kOnNativeEventChannel + "'.");
}

}  // namespace
}  // namespace tovra_windows_vpn
