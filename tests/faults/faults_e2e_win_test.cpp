// Faults end to end under Wine: the real plugin (played from "Dart"), the Agent it
// starts, and the Service installed under Wine's Service Control Manager beside
// the WireGuard stand-ins, with the OpenVPN stand-ins installed. Each test breaks
// one piece in the middle of work (kills the Agent, kills or stops the Service)
// and then checks that the plugin's next calls recover within the plugin's retry
// rules, that nothing is left behind (tunnel service, configuration file, staged
// profile) and that the machine-wide activity verdict settles to the truth.
//
// Wine's service manager keeps reporting a killed service as RUNNING (see
// docs/wine-notes.md), so a killed Service cannot be started again under it here.
// A real kill of the Service is therefore made on a console-mode run of the same
// installed program (same folder, same pipe, same tunnel manager); the installed
// Service is then started under the manager again, which is what a restart after
// a crash does. Stops go through the manager.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/win/handles_win.h"
#include "tests/faults/dart_player_win.h"
#include "tests/fakes/openvpn/interactive_service_standin_win.h"
#include "tests/fakes/openvpn/openvpn_install_standin_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/program_run_win.h"
#include "tests/support/wait_until.h"
#include "tests/support/vpn_samples.h"

namespace tovra::faults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tovra::common::UniqueServiceHandle;
using tovra::testing::ChildProcess;
using tovra::testing::OpenVpnInstallStandIn;
using tovra::testing::OpenVpnRuntimeStandIn;
using tovra::testing::ReadActivityValue;
using tovra::testing::TestEnv;
using tovra::testing::WaitUntil;
using tovra_windows_vpn::TovraComponentState;
using tovra_windows_vpn::TovraOpenVpnStatus;
using tovra_windows_vpn::TovraWireGuardStatus;

constexpr wchar_t kServiceName[] = L"ZerkaVPNService";
constexpr wchar_t kTunnelService[] = L"WireGuardTunnel$zerkavpnwireguard";
constexpr wchar_t kAgentExe[] = L"ZerkaVPNAgent.exe";
constexpr const char* kConfig = tovra::testing::kSampleWireGuardConfig;
constexpr const char* kProfile = tovra::testing::kSampleOpenVpnProfile;
constexpr char kUser[] = "alice";
constexpr char kPassword[] = "fault-suite-pass";

fs::path TempFolder(const std::wstring& stem) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  return fs::path(temp) / (stem + L"-" + std::to_wstring(::GetCurrentProcessId()));
}

std::wstring ConfigPath() {
  wchar_t buf[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH);
  return std::wstring(buf, n) + L"\\Zerka\\vpn\\wireguard\\zerkavpnwireguard.conf";
}
bool ConfigFileExists() {
  return ::GetFileAttributesW(ConfigPath().c_str()) != INVALID_FILE_ATTRIBUTES;
}

SERVICE_STATUS_PROCESS QueryService(const wchar_t* name, bool* exists = nullptr) {
  SERVICE_STATUS_PROCESS status{};
  UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle svc(scm ? ::OpenServiceW(scm.get(), name, SERVICE_QUERY_STATUS) : nullptr);
  if (exists) *exists = svc || ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
  DWORD needed = 0;
  if (svc) {
    ::QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                           sizeof status, &needed);
  }
  return status;
}
bool TunnelExists() {
  bool exists = false;
  (void)QueryService(kTunnelService, &exists);
  return exists;
}
DWORD TunnelState() {
  return QueryService(kTunnelService).dwCurrentState;
}

// The Service stages profiles in its own subfolder of OpenVPN's configuration folder.
size_t StagedProfiles() {
  size_t n = 0;
  std::error_code ec;
  const fs::path staging = fs::path(OpenVpnInstallStandIn::StandardConfigDir()) / L"zerkavpn";
  for (const auto& e : fs::directory_iterator(staging, ec)) {
    if (e.path().filename().wstring().rfind(L"ovpn-", 0) == 0) ++n;
  }
  return n;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Faults : public ::testing::Test {
 protected:
  Faults() : runtime_(TempFolder(L"zerka-faults-ovpn").wstring()) {}

  void SetUp() override {
    ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"60");
    tovra::testing::KillProcessesNamed(kAgentExe);
    install_ = tovra::testing::CopyProgramsToFreshFolder(
        L"zerka-faults-service",
        {L"TOVRA_SERVICE_EXE", L"ZERKA_TEST_WIREGUARD_EXE", L"ZERKA_TEST_WIREGUARD_DLL"});
    ASSERT_FALSE(install_.empty());
    WireGuardScript("");
    ASSERT_TRUE(runtime_.Install("username=alice\npassword=fault-suite-pass\nnever_connect\n"));
    ASSERT_TRUE(ovpn_install_.Install(runtime_.OpenVpnExePath()));
    ASSERT_TRUE(runtime_.StartService());
    ASSERT_EQ(tovra::testing::RunDevScript(L"install_zerkavpn_vpn_service.cmd",
                                           (install_ / L"ZerkaVPNService.exe").wstring()),
              0u);
    log_start_ = tovra::testing::FileSize(tovra::testing::ZerkaLogPath(L"service"));
    dart_ = std::make_unique<DartPlayer>(L"zerka-faults", true);
    ASSERT_TRUE(dart_->ok());
    ASSERT_TRUE(ServiceReachable()) << "the chain never came up";
  }

  void TearDown() override {
    if (dart_) {
      (void)dart_->Call("stopWireGuard");
      (void)dart_->Call("stopOpenVpn");
      dart_.reset();
    }
    console_.Kill();
    tovra::testing::KillProcessesNamed(kAgentExe);
    EXPECT_EQ(tovra::testing::RunDevScript(L"uninstall_zerkavpn_vpn_service.cmd"), 0u);
    EXPECT_FALSE(TunnelExists()) << "a tunnel service was left installed";
    EXPECT_FALSE(ConfigFileExists()) << "a configuration file was left";
    for (const char* secret : {kPassword, "yAnz5TF+lXXJte14"}) {
      for (const wchar_t* component : {L"service", L"agent", L"plugin"}) {
        EXPECT_FALSE(Contains(
            tovra::testing::ReadFileFrom(tovra::testing::ZerkaLogPath(component), 0), secret))
            << "a secret is in the log";
      }
    }
  }

  void WireGuardScript(const std::string& text) {
    std::ofstream out(install_ / L"wireguard-standin.txt", std::ios::binary | std::ios::trunc);
    out << text;
  }

  // The Service answers through the plugin and the Agent.
  bool ServiceReachable() {
    return WaitUntil([&] { return dart_->Call("getServiceHealth").value; }, 45s, 250ms);
  }

  bool ControlScm(bool start) {
    UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle svc(::OpenServiceW(scm.get(), kServiceName,
                                           SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!svc) return false;
    if (start) {
      if (!::StartServiceW(svc.get(), 0, nullptr)) return false;
      return WaitUntil([] { return QueryService(kServiceName).dwCurrentState == SERVICE_RUNNING; },
                       60s);
    }
    SERVICE_STATUS status{};
    if (!::ControlService(svc.get(), SERVICE_CONTROL_STOP, &status)) return false;
    return WaitUntil([] { return QueryService(kServiceName).dwCurrentState == SERVICE_STOPPED; },
                     60s);
  }

  // The Activity value, once it has held `want` (checked while status calls keep
  // the Agent's reports and the Service's passes going).
  bool ActivitySettlesTo(uint32_t want, std::chrono::milliseconds limit = 40s) {
    return WaitUntil(
        [&] {
          (void)dart_->Call("getOpenVpnStatus");
          return ReadActivityValue(L"Activity") == want;
        },
        limit, 500ms);
  }

  std::string ServiceLog() {
    return tovra::testing::ReadFileFrom(tovra::testing::ZerkaLogPath(L"service"), log_start_);
  }

  OpenVpnRuntimeStandIn runtime_;
  OpenVpnInstallStandIn ovpn_install_;
  fs::path install_;
  std::unique_ptr<DartPlayer> dart_;
  ChildProcess console_;
  uint64_t log_start_ = 0;
};

struct RequestKind {
  const char* method;
  const char* recovery;  // the call that must answer with a value afterwards
};

// Each kind of request, with the Agent killed while it is in flight. Requests the
// Agent answers at once may finish before the kill lands; a start held by the
// tunnel stand-in is killed inside the Service's work for certain.
TEST_F(Faults, AgentKilledDuringEachKindOfRequest) {
  WireGuardScript("running_delay_ms=1500\n");
  const RequestKind kinds[] = {
      {"getAgentHealth", "getAgentHealth"},   {"getServiceHealth", "getServiceHealth"},
      {"isAvailable", "isAvailable"},         {"getHealth", "getHealth"},
      {"wireGuardStatus", "wireGuardStatus"}, {"startWireGuard", "wireGuardStatus"},
      {"stopWireGuard", "stopWireGuard"},     {"getOpenVpnCapabilities", "getOpenVpnCapabilities"},
      {"startOpenVpn", "getOpenVpnStatus"},   {"getOpenVpnStatus", "getOpenVpnStatus"},
      {"stopOpenVpn", "stopOpenVpn"},
  };
  for (const RequestKind& kind : kinds) {
    SCOPED_TRACE(kind.method);
    ASSERT_TRUE(WaitUntil([&] { return dart_->Call("getAgentHealth").value; }, 30s));
    const std::string method = kind.method;
    const EncodableValue args = method == "startWireGuard" ? Texts({kConfig})
                                : method == "startOpenVpn" ? Texts({kProfile, kUser, kPassword})
                                                           : Texts({});
    Reply reply;
    ASSERT_TRUE(dart_->Send(method, args, &reply));
    if (method == "startWireGuard") {
      ASSERT_TRUE(dart_->PumpUntil(TunnelExists, 30s)) << "the start never reached the manager";
    } else {
      // Long enough for the platform thread to hand the call to a worker.
      (void)dart_->PumpUntil([&] { return reply.replies > 0; }, 5ms);
    }
    tovra::testing::KillProcessesNamed(kAgentExe);
    ASSERT_TRUE(dart_->PumpUntil([&] { return reply.replies > 0; }, 90s));
    EXPECT_TRUE(reply.complete()) << reply.Describe();
    const Reply next = dart_->Call(kind.recovery);
    EXPECT_TRUE(next.value) << kind.recovery << " after the kill: " << next.Describe();
  }
  // The tunnel goes with a stop; the OpenVPN attempt the killed Agent left (its
  // openvpn.exe, its staged profile) is cleaned up by the user ending the process
  // and the Service's sweep at its next start.
  EXPECT_TRUE(dart_->Call("stopWireGuard").value);
  EXPECT_FALSE(TunnelExists());
  EXPECT_FALSE(ConfigFileExists());
  (void)runtime_.KillOpenVpnProcesses();
  ASSERT_TRUE(ControlScm(false));
  ASSERT_TRUE(ControlScm(true));
  EXPECT_EQ(StagedProfiles(), 0u);
  EXPECT_TRUE(ServiceReachable());
  EXPECT_TRUE(ActivitySettlesTo(0));
}

// Where the Service was when it died in a tunnel start.
struct HeldStart {
  const char* name;
  const char* script;  // what holds the tunnel program there
  DWORD tunnel_state;  // the tunnel service's state at the kill
};

class ServiceKilledDuringWireGuardStart : public Faults,
                                          public ::testing::WithParamInterface<HeldStart> {};

TEST_P(ServiceKilledDuringWireGuardStart, ReconcileAtTheNextStartLeavesNothing) {
  const HeldStart held = GetParam();
  // A console run of the installed program, which can be killed for real.
  ASSERT_TRUE(ControlScm(false));
  ASSERT_TRUE(console_.Start((install_ / L"ZerkaVPNService.exe").wstring(), L"--console"));
  ASSERT_TRUE(ServiceReachable());
  WireGuardScript(held.script);

  Reply start;
  ASSERT_TRUE(dart_->Send("startWireGuard", Texts({kConfig}), &start));
  ASSERT_TRUE(dart_->PumpUntil(
      [&] { return TunnelState() == held.tunnel_state && ConfigFileExists(); }, 30s))
      << "the start never reached the step";
  console_.Kill();
  ASSERT_TRUE(dart_->PumpUntil([&] { return start.replies > 0; }, 90s));
  EXPECT_TRUE(start.complete()) << start.Describe();
  EXPECT_FALSE(start.value) << "a start whose Service died answered with a value";
  EXPECT_TRUE(TunnelExists()) << "the kill left no tunnel behind: the step was not reached";

  WireGuardScript("");
  ASSERT_TRUE(ControlScm(true));
  EXPECT_TRUE(WaitUntil([] { return !TunnelExists(); }, 60s)) << "tunnel service left";
  EXPECT_TRUE(WaitUntil([] { return !ConfigFileExists(); }, 30s)) << "configuration file left";
  EXPECT_TRUE(Contains(ServiceLog(), "WARN wireguard: reconcile - removing stale"));
  ASSERT_TRUE(ServiceReachable());
  const Reply status = dart_->Call("wireGuardStatus");
  ASSERT_TRUE(status.value) << status.Describe();
  EXPECT_NE(Custom<TovraWireGuardStatus>(status.result).state, TovraComponentState::up);
  EXPECT_TRUE(ActivitySettlesTo(0));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ServiceKilledDuringWireGuardStart,
    ::testing::Values(HeldStart{"TunnelCreatedNotRunning", "running_delay_ms=30000\n",
                                SERVICE_START_PENDING},
                      HeldStart{"WaitingForTheAdapter", "no_adapter=1\n", SERVICE_RUNNING}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Faults, ServiceStoppedDuringWireGuardStart) {
  WireGuardScript("running_delay_ms=30000\n");
  Reply start;
  ASSERT_TRUE(dart_->Send("startWireGuard", Texts({kConfig}), &start));
  ASSERT_TRUE(dart_->PumpUntil([] { return TunnelExists() && ConfigFileExists(); }, 30s));
  ASSERT_TRUE(ControlScm(false));
  // The stop removed what the start had made before STOPPED.
  EXPECT_FALSE(TunnelExists());
  EXPECT_FALSE(ConfigFileExists());
  ASSERT_TRUE(dart_->PumpUntil([&] { return start.replies > 0; }, 90s));
  EXPECT_TRUE(start.complete()) << start.Describe();

  WireGuardScript("");
  ASSERT_TRUE(ControlScm(true));
  ASSERT_TRUE(ServiceReachable());
  const Reply status = dart_->Call("wireGuardStatus");
  ASSERT_TRUE(status.value) << status.Describe();
  EXPECT_NE(Custom<TovraWireGuardStatus>(status.result).state, TovraComponentState::up);
  EXPECT_TRUE(ActivitySettlesTo(0));
}

// An attempt held before CONNECTED keeps its profile staged and its openvpn.exe
// running (never_connect).
TEST_F(Faults, ServiceStoppedDuringOpenVpnAttempt) {
  const Reply started = dart_->Call("startOpenVpn", Texts({kProfile, kUser, kPassword}));
  ASSERT_TRUE(started.value) << started.Describe();
  ASSERT_TRUE(WaitUntil([] { return StagedProfiles() == 1; }, 30s));
  ASSERT_TRUE(ControlScm(false));
  const Reply during = dart_->Call("getOpenVpnStatus");
  EXPECT_TRUE(during.value) << "the Agent answers for its attempt without the Service";

  ASSERT_TRUE(ControlScm(true));
  ASSERT_TRUE(ServiceReachable());
  const Reply stopped = dart_->Call("stopOpenVpn");
  ASSERT_TRUE(stopped.value) << stopped.Describe();
  EXPECT_FALSE(Custom<TovraOpenVpnStatus>(stopped.result).active);
  EXPECT_TRUE(WaitUntil([] { return StagedProfiles() == 0; }, 30s));
  EXPECT_TRUE(ActivitySettlesTo(0));
}

TEST_F(Faults, AgentKilledDuringOpenVpnAttempt) {
  const Reply started = dart_->Call("startOpenVpn", Texts({kProfile, kUser, kPassword}));
  ASSERT_TRUE(started.value) << started.Describe();
  ASSERT_TRUE(WaitUntil([] { return StagedProfiles() == 1; }, 30s));
  ASSERT_TRUE(ActivitySettlesTo(1)) << "the attempt was never reported";
  tovra::testing::KillProcessesNamed(kAgentExe);

  // A new Agent knows no attempt; the orphaned openvpn.exe still runs, so the
  // verdict stays active while it does (the truth), and the profile stays staged.
  const Reply status = dart_->Call("getOpenVpnStatus");
  ASSERT_TRUE(status.value) << status.Describe();
  EXPECT_FALSE(Custom<TovraOpenVpnStatus>(status.result).active);
  EXPECT_EQ(ReadActivityValue(L"Activity"), 1u);

  // The process ends and the Service starts again: the sweep removes the
  // profile, and with no report, no process and no profile the verdict is 0.
  (void)runtime_.KillOpenVpnProcesses();
  EXPECT_EQ(StagedProfiles(), 1u) << "nobody is left to unstage the profile";
  ASSERT_TRUE(ControlScm(false));
  EXPECT_EQ(StagedProfiles(), 1u) << "a stop does not sweep";
  ASSERT_TRUE(ControlScm(true));
  EXPECT_EQ(StagedProfiles(), 0u) << "the start did not sweep";
  ASSERT_TRUE(ServiceReachable());
  EXPECT_TRUE(ActivitySettlesTo(0));
  EXPECT_TRUE(dart_->Call("stopOpenVpn").value);
}

TEST_F(Faults, AgentRestartedWhileTheEventPumpRuns) {
  ASSERT_TRUE(dart_->Call("startEvents").value);
  ASSERT_TRUE(dart_->PumpUntil(
      [&] {
        return dart_->SawEventsInOrder({"agentConnected", "serviceConnected"}, 0);
      },
      30s));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const size_t from = dart_->events().size();
    ASSERT_GT(tovra::testing::KillProcessesNamed(kAgentExe), 0);
    // The poller notices, starts the Agent again one period later and reconnects.
    EXPECT_TRUE(dart_->PumpUntil(
        [&] {
          return dart_->SawEventsInOrder(
              {"agentDisconnected", "agentConnected", "serviceGenerationChanged"}, from);
        },
        30s))
        << "events after the kill: " << dart_->events().size() - from;
    const Reply health = dart_->Call("getAgentHealth");
    EXPECT_TRUE(health.value) << health.Describe();
  }
  EXPECT_TRUE(ActivitySettlesTo(0));
}

}  // namespace
}  // namespace tovra::faults
