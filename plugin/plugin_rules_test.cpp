#include "plugin/plugin_rules.h"

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

namespace tovra_windows_vpn {
namespace {

using tovra::common::Bytes;
using tovra::common::PayloadWriter;

TEST(Conversions, ByteRules) {
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<uint8_t>(b);
    EXPECT_EQ(static_cast<int>(ComponentStateFromByte(byte)), b >= 1 && b <= 5 ? b : 0) << b;
    EXPECT_EQ(static_cast<int>(TriFromByte(byte)), b == 1 || b == 2 ? b : 0) << b;
    EXPECT_EQ(static_cast<int>(OpenVpnStateFromByte(byte)), b <= 12 ? b : 0) << b;
  }
  EXPECT_EQ(static_cast<int>(OpenVpnErrorKindFromWire(16)), 16);
  EXPECT_EQ(static_cast<int>(OpenVpnErrorKindFromWire(17)), 11);
  EXPECT_EQ(static_cast<int>(OpenVpnErrorKindFromWire(0xFFFF)), 11);
  EXPECT_EQ(ClampToInt64(0xFFFFFFFFFFFFFFFFull), INT64_MAX);
  EXPECT_EQ(ClampToInt64(0x8000000000000000ull), INT64_MAX);
  EXPECT_EQ(ClampToInt64(0x7FFFFFFFFFFFFFFFull), INT64_MAX);
  EXPECT_EQ(ClampToInt64(42), 42);
}

TEST(Conversions, WireGuardStatusClampsCounters) {
  PayloadWriter w;
  w.WriteWireGuardStatus({2, true, 0xFFFFFFFFFFFFFFFFull, 5, 1700000000000ull, 3});
  w.WriteU8(0xEE);  // trailing byte ignored
  auto s = ReadWireGuardStatus(w.bytes());
  ASSERT_TRUE(s);
  EXPECT_EQ(*s,
            (TovraWireGuardStatus{TovraComponentState::up, true, INT64_MAX, 5, 1700000000000, 3}));
  Bytes cut = w.bytes();
  cut.resize(27);
  EXPECT_FALSE(ReadWireGuardStatus(cut));
}

TEST(Conversions, OpenVpnStatusAndCapabilities) {
  PayloadWriter w;
  w.WriteOpenVpnStatus({13, true, 1, 2, 3, 17, 99});
  auto s = ReadOpenVpnStatus(w.bytes());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state, TovraOpenVpnState::none);
  EXPECT_EQ(s->error_kind, TovraOpenVpnErrorKind::internal);
  EXPECT_EQ(s->attempt_id, 99);

  PayloadWriter c;
  c.WriteU8(3);
  c.WriteString("2.6.14");
  c.WriteU8(1);
  c.WriteU8(2);
  c.WriteU8(0);
  c.WriteU8(7);
  auto caps = ReadOpenVpnCapabilities(c.bytes());
  ASSERT_TRUE(caps);
  EXPECT_EQ(*caps, (TovraOpenVpnCapabilities{TovraTriState::unknown, "2.6.14", TovraTriState::yes,
                                             TovraTriState::no, TovraTriState::unknown,
                                             TovraTriState::unknown}));
}

TEST(Conversions, HealthRecords) {
  tovra::common::ServiceHealthRecord sh;
  sh.state = 9;
  sh.hello_info = tovra::common::MakeServiceHelloInfo();
  sh.generation_id = "12-0x0000ABCD";
  sh.uptime_seconds = 0xFFFFFFFFFFFFFFFFull;
  PayloadWriter w;
  w.WriteServiceHealth(sh);
  auto s = ReadServiceHealth(w.bytes());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->state, TovraComponentState::unknown);
  EXPECT_EQ(s->uptime_seconds, -1) << "uptime is reinterpreted, not clamped";
  EXPECT_EQ(s->version.capabilities.size(), 5u);
  EXPECT_EQ(s->version.protocol, 6);

  tovra::common::AgentHealthRecord ah;
  ah.state = 5;
  ah.hello_info = tovra::common::MakeAgentHelloInfo();
  ah.session_id = 0xFFFFFFFF;
  ah.service_connected = true;
  PayloadWriter a;
  a.WriteAgentHealth(ah);
  auto h = ReadAgentHealth(a.bytes());
  ASSERT_TRUE(h);
  EXPECT_EQ(h->state, TovraComponentState::reserved5);
  EXPECT_EQ(h->session_id, 0xFFFFFFFFll);
  EXPECT_TRUE(h->service_connected);
  EXPECT_FALSE(ReadAgentHealth({}));
}

TEST(Errors, CodesByStatusAndReach) {
  struct Case {
    uint16_t status;
    std::string_view agent, service;
  };
  const Case cases[] = {
      {1, "INTERNAL", "INTERNAL"},
      {2, "INTERNAL", "INTERNAL"},
      {3, "VERSION_MISMATCH", "VERSION_MISMATCH"},
      {4, "AGENT_UNAVAILABLE", "SERVICE_UNAVAILABLE"},
      {5, "INTERNAL", "INTERNAL"},
      {6, "INTERNAL", "INTERNAL"},
      {7, "AGENT_UNAVAILABLE", "SERVICE_UNAVAILABLE"},
      {8, "INTERNAL", "INTERNAL"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorCodeForStatus(c.status, Reach::agent), c.agent) << c.status;
    EXPECT_EQ(ErrorCodeForStatus(c.status, Reach::service), c.service) << c.status;
  }
}

TEST(Errors, NativeHealth) {
  const auto h = BuildNativeHealth(0xFFFFFFFF, false, false, 1);
  EXPECT_EQ(h.state, TovraComponentState::up);
  EXPECT_EQ(h.protocol, 6);
  EXPECT_EQ(h.version, "0.1.0-w6a");
  EXPECT_EQ(h.session_id, 0xFFFFFFFFll);
  EXPECT_EQ(h.last_error, TovraNativeErrorKind::internal);
  const std::pair<uint16_t, TovraNativeErrorKind> table[] = {
      {0, TovraNativeErrorKind::none},
      {3, TovraNativeErrorKind::versionMismatch},
      {4, TovraNativeErrorKind::agentUnavailable},
      {7, TovraNativeErrorKind::agentBusy},
      {5, TovraNativeErrorKind::internal},
      {2, TovraNativeErrorKind::internal}};
  for (const auto& [status, kind] : table) EXPECT_EQ(NativeErrorKindFromStatus(status), kind);
}

TEST(Launcher, AgentPathBesideTheModule) {
  const std::wstring dll = L"C:\\Apps\\Zerka\\tovra_windows_vpn_plugin.dll";
  EXPECT_EQ(AgentPathFromModuleFileName(dll, static_cast<uint32_t>(dll.size())),
            L"C:\\Apps\\Zerka\\ZerkaVPNAgent.exe");
  const std::wstring slashes = L"C:/Apps/Zerka/plugin.dll";
  EXPECT_EQ(AgentPathFromModuleFileName(slashes, static_cast<uint32_t>(slashes.size())),
            L"C:/Apps/Zerka\\ZerkaVPNAgent.exe");
  EXPECT_EQ(AgentPathFromModuleFileName(L"plugin.dll", 10), L"") << "no separator";
  EXPECT_EQ(AgentPathFromModuleFileName(dll, 0), L"") << "nothing returned";
  const std::wstring long_path = L"C:\\" + std::wstring(255, L'a') + L"\\p.dll";
  EXPECT_EQ(AgentPathFromModuleFileName(long_path, 260), L"") << "truncated at the buffer size";
  const std::wstring just_fits = L"C:\\" + std::wstring(250, L'a') + L"\\p.dll";
  EXPECT_EQ(just_fits.size(), 259u);
  EXPECT_FALSE(AgentPathFromModuleFileName(just_fits, 259).empty());
}

TEST(Events, TrackerSequences) {
  using V = std::vector<std::string_view>;
  ProbeEventTracker t;
  EXPECT_EQ(t.Next(false, false, 0), V{}) << "initial state counts as disconnected";
  EXPECT_EQ(t.Next(true, true, 0x10), (V{"agentConnected", "serviceConnected"}));
  EXPECT_EQ(t.Next(true, true, 0x10), V{});
  EXPECT_EQ(t.Next(true, false, 0x10), V{"serviceDisconnected"}) << "Agent up, Service lost";
  EXPECT_EQ(t.Next(false, false, 0x10), V{"agentDisconnected"});
  EXPECT_EQ(t.Next(true, true, 0x20),
            (V{"agentConnected", "serviceConnected", "serviceGenerationChanged"}));
  EXPECT_EQ(t.Next(false, false, 0), (V{"agentDisconnected", "serviceDisconnected"}))
      << "a zero generation is not a change";
  EXPECT_EQ(t.Next(true, false, 0x20), V{"agentConnected"});
  EXPECT_EQ(t.Next(true, false, 0x30), V{"serviceGenerationChanged"})
      << "a request reconnected to a new Agent before the poller noticed";
}

TEST(Events, ProbeBackoffDoublesAfterFailedConnectsAndResetsOnSuccess) {
  struct Row {
    bool connected;
    uint16_t status;
    ProbeStep step;
    const char* why;
  };
  const Row rows[] = {
      {true, 0, {2000, 0, false}, "reached: the base period"},
      {false, 0, {2000, 0, false}, "the exchange broke on a good connect: retry soon"},
      {false, 4, {4000, 1, false}, "Agent file missing: first step doubles"},
      {false, 4, {8000, 2, false}, ""},
      {false, 7, {16000, 3, false}, "never reached its pipe"},
      {false, 5, {32000, 4, false}, ""},
      {false, 3, {60000, 5, false}, "64 s is capped"},
      {false, 4, {60000, 6, false}, "stays at the cap"},
      {true, 0, {2000, 0, true}, "success resets and is reported once"},
      {true, 0, {2000, 0, false}, ""},
      {false, 7, {4000, 1, false}, "a new run of failures starts over"},
      {false, 0, {2000, 0, false}, "a connect that worked resets too"},
      {false, 4, {4000, 1, false}, ""},
  };
  ProbeBackoff backoff;
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(backoff.Next(rows[i].connected, rows[i].status), rows[i].step)
        << "row " << i << ": " << rows[i].why;
  }

  ProbeBackoff scaled(100, 1000);
  uint32_t pauses[6] = {};
  for (auto& p : pauses) p = scaled.Next(false, 4).pause_ms;
  EXPECT_EQ(std::vector<uint32_t>(std::begin(pauses), std::end(pauses)),
            (std::vector<uint32_t>{200, 400, 800, 1000, 1000, 1000}));
  ProbeBackoff inverted(5000, 10);
  EXPECT_EQ(inverted.Next(false, 4).pause_ms, 5000u) << "a cap below the base is the base";
  ProbeBackoff huge(UINT32_MAX / 2 + 1, UINT32_MAX);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(huge.Next(false, 4).pause_ms, UINT32_MAX);

  EXPECT_EQ(ProbeFailureLine(7, ProbeStep{16000, 3, false}),
            L"event poller: agent unreachable (status 7, 3 failed in a row), next probe in "
            L"16000 ms");
}

}  // namespace
}  // namespace tovra_windows_vpn
