#include "service/wireguard/adapter_snapshot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "service/wireguard/testing/adapter_buffer.h"
#include "service/wireguard/tunnel_names.h"

namespace tovra::service {
namespace {

using testing::BuildAdapterConfiguration;
using testing::PeerScript;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kEpoch = 116444736000000000ULL;

AdapterSnapshot Walk(const std::vector<uint8_t>& b) {
  return WalkAdapterConfiguration(b, b.size());
}

TEST(AdapterWalk, SumsCountersAndTakesTheLatestHandshakeOverAllPeers) {
  const auto b = BuildAdapterConfiguration(
      {{10, 20, kEpoch + 50000, 2}, {1, 2, 0, 0}, {5, 7, kEpoch + 20000, 64}});
  EXPECT_EQ(Walk(b), (AdapterSnapshot{false, 29, 16, 5}));
}

TEST(AdapterWalk, NoPeersMeansZeroCounters) {
  EXPECT_EQ(Walk(BuildAdapterConfiguration({})), AdapterSnapshot{});
}

TEST(AdapterWalk, CountersSaturate) {
  const auto b = BuildAdapterConfiguration({{kMax - 1, kMax, 0, 0}, {5, 1, 0, 0}});
  const AdapterSnapshot s = Walk(b);
  EXPECT_EQ(s.tx_bytes, kMax);
  EXPECT_EQ(s.rx_bytes, kMax);
}

// A peer whose record or allowed IPs do not fit before the reported end: the walk
// stops there and never reads past it.
TEST(AdapterWalk, StopsAtTheReportedEnd) {
  const auto b = BuildAdapterConfiguration({{1, 1, 0, 1}, {10, 10, 0, 3}, {100, 100, 0, 0}});
  const size_t peer = sizeof(wireguard_abi::Peer), ip = sizeof(wireguard_abi::AllowedIp);
  const size_t second = 80 + peer + ip;
  const struct {
    size_t reported;
    uint64_t rx;
  } rows[] = {
      {b.size(), 111},
      {b.size() - 1, 11},                // third peer one byte short
      {second + peer + 3 * ip - 1, 11},  // second peer's IPs cut: counted, then stop
      {second + peer - 1, 1},            // second peer record cut
      {80, 0},
      {79, 0},            // below one interface record
      {b.size() + 1, 0},  // beyond the buffer
  };
  for (const auto& row : rows) {
    EXPECT_EQ(WalkAdapterConfiguration(b, row.reported).rx_bytes, row.rx)
        << "reported " << row.reported;
  }
}

TEST(AdapterWalk, AHugePeerCountOrAllowedIpCountEndsTheWalk) {
  auto b = BuildAdapterConfiguration({{1, 1, 0, 0}});
  const uint32_t huge = 0xFFFFFFFF;
  std::memcpy(b.data() + 72, &huge, 4);
  EXPECT_EQ(Walk(b).rx_bytes, 1u);
  std::memcpy(b.data() + 80 + 128, &huge, 4);
  EXPECT_EQ(Walk(b).rx_bytes, 1u);
}

TEST(AdapterQueryRules, RequiredSizeBounds) {
  EXPECT_FALSE(IsAcceptedRequiredSize(79));
  EXPECT_TRUE(IsAcceptedRequiredSize(80));
  EXPECT_TRUE(IsAcceptedRequiredSize(524288));
  EXPECT_FALSE(IsAcceptedRequiredSize(524289));
}

TEST(AdapterQueryRules, HandshakeTimeToUnixMilliseconds) {
  EXPECT_EQ(FileTimeToUnixMs(0), 0u);
  EXPECT_EQ(FileTimeToUnixMs(kEpoch), 0u);
  EXPECT_EQ(FileTimeToUnixMs(kEpoch + 9999), 0u);
  EXPECT_EQ(FileTimeToUnixMs(kEpoch + 10000), 1u);
  EXPECT_EQ(FileTimeToUnixMs(kEpoch + 17000000000000000ULL), 1700000000000u);
}

TEST(TunnelNames, ServiceDirectoryAndAbsolutePaths) {
  EXPECT_EQ(ServiceDirectoryFromModulePath(L"C:\\Zerka\\ZerkaVPNService.exe"), L"C:\\Zerka");
  EXPECT_EQ(ServiceDirectoryFromModulePath(L"ZerkaVPNService.exe"), L"");
  EXPECT_EQ(ServiceDirectoryFromModulePath(std::wstring(259, L'a').replace(0, 3, L"C:\\")).size(),
            2u);
  EXPECT_EQ(ServiceDirectoryFromModulePath(std::wstring(260, L'a').replace(0, 3, L"C:\\")), L"");
  for (const wchar_t* yes : {L"C:\\x", L"z:\\", L"\\\\server\\share", L"\\\\?\\C:\\x"}) {
    EXPECT_TRUE(IsAbsoluteWindowsPath(yes)) << yes;
  }
  for (const wchar_t* no : {L"", L"x", L"C:", L"C:x", L"\\x", L"\\\\\\x", L"1:\\x"}) {
    EXPECT_FALSE(IsAbsoluteWindowsPath(no));
  }
  const TunnelPaths p = MakeTunnelPaths(L"relative", L"C:\\ProgramData");
  EXPECT_EQ(p.program, L"");
  EXPECT_EQ(p.library, L"");
  EXPECT_EQ(p.config_file, L"C:\\ProgramData\\Zerka\\vpn\\wireguard\\zerkavpnwireguard.conf");
  EXPECT_EQ(MakeTunnelPaths(L"C:\\Z", L"").config_dir, L"");
  EXPECT_EQ(kTunnelDependencies, std::wstring_view(L"Nsi\0TcpIp\0\0", 11));
}

}  // namespace
}  // namespace tovra::service
