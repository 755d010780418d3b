#include "service/service_host_win.h"

#include <gtest/gtest.h>
#include <wtsapi32.h>

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
    ext.stop_request.push_back([this](ServiceState& s) {
      stop_actions_ += 1;
      stop_seen_before_flag_ = !s.StopRequested();
      requests_refused_during_actions_ = s.StopPending();
    });
    state_ = CreateServiceState(false, std::move(ext));
    ASSERT_TRUE(state_);
    CurrentServiceState::Publish(state_.get());
  }
  void TearDown() override { CurrentServiceState::Clear(); }

  std::unique_ptr<ServiceState> state_;
  int stop_actions_ = 0;
  bool stop_seen_before_flag_ = false;
  bool requests_refused_during_actions_ = false;
};

TEST_F(ControlHandlers, StopAndShutdownRunTheStopActionsBeforeSettingTheFlag) {
  for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    state_->stop_requested = false;
    state_->stopping = false;
    requests_refused_during_actions_ = false;
    ::ResetEvent(state_->stop_event.get());
    EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(stop_seen_before_flag_);
    EXPECT_TRUE(requests_refused_during_actions_);
    EXPECT_TRUE(state_->StopRequested());
    EXPECT_EQ(::WaitForSingleObject(state_->stop_event.get(), 0),
              static_cast<DWORD>(WAIT_OBJECT_0));
  }
  EXPECT_EQ(stop_actions_, 2);
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
