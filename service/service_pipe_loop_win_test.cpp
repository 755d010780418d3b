#include "service/service_pipe_loop_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "common/security/caller_identity_win.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "common/ipc/pipe_server_win.h"
#include "service/service_host_win.h"
#include "service/service_rules.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::service {
namespace {

using common::Bytes;
using common::Frame;
using common::PayloadReader;
using common::Status;

uint16_t StatusOf(const Frame& f) {
  PayloadReader r(f.payload);
  uint16_t status = 0xFFFF;
  r.ReadU16(status);
  return status;
}

TEST(ServiceStateCreation, ExtensionPointsRunAroundTheGenerationValues) {
  std::vector<std::string> seen;
  ServiceExtensions ext;
  ext.early_startup.push_back([&](ServiceState& s) {
    seen.push_back("early:" + std::to_string(s.generation_id.size()) + ":" +
                   (s.stop_event ? "event" : "none"));
  });
  ext.late_startup.push_back([&](ServiceState& s) {
    seen.push_back(std::string("late:") + (s.generation_id.empty() ? "empty" : "set") + ":" +
                   (s.stop_event ? "event" : "none"));
  });
  ext.late_startup.push_back([&](ServiceState&) { seen.push_back("late2"); });
  std::unique_ptr<ServiceState> state = CreateServiceState(true, std::move(ext));
  ASSERT_TRUE(state);
  EXPECT_EQ(seen, (std::vector<std::string>{"early:0:none", "late:set:event", "late2"}));
  EXPECT_TRUE(state->console_mode);
  EXPECT_NE(state->generation_number, 0u);
  EXPECT_EQ(state->generation_id.rfind(std::to_string(::GetCurrentProcessId()) + "-0x", 0), 0u);
  EXPECT_FALSE(state->StopRequested());
  EXPECT_EQ(::WaitForSingleObject(state->stop_event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  state->RequestStop();
  EXPECT_TRUE(state->StopRequested());
  EXPECT_EQ(::WaitForSingleObject(state->stop_event.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(CurrentState, HandlersSeeTheStateOnlyWhilePublished) {
  std::unique_ptr<ServiceState> state = CreateServiceState(true, {});
  int calls = 0;
  EXPECT_FALSE(CurrentServiceState::With([&](ServiceState&) { ++calls; }));
  CurrentServiceState::Publish(state.get());
  EXPECT_TRUE(CurrentServiceState::With([&](ServiceState& s) {
    ++calls;
    s.RequestStop();
  }));
  CurrentServiceState::Clear();
  EXPECT_FALSE(CurrentServiceState::With([&](ServiceState&) { ++calls; }));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(state->StopRequested());
}

// ServeClient on one end of a private pipe, a client on the other.
class ServedClient : public ::testing::Test {
 protected:
  void SetUp() override { Serve(Extensions()); }

  virtual ServiceExtensions Extensions() {
    ServiceExtensions ext;
    ext.handlers[7] = [this](ServiceState&, const common::CallerIdentity& id,
                             std::span<const uint8_t> payload) {
      handler_payload_.assign(payload.begin(), payload.end());
      handler_caller_pid_ = id.pid;
      common::PayloadWriter w;
      w.WriteU16(0);
      w.WriteU32(0xFEEDBEEF);
      return w.Take();
    };
    return ext;
  }

  void Serve(ServiceExtensions ext) {
    state_ = CreateServiceState(true, std::move(ext));
    ASSERT_TRUE(state_);
    const std::wstring role = L"ServeTest" + std::to_wstring(::GetCurrentProcessId());
    const std::vector<std::wstring> sids = {common::GetProcessUserSid().sid.value_or(L"")};
    security_ = std::move(*common::BuildPipeSecurity(sids).security);
    created_ = common::CreateServerPipe(*common::FormatPipeName(role, 1), security_, true, 1);
    ASSERT_TRUE(created_.pipe);
    common::ConnectOptions options;
    options.attempts = 1;
    client_ = common::ConnectToServer(role, 1, options);
    ASSERT_EQ(client_.error, Status::ok);
    ASSERT_EQ(common::AcceptClient(created_.pipe.get(), nullptr, 1000),
              common::AcceptResult::connected);
    server_ = std::thread([this] {
      ServeClient(*state_, created_.pipe.get());
      common::FinishClient(created_.pipe.get(), kClientIoTimeoutMs);
      served_ = true;
    });
  }

  // Polls until the session has ended, for at most `ms`.
  bool SessionEndsWithin(uint32_t ms) {
    const ULONGLONG deadline = ::GetTickCount64() + ms;
    while (!served_ && ::GetTickCount64() < deadline) ::Sleep(20);
    return served_;
  }

  void TearDown() override {
    client_.pipe.reset();
    if (server_.joinable()) server_.join();
  }
  std::optional<Frame> Ask(uint16_t type, const Bytes& payload = {}) {
    return common::ExchangeRequest(client_.pipe.get(), type, ++request_id_, payload, 5000);
  }

  std::unique_ptr<ServiceState> state_;
  common::PipeSecurity security_;
  common::CreatePipeResult created_;
  common::ConnectResult client_;
  std::thread server_;
  std::atomic<bool> served_ = false;
  uint32_t request_id_ = 100;
  Bytes handler_payload_;
  uint32_t handler_caller_pid_ = 0;
};

TEST_F(ServedClient, HandlerTableAnswersItsTypesAndOthersAreUnsupported) {
  tovra::testing::StderrCapture log;
  const Bytes payload = {1, 2, 3};
  std::optional<Frame> reply = Ask(7, payload);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header.type, 7);
  EXPECT_EQ(reply->header.generation, state_->generation_number);
  EXPECT_EQ(reply->payload, (Bytes{0, 0, 0xEF, 0xBE, 0xED, 0xFE}));
  EXPECT_EQ(handler_payload_, payload);
  EXPECT_EQ(handler_caller_pid_, ::GetCurrentProcessId());

  for (uint16_t type : std::initializer_list<uint16_t>{4, 5, 6, 8, 9, 10, 11, 12, 13, 14}) {
    reply = Ask(type);
    ASSERT_TRUE(reply) << type;
    EXPECT_EQ(StatusOf(*reply), ToWire(Status::unsupported)) << type;
    EXPECT_EQ(reply->payload.size(), 2u);
  }
  reply = Ask(2);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, (Bytes{0, 0}));
  client_.pipe.reset();
  server_.join();
  const std::string text = log.Text();
  EXPECT_EQ(tovra::testing::CountOccurrences(
                text, "INFO caller_accepted pid=" + std::to_string(::GetCurrentProcessId()) +
                          " session="),
            1u);
}

TEST_F(ServedClient, ClientLeavingEndsTheSession) {
  ASSERT_TRUE(Ask(1));
  client_.pipe.reset();
  server_.join();
  EXPECT_TRUE(served_);
}

// Handlers that keep a view of the very buffer they were given.
class SecretRequests : public ServedClient {
 protected:
  ServiceExtensions Extensions() override {
    ServiceExtensions ext;
    for (uint16_t type : {uint16_t{5}, uint16_t{9}, uint16_t{12}}) {
      ext.handlers[type] = [this, type](ServiceState&, const common::CallerIdentity&,
                                        std::span<uint8_t> payload) {
        received_[type] = payload;
        return common::StatusOnlyPayload(Status::ok);
      };
    }
    return ext;
  }

  static bool AllZero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
  }

  std::map<uint16_t, std::span<uint8_t>> received_;
};

TEST_F(SecretRequests, EachSecretBearingPayloadIsZeroOnceAnswered) {
  for (uint16_t type : {uint16_t{5}, uint16_t{9}, uint16_t{12}}) {
    const Bytes secret(700, 0x5A);
    std::optional<Frame> reply = Ask(type, secret);
    ASSERT_TRUE(reply) << type;
    EXPECT_EQ(reply->payload, (Bytes{0, 0})) << type;
    // The buffer stays alive while the loop waits for our next request; the wipe
    // follows the reply, so wait for it.
    const std::span<uint8_t> seen = received_[type];
    ASSERT_EQ(seen.size(), secret.size()) << type;
    const ULONGLONG deadline = ::GetTickCount64() + 5000;
    while (!AllZero(seen) && ::GetTickCount64() < deadline) ::Sleep(10);
    EXPECT_TRUE(AllZero(seen)) << "payload of type " << type << " not wiped";
  }
}

TEST_F(ServedClient, StopEndsTheSessionOfAClientThatKeepsItsLinkOpen) {
  ASSERT_TRUE(Ask(1));
  state_->RequestStop();
  // Without the stop the session would last until 15 s of silence.
  EXPECT_TRUE(SessionEndsWithin(5000));
  EXPECT_FALSE(Ask(2));
}

// Once the SCM has asked for a stop no request is served, even before the loop
// has left and run the stop actions.
class StopWhileServing : public ServedClient {
 protected:
  ServiceExtensions Extensions() override {
    ServiceExtensions ext = ServedClient::Extensions();
    ext.handlers[7] = [this](ServiceState&, const common::CallerIdentity&, std::span<uint8_t>) {
      ++handled_;
      return common::StatusOnlyPayload(Status::ok);
    };
    return ext;
  }
  std::atomic<int> handled_ = 0;
};

TEST_F(StopWhileServing, RequestArrivingAfterTheStopIsNotServed) {
  ASSERT_TRUE(Ask(7));
  ASSERT_EQ(handled_.load(), 1);
  CurrentServiceState::Publish(state_.get());
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  CurrentServiceState::Clear();
  EXPECT_FALSE(Ask(7).has_value());
  EXPECT_EQ(handled_.load(), 1);
  EXPECT_TRUE(state_->stop_actions_due.load());
  EXPECT_TRUE(SessionEndsWithin(5000));
}

TEST(PipeLoop, RunsLoopActionsIdlePassesAndStopsCleanly) {
  std::atomic<int> loop_start = 0, idle = 0, loop_end = 0;
  ServiceExtensions ext;
  ext.loop_start.push_back([&](ServiceState&) { ++loop_start; });
  ext.idle_pass.push_back([&](ServiceState&) { ++idle; });
  ext.loop_end.push_back([&](ServiceState&) { ++loop_end; });
  std::atomic<int> stop_actions = 0;  // only an SCM stop makes them due
  ext.stop_request.push_back([&](ServiceState&) { ++stop_actions; });
  std::unique_ptr<ServiceState> state = CreateServiceState(true, std::move(ext));
  ASSERT_TRUE(state);
  tovra::testing::StderrCapture log;
  int result = -1;
  std::thread loop([&] { result = RunPipeServer(*state); });
  struct StopOnExit {
    ServiceState& s;
    std::thread& t;
    ~StopOnExit() {
      s.RequestStop();
      if (t.joinable()) t.join();
    }
  } stop_on_exit{*state, loop};

  // A client is served on the Service's own pipe in the meantime.
  common::ConnectOptions options;
  options.attempts = 1;
  common::ConnectResult client;
  client.error = Status::unavailable;
  for (int i = 0; i < 100 && client.error != Status::ok; ++i) {
    client =
        common::ConnectToServer(common::kServicePipeRole, common::GetProcessSessionId(), options);
    if (client.error != Status::ok) ::Sleep(100);
  }
  ASSERT_EQ(client.error, Status::ok);
  std::optional<Frame> hello = common::ExchangeRequest(client.pipe.get(), 1, 1, {}, 5000);
  ASSERT_TRUE(hello) << log.Text();
  EXPECT_EQ(hello->header.generation, state->generation_number);
  client.pipe.reset();

  for (int i = 0; i < 300 && idle.load() == 0; ++i) ::Sleep(100);  // one 5 s accept wait
  EXPECT_GE(idle.load(), 1);
  state->RequestStop();
  loop.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(loop_start.load(), 1);
  EXPECT_EQ(loop_end.load(), 1);
  EXPECT_EQ(stop_actions.load(), 0);

  std::string text = log.Text();
  const std::string last = "INFO service stopped cleanly\r\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_NE(text.find("INFO service starting generation=" + state->generation_id + " gen_num=0x"),
            std::string::npos);
}

}  // namespace
}  // namespace tovra::service
