// Holds the schema table to the codec and the channel set-up it describes: a
// field order, a type byte, a method or an argument name that differs from what
// pigeon_api.cpp does fails here, before the Dart-side check compares the table
// with the Pigeon definition.
#include "plugin/pigeon_schema.h"

#include <gtest/gtest.h>

#include <map>

#include "plugin/pigeon_api.h"

namespace tovra_windows_vpn::schema {
namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using Bytes = std::vector<uint8_t>;

Bytes Encode(const EncodableValue& v) {
  return *PigeonCodec().EncodeMessage(v);
}

const Class& ClassNamed(std::string_view name) {
  for (const Class& c : PigeonSchema().classes) {
    if (c.name == name) return c;
  }
  ADD_FAILURE() << "no class " << name;
  static const Class none{};
  return none;
}

template <typename E>
EncodableValue EnumOf(int32_t v) {
  return CustomEncodableValue(static_cast<E>(v));
}

// One value per class whose fields all differ (same-typed fields included), and
// what each field, by its Dart name, must encode as.
struct Sample {
  EncodableValue value;
  std::map<std::string_view, EncodableValue> fields;
};

std::vector<std::pair<std::string_view, Sample>> Samples() {
  const TovraVersionInfo version{7, "1.2.3", {"a", "b"}};
  std::vector<std::pair<std::string_view, Sample>> out;
  out.push_back({"TovraVersionInfo",
                 {CustomEncodableValue(version),
                  {{"protocol", EncodableValue(int64_t{7})},
                   {"version", EncodableValue("1.2.3")},
                   {"capabilities",
                    EncodableValue(EncodableList{EncodableValue("a"), EncodableValue("b")})}}}});
  TovraNativeHealth nh{TovraComponentState::down,      11, "v", 12, true, false,
                       TovraNativeErrorKind::agentBusy};
  out.push_back({"TovraNativeHealth",
                 {CustomEncodableValue(nh),
                  {{"state", EnumOf<TovraComponentState>(4)},
                   {"protocol", EncodableValue(int64_t{11})},
                   {"version", EncodableValue("v")},
                   {"sessionId", EncodableValue(int64_t{12})},
                   {"agentConnected", EncodableValue(true)},
                   {"serviceConnected", EncodableValue(false)},
                   {"lastError", EnumOf<TovraNativeErrorKind>(4)}}}});
  TovraAgentHealth ah{TovraComponentState::starting, version, 13, "gen", true};
  out.push_back({"TovraAgentHealth",
                 {CustomEncodableValue(ah),
                  {{"state", EnumOf<TovraComponentState>(1)},
                   {"version", CustomEncodableValue(version)},
                   {"sessionId", EncodableValue(int64_t{13})},
                   {"generation", EncodableValue("gen")},
                   {"serviceConnected", EncodableValue(true)}}}});
  TovraServiceHealth sh{TovraComponentState::up, version, "g2", 14};
  out.push_back({"TovraServiceHealth",
                 {CustomEncodableValue(sh),
                  {{"state", EnumOf<TovraComponentState>(2)},
                   {"version", CustomEncodableValue(version)},
                   {"generation", EncodableValue("g2")},
                   {"uptimeSeconds", EncodableValue(int64_t{14})}}}});
  TovraWireGuardStatus wg{TovraComponentState::up, true, 21, 22, 23, 24};
  out.push_back({"TovraWireGuardStatus",
                 {CustomEncodableValue(wg),
                  {{"state", EnumOf<TovraComponentState>(2)},
                   {"adapterPresent", EncodableValue(true)},
                   {"rxBytes", EncodableValue(int64_t{21})},
                   {"txBytes", EncodableValue(int64_t{22})},
                   {"lastHandshakeMs", EncodableValue(int64_t{23})},
                   {"error", EncodableValue(int64_t{24})}}}});
  // Five tri-states: numbers beyond the enumerators keep them apart.
  TovraOpenVpnCapabilities caps{static_cast<TovraTriState>(31), "2.6.12",
                                static_cast<TovraTriState>(32), static_cast<TovraTriState>(33),
                                static_cast<TovraTriState>(34), static_cast<TovraTriState>(35)};
  out.push_back({"TovraOpenVpnCapabilities",
                 {CustomEncodableValue(caps),
                  {{"openVpnFound", EnumOf<TovraTriState>(31)},
                   {"openVpnVersion", EncodableValue("2.6.12")},
                   {"interactiveServiceInstalled", EnumOf<TovraTriState>(32)},
                   {"interactiveServiceRunning", EnumOf<TovraTriState>(33)},
                   {"spare1", EnumOf<TovraTriState>(34)},
                   {"spare2", EnumOf<TovraTriState>(35)}}}});
  TovraOpenVpnStatus st{TovraOpenVpnState::connected,          true, 41, 42, 43,
                        static_cast<TovraOpenVpnErrorKind>(7), 44};
  out.push_back({"TovraOpenVpnStatus",
                 {CustomEncodableValue(st),
                  {{"state", EnumOf<TovraOpenVpnState>(10)},
                   {"active", EncodableValue(true)},
                   {"bytesIn", EncodableValue(int64_t{41})},
                   {"bytesOut", EncodableValue(int64_t{42})},
                   {"connectedSinceMs", EncodableValue(int64_t{43})},
                   {"errorKind", EnumOf<TovraOpenVpnErrorKind>(7)},
                   {"attemptId", EncodableValue(int64_t{44})}}}});
  TovraNativeEvent ev{"t", "d", 51};
  out.push_back({"TovraNativeEvent",
                 {CustomEncodableValue(ev),
                  {{"type", EncodableValue("t")},
                   {"detail", EncodableValue("d")},
                   {"timestampMs", EncodableValue(int64_t{51})}}}});
  return out;
}

TEST(PigeonSchema, ClassesListTheirFieldsInTheCodecsOrder) {
  const auto samples = Samples();
  ASSERT_EQ(samples.size(), PigeonSchema().classes.size());
  for (const auto& [name, sample] : samples) {
    SCOPED_TRACE(std::string(name));
    const Class& c = ClassNamed(name);
    // The value as the codec writes it: type byte, then the field list.
    const Bytes bytes = Encode(sample.value);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes[0], c.type_byte);
    Bytes expected = {c.type_byte, 0x0C, static_cast<uint8_t>(c.fields.size())};
    for (const Field& f : c.fields) {
      ASSERT_EQ(sample.fields.count(f.name), 1u) << f.name;
      const Bytes field = Encode(sample.fields.at(f.name));
      expected.insert(expected.end(), field.begin(), field.end());
    }
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(sample.fields.size(), c.fields.size());
  }
}

TEST(PigeonSchema, EnumsAreNumberedByIndexAndTypeBytesRunInDeclarationOrder) {
  const Schema& s = PigeonSchema();
  uint8_t next = 129;
  for (const Enum& e : s.enums) {
    EXPECT_EQ(e.type_byte, next++) << e.name;
    for (size_t i = 0; i < e.values.size(); ++i) {
      EXPECT_EQ(e.values[i].value, static_cast<int32_t>(i)) << e.name << "." << e.values[i].name;
    }
  }
  for (const Class& c : s.classes) EXPECT_EQ(c.type_byte, next++) << c.name;
  const std::pair<EncodableValue, uint8_t> written[] = {
      {EnumOf<TovraComponentState>(0), s.enums[0].type_byte},
      {EnumOf<TovraNativeErrorKind>(0), s.enums[1].type_byte},
      {EnumOf<TovraTriState>(0), s.enums[2].type_byte},
      {EnumOf<TovraOpenVpnState>(0), s.enums[3].type_byte},
      {EnumOf<TovraOpenVpnErrorKind>(0), s.enums[4].type_byte},
  };
  for (const auto& [value, type_byte] : written) EXPECT_EQ(Encode(value)[0], type_byte);
}

// Records the channels SetUp installs, in order.
class Messenger : public flutter::BinaryMessenger {
 public:
  void Send(const std::string&, const uint8_t*, size_t, flutter::BinaryReply) const override {}
  void SetMessageHandler(const std::string& channel,
                         flutter::BinaryMessageHandler handler) override {
    order.push_back(channel);
    handlers[channel] = std::move(handler);
  }
  Bytes Call(const std::string& channel, const EncodableValue& args) {
    const Bytes message = Encode(args);
    Bytes out;
    handlers.at(channel)(message.data(), message.size(),
                         [&](const uint8_t* data, size_t size) { out.assign(data, data + size); });
    return out;
  }
  std::vector<std::string> order;
  std::map<std::string, flutter::BinaryMessageHandler> handlers;
};

// A value-initialised result of whatever type the callback takes.
struct Default {
  template <typename T>
  operator ErrorOr<T>() const {
    return ErrorOr<T>(T{});
  }
};

// Answers every method with a default value of its result type.
class DefaultApi : public TovraWindowsVpnHostApi {
 public:
  void IsAvailable(std::function<void(ErrorOr<bool>)> r) override { r(true); }
  void GetHealth(std::function<void(ErrorOr<TovraNativeHealth>)> r) override { r(Default()); }
  void GetAgentHealth(std::function<void(ErrorOr<TovraAgentHealth>)> r) override { r(Default()); }
  void GetServiceHealth(std::function<void(ErrorOr<TovraServiceHealth>)> r) override {
    r(Default());
  }
  void StartEvents(std::function<void(std::optional<FlutterError>)> r) override { r(std::nullopt); }
  void StartWireGuard(const std::string&,
                      std::function<void(ErrorOr<TovraWireGuardStatus>)> r) override {
    r(TovraWireGuardStatus{});
  }
  void StopWireGuard(std::function<void(ErrorOr<TovraWireGuardStatus>)> r) override {
    r(Default());
  }
  void WireGuardStatus(std::function<void(ErrorOr<TovraWireGuardStatus>)> r) override {
    r(Default());
  }
  void GetOpenVpnCapabilities(std::function<void(ErrorOr<TovraOpenVpnCapabilities>)> r) override {
    r(TovraOpenVpnCapabilities{});
  }
  void StartOpenVpn(const std::string&, const std::string&, const std::string&,
                    std::function<void(ErrorOr<TovraOpenVpnStatus>)> r) override {
    r(TovraOpenVpnStatus{});
  }
  void StopOpenVpn(std::function<void(ErrorOr<TovraOpenVpnStatus>)> r) override { r(Default()); }
  void GetOpenVpnStatus(std::function<void(ErrorOr<TovraOpenVpnStatus>)> r) override {
    r(Default());
  }
};

uint8_t TypeByteOf(std::string_view type) {
  if (type == "void") return 0x00;
  if (type == "bool") return 0x01;  // DefaultApi answers true
  for (const Class& c : PigeonSchema().classes) {
    if (c.name == type) return c.type_byte;
  }
  ADD_FAILURE() << "no result type " << type;
  return 0xFF;
}

TEST(PigeonSchema, HostMethodsAreTheInstalledChannelsWithTheirArgumentsAndResults) {
  const Api& host = PigeonSchema().apis.at(0);
  ASSERT_EQ(host.kind, "HostApi");
  Messenger m;
  DefaultApi api;
  TovraWindowsVpnHostApi::SetUp(&m, &api);
  const std::string prefix = "dev.flutter.pigeon." + std::string(PigeonSchema().package) + "." +
                             std::string(host.name) + ".";
  ASSERT_EQ(prefix, kHostChannelPrefix);
  std::vector<std::string> expected;
  for (const Method& method : host.methods) expected.push_back(prefix + std::string(method.name));
  EXPECT_EQ(m.order, expected);

  for (const Method& method : host.methods) {
    SCOPED_TRACE(std::string(method.name));
    const std::string channel = prefix + std::string(method.name);
    EncodableList args;
    for (size_t i = 0; i < method.args.size(); ++i) args.emplace_back("x");
    const Bytes ok = m.Call(channel, EncodableValue(args));
    ASSERT_GE(ok.size(), 3u);
    EXPECT_EQ(ok[1], 1) << "a one-element success list";
    EXPECT_EQ(ok[2], TypeByteOf(method.returns));
    // A null argument is named in the handler's error text.
    for (size_t i = 0; i < method.args.size(); ++i) {
      EncodableList with_null = args;
      with_null[i] = EncodableValue();
      const std::string text = std::string(method.args[i].name) + "_arg unexpectedly null.";
      EXPECT_EQ(m.Call(channel, EncodableValue(with_null)),
                Encode(EncodableValue(EncodableList{EncodableValue(text), EncodableValue("Error"),
                                                    EncodableValue()})));
    }
  }
}

TEST(PigeonSchema, FlutterApiIsTheEventChannel) {
  const Api& flutter_api = PigeonSchema().apis.at(1);
  EXPECT_EQ(flutter_api.kind, "FlutterApi");
  ASSERT_EQ(flutter_api.methods.size(), 1u);
  const Method& m = flutter_api.methods[0];
  EXPECT_EQ("dev.flutter.pigeon." + std::string(PigeonSchema().package) + "." +
                std::string(flutter_api.name) + "." + std::string(m.name),
            kOnNativeEventChannel);
  ASSERT_EQ(m.args.size(), 1u);
  EXPECT_EQ(m.args[0].type, "TovraNativeEvent");
}

TEST(PigeonSchema, JsonNamesEveryEntry) {
  const std::string json = ToJson(PigeonSchema());
  for (std::string_view needle :
       {"\"package\":\"tovra_windows_vpn\"", "[\"managementPasswordRejected\",16]",
        "[\"capabilities\",\"List<String>\"]", "\"returns\":\"void\"", "\"type_byte\":141"}) {
    EXPECT_NE(json.find(needle), std::string::npos) << needle;
  }
}

}  // namespace
}  // namespace tovra_windows_vpn::schema
