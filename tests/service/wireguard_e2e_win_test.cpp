// The WireGuard tunnel end to end under Wine: zerkactl and the real plugin, the
// Agent it starts, and the Service installed under Wine's Service Control
// Manager from a folder that also holds the stand-ins for wireguard.exe and
// wireguard.dll (see tests/fakes/wireguard/wireguard_standin.h).
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/win/handles_win.h"
#include "service/wireguard/wireguard_config_validator.h"
#include "service/wireguard/wireguard_tunnel_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/json_reader.h"
#include "tests/support/program_run_win.h"
#include "tests/support/secret_scan_win.h"
#include "tests/support/wait_until.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovra::common::UniqueServiceHandle;
using tovra::testing::ProgramResult;
using tovra::testing::TestEnv;

constexpr wchar_t kServiceName[] = L"ZerkaVPNService";
constexpr wchar_t kTunnelService[] = L"WireGuardTunnel$zerkavpnwireguard";
constexpr char kPrivateKey[] = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
constexpr char kConfig[] =
    "[Interface]\r\nPrivateKey = yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=\r\n"
    "Address = 10.64.0.2/32\r\nDNS = 10.64.0.1\r\n\r\n[Peer]\r\n"
    "PublicKey = xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=\r\n"
    "AllowedIPs = 0.0.0.0/0\r\nEndpoint = vpn.example.net:51820\r\n";
// 2023-11-14T22:13:20Z as FILETIME, and the same instant in Unix milliseconds.
constexpr uint64_t kHandshakeFileTime = 133444736000000000ULL;
constexpr uint64_t kHandshakeUnixMs = 1700000000000ULL;

std::wstring ProgramDataConfigPath() {
  wchar_t buf[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH);
  return std::wstring(buf, n) + L"\\Zerka\\vpn\\wireguard\\zerkavpnwireguard.conf";
}

bool ServiceExists(const wchar_t* name) {
  UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle svc(scm ? ::OpenServiceW(scm.get(), name, SERVICE_QUERY_STATUS) : nullptr);
  return svc || ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

SERVICE_STATUS_PROCESS QueryService(const wchar_t* name) {
  SERVICE_STATUS_PROCESS status{};
  UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle svc(scm ? ::OpenServiceW(scm.get(), name, SERVICE_QUERY_STATUS) : nullptr);
  DWORD needed = 0;
  if (svc) {
    ::QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof status, &needed);
  }
  return status;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class WireGuardEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"60");
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    install_ = tovra::testing::CopyProgramsToFreshFolder(
        L"zerka-wg-e2e",
        {L"TOVRA_SERVICE_EXE", L"ZERKA_TEST_WIREGUARD_EXE", L"ZERKA_TEST_WIREGUARD_DLL"});
    ASSERT_FALSE(install_.empty());
    Script(100, 200, 1000, 2000);
    app_ = tovra::testing::LayOutAppFolder(L"zerka-wg-e2e", true, true);
    ASSERT_EQ(tovra::testing::RunDevScript(L"install_zerkavpn_vpn_service.cmd",
                                           (install_ / L"ZerkaVPNService.exe").wstring()),
              0u);
    log_start_ = tovra::testing::FileSize(tovra::testing::ZerkaLogPath(L"service"));
  }
  void TearDown() override {
    (void)Zerkactl({L"wireguard-stop"});
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    EXPECT_EQ(tovra::testing::RunDevScript(L"uninstall_zerkavpn_vpn_service.cmd"), 0u);
    EXPECT_FALSE(ServiceExists(kTunnelService)) << "a test left its tunnel installed";
  }

  // Two peers: counters are summed, the later handshake wins.
  void Script(uint64_t tx1, uint64_t rx1, uint64_t tx2, uint64_t rx2) {
    std::ofstream out(install_ / L"wireguard-standin.txt", std::ios::binary | std::ios::trunc);
    out << "peer=" << tx1 << "," << rx1 << "," << kHandshakeFileTime - 600000000 << ",1\n"
        << "peer=" << tx2 << "," << rx2 << "," << kHandshakeFileTime << ",2\n";
  }

  ProgramResult Zerkactl(const std::vector<std::wstring>& args) {
    return tovra::testing::RunProgramInFolder(app_, L"zerkactl.exe", args, {}, 120000);
  }

  // The tunnel's record from a zerkactl command with --json.
  tovra::testsupport::Json Tunnel(std::vector<std::wstring> args) {
    args.push_back(L"--json");
    const ProgramResult r = Zerkactl(args);
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    const auto json = tovra::testsupport::ParseJson(r.out);
    EXPECT_TRUE(json) << r.out;
    return json ? *json : tovra::testsupport::Json{};
  }

  std::string ServiceLogSinceSetUp() {
    return tovra::testing::ReadFileFrom(tovra::testing::ZerkaLogPath(L"service"), log_start_);
  }

  // Brings the tunnel up through zerkactl (the Agent may need a moment to reach
  // the Service after the plugin started it).
  tovra::testsupport::Json StartTunnel() {
    const fs::path conf = install_ / L"tunnel.conf";
    {
      std::ofstream out(conf, std::ios::binary | std::ios::trunc);
      out << kConfig;
    }
    EXPECT_TRUE(tovra::testing::WaitUntil(
        [&] { return Zerkactl({L"is-available"}).out.rfind("available", 0) == 0; }, 30s));
    auto up = Tunnel({L"wireguard-start", conf.wstring()});
    fs::remove(conf);
    return up;
  }

  fs::path install_;
  fs::path app_;
  uint64_t log_start_ = 0;
};

TEST_F(WireGuardEndToEnd, ZerkactlBringsTheTunnelUpFollowsItsCountersAndTakesItDown) {
  const auto up = StartTunnel();
  EXPECT_EQ(up["state"].text, "up");
  EXPECT_TRUE(up["adapterPresent"].boolean);
  EXPECT_EQ(up["txBytes"].text, "1100");
  EXPECT_EQ(up["rxBytes"].text, "2200");
  EXPECT_EQ(up["lastHandshakeMs"].text, std::to_string(kHandshakeUnixMs));
  EXPECT_EQ(up["error"].text, "0");
  // The machine-wide verdict follows the tunnel: active, for the adapter and the
  // running tunnel service.
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"Activity"), 1u);
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"ActivityReasons"), 0x03u);

  // The tunnel program read the validator's rendering, and the file is gone.
  const std::string read =
      tovra::testing::ReadFileFrom((install_ / L"wireguard-standin-read.conf").wstring(), 0);
  EXPECT_EQ(read, tovra::service::ValidateWireGuardConfig(kConfig).text);
  EXPECT_EQ(::GetFileAttributesW(ProgramDataConfigPath().c_str()), INVALID_FILE_ATTRIBUTES);

  Script(5, 6, 7, 8);
  const auto status = Tunnel({L"wireguard-status"});
  EXPECT_EQ(status["state"].text, "up");
  EXPECT_EQ(status["txBytes"].text, "12");
  EXPECT_EQ(status["rxBytes"].text, "14");

  const auto down = Tunnel({L"wireguard-stop"});
  EXPECT_EQ(down["state"].text, "down");
  EXPECT_EQ(down["error"].text, "0");
  EXPECT_FALSE(ServiceExists(kTunnelService));
  EXPECT_EQ(::GetFileAttributesW(ProgramDataConfigPath().c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"Activity"), 0u);
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"ActivityReasons"), 0u);
  EXPECT_TRUE(
      Contains(ServiceLogSinceSetUp(), "INFO vpn activity -> 1 (wg=1 ovpn=0 reasons=0x00000003)"));

  const auto hits = tovra::testing::FindSecretsInLogs({{"private key", kPrivateKey}});
  EXPECT_TRUE(hits.empty()) << tovra::testing::DescribeSecretHits(hits);
}

// STOPPED may end the process at once: the tunnel must be gone by then.
TEST_F(WireGuardEndToEnd, AnScmStopRemovesTheTunnelBeforeTheServiceReportsStopped) {
  ASSERT_EQ(StartTunnel()["state"].text, "up");
  UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle svc(
      ::OpenServiceW(scm.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
  ASSERT_TRUE(svc);
  SERVICE_STATUS status{};
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(::ControlService(svc.get(), SERVICE_CONTROL_STOP, &status));
  // The control returned at once with the stop pending (the tunnel goes afterwards).
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  bool tunnel_at_stopped = true;
  ASSERT_TRUE(tovra::testing::WaitUntil(
      [&] {
        if (QueryService(kServiceName).dwCurrentState != SERVICE_STOPPED) return false;
        tunnel_at_stopped = ServiceExists(kTunnelService);
        return true;
      },
      60s));
  EXPECT_FALSE(tunnel_at_stopped);
  EXPECT_TRUE(Contains(ServiceLogSinceSetUp(), "INFO service stopped cleanly"));
}

// What a Service killed with a tunnel up leaves behind (its tunnel service
// running, and a configuration file when it died in the middle of a start) is
// removed when the Service starts again. Wine's manager keeps reporting a killed
// service as running, so the leftovers are made here by a tunnel manager of this
// process over the same installation, while the Service is stopped.
TEST_F(WireGuardEndToEnd, ATunnelLeftByAnEarlierRunIsRemovedAtTheNextStart) {
  UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle svc(
      ::OpenServiceW(scm.get(), kServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
  ASSERT_TRUE(svc);
  SERVICE_STATUS status{};
  ASSERT_TRUE(::ControlService(svc.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(tovra::testing::WaitUntil(
      [] { return QueryService(kServiceName).dwCurrentState == SERVICE_STOPPED; }, 60s));
  {
    tovra::service::WinWireGuardTunnel earlier(install_.wstring());
    ASSERT_EQ(earlier.manager().Start(kConfig).record.state, 2);
  }
  {
    std::ofstream out(fs::path(ProgramDataConfigPath()), std::ios::binary | std::ios::trunc);
    out << "left over";
  }
  ASSERT_TRUE(ServiceExists(kTunnelService));

  ASSERT_TRUE(::StartServiceW(svc.get(), 0, nullptr)) << ::GetLastError();
  EXPECT_TRUE(tovra::testing::WaitUntil([] { return !ServiceExists(kTunnelService); }, 60s));
  EXPECT_TRUE(tovra::testing::WaitUntil(
      [] {
        return ::GetFileAttributesW(ProgramDataConfigPath().c_str()) == INVALID_FILE_ATTRIBUTES;
      },
      30s));
  EXPECT_TRUE(Contains(ServiceLogSinceSetUp(),
                       "WARN wireguard: reconcile - removing stale "
                       "WireGuardTunnel$zerkavpnwireguard from a prior run"));
}

}  // namespace
