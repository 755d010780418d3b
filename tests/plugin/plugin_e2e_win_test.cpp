// The real plugin DLL, loaded the way a Flutter app loads it (through our headless
// embedding), with the real Agent and Service, or with stand-ins for the Agent.
// The test plays Dart: it calls the host channels with the Pigeon codec and
// listens on the onNativeEvent channel.
#include <gtest/gtest.h>

#include <windows.h>

#include <flutter_headless.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/security/caller_identity_win.h"
#include "common/ipc/pipe_names.h"
#include "plugin/pigeon_api.h"
#include "tests/fakes/fake_pipe_server_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/plugin_loader_win.h"
#include "tests/support/pipe_wait_win.h"
#include "tests/support/wait_until.h"

namespace tovra_windows_vpn {
namespace {

namespace fs = std::filesystem;
using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using tovra::common::Bytes;
using tovra::common::Frame;
using tovra::testing::ChildProcess;
using tovra::testing::FakePipeServer;

using RegisterFn = tovra::testing::PluginRegisterFn;

RegisterFn LoadPlugin(bool with_agent) {
  return tovra::testing::LoadPluginFromAppFolder(L"tovra-plugin", with_agent);
}

Bytes Encode(const EncodableValue& v) {
  return *PigeonCodec().EncodeMessage(v);
}

EncodableValue List(std::initializer_list<EncodableValue> items) {
  return EncodableValue(EncodableList(items));
}

template <typename T>
T Custom(const EncodableValue& v) {
  return std::any_cast<T>(static_cast<const std::any&>(std::get<CustomEncodableValue>(v)));
}

// One engine with the plugin registered; plays Dart.
class Dart {
 public:
  explicit Dart(bool with_agent) {
    engine_ = FlutterHeadlessEngineCreate();
    RegisterFn reg = LoadPlugin(with_agent);
    if (engine_ && reg) {
      reg(FlutterHeadlessEngineGetRegistrar(engine_, "tovra_windows_vpn"));
      FlutterHeadlessEngineSetDartHandler(engine_, kOnNativeEventChannel, &Dart::OnEvent, this);
    }
  }
  ~Dart() { Destroy(); }
  void Destroy() {
    if (engine_) FlutterHeadlessEngineDestroy(engine_);
    engine_ = nullptr;
  }
  bool ok() const { return engine_ != nullptr; }
  FlutterHeadlessEngineRef engine() const { return engine_; }

  // Calls a host method and waits for its reply (an empty reply is null).
  EncodableValue Call(const std::string& method, const EncodableValue& args = List({}),
                      uint32_t timeout_ms = 90000) {
    const Bytes message = Encode(args);
    uint8_t* reply = nullptr;
    size_t reply_size = 0;
    const std::string channel = std::string(kHostChannelPrefix) + method;
    if (!FlutterHeadlessEngineSendToPluginAndWait(engine_, channel.c_str(), message.data(),
                                                  message.size(), timeout_ms, &reply,
                                                  &reply_size)) {
      ADD_FAILURE() << method << ": no reply";
      return EncodableValue();
    }
    EncodableValue out;
    if (reply) {
      auto decoded = PigeonCodec().DecodeMessage(reply, reply_size);
      if (decoded) out = *decoded;
      FlutterHeadlessFree(reply);
    }
    return out;
  }

  // The value of a success reply, or fails the test.
  EncodableValue Value(const std::string& method, const EncodableValue& args = List({})) {
    const EncodableValue reply = Call(method, args);
    const auto* list = std::get_if<EncodableList>(&reply);
    if (list == nullptr || list->size() != 1) {
      ADD_FAILURE() << method << ": not a success reply";
      return EncodableValue();
    }
    return (*list)[0];
  }

  // The error code of an error reply, or "" when it was not one.
  std::string ErrorCode(const std::string& method, const EncodableValue& args = List({})) {
    const EncodableValue reply = Call(method, args);
    const auto* list = std::get_if<EncodableList>(&reply);
    if (list == nullptr || list->size() != 3) return "";
    EXPECT_EQ((*list)[1], EncodableValue("")) << "empty message";
    EXPECT_TRUE((*list)[2].IsNull()) << "null details";
    return std::get<std::string>((*list)[0]);
  }

  // Pumps the platform thread until `count` events arrived or `timeout_ms` passed.
  const std::vector<std::string>& WaitForEvents(size_t count, uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (events_.size() < count && std::chrono::steady_clock::now() < deadline) {
      FlutterHeadlessEngineRunLoop(engine_, 100);
    }
    return events_;
  }
  const std::vector<std::string>& events() const { return events_; }
  bool events_on_platform_thread() const { return events_on_platform_thread_; }

 private:
  static void OnEvent(FlutterHeadlessEngineRef engine, const char*, const uint8_t* message,
                      size_t size, uint64_t response_id, void* user) {
    auto* self = static_cast<Dart*>(user);
    if (::GetCurrentThreadId() != self->platform_thread_) self->events_on_platform_thread_ = false;
    auto decoded = PigeonCodec().DecodeMessage(message, size);
    if (decoded) {
      const auto& list = std::get<EncodableList>(*decoded);
      self->events_.push_back(Custom<TovraNativeEvent>(list.at(0)).type);
    }
    const Bytes ok = Encode(List({}));
    FlutterHeadlessEngineRespondToPlugin(engine, response_id, ok.data(), ok.size());
  }

  FlutterHeadlessEngineRef engine_ = nullptr;
  DWORD platform_thread_ = ::GetCurrentThreadId();
  std::vector<std::string> events_;
  bool events_on_platform_thread_ = true;
};

uint32_t Session() {
  return tovra::common::GetProcessSessionId();
}
std::wstring AgentPipe() {
  return *tovra::common::FormatPipeName(tovra::common::kAgentPipeRole, Session());
}

class PluginE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tovra::testing::TestEnv(L"TOVRA_PLUGIN_DLL").empty());
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
    ::SetEnvironmentVariableW(L"ZERKA_AGENT_IDLE_SECONDS", L"30");
    plugin_log_offset_ = tovra::testing::FileSize(tovra::testing::ZerkaLogPath(L"plugin"));
  }
  void TearDown() override { tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe"); }
  void StartService() {
    ASSERT_TRUE(service_.Start(tovra::testing::TestEnv(L"TOVRA_SERVICE_EXE"), L"--console"));
    ASSERT_TRUE(tovra::testing::WaitForRolePipe(tovra::common::kServicePipeRole, 30000))
        << "the Service never listened";
  }
  std::string PluginLog() {
    return tovra::testing::ReadFileFrom(tovra::testing::ZerkaLogPath(L"plugin"),
                                        plugin_log_offset_);
  }

  ChildProcess service_;
  uint64_t plugin_log_offset_ = 0;
};

TEST_F(PluginE2E, EveryHostMethodThroughTheRealAgentAndService) {
  StartService();
  Dart dart(true);
  ASSERT_TRUE(dart.ok());
  ASSERT_FALSE(tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe"));

  const auto agent = Custom<TovraAgentHealth>(dart.Value("getAgentHealth"));
  EXPECT_TRUE(tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe")) << "started on demand";
  EXPECT_NE(PluginLog().find("launched ZerkaVPNAgent.exe detached"), std::string::npos);
  EXPECT_EQ(agent.state, TovraComponentState::up);
  EXPECT_EQ(agent.version.capabilities.size(), 5u);
  EXPECT_EQ(agent.session_id, Session());
  EXPECT_TRUE(agent.service_connected);

  EXPECT_EQ(dart.Value("isAvailable"), EncodableValue(true));
  const auto health = Custom<TovraNativeHealth>(dart.Value("getHealth"));
  EXPECT_TRUE(health.agent_connected && health.service_connected);
  EXPECT_EQ(health.last_error, TovraNativeErrorKind::none);
  EXPECT_EQ(health.version, "0.1.0-w6a");

  const auto service = Custom<TovraServiceHealth>(dart.Value("getServiceHealth"));
  EXPECT_EQ(service.state, TovraComponentState::up);
  EXPECT_EQ(service.generation.rfind(std::to_string(service_.pid()) + "-0x", 0), 0u);
  EXPECT_EQ(service.version.capabilities.size(), 5u);

  EXPECT_TRUE(dart.Value("startEvents").IsNull());

  // The WireGuard requests reach the Service's tunnel manager through the Agent: a
  // configuration without a key is rejected inside the record, and no tunnel is up.
  const auto rejected = Custom<TovraWireGuardStatus>(
      dart.Value("startWireGuard", List({EncodableValue("[Interface]\n")})));
  EXPECT_EQ(rejected.state, TovraComponentState::down);
  EXPECT_EQ(rejected.error, 1);
  EXPECT_EQ(Custom<TovraWireGuardStatus>(dart.Value("stopWireGuard")).state,
            TovraComponentState::down);
  EXPECT_EQ(Custom<TovraWireGuardStatus>(dart.Value("wireGuardStatus")).state,
            TovraComponentState::down);
  // The OpenVPN requests are the Agent's own: a profile the validator refuses is
  // answered in the record and starts nothing; a stop gives a fresh attempt id.
  static_cast<void>(Custom<TovraOpenVpnCapabilities>(dart.Value("getOpenVpnCapabilities")));
  const auto refused = Custom<TovraOpenVpnStatus>(
      dart.Value("startOpenVpn",
                 List({EncodableValue("client\n"), EncodableValue("u"), EncodableValue("p")})));
  EXPECT_EQ(static_cast<int>(refused.error_kind), 1);
  EXPECT_FALSE(refused.active);
  const auto stopped = Custom<TovraOpenVpnStatus>(dart.Value("stopOpenVpn"));
  EXPECT_EQ(stopped.attempt_id, 1);
  EXPECT_EQ(static_cast<int>(stopped.error_kind), 0);
  EXPECT_EQ(Custom<TovraOpenVpnStatus>(dart.Value("getOpenVpnStatus")).attempt_id, 1);

  // Argument checks happen before anything is sent.
  EXPECT_EQ(dart.Call("startWireGuard", List({EncodableValue()})),
            List({EncodableValue("config_arg unexpectedly null."), EncodableValue("Error"),
                  EncodableValue()}));
  EXPECT_EQ(FlutterHeadlessEngineOffThreadCallCount(dart.engine()), 0u);
}

TEST_F(PluginE2E, AgentMissingFromThePluginFolder) {
  Dart dart(false);
  ASSERT_TRUE(dart.ok());
  EXPECT_EQ(dart.ErrorCode("getAgentHealth"), "AGENT_UNAVAILABLE");
  EXPECT_EQ(dart.ErrorCode("getServiceHealth"), "SERVICE_UNAVAILABLE");
  const auto health = Custom<TovraNativeHealth>(dart.Value("getHealth"));
  EXPECT_FALSE(health.agent_connected);
  EXPECT_EQ(health.last_error, TovraNativeErrorKind::agentUnavailable);
  EXPECT_EQ(dart.Value("isAvailable"), EncodableValue(false));
  EXPECT_NE(PluginLog().find("ERR  ZerkaVPNAgent.exe not found next to the plugin DLL"),
            std::string::npos);
}

// Stand-in Agents on the session's Agent pipe.
FakePipeServer::Handler AgentAnswering(uint16_t protocol,
                                       std::function<std::optional<Bytes>(const Frame&)> other) {
  return [=](const Frame& f) -> std::optional<Bytes> {
    if (f.header.type == 1) {
      tovra::common::PayloadWriter w;
      w.WriteU16(0);
      tovra::common::HelloInfo info = tovra::common::MakeAgentHelloInfo();
      info.protocol = protocol;
      w.WriteHelloInfo(info);
      w.WriteString("1-0x00000001");
      w.WriteU32(Session());
      return w.Take();
    }
    return other(f);
  };
}

TEST_F(PluginE2E, HandshakeThenRequestIds) {
  FakePipeServer fake(AgentPipe(), AgentAnswering(6, [](const Frame&) -> std::optional<Bytes> {
                        tovra::common::PayloadWriter w;
                        w.WriteU16(0);
                        w.WriteWireGuardStatus({2, true, 0xFFFFFFFFFFFFFFFFull, 1, 2, 0});
                        return w.Take();
                      }));
  Dart dart(true);
  const auto wg = Custom<TovraWireGuardStatus>(dart.Value("wireGuardStatus"));
  EXPECT_EQ(wg.rx_bytes, INT64_MAX);
  EXPECT_EQ(wg.state, TovraComponentState::up);
  const auto frames = fake.received();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].header.type, 1);
  EXPECT_EQ(frames[0].header.request_id, 1u);
  EXPECT_EQ(frames[1].header.type, 7);
  EXPECT_EQ(frames[1].header.request_id, 2u);
  EXPECT_FALSE(tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe")) << "the pipe was there";
}

TEST_F(PluginE2E, ConversionsFromAStandInAgent) {
  FakePipeServer fake(AgentPipe(), AgentAnswering(6, [](const Frame& f) -> std::optional<Bytes> {
                        tovra::common::PayloadWriter w;
                        if (f.header.type == 11) {
                          w.WriteU16(0);
                          w.WriteOpenVpnStatus({13, true, 1, 2, 0xFFFFFFFFFFFFFFFFull, 17, 4});
                        } else if (f.header.type == 8) {
                          w.WriteU16(0);
                          w.WriteU8(3);
                          w.WriteString("2.6.14");
                          w.WriteU8(1);
                          w.WriteU8(2);
                          w.WriteU8(0);
                          w.WriteU8(0);
                        } else if (f.header.type == 10) {
                          w.WriteU16(7);  // busy: not retried
                        } else {
                          w.WriteU16(0);
                          w.WriteU8(1);  // a truncated record
                        }
                        return w.Take();
                      }));
  Dart dart(true);
  const auto status = Custom<TovraOpenVpnStatus>(dart.Value("getOpenVpnStatus"));
  EXPECT_EQ(status.state, TovraOpenVpnState::none);
  EXPECT_EQ(status.error_kind, TovraOpenVpnErrorKind::internal);
  EXPECT_EQ(status.connected_since_ms, INT64_MAX);
  const auto caps = Custom<TovraOpenVpnCapabilities>(dart.Value("getOpenVpnCapabilities"));
  EXPECT_EQ(caps.open_vpn_found, TovraTriState::unknown);
  EXPECT_EQ(caps.interactive_service_installed, TovraTriState::yes);
  EXPECT_EQ(caps.interactive_service_running, TovraTriState::no);
  const size_t before = fake.received().size();
  EXPECT_EQ(dart.ErrorCode("stopOpenVpn"), "AGENT_UNAVAILABLE");
  EXPECT_EQ(fake.received().size(), before + 1) << "a reply status is not retried";
  EXPECT_EQ(dart.ErrorCode("wireGuardStatus"), "INTERNAL") << "unreadable record";
}

TEST_F(PluginE2E, VersionMismatchFailsClosed) {
  FakePipeServer fake(AgentPipe(), AgentAnswering(5, [](const Frame&) { return Bytes{0, 0}; }));
  Dart dart(true);
  EXPECT_EQ(dart.ErrorCode("getAgentHealth"), "VERSION_MISMATCH");
  const auto health = Custom<TovraNativeHealth>(dart.Value("getHealth"));
  EXPECT_FALSE(health.agent_connected);
  EXPECT_EQ(health.last_error, TovraNativeErrorKind::versionMismatch);
  for (const auto& f : fake.received()) EXPECT_EQ(f.header.type, 1) << "only hellos";
  EXPECT_NE(PluginLog().find("WARN agent protocol mismatch -> fail closed"), std::string::npos);
}

TEST_F(PluginE2E, SquattedAgentPipeGetsNothing) {
  FakePipeServer squatter(AgentPipe(),
                          AgentAnswering(6,
                                         [](const Frame&) {
                                           return Bytes{0, 0};
                                         }),
                          std::wstring(L"S-1-5-21-1004336348-1177238915-682003330-1999"));
  Dart dart(true);
  EXPECT_EQ(dart.ErrorCode("startOpenVpn", List({EncodableValue("client\n"), EncodableValue("user"),
                                                 EncodableValue("secret")})),
            "INTERNAL");
  EXPECT_EQ(dart.ErrorCode("startWireGuard", List({EncodableValue("[Interface]\nPrivateKey=x\n")})),
            "INTERNAL");
  // No wait needed: every send is a request the plugin waits the answer of, and
  // the stand-in records a frame before answering it, so a frame sent before
  // these replies is already recorded.
  EXPECT_TRUE(squatter.received().empty()) << "not a byte reached the squatter";
  EXPECT_NE(PluginLog().find("WARN agent pipe owner not trusted -> fail closed"),
            std::string::npos);
  EXPECT_FALSE(tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe"));
}

TEST_F(PluginE2E, EventsFollowTheAgent) {
  StartService();
  Dart dart(true);
  ASSERT_TRUE(dart.Value("startEvents").IsNull());
  ASSERT_TRUE(dart.Value("startEvents").IsNull()) << "idempotent";
  const auto& first = dart.WaitForEvents(2, 30000);
  ASSERT_EQ(first, (std::vector<std::string>{"agentConnected", "serviceConnected"}));
  EXPECT_TRUE(dart.events_on_platform_thread());

  // One window only, whatever the number of startEvents calls.
  int windows = 0;
  for (HWND w = nullptr;
       (w = ::FindWindowExW(HWND_MESSAGE, w, L"TovraWindowsVpnEventPump", nullptr));)
    ++windows;
  EXPECT_EQ(windows, 1);

  tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
  const auto& all = dart.WaitForEvents(7, 60000);
  EXPECT_EQ(all,
            (std::vector<std::string>{"agentConnected", "serviceConnected", "agentDisconnected",
                                      "serviceDisconnected", "agentConnected", "serviceConnected",
                                      "serviceGenerationChanged"}));
  EXPECT_TRUE(dart.events_on_platform_thread());
  EXPECT_NE(PluginLog().find("INFO agent generation changed"), std::string::npos);

  // Destroying the plugin while the poller sleeps ends it promptly.
  dart.WaitForEvents(100, 500);
  const auto start = std::chrono::steady_clock::now();
  dart.Destroy();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(2));
}

TEST_F(PluginE2E, DestroyedWhileWorkersAreInFlight) {
  constexpr int kRequests = 4;
  std::atomic<int> answered{0};
  FakePipeServer slow(AgentPipe(),
                      AgentAnswering(6, [&answered](const Frame&) -> std::optional<Bytes> {
                        // Slow on purpose: the requests must still be in flight
                        // when the engine goes.
                        ::Sleep(400);
                        tovra::common::PayloadWriter w;
                        w.WriteU16(0);
                        w.WriteWireGuardStatus({});
                        ++answered;
                        return w.Take();
                      }));
  {
    Dart dart(true);
    ASSERT_TRUE(dart.ok());
    const Bytes message = Encode(List({}));
    const std::string channel = std::string(kHostChannelPrefix) + "wireGuardStatus";
    for (int i = 0; i < kRequests; ++i) {
      ASSERT_TRUE(FlutterHeadlessEngineSendToPlugin(dart.engine(), channel.c_str(), message.data(),
                                                    message.size(), nullptr, nullptr));
    }
    // The handlers run on the platform thread, which runs while the loop is pumped.
    ASSERT_TRUE(tovra::testing::WaitUntil(
        [&] {
          FlutterHeadlessEngineRunLoop(dart.engine(), 20);
          return slow.received().size() >= 2;
        },
        std::chrono::seconds(30)))
        << "the workers reached the stand-in";
    EXPECT_LT(answered.load(), kRequests) << "still in flight when the engine goes";
  }  // engine and plugin destroyed with requests in flight

  // The workers share the client, which closes its pipe only when the last of them
  // has answered into the dead engine and let go of it.
  ASSERT_TRUE(tovra::testing::WaitUntil([&] { return slow.disconnections() >= 1; },
                                        std::chrono::seconds(30)))
      << "a worker never finished";
  // A call the engine had not yet handed to a worker when it went is answered
  // INTERNAL without being sent; every call that was sent is sent once.
  const auto frames = slow.received();
  ASSERT_GE(frames.size(), 2u);
  ASSERT_LE(frames.size(), 1u + kRequests) << "one hello, then each request at most once";
  EXPECT_EQ(static_cast<size_t>(answered.load()), frames.size() - 1);
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i].header.type, 7) << i;
  EXPECT_EQ(slow.connections(), 1) << "one client for every worker";
}

}  // namespace
}  // namespace tovra_windows_vpn

namespace tovra_windows_vpn {
namespace {

// Run in its own process (its own ctest entry): the job cannot be left again.
TEST_F(PluginE2E, InJob_AgentStartsInsideAJobThatForbidsBreakaway) {
  StartService();
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);  // no JOB_OBJECT_LIMIT_BREAKAWAY_OK
  ASSERT_NE(job, nullptr);
  ASSERT_TRUE(::AssignProcessToJobObject(job, ::GetCurrentProcess()));
  Dart dart(true);
  const auto agent = Custom<TovraAgentHealth>(dart.Value("getAgentHealth"));
  EXPECT_TRUE(agent.service_connected);
  const std::string log = PluginLog();
  EXPECT_NE(log.find("launched ZerkaVPNAgent.exe detached"), std::string::npos);
  EXPECT_EQ(log.find("CreateProcess(agent) failed"), std::string::npos)
      << "the start without breakaway is the fallback, not a failure";
  // Started with breakaway the Agent would be outside the job; inside it, it was
  // the fallback start that ran.
  const std::vector<uint32_t> agents = tovra::testing::ProcessIdsNamed(L"ZerkaVPNAgent.exe");
  ASSERT_EQ(agents.size(), 1u);
  tovra::common::UniqueHandle agent_process(
      ::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, agents[0]));
  ASSERT_TRUE(agent_process);
  BOOL agent_in_job = FALSE;
  ASSERT_TRUE(::IsProcessInJob(agent_process.get(), job, &agent_in_job)) << ::GetLastError();
  EXPECT_TRUE(agent_in_job) << "the Agent was started inside the job";
}

}  // namespace
}  // namespace tovra_windows_vpn
