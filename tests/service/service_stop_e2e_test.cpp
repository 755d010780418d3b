// The real ZerkaVPNService.exe installed under the Service Control Manager and the
// real ZerkaVPNAgent.exe holding its Service link open, as it does between the
// plugin's probes: an SCM stop must not wait for the Agent to go quiet.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_names.h"
#include "common/security/caller_identity_win.h"
#include "common/win/handles_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/program_run_win.h"

namespace tovra::testing {
namespace {

using common::Frame;
using common::Status;
using common::UniqueServiceHandle;

DWORD CurrentState(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

class ServiceStopWithAgentLink : public ::testing::Test {
 protected:
  void SetUp() override {
    service_exe_ = WinePathFromEnvironment(L"ZERKA_TEST_SERVICE_EXE");
    agent_exe_ = WinePathFromEnvironment(L"ZERKA_TEST_AGENT_EXE");
    ASSERT_FALSE(service_exe_.empty() || agent_exe_.empty());
    ASSERT_EQ(RunDevScript(L"uninstall_zerkavpn_vpn_service.cmd"),
              0u);  // a leftover of a failed run
    ASSERT_EQ(RunDevScript(L"install_zerkavpn_vpn_service.cmd", service_exe_), 0u);
    log_offset_ = FileSize(ZerkaLogPath(L"service"));
  }
  void TearDown() override {
    agent_.Kill();
    RunDevScript(L"uninstall_zerkavpn_vpn_service.cmd");
  }

  std::wstring service_exe_;
  std::wstring agent_exe_;
  uint64_t log_offset_ = 0;
  ChildProcess agent_;
};

TEST_F(ServiceStopWithAgentLink, ScmStopReachesStoppedWithinFiveSeconds) {
  ASSERT_TRUE(agent_.Start(agent_exe_));
  common::ConnectOptions options;
  options.attempts = 100;
  options.busy_wait_ms = 400;
  options.on_absent = [] {  // until the Agent has created its pipe
    ::Sleep(100);
    return true;
  };
  common::ConnectResult plugin =
      common::ConnectToServer(common::kAgentPipeRole, common::GetProcessSessionId(), options);
  ASSERT_EQ(plugin.error, Status::ok);
  // Health makes the Agent connect its Service link, which it then keeps open.
  std::optional<Frame> health = common::ExchangeRequest(
      plugin.pipe.get(), common::ToWire(common::MessageType::get_agent_health), 1, {}, 15000);
  ASSERT_TRUE(health);
  common::PayloadReader r(health->payload);
  uint16_t status = 0xFFFF;
  common::AgentHealthRecord record;
  ASSERT_TRUE(r.ReadU16(status) && r.ReadAgentHealth(record));
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(record.service_connected);

  UniqueServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(scm);
  UniqueServiceHandle svc(
      ::OpenServiceW(scm.get(), L"ZerkaVPNService", SERVICE_STOP | SERVICE_QUERY_STATUS));
  ASSERT_TRUE(svc);
  ASSERT_EQ(CurrentState(svc.get()), static_cast<DWORD>(SERVICE_RUNNING));
  SERVICE_STATUS status_after_control{};
  const ULONGLONG start = ::GetTickCount64();
  ASSERT_TRUE(::ControlService(svc.get(), SERVICE_CONTROL_STOP, &status_after_control));
  while (CurrentState(svc.get()) != SERVICE_STOPPED && ::GetTickCount64() - start < 5000) {
    ::Sleep(50);
  }
  EXPECT_EQ(CurrentState(svc.get()), static_cast<DWORD>(SERVICE_STOPPED))
      << "still not stopped " << (::GetTickCount64() - start) << " ms after the stop";

  // STOPPED is reported after the loop and its state are done with.
  const std::string run = ReadFileFrom(ZerkaLogPath(L"service"), log_offset_);
  const std::string last = "[service] INFO service stopped cleanly\r\n";
  ASSERT_GE(run.size(), last.size()) << run;
  EXPECT_EQ(run.substr(run.size() - last.size()), last) << run;
  EXPECT_NE(run.find("INFO stop requested: client session ended"), std::string::npos) << run;
}

}  // namespace
}  // namespace tovra::testing
