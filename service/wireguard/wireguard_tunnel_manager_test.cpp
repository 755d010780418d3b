#include "service/wireguard/wireguard_tunnel_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "service/wireguard/testing/fake_tunnel_platform.h"
#include "service/wireguard/wireguard_config_validator.h"

namespace tovra::service {
namespace {

using common::WireGuardError;
using common::WireGuardStatusRecord;
using testing::FakeAdapter;
using testing::FakeClock;
using testing::FakeFiles;
using testing::FakeServices;
using ::testing::HasSubstr;
using testing::kNever;
using ::testing::Not;

constexpr const char* kConfig =
    "[Interface]\r\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\r\n"
    "Address = 10.0.0.2/32\r\n[Peer]\r\nPublicKey = "
    "ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM=\r\n"
    "Endpoint = vpn.example.com:51820\r\nAllowedIPs = 0.0.0.0/0\r\n";
constexpr const char* kPrivateKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
constexpr const char* kDuplicateKey =
    "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
    "PrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n";
constexpr const wchar_t* kServiceDir = L"C:\\Program Files\\Zerka";
const std::wstring kConfigFile = L"C:\\ProgramData\\Zerka\\vpn\\wireguard\\zerkavpnwireguard.conf";

class TunnelManagerTest : public ::testing::Test {
 protected:
  WireGuardTunnelManager& Manager(const std::wstring& service_dir = kServiceDir) {
    manager_.emplace(service_dir, TunnelPlatform{services, files, adapter, clock});
    return *manager_;
  }
  // Runs `f` and returns what it logged.
  template <typename F>
  std::string Logged(F f) {
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
  }
  bool Called(const std::vector<std::string>& calls, const std::string& name) {
    return std::find(calls.begin(), calls.end(), name) != calls.end();
  }
  void ExpectNothingLeft() {
    EXPECT_FALSE(services.exists);
    EXPECT_TRUE(files.files.empty());
  }
  static WireGuardStatusRecord Rec(uint8_t state, uint16_t error, bool present = false,
                                   uint64_t rx = 0, uint64_t tx = 0, uint64_t hs = 0) {
    WireGuardStatusRecord r;
    r.state = state;
    r.error = error;
    r.adapter_present = present;
    r.rx_bytes = rx;
    r.tx_bytes = tx;
    r.last_handshake_ms = hs;
    return r;
  }
  static WireGuardStatusRecord Up(uint16_t error = 0) {
    return Rec(2, error, true, 1000, 2000, 1700000000000);
  }

  FakeClock clock;
  FakeServices services{clock};
  FakeFiles files;
  FakeAdapter adapter{services};
  std::optional<WireGuardTunnelManager> manager_;
};

TEST_F(TunnelManagerTest, StartBringsTheTunnelUpFromTheRenderedTextAndRemovesTheFile) {
  auto& m = Manager();
  WireGuardResult r;
  const std::string log = Logged([&] { r = m.Start(kConfig); });
  EXPECT_EQ(r.error, WireGuardError::none);
  EXPECT_EQ(r.record, Up());
  EXPECT_EQ(files.last_written, ValidateWireGuardConfig(kConfig).text);
  EXPECT_TRUE(files.files.empty()) << "the file is removed once the adapter exists";
  EXPECT_EQ(files.prepared_under, L"C:\\ProgramData");
  EXPECT_EQ(services.command_line,
            L"\"C:\\Program Files\\Zerka\\wireguard.exe\" /tunnelservice \"" + kConfigFile + L"\"");
  EXPECT_EQ(adapter.loaded_from, L"C:\\Program Files\\Zerka\\wireguard.dll");
  EXPECT_EQ(adapter.queried_name, L"zerkavpnwireguard");
  EXPECT_THAT(log, HasSubstr("INFO wireguard: tunnel zerkavpnwireguard is up"));
  EXPECT_THAT(log, Not(HasSubstr(kPrivateKey)));
  EXPECT_EQ(services.calls, (std::vector<std::string>{"connect+create", "create", "sid",
                                                      "description", "start", "close"}));
}

TEST_F(TunnelManagerTest, StartReplacesARunningTunnelBeforeInstallingTheNewOne) {
  services.InstallRunning();
  auto& m = Manager();
  const WireGuardResult r = m.Start(kConfig);
  EXPECT_EQ(r.record, Up());
  const auto& c = services.calls;
  const auto first_delete = std::find(c.begin(), c.end(), "delete");
  const auto create = std::find(c.begin(), c.end(), "create");
  ASSERT_NE(first_delete, c.end());
  EXPECT_LT(first_delete, create) << "old service removed first";
  EXPECT_TRUE(Called(c, "stop"));
}

// Refusals before anything is touched report what is there: a tunnel that is up
// stays up and the reply says so.
struct RefusalRow {
  const char* name;
  bool tunnel_up;
  const char* config;
  bool program_exists;
  const wchar_t* service_dir;
  const wchar_t* program_data;
  WireGuardError error;
  const char* log;
};

class TunnelManagerRefusal : public TunnelManagerTest,
                             public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(TunnelManagerRefusal, TouchesNothingAndReportsTheObservedState) {
  const RefusalRow& row = GetParam();
  files.program_exists = row.program_exists;
  files.program_data = row.program_data;
  if (row.tunnel_up) services.InstallRunning();
  auto& m = Manager(row.service_dir);
  WireGuardResult r;
  const std::string log = Logged([&] { r = m.Start(row.config); });
  EXPECT_EQ(r.error, row.error);
  const auto error = static_cast<uint16_t>(row.error);
  EXPECT_EQ(r.record, row.tunnel_up ? Up(error) : Rec(4, error));
  EXPECT_THAT(log, HasSubstr(row.log));
  EXPECT_EQ(services.calls, std::vector<std::string>{}) << "no service call";
  EXPECT_FALSE(Called(files.calls, "prepare"));
  EXPECT_FALSE(Called(files.calls, "write"));
  EXPECT_FALSE(Called(files.calls, "delete")) << "the configuration folder is untouched";
  EXPECT_EQ(services.exists, row.tunnel_up);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TunnelManagerRefusal,
    ::testing::Values(
        RefusalRow{"Rejected", false, kDuplicateKey, true, kServiceDir, L"C:\\ProgramData",
                   WireGuardError::config_rejected, "WARN wireguard: config rejected (code=12)"},
        RefusalRow{"RejectedWhileUp", true, "", true, kServiceDir, L"C:\\ProgramData",
                   WireGuardError::config_rejected, "WARN wireguard: config rejected (code=1)"},
        RefusalRow{"NoProgram", false, kConfig, false, kServiceDir, L"C:\\ProgramData",
                   WireGuardError::install_failed,
                   "ERR  wireguard: wireguard.exe not found beside the service"},
        RefusalRow{"NoProgramWhileUp", true, kConfig, false, kServiceDir, L"C:\\ProgramData",
                   WireGuardError::install_failed, "wireguard.exe not found beside the service"},
        RefusalRow{"NoServiceDir", false, kConfig, true, L"", L"C:\\ProgramData",
                   WireGuardError::install_failed, "wireguard.exe not found beside the service"},
        RefusalRow{"RelativeServiceDir", false, kConfig, true, L"Zerka", L"C:\\ProgramData",
                   WireGuardError::install_failed, "wireguard.exe not found beside the service"},
        RefusalRow{"NoProgramData", true, kConfig, true, kServiceDir, L"",
                   WireGuardError::config_write_failed,
                   "ERR  wireguard: ProgramData folder unknown"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TunnelManagerTest, WithoutAnAbsoluteServiceFolderTheLibraryIsNeverLoaded) {
  auto& m = Manager(L"relative");
  (void)m.QueryStatus();
  (void)m.Start(kConfig);
  EXPECT_EQ(adapter.loads, 0);
}

// Failures after the old tunnel is gone: nothing is left behind.
struct FailureRow {
  const char* name;
  std::function<void(FakeServices&, FakeFiles&, FakeAdapter&)> script;
  WireGuardError error;
  const char* log;
};

class TunnelManagerFailure : public TunnelManagerTest,
                             public ::testing::WithParamInterface<FailureRow> {};

TEST_P(TunnelManagerFailure, LeavesNeitherServiceNorFile) {
  const FailureRow& row = GetParam();
  services.InstallRunning();
  row.script(services, files, adapter);
  auto& m = Manager();
  WireGuardResult r;
  const std::string log = Logged([&] { r = m.Start(kConfig); });
  EXPECT_EQ(r.error, row.error);
  EXPECT_EQ(r.record, Rec(4, static_cast<uint16_t>(row.error)));
  EXPECT_THAT(log, HasSubstr(row.log));
  EXPECT_THAT(log, Not(HasSubstr(kPrivateKey)));
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TunnelManagerFailure,
    ::testing::Values(
        FailureRow{"ProgramDataGone",
                   [](auto&, FakeFiles& f, auto&) { f.use_program_data_later = true; },
                   WireGuardError::config_write_failed, ""},
        FailureRow{"DirectoryUnsafe", [](auto&, FakeFiles& f, auto&) { f.prepare_ok = false; },
                   WireGuardError::config_write_failed, ""},
        FailureRow{"WriteFails", [](auto&, FakeFiles& f, auto&) { f.write_ok = false; },
                   WireGuardError::config_write_failed, ""},
        FailureRow{"ManagerUnreachable",
                   [](FakeServices& s, auto&, auto&) {
                     s.InstallRunning();
                     s.exists = false;
                     s.connect_error = 5;
                   },
                   WireGuardError::install_failed, ""},
        FailureRow{"CreateFails", [](FakeServices& s, auto&, auto&) { s.create_error = 5; },
                   WireGuardError::install_failed,
                   "ERR  wireguard: CreateService failed (win32=5)"},
        FailureRow{
            "SidTypeRefused", [](FakeServices& s, auto&, auto&) { s.sid_error = 87; },
            WireGuardError::install_failed,
            "ERR  wireguard: set SERVICE_SID_TYPE_UNRESTRICTED failed -> aborting (win32=87)"},
        FailureRow{"StartFails", [](FakeServices& s, auto&, auto&) { s.start_error = 1053; },
                   WireGuardError::start_failed,
                   "ERR  wireguard: StartService failed (win32=1053)"},
        FailureRow{
            "NeverRunning", [](FakeServices& s, auto&, auto&) { s.running_after_ms = kNever; },
            WireGuardError::start_failed, "ERR  wireguard: tunnel service did not reach RUNNING"},
        FailureRow{"StopsByItself", [](FakeServices& s, auto&, auto&) { s.stops_by_itself = true; },
                   WireGuardError::start_failed,
                   "ERR  wireguard: tunnel service did not reach RUNNING"},
        FailureRow{"AdapterNeverAppears",
                   [](auto&, auto&, FakeAdapter& a) { a.presence = FakeAdapter::Presence::Never; },
                   WireGuardError::adapter_never_appeared,
                   "ERR  wireguard: adapter zerkavpnwireguard never appeared"},
        FailureRow{"NoLibrary", [](auto&, auto&, FakeAdapter& a) { a.load_ok = false; },
                   WireGuardError::adapter_never_appeared,
                   "ERR  wireguard: adapter zerkavpnwireguard never appeared"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TunnelManagerTest, SidTypeLevelUnknownToThePlatformIsAWarningAndTheStartGoesOn) {
  services.sid_error = scm::kErrorInvalidLevel;
  auto& m = Manager();
  WireGuardResult r;
  const std::string log = Logged([&] { r = m.Start(kConfig); });
  EXPECT_EQ(r.record, Up());
  EXPECT_THAT(log, HasSubstr("WARN wireguard: service SID type not supported on this platform"));
  EXPECT_THAT(log, HasSubstr("(win32=124)"));
}

TEST_F(TunnelManagerTest, WaitsAreBoundedAsPromised) {
  services.running_after_ms = kNever;
  auto& m = Manager();
  const uint64_t t0 = clock.now;
  (void)m.Start(kConfig);
  const uint64_t waited = clock.now - t0;
  EXPECT_GE(waited, kRunningWaitMs);
  EXPECT_LT(waited, kRunningWaitMs + kStopWaitMs + 1000);

  adapter.presence = FakeAdapter::Presence::Never;
  services.running_after_ms = 300;
  const int queries_before = adapter.queries;
  (void)m.Start(kConfig);
  EXPECT_EQ(adapter.queries - queries_before, kAdapterAttempts);
}

TEST_F(TunnelManagerTest, ALibraryThatFailedToLoadIsNotTriedAgain) {
  adapter.load_ok = false;
  auto& m = Manager();
  (void)m.Start(kConfig);
  (void)m.QueryStatus();
  (void)m.Start(kConfig);
  EXPECT_EQ(adapter.loads, 1);
}

TEST_F(TunnelManagerTest, CreateRefusedForAServiceMarkedForDeleteHasItsOwnLine) {
  services.create_error = scm::kErrorServiceMarkedForDelete;
  auto& m = Manager();
  const std::string log =
      Logged([&] { EXPECT_EQ(m.Start(kConfig).error, WireGuardError::install_failed); });
  EXPECT_THAT(log, HasSubstr("still marked for deletion (win32=1072)"));
}

TEST_F(TunnelManagerTest, StartWhileAStopHoldsTheLockIsBusyAndTouchesNothing) {
  services.InstallRunning();
  auto& m = Manager();
  std::promise<void> entered;
  std::promise<void> release;
  bool held = false;
  services.on_connect = [&] {
    if (std::exchange(held, true)) return;
    entered.set_value();
    release.get_future().wait();
  };
  auto stop = std::async(std::launch::async, [&] { return m.Stop(); });
  entered.get_future().wait();
  const size_t calls_before = services.calls.size();
  const WireGuardResult r = m.Start(kConfig);
  EXPECT_EQ(r.error, WireGuardError::busy);
  EXPECT_EQ(r.record, Rec(1, 2));
  EXPECT_EQ(services.calls.size(), calls_before);
  EXPECT_TRUE(files.calls.empty());
  release.set_value();
  EXPECT_EQ(stop.get().record, Rec(4, 0));
}

TEST_F(TunnelManagerTest, StopWithoutATunnelIsDownAndSilent) {
  auto& m = Manager();
  WireGuardResult r;
  const std::string log = Logged([&] { r = m.Stop(); });
  EXPECT_EQ(r.record, Rec(4, 0));
  EXPECT_EQ(log, "");
}

TEST_F(TunnelManagerTest, StopRemovesTheServiceAndTheFile) {
  auto& m = Manager();
  ASSERT_EQ(m.Start(kConfig).error, WireGuardError::none);
  files.files[kConfigFile] = "leftover";
  EXPECT_EQ(m.Stop().record, Rec(4, 0));
  ExpectNothingLeft();
  EXPECT_EQ(m.QueryStatus(), Rec(4, 0));
}

TEST_F(TunnelManagerTest, StopIsSentAgainWhileTheServiceIsStillStarting) {
  services.InstallRunning();
  services.state = scm::kStartPending;
  services.running_after_ms = kNever;
  services.refuses_stop_until_ms = clock.now + 1000;
  auto& m = Manager();
  EXPECT_EQ(m.Stop().record, Rec(4, 0));
  EXPECT_GT(std::count(services.calls.begin(), services.calls.end(), "stop"), 1);
  ExpectNothingLeft();
}

TEST_F(TunnelManagerTest, AStopThatNeverCompletesReportsTheTunnelStillThere) {
  services.InstallRunning();
  services.stopped_after_ms = kNever;
  services.delete_error = 5;
  auto& m = Manager();
  WireGuardResult r;
  const std::string log = Logged([&] { r = m.Stop(); });
  EXPECT_EQ(r.error, WireGuardError::stop_incomplete);
  EXPECT_EQ(r.record, Rec(1, 6)) << "still installed, not \"down\"";
  EXPECT_THAT(log, HasSubstr("WARN wireguard: stop did not fully complete"));
  EXPECT_TRUE(files.files.empty());
}

// Deleted while never seen STOPPED: only a service that is really gone counts.
TEST_F(TunnelManagerTest, StopAndDeleteWaitsUntilTheServiceIsGone) {
  services.InstallRunning();
  services.lingers_after_delete_ms = 400;
  auto& m = Manager();
  EXPECT_EQ(m.Stop().record, Rec(4, 0));
  EXPECT_FALSE(services.exists);

  services.InstallRunning();
  services.stopped_after_ms = kNever;
  EXPECT_EQ(m.Stop().error, WireGuardError::stop_incomplete) << "stuck in STOP_PENDING, never gone";
}

TEST_F(TunnelManagerTest, StopWhenTheManagerCannotBeReached) {
  services.InstallRunning();
  services.connect_error = 5;
  auto& m = Manager();
  EXPECT_EQ(m.Stop().error, WireGuardError::stop_incomplete);
  services.connect_error = 0;
  services.open_error = 5;
  EXPECT_EQ(m.Stop().error, WireGuardError::stop_incomplete);
}

TEST_F(TunnelManagerTest, QueryStatusFollowsTheSystem) {
  auto& m = Manager();
  EXPECT_EQ(m.QueryStatus(), Rec(4, 0));
  services.InstallRunning();
  adapter.presence = FakeAdapter::Presence::Never;
  EXPECT_EQ(m.QueryStatus(), Rec(1, 0)) << "service without adapter is starting";
  adapter.presence = FakeAdapter::Presence::WhileRunning;
  EXPECT_EQ(m.QueryStatus(), Up());
  adapter.load_ok = false;  // the first query already loaded it
  EXPECT_EQ(m.QueryStatus(), Up());
}

TEST_F(TunnelManagerTest, ReconcileRemovesWhatAnEarlierRunLeft) {
  services.InstallRunning();
  files.files[kConfigFile] = "stale";
  auto& m = Manager();
  std::string log = Logged([&] { m.Reconcile(); });
  EXPECT_THAT(log, HasSubstr("WARN wireguard: reconcile - removing stale "
                             "WireGuardTunnel$zerkavpnwireguard from a prior run"));
  ExpectNothingLeft();

  files.files[kConfigFile] = "stale";
  log = Logged([&] { m.Reconcile(); });
  EXPECT_EQ(log, "");
  EXPECT_TRUE(files.files.empty()) << "the file goes even without a service";
}

}  // namespace
}  // namespace tovra::service
