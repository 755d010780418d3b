// The Agent's host run in this process on the session's real Agent pipe, with an
// extension handler as the OpenVPN requests will register it and no Service: what
// becomes of a secret payload once answered, and of a stop while a client keeps
// its link open.
#include "agent/agent_host_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_names.h"
#include "common/security/caller_identity_win.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::agent {
namespace {

using common::Bytes;
using common::Frame;
using common::Status;

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// Polls `done` until it holds, for at most `ms`.
template <typename Condition>
bool Within(uint32_t ms, Condition done) {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  while (!done() && ::GetTickCount64() < deadline) ::Sleep(10);
  return done();
}

class InProcessAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<AgentHost>([] {
      PipeConnectResult none;
      none.error = common::ToWire(Status::unavailable);
      return none;
    });
    host_->extensions().handlers[common::ToWire(common::MessageType::start_openvpn)] =
        [this](std::span<uint8_t> payload) {
          received_ = payload;
          ++handled_;
          return common::StatusOnlyPayload(Status::ok);
        };
    run_ = std::thread([this] {
      result_ = host_->Run();
      finished_ = true;
    });
    common::ConnectOptions options;
    options.attempts = 100;
    options.busy_wait_ms = 100;
    options.on_absent = [] {  // until Run has created its pipe
      ::Sleep(50);
      return true;
    };
    common::ConnectResult c =
        common::ConnectToServer(common::kAgentPipeRole, common::GetProcessSessionId(), options);
    ASSERT_EQ(c.error, Status::ok);
    client_ = std::move(c.pipe);
  }
  void TearDown() override {
    host_->RequestStop();
    client_.reset();
    if (run_.joinable()) run_.join();
  }

  std::optional<Frame> Ask(uint16_t type, const Bytes& payload = {}) {
    return common::ExchangeRequest(client_.get(), type, ++request_id_, payload, 5000);
  }

  tovra::testing::StderrCapture log_;
  std::unique_ptr<AgentHost> host_;
  std::thread run_;
  std::atomic<bool> finished_ = false;
  int result_ = -1;
  common::UniqueHandle client_;
  uint32_t request_id_ = 0;
  std::span<uint8_t> received_;
  std::atomic<int> handled_ = 0;
};

TEST_F(InProcessAgent, StartOpenVpnPayloadIsZeroOnceAnswered) {
  const Bytes profile_and_password(900, 0x33);
  std::optional<Frame> reply =
      Ask(common::ToWire(common::MessageType::start_openvpn), profile_and_password);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, (Bytes{0, 0}));
  ASSERT_EQ(received_.size(), profile_and_password.size());
  // The buffer lives while the Agent waits for our next request; the wipe follows
  // the reply.
  EXPECT_TRUE(Within(5000, [&] { return AllZero(received_); }));
}

TEST_F(InProcessAgent, StopEndsTheSessionOfAClientThatKeepsItsLinkOpen) {
  ASSERT_TRUE(Ask(common::ToWire(common::MessageType::hello)));
  ASSERT_TRUE(Ask(common::ToWire(common::MessageType::get_agent_health)));
  host_->RequestStop();
  // Without the stop the session would last until 15 s of silence.
  EXPECT_TRUE(Within(5000, [&] { return finished_.load(); }));
  // Sent after the stop: never served.
  EXPECT_FALSE(Ask(common::ToWire(common::MessageType::start_openvpn), Bytes(10, 1)));
  EXPECT_EQ(handled_.load(), 0);
  run_.join();
  EXPECT_EQ(result_, 0);
  const std::string text = log_.Text();
  EXPECT_NE(text.find("INFO plugin client disconnected"), std::string::npos) << text;
  const std::string last = "INFO agent stopped\r\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
}

}  // namespace
}  // namespace tovra::agent
