// The host-method workers of the real plugin DLL, loaded through the headless
// embedding, against stand-in Agents: a stalled request does not hold up the
// plugin's destruction, concurrent calls each get one reply from a few reused
// threads, and an oversized startOpenVpn never reaches the Agent.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <flutter_headless.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_names.h"
#include "common/security/caller_identity_win.h"
#include "plugin/pigeon_api.h"
#include "tests/fakes/fake_pipe_server_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/plugin_loader_win.h"

namespace tovra_windows_vpn::workers_e2e {
namespace {

namespace fs = std::filesystem;
using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using tovra::common::Bytes;
using tovra::common::Frame;
using tovra::common::PayloadWriter;
using tovra::testing::FakePipeServer;
using Clock = std::chrono::steady_clock;

using RegisterFn = tovra::testing::PluginRegisterFn;

// An app folder without an Agent: the tests' stand-ins serve the Agent pipe.
RegisterFn LoadPlugin() {
  return tovra::testing::LoadPluginFromAppFolder(L"tovra-plugin-workers", false);
}

Bytes Encode(const EncodableValue& v) {
  return *PigeonCodec().EncodeMessage(v);
}

EncodableValue Strings(std::initializer_list<std::string> items) {
  EncodableList list;
  for (const auto& s : items) list.emplace_back(s);
  return EncodableValue(list);
}

uint32_t Session() {
  return tovra::common::GetProcessSessionId();
}
std::wstring AgentPipe() {
  return *tovra::common::FormatPipeName(tovra::common::kAgentPipeRole, Session());
}

// Replies seen for one call (written on the platform thread only).
struct Slot {
  int replies = 0;
  bool value = false;  // a one-element success list
  std::string error_code;
};

void Record(const uint8_t* data, size_t size, void* user) {
  auto* slot = static_cast<Slot*>(user);
  ++slot->replies;
  if (data == nullptr) return;
  auto decoded = PigeonCodec().DecodeMessage(data, size);
  const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
  if (list == nullptr) return;
  slot->value = list->size() == 1;
  if (list->size() == 3) {
    if (const auto* code = std::get_if<std::string>(&(*list)[0])) slot->error_code = *code;
  }
}

// One engine with the plugin registered; plays Dart.
class Dart {
 public:
  Dart() : engine_(FlutterHeadlessEngineCreate()) {
    RegisterFn reg = LoadPlugin();
    if (engine_ && reg) reg(FlutterHeadlessEngineGetRegistrar(engine_, "tovra_windows_vpn"));
    ok_ = engine_ && reg;
  }
  ~Dart() { Destroy(); }
  void Destroy() {
    if (engine_) FlutterHeadlessEngineDestroy(engine_);
    engine_ = nullptr;
  }
  bool ok() const { return ok_; }

  void Send(const std::string& method, const EncodableValue& args, Slot* slot) {
    const Bytes message = Encode(args);
    const std::string channel = std::string(kHostChannelPrefix) + method;
    ASSERT_TRUE(FlutterHeadlessEngineSendToPlugin(engine_, channel.c_str(), message.data(),
                                                  message.size(), &Record, slot));
  }
  Slot Call(const std::string& method, const EncodableValue& args = Strings({})) {
    Slot slot;
    Send(method, args, &slot);
    PumpUntil([&] { return slot.replies > 0; }, std::chrono::seconds(60));
    return slot;
  }
  // Pumps the platform thread until `done` or the deadline; returns `done()`.
  bool PumpUntil(const std::function<bool()>& done, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline) FlutterHeadlessEngineRunLoop(engine_, 20);
    return done();
  }

 private:
  FlutterHeadlessEngineRef engine_ = nullptr;
  bool ok_ = false;
};

// A stand-in Agent: hello with protocol 6, then `other`.
FakePipeServer::Handler Agent(std::function<std::optional<Bytes>(const Frame&)> other) {
  return [other](const Frame& f) -> std::optional<Bytes> {
    if (f.header.type != 1) return other(f);
    PayloadWriter w;
    w.WriteU16(0);
    w.WriteHelloInfo(tovra::common::MakeAgentHelloInfo());
    w.WriteString("1-0x00000001");
    w.WriteU32(Session());
    return w.Take();
  };
}

// Replies for the request types the tests send.
Bytes RecordFor(const Frame& f) {
  PayloadWriter w;
  w.WriteU16(0);
  switch (f.header.type) {
    case 4: {
      tovra::common::AgentHealthRecord r;
      r.hello_info = tovra::common::MakeAgentHelloInfo();
      r.session_id = Session();
      r.generation_id = "1-0x00000001";
      r.service_connected = true;
      w.WriteAgentHealth(r);
      break;
    }
    case 5:
    case 7:
      w.WriteWireGuardStatus({2, true, 1, 2, 3, 0});
      break;
    default:
      w.WriteOpenVpnStatus({10, true, 1, 2, 3, 0, 7});
      break;
  }
  return w.Take();
}

size_t FramesOfType(FakePipeServer& fake, uint16_t type) {
  size_t n = 0;
  for (const auto& f : fake.received()) n += f.header.type == type ? 1 : 0;
  return n;
}

size_t ThreadsOfThisProcess() {
  tovra::common::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  size_t n = 0;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
       more = ::Thread32Next(snapshot.get(), &entry)) {
    n += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
  }
  return n;
}

// A manual-reset event the stand-in's handler waits on.
struct Gate {
  tovra::common::UniqueHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  void Wait() const { ::WaitForSingleObject(event.get(), 60000); }
  void Open() const { ::SetEvent(event.get()); }
};

class PluginWorkers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tovra::testing::TestEnv(L"TOVRA_PLUGIN_DLL").empty());
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
  }
};

TEST_F(PluginWorkers, DestructionDoesNotWaitForAStalledRequestNorForThePoller) {
  Gate gate;
  FakePipeServer fake(AgentPipe(), Agent([&](const Frame& f) -> std::optional<Bytes> {
                        if (f.header.type == 5) gate.Wait();  // a tunnel start that hangs
                        return RecordFor(f);
                      }));
  auto dart = std::make_unique<Dart>();
  ASSERT_TRUE(dart->ok());
  Slot start;
  dart->Send("startWireGuard", Strings({"[Interface]\nPrivateKey = x\n"}), &start);
  ASSERT_TRUE(
      dart->PumpUntil([&] { return FramesOfType(fake, 5) == 1; }, std::chrono::seconds(30)));
  // The poller's first probe now waits behind the stalled request.
  ASSERT_TRUE(dart->Call("startEvents").value);

  const auto begin = Clock::now();
  dart.reset();
  const auto took = Clock::now() - begin;
  EXPECT_LT(took, std::chrono::seconds(3))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";

  // The stalled request ends; the worker and the poller finish against the client
  // they share and let go of it, after which the stand-in serves a new client.
  gate.Open();
  tovra::common::UniqueHandle pipe = tovra::testing::OpenPipeClient(AgentPipe());
  ASSERT_TRUE(pipe);
  EXPECT_TRUE(tovra::common::ExchangeRequest(pipe.get(), 1, 1, {}, 30000))
      << "the plugin's connection was never released";
  EXPECT_EQ(start.replies, 0) << "a reply reached the destroyed engine";
}

TEST_F(PluginWorkers, ConcurrentCallsEachGetOneReplyFromAFewThreads) {
  Gate gate;
  std::atomic<bool> gated{false};
  FakePipeServer fake(AgentPipe(), Agent([&](const Frame& f) -> std::optional<Bytes> {
                        if (gated.exchange(false)) gate.Wait();
                        return RecordFor(f);
                      }));
  Dart dart;
  ASSERT_TRUE(dart.ok());
  ASSERT_TRUE(dart.Call("wireGuardStatus").value);  // connected, one worker started
  const size_t threads_before = ThreadsOfThisProcess();
  ASSERT_GT(threads_before, 0u);

  const char* methods[] = {"wireGuardStatus", "getOpenVpnStatus", "getAgentHealth",
                           "isAvailable",     "stopOpenVpn",      "getHealth"};
  constexpr size_t kCalls = 48;
  std::vector<Slot> slots(kCalls);
  gated = true;
  const size_t frames_before = fake.received().size();
  for (size_t i = 0; i < kCalls; ++i) dart.Send(methods[i % 6], Strings({}), &slots[i]);
  // Every call has been handed to the plugin once the first one holds the stand-in.
  ASSERT_TRUE(dart.PumpUntil([&] { return fake.received().size() > frames_before; },
                             std::chrono::seconds(30)));
  const size_t threads_in_flight = ThreadsOfThisProcess();
  gate.Open();

  auto all_replied = [&] {
    for (const auto& s : slots) {
      if (s.replies == 0) return false;
    }
    return true;
  };
  ASSERT_TRUE(dart.PumpUntil(all_replied, std::chrono::seconds(120)));
  for (size_t i = 0; i < kCalls; ++i) {
    EXPECT_EQ(slots[i].replies, 1) << i;
    EXPECT_TRUE(slots[i].value) << methods[i % 6] << ": " << slots[i].error_code;
  }
  EXPECT_LE(threads_in_flight, threads_before + 4)
      << kCalls << " calls in flight are served by a few reused threads";
}

struct Oversize {
  size_t profile, username, password;
  bool reaches_agent;
};

class OversizedStartOpenVpn : public PluginWorkers,
                              public ::testing::WithParamInterface<Oversize> {};

TEST_P(OversizedStartOpenVpn, RefusedAsInternalBeforeAnythingIsSent) {
  const Oversize c = GetParam();
  FakePipeServer fake(AgentPipe(), Agent(RecordFor));
  Dart dart;
  ASSERT_TRUE(dart.ok());
  const Slot slot =
      dart.Call("startOpenVpn", Strings({std::string(c.profile, 'p'), std::string(c.username, 'u'),
                                         std::string(c.password, 'w')}));
  ASSERT_EQ(slot.replies, 1);
  if (!c.reaches_agent) {
    EXPECT_EQ(slot.error_code, "INTERNAL");
    EXPECT_TRUE(fake.received().empty()) << "not even a hello";
    return;
  }
  EXPECT_TRUE(slot.value) << slot.error_code;
  ASSERT_EQ(FramesOfType(fake, 9), 1u);
  EXPECT_EQ(fake.received().back().payload.size(), 6 + c.profile + c.username + c.password);
}

// Each text fits a wire text (32768 bytes); the payload limit is 61440 bytes.
INSTANTIATE_TEST_SUITE_P(PayloadLimit, OversizedStartOpenVpn,
                         ::testing::Values(Oversize{32768, 28666, 0, true},
                                           Oversize{32768, 28667, 0, false},
                                           Oversize{30000, 30000, 2000, false}));

}  // namespace
}  // namespace tovra_windows_vpn::workers_e2e
