// The plugin's view of the Service through the real Agent: the real plugin DLL
// (through our headless embedding), the real Agent it starts, and the real Service
// in console mode, which the tests stop and start again while the Agent stays up.
#include <gtest/gtest.h>

#include <windows.h>

#include <flutter_headless.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/security/caller_identity_win.h"
#include "common/ipc/pipe_names.h"
#include "plugin/pigeon_api.h"
#include "tests/support/child_process_win.h"
#include "tests/support/plugin_loader_win.h"

namespace tovra_windows_vpn::service_link_e2e {
namespace {

namespace fs = std::filesystem;
using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using tovra::common::Bytes;

using RegisterFn = tovra::testing::PluginRegisterFn;

RegisterFn LoadPlugin() {
  return tovra::testing::LoadPluginFromAppFolder(L"tovra-plugin-link", true);
}

// Plays Dart: calls host methods and collects the event types.
class Dart {
 public:
  Dart() {
    engine_ = FlutterHeadlessEngineCreate();
    RegisterFn reg = LoadPlugin();
    if (engine_ && reg) {
      reg(FlutterHeadlessEngineGetRegistrar(engine_, "tovra_windows_vpn"));
      FlutterHeadlessEngineSetDartHandler(engine_, kOnNativeEventChannel, &Dart::OnEvent, this);
      registered_ = true;
    }
  }
  ~Dart() {
    if (engine_) FlutterHeadlessEngineDestroy(engine_);
  }
  bool ok() const { return registered_; }

  // The value of a success reply (null when the call failed).
  EncodableValue Value(const std::string& method) {
    const Bytes message = *PigeonCodec().EncodeMessage(EncodableValue(EncodableList{}));
    uint8_t* reply = nullptr;
    size_t reply_size = 0;
    const std::string channel = std::string(kHostChannelPrefix) + method;
    if (!FlutterHeadlessEngineSendToPluginAndWait(engine_, channel.c_str(), message.data(),
                                                  message.size(), 90000, &reply, &reply_size)) {
      ADD_FAILURE() << method << ": no reply";
      return EncodableValue();
    }
    EncodableValue out;
    if (reply) {
      auto decoded = PigeonCodec().DecodeMessage(reply, reply_size);
      FlutterHeadlessFree(reply);
      const auto* list = decoded ? std::get_if<EncodableList>(&*decoded) : nullptr;
      if (list != nullptr && list->size() == 1) out = (*list)[0];
    }
    if (out.IsNull() && method != "startEvents") ADD_FAILURE() << method << ": not a success reply";
    return out;
  }

  TovraNativeHealth Health() {
    const EncodableValue v = Value("getHealth");
    const auto* custom = std::get_if<CustomEncodableValue>(&v);
    if (custom == nullptr) return {};
    return std::any_cast<TovraNativeHealth>(static_cast<const std::any&>(*custom));
  }

  // Runs the platform thread until `count` events arrived or `timeout_ms` passed.
  const std::vector<std::string>& WaitForEvents(size_t count, uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (events_.size() < count && std::chrono::steady_clock::now() < deadline) {
      FlutterHeadlessEngineRunLoop(engine_, 100);
    }
    return events_;
  }

 private:
  static void OnEvent(FlutterHeadlessEngineRef engine, const char*, const uint8_t* message,
                      size_t size, uint64_t response_id, void* user) {
    auto* self = static_cast<Dart*>(user);
    auto decoded = PigeonCodec().DecodeMessage(message, size);
    if (decoded) {
      const auto& list = std::get<EncodableList>(*decoded);
      const auto& custom = std::get<CustomEncodableValue>(list.at(0));
      self->events_.push_back(
          std::any_cast<TovraNativeEvent>(static_cast<const std::any&>(custom)).type);
    }
    const Bytes ok = *PigeonCodec().EncodeMessage(EncodableValue(EncodableList{}));
    FlutterHeadlessEngineRespondToPlugin(engine, response_id, ok.data(), ok.size());
  }

  FlutterHeadlessEngineRef engine_ = nullptr;
  bool registered_ = false;
  std::vector<std::string> events_;
};

using Events = std::vector<std::string>;

class PluginServiceLinkE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tovra::testing::TestEnv(L"TOVRA_PLUGIN_DLL").empty());
    tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe");
  }
  void TearDown() override { tovra::testing::KillProcessesNamed(L"ZerkaVPNAgent.exe"); }

  // Starts the Service in console mode and waits for its pipe.
  void StartService() {
    ASSERT_TRUE(service_.Start(tovra::testing::TestEnv(L"TOVRA_SERVICE_EXE"), L"--console"));
    const std::wstring pipe = *tovra::common::FormatPipeName(tovra::common::kServicePipeRole,
                                                             tovra::common::GetProcessSessionId());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!::WaitNamedPipeW(pipe.c_str(), 100)) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the Service pipe never appeared";
      ::WaitForSingleObject(service_.handle(), 50);  // returns at once if the Service died
      ASSERT_TRUE(service_.running()) << "the Service exited";
    }
  }

  tovra::testing::ChildProcess service_;
};

TEST_F(PluginServiceLinkE2E, ServiceLossAndReturnAreSeenWithinOneProbe) {
  StartService();
  Dart dart;
  ASSERT_TRUE(dart.ok());
  ASSERT_EQ(dart.Value("isAvailable"), EncodableValue(true));
  ASSERT_TRUE(dart.Value("startEvents").IsNull());
  ASSERT_EQ(dart.WaitForEvents(2, 30000), (Events{"agentConnected", "serviceConnected"}));

  // The Agent keeps its link to the Service open; nothing is relayed before the
  // question, so only a live exchange can tell.
  service_.Kill();
  EXPECT_EQ(dart.Value("isAvailable"), EncodableValue(false));
  const TovraNativeHealth down = dart.Health();
  EXPECT_TRUE(down.agent_connected);
  EXPECT_FALSE(down.service_connected);
  EXPECT_EQ(dart.WaitForEvents(3, 10000),
            (Events{"agentConnected", "serviceConnected", "serviceDisconnected"}));
  EXPECT_TRUE(tovra::testing::IsProcessRunning(L"ZerkaVPNAgent.exe")) << "the Agent stayed up";

  StartService();
  EXPECT_EQ(dart.WaitForEvents(4, 10000), (Events{"agentConnected", "serviceConnected",
                                                  "serviceDisconnected", "serviceConnected"}));
  EXPECT_EQ(dart.Value("isAvailable"), EncodableValue(true));
  EXPECT_TRUE(dart.Health().service_connected);
}

TEST_F(PluginServiceLinkE2E, AMinuteOfIdleWithTheServiceUpRaisesNoEvent) {
  StartService();
  Dart dart;
  ASSERT_TRUE(dart.ok());
  ASSERT_TRUE(dart.Value("startEvents").IsNull());
  ASSERT_EQ(dart.WaitForEvents(2, 30000), (Events{"agentConnected", "serviceConnected"}));
  // Longer than both servers' 15 s idle limits: a link dropped and taken up again
  // must not flicker.
  EXPECT_EQ(dart.WaitForEvents(3, 60000), (Events{"agentConnected", "serviceConnected"}));
  EXPECT_EQ(dart.Value("isAvailable"), EncodableValue(true));
}

}  // namespace
}  // namespace tovra_windows_vpn::service_link_e2e
