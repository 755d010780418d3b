#include "service/service_host_win.h"

#include <gtest/gtest.h>
#include <wtsapi32.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/service_state_win.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::service {
namespace {

using tovra::testing::CountOccurrences;
using tovra::testing::StderrCapture;

// Publishes a fresh state for one test and withdraws it afterwards.
class ControlHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    ServiceExtensions ext;
    ext.stop_request.push_back([this](ServiceState&) { stop_actions_ += 1; });
    state_ = CreateServiceState(false, std::move(ext));
    ASSERT_TRUE(state_);
    CurrentServiceState::Publish(state_.get());
  }
  void TearDown() override { CurrentServiceState::Clear(); }

  std::unique_ptr<ServiceState> state_;
  int stop_actions_ = 0;
};

// The dispatcher gets its answer at once: the stop actions are left to the loop.
TEST_F(ControlHandlers, StopAndShutdownCloseTheDoorAndLeaveTheActionsDue) {
  for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    state_->stop_requested = false;
    state_->stopping = false;
    state_->stop_actions_due = false;
    ::ResetEvent(state_->stop_event.get());
    EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(state_->stop_actions_due.load());
    EXPECT_TRUE(state_->StopRequested());
    EXPECT_EQ(::WaitForSingleObject(state_->stop_event.get(), 0),
              static_cast<DWORD>(WAIT_OBJECT_0));
  }
  EXPECT_EQ(stop_actions_, 0);
}

TEST_F(ControlHandlers, ConsoleEventsSetTheFlagWithoutStopActions) {
  EXPECT_TRUE(ConsoleControlHandler(CTRL_C_EVENT));
  EXPECT_TRUE(state_->StopRequested());
  EXPECT_EQ(stop_actions_, 0);
}

TEST_F(ControlHandlers, PowerEventLogsExactlyOneLine) {
  StderrCapture log;
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, 10, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  const std::string text = log.Text();
  EXPECT_EQ(CountOccurrences(text, "\r\n"), 1u) << text;
  EXPECT_NE(text.find("INFO power event=10 (structured hook, no-op in W3B)\r\n"),
            std::string::npos);
  EXPECT_FALSE(state_->StopRequested());
}

TEST_F(ControlHandlers, SessionChangeLogsOnlyWithEventData) {
  StderrCapture log;
  EXPECT_EQ(
      ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, nullptr, nullptr),
      static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(log.Text(), "");
  WTSSESSION_NOTIFICATION note{sizeof note, 3};
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &note, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_NE(
      log.Text().find("INFO session change event=5 session=3 (structured hook, no-op in W3B)"),
      std::string::npos)
      << log.Text();
}

TEST_F(ControlHandlers, OtherControlsAreNotImplementedAndInterrogateIsAnswered) {
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr),
            static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(state_->StopRequested());
}

// Once STOPPED is reported the process may be ended: the state must be gone by then.
TEST(ServiceLifetime, StoppedIsReportedOnlyAfterTheStateIsDestroyed) {
  std::vector<std::string> events;
  struct Sentinel {
    std::vector<std::string>& events;
    ~Sentinel() { events.push_back("state destroyed"); }
  };
  std::shared_ptr<Sentinel> sentinel(new Sentinel{events});
  ServiceExtensions ext;
  ext.loop_start.push_back([sentinel](ServiceState& s) { s.RequestStop(); });
  ext.loop_end.push_back([&events](ServiceState&) { events.push_back("loop end"); });
  sentinel.reset();  // the state's action list holds the only reference now
  StderrCapture log;
  RunServiceLifetime(std::move(ext), [&events](DWORD state, DWORD exit_code) {
    const bool published = CurrentServiceState::With([](ServiceState&) {});
    events.push_back(std::to_string(state) + ":" + std::to_string(exit_code) +
                     (published ? ":published" : ":cleared"));
  });
  EXPECT_EQ(events, (std::vector<std::string>{"4:0:published", "loop end", "state destroyed",
                                              "1:0:cleared"}));
}

// An SCM stop returns while the stop actions still wait (a tunnel going away);
// they run on the Service's own thread, after the loop has left and before the
// state is destroyed and STOPPED is reported.
TEST(ServiceLifetime, ScmStopReturnsAtOnceAndTheLoopRunsTheStopActionsBeforeStopped) {
  std::mutex mutex;
  std::vector<std::string> events;
  auto record = [&](std::string e) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(e));
  };
  common::UniqueHandle running(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  common::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(running && release);
  DWORD lifetime_thread = 0;
  ServiceExtensions ext;
  ext.stop_request.push_back([&](ServiceState&) {
    // Released only once the handler has returned: a handler that ran this
    // itself would return 10 s late, from another thread.
    ::WaitForSingleObject(release.get(), 10000);
    record(::GetCurrentThreadId() == lifetime_thread ? "stop action on service thread"
                                                     : "stop action elsewhere");
  });
  ext.loop_end.push_back([&](ServiceState&) { record("loop end"); });
  StderrCapture log;
  std::thread lifetime([&] {
    lifetime_thread = ::GetCurrentThreadId();
    RunServiceLifetime(std::move(ext), [&](DWORD state, DWORD) {
      record("report " + std::to_string(state));
      if (state == SERVICE_RUNNING) ::SetEvent(running.get());
    });
  });
  ASSERT_EQ(::WaitForSingleObject(running.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  record("handler returned");
  ::SetEvent(release.get());
  lifetime.join();
  EXPECT_EQ(events,
            (std::vector<std::string>{"report 4", "handler returned",
                                      "stop action on service thread", "loop end", "report 1"}));
}

TEST(ControlHandlersWithoutState, TouchNothingAndLogNothing) {
  StderrCapture log;
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, 1, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(ConsoleControlHandler(CTRL_BREAK_EVENT));
  EXPECT_EQ(log.Text(), "");
}

}  // namespace
}  // namespace tovra::service
