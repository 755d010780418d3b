#include "agent/openvpn/openvpn_discovery.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tovra::agent::openvpn {
namespace {

using common::Tri;

TEST(OpenVpnDiscovery, FileVersionLeavesTheFourthPartOut) {
  EXPECT_EQ(FormatFileVersion(0x00020006, 0x000C0000), "2.6.12");
  EXPECT_EQ(FormatFileVersion(0x00020006, 0x000C0007), "2.6.12");
  EXPECT_EQ(FormatFileVersion(0xFFFFFFFF, 0xFFFF0000), "65535.65535.65535");
  EXPECT_EQ(FormatFileVersion(0, 0), "0.0.0");
}

TEST(OpenVpnDiscovery, ShippedPathBesideTheAgent) {
  EXPECT_EQ(FolderOf(L"C:\\Program Files\\Zerka\\agent.exe"), L"C:\\Program Files\\Zerka\\");
  EXPECT_EQ(FolderOf(L"agent.exe"), L"");
  EXPECT_EQ(ShippedOpenVpnExePath(L"C:\\Zerka\\"), L"C:\\Zerka\\lib\\openvpn\\amd64\\openvpn.exe");
  EXPECT_EQ(ShippedOpenVpnExePath(L"C:\\Zerka"), L"C:\\Zerka\\lib\\openvpn\\amd64\\openvpn.exe");
  EXPECT_EQ(ShippedOpenVpnExePath(L"Z:/tmp/"), L"Z:/tmp/lib\\openvpn\\amd64\\openvpn.exe");
  EXPECT_EQ(ShippedOpenVpnExePath(L""), L"");
}

TEST(OpenVpnDiscovery, FirstExistingCandidateWins) {
  const std::wstring shipped = L"S", registered = L"R";
  const auto only = [](std::set<std::wstring> present) {
    return [present](const std::wstring& p) { return present.count(p) != 0; };
  };
  EXPECT_EQ(ChooseOpenVpnExe(shipped, registered, only({L"S", L"R"})), L"S");
  EXPECT_EQ(ChooseOpenVpnExe(shipped, registered, only({L"R"})), L"R");
  EXPECT_EQ(ChooseOpenVpnExe(shipped, registered, only({})), L"");
  EXPECT_EQ(ChooseOpenVpnExe(L"", registered, only({L"", L"R"})), L"R");
  EXPECT_EQ(ChooseOpenVpnExe(L"", L"", only({L""})), L"");
}

TEST(OpenVpnDiscovery, ServiceVerdicts) {
  struct Row {
    ServiceLookup lookup;
    std::optional<bool> running;
    Tri installed, running_verdict;
  };
  const std::vector<Row> rows = {
      {ServiceLookup::manager_unavailable, std::nullopt, Tri::undetermined, Tri::undetermined},
      {ServiceLookup::missing, std::nullopt, Tri::no, Tri::no},
      {ServiceLookup::open_failed, std::nullopt, Tri::undetermined, Tri::undetermined},
      {ServiceLookup::opened, true, Tri::yes, Tri::yes},
      {ServiceLookup::opened, false, Tri::yes, Tri::no},
      {ServiceLookup::opened, std::nullopt, Tri::yes, Tri::undetermined},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.lookup));
    EXPECT_EQ(ServiceInstalledVerdict(row.lookup), row.installed);
    EXPECT_EQ(ServiceRunningVerdict(row.lookup, row.running), row.running_verdict);
  }
}

TEST(OpenVpnDiscovery, CapabilitiesCallEachProbeOnceInOrder) {
  std::vector<int> calls;
  OpenVpnProbes probes{[&](std::string& v) {
                         calls.push_back(1);
                         v = "2.6.12";
                         return Tri::yes;
                       },
                       [&] {
                         calls.push_back(2);
                         return Tri::yes;
                       },
                       [&] {
                         calls.push_back(3);
                         return Tri::no;
                       }};
  common::OpenVpnCapabilitiesRecord record = CollectOpenVpnCapabilities(probes);
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(record.openvpn_found, 1);
  EXPECT_EQ(record.openvpn_version, "2.6.12");
  EXPECT_EQ(record.interactive_service_installed, 1);
  EXPECT_EQ(record.interactive_service_running, 2);
  EXPECT_EQ(record.reserved1 | record.reserved2, 0);

  // A version without a found executable is not reported.
  probes.presence = [](std::string& v) {
    v = "1.2.3";
    return Tri::no;
  };
  record = CollectOpenVpnCapabilities(probes);
  EXPECT_EQ(record.openvpn_found, 2);
  EXPECT_EQ(record.openvpn_version, "");
}

}  // namespace
}  // namespace tovra::agent::openvpn
