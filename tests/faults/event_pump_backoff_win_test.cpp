// The event pump's back-off under Wine, through the real plugin DLL: with no
// Agent beside the plugin (or one that never serves its pipe) the poller's
// failure lines and start attempts thin out, 4 s, 8 s, 16 s ... apart instead of
// every 2 s, while Dart's own calls still try at once. The real pauses are used;
// the shape of the whole sequence, up to the one-minute cap and the reset, is the
// table test of ProbeBackoff (plugin/plugin_rules_test.cpp).
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/faults/dart_player_win.h"
#include "tests/support/child_process_win.h"

namespace tovra::faults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Pumps `dart` and notes when each new line holding `marker` shows up in the
// plugin's log, until `count` were seen or the limit passed.
std::vector<Clock::time_point> WatchLog(DartPlayer& dart, uint64_t log_start,
                                        const std::string& marker, size_t count,
                                        Clock::duration limit) {
  std::vector<Clock::time_point> seen;
  const std::wstring log = tovra::testing::ZerkaLogPath(L"plugin");
  dart.PumpUntil(
      [&] {
        const size_t now = Count(tovra::testing::ReadFileFrom(log, log_start), marker);
        while (seen.size() < now) seen.push_back(Clock::now());
        return seen.size() >= count;
      },
      limit);
  return seen;
}

class EventPumpBackoff : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tovra::testing::TestEnv(L"TOVRA_PLUGIN_DLL").empty());
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    log_start_ = tovra::testing::FileSize(tovra::testing::ZerkaLogPath(L"plugin"));
  }
  std::string Log() const {
    return tovra::testing::ReadFileFrom(tovra::testing::ZerkaLogPath(L"plugin"), log_start_);
  }
  uint64_t log_start_ = 0;
};

TEST_F(EventPumpBackoff, WithoutAnAgentTheFailureLinesThinOutAndDartCallsStillTry) {
  DartPlayer dart(L"zerka-faults-backoff", false);
  ASSERT_TRUE(dart.ok());
  ASSERT_TRUE(dart.Call("startEvents").value);
  const auto seen = WatchLog(dart, log_start_, "WARN event poller: agent unreachable", 3, 30s);
  ASSERT_EQ(seen.size(), 3u) << Log();
  const double first = Seconds(seen[1] - seen[0]);
  const double second = Seconds(seen[2] - seen[1]);
  // Before the back-off a probe came every 2 s: six lines in these 12 s.
  EXPECT_GT(first, 3.0);
  EXPECT_LT(first, 6.5);
  EXPECT_GT(second, 7.0);
  EXPECT_LT(second, 11.0);
  const std::string log = Log();
  EXPECT_NE(log.find("(status 4, 1 failed in a row), next probe in 4000 ms"), std::string::npos);
  EXPECT_NE(log.find("(status 4, 3 failed in a row), next probe in 16000 ms"), std::string::npos);
  EXPECT_EQ(Count(log, "ERR  ZerkaVPNAgent.exe not found next to the plugin DLL"), 3u)
      << "one launcher line per step";
  EXPECT_TRUE(dart.events().empty()) << "nothing was ever connected";

  // A Dart call is not held back by the poller's pause.
  const Reply health = dart.Call("getAgentHealth");
  EXPECT_EQ(health.error_code, "AGENT_UNAVAILABLE");
  EXPECT_EQ(Count(Log(), "ERR  ZerkaVPNAgent.exe not found next to the plugin DLL"), 4u);
}

// About 30 s: each probe spends the connect budget (30 polls of 200 ms) on an
// Agent that never serves its pipe. Run with ZERKA_FAULTS_LONG=1.
TEST_F(EventPumpBackoff, AnAgentThatNeverServesItsPipeIsStartedLessAndLessOften) {
  if (tovra::testing::TestEnv(L"ZERKA_FAULTS_LONG").empty()) {
    GTEST_SKIP() << "set ZERKA_FAULTS_LONG=1 for this 30 s case";
  }
  // A program that exits at once in place of the Agent: the tunnel stand-in,
  // which prints its usage and ends when not run by the service manager.
  const fs::path dir = tovra::testing::LayOutAppFolder(L"zerka-faults-mute-agent", false, false);
  const fs::path mute = tovra::testing::TestEnv(L"ZERKA_TEST_WIREGUARD_EXE");
  ASSERT_FALSE(mute.empty());
  fs::copy_file(mute, dir / L"ZerkaVPNAgent.exe", fs::copy_options::overwrite_existing);
  DartPlayer dart(L"zerka-faults-mute-agent", false);
  ASSERT_TRUE(dart.ok());
  ASSERT_TRUE(dart.Call("startEvents").value);
  const auto starts =
      WatchLog(dart, log_start_, "INFO launched ZerkaVPNAgent.exe detached", 3, 60s);
  ASSERT_EQ(starts.size(), 3u) << Log();
  // Each gap is the connect budget (about 6 s) plus the pause: 4 s, then 8 s.
  const double first = Seconds(starts[1] - starts[0]);
  const double second = Seconds(starts[2] - starts[1]);
  EXPECT_GT(second - first, 2.5) << first << " s then " << second << " s";
  EXPECT_NE(Log().find("(status 7, 2 failed in a row), next probe in 8000 ms"), std::string::npos);
}

}  // namespace
}  // namespace tovra::faults
