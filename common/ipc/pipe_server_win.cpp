#include "common/ipc/pipe_server_win.h"

namespace tovra::common {

CreatePipeResult CreateServerPipe(const std::wstring& name, PipeSecurity& security,
                                  bool first_instance, uint32_t max_instances) {
  DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first_instance) open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  const DWORD pipe_mode =
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  CreatePipeResult result;
  HANDLE h = ::CreateNamedPipeW(name.c_str(), open_mode, pipe_mode, max_instances, kPipeBufferSize,
                                kPipeBufferSize, 0, security.attributes());
  if (h == INVALID_HANDLE_VALUE) {
    result.error = {::GetLastError(), L"CreateNamedPipeW"};
    return result;
  }
  result.pipe.reset(h);
  return result;
}

AcceptResult AcceptClient(HANDLE pipe, HANDLE stop_event, uint32_t wait_ms) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return AcceptResult::failed;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  if (::ConnectNamedPipe(pipe, &ov)) return AcceptResult::connected;
  const DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return AcceptResult::connected;
  if (error != ERROR_IO_PENDING) return AcceptResult::failed;

  HANDLE waits[2] = {event.get(), stop_event};
  const DWORD count = UniqueHandle::IsValid(stop_event) ? 2 : 1;
  const DWORD wait = ::WaitForMultipleObjects(count, waits, FALSE, wait_ms);
  if (wait == WAIT_OBJECT_0) {
    DWORD ignored = 0;
    return ::GetOverlappedResult(pipe, &ov, &ignored, FALSE) ? AcceptResult::connected
                                                             : AcceptResult::failed;
  }
  ::CancelIoEx(pipe, &ov);
  // The cancelled connect still refers to `ov` and `event` until it completes.
  DWORD ignored = 0;
  ::GetOverlappedResult(pipe, &ov, &ignored, TRUE);
  if (wait == WAIT_OBJECT_0 + 1) return AcceptResult::stopped;
  if (wait == WAIT_TIMEOUT) return AcceptResult::timed_out;
  return AcceptResult::failed;
}

namespace {

DWORD WINAPI FlushThread(void* pipe) {
  ::FlushFileBuffers(static_cast<HANDLE>(pipe));
  return 0;
}

}  // namespace

void FinishClient(HANDLE pipe, uint32_t flush_timeout_ms) {
  // FlushFileBuffers on a pipe waits until the client has read everything, with no
  // time limit; a client that never reads would hold the server forever. So the
  // flush runs on a helper thread and is given up after the timeout.
  UniqueHandle flusher(::CreateThread(nullptr, 0, FlushThread, pipe, 0, nullptr));
  if (flusher && ::WaitForSingleObject(flusher.get(), flush_timeout_ms) != WAIT_OBJECT_0) {
    ::CancelSynchronousIo(flusher.get());
    // Disconnecting discards what the client left unread, which also ends the flush.
    // The wait stays bounded all the same; a flush still in flight holds its own
    // reference to the pipe, so closing our handle afterwards is safe.
    ::DisconnectNamedPipe(pipe);
    ::WaitForSingleObject(flusher.get(), flush_timeout_ms);
  }
  ::DisconnectNamedPipe(pipe);
}

}  // namespace tovra::common
