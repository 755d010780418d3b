// OpenVPN connections end to end under Wine: zerkactl and the real plugin, the
// Agent it starts, the Service installed under Wine's Service Control Manager
// (it stages the profile), and stand-ins for the OpenVPN installation, its
// Interactive Service and openvpn.exe (tests/fakes/openvpn).
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/fakes/openvpn/interactive_service_standin_win.h"
#include "tests/fakes/openvpn/openvpn_install_standin_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/json_reader.h"
#include "tests/support/program_run_win.h"
#include "tests/support/secret_scan_win.h"
#include "tests/support/wait_until.h"
#include "tests/support/vpn_samples.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovra::testing::OpenVpnInstallStandIn;
using tovra::testing::OpenVpnRuntimeStandIn;
using tovra::testing::ProgramResult;
using tovra::testing::TestEnv;
using tovra::testing::WaitUntil;
using tovra::testsupport::Json;

constexpr char kUser[] = "alice \"the\" \\admin";
constexpr char kPassword[] = "s3cr\"et\\pass";

fs::path TempFolder(const std::wstring& stem) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  return fs::path(temp) / (stem + L"-" + std::to_wstring(::GetCurrentProcessId()));
}

class OpenVpnEndToEnd : public ::testing::Test {
 protected:
  OpenVpnEndToEnd() : runtime_(TempFolder(L"zerka-ovpn-runtime").wstring()) {}

  void SetUp() override {
    ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"60");
    Credentials(kUser, kPassword);
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    service_dir_ =
        tovra::testing::CopyProgramsToFreshFolder(L"zerka-ovpn-service", {L"TOVRA_SERVICE_EXE"});
    ASSERT_FALSE(service_dir_.empty());

    ASSERT_TRUE(runtime_.Install(Script()));
    ASSERT_TRUE(install_.Install(runtime_.OpenVpnExePath()));
    ASSERT_TRUE(runtime_.StartService());
    app_ = tovra::testing::LayOutAppFolder(L"zerka-ovpn-e2e", true, true);
    ASSERT_EQ(tovra::testing::RunDevScript(L"install_zerkavpn_vpn_service.cmd",
                                           (service_dir_ / L"ZerkaVPNService.exe").wstring()),
              0u);
    agent_log_start_ = tovra::testing::FileSize(tovra::testing::ZerkaLogPath(L"agent"));
    ASSERT_TRUE(
        WaitUntil([&] { return Zerkactl({L"is-available"}).out.rfind("available", 0) == 0; }, 30s));
  }

  void TearDown() override {
    (void)Zerkactl({L"openvpn-stop"});
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    EXPECT_EQ(tovra::testing::RunDevScript(L"uninstall_zerkavpn_vpn_service.cmd"), 0u);
    EXPECT_EQ(StagedProfiles(), 0u) << "a profile was left staged";
  }

  static std::string Script() {
    return std::string("username=") + kUser + "\npassword=" + kPassword + "\nbytes=1234,5678\n";
  }
  static void Credentials(const char* user, const char* password) {
    ::SetEnvironmentVariableA("ZERKA_OPENVPN_USERNAME", user);
    ::SetEnvironmentVariableA("ZERKA_OPENVPN_PASSWORD", password);
  }

  ProgramResult Zerkactl(const std::vector<std::wstring>& args) {
    return tovra::testing::RunProgramInFolder(app_, L"zerkactl.exe", args, {}, 120000);
  }
  Json Record(std::vector<std::wstring> args) {
    args.push_back(L"--json");
    const ProgramResult r = Zerkactl(args);
    EXPECT_EQ(r.exit_code, 0u) << r.out << r.err;
    const auto json = tovra::testsupport::ParseJson(r.out);
    EXPECT_TRUE(json) << r.out;
    return json ? *json : Json{};
  }
  Json Start() {
    const fs::path profile = fs::path(app_) / L"profile.ovpn";
    {
      std::ofstream out(profile, std::ios::binary | std::ios::trunc);
      out << tovra::testing::kSampleOpenVpnProfile;
    }
    Json started = Record({L"openvpn-start", profile.wstring()});
    fs::remove(profile);
    return started;
  }
  // Waits, through status requests, for the record to satisfy `done`.
  Json StatusUntil(const std::function<bool(const Json&)>& done) {
    Json last;
    EXPECT_TRUE(WaitUntil(
        [&] {
          last = Record({L"openvpn-status"});
          return done(last);
        },
        45s, 250ms))
        << "state " << last["state"].text << " error " << last["errorKind"].text;
    return last;
  }
  static size_t StagedProfiles() {
    size_t n = 0;
    std::error_code ec;
    // The Service stages into its own subfolder of the configuration folder.
    const fs::path staged = fs::path(OpenVpnInstallStandIn::StandardConfigDir()) / L"zerkavpn";
    for (const auto& e : fs::directory_iterator(staged, ec)) {
      if (e.path().filename().wstring().rfind(L"ovpn-", 0) == 0) ++n;
    }
    return n;
  }
  std::string AgentLog() {
    return tovra::testing::ReadFileFrom(tovra::testing::ZerkaLogPath(L"agent"), agent_log_start_);
  }

  OpenVpnInstallStandIn install_;
  OpenVpnRuntimeStandIn runtime_;
  fs::path service_dir_;
  fs::path app_;
  uint64_t agent_log_start_ = 0;
};

TEST_F(OpenVpnEndToEnd, StartReachesConnectedAndStopEndsTheProcessThroughItsExitEvent) {
  const Json capabilities = Record({L"openvpn-capabilities"});
  EXPECT_EQ(capabilities["openVpnFound"].text, "yes");
  EXPECT_EQ(capabilities["openVpnVersion"].text, "2.6.12");
  EXPECT_EQ(capabilities["interactiveServiceRunning"].text, "yes");

  const Json started = Start();
  EXPECT_EQ(started["active"].boolean, true);
  EXPECT_EQ(started["errorKind"].text, "0");
  EXPECT_EQ(started["attemptId"].text, "1");

  const Json up = StatusUntil(
      [](const Json& j) { return j["state"].text == "CONNECTED" || j["errorKind"].text != "0"; });
  ASSERT_EQ(up["state"].text, "CONNECTED");
  EXPECT_EQ(up["bytesIn"].text, "1234");
  EXPECT_EQ(up["bytesOut"].text, "5678");
  EXPECT_NE(up["connectedSinceMs"].text, "0");
  EXPECT_EQ(runtime_.SeenValue("management_password"), "right");
  EXPECT_EQ(runtime_.SeenValue("credentials"), "match") << "quotes and backslashes arrive intact";
  // The attempt unstages at its first look after CONNECTED (within its 200 ms poll).
  EXPECT_TRUE(WaitUntil([] { return StagedProfiles() == 0; }, 10s)) << "unstaged once connected";
  // The Service's verdict follows the Agent's reports.
  EXPECT_TRUE(WaitUntil([] { return tovra::testing::ReadActivityValue(L"Activity") == 1u; }, 20s));

  const Json down = Record({L"openvpn-stop"});
  EXPECT_EQ(down["state"].text, "NONE");
  EXPECT_EQ(down["active"].boolean, false);
  EXPECT_EQ(down["errorKind"].text, "0");
  EXPECT_EQ(down["attemptId"].text, "2");
  ASSERT_TRUE(WaitUntil([&] { return runtime_.SeenValue("exit").has_value(); }, 20s));
  const std::string exit = *runtime_.SeenValue("exit");
  EXPECT_TRUE(exit.rfind("sigterm", 0) == 0 || exit.rfind("event", 0) == 0) << exit;
  EXPECT_NE(exit.find("code=0"), std::string::npos) << exit;
  EXPECT_TRUE(WaitUntil(
      [&] {
        (void)Record({L"openvpn-status"});
        return tovra::testing::ReadActivityValue(L"Activity") == 0u;
      },
      20s, 500ms));

  const std::string log = AgentLog() + runtime_.SeenText();
  EXPECT_EQ(log.find(kPassword), std::string::npos);
  EXPECT_EQ(log.find("s3cr"), std::string::npos);
  const auto hits = tovra::testing::FindSecretsInLogs(
      {{"password", kPassword}, {"username", kUser}, {"profile's certificate", "MIIBzone"}});
  EXPECT_TRUE(hits.empty()) << tovra::testing::DescribeSecretHits(hits);
}

TEST_F(OpenVpnEndToEnd, TheAgentOutlivesItsIdleTimeoutOnlyWhileAnAttemptIsActive) {
  // A fresh Agent with a 3 s idle timeout: the active attempt keeps it up, its
  // 7 s report waits keep the verdict fresh, and once stopped it leaves.
  ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"3");
  tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
  ASSERT_EQ(Start()["errorKind"].text, "0");
  ASSERT_EQ(StatusUntil([](const Json& j) {
              return j["state"].text == "CONNECTED" || !j["active"].boolean;
            })["state"]
                .text,
            "CONNECTED");
  EXPECT_FALSE(
      WaitUntil([] { return !tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe"); }, 10s))
      << "the Agent left while an attempt was active";
  EXPECT_EQ(tovra::testing::ReadActivityValue(L"Activity"), 1u);
  EXPECT_EQ(Record({L"openvpn-stop"})["active"].boolean, false);
  EXPECT_TRUE(
      WaitUntil([] { return !tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe"); }, 20s))
      << "an idle Agent with nothing active stays";
  ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"60");
}

TEST_F(OpenVpnEndToEnd, WrongCredentialsEndTheAttemptWithAnAuthenticationFailure) {
  Credentials(kUser, "not the password");
  ASSERT_EQ(Start()["errorKind"].text, "0");
  const Json ended = StatusUntil([](const Json& j) { return !j["active"].boolean; });
  EXPECT_EQ(ended["errorKind"].text, "7");
  EXPECT_EQ(runtime_.SeenValue("credentials"), "mismatch");
  EXPECT_EQ(StagedProfiles(), 0u);
}

TEST_F(OpenVpnEndToEnd, ASquatterOnTheInteractiveServicePipeReceivesNothing) {
  // The real service runs but serves no pipe; another process serves its name.
  ASSERT_TRUE(runtime_.RemoveService());
  ASSERT_TRUE(runtime_.WriteScript(Script() + "is_no_pipe\n"));
  ASSERT_TRUE(runtime_.StartService());
  ASSERT_TRUE(runtime_.StartSquatter());
  ASSERT_EQ(Start()["errorKind"].text, "0");
  const Json ended = StatusUntil([](const Json& j) { return !j["active"].boolean; });
  EXPECT_EQ(ended["errorKind"].text, "12");
  EXPECT_EQ(runtime_.WaitForSquatter(10000), std::optional<uint64_t>(0));
  EXPECT_TRUE(runtime_.SquatterWasConnected()) << "the Agent opened the pipe and wrote nothing";
  EXPECT_FALSE(runtime_.SeenValue("config").has_value()) << "no openvpn.exe was started";
}

}  // namespace
