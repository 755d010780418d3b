#include "service/activity/activity_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace tovra::service {
namespace {

using common::LogLevel;

// ---- the combination ----

struct CombineRow {
  const char* name;
  ActivityInputs in;
  uint32_t activity;
  uint16_t reasons;
  bool wg;
  bool ovpn;
};

ActivityInputs AgentSaid(bool active, bool fresh, uint8_t check) {
  ActivityInputs in;
  in.present = true;
  in.openvpn_active = active;
  in.fresh = fresh;
  in.process_check = check;
  return in;
}

template <typename F>
ActivityInputs With(ActivityInputs in, F&& change) {
  change(in);
  return in;
}

std::vector<CombineRow> CombineRows() {
  const ActivityInputs none;
  return {
      {"nothing", none, 0, 0, false, false},
      {"wg_adapter", With(none, [](auto& i) { i.wg_adapter = true; }), 1, 0x01, true, false},
      {"wg_running", With(none, [](auto& i) { i.wg_running = true; }), 1, 0x02, true, false},
      {"wg_both", With(none, [](auto& i) { i.wg_adapter = i.wg_running = true; }), 1, 0x03, true,
       false},
      {"scm_unavailable", With(none, [](auto& i) { i.scm_unavailable = true; }), 2, 0x04, false,
       false},
      {"scm_unavailable_wg_running_hides_it",
       With(none, [](auto& i) { i.scm_unavailable = i.wg_running = true; }), 1, 0x02, true, false},
      {"scm_unavailable_wg_adapter_hides_it",
       With(none, [](auto& i) { i.scm_unavailable = i.wg_adapter = true; }), 1, 0x01, true, false},
      {"scm_unavailable_openvpn_evidence_wins",
       With(none,
            [](auto& i) {
              i.scm_unavailable = true;
              i.staged_count = 1;
            }),
       1, 0x0C, false, true},
      {"staged_one", With(none, [](auto& i) { i.staged_count = 1; }), 1, 0x08, false, true},
      {"staged_many", With(none, [](auto& i) { i.staged_count = 4000000000u; }), 1, 0x08, false,
       true},
      {"scan_failed", With(none, [](auto& i) { i.scan_failed = true; }), 2, 0x10, false, false},
      {"scan_failed_with_staged",
       With(none,
            [](auto& i) {
              i.scan_failed = true;
              i.staged_count = 2;
            }),
       1, 0x18, false, true},
      {"scan_failed_with_wg",
       With(none,
            [](auto& i) {
              i.scan_failed = true;
              i.wg_adapter = true;
            }),
       1, 0x11, true, false},
      // The Agent's report, by process check and age.
      {"active_fresh_none", AgentSaid(true, true, 0), 1, 0x20, false, true},
      {"active_stale_none", AgentSaid(true, false, 0), 0, 0x80, false, false},
      {"active_fresh_running", AgentSaid(true, true, 1), 1, 0x40, false, true},
      {"active_stale_running", AgentSaid(true, false, 1), 1, 0x40, false, true},
      {"active_fresh_gone", AgentSaid(true, true, 2), 0, 0x80, false, false},
      {"active_stale_gone", AgentSaid(true, false, 2), 0, 0x80, false, false},
      {"active_fresh_unknown", AgentSaid(true, true, 3), 1, 0x20, false, true},
      {"active_stale_unknown", AgentSaid(true, false, 3), 2, 0x100, false, false},
      {"inactive_fresh_none", AgentSaid(false, true, 0), 0, 0, false, false},
      {"inactive_stale_running", AgentSaid(false, false, 1), 1, 0x40, false, true},
      {"inactive_fresh_gone", AgentSaid(false, true, 2), 0, 0, false, false},
      {"inactive_stale_unknown", AgentSaid(false, false, 3), 0, 0, false, false},
      // A check value outside the four is treated as unknown, never as running.
      {"active_fresh_out_of_range", AgentSaid(true, true, 7), 1, 0x20, false, true},
      {"active_stale_out_of_range", AgentSaid(true, false, 200), 2, 0x100, false, false},
      // Without a report nothing about OpenVPN counts, whatever else was passed.
      {"absent_report_ignored", With(AgentSaid(true, true, 1), [](auto& i) { i.present = false; }),
       0, 0, false, false},
      // Combinations: other evidence decides over an unverifiable or contradicted report.
      {"stale_unknown_with_wg",
       With(AgentSaid(true, false, 3), [](auto& i) { i.wg_running = true; }), 1, 0x102, true,
       false},
      {"stale_unknown_with_staged",
       With(AgentSaid(true, false, 3), [](auto& i) { i.staged_count = 1; }), 1, 0x108, false, true},
      {"contradicted_with_scm_unavailable",
       With(AgentSaid(true, true, 2), [](auto& i) { i.scm_unavailable = true; }), 2, 0x84, false,
       false},
      {"contradicted_with_scan_failed",
       With(AgentSaid(true, false, 0), [](auto& i) { i.scan_failed = true; }), 2, 0x90, false,
       false},
  };
}

class CombineTest : public ::testing::TestWithParam<CombineRow> {};

TEST_P(CombineTest, VerdictAndReasons) {
  const CombineRow& row = GetParam();
  const ActivityVerdict v = CombineActivity(row.in);
  EXPECT_EQ(v.activity, row.activity);
  EXPECT_EQ(v.reasons, row.reasons);
  EXPECT_EQ(v.wg, row.wg);
  EXPECT_EQ(v.ovpn, row.ovpn);
}

INSTANTIATE_TEST_SUITE_P(Rows, CombineTest, ::testing::ValuesIn(CombineRows()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ActivityLine, ExactText) {
  EXPECT_EQ(FormatActivityLine({0, false, false, 0}),
            L"vpn activity -> 0 (wg=0 ovpn=0 reasons=0x00000000)");
  EXPECT_EQ(FormatActivityLine({2, true, true, 0x1FF}),
            L"vpn activity -> 2 (wg=1 ovpn=1 reasons=0x000001FF)");
}

TEST(ActivityValue, EveryVerdictHasItsOwnNonNegativeValue) {
  // Only activity and reasons decide a publication, so two verdicts that differ
  // in either must never share a value, and no value may look like "nothing yet".
  std::vector<int32_t> seen;
  for (uint32_t activity = 0; activity <= 2; ++activity) {
    for (uint32_t reasons = 0; reasons <= 0x1FF; ++reasons) {
      const int32_t value =
          PublishedValue({activity, false, false, static_cast<uint16_t>(reasons)});
      EXPECT_GE(value, 0);
      seen.push_back(value);
    }
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

// ---- freshness ----

struct AgeRow {
  const char* name;
  uint64_t now;
  uint64_t received;
  uint64_t age;
  bool fresh;
};

constexpr uint64_t k32 = uint64_t{1} << 32;
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

class AgeTest : public ::testing::TestWithParam<AgeRow> {};

TEST_P(AgeTest, AgeAndFreshness) {
  const AgeRow& row = GetParam();
  EXPECT_EQ(ReportAgeMs(row.now, row.received), row.age);
  EXPECT_EQ(IsReportFresh(row.now, row.received), row.fresh);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AgeTest,
    ::testing::Values(AgeRow{"same_tick", 1000, 1000, 0, true},
                      AgeRow{"at_the_limit", 21000, 1000, 20000, true},
                      AgeRow{"just_past", 21001, 1000, 20001, false},
                      // Across the point where a 32-bit tick would wrap (49.7 days).
                      AgeRow{"across_32bit_wrap_fresh", k32 + 1000, k32 - 1000, 2000, true},
                      AgeRow{"across_32bit_wrap_stale", k32 + 15000, k32 - 6000, 21000, false},
                      AgeRow{"days_old", 100ull * 86400000, 1000, 100ull * 86400000 - 1000, false},
                      // A clock that went back is age 0, never a near-2^64 age.
                      AgeRow{"clock_back", 500, 1000, 0, true},
                      AgeRow{"clock_back_far", 0, kMax64, 0, true}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- the process check's decision ----

struct ProcessRow {
  const char* name;
  ProcessFacts facts;
  ProcessCheck expected;
};

ProcessFacts Alive(std::wstring_view image) {
  return {4242, 0, true, kStillActive, true, image};
}

class ProcessCheckTest : public ::testing::TestWithParam<ProcessRow> {};

TEST_P(ProcessCheckTest, Decides) {
  EXPECT_EQ(DecideProcessCheck(GetParam().facts), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProcessCheckTest,
    ::testing::Values(
        ProcessRow{"pid_zero", {0, 5, false, 0, false, L""}, ProcessCheck::none},
        ProcessRow{"no_such_process", {8, 87, false, 0, false, L""}, ProcessCheck::gone},
        ProcessRow{"not_found", {8, 1168, false, 0, false, L""}, ProcessCheck::gone},
        ProcessRow{"access_denied", {8, 5, false, 0, false, L""}, ProcessCheck::unknown},
        ProcessRow{"other_open_error", {8, 31, false, 0, false, L""}, ProcessCheck::unknown},
        ProcessRow{"exit_code_unreadable", {8, 0, false, 0, false, L""}, ProcessCheck::unknown},
        ProcessRow{"exited", {8, 0, true, 0, true, L"C:\\x\\openvpn.exe"}, ProcessCheck::gone},
        ProcessRow{"exited_with_error", {8, 0, true, 1, false, L""}, ProcessCheck::gone},
        ProcessRow{
            "image_unreadable", {8, 0, true, kStillActive, false, L""}, ProcessCheck::unknown},
        ProcessRow{"image_empty", {8, 0, true, kStillActive, true, L""}, ProcessCheck::unknown},
        ProcessRow{"openvpn", Alive(L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe"),
                   ProcessCheck::running_openvpn},
        ProcessRow{"openvpn_upper", Alive(L"C:\\BIN\\OPENVPN.EXE"), ProcessCheck::running_openvpn},
        ProcessRow{"openvpn_forward_slash", Alive(L"Z:/opt/OpenVpn.Exe"),
                   ProcessCheck::running_openvpn},
        ProcessRow{"openvpn_bare", Alive(L"openvpn.exe"), ProcessCheck::running_openvpn},
        ProcessRow{"other_program", Alive(L"C:\\Windows\\notepad.exe"), ProcessCheck::gone},
        ProcessRow{"openvpn_folder_only", Alive(L"C:\\openvpn.exe\\svchost.exe"),
                   ProcessCheck::gone},
        ProcessRow{"trailing_separator", Alive(L"C:\\bin\\openvpn.exe\\"), ProcessCheck::gone},
        ProcessRow{"prefixed_name", Alive(L"C:\\bin\\myopenvpn.exe"), ProcessCheck::gone},
        ProcessRow{"suffixed_name", Alive(L"C:\\bin\\openvpn.exe.bak"), ProcessCheck::gone},
        ProcessRow{"trailing_space", Alive(L"C:\\bin\\openvpn.exe "), ProcessCheck::gone},
        ProcessRow{"non_ascii_lookalike", Alive(L"C:\\bin\\openvpn.ex\u00C9"), ProcessCheck::gone}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ImageFileName, TextAfterTheLastSeparator) {
  EXPECT_EQ(ImageFileName(L"C:\\a\\b/c.exe"), L"c.exe");
  EXPECT_EQ(ImageFileName(L"a/b\\c"), L"c");
  EXPECT_EQ(ImageFileName(L"plain.exe"), L"plain.exe");
  EXPECT_EQ(ImageFileName(L"C:\\dir\\"), L"");
  EXPECT_EQ(ImageFileName(L""), L"");
}

// ---- the registry over a scripted machine ----

class FakeSources final : public ActivitySources {
 public:
  // ---- script ----
  bool has_wireguard = false;
  common::WireGuardStatusRecord wireguard;
  bool scm_unavailable = false;
  StagedProfiles staged;
  uint8_t process_check = 0;
  uint64_t now = 1000000;
  int failing_writes = 0;  // the next this many writes fail

  // ---- record ----
  int wireguard_queries = 0;
  std::vector<uint32_t> checked_pids;
  std::vector<std::pair<uint32_t, uint32_t>> writes;
  std::pair<uint32_t, uint32_t> stored{0xFFFFFFFF, 0xFFFFFFFF};  // what the registry holds

  common::WireGuardStatusRecord WireGuardStatus() override {
    EXPECT_TRUE(has_wireguard) << "queried a tunnel manager that does not exist";
    ++wireguard_queries;
    return wireguard;
  }
  bool HasWireGuard() override { return has_wireguard; }
  bool ScmUnavailable() override { return scm_unavailable; }
  StagedProfiles CountStaged() override { return staged; }
  uint8_t CheckProcess(uint32_t pid) override {
    checked_pids.push_back(pid);
    return process_check;
  }
  uint64_t NowMs() override { return now; }
  bool WriteVerdict(uint32_t activity, uint32_t reasons) override {
    writes.emplace_back(activity, reasons);
    if (failing_writes > 0) {
      --failing_writes;
      return false;
    }
    stored = {activity, reasons};
    return true;
  }
};

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest()
      : registry_(sources_, [this](LogLevel level, std::wstring_view message) {
          lines_.emplace_back(level, std::wstring(message));
        }) {}

  std::vector<std::wstring> InfoLines() const {
    std::vector<std::wstring> out;
    for (const auto& [level, text] : lines_) {
      if (level == LogLevel::Info) out.push_back(text);
    }
    return out;
  }
  size_t WarnCount() const {
    return static_cast<size_t>(std::count_if(
        lines_.begin(), lines_.end(), [](const auto& l) { return l.first == LogLevel::Warn; }));
  }

  FakeSources sources_;
  std::vector<std::pair<LogLevel, std::wstring>> lines_;
  ActivityRegistry registry_;
};

TEST_F(RegistryTest, FirstEvaluationPublishesAndAnIdenticalOneDoesNothing) {
  registry_.PublishActivity();
  ASSERT_EQ(sources_.writes.size(), 1u);
  EXPECT_EQ(sources_.writes[0], std::make_pair(0u, 0u));
  EXPECT_EQ(InfoLines(),
            std::vector<std::wstring>{L"vpn activity -> 0 (wg=0 ovpn=0 reasons=0x00000000)"});

  registry_.PublishActivity();
  EXPECT_EQ(sources_.writes.size(), 1u);
  EXPECT_EQ(lines_.size(), 1u);
}

TEST_F(RegistryTest, WireGuardIsAskedOnlyWhenAManagerExists) {
  sources_.wireguard.state = static_cast<uint8_t>(common::WireGuardState::up);
  sources_.wireguard.adapter_present = true;
  EXPECT_EQ(registry_.EvaluateActivity().reasons, 0);
  EXPECT_EQ(sources_.wireguard_queries, 0);

  sources_.has_wireguard = true;
  EXPECT_EQ(registry_.EvaluateActivity(), (ActivityVerdict{1, true, false, 0x03}));
  sources_.wireguard.state = static_cast<uint8_t>(common::WireGuardState::starting);
  sources_.wireguard.adapter_present = false;
  EXPECT_EQ(registry_.EvaluateActivity(), (ActivityVerdict{1, true, false, 0x02}));
  sources_.wireguard.state = static_cast<uint8_t>(common::WireGuardState::down);
  sources_.wireguard.error = static_cast<uint16_t>(common::WireGuardError::start_failed);
  EXPECT_EQ(registry_.EvaluateActivity(), (ActivityVerdict{0, false, false, 0}));
  EXPECT_EQ(sources_.wireguard_queries, 3);
}

TEST_F(RegistryTest, ReportIsStoredWithItsArrivalTick) {
  EXPECT_FALSE(registry_.Report().present);
  sources_.now = 777;
  registry_.RecordAgentReport(true, 0xABCD, 4242);
  EXPECT_EQ(registry_.Report(), (AgentActivityReport{true, true, 0xABCD, 4242, 777}));
  sources_.now = 900;
  registry_.RecordAgentReport(false, 1, 0);
  EXPECT_EQ(registry_.Report(), (AgentActivityReport{true, false, 1, 0, 900}));
}

TEST_F(RegistryTest, ProcessIsCheckedOnlyForANamedPidOfAReport) {
  (void)registry_.EvaluateActivity();
  registry_.RecordAgentReport(true, 0, 0);
  (void)registry_.EvaluateActivity();
  EXPECT_TRUE(sources_.checked_pids.empty());
  registry_.RecordAgentReport(true, 0, 5150);
  (void)registry_.EvaluateActivity();
  EXPECT_EQ(sources_.checked_pids, std::vector<uint32_t>{5150});
}

// A report of OpenVPN active, its age, and what its process turned out to be.
struct ReportRow {
  const char* name;
  uint8_t check;
  uint64_t age_ms;
  uint32_t activity;
  uint16_t reasons;
};

class ReportAgeTest : public ::testing::TestWithParam<ReportRow> {};

TEST_P(ReportAgeTest, VerdictFollowsAgeAndProcess) {
  const ReportRow& row = GetParam();
  FakeSources sources;
  ActivityRegistry registry(sources, [](LogLevel, std::wstring_view) {});
  registry.RecordAgentReport(true, 0, row.check == 0 ? 0 : 3344);
  sources.process_check = row.check;
  sources.now += row.age_ms;
  const ActivityVerdict v = registry.EvaluateActivity();
  EXPECT_EQ(v.activity, row.activity);
  EXPECT_EQ(v.reasons, row.reasons);
}

INSTANTIATE_TEST_SUITE_P(Rows, ReportAgeTest,
                         ::testing::Values(ReportRow{"none_fresh", 0, 0, 1, 0x20},
                                           ReportRow{"none_at_limit", 0, 20000, 1, 0x20},
                                           ReportRow{"none_stale", 0, 20001, 0, 0x80},
                                           ReportRow{"running_fresh", 1, 5, 1, 0x40},
                                           ReportRow{"running_stale", 1, 3600000, 1, 0x40},
                                           ReportRow{"gone_fresh", 2, 5, 0, 0x80},
                                           ReportRow{"gone_stale", 2, 20001, 0, 0x80},
                                           ReportRow{"unknown_fresh", 3, 20000, 1, 0x20},
                                           ReportRow{"unknown_stale", 3, 20001, 2, 0x100}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(RegistryTest, StaleReportLosesItsWeightWithoutANewRequest) {
  registry_.RecordAgentReport(true, 0, 0);
  registry_.PublishActivity();
  sources_.now += 20000;
  registry_.PublishActivity();
  sources_.now += 1;
  registry_.PublishActivity();
  EXPECT_EQ(sources_.writes, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 0x20}, {0, 0x80}}));
  EXPECT_EQ(InfoLines(),
            (std::vector<std::wstring>{L"vpn activity -> 1 (wg=0 ovpn=1 reasons=0x00000020)",
                                       L"vpn activity -> 0 (wg=0 ovpn=0 reasons=0x00000080)"}));
}

TEST_F(RegistryTest, ClockGoingBackCountsAsJustReceivedThenAgesNormally) {
  sources_.now = 10000000;
  registry_.RecordAgentReport(true, 0, 0);
  sources_.now = 4000000;  // an hour and a half behind the report
  EXPECT_EQ(registry_.EvaluateActivity(), (ActivityVerdict{1, false, true, 0x20}));
  // From there it ages like any report: stale 20 s later, not once the clock
  // has caught up with the original tick.
  sources_.now += 20000;
  EXPECT_EQ(registry_.EvaluateActivity().reasons, 0x20);
  sources_.now += 1;
  EXPECT_EQ(registry_.EvaluateActivity(), (ActivityVerdict{0, false, false, 0x80}));
}

TEST_F(RegistryTest, ReportAcrossA32BitTickWrapKeepsItsAge) {
  sources_.now = k32 - 1000;
  registry_.RecordAgentReport(true, 0, 0);
  sources_.now = k32 + 1000;
  EXPECT_EQ(registry_.EvaluateActivity().reasons, 0x20);
  sources_.now = k32 + 19001;
  EXPECT_EQ(registry_.EvaluateActivity().reasons, 0x80);
}

TEST_F(RegistryTest, FailedWriteIsRetriedOnTheNextEvaluationWithoutASecondLine) {
  sources_.failing_writes = 1;
  registry_.RecordAgentReport(true, 0, 0);
  registry_.PublishActivity();
  EXPECT_EQ(sources_.writes.size(), 1u);
  EXPECT_EQ(sources_.stored.first, 0xFFFFFFFFu);  // nothing landed
  EXPECT_EQ(InfoLines().size(), 1u);
  EXPECT_EQ(WarnCount(), 1u);

  registry_.PublishActivity();  // same verdict, written again
  ASSERT_EQ(sources_.writes.size(), 2u);
  EXPECT_EQ(sources_.stored, std::make_pair(1u, 0x20u));
  EXPECT_EQ(lines_.size(), 2u);

  registry_.PublishActivity();  // landed: nothing more
  EXPECT_EQ(sources_.writes.size(), 2u);
  EXPECT_EQ(lines_.size(), 2u);
}

TEST_F(RegistryTest, WritesThatKeepFailingLogOnePerChange) {
  sources_.failing_writes = 1000;
  for (int i = 0; i < 5; ++i) registry_.PublishActivity();
  EXPECT_EQ(sources_.writes.size(), 5u);
  EXPECT_EQ(InfoLines().size(), 1u);
  EXPECT_EQ(WarnCount(), 1u);

  sources_.staged.count = 1;  // a change while the registry still refuses
  registry_.PublishActivity();
  registry_.PublishActivity();
  EXPECT_EQ(sources_.writes.size(), 7u);
  EXPECT_EQ(InfoLines(),
            (std::vector<std::wstring>{L"vpn activity -> 0 (wg=0 ovpn=0 reasons=0x00000000)",
                                       L"vpn activity -> 1 (wg=0 ovpn=1 reasons=0x00000008)"}));
  EXPECT_EQ(WarnCount(), 1u);

  sources_.failing_writes = 0;
  registry_.PublishActivity();
  EXPECT_EQ(sources_.stored, std::make_pair(1u, 0x08u));
  EXPECT_EQ(lines_.size(), 3u);

  // A later failure starts a new run of failures, with its own warning.
  sources_.failing_writes = 1;
  sources_.staged.count = 0;
  registry_.PublishActivity();
  EXPECT_EQ(WarnCount(), 2u);
}

TEST_F(RegistryTest, ChangingBackIsAChangeToo) {
  registry_.PublishActivity();
  sources_.scm_unavailable = true;
  registry_.PublishActivity();
  sources_.scm_unavailable = false;
  registry_.PublishActivity();
  EXPECT_EQ(sources_.writes, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}, {2, 4}, {0, 0}}));
  EXPECT_EQ(InfoLines().size(), 3u);
}

}  // namespace
}  // namespace tovra::service
