// The shared protocol client over real pipes, against a server stand-in on a
// thread of this process whose every answer the test scripts.
#include "common/ipc/protocol_client_win.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"

namespace tovra::common {
namespace {

std::wstring UniqueName(const wchar_t* stem) {
  static std::atomic<int> counter{0};
  return L"\\\\.\\pipe\\tovra-pc-" + std::wstring(stem) + L"-" +
         std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
}

// A security descriptor with an owner (Wine leaves a pipe created without one
// ownerless, and the client trusts no ownerless pipe).
class PipeDescriptor {
 public:
  PipeDescriptor() {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                               &sd, nullptr)) {
      sd_.reset(sd);
      sa_.lpSecurityDescriptor = sd;
    }
  }
  SECURITY_ATTRIBUTES* get() { return &sa_; }

 private:
  UniqueLocal sd_;
  SECURITY_ATTRIBUTES sa_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

UniqueHandle CreateInstance(const std::wstring& name, DWORD max_instances, PipeDescriptor& sd) {
  return UniqueHandle(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                         max_instances, 16384, 16384, 0, sd.get()));
}

// What the stand-in does with one request.
struct Act {
  enum Kind { reply, reply_other_id, close, stall } kind = reply;
  Bytes payload;
};

Bytes HelloPayload(uint16_t protocol) {
  PayloadWriter w;
  w.WriteU16(0);
  HelloInfo info = MakeServiceHelloInfo();
  info.protocol = protocol;
  w.WriteHelloInfo(info);
  w.WriteString("1-0x00000001");
  return w.Take();
}

// Serves one client at a time; the next instance is ready before a connection
// ends, so a client's reconnect never races the stand-in.
class ScriptedServer {
 public:
  // `connection` counts from 1.
  using Script = std::function<Act(const Frame& request, int connection)>;

  ScriptedServer(std::wstring name, Script script)
      : name_(std::move(name)),
        script_(std::move(script)),
        stop_event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        first_(CreateInstance(name_, 2, sd_)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    ::SetEvent(stop_event_.get());
    thread_.join();
  }

  const std::wstring& name() const { return name_; }
  int connections() const { return connections_; }
  int requests(uint16_t type) {
    std::lock_guard lock(mutex_);
    return counts_[type];
  }
  // Waits until the stand-in has seen the current client go.
  bool WaitIdle(uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (serving_ && std::chrono::steady_clock::now() < deadline) {
      ::WaitForSingleObject(stop_event_.get(), 10);
    }
    return !serving_;
  }

 private:
  bool Accept(HANDLE pipe) {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    if (::ConnectNamedPipe(pipe, &ov)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return false;
    HANDLE waits[2] = {event.get(), stop_event_.get()};
    DWORD ignored = 0;
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
      return ::GetOverlappedResult(pipe, &ov, &ignored, FALSE) != FALSE;
    }
    ::CancelIoEx(pipe, &ov);
    ::GetOverlappedResult(pipe, &ov, &ignored, TRUE);
    return false;
  }

  void Run() {
    UniqueHandle pipe = std::move(first_);
    while (!stop_ && pipe) {
      if (!Accept(pipe.get())) break;
      const int connection = ++connections_;
      serving_ = true;
      UniqueHandle next = CreateInstance(name_, 2, sd_);
      while (!stop_) {
        ReadFrameResult read = ReadFrameDetailed(pipe.get(), 100);
        if (!read.frame) {
          if (read.error == PipeIoError::timed_out) continue;
          break;  // the client left
        }
        {
          std::lock_guard lock(mutex_);
          ++counts_[read.frame->header.type];
        }
        const Act act = script_(*read.frame, connection);
        if (act.kind == Act::close) break;
        if (act.kind == Act::stall) continue;
        const uint32_t id =
            read.frame->header.request_id + (act.kind == Act::reply_other_id ? 1 : 0);
        if (!WriteFrame(pipe.get(), read.frame->header.type, id, 0x00C0FFEE, act.payload, 5000)) {
          break;
        }
      }
      ::DisconnectNamedPipe(pipe.get());
      pipe = std::move(next);
      serving_ = false;
    }
  }

  std::wstring name_;
  Script script_;
  PipeDescriptor sd_;
  UniqueHandle stop_event_;
  UniqueHandle first_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> serving_{false};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::map<uint16_t, int> counts_;
  std::thread thread_;
};

ProtocolClientConfig ConfigFor(const std::wstring& name, HelloRules rules, uint32_t io_ms = 2000,
                               std::function<bool()> on_absent = {}) {
  ProtocolClientConfig config;
  config.open = [name, on_absent] {
    ConnectOptions options;
    options.attempts = 20;
    options.busy_wait_ms = 100;
    options.on_absent = on_absent;
    ConnectResult c = ConnectToPipe(name, options);
    return OpenedPipe{std::move(c.pipe), ToWire(c.error)};
  };
  config.io_timeout_ms = io_ms;
  config.hello = rules;
  config.untrusted_owner_line = L"test: pipe owner not trusted";
  return config;
}

constexpr uint16_t kPing = 2;
constexpr uint16_t kStopWireGuard = 6;

Act Hello(uint16_t protocol = 6) {
  return {Act::reply, HelloPayload(protocol)};
}
Act Ok(Bytes body = {}) {
  Bytes payload = {0, 0};
  payload.insert(payload.end(), body.begin(), body.end());
  return {Act::reply, payload};
}

TEST(ProtocolClientWin, HelloThatFailsLeavesTheServerUnused) {
  struct Case {
    const char* name;
    Act hello;
    uint16_t status;
  };
  const Case cases[] = {
      {"protocol 5", Hello(5), 3},
      {"server status 6", {Act::reply, {6, 0}}, 6},
      {"undecodable body", {Act::reply, {0, 0, 6}}, 5},
      {"another request id", {Act::reply_other_id, HelloPayload(6)}, 4},
  };
  for (const auto& c : cases) {
    ScriptedServer server(UniqueName(L"hello"),
                          [&](const Frame& f, int) { return f.header.type == 1 ? c.hello : Ok(); });
    ProtocolClient client(ConfigFor(server.name(), kServiceHelloRules));
    const ProtocolReply r = client.Request(kPing, {});
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(client.last_status(), c.status) << c.name;
    EXPECT_FALSE(client.connected()) << c.name;
    EXPECT_EQ(client.generation(), 0u) << c.name;
    EXPECT_EQ(server.requests(kPing), 0) << c.name << ": nothing but hello reaches it";
  }
}

TEST(ProtocolClientWin, ReplyWithAnotherRequestIdIsResentOnceOnAFreshConnection) {
  ScriptedServer server(UniqueName(L"otherid"), [](const Frame& f, int) {
    return f.header.type == 1 ? Hello() : Act{Act::reply_other_id, {0, 0}};
  });
  ProtocolClient client(ConfigFor(server.name(), kServiceHelloRules));
  const ProtocolReply r = client.Request(kPing, {});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(server.requests(kPing), 2);
  EXPECT_EQ(server.requests(1), 2) << "the resend says hello again";
}

TEST(ProtocolClientWin, BrokenPipeIsResentOnceAndSucceeds) {
  ScriptedServer server(UniqueName(L"broken"), [](const Frame& f, int connection) {
    if (f.header.type == 1) return Hello();
    return connection == 1 ? Act{Act::close, {}} : Ok({7});
  });
  ProtocolClient client(ConfigFor(server.name(), kServiceHelloRules));
  const ProtocolReply r = client.Request(kStopWireGuard, {});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.body, Bytes{7});
  EXPECT_EQ(server.requests(kStopWireGuard), 2);
  EXPECT_EQ(server.connections(), 2);
  EXPECT_EQ(client.generation(), 0x00C0FFEEu);
}

TEST(ProtocolClientWin, TimedOutReplyIsNeverSentAgain) {
  ScriptedServer server(UniqueName(L"stall"), [](const Frame& f, int connection) {
    if (f.header.type == 1) return Hello();
    return connection == 1 ? Act{Act::stall, {}} : Ok();
  });
  ProtocolClient client(ConfigFor(server.name(), kServiceHelloRules, 300));
  const ProtocolReply r = client.Request(kStopWireGuard, {});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 4);
  EXPECT_FALSE(client.connected()) << "the stream is at an unknown offset";
  ASSERT_TRUE(server.WaitIdle(5000)) << "the client closed its end";
  EXPECT_EQ(server.requests(kStopWireGuard), 1) << "the request may still be running";
  EXPECT_EQ(server.connections(), 1);
  // The next request is a new one and goes out on a fresh connection.
  EXPECT_TRUE(client.Request(kStopWireGuard, {}).ok);
  EXPECT_EQ(server.requests(kStopWireGuard), 2);
}

TEST(ProtocolClientWin, OverlongPayloadIsRefusedWithoutTouchingTheConnection) {
  ScriptedServer server(UniqueName(L"long"),
                        [](const Frame& f, int) { return f.header.type == 1 ? Hello() : Ok(); });
  ProtocolClient client(ConfigFor(server.name(), kServiceHelloRules));
  ASSERT_TRUE(client.Request(kPing, {}).ok);
  const ProtocolReply r = client.Request(9, Bytes(kMaxPayload + 1, 'x'));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(client.last_status(), 0);
  EXPECT_TRUE(client.Request(kPing, {}).ok);
  EXPECT_EQ(server.requests(9), 0);
  EXPECT_EQ(server.requests(1), 1) << "no new hello";
  EXPECT_EQ(server.connections(), 1);
  EXPECT_TRUE(client.Request(9, Bytes(kMaxPayload, 'x')).ok) << "the largest payload still goes";
}

TEST(ProtocolClientWin, PipeBusyThenGoneForGoodIsUnavailable) {
  for (const bool with_hook : {false, true}) {
    const std::wstring name = UniqueName(L"vanish");
    PipeDescriptor sd;
    UniqueHandle instance = CreateInstance(name, 1, sd);
    ASSERT_TRUE(instance);
    // Another client holds the only instance, so ours finds the pipe busy, until
    // the server goes away for good.
    UniqueHandle holder(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(holder);
    std::atomic<int> hook_calls{0};
    std::function<bool()> hook;
    if (with_hook)
      hook = [&] {
        ++hook_calls;
        return false;
      };
    ProtocolClient client(ConfigFor(name, kServiceHelloRules, 2000, hook));
    std::thread server_goes([&] {
      ::Sleep(300);
      holder.reset();
      instance.reset();
    });
    const auto start = std::chrono::steady_clock::now();
    const ProtocolReply r = client.Request(kPing, {});
    const auto took = std::chrono::steady_clock::now() - start;
    server_goes.join();
    EXPECT_EQ(r.status, 4) << with_hook;
    EXPECT_EQ(client.last_status(), 4) << with_hook;
    EXPECT_GE(took, std::chrono::milliseconds(250)) << "it was busy first";
    EXPECT_LT(took, std::chrono::milliseconds(1900)) << "not the whole busy budget";
    EXPECT_EQ(hook_calls.load(), with_hook ? 1 : 0) << "a server that is gone may be started";
  }
}

}  // namespace
}  // namespace tovra::common
