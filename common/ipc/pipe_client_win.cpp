#include "common/ipc/pipe_client_win.h"

#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"

namespace tovra::common {

namespace {
constexpr DWORD kReappearPauseMs = 50;
}  // namespace

ConnectResult ConnectToServer(std::wstring_view role, uint32_t session_id,
                              const ConnectOptions& options) {
  const std::optional<std::wstring> name = FormatPipeName(role, session_id);
  if (!name) {
    ConnectResult result;
    result.error = Status::bad_request;
    return result;
  }
  return ConnectToPipe(*name, options);
}

ConnectResult ConnectToPipe(const std::wstring& pipe_name, const ConnectOptions& options) {
  ConnectResult result;
  result.error = Status::busy;
  bool seen_busy = false;
  for (uint32_t attempt = 0; attempt < options.attempts; ++attempt) {
    HANDLE h = ::CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      result.pipe.reset(h);
      result.error = Status::ok;
      result.win32_error = 0;
      return result;
    }
    const DWORD error = ::GetLastError();
    result.win32_error = error;
    if (error == ERROR_PIPE_BUSY) {
      result.error = Status::busy;
      seen_busy = true;
      ::WaitNamedPipeW(pipe_name.c_str(), options.busy_wait_ms);
      continue;
    }
    if (error == ERROR_FILE_NOT_FOUND) {
      // A server that serves one client at a time closes its instance when that
      // client leaves and creates the next one a moment later. A client that was
      // waiting for a busy pipe sees the name vanish in between: the server is
      // there, so that is not "unavailable".
      if (seen_busy) {
        ::Sleep(kReappearPauseMs);
        continue;
      }
      if (options.on_absent && options.on_absent()) continue;
      result.error = Status::unavailable;
      return result;
    }
    result.error = Status::internal;
    return result;
  }
  return result;
}

std::optional<Frame> ExchangeRequest(HANDLE pipe, uint16_t type, uint32_t request_id,
                                     std::span<const uint8_t> payload, uint32_t timeout_ms) {
  if (!WriteFrame(pipe, type, request_id, 0, payload, timeout_ms)) return std::nullopt;
  std::optional<Frame> reply = ReadFrame(pipe, ReplyTimeoutMs(type, timeout_ms));
  if (!reply || reply->header.request_id != request_id) return std::nullopt;
  return reply;
}

}  // namespace tovra::common
