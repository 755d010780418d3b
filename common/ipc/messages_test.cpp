#include "common/ipc/messages.h"

#include <gtest/gtest.h>

#include "common/base/byte_order.h"
#include "common/ipc/generation.h"

namespace tovra::common {
namespace {

TEST(HelloInfo, ServiceEncodingIsEightyBytesWithExactPrefix) {
  PayloadWriter w;
  ASSERT_TRUE(w.WriteHelloInfo(MakeServiceHelloInfo()));
  const Bytes& b = w.bytes();
  ASSERT_EQ(b.size(), 80u);
  const Bytes prefix = {0x06, 0x00, 0x09, 0x00};
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), b.begin()));
  EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 13), "0.1.0-w6a");
  EXPECT_EQ(b[13], 0x05);
  EXPECT_EQ(b[14], 0x00);
}

TEST(HelloInfo, AgentEncodingIsSeventyOneBytes) {
  PayloadWriter w;
  ASSERT_TRUE(w.WriteHelloInfo(MakeAgentHelloInfo()));
  EXPECT_EQ(w.bytes().size(), 71u);
}

TEST(HelloInfo, ReplyPayloadSizesFollowTheGenerationIdLength) {
  const std::string gen = FormatGenerationId(123456, 0xCAFEF00D);
  PayloadWriter service;
  service.WriteU16(ToWire(Status::ok));
  service.WriteHelloInfo(MakeServiceHelloInfo());
  service.WriteString(gen);
  EXPECT_EQ(service.bytes().size(), 84u + gen.size());

  PayloadWriter agent;
  agent.WriteU16(ToWire(Status::ok));
  agent.WriteHelloInfo(MakeAgentHelloInfo());
  agent.WriteString(gen);
  agent.WriteU32(1);
  EXPECT_EQ(agent.bytes().size(), 79u + gen.size());
}

TEST(HelloInfo, CapabilityListsAreInWireOrder) {
  EXPECT_EQ(
      MakeAgentHelloInfo().capabilities,
      (std::vector<std::string>{"control-plane", "health", "events", "wireguard", "vpn-activity"}));
  EXPECT_EQ(MakeServiceHelloInfo().capabilities,
            (std::vector<std::string>{"control-plane", "health", "wireguard", "openvpn-staging",
                                      "vpn-activity"}));
}

TEST(HelloInfo, EmptyBodyIsUnreadable) {
  PayloadReader r(std::span<const uint8_t>{});
  HelloInfo h;
  EXPECT_FALSE(r.ReadHelloInfo(h));
}

TEST(PayloadWriter, StringLengthLimit) {
  PayloadWriter w;
  EXPECT_TRUE(w.WriteString(std::string(32768, 'x')));
  EXPECT_EQ(w.bytes().size(), 32770u);
  EXPECT_FALSE(w.WriteString(std::string(32769, 'x')));
  EXPECT_EQ(w.bytes().size(), 32770u) << "a refused string writes nothing";
}

TEST(PayloadWriter, StringListLimit) {
  PayloadWriter w;
  std::vector<std::string> list(64, "a");
  EXPECT_TRUE(w.WriteStringList(list));
  const size_t written = w.bytes().size();
  EXPECT_EQ(written, 2u + 64u * 3u);
  list.push_back("a");
  EXPECT_FALSE(w.WriteStringList(list));
  EXPECT_EQ(w.bytes().size(), written);
}

TEST(PayloadReader, StringLengthFieldLimit) {
  for (uint32_t declared : {32768u, 32769u}) {
    Bytes b;
    AppendLe16(b, static_cast<uint16_t>(declared));
    b.resize(2 + 32769, 'y');  // enough bytes follow either way
    PayloadReader r(b);
    std::string s;
    EXPECT_EQ(r.ReadString(s), declared == 32768) << declared;
    EXPECT_EQ(r.ok(), declared == 32768);
  }
}

TEST(PayloadReader, StringLongerThanRemainingFails) {
  const Bytes b = {5, 0, 'a', 'b', 'c', 'd'};
  PayloadReader r(b);
  std::string s;
  EXPECT_FALSE(r.ReadString(s));
}

TEST(PayloadReader, StringListCounts) {
  Bytes b;
  AppendLe16(b, 0);
  PayloadReader empty(b);
  std::vector<std::string> list = {"stale"};
  EXPECT_TRUE(empty.ReadStringList(list));
  EXPECT_TRUE(list.empty());

  for (uint16_t count : std::initializer_list<uint16_t>{64, 65}) {
    Bytes many;
    AppendLe16(many, count);
    for (int i = 0; i < count; ++i) AppendLe16(many, 0);
    PayloadReader r(many);
    list = {"stale"};
    EXPECT_EQ(r.ReadStringList(list), count == 64) << count;
    if (count == 65) {
      EXPECT_TRUE(list.empty()) << "output cleared even on failure";
    }
  }
}

TEST(PayloadReader, FailingElementFailsTheList) {
  Bytes b;
  AppendLe16(b, 2);
  AppendLe16(b, 1);
  b.push_back('a');
  AppendLe16(b, 10);  // second element runs past the end
  PayloadReader r(b);
  std::vector<std::string> list;
  EXPECT_FALSE(r.ReadStringList(list));
  EXPECT_TRUE(list.empty());
}

TEST(PayloadReader, OkFlagIsStickyAndCursorStops) {
  const Bytes b = {1, 2, 3};
  PayloadReader r(b);
  uint16_t v16 = 0;
  ASSERT_TRUE(r.ReadU16(v16));
  EXPECT_EQ(v16, 0x0201);
  uint32_t v32 = 0;
  EXPECT_FALSE(r.ReadU32(v32));
  EXPECT_FALSE(r.ok());
  const size_t pos = r.position();
  uint8_t v8 = 0;
  EXPECT_FALSE(r.ReadU8(v8)) << "a byte remains, but the reader has failed";
  std::string s;
  EXPECT_FALSE(r.ReadString(s));
  EXPECT_EQ(r.position(), pos);
}

TEST(PayloadReader, AnyNonZeroByteIsTrue) {
  const Bytes b = {0, 1, 2, 0xFF};
  PayloadReader r(b);
  bool v = true;
  ASSERT_TRUE(r.ReadBool(v));
  EXPECT_FALSE(v);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(r.ReadBool(v));
    EXPECT_TRUE(v);
  }
}

TEST(PayloadReader, LittleEndianPrimitives) {
  PayloadWriter w;
  w.WriteU8(0x11);
  w.WriteU16(0x2233);
  w.WriteU32(0x44556677);
  w.WriteU64(0x8899AABBCCDDEEFFull);
  const Bytes expected = {0x11, 0x33, 0x22, 0x77, 0x66, 0x55, 0x44, 0xFF,
                          0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0x99, 0x88};
  EXPECT_EQ(w.bytes(), expected);
  PayloadReader r(w.bytes());
  uint8_t a = 0;
  uint16_t b = 0;
  uint32_t c = 0;
  uint64_t d = 0;
  EXPECT_TRUE(r.ReadU8(a) && r.ReadU16(b) && r.ReadU32(c) && r.ReadU64(d));
  EXPECT_EQ(a, 0x11);
  EXPECT_EQ(b, 0x2233);
  EXPECT_EQ(c, 0x44556677u);
  EXPECT_EQ(d, 0x8899AABBCCDDEEFFull);
  EXPECT_EQ(r.remaining(), 0u);
}

// Each record: round trip, trailing bytes ignored, and every truncation fails.
template <typename Record, typename WriteFn, typename ReadFn>
void CheckRecord(const Record& value, WriteFn write, ReadFn read) {
  PayloadWriter w;
  write(w, value);
  Bytes b = w.Take();
  {
    PayloadReader r(b);
    Record out{};
    ASSERT_TRUE(read(r, out));
    EXPECT_EQ(out, value);
    EXPECT_EQ(r.remaining(), 0u);
  }
  {
    Bytes trailing = b;
    trailing.insert(trailing.end(), {0xDE, 0xAD});
    PayloadReader r(trailing);
    Record out{};
    ASSERT_TRUE(read(r, out));
    EXPECT_EQ(out, value);
  }
  for (size_t cut = 0; cut < b.size(); ++cut) {
    PayloadReader r(std::span<const uint8_t>(b.data(), cut));
    Record out{};
    EXPECT_FALSE(read(r, out)) << "truncated at " << cut;
  }
}

TEST(Records, RoundTripAndTruncation) {
  ServiceHealthRecord service;
  service.hello_info = MakeServiceHelloInfo();
  service.generation_id = "4242-0xDEADBEEF";
  service.uptime_seconds = 0x0102030405060708ull;
  CheckRecord(
      service, [](PayloadWriter& w, const auto& v) { w.WriteServiceHealth(v); },
      [](PayloadReader& r, auto& v) { return r.ReadServiceHealth(v); });

  AgentHealthRecord agent;
  agent.hello_info = MakeAgentHelloInfo();
  agent.session_id = 65536;
  agent.generation_id = "17-0x00000001";
  agent.service_connected = true;
  CheckRecord(
      agent, [](PayloadWriter& w, const auto& v) { w.WriteAgentHealth(v); },
      [](PayloadReader& r, auto& v) { return r.ReadAgentHealth(v); });

  WireGuardStatusRecord wg{2, true, 1, 0xFFFFFFFFFFFFFFFFull, 1700000000123ull, 7};
  CheckRecord(
      wg, [](PayloadWriter& w, const auto& v) { w.WriteWireGuardStatus(v); },
      [](PayloadReader& r, auto& v) { return r.ReadWireGuardStatus(v); });

  OpenVpnCapabilitiesRecord caps;
  caps.openvpn_found = 1;
  caps.openvpn_version = "2.6.14";
  caps.interactive_service_installed = 1;
  caps.interactive_service_running = 2;
  CheckRecord(
      caps, [](PayloadWriter& w, const auto& v) { w.WriteOpenVpnCapabilities(v); },
      [](PayloadReader& r, auto& v) { return r.ReadOpenVpnCapabilities(v); });

  OpenVpnStatusRecord ovpn{12, true, 5, 6, 1700000000000ull, 16, 0xFFFFFFFF};
  CheckRecord(
      ovpn, [](PayloadWriter& w, const auto& v) { w.WriteOpenVpnStatus(v); },
      [](PayloadReader& r, auto& v) { return r.ReadOpenVpnStatus(v); });
}

TEST(Records, FixedSizes) {
  PayloadWriter wg;
  wg.WriteWireGuardStatus({});
  EXPECT_EQ(wg.bytes().size(), 28u);
  PayloadWriter ovpn;
  ovpn.WriteOpenVpnStatus({});
  EXPECT_EQ(ovpn.bytes().size(), 32u);
  PayloadWriter caps;
  caps.WriteOpenVpnCapabilities({});
  EXPECT_EQ(caps.bytes().size(), 7u);
}

TEST(Records, CapabilitiesAlwaysWriteZeroReservedBytes) {
  OpenVpnCapabilitiesRecord caps;
  caps.reserved1 = 9;
  caps.reserved2 = 9;
  PayloadWriter w;
  w.WriteOpenVpnCapabilities(caps);
  EXPECT_EQ(w.bytes()[5], 0);
  EXPECT_EQ(w.bytes()[6], 0);
}

TEST(Records, OverlongFieldsAreRefusedWithoutPartialOutput) {
  ServiceHealthRecord service;
  service.hello_info = MakeServiceHelloInfo();
  service.hello_info.capabilities.resize(65, "x");
  PayloadWriter w;
  w.WriteU16(0);
  EXPECT_FALSE(w.WriteServiceHealth(service));
  EXPECT_EQ(w.bytes().size(), 2u);

  AgentHealthRecord agent;
  agent.generation_id.assign(32769, '1');
  EXPECT_FALSE(w.WriteAgentHealth(agent));
  EXPECT_EQ(w.bytes().size(), 2u);
}

TEST(Status, StatusOnlyPayload) {
  EXPECT_EQ(StatusOnlyPayload(Status::busy), (Bytes{7, 0}));
  EXPECT_EQ(StatusOnlyPayload(Status::ok), (Bytes{0, 0}));
}

// One rule for both servers: which request payloads are wiped after handling.
TEST(SecretBearing, OnlyWireGuardStartOpenVpnStartAndStagingCarrySecrets) {
  for (uint32_t type = 0; type <= 0xFFFF; ++type) {
    const bool expected = type == 5 || type == 9 || type == 12;
    ASSERT_EQ(IsSecretBearing(static_cast<uint16_t>(type)), expected) << type;
  }
}

TEST(SecretBearing, PayloadWipeClearsSecretTypesOnScopeExitAndLeavesOthers) {
  for (uint16_t type : {uint16_t{5}, uint16_t{6}, uint16_t{9}, uint16_t{12}, uint16_t{13}}) {
    Bytes payload(300, 0xA5);
    {
      RequestPayloadWipe wipe(type, payload);
      EXPECT_EQ(payload, Bytes(300, 0xA5)) << "wiped before the handler ran: " << type;
    }
    EXPECT_EQ(payload, Bytes(300, IsSecretBearing(type) ? 0 : 0xA5)) << type;
  }
}

}  // namespace
}  // namespace tovra::common
