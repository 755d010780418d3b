// zerkactl.exe driven as a user drives it: a real process in a folder laid out as
// an installed app (zerkactl beside the plugin DLL, the engine and, or not, the
// Agent), with its exit code and its output as a person or a script reads them.
//
// Output goes to files, not pipes: the Agent the plugin starts inherits the
// Unix-level standard streams of the Wine process that started it, so a pipe
// would stay open until the Agent exits.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/win/handles_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/pipe_wait_win.h"
#include "tests/support/program_run_win.h"
#include "tests/support/wait_until.h"
#include "tests/support/json_reader.h"

namespace {

namespace fs = std::filesystem;
using tovra::testsupport::ParseJson;

using Result = tovra::testing::ProgramResult;

// A folder holding zerkactl as an installed app would; `with_agent` adds the Agent.
fs::path Layout(bool with_agent) {
  return tovra::testing::LayOutAppFolder(L"zerkactl-e2e", with_agent, true);
}

Result RunZerkactl(const fs::path& dir, const std::vector<std::wstring>& args,
                   const std::function<void(const fs::path& out)>& meanwhile = {},
                   uint32_t timeout_ms = 180000) {
  Result r = tovra::testing::RunProgramInFolder(dir, L"zerkactl.exe", args, meanwhile, timeout_ms);
  if (!r.exit_code && r.err.rfind("CreateProcessW failed", 0) == 0) ADD_FAILURE() << r.err;
  return r;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ZerkactlE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tovra::testing::TestEnv(L"TOVRA_ZERKACTL_EXE").empty());
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"30");
  }
  void TearDown() override { tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe"); }
  void StartService() {
    ASSERT_TRUE(service_.Start(tovra::testing::TestEnv(L"TOVRA_SERVICE_EXE"), L"--console"));
    ASSERT_TRUE(tovra::testing::WaitForRolePipe(tovra::common::kServicePipeRole, 30000))
        << "the Service never listened";
  }

  tovra::testing::ChildProcess service_;
};

TEST_F(ZerkactlE2E, HealthOfAllThreeComponentsThroughTheRealAgentAndService) {
  StartService();
  const fs::path dir = Layout(true);

  // The Agent reaches the Service on its own schedule after the plugin starts it,
  // so the first answers may still be "not available"; both are success.
  Result available;
  for (int attempt = 0; attempt < 10; ++attempt) {
    available = RunZerkactl(dir, {L"is-available"});
    ASSERT_EQ(available.exit_code, 0u) << available.err;
    if (available.out != "not available\n") break;
    ::Sleep(500);  // polls the answer itself, each poll a whole zerkactl run
  }
  EXPECT_EQ(available.out, "available: the Agent and the Service answer\n");
  EXPECT_TRUE(tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe"))
      << "the plugin started the Agent";

  const Result service = RunZerkactl(dir, {L"service-health"});
  ASSERT_EQ(service.exit_code, 0u) << service.err;
  EXPECT_EQ(service.out.rfind("service health\n", 0), 0u) << service.out;
  EXPECT_TRUE(Contains(service.out, "  state                 up\n")) << service.out;
  EXPECT_EQ(service.out.find('\r'), std::string::npos) << "LF-only output";

  const Result agent = RunZerkactl(dir, {L"agent-health", L"--json"});
  ASSERT_EQ(agent.exit_code, 0u) << agent.err;
  const auto json = ParseJson(agent.out);
  ASSERT_TRUE(json) << agent.out;
  EXPECT_EQ((*json)["state"].text, "up");
  EXPECT_EQ((*json)["serviceConnected"].boolean, true);
  EXPECT_EQ((*json)["capabilities"].items.size(), 5u);

  const Result health = RunZerkactl(dir, {L"health", L"--json"});
  ASSERT_EQ(health.exit_code, 0u) << health.err;
  const auto native = ParseJson(health.out);
  ASSERT_TRUE(native) << health.out;
  EXPECT_EQ((*native)["agentConnected"].boolean, true);
  EXPECT_EQ((*native)["lastError"].text, "none");
}

// The order in which `wanted` appear in `types`, skipping others: true when all do.
bool InOrder(const std::vector<std::string>& types, const std::vector<std::string>& wanted) {
  size_t next = 0;
  for (const auto& t : types) {
    if (next < wanted.size() && t == wanted[next]) ++next;
  }
  return next == wanted.size();
}

TEST_F(ZerkactlE2E, EventsFollowTheAgentBeingKilledAndStartedAgain) {
  StartService();
  const fs::path dir = Layout(true);
  const Result events = RunZerkactl(dir, {L"events", L"16", L"--json"}, [](const fs::path& out) {
    // Killed once the first connection is reported, so the restart is what follows.
    EXPECT_TRUE(tovra::testing::WaitUntil(
        [&] {
          return Contains(tovra::testing::ReadFileFrom(out.wstring(), 0), "\"serviceConnected\"");
        },
        std::chrono::seconds(15), std::chrono::milliseconds(100)))
        << tovra::testing::ReadFileFrom(out.wstring(), 0);
    EXPECT_GE(tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe"), 1)
        << "the poller started the Agent";
  });
  ASSERT_EQ(events.exit_code, 0u) << events.err;
  std::vector<std::string> types;
  size_t start = 0;
  for (size_t end; (end = events.out.find('\n', start)) != std::string::npos; start = end + 1) {
    const auto line = ParseJson(events.out.substr(start, end - start));
    ASSERT_TRUE(line) << events.out;
    EXPECT_NE((*line)["timestampMs"].text, "0");
    types.push_back((*line)["type"].text);
  }
  EXPECT_TRUE(InOrder(types, {"agentConnected", "serviceConnected", "agentDisconnected",
                              "agentConnected", "serviceConnected", "serviceGenerationChanged"}))
      << events.out;
}

TEST_F(ZerkactlE2E, AnUnreachableAgentIsAPluginErrorExitOne) {
  const fs::path dir = Layout(false);
  const Result human = RunZerkactl(dir, {L"agent-health"});
  ASSERT_EQ(human.exit_code, 1u) << human.out << human.err;
  EXPECT_TRUE(Contains(human.err, "error AGENT_UNAVAILABLE")) << human.err;
  EXPECT_EQ(human.out, "");

  const Result json = RunZerkactl(dir, {L"openvpn-status", L"--json"});
  ASSERT_EQ(json.exit_code, 1u) << json.err;
  const auto parsed = ParseJson(json.out);
  ASSERT_TRUE(parsed) << json.out;
  EXPECT_EQ((*parsed)["error"].text, "AGENT_UNAVAILABLE");

  // The Service's own requests name the Service when the chain is cut before it.
  const Result service = RunZerkactl(dir, {L"service-health", L"--json"});
  ASSERT_EQ(service.exit_code, 1u) << service.err;
  const auto service_json = ParseJson(service.out);
  ASSERT_TRUE(service_json) << service.out;
  EXPECT_EQ((*service_json)["error"].text, "SERVICE_UNAVAILABLE");

  const Result available = RunZerkactl(dir, {L"is-available"});
  EXPECT_EQ(available.exit_code, 0u) << "a question with a no for an answer";
  EXPECT_EQ(available.out, "not available\n");
}

TEST_F(ZerkactlE2E, UsageErrorsExitTwoWithoutStartingTheAgent) {
  const fs::path dir = Layout(true);
  for (const auto& args :
       std::vector<std::vector<std::wstring>>{{L"events", L"soon"},
                                              {L"no-such-command"},
                                              {L"wireguard-start"},
                                              {L"health", L"--bogus"},
                                              {L"wireguard-start", L"Z:\\no\\such\\file.conf"}}) {
    const Result r = RunZerkactl(dir, args);
    EXPECT_EQ(r.exit_code, 2u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_FALSE(tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe"));

  const Result help = RunZerkactl(dir, {L"openvpn-start", L"--help"});
  EXPECT_EQ(help.exit_code, 0u);
  EXPECT_EQ(help.out.rfind("usage: zerkactl openvpn-start PROFILE", 0), 0u) << help.out;
}

TEST_F(ZerkactlE2E, APluginThatIsNotThereIsReported) {
  const fs::path dir = Layout(false);
  const Result r = RunZerkactl(dir, {L"health", L"--plugin", (dir / L"absent.dll").wstring()});
  EXPECT_EQ(r.exit_code, 2u);
  EXPECT_TRUE(Contains(r.err, "cannot load the plugin")) << r.err;
}

}  // namespace
