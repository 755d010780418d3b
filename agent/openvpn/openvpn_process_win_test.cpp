#include "agent/openvpn/openvpn_process_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/child_process_win.h"
#include "tests/support/stderr_capture_win.h"
#include "tests/support/wait_until.h"

namespace tovra::agent::openvpn {
namespace {

using tovra::testing::ChildProcess;

std::wstring ChildExe() {
  return tovra::testing::WinePathFromEnvironment(L"TOVRA_EXIT_EVENT_CHILD");
}

std::wstring UniqueEventName() {
  static std::atomic<int> counter{0};
  return L"Zerka-OpenVpnExit-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(counter++);
}

DWORD SessionId() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

bool IsSignalled(const std::wstring& event_name) {
  common::UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, event_name.c_str()));
  return event && ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

class OpenVpnProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = ChildExe();
    if (exe_.empty()) GTEST_SKIP() << "needs TOVRA_EXIT_EVENT_CHILD (run through ctest)";
  }
  std::wstring exe_;
};

TEST_F(OpenVpnProcessTest, StopEndsTheProcessThroughItsExitEvent) {
  OpenVpnProcessWin control(exe_, SessionId());
  const std::wstring name = UniqueEventName();
  ASSERT_TRUE(control.CreateExitEvent(name));
  EXPECT_FALSE(control.CreateExitEvent(name)) << "a name already in use is refused";
  ChildProcess child;
  ASSERT_TRUE(child.Start(exe_, L"wait " + name));
  {
    tovra::testing::StderrCapture capture;
    control.AdoptProcess(child.pid());
    EXPECT_EQ(capture.Text().find("openvpn_coordinator: reported PID"), std::string::npos)
        << "the expected image in this session: nothing to report\n"
        << capture.Text();
  }
  EXPECT_EQ(control.process_id(), child.pid());
  EXPECT_FALSE(control.HasExited());

  control.StopProcess(20000);
  EXPECT_EQ(child.Wait(0), std::optional<uint32_t>(0)) << "ended by the event, not by force";
  EXPECT_EQ(control.process_id(), 0u);
  EXPECT_FALSE(control.HasExited()) << "no handle is held any more";
  control.StopProcess(20000);  // nothing left: returns at once
}

TEST_F(OpenVpnProcessTest, HasExitedFollowsTheAdoptedProcess) {
  OpenVpnProcessWin control(exe_, SessionId());
  const std::wstring name = UniqueEventName();
  ASSERT_TRUE(control.CreateExitEvent(name));
  ChildProcess child;
  ASSERT_TRUE(child.Start(exe_, L"wait " + name));
  control.AdoptProcess(child.pid());
  common::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
  ASSERT_TRUE(event);
  ASSERT_TRUE(::SetEvent(event.get()));
  ASSERT_TRUE(
      tovra::testing::WaitUntil([&] { return control.HasExited(); }, std::chrono::seconds(20)));
  EXPECT_EQ(control.process_id(), child.pid()) << "an exit alone clears nothing";
  control.StopProcess(0);
  EXPECT_EQ(control.process_id(), 0u);
}

TEST_F(OpenVpnProcessTest, AnOpenVpnThatIgnoresTheEventIsTerminated) {
  OpenVpnProcessWin control(exe_, SessionId());
  const std::wstring name = UniqueEventName();
  ASSERT_TRUE(control.CreateExitEvent(name));
  ChildProcess child;
  ASSERT_TRUE(child.Start(exe_, L"ignore " + name));
  control.AdoptProcess(child.pid());
  common::UniqueHandle watch(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  ASSERT_TRUE(watch);

  control.StopProcess(100);
  EXPECT_EQ(::WaitForSingleObject(watch.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0))
      << "the event was signalled";
  EXPECT_EQ(child.Wait(0), std::optional<uint32_t>(1)) << "terminated with exit code 1";
  EXPECT_EQ(control.process_id(), 0u);
}

// An id the Interactive Service reported for a process that is gone by now: no
// handle, nothing to end, the id is forgotten.
TEST_F(OpenVpnProcessTest, AnIdOfAProcessThatIsGoneIsOnlyForgotten) {
  OpenVpnProcessWin control(exe_, SessionId());
  control.AdoptProcess(0x7FFFFFF0);  // no such process: the id only
  EXPECT_EQ(control.process_id(), 0x7FFFFFF0u);
  EXPECT_FALSE(control.HasExited());
  control.StopProcess(100);
  EXPECT_EQ(control.process_id(), 0u);
}

// A process id whose image is not openvpn.exe is never ended by force, however
// often the stop runs; two threads racing the stop split one adoption, and no
// handle is left behind.
TEST_F(OpenVpnProcessTest, NeverTerminatesAnotherProgramAndRacingStopsLeakNothing) {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring other = std::wstring(temp) + L"tovra-not-openvpn-" +
                             std::to_wstring(::GetCurrentProcessId()) + L".exe";
  ASSERT_TRUE(::CopyFileW(exe_.c_str(), other.c_str(), FALSE));
  ChildProcess child;
  ASSERT_TRUE(child.Start(other, L"ignore unused"));

  OpenVpnProcessWin control(exe_, SessionId());
  {
    tovra::testing::StderrCapture capture;
    ASSERT_TRUE(control.CreateExitEvent(UniqueEventName()));
    control.AdoptProcess(child.pid());
    control.StopProcess(50);
    EXPECT_TRUE(child.running());
    EXPECT_NE(capture.Text().find("openvpn_coordinator: reported PID image path differs "
                                  "(diagnostic only) (win32=0)"),
              std::string::npos);
    EXPECT_NE(capture.Text().find("openvpn_coordinator: last-resort terminate skipped"),
              std::string::npos);
  }

  DWORD before = 0;
  ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
  for (int round = 0; round < 200; ++round) {
    tovra::testing::StderrCapture quiet;  // two WARN lines a round
    const std::wstring name = UniqueEventName();
    ASSERT_TRUE(control.CreateExitEvent(name));
    control.AdoptProcess(child.pid());
    std::atomic<bool> go{false};
    std::thread racer([&] {
      while (!go.load()) std::this_thread::yield();
      control.StopProcess(0);
    });
    go.store(true);
    control.StopProcess(0);
    racer.join();
    ASSERT_EQ(control.process_id(), 0u) << round;
    ASSERT_FALSE(IsSignalled(name)) << round << ": the event was closed, not left open";
  }
  DWORD after = 0;
  ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
  EXPECT_LE(after, before + 8) << "before " << before << ", after " << after;
  EXPECT_TRUE(child.running()) << "200 stops and still alive";
  child.Kill();
  child.Wait(5000);
  ::DeleteFileW(other.c_str());
}

}  // namespace
}  // namespace tovra::agent::openvpn
