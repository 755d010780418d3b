#include <windows.h>

#include "service/activity/activity_sources_win.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/win/handles_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::service {
namespace {

namespace fs = std::filesystem;

// A copy of the waiter helper named openvpn.exe in a folder of its own, running
// until the test lets it go (or its destructor kills it).
class FakeOpenVpn {
 public:
  FakeOpenVpn() {
    const fs::path waiter = testing::WinePathFromEnvironment(L"ZERKA_TEST_PROCESS_WAITER");
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    folder_ = fs::path(temp) / (L"zerka-activity-" + std::to_wstring(::GetCurrentProcessId()));
    std::error_code ec;
    fs::create_directories(folder_, ec);
    exe_ = folder_ / L"openvpn.exe";
    fs::copy_file(waiter, exe_, fs::copy_options::overwrite_existing, ec);
    event_name_ = L"Local\\zerka-activity-waiter-" + std::to_wstring(::GetCurrentProcessId());
    release_.reset(::CreateEventW(nullptr, TRUE, FALSE, event_name_.c_str()));
  }
  ~FakeOpenVpn() {
    process_.Kill();
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  [[nodiscard]] bool Start() { return release_ && process_.Start(exe_.wstring(), event_name_); }
  // Lets it end by itself and waits for that; its handle stays open.
  [[nodiscard]] bool Release() {
    ::SetEvent(release_.get());
    return process_.Wait(30000) == std::optional<uint32_t>(0);
  }
  uint32_t pid() const { return process_.pid(); }

 private:
  fs::path folder_;
  fs::path exe_;
  std::wstring event_name_;
  common::UniqueHandle release_;
  testing::ChildProcess process_;
};

TEST(ProcessCheckWin, ThisProcessIsNotOpenVpn) {
  EXPECT_EQ(CheckOpenVpnProcess(::GetCurrentProcessId()), ProcessCheck::gone);
  EXPECT_EQ(CheckOpenVpnProcess(0), ProcessCheck::none);
}

TEST(ProcessCheckWin, NoSuchProcessIsGone) {
  // Process ids are multiples of four; this one is as far from any real one as
  // an id can be.
  EXPECT_EQ(CheckOpenVpnProcess(0xFFFFFFFCu), ProcessCheck::gone);
}

TEST(ProcessCheckWin, RunningOpenVpnThenExited) {
  FakeOpenVpn openvpn;
  ASSERT_TRUE(openvpn.Start());
  EXPECT_EQ(CheckOpenVpnProcess(openvpn.pid()), ProcessCheck::running_openvpn);
  // Through the sources too, as the registry sees it.
  WinActivitySources sources({}, {});
  EXPECT_EQ(sources.CheckProcess(openvpn.pid()), 1);

  // Exited but still held open by us: the process object exists, its exit code
  // says it is over.
  ASSERT_TRUE(openvpn.Release());
  EXPECT_EQ(CheckOpenVpnProcess(openvpn.pid()), ProcessCheck::gone);
}

TEST(ActivitySourcesWin, CallbacksAndTheServiceManager) {
  WinActivitySources without({}, {});
  EXPECT_FALSE(without.HasWireGuard());
  EXPECT_EQ(without.WireGuardStatus(), common::WireGuardStatusRecord{});
  EXPECT_EQ(without.CountStaged().count, 0u);
  EXPECT_FALSE(without.CountStaged().scan_failed);
  EXPECT_FALSE(without.ScmUnavailable());

  common::WireGuardStatusRecord up;
  up.state = static_cast<uint8_t>(common::WireGuardState::up);
  up.adapter_present = true;
  WinActivitySources with([&] { return std::optional(up); },
                          [] {
                            return StagedProfiles{3, true};
                          });
  EXPECT_TRUE(with.HasWireGuard());
  EXPECT_EQ(with.WireGuardStatus(), up);
  EXPECT_EQ(with.CountStaged().count, 3u);
  EXPECT_TRUE(with.CountStaged().scan_failed);

  // A manager that answers nothing reads as a tunnel that is down.
  WinActivitySources silent([] { return std::optional<common::WireGuardStatusRecord>(); }, {});
  EXPECT_EQ(silent.WireGuardStatus(), common::WireGuardStatusRecord{});
}

// The published values, saved before a test and put back after it.
class PublishedValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_existed_ = Open(KEY_QUERY_VALUE).valid();
    saved_activity_ = Read(kActivityValueName);
    saved_reasons_ = Read(kActivityReasonsValueName);
  }
  void TearDown() override {
    if (!key_existed_) {
      ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kActivityKeyPath, KEY_WOW64_64KEY, 0);
      return;
    }
    Restore(kActivityValueName, saved_activity_);
    Restore(kActivityReasonsValueName, saved_reasons_);
  }

  static common::UniqueRegKey Open(REGSAM access) {
    common::UniqueRegKey key;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kActivityKeyPath, 0, KEY_WOW64_64KEY | access, key.put());
    return key;
  }
  // The value when it is a REG_DWORD of four bytes; nothing otherwise.
  static std::optional<uint32_t> Read(const wchar_t* name) {
    const common::UniqueRegKey key = Open(KEY_QUERY_VALUE);
    if (!key) return std::nullopt;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                           &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value) {
      return std::nullopt;
    }
    return value;
  }
  static void Restore(const wchar_t* name, std::optional<uint32_t> value) {
    const common::UniqueRegKey key = Open(KEY_SET_VALUE);
    if (!key) return;
    if (value) {
      const DWORD v = *value;
      ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    } else {
      ::RegDeleteValueW(key.get(), name);
    }
  }

  bool key_existed_ = false;
  std::optional<uint32_t> saved_activity_;
  std::optional<uint32_t> saved_reasons_;
};

TEST_F(PublishedValuesTest, WriteLandsAsTwoDwords) {
  WinActivitySources sources({}, {});
  ASSERT_TRUE(sources.WriteVerdict(2, 0x184));
  EXPECT_EQ(Read(kActivityValueName), std::optional<uint32_t>(2));
  EXPECT_EQ(Read(kActivityReasonsValueName), std::optional<uint32_t>(0x184));
  ASSERT_TRUE(sources.WriteVerdict(0, 0));
  EXPECT_EQ(Read(kActivityValueName), std::optional<uint32_t>(0));
  EXPECT_EQ(Read(kActivityReasonsValueName), std::optional<uint32_t>(0));
}

TEST_F(PublishedValuesTest, FreshStartOverTheRealSourcesPublishesInactive) {
  // A previous run's "active" is still there; the first evaluation replaces it.
  WinActivitySources sources({}, {});
  ASSERT_TRUE(sources.WriteVerdict(1, 0x20));

  testing::StderrCapture capture;
  ActivityRegistry registry(sources);
  registry.PublishActivity();
  registry.PublishActivity();
  EXPECT_EQ(Read(kActivityValueName), std::optional<uint32_t>(0));
  EXPECT_EQ(Read(kActivityReasonsValueName), std::optional<uint32_t>(0));
  const std::string log = capture.Text();
  EXPECT_EQ(testing::CountOccurrences(log, "vpn activity -> "), 1u) << log;
  EXPECT_NE(log.find("vpn activity -> 0 (wg=0 ovpn=0 reasons=0x00000000)"), std::string::npos)
      << log;
}

TEST_F(PublishedValuesTest, ReportNamingARunningOpenVpnKeepsTheVerdictActive) {
  FakeOpenVpn openvpn;
  ASSERT_TRUE(openvpn.Start());
  WinActivitySources sources({}, {});
  ActivityRegistry registry(sources, [](common::LogLevel, std::wstring_view) {});
  registry.RecordAgentReport(false, 0, openvpn.pid());
  registry.PublishActivity();
  EXPECT_EQ(Read(kActivityValueName), std::optional<uint32_t>(1));
  EXPECT_EQ(Read(kActivityReasonsValueName), std::optional<uint32_t>(0x40));

  // The Agent still says active, but the process is over: a contradiction.
  registry.RecordAgentReport(true, 0, openvpn.pid());
  ASSERT_TRUE(openvpn.Release());
  registry.PublishActivity();
  EXPECT_EQ(Read(kActivityValueName), std::optional<uint32_t>(0));
  EXPECT_EQ(Read(kActivityReasonsValueName), std::optional<uint32_t>(0x80));
}

}  // namespace
}  // namespace tovra::service
