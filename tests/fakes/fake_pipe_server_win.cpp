#include "tests/fakes/fake_pipe_server_win.h"

#include <sddl.h>

#include "common/ipc/messages.h"
#include "common/ipc/pipe_io_win.h"

namespace tovra::testing {

FakePipeServer::FakePipeServer(std::wstring pipe_name, Handler handler,
                               std::optional<std::wstring> owner_sid)
    : name_(std::move(pipe_name)),
      handler_(std::move(handler)),
      owner_sid_(std::move(owner_sid)),
      stop_event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      ready_event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  thread_ = std::thread([this] { Run(); });
  // Clients may connect as soon as the constructor returns, so the first instance
  // must exist by then. A stand-in that cannot create its pipe still returns (the
  // test then fails on what it observes, not here).
  ::WaitForSingleObject(ready_event_.get(), kReadyTimeoutMs);
}

FakePipeServer::~FakePipeServer() {
  stop_ = true;
  ::SetEvent(stop_event_.get());
  thread_.join();
}

void FakePipeServer::DropClient() {
  drop_ = true;
}

std::vector<common::Frame> FakePipeServer::received() {
  std::lock_guard lock(mutex_);
  return received_;
}

std::optional<common::Bytes> FakePipeServer::HelloReply(uint16_t protocol,
                                                        const std::string& generation_id) {
  common::PayloadWriter w;
  w.WriteU16(0);
  common::HelloInfo info = common::MakeServiceHelloInfo();
  info.protocol = protocol;
  w.WriteHelloInfo(info);
  w.WriteString(generation_id);
  return w.Take();
}

void FakePipeServer::Run() {
  common::UniqueLocal descriptor;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
  {
    // Like the real servers, always pass a descriptor: Wine gives a pipe created
    // without one no owner at all (Windows would give it the default owner).
    const std::wstring sddl =
        (owner_sid_ ? L"O:" + *owner_sid_ : std::wstring()) + L"D:(A;;GA;;;WD)";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                               nullptr)) {
      descriptor.reset(sd);
      sa.lpSecurityDescriptor = sd;
    }
  }
  const auto create_instance = [&] {
    return common::UniqueHandle(
        ::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 2, 16384, 16384, 0,
                           sa.lpSecurityDescriptor ? &sa : nullptr));
  };
  // The next instance is created as soon as a client is connected, so the name
  // never vanishes between clients: a test's reconnect never races the stand-in.
  common::UniqueHandle next;
  while (!stop_) {
    common::UniqueHandle pipe = next ? std::move(next) : create_instance();
    if (pipe) ::SetEvent(ready_event_.get());
    if (!pipe) {
      ::WaitForSingleObject(stop_event_.get(), 50);
      continue;
    }
    common::UniqueHandle connect_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = connect_event.get();
    bool connected = ::ConnectNamedPipe(pipe.get(), &ov) != FALSE;
    if (!connected) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        HANDLE waits[2] = {connect_event.get(), stop_event_.get()};
        if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
          DWORD ignored = 0;
          connected = ::GetOverlappedResult(pipe.get(), &ov, &ignored, FALSE) != FALSE;
        } else {
          ::CancelIoEx(pipe.get(), &ov);
          DWORD ignored = 0;
          ::GetOverlappedResult(pipe.get(), &ov, &ignored, TRUE);
        }
      }
    }
    if (!connected) continue;
    ++connections_;
    next = create_instance();
    drop_ = false;
    while (!stop_ && !drop_) {
      auto frame = common::ReadFrame(pipe.get(), 200);
      if (!frame) {
        // Time-out just polls the stop and drop flags; a broken pipe ends the client.
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr)) break;
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        received_.push_back(*frame);
      }
      auto reply = handler_(*frame);
      if (!reply) break;
      if (!common::WriteFrame(pipe.get(), frame->header.type, frame->header.request_id, generation_,
                              *reply, 5000)) {
        break;
      }
    }
    ::DisconnectNamedPipe(pipe.get());
    ++disconnections_;
  }
}

common::UniqueHandle OpenPipeClient(const std::wstring& name) {
  for (int i = 0; i < 20; ++i) {
    common::UniqueHandle h(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (h) return h;
    if (::GetLastError() != ERROR_PIPE_BUSY) return {};
    ::WaitNamedPipeW(name.c_str(), 500);
  }
  return {};
}

std::wstring UniquePipeName(const wchar_t* stem) {
  static std::atomic<int> counter{0};
  return L"\\\\.\\pipe\\tovra-test-" + std::wstring(stem) + L"-" +
         std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
}

}  // namespace tovra::testing
