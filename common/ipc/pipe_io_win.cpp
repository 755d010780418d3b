#include "common/ipc/pipe_io_win.h"

#include "common/base/secure_zero.h"
#include "common/win/handles_win.h"

namespace tovra::common {

namespace {

bool IsSignalled(HANDLE event) {
  return UniqueHandle::IsValid(event) && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// One overlapped chunk. Returns the bytes moved, 0 on any failure, with `error`
// saying why: a time-out, a signalled `stop_event` (may be null), or anything else.
DWORD TransferChunk(HANDLE handle, uint8_t* buffer, DWORD count, uint32_t timeout_ms,
                    TransferDirection direction, HANDLE stop_event, PipeIoError& error) {
  error = PipeIoError::broken;
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return 0;
  OVERLAPPED ov{};
  ov.hEvent = event.get();

  const BOOL started = direction == TransferDirection::Read
                           ? ::ReadFile(handle, buffer, count, nullptr, &ov)
                           : ::WriteFile(handle, buffer, count, nullptr, &ov);
  if (!started) {
    if (::GetLastError() != ERROR_IO_PENDING) return 0;
    const HANDLE waits[2] = {event.get(), stop_event};
    const DWORD wait_count = UniqueHandle::IsValid(stop_event) ? 2 : 1;
    const DWORD wait = ::WaitForMultipleObjects(wait_count, waits, FALSE, timeout_ms);
    if (wait != WAIT_OBJECT_0) {
      ::CancelIoEx(handle, &ov);
      // The kernel may still write into `buffer` and `ov` until the cancelled
      // operation completes; wait for that before either goes away.
      DWORD ignored = 0;
      ::GetOverlappedResult(handle, &ov, &ignored, TRUE);
      if (wait == WAIT_TIMEOUT) error = PipeIoError::timed_out;
      if (wait == WAIT_OBJECT_0 + 1) error = PipeIoError::stopped;
      return 0;
    }
  }
  DWORD moved = 0;
  if (!::GetOverlappedResult(handle, &ov, &moved, FALSE)) return 0;
  error = PipeIoError::none;
  return moved;
}

PipeIoError Transfer(HANDLE handle, uint8_t* buffer, uint32_t count, uint32_t timeout_ms,
                     TransferDirection direction, HANDLE stop_event) {
  if (!UniqueHandle::IsValid(handle) || (buffer == nullptr && count != 0)) {
    return PipeIoError::broken;
  }
  uint32_t done = 0;
  while (done < count) {
    PipeIoError error = PipeIoError::none;
    const DWORD moved = TransferChunk(handle, buffer + done, count - done, timeout_ms, direction,
                                      stop_event, error);
    if (moved == 0 || moved > count - done) {
      return error == PipeIoError::none ? PipeIoError::broken : error;
    }
    done += moved;
  }
  return PipeIoError::none;
}

ReadFrameResult ReadFrameCore(HANDLE handle, uint32_t timeout_ms, HANDLE stop_event) {
  ReadFrameResult result;
  uint8_t header_bytes[kFrameHeaderSize];
  result.error = Transfer(handle, header_bytes, kFrameHeaderSize, timeout_ms,
                          TransferDirection::Read, stop_event);
  if (result.error != PipeIoError::none) return result;
  Frame frame;
  uint32_t total = 0;
  if (DecodeFrameHeader(header_bytes, kFrameHeaderSize, &frame.header, &total) !=
      FrameDecodeResult::Complete) {
    result.error = PipeIoError::malformed;
    return result;
  }
  frame.payload.assign(frame.header.payload_length, 0);
  if (frame.header.payload_length != 0) {
    result.error = Transfer(handle, frame.payload.data(), frame.header.payload_length, timeout_ms,
                            TransferDirection::Read, stop_event);
    if (result.error != PipeIoError::none) {
      SecureZero(frame.payload);  // a partial payload may already hold secret bytes
      return result;
    }
  }
  result.frame = std::move(frame);
  return result;
}

}  // namespace

PipeIoError PipeTransferDetailed(HANDLE handle, uint8_t* buffer, uint32_t count,
                                 uint32_t timeout_ms, TransferDirection direction) {
  return Transfer(handle, buffer, count, timeout_ms, direction, nullptr);
}

bool PipeTransfer(HANDLE handle, uint8_t* buffer, uint32_t count, uint32_t timeout_ms,
                  TransferDirection direction) {
  return PipeTransferDetailed(handle, buffer, count, timeout_ms, direction) == PipeIoError::none;
}

bool WriteFrame(HANDLE handle, uint16_t type, uint32_t request_id, uint32_t generation,
                std::span<const uint8_t> payload, uint32_t timeout_ms) {
  std::optional<Bytes> frame = EncodeFrame(type, request_id, generation, payload);
  if (!frame) return false;
  const bool ok = PipeTransfer(handle, frame->data(), static_cast<uint32_t>(frame->size()),
                               timeout_ms, TransferDirection::Write);
  SecureZero(*frame);
  return ok;
}

std::optional<Frame> ReadFrame(HANDLE handle, uint32_t timeout_ms) {
  return ReadFrameCore(handle, timeout_ms, nullptr).frame;
}

ReadFrameResult ReadFrameDetailed(HANDLE handle, uint32_t timeout_ms) {
  return ReadFrameCore(handle, timeout_ms, nullptr);
}

StoppableFrameRead ReadFrameUnlessStopped(HANDLE handle, uint32_t timeout_ms, HANDLE stop_event) {
  StoppableFrameRead result;
  if (IsSignalled(stop_event)) {
    result.stopped = true;
    return result;
  }
  ReadFrameResult read = ReadFrameCore(handle, timeout_ms, stop_event);
  result.frame = std::move(read.frame);
  result.stopped = read.error == PipeIoError::stopped;
  // A request that completed while the stop was being signalled is not served.
  if (result.frame && IsSignalled(stop_event)) {
    SecureZero(result.frame->payload);
    result.frame.reset();
    result.stopped = true;
  }
  return result;
}

}  // namespace tovra::common
