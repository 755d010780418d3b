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
    });
    state_ = CreateServiceState(false, std::move(ext));
    ASSERT_TRUE(state_);
    CurrentServiceState::Publish(state_.get());
  }
  void TearDown() override { CurrentServiceState::Clear(); }

  std::unique_ptr<ServiceState> state_;
  int stop_actions_ = 0;
  bool stop_seen_before_flag_ = false;
};

TEST_F(ControlHandlers, StopAndShutdownRunTheStopActionsBeforeSettingTheFlag) {
  for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    state_->stop_requested = false;
    ::ResetEvent(state_->stop_event.get());
    EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(stop_seen_before_flag_);
    EXPECT_TRUE(state_->StopRequested());
    EXPECT_EQ(::WaitForSingleObject(state_->stop_event.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
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
  EXPECT_NE(text.find("INFO power event=10 (structured hook, no-op in W3B)\r\n"), std::string::npos);
  EXPECT_FALSE(state_->StopRequested());
}

TEST_F(ControlHandlers, SessionChangeLogsOnlyWithEventData) {
  StderrCapture log;
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(log.Text(), "");
  WTSSESSION_NOTIFICATION note{sizeof note, 3};
  EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &note, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_NE(log.Text().find("INFO session change event=5 session=3 (structured hook, no-op in W3B)"),
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
