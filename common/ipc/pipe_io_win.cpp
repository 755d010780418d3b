#include "common/ipc/pipe_io_win.h"

#include "common/win/handles_win.h"
#include "common/base/secure_zero.h"

namespace tovra::common {

namespace {

// One overlapped chunk. Returns the bytes moved, 0 on any failure; `timed_out`
// tells a chunk that did not complete in time from one that failed.
DWORD TransferChunk(HANDLE handle, uint8_t* buffer, DWORD count, uint32_t timeout_ms,
                    TransferDirection direction, bool& timed_out) {
  timed_out = false;
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return 0;
  OVERLAPPED ov{};
  ov.hEvent = event.get();

  const BOOL started = direction == TransferDirection::Read
                           ? ::ReadFile(handle, buffer, count, nullptr, &ov)
                           : ::WriteFile(handle, buffer, count, nullptr, &ov);
  if (!started) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return 0;
    const DWORD wait = ::WaitForSingleObject(event.get(), timeout_ms);
    if (wait != WAIT_OBJECT_0) {
      ::CancelIoEx(handle, &ov);
      // The kernel may still write into `buffer` and `ov` until the cancelled
      // operation completes; wait for that before either goes away.
      DWORD ignored = 0;
      ::GetOverlappedResult(handle, &ov, &ignored, TRUE);
      timed_out = wait == WAIT_TIMEOUT;
      return 0;
    }
  }
  DWORD moved = 0;
  if (!::GetOverlappedResult(handle, &ov, &moved, FALSE)) return 0;
  return moved;
}

}  // namespace

PipeIoError PipeTransferDetailed(HANDLE handle, uint8_t* buffer, uint32_t count,
                                 uint32_t timeout_ms, TransferDirection direction) {
  if (!UniqueHandle::IsValid(handle) || (buffer == nullptr && count != 0)) {
    return PipeIoError::broken;
  }
  uint32_t done = 0;
  while (done < count) {
    bool timed_out = false;
    const DWORD moved =
        TransferChunk(handle, buffer + done, count - done, timeout_ms, direction, timed_out);
    if (moved == 0 || moved > count - done) {
      return timed_out ? PipeIoError::timed_out : PipeIoError::broken;
    }
    done += moved;
  }
  return PipeIoError::none;
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
  return ReadFrameDetailed(handle, timeout_ms).frame;
}

ReadFrameResult ReadFrameDetailed(HANDLE handle, uint32_t timeout_ms) {
  ReadFrameResult result;
  uint8_t header_bytes[kFrameHeaderSize];
  result.error = PipeTransferDetailed(handle, header_bytes, kFrameHeaderSize, timeout_ms,
                                      TransferDirection::Read);
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
    result.error = PipeTransferDetailed(handle, frame.payload.data(), frame.header.payload_length,
                                        timeout_ms, TransferDirection::Read);
    if (result.error != PipeIoError::none) {
      SecureZero(frame.payload);  // a partial payload may already hold secret bytes
      return result;
    }
  }
  result.frame = std::move(frame);
  return result;
}

}  // namespace tovra::common
