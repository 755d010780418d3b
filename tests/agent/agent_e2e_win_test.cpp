// The real ZerkaVPNAgent.exe, with the real Service (console mode) or a stand-in
// for it on the Service pipe, driven through its pipe as the plugin would.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <regex>

#include "common/security/caller_identity_win.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "tests/fakes/fake_pipe_server_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/pipe_wait_win.h"

namespace tovra::testing {
namespace {

using common::Bytes;
using common::Frame;

uint32_t Session() {
  return common::GetProcessSessionId();
}

// The plugin's side of the Agent pipe, kept minimal.
class PluginSide {
 public:
  bool Connect() {
    common::ConnectOptions options;
    options.attempts = 30;
    options.busy_wait_ms = 400;
    options.on_absent = [] {
      ::Sleep(200);  // polls for the Agent's pipe, within the attempts above
      return true;
    };
    pipe_ = common::ConnectToServer(common::kAgentPipeRole, Session(), options).pipe;
    return static_cast<bool>(pipe_);
  }
  std::optional<Frame> Exchange(uint16_t type, const Bytes& payload = {}) {
    return common::ExchangeRequest(pipe_.get(), type, next_id_++, payload, 15000);
  }
  // Sends a raw frame (any header) and reads whatever comes back.
  std::optional<Frame> Raw(Bytes frame) {
    if (!common::PipeTransfer(pipe_.get(), frame.data(), static_cast<uint32_t>(frame.size()), 5000,
                              common::TransferDirection::Write)) {
      return std::nullopt;
    }
    return common::ReadFrame(pipe_.get(), 5000);
  }
  HANDLE pipe() const { return pipe_.get(); }

 private:
  common::UniqueHandle pipe_;
  uint32_t next_id_ = 1;
};

size_t CountLines(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
    ++n;
  return n;
}

uint16_t StatusOf(const Frame& f) {
  common::PayloadReader r(f.payload);
  uint16_t s = 0xFFFF;
  r.ReadU16(s);
  return s;
}

class AgentE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    agent_exe_ = TestEnv(L"TOVRA_AGENT_EXE");
    service_exe_ = TestEnv(L"TOVRA_SERVICE_EXE");
    ASSERT_FALSE(agent_exe_.empty()) << "TOVRA_AGENT_EXE not set";
    log_offset_ = FileSize(ZerkaLogPath(L"agent"));
  }
  void StartAgent(const std::vector<std::wstring>& env = {}) {
    ASSERT_TRUE(agent_.Start(agent_exe_, L"", env));
  }
  void StartService() {
    ASSERT_FALSE(service_exe_.empty()) << "TOVRA_SERVICE_EXE not set";
    ASSERT_TRUE(service_.Start(service_exe_, L"--console"));
    ASSERT_TRUE(WaitForRolePipe(common::kServicePipeRole, 30000)) << "the Service never listened";
  }
  std::string AgentLog() { return ReadFileFrom(ZerkaLogPath(L"agent"), log_offset_); }

  std::wstring agent_exe_, service_exe_;
  uint64_t log_offset_ = 0;
  ChildProcess agent_, service_;
};

TEST_F(AgentE2E, HelloHealthAndRelayWithTheRealService) {
  StartService();
  StartAgent();
  PluginSide plugin;
  ASSERT_TRUE(plugin.Connect());

  auto hello = plugin.Exchange(1);
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->header.request_id, 1u);
  EXPECT_NE(hello->header.generation, 0u);
  common::PayloadReader r(hello->payload);
  uint16_t status = 1;
  common::HelloInfo info;
  std::string generation_id;
  uint32_t session = 0;
  ASSERT_TRUE(r.ReadU16(status) && r.ReadHelloInfo(info) && r.ReadString(generation_id) &&
              r.ReadU32(session));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(info, common::MakeAgentHelloInfo());
  EXPECT_EQ(session, Session());
  EXPECT_EQ(hello->payload.size(), 79u + generation_id.size());
  char expected_gen[32];
  std::snprintf(expected_gen, sizeof expected_gen, "%u-0x%08X", agent_.pid(),
                hello->header.generation);
  EXPECT_EQ(generation_id, expected_gen) << "the number in the id is the header generation";

  auto health = plugin.Exchange(4);
  ASSERT_TRUE(health);
  EXPECT_EQ(health->header.generation, hello->header.generation);
  common::PayloadReader hr(health->payload);
  common::AgentHealthRecord agent_health;
  ASSERT_TRUE(hr.ReadU16(status) && hr.ReadAgentHealth(agent_health));
  EXPECT_TRUE(agent_health.service_connected);
  EXPECT_EQ(agent_health.generation_id, generation_id);

  auto service_health = plugin.Exchange(3);
  ASSERT_TRUE(service_health);
  EXPECT_EQ(StatusOf(*service_health), 0);
  common::PayloadReader sr(service_health->payload);
  common::ServiceHealthRecord sh;
  ASSERT_TRUE(sr.ReadU16(status) && sr.ReadServiceHealth(sh));
  EXPECT_EQ(sr.remaining(), 0u) << "the Service's body, nothing added";
  EXPECT_EQ(sh.hello_info, common::MakeServiceHelloInfo());
  EXPECT_EQ(sh.generation_id.rfind(std::to_string(service_.pid()) + "-0x", 0), 0u)
      << "the body is the Service's own: " << sh.generation_id;

  // Types the Agent does not serve, and unknown ones, keep the connection.
  for (uint16_t type : std::initializer_list<uint16_t>{12, 13, 14}) {
    auto f = plugin.Exchange(type);
    ASSERT_TRUE(f) << type;
    EXPECT_EQ(f->payload, common::StatusOnlyPayload(common::Status::unsupported)) << type;
  }
  // The OpenVPN capabilities are the Agent's own answer.
  auto capabilities = plugin.Exchange(8);
  ASSERT_TRUE(capabilities);
  common::PayloadReader cr(capabilities->payload);
  common::OpenVpnCapabilitiesRecord caps;
  EXPECT_TRUE(cr.ReadU16(status) && status == 0 && cr.ReadOpenVpnCapabilities(caps));
  auto unknown = plugin.Raw(*common::EncodeFrame(15, 99, 0, {}));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(StatusOf(*unknown), 2);
  EXPECT_EQ(unknown->header.request_id, 99u);
  ASSERT_TRUE(plugin.Exchange(2)) << "still open";

  // Service gone: relays fail with unavailable, health says not connected.
  service_.Kill();
  auto gone = plugin.Exchange(3);
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->payload, common::StatusOnlyPayload(common::Status::unavailable));
  auto health_down = plugin.Exchange(4);
  ASSERT_TRUE(health_down);
  common::PayloadReader dr(health_down->payload);
  ASSERT_TRUE(dr.ReadU16(status) && dr.ReadAgentHealth(agent_health));
  EXPECT_FALSE(agent_health.service_connected);

  // A wrong protocol version gets one status-3 reply, then the connection closes.
  Bytes v5 = *common::EncodeFrame(2, 50, 0, {});
  v5[4] = 5;
  auto mismatch = plugin.Raw(v5);
  ASSERT_TRUE(mismatch);
  EXPECT_EQ(mismatch->payload, common::StatusOnlyPayload(common::Status::protocol_mismatch));
  EXPECT_FALSE(plugin.Exchange(2)) << "closed after the mismatch";

  const std::string log = AgentLog();
  EXPECT_NE(log.find("plugin client connected pid=" + std::to_string(::GetCurrentProcessId())),
            std::string::npos);
  EXPECT_NE(log.find("plugin client disconnected"), std::string::npos);
}

TEST_F(AgentE2E, ServiceRestartIsNoticedByGeneration) {
  StartService();
  StartAgent();
  PluginSide plugin;
  ASSERT_TRUE(plugin.Connect());
  auto first = plugin.Exchange(3);
  ASSERT_TRUE(first);
  ASSERT_EQ(StatusOf(*first), 0);

  service_.Kill();
  StartService();
  auto second = plugin.Exchange(3);
  ASSERT_TRUE(second);
  EXPECT_EQ(StatusOf(*second), 0) << "reconnected within the request's second try";
  const std::string log = AgentLog();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      log, m, std::regex("service generation changed 0x([0-9A-F]{8}) -> 0x([0-9A-F]{8})")))
      << log;
  EXPECT_NE(m[1].str(), m[2].str());
}

TEST_F(AgentE2E, MismatchedServiceIsNeverUsed) {
  const auto service_pipe = common::FormatPipeName(common::kServicePipeRole, Session());
  ASSERT_TRUE(service_pipe);
  FakePipeServer fake(*service_pipe, [](const Frame& f) -> std::optional<Bytes> {
    if (f.header.type == 1) return FakePipeServer::HelloReply(5, "1-0x00000001");
    return Bytes{0, 0};
  });
  StartAgent();
  PluginSide plugin;
  ASSERT_TRUE(plugin.Connect());
  for (uint16_t type : std::initializer_list<uint16_t>{3, 5, 6, 7}) {
    auto f = plugin.Exchange(type, type == 5 ? Bytes{1, 0, 'x'} : Bytes{});
    ASSERT_TRUE(f) << type;
    EXPECT_EQ(f->payload, common::StatusOnlyPayload(common::Status::protocol_mismatch)) << type;
  }
  for (const auto& f : fake.received()) EXPECT_EQ(f.header.type, 1) << "only hellos reach it";
  EXPECT_NE(AgentLog().find("WARN service protocol 5 != agent 6 -> fail closed"),
            std::string::npos);
}

TEST_F(AgentE2E, SecondAgentInTheSessionExitsAtOnce) {
  StartAgent();
  PluginSide plugin;
  ASSERT_TRUE(plugin.Connect());  // the first one is up and serving
  ChildProcess second;
  ASSERT_TRUE(second.Start(agent_exe_));
  EXPECT_EQ(second.Wait(10000), std::optional<uint32_t>(0));
  EXPECT_NE(AgentLog().find("another agent already owns this session, exiting 0"),
            std::string::npos);
  EXPECT_TRUE(plugin.Exchange(2)) << "the first agent is undisturbed";
}

TEST_F(AgentE2E, ExitsWhenIdleButNotWhileAClientIsServed) {
  StartAgent({L"ZERKA_AGENT_IDLE_SECONDS=10"});
  {
    PluginSide plugin;
    ASSERT_TRUE(plugin.Connect());
    // Longer than the idle timeout, with a request every few seconds.
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(plugin.Exchange(2)) << i;
      ::Sleep(3500);  // the time passing is what is tested: 14 s served, past the 10 s timeout
    }
    EXPECT_TRUE(agent_.running()) << "a served client keeps the Agent up";
    ASSERT_TRUE(plugin.Exchange(2));
  }
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_EQ(agent_.Wait(30000), std::optional<uint32_t>(0));
  EXPECT_GE(::GetTickCount64() - start, 8000u) << "not before the idle timeout";
  const std::string log = AgentLog();
  EXPECT_NE(log.find("idle timeout with no clients / no VPN, exiting"), std::string::npos);
  EXPECT_NE(log.find("agent stopped"), std::string::npos);
}

}  // namespace
}  // namespace tovra::testing

namespace tovra::testing {
namespace {

TEST_F(AgentE2E, SilentClientsAreDropped) {
  StartAgent();
  {
    // Silent from the start: dropped without a log line.
    PluginSide silent;
    ASSERT_TRUE(silent.Connect());
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(common::ReadFrame(silent.pipe(), 25000)) << "the Agent closes the pipe";
    const ULONGLONG waited = ::GetTickCount64() - start;
    EXPECT_GE(waited, 14000u);
    EXPECT_LT(waited, 24000u);
  }
  {
    // Silent after a request: dropped with the disconnect line.
    PluginSide plugin;
    ASSERT_TRUE(plugin.Connect());
    ASSERT_TRUE(plugin.Exchange(2));
    EXPECT_FALSE(common::ReadFrame(plugin.pipe(), 25000));
  }
  const std::string log = AgentLog();
  EXPECT_EQ(CountLines(log, "plugin client connected"), 1u) << log;
  EXPECT_EQ(CountLines(log, "plugin client disconnected"), 1u) << log;
}

}  // namespace
}  // namespace tovra::testing
