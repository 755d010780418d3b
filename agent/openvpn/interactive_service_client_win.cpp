#include "agent/openvpn/interactive_service_client_win.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "agent/openvpn/interactive_service.h"
#include "common/log/log.h"
#include "common/win/handles_win.h"

namespace tovra::agent::openvpn {

namespace {

using common::UniqueHandle;
using common::UniqueServiceHandle;

// The service's replies are far shorter; one that fills this is refused.
constexpr DWORD kReplyBufferChars = 4096;

enum class IoStatus { done, more_data, failed };

struct IoOutcome {
  IoStatus status = IoStatus::failed;
  DWORD bytes = 0;
};

// One overlapped read or write on `pipe`, waited for up to `timeout_ms`. An
// operation not finished in time is cancelled, and its completion awaited: until
// it completes the system may still write to `buffer` and to the OVERLAPPED, both
// of which the caller releases next.
IoOutcome Transfer(HANDLE pipe, HANDLE event, bool write, void* buffer, DWORD bytes,
                   uint32_t timeout_ms) {
  IoOutcome outcome;
  if (!::ResetEvent(event)) return outcome;
  OVERLAPPED ov{};
  ov.hEvent = event;
  const BOOL finished = write ? ::WriteFile(pipe, buffer, bytes, nullptr, &ov)
                              : ::ReadFile(pipe, buffer, bytes, nullptr, &ov);
  if (!finished) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (::WaitForSingleObject(event, timeout_ms) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &ov);
        DWORD ignored = 0;
        ::GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        return outcome;
      }
    } else if (error != ERROR_MORE_DATA) {
      return outcome;  // failed to start: nothing is pending
    }
  }
  if (::GetOverlappedResult(pipe, &ov, &outcome.bytes, FALSE)) {
    outcome.status = IoStatus::done;
  } else if (::GetLastError() == ERROR_MORE_DATA) {
    outcome.status = IoStatus::more_data;
  }
  return outcome;
}

UniqueHandle OpenPipe(const std::wstring& name) {
  return UniqueHandle(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
}

// The reply as characters, or nothing after a failed or late read or a reply that
// fills the buffer.
std::optional<std::wstring> ReadReply(HANDLE pipe, HANDLE event, uint32_t io_timeout_ms) {
  std::vector<wchar_t> reply(kReplyBufferChars);
  constexpr DWORD kCapacityBytes = kReplyBufferChars * sizeof(wchar_t);
  DWORD filled = 0;
  for (;;) {
    const IoOutcome read =
        Transfer(pipe, event, /*write=*/false, reinterpret_cast<uint8_t*>(reply.data()) + filled,
                 kCapacityBytes - filled, io_timeout_ms);
    if (read.status == IoStatus::failed || read.bytes > kCapacityBytes - filled) {
      return std::nullopt;
    }
    filled += read.bytes;
    if (filled >= kCapacityBytes) return std::nullopt;
    if (read.status == IoStatus::done) break;
  }
  return std::wstring(reply.data(), filled / sizeof(wchar_t));
}

}  // namespace

uint32_t RunningServiceProcessId(std::wstring_view service_name) {
  const std::wstring name(service_name);
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 0;
  UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
    return 0;
  }
  return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

LaunchResult LaunchWithPipe(const std::wstring& pipe_name, uint32_t expected_server_pid,
                            const StartupInfo& info, uint32_t pipe_wait_ms,
                            uint32_t io_timeout_ms) {
  LaunchResult result;  // 1: service unavailable, until the pipe proves otherwise
  std::optional<common::SecretBuffer> message =
      BuildStartupMessage(info.working_directory, info.options_line, info.stdin_text.span());
  if (!message) {
    result.result = 2;
    return result;
  }

  UniqueHandle pipe = OpenPipe(pipe_name);
  if (!pipe && ::GetLastError() == ERROR_PIPE_BUSY &&
      ::WaitNamedPipeW(pipe_name.c_str(), pipe_wait_ms)) {
    pipe = OpenPipe(pipe_name);
  }
  if (!pipe) return result;

  // Whoever created a pipe of this name first serves it; the password goes only
  // to the process we expect.
  ULONG server_pid = 0;
  const bool known = ::GetNamedPipeServerProcessId(pipe.get(), &server_pid) != FALSE;
  if (!PipeServerTrusted(expected_server_pid,
                         known ? std::optional<uint32_t>(server_pid) : std::nullopt)) {
    return result;
  }

  result.result = 2;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return result;
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return result;

  const auto message_bytes = static_cast<DWORD>(message->size());
  const IoOutcome written = Transfer(pipe.get(), event.get(), /*write=*/true, message->data(),
                                     message_bytes, io_timeout_ms);
  message->clear();  // the write is over (or cancelled and completed): wipe our copy
  if (written.status != IoStatus::done) return result;
  if (written.bytes < message_bytes) {
    common::LogWin32(common::LogLevel::Error,
                     L"openvpn_interactive_service_client: short startup-message write",
                     written.bytes);
    return result;
  }

  const std::optional<std::wstring> reply = ReadReply(pipe.get(), event.get(), io_timeout_ms);
  if (!reply) return result;
  return ParseInteractiveServiceReply(*reply);
}

InteractiveServiceClient::InteractiveServiceClient(std::wstring override_pipe_name)
    : override_pipe_name_(std::move(override_pipe_name)) {}

LaunchResult InteractiveServiceClient::Launch(const StartupInfo& info, uint32_t pipe_wait_ms,
                                              uint32_t io_timeout_ms) {
  if (!override_pipe_name_.empty()) {
    return LaunchWithPipe(override_pipe_name_, ::GetCurrentProcessId(), info, pipe_wait_ms,
                          io_timeout_ms);
  }
  return LaunchWithPipe(kInteractiveServicePipe, RunningServiceProcessId(kInteractiveServiceName),
                        info, pipe_wait_ms, io_timeout_ms);
}

}  // namespace tovra::agent::openvpn
