#include "agent/openvpn/interactive_service_client_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <algorithm>
#include <optional>
#include <vector>

#include "common/win/handles_win.h"
#include "tests/fakes/fake_pipe_server_win.h"
#include "tests/support/wait_until.h"

namespace tovra::agent::openvpn {
namespace {

using common::UniqueHandle;
using namespace std::chrono_literals;

// A message-mode pipe server on a thread of the test process, standing in for the
// Interactive Service: it takes one message per client, answers it with `reply`
// (or never, when `reply` is empty), and waits for the client to go before taking
// the next.
class MessagePipeServer {
 public:
  MessagePipeServer(std::wstring name, std::wstring reply)
      : name_(std::move(name)), reply_(std::move(reply)) {
    pipe_.reset(::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                   65536, 0, nullptr));
    thread_ = std::thread([this] { Run(); });
  }
  ~MessagePipeServer() {
    ::SetEvent(stop_.get());
    thread_.join();
  }
  bool ok() const { return pipe_.valid(); }
  std::vector<uint8_t> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  int connections() const { return connections_; }
  int sessions_ended() const { return sessions_ended_; }

 private:
  // Waits for an overlapped operation or the stop; a stop cancels the operation
  // and lets it complete. False on stop or failure.
  bool Await(OVERLAPPED& ov, DWORD& bytes, bool& more) {
    const HANDLE waits[2] = {ov.hEvent, stop_.get()};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      ::CancelIoEx(pipe_.get(), &ov);
      ::GetOverlappedResult(pipe_.get(), &ov, &bytes, TRUE);
      return false;
    }
    more = false;
    if (::GetOverlappedResult(pipe_.get(), &ov, &bytes, FALSE)) return true;
    more = ::GetLastError() == ERROR_MORE_DATA;
    return more;
  }

  bool Start(BOOL started, OVERLAPPED& ov, DWORD& bytes, bool& more) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_MORE_DATA) {
      return false;
    }
    return Await(ov, bytes, more);
  }

  void Run() {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    while (::WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0) {
      OVERLAPPED ov{};
      ov.hEvent = event.get();
      DWORD bytes = 0;
      bool more = false;
      ::ResetEvent(event.get());
      const BOOL connected = ::ConnectNamedPipe(pipe_.get(), &ov);
      const DWORD error = connected ? ERROR_SUCCESS : ::GetLastError();
      // ERROR_NO_DATA: a client came and went before we got here.
      if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA &&
          !Start(FALSE, ov, bytes, more)) {
        return;
      }
      ++connections_;
      if (error != ERROR_NO_DATA) Serve(event.get());
      ::DisconnectNamedPipe(pipe_.get());
      ++sessions_ended_;
    }
  }

  // One client: its first message, the reply, then reads until the client goes.
  void Serve(HANDLE event) {
    bool replied = false;
    for (;;) {
      uint8_t buffer[1024];
      OVERLAPPED ov{};
      ov.hEvent = event;
      DWORD bytes = 0;
      bool more = false;
      ::ResetEvent(event);
      const bool ok =
          Start(::ReadFile(pipe_.get(), buffer, sizeof(buffer), nullptr, &ov), ov, bytes, more);
      if (!ok) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.insert(received_.end(), buffer, buffer + bytes);
      }
      if (more || replied || reply_.empty()) continue;
      replied = true;
      ::ResetEvent(event);
      const BOOL written =
          ::WriteFile(pipe_.get(), reply_.data(),
                      static_cast<DWORD>(reply_.size() * sizeof(wchar_t)), nullptr, &ov);
      if (!Start(written, ov, bytes, more)) return;
    }
  }

  std::wstring name_;
  std::wstring reply_;
  UniqueHandle pipe_;
  UniqueHandle stop_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> connections_{0};
  std::atomic<int> sessions_ended_{0};
  std::mutex mutex_;
  std::vector<uint8_t> received_;
  std::thread thread_;
};

StartupInfo Info(std::wstring workdir = L"C:\\w", std::wstring options = L"--config a.conf") {
  StartupInfo info;
  info.working_directory = std::move(workdir);
  info.options_line = std::move(options);
  info.stdin_text = common::SecretBuffer::FromText("pw\n");
  return info;
}

std::vector<uint8_t> Utf16Le(std::wstring_view text) {
  std::vector<uint8_t> out;
  for (const wchar_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

// The handles this process holds, from the system's handle table (where the
// process's own count is not reported, as under Wine); nothing when the table
// cannot be read.
std::optional<size_t> OpenHandleCount() {
  struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
    ULONG owner_pid;
    BYTE object_type;
    BYTE flags;
    USHORT value;
    void* object;
    ACCESS_MASK access;
  };
  using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return std::nullopt;
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<uint8_t> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch && buffer.size() < (64u << 20)) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
      continue;
    }
    if (status != 0) return std::nullopt;
    break;
  }
  const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
  const auto* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
  size_t ours = 0;
  for (ULONG i = 0; i < entries; ++i) ours += entry[i].owner_pid == ::GetCurrentProcessId();
  return ours;
}

TEST(InteractiveServiceClient, RepliesThroughTheOverridePipe) {
  const std::wstring name = testing::UniquePipeName(L"ovpn-is");
  MessagePipeServer server(name, L"0x00000000\n0x00000BEE\nProcess ID");
  ASSERT_TRUE(server.ok());
  const LaunchResult r = InteractiveServiceClient(name).Launch(Info(), 1000, 2000);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.process_id, 0xBEEu);
  EXPECT_EQ(server.received(), Utf16Le(std::wstring(L"C:\\w\0--config a.conf\0pw\n\0", 25)));
}

TEST(InteractiveServiceClient, AdminApprovalReplyGives3WithTheText) {
  const std::wstring name = testing::UniquePipeName(L"ovpn-is");
  const std::wstring text = L"ovpn: config location requires admin approval";
  MessagePipeServer server(name, L"0x20000001\n" + text);
  ASSERT_TRUE(server.ok());
  const LaunchResult r = LaunchWithPipe(name, ::GetCurrentProcessId(), Info(), 1000, 2000);
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.message, text);
}

TEST(InteractiveServiceClient, ReplyFillingTheBufferIsRefused) {
  const std::wstring name = testing::UniquePipeName(L"ovpn-is");
  MessagePipeServer server(name, L"0x00000005\n" + std::wstring(5000, L'x'));
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(LaunchWithPipe(name, ::GetCurrentProcessId(), Info(), 1000, 2000).result, 2);
}

TEST(InteractiveServiceClient, SilentServerTimesOutAndTheCancelledReadCompletes) {
  const std::wstring name = testing::UniquePipeName(L"ovpn-is");
  MessagePipeServer server(name, L"");
  ASSERT_TRUE(server.ok());
  std::optional<size_t> after_first;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const LaunchResult r = LaunchWithPipe(name, ::GetCurrentProcessId(), Info(), 1000, 300);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.result, 2);
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 3000ms);
    // The server is ready for the next client once it saw this one go.
    ASSERT_TRUE(testing::WaitUntil([&] { return server.sessions_ended() == round + 1; }, 5s));
    if (round == 0) after_first = OpenHandleCount();
  }
  ASSERT_TRUE(after_first);
  EXPECT_EQ(OpenHandleCount(), after_first);
}

TEST(InteractiveServiceClient, UnexpectedServerReceivesNothing) {
  const std::wstring name = testing::UniquePipeName(L"ovpn-is");
  MessagePipeServer server(name, L"0x00000000\n0x00000BEE\nProcess ID");
  ASSERT_TRUE(server.ok());
  int sessions = 0;
  for (const uint32_t expected : {::GetCurrentProcessId() + 1, 0ul}) {
    EXPECT_EQ(LaunchWithPipe(name, expected, Info(), 1000, 2000).result, 1);
    ++sessions;
    ASSERT_TRUE(testing::WaitUntil([&] { return server.sessions_ended() == sessions; }, 5s));
  }
  EXPECT_TRUE(server.received().empty());
}

TEST(InteractiveServiceClient, AbsentPipeIsUnavailable) {
  EXPECT_EQ(
      LaunchWithPipe(testing::UniquePipeName(L"absent"), ::GetCurrentProcessId(), Info(), 100, 1000)
          .result,
      1);
}

TEST(InteractiveServiceClient, OverlongMessageFailsBeforeThePipeIsOpened) {
  // On an absent pipe an attempted open would answer 1.
  const std::wstring name = testing::UniquePipeName(L"absent");
  // 1000 + 18 + 3 ("pw\n") + 3 NULs: 1024 characters, then one more.
  EXPECT_EQ(
      LaunchWithPipe(name, 1, Info(std::wstring(1000, L'w'), std::wstring(18, L'o')), 100, 1000)
          .result,
      1);
  EXPECT_EQ(
      LaunchWithPipe(name, 1, Info(std::wstring(1000, L'w'), std::wstring(19, L'o')), 100, 1000)
          .result,
      2);
}

TEST(InteractiveServiceClient, NoRunningServiceMeansNoExpectedServer) {
  EXPECT_EQ(RunningServiceProcessId(L"TovraNoSuchService"), 0u);
}

}  // namespace
}  // namespace tovra::agent::openvpn
