// The tunnel manager over the real pieces: Wine's Service Control Manager runs
// the wireguard.exe stand-in as the tunnel service, and the wireguard.dll
// stand-in, copied beside it, sees the adapter while that program holds it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/text/text.h"
#include "common/win/handles_win.h"
#include "tests/support/temp_folder_win.h"
#include "service/wireguard/tunnel_service_control_win.h"
#include "service/wireguard/wireguard_config_validator.h"
#include "service/wireguard/wireguard_tunnel_win.h"
#include "tests/fakes/wireguard/wireguard_standin.h"
#include "tests/support/stderr_capture_win.h"
#include "tests/support/wait_until.h"

namespace tovra::service {
namespace {

using common::UniqueHandle;
using common::UniqueServiceHandle;
using common::WireGuardError;
using common::WireGuardState;
using common::WireGuardStatusRecord;
using ::testing::HasSubstr;
using tovra::testing::Exists;
using tovra::testing::TempFolder;
using tovra::testing::WaitUntil;

constexpr auto kServiceBound = std::chrono::seconds(20);
constexpr DWORD kProcessExitMs = 20000;

constexpr char kTunnelConfig[] =
    "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
    "Address = 10.0.0.2/32\n"
    "[Peer]\nPublicKey = ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM=\n"
    "Endpoint = 192.0.2.1:51820\nAllowedIPs = 0.0.0.0/0\n";
constexpr char kOtherConfig[] =
    "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
    "Address = 10.9.0.7/32\nDNS = 10.9.0.1\n"
    "[Peer]\nPublicKey = ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM=\n"
    "Endpoint = 198.51.100.4:51820\nAllowedIPs = 10.9.0.0/16\n";

uint8_t State(WireGuardState s) {
  return static_cast<uint8_t>(s);
}

// A handshake at `unix_ms`, in the FILETIME units the adapter reports.
std::string Handshake(uint64_t unix_ms) {
  return std::to_string(116444736000000000ULL + unix_ms * 10000);
}

std::string Rendered(const char* config) {
  WireGuardConfigResult r = ValidateWireGuardConfig(config);
  EXPECT_EQ(r.code, WireGuardConfigCode::kAccepted);
  return r.text;
}

std::string ReadWhole(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  std::string text;
  char buf[4096];
  DWORD n = 0;
  while (file && ::ReadFile(file.get(), buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  return text;
}

// What the manager shows of the tunnel service; open_error is 0 when it exists.
struct ServiceLook {
  DWORD open_error = 0;
  SERVICE_STATUS_PROCESS status{};
};

ServiceLook LookAtTunnelService() {
  ServiceLook look;
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    look.open_error = ::GetLastError();
    return look;
  }
  const std::wstring name(kTunnelServiceName);
  UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    look.open_error = ::GetLastError();
    return look;
  }
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&look.status), sizeof look.status, &needed)) {
    look.open_error = ::GetLastError();
  }
  return look;
}

// The tunnel program's process, to wait for its end.
UniqueHandle TunnelProcess() {
  const ServiceLook look = LookAtTunnelService();
  EXPECT_EQ(look.open_error, 0u);
  EXPECT_NE(look.status.dwProcessId, 0u);
  return UniqueHandle(::OpenProcess(SYNCHRONIZE, FALSE, look.status.dwProcessId));
}

// Stops and deletes the tunnel service by itself, so that a case that fails half
// way never leaves one for the next.
void RemoveTunnelService() {
  ScmTunnelServiceControl scm;
  if (scm.Connect(false) == 0 && scm.Open() == 0) {
    // The stop is sent again until a service still starting accepts it.
    (void)WaitUntil(
        [&] {
          (void)scm.SendStop();
          return scm.QueryState() == scm::kStopped;
        },
        kServiceBound, std::chrono::milliseconds(100));
    (void)scm.Delete();
  }
  scm.Close();
  EXPECT_TRUE(WaitUntil([&] { return !scm.Exists(); }, kServiceBound))
      << "the tunnel service is left installed";
}

class TunnelUnderScm : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTunnelService();  // left by a run that was killed
    for (const auto& [variable, name] : {std::pair{"ZERKA_TEST_WIREGUARD_EXE", L"wireguard.exe"},
                                         std::pair{"ZERKA_TEST_WIREGUARD_DLL", L"wireguard.dll"}}) {
      const char* source = std::getenv(variable);
      ASSERT_NE(source, nullptr) << variable << " is not set";
      ASSERT_TRUE(::CopyFileW(common::Utf8ToWide(source).c_str(), (folder / name).c_str(), FALSE));
    }
  }
  void TearDown() override {
    RemoveTunnelService();
    WinWireGuardTunnel paths_only(folder.path());
    ::DeleteFileW(paths_only.manager().paths().config_file.c_str());
  }

  void Script(const std::string& text) {
    ASSERT_TRUE(tovra::testing::WriteTextFile(folder / kStandInScriptName, text));
  }
  std::string WhatTheTunnelProgramRead() { return ReadWhole(folder / kStandInReadCopyName); }

  TempFolder folder;  // the Service's folder: wireguard.exe and wireguard.dll
};

TEST_F(TunnelUnderScm, StartsReportsTheAdapterAndStopsWithoutATrace) {
  Script("peer=100,200," + Handshake(1700000000000) + ",2\npeer=5,6,0,0\n");
  WinWireGuardTunnel tunnel(folder.path());
  const std::wstring config_file = tunnel.manager().paths().config_file;

  const WireGuardResult r = tunnel.manager().Start(kTunnelConfig);
  ASSERT_EQ(r.error, WireGuardError::none);
  EXPECT_EQ(r.record,
            (WireGuardStatusRecord{State(WireGuardState::up), true, 206, 105, 1700000000000, 0}));
  EXPECT_EQ(WhatTheTunnelProgramRead(), Rendered(kTunnelConfig))
      << "the tunnel program reads the validator's rendering, byte for byte";
  EXPECT_FALSE(Exists(config_file)) << "the configuration is removed once the adapter exists";
  EXPECT_EQ(LookAtTunnelService().status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  Script("peer=7,8," + Handshake(1700000001000) + ",0\n");
  EXPECT_EQ(tunnel.manager().QueryStatus(),
            (WireGuardStatusRecord{State(WireGuardState::up), true, 8, 7, 1700000001000, 0}))
      << "the status follows the adapter";

  const UniqueHandle program = TunnelProcess();
  const WireGuardResult stopped = tunnel.manager().Stop();
  EXPECT_EQ(stopped.error, WireGuardError::none);
  EXPECT_EQ(stopped.record.state, State(WireGuardState::down));
  EXPECT_EQ(LookAtTunnelService().open_error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(::WaitForSingleObject(program.get(), kProcessExitMs),
            static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(Exists(config_file));
  EXPECT_EQ(tunnel.manager().QueryStatus(),
            (WireGuardStatusRecord{State(WireGuardState::down), false, 0, 0, 0, 0}));
}

TEST_F(TunnelUnderScm, AStartWhileATunnelIsUpReplacesIt) {
  WinWireGuardTunnel tunnel(folder.path());
  ASSERT_EQ(tunnel.manager().Start(kTunnelConfig).error, WireGuardError::none);
  const UniqueHandle first = TunnelProcess();
  const DWORD first_pid = LookAtTunnelService().status.dwProcessId;

  // The replacement stays START_PENDING for a while: the manager waits for RUNNING.
  Script("running_delay_ms=1200\n");
  const WireGuardResult r = tunnel.manager().Start(kOtherConfig);
  ASSERT_EQ(r.error, WireGuardError::none);
  EXPECT_EQ(r.record.state, State(WireGuardState::up));
  EXPECT_EQ(::WaitForSingleObject(first.get(), kProcessExitMs), static_cast<DWORD>(WAIT_OBJECT_0))
      << "the first tunnel program ended";
  const ServiceLook second = LookAtTunnelService();
  EXPECT_EQ(second.status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_NE(second.status.dwProcessId, first_pid);
  EXPECT_EQ(WhatTheTunnelProgramRead(), Rendered(kOtherConfig));
  EXPECT_FALSE(Exists(tunnel.manager().paths().config_file));
}

// A Service that was killed leaves its tunnel running; the next run removes it.
TEST_F(TunnelUnderScm, TheNextServiceRunRemovesATunnelLeftRunning) {
  std::wstring config_file;
  {
    WinWireGuardTunnel killed(folder.path());
    config_file = killed.manager().paths().config_file;
    ASSERT_EQ(killed.manager().Start(kTunnelConfig).error, WireGuardError::none);
  }
  ASSERT_EQ(LookAtTunnelService().status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  const UniqueHandle program = TunnelProcess();
  ASSERT_TRUE(tovra::testing::WriteTextFile(config_file, "left behind"));

  tovra::testing::StderrCapture capture;
  WinWireGuardTunnel next(folder.path());
  next.manager().Reconcile();
  EXPECT_EQ(LookAtTunnelService().open_error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(::WaitForSingleObject(program.get(), kProcessExitMs),
            static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(Exists(config_file));
  EXPECT_THAT(capture.Text(), HasSubstr("WARN wireguard: reconcile - removing stale "
                                        "WireGuardTunnel$zerkavpnwireguard from a prior run"));
  EXPECT_EQ(next.manager().QueryStatus().state, State(WireGuardState::down));
}

// Waits the manager's full 30 attempts of 500 ms.
TEST_F(TunnelUnderScm, AnAdapterThatNeverAppearsLeavesNothingInstalled) {
  Script("no_adapter=1\n");
  WinWireGuardTunnel tunnel(folder.path());
  tovra::testing::StderrCapture capture;
  const WireGuardResult r = tunnel.manager().Start(kTunnelConfig);
  EXPECT_EQ(r.error, WireGuardError::adapter_never_appeared);
  EXPECT_EQ(r.record, (WireGuardStatusRecord{State(WireGuardState::down), false, 0, 0, 0, 5}));
  EXPECT_EQ(WhatTheTunnelProgramRead(), Rendered(kTunnelConfig)) << "the tunnel service did run";
  EXPECT_EQ(LookAtTunnelService().open_error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_FALSE(Exists(tunnel.manager().paths().config_file));
  EXPECT_THAT(capture.Text(),
              HasSubstr("ERR  wireguard: adapter zerkavpnwireguard never appeared"));
}

TEST_F(TunnelUnderScm, ATunnelProgramThatStopsByItselfIsNoLongerUp) {
  Script("stops_after_ms=2000\npeer=1,2,0,0\n");
  WinWireGuardTunnel tunnel(folder.path());
  ASSERT_EQ(tunnel.manager().Start(kTunnelConfig).error, WireGuardError::none);

  WireGuardStatusRecord later;
  ServiceLook look;
  ASSERT_TRUE(WaitUntil(
      [&] {
        later = tunnel.manager().QueryStatus();
        look = LookAtTunnelService();
        return !later.adapter_present && look.status.dwCurrentState == SERVICE_STOPPED;
      },
      kServiceBound, std::chrono::milliseconds(100)));
  // The service is still installed, stopped: the tunnel reads as not up, not as gone.
  EXPECT_EQ(later, (WireGuardStatusRecord{State(WireGuardState::starting), false, 0, 0, 0, 0}));
  EXPECT_EQ(look.status.dwWin32ExitCode, static_cast<DWORD>(kStandInGaveUpExitCode));

  const WireGuardResult stopped = tunnel.manager().Stop();
  EXPECT_EQ(stopped.error, WireGuardError::none);
  EXPECT_EQ(LookAtTunnelService().open_error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
}  // namespace tovra::service
