#include "common/ipc/pipe_client_win.h"

#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"

namespace tovra::common {

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
  ConnectLoop loop(options.attempts);
  while (loop.HasAttempt()) {
    HANDLE h = ::CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    const DWORD error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    const OpenOutcome outcome = h != INVALID_HANDLE_VALUE       ? OpenOutcome::opened
                                : error == ERROR_PIPE_BUSY      ? OpenOutcome::busy
                                : error == ERROR_FILE_NOT_FOUND ? OpenOutcome::absent
                                                                : OpenOutcome::other_error;
    result.win32 = error != 0 ? Win32Error{error, L"CreateFileW"} : Win32Error{};
    ConnectAction action = loop.Next(outcome);
    if (action == ConnectAction::ask_absent_hook) {
      action = loop.AfterAbsentHook(options.on_absent && options.on_absent());
    }
    switch (action) {
      case ConnectAction::done:
        result.pipe.reset(h);
        result.error = Status::ok;
        return result;
      case ConnectAction::wait_busy:
        ::WaitNamedPipeW(pipe_name.c_str(), options.busy_wait_ms);
        break;
      case ConnectAction::pause_reappear:
        ::Sleep(kReappearPauseMs);
        break;
      case ConnectAction::retry:
      case ConnectAction::ask_absent_hook:
        break;
      case ConnectAction::fail_unavailable:
        result.error = Status::unavailable;
        return result;
      case ConnectAction::fail_internal:
        result.error = Status::internal;
        return result;
      case ConnectAction::fail_busy:
        result.error = Status::busy;
        return result;
    }
  }
  result.error = Status::busy;
  return result;
}

std::optional<Frame> ExchangeRequest(HANDLE pipe, uint16_t type, uint32_t request_id,
                                     std::span<const uint8_t> payload, uint32_t timeout_ms) {
  return ExchangeRequestDetailed(pipe, type, request_id, payload, timeout_ms).reply;
}

ExchangeResult ExchangeRequestDetailed(HANDLE pipe, uint16_t type, uint32_t request_id,
                                       std::span<const uint8_t> payload, uint32_t timeout_ms) {
  ExchangeResult result;
  if (!WriteFrame(pipe, type, request_id, 0, payload, timeout_ms)) {
    result.failure = ExchangeFailure::write_failed;
    return result;
  }
  ReadFrameResult read = ReadFrameDetailed(pipe, ReplyTimeoutMs(type, timeout_ms));
  if (!read.frame) {
    result.failure = read.error == PipeIoError::timed_out   ? ExchangeFailure::timed_out
                     : read.error == PipeIoError::malformed ? ExchangeFailure::wrong_reply
                                                            : ExchangeFailure::broken;
    return result;
  }
  if (read.frame->header.request_id != request_id) {
    result.failure = ExchangeFailure::wrong_reply;
    return result;
  }
  result.reply = std::move(read.frame);
  return result;
}

}  // namespace tovra::common
