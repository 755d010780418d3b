// The coordinator's state machine over fakes of its collaborators: every error
// kind, stop in each phase, superseded callbacks, unstage exactly once, and the
// stop/teardown race.
#include "agent/openvpn/openvpn_coordinator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "tests/support/wait_until.h"

namespace tovra::agent::openvpn {
namespace {

using common::SecretBuffer;
using std::chrono::milliseconds;
using testing::WaitUntil;

constexpr char kProfile[] =
    "client\ndev tun\nproto udp\nremote vpn.example.net 1194\nauth-user-pass\n"
    "<ca>\n-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n</ca>\n";

// A gate a fake can be held at until the test releases it.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool armed = false, reached = false, open = false;
  void PassThrough() {
    std::unique_lock<std::mutex> l(m);
    if (!armed) return;
    reached = true;
    cv.notify_all();
    cv.wait(l, [&] { return open; });
  }
  bool Reached() {
    std::lock_guard<std::mutex> l(m);
    return reached;
  }
  void Open() {
    std::lock_guard<std::mutex> l(m);
    open = true;
    cv.notify_all();
  }
};

struct World {
  std::mutex m;
  // stager
  uint16_t stage_result = 0;
  std::map<std::wstring, int> unstaged;
  int staged_count = 0;
  Gate stage_gate;
  // launcher
  LaunchResult launch{0, 4242, L""};
  std::wstring options_line;
  std::string stdin_text;
  Gate launch_gate;
  // management
  ManagementConnectOutcome connect_outcome = ManagementConnectOutcome::connected;
  ManagementCallbacks callbacks;
  std::atomic<bool> management_connected{false};
  std::vector<std::string> commands;
  std::vector<std::string> credentials_sent;
  int closed_calls = 0;
  uint32_t expected_peer = 0;
  // process
  bool exit_event_ok = true;
  std::atomic<uint32_t> pid{0};
  std::atomic<bool> exited{false};
  std::atomic<int> open_resources{0};  // exit event + process handle
  int stop_calls = 0;
  // environment
  std::wstring staging_dir = L"C:\\users\\u\\AppData\\Local\\Zerka\\vpn\\openvpn";
  std::optional<uint16_t> port = 50123;
  std::atomic<uint64_t> steady{1000};
  int swept = 0, status_logs_deleted = 0;

  int TotalUnstaged() {
    std::lock_guard<std::mutex> l(m);
    int n = 0;
    for (const auto& [p, c] : unstaged) n += c;
    return n;
  }
  ManagementCallbacks Callbacks() {
    std::lock_guard<std::mutex> l(m);
    return callbacks;
  }
};

class FakeStager final : public OpenVpnConfigStager {
 public:
  explicit FakeStager(World& w) : w_(w) {}
  std::wstring Stage(uint32_t key, std::span<const uint8_t>, uint16_t& result) override {
    w_.stage_gate.PassThrough();
    std::lock_guard<std::mutex> l(w_.m);
    result = w_.stage_result;
    if (result != 0) return {};
    ++w_.staged_count;
    return L"C:\\Program Files\\openvpn\\config\\ovpn-" + std::to_wstring(key) + L".ovpn";
  }
  void Unstage(const std::wstring& path) override {
    std::lock_guard<std::mutex> l(w_.m);
    ++w_.unstaged[path];
  }

 private:
  World& w_;
};

class FakeLauncher final : public InteractiveServiceLauncher {
 public:
  explicit FakeLauncher(World& w) : w_(w) {}
  LaunchResult Launch(const StartupInfo& info, uint32_t, uint32_t) override {
    {
      std::lock_guard<std::mutex> l(w_.m);
      w_.options_line = info.options_line;
      w_.stdin_text = std::string(info.stdin_text.view());
    }
    w_.launch_gate.PassThrough();
    std::lock_guard<std::mutex> l(w_.m);
    return w_.launch;
  }

 private:
  World& w_;
};

class FakeManagement final : public ManagementConnection {
 public:
  explicit FakeManagement(World& w) : w_(w) {}
  ManagementConnectOutcome Connect(uint16_t, std::span<const uint8_t>, uint32_t, uint32_t peer,
                                   ManagementCallbacks cb) override {
    std::lock_guard<std::mutex> l(w_.m);
    w_.expected_peer = peer;
    if (w_.connect_outcome != ManagementConnectOutcome::connected) return w_.connect_outcome;
    w_.callbacks = std::move(cb);
    w_.management_connected = true;
    return ManagementConnectOutcome::connected;
  }
  bool SendCommand(std::string_view command) override {
    std::lock_guard<std::mutex> l(w_.m);
    w_.commands.emplace_back(command);
    return true;
  }
  CredentialSendOutcome SendCredential(CredentialKind kind, std::span<const uint8_t> v) override {
    std::lock_guard<std::mutex> l(w_.m);
    w_.credentials_sent.push_back((kind == CredentialKind::username ? "username:" : "password:") +
                                  std::string(v.begin(), v.end()));
    return CredentialSendOutcome::sent;
  }
  // Like the real reader: the closed notification comes once per connection.
  void Close() override {
    std::function<void()> closed;
    {
      std::lock_guard<std::mutex> l(w_.m);
      ++w_.closed_calls;
      if (!w_.management_connected.exchange(false)) return;
      closed = w_.callbacks.closed;
    }
    if (closed) closed();
  }
  bool IsConnected() override { return w_.management_connected; }

 private:
  World& w_;
};

class FakeProcess final : public OpenVpnProcessControl {
 public:
  explicit FakeProcess(World& w) : w_(w) {}
  bool CreateExitEvent(const std::wstring&) override {
    if (!w_.exit_event_ok) return false;
    ++w_.open_resources;
    event_ = true;
    return true;
  }
  void CloseExitEvent() override {
    std::lock_guard<std::mutex> l(m_);
    if (std::exchange(event_, false)) --w_.open_resources;
  }
  void AdoptProcess(uint32_t pid) override {
    std::lock_guard<std::mutex> l(m_);
    w_.pid = pid;
    ++w_.open_resources;
    handle_ = true;
  }
  uint32_t process_id() override { return w_.pid; }
  bool HasExited() override { return w_.exited; }
  void StopProcess(uint32_t) override {
    std::lock_guard<std::mutex> l(m_);  // ownership is taken under the lock
    ++w_.stop_calls;
    if (std::exchange(event_, false)) --w_.open_resources;
    if (std::exchange(handle_, false)) --w_.open_resources;
    w_.pid = 0;
  }

 private:
  World& w_;
  std::mutex m_;
  bool event_ = false, handle_ = false;
};

class FakeEnvironment final : public OpenVpnEnvironment {
 public:
  explicit FakeEnvironment(World& w) : w_(w) {}
  std::wstring StagingDirectory() override { return w_.staging_dir; }
  void SweepStagingDirectory(const std::wstring&) override { ++w_.swept; }
  void DeleteStatusLog(const std::wstring&) override { ++w_.status_logs_deleted; }
  std::optional<uint16_t> AllocateLoopbackPort() override { return w_.port; }
  void RandomBytes(std::span<uint8_t> out) override {
    for (auto& b : out) b = static_cast<uint8_t>(next_++);
  }
  uint64_t SteadyMs() override { return w_.steady; }
  uint64_t UnixMs() override { return 1700000000000; }
  // Time passes only when the coordinator waits.
  void SleepMs(uint32_t ms) override {
    w_.steady += ms;
    std::this_thread::sleep_for(milliseconds(1));
  }

 private:
  World& w_;
  uint8_t next_ = 0;
};

std::unique_ptr<OpenVpnCoordinator> MakeCoordinator(World& w, CoordinatorSettings s = {}) {
  CoordinatorParts parts;
  parts.stager = std::make_unique<FakeStager>(w);
  parts.launcher = std::make_unique<FakeLauncher>(w);
  parts.management = std::make_unique<FakeManagement>(w);
  parts.process = std::make_unique<FakeProcess>(w);
  parts.environment = std::make_unique<FakeEnvironment>(w);
  return std::make_unique<OpenVpnCoordinator>(s, std::move(parts));
}

StartRequest Request(std::string_view profile = kProfile, std::string_view user = "alice",
                     std::string_view pass = "p\"w\\d") {
  return {SecretBuffer::FromText(profile), SecretBuffer::FromText(user),
          SecretBuffer::FromText(pass)};
}

bool Ended(OpenVpnCoordinator& c) {
  return WaitUntil([&] { return !c.Snapshot().active; }, milliseconds(5000), milliseconds(2));
}

// Runs the management side of a good connection up to CONNECTED.
void Connect(World& w, OpenVpnCoordinator& c) {
  ASSERT_TRUE(WaitUntil([&] { return w.management_connected.load(); }, milliseconds(5000),
                        milliseconds(2)));
  const ManagementCallbacks cb = w.Callbacks();
  cb.hold();
  cb.password_prompt(PasswordPromptKind::username_and_password);
  cb.state(ManagementState::auth);
  cb.state(ManagementState::connected);
  cb.byte_counts(12, 34);
  ASSERT_TRUE(
      WaitUntil([&] { return w.TotalUnstaged() == 1; }, milliseconds(5000), milliseconds(2)));
  ASSERT_TRUE(c.Snapshot().active);
}

TEST(OpenVpnCoordinator, ConnectsThenStopsAndUnstagesOnce) {
  World w;
  auto c = MakeCoordinator(w);
  EXPECT_EQ(w.swept, 1);
  const StartOutcome started = c->Start(Request());
  ASSERT_TRUE(started.started);
  EXPECT_EQ(started.attempt_id, 1u);
  Connect(w, *c);

  const common::OpenVpnStatusRecord s = c->Snapshot();
  EXPECT_EQ(s.state, 10);
  EXPECT_EQ(s.bytes_in, 12u);
  EXPECT_EQ(s.bytes_out, 34u);
  EXPECT_EQ(s.connected_since_ms, 1700000000000u);
  EXPECT_EQ(s.error_kind, 0);
  EXPECT_EQ(c->ReportedProcessId(), 4242u);
  {
    std::lock_guard<std::mutex> l(w.m);
    EXPECT_EQ(w.commands,
              (std::vector<std::string>{"state on\n", "bytecount 5\n", "hold release\n"}));
    EXPECT_EQ(w.credentials_sent, (std::vector<std::string>{"username:alice", "password:p\"w\\d"}));
    EXPECT_EQ(w.expected_peer, 4242u) << "the listener is checked against the reported process";
    EXPECT_NE(w.options_line.find(L"--config \"C:\\Program Files\\openvpn\\config\\ovpn-1.ovpn\""),
              std::wstring::npos);
    EXPECT_NE(w.options_line.find(L"--management 127.0.0.1 50123 stdin"), std::wstring::npos);
    ASSERT_EQ(w.stdin_text.size(), 65u);
    EXPECT_EQ(w.stdin_text.substr(0, 8), "00010203");
    EXPECT_EQ(w.stdin_text.back(), '\n');
  }

  c->Stop();
  const common::OpenVpnStatusRecord after = c->Snapshot();
  EXPECT_EQ(after, (common::OpenVpnStatusRecord{.attempt_id = 2}));
  EXPECT_EQ(w.TotalUnstaged(), 1);
  EXPECT_EQ(w.open_resources, 0);
  EXPECT_EQ(w.pid, 0u);
  EXPECT_GE(w.status_logs_deleted, 1);
  std::lock_guard<std::mutex> l(w.m);
  EXPECT_EQ(w.commands.back(), "signal SIGTERM\n");
}

// One row per way an attempt fails after it was accepted.
TEST(OpenVpnCoordinator, EachFailureHasItsErrorKindAndUnstagesWhatWasStaged) {
  struct Row {
    const char* what;
    std::function<void(World&)> arrange;
    std::function<void(World&)> act;  // after the management connection, if any
    ErrorKind error;
    bool staged;
  };
  const auto none = [](World&) {};
  const std::vector<Row> rows = {
      {"no staging folder", [](World& w) { w.staging_dir.clear(); }, none, ErrorKind::internal,
       false},
      {"Service unavailable", [](World& w) { w.stage_result = 1; }, none,
       ErrorKind::service_unavailable, false},
      {"Service refused", [](World& w) { w.stage_result = 2; }, none, ErrorKind::not_permitted,
       false},
      {"Service rejected", [](World& w) { w.stage_result = 3; }, none, ErrorKind::rejected, false},
      {"staging failed", [](World& w) { w.stage_result = 4; }, none, ErrorKind::internal, false},
      {"no port", [](World& w) { w.port.reset(); }, none, ErrorKind::no_port_or_launch, true},
      {"no exit event", [](World& w) { w.exit_event_ok = false; }, none, ErrorKind::internal, true},
      {"launch: unavailable",
       [](World& w) {
         w.launch = {1, 0, L""};
       },
       none, ErrorKind::service_unavailable, true},
      {"launch: exchange",
       [](World& w) {
         w.launch = {2, 0, L""};
       },
       none, ErrorKind::launch_exchange_failed, true},
      {"launch: approval",
       [](World& w) {
         w.launch = {3, 0, L"admin approval"};
       },
       none, ErrorKind::not_permitted, true},
      {"launch: startup error",
       [](World& w) {
         w.launch = {4, 0, L"x"};
       },
       none, ErrorKind::rejected, true},
      {"launch: other",
       [](World& w) {
         w.launch = {5, 0, L"x"};
       },
       none, ErrorKind::no_port_or_launch, true},
      {"management failed", [](World& w) { w.connect_outcome = ManagementConnectOutcome::failed; },
       none, ErrorKind::management_failed, true},
      {"listener of another process",
       [](World& w) { w.connect_outcome = ManagementConnectOutcome::peer_untrusted; }, none,
       ErrorKind::management_failed, true},
      {"management password rejected",
       [](World& w) { w.connect_outcome = ManagementConnectOutcome::password_rejected; }, none,
       ErrorKind::management_password_rejected, true},
      {"credentials rejected", none, [](World& w) { w.Callbacks().fatal(true); },
       ErrorKind::auth_failed, true},
      {"other fatal", none, [](World& w) { w.Callbacks().fatal(false); }, ErrorKind::fatal, true},
      {"management connection lost", none, [](World& w) { w.Callbacks().closed(); },
       ErrorKind::exited, true},
      {"process exited", none, [](World& w) { w.exited = true; }, ErrorKind::exited, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    World w;
    row.arrange(w);
    auto c = MakeCoordinator(w);
    ASSERT_TRUE(c->Start(Request()).started);
    if (w.connect_outcome == ManagementConnectOutcome::connected && w.launch.result == 0 &&
        w.stage_result == 0 && w.port && w.exit_event_ok && !w.staging_dir.empty()) {
      ASSERT_TRUE(WaitUntil([&] { return w.management_connected.load(); }, milliseconds(5000),
                            milliseconds(2)));
      row.act(w);
    }
    ASSERT_TRUE(Ended(*c));
    EXPECT_EQ(c->Snapshot().error_kind, ToWire(row.error));
    EXPECT_EQ(w.TotalUnstaged(), row.staged ? 1 : 0);
    EXPECT_EQ(w.open_resources, 0) << "process handle and exit event released";
    EXPECT_FALSE(w.management_connected);
  }
}

TEST(OpenVpnCoordinator, NoConnectedStateWithinTheConnectTimeout) {
  World w;
  auto c = MakeCoordinator(w);
  ASSERT_TRUE(c->Start(Request()).started);
  ASSERT_TRUE(WaitUntil([&] { return w.management_connected.load(); }, milliseconds(5000),
                        milliseconds(2)));
  const uint64_t from = w.steady;
  ASSERT_TRUE(Ended(*c));
  EXPECT_EQ(c->Snapshot().error_kind, ToWire(ErrorKind::connect_timeout));
  EXPECT_GE(w.steady - from, 60000u - 5 * 200u);  // the test saw the connection a few polls late
  EXPECT_LE(w.steady - from, 60000u);
  EXPECT_EQ(w.TotalUnstaged(), 1);
}

TEST(OpenVpnCoordinator, RefusedStartsAreAnsweredWithoutTouchingTheRunningAttempt) {
  struct Row {
    const char* what;
    StartRequest request;
    ErrorKind refusal;
  };
  std::vector<Row> rows;
  rows.push_back({"no proto", Request("client\ndev tun\nremote a 1\nauth-user-pass\n"),
                  ErrorKind::profile_no_proto});
  rows.push_back({"no client", Request("dev tun\n"), ErrorKind::invalid_request});
  rows.push_back({"username of 256 bytes", Request(kProfile, std::string(256, 'u')),
                  ErrorKind::invalid_request});
  rows.push_back({"empty password", Request(kProfile, "alice", ""), ErrorKind::invalid_request});
  rows.push_back(
      {"password with a tab", Request(kProfile, "alice", "a\tb"), ErrorKind::invalid_request});
  rows.push_back({"while active", Request(), ErrorKind::already_active});

  World w;
  auto c = MakeCoordinator(w);
  ASSERT_TRUE(c->Start(Request(kProfile, std::string(255, 'u'))).started);
  ASSERT_TRUE(WaitUntil([&] { return w.management_connected.load(); }, milliseconds(5000),
                        milliseconds(2)));
  const common::OpenVpnStatusRecord before = c->Snapshot();
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    const StartOutcome out = c->Start(std::move(row.request));
    EXPECT_FALSE(out.started);
    EXPECT_EQ(out.refusal, row.refusal);
    EXPECT_EQ(c->Snapshot(), before) << "the running attempt's record is untouched";
  }
  Connect(w, *c);
  EXPECT_EQ(c->Snapshot().error_kind, 0);
  EXPECT_EQ(w.staged_count, 1);
}

TEST(OpenVpnCoordinator, StopInEachPhaseEndsCleanlyAndLateCallbacksChangeNothing) {
  enum Phase { staging, launching, connecting, connected };
  for (const Phase phase : {staging, launching, connecting, connected}) {
    SCOPED_TRACE(phase);
    World w;
    if (phase == staging) w.stage_gate.armed = true;
    if (phase == launching) w.launch_gate.armed = true;
    auto c = MakeCoordinator(w);
    ASSERT_TRUE(c->Start(Request()).started);
    if (phase == staging) {
      ASSERT_TRUE(WaitUntil([&] { return w.stage_gate.Reached(); }, milliseconds(5000)));
    }
    if (phase == launching) {
      ASSERT_TRUE(WaitUntil([&] { return w.launch_gate.Reached(); }, milliseconds(5000)));
    }
    if (phase == connecting) {
      ASSERT_TRUE(WaitUntil([&] { return w.management_connected.load(); }, milliseconds(5000)));
    }
    if (phase == connected) Connect(w, *c);
    const ManagementCallbacks late = w.Callbacks();

    std::thread stopper([&] { c->Stop(); });
    if (phase == staging) w.stage_gate.Open();
    if (phase == launching) w.launch_gate.Open();
    stopper.join();

    EXPECT_EQ(c->Snapshot(), (common::OpenVpnStatusRecord{.attempt_id = 2}));
    EXPECT_EQ(w.TotalUnstaged(), phase == staging ? w.staged_count : 1) << "unstaged exactly once";
    EXPECT_EQ(w.open_resources, 0);
    if (late.state) {
      late.state(ManagementState::connected);
      late.byte_counts(1, 2);
      late.fatal(true);
      late.password_prompt(PasswordPromptKind::username_and_password);
    }
    EXPECT_EQ(c->Snapshot(), (common::OpenVpnStatusRecord{.attempt_id = 2}));
  }
}

TEST(OpenVpnCoordinator, ConnectedPhaseEndsOnErrorsAndKeepsTheFirstOne) {
  // A fatal report followed by the process exiting keeps 7; a lost connection
  // while connected ends the attempt (9) and stops the process.
  for (const bool fatal_first : {true, false}) {
    World w;
    auto c = MakeCoordinator(w);
    ASSERT_TRUE(c->Start(Request()).started);
    Connect(w, *c);
    if (fatal_first) {
      w.Callbacks().fatal(true);
      w.exited = true;
    } else {
      w.Callbacks().closed();
    }
    ASSERT_TRUE(Ended(*c));
    EXPECT_EQ(c->Snapshot().error_kind,
              ToWire(fatal_first ? ErrorKind::auth_failed : ErrorKind::exited));
    EXPECT_GE(w.stop_calls, 1);
    EXPECT_EQ(w.open_resources, 0);
    EXPECT_EQ(w.TotalUnstaged(), 1);
    // The attempt has ended: a prompt now finds the credentials wiped.
    const size_t sent = w.credentials_sent.size();
    w.Callbacks().password_prompt(PasswordPromptKind::username_and_password);
    EXPECT_EQ(w.credentials_sent.size(), sent);
  }
}

TEST(OpenVpnCoordinator, StopRacingTheTimeoutTeardownLeavesNothingBehind) {
  World w;
  CoordinatorSettings s;
  s.connect_timeout_ms = 0;  // the attempt tears itself down as soon as it connects
  auto c = MakeCoordinator(w, s);
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(WaitUntil([&] { return c->Start(Request()).started; }, milliseconds(5000),
                          milliseconds(1)));
    ASSERT_TRUE(WaitUntil([&] { return w.management_connected.load() || !c->Snapshot().active; },
                          milliseconds(5000), milliseconds(0)));
    c->Stop();
    ASSERT_EQ(w.open_resources, 0) << round;
    ASSERT_EQ(w.TotalUnstaged(), w.staged_count) << round;
    ASSERT_FALSE(c->Snapshot().active);
  }
  std::lock_guard<std::mutex> l(w.m);
  for (const auto& [path, count] : w.unstaged) ASSERT_EQ(count, 1);
}

TEST(OpenVpnCoordinator, ErrorMappings) {
  const ErrorKind launch[] = {ErrorKind::no_port_or_launch,
                              ErrorKind::service_unavailable,
                              ErrorKind::launch_exchange_failed,
                              ErrorKind::not_permitted,
                              ErrorKind::rejected,
                              ErrorKind::no_port_or_launch};
  for (int32_t r = 0; r <= 5; ++r) EXPECT_EQ(ErrorForLaunchResult(r), launch[r]) << r;
  const ErrorKind stage[] = {ErrorKind::internal, ErrorKind::service_unavailable,
                             ErrorKind::not_permitted, ErrorKind::rejected, ErrorKind::internal};
  for (uint16_t r = 0; r <= 4; ++r) EXPECT_EQ(ErrorForStageResult(r), stage[r]) << r;
  EXPECT_TRUE(IsAcceptableCredential(std::vector<uint8_t>(255, 'x')));
  EXPECT_FALSE(IsAcceptableCredential(std::vector<uint8_t>{'a', 0x7F}));
}

}  // namespace
}  // namespace tovra::agent::openvpn
