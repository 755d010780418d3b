// Blocking-with-timeout frame I/O over overlapped pipe handles. No shared state:
// callable from any thread, but one handle carries one exchange at a time (the
// callers serialise). Any failure leaves the stream at an unknown offset, so the
// caller closes the handle.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>

#include "common/ipc/frame.h"

namespace tovra::common {

enum class TransferDirection { Read, Write };

// Why a transfer or a frame read failed. Clients need the difference: after a
// time-out the peer may still be working on the request; a broken pipe means the
// peer is gone or dropped the connection.
enum class PipeIoError {
  none,
  timed_out,  // a chunk did not complete in time (the operation was cancelled)
  broken,     // the peer closed or broke the pipe, or the I/O failed otherwise
  malformed,  // a frame header that does not decode
  stopped,    // the caller's stop event was signalled (the operation was cancelled)
};

// Moves exactly `count` bytes through the overlapped handle. Each chunk waits at
// most `timeout_ms`; on time-out the pending operation is cancelled and its
// completion awaited before the buffer is given back. A chunk of 0 bytes (peer
// closed) fails.
[[nodiscard]] bool PipeTransfer(HANDLE handle, uint8_t* buffer, uint32_t count, uint32_t timeout_ms,
                                TransferDirection direction);
// PipeTransfer that says why it failed.
[[nodiscard]] PipeIoError PipeTransferDetailed(HANDLE handle, uint8_t* buffer, uint32_t count,
                                               uint32_t timeout_ms, TransferDirection direction);

// Encodes and writes one frame. A payload that cannot be encoded writes nothing.
// The encoded copy is wiped afterwards (payloads may carry secrets).
[[nodiscard]] bool WriteFrame(HANDLE handle, uint16_t type, uint32_t request_id,
                              uint32_t generation, std::span<const uint8_t> payload,
                              uint32_t timeout_ms);

// Reads one whole frame, or nothing on time-out, transport failure or a header that
// does not decode.
[[nodiscard]] std::optional<Frame> ReadFrame(HANDLE handle, uint32_t timeout_ms);

struct StoppableFrameRead {
  std::optional<Frame> frame;  // set only when a whole frame arrived before any stop
  bool stopped = false;        // the stop event was signalled; nothing is returned
};

// A server's read of its client's next request, which also gives way to a stop:
// ReadFrame that waits on `stop_event` (manual reset) beside each chunk. A stop
// already signalled reads nothing; a stop during the read cancels the pending read
// and lets the cancellation complete before returning; a frame that completed but
// finds the stop signalled is wiped and dropped, so no request is served after a
// stop was requested. `stop_event` null behaves like ReadFrame.
[[nodiscard]] StoppableFrameRead ReadFrameUnlessStopped(HANDLE handle, uint32_t timeout_ms,
                                                        HANDLE stop_event);

struct ReadFrameResult {
  std::optional<Frame> frame;
  PipeIoError error = PipeIoError::none;  // set when there is no frame
};
// ReadFrame that says why no frame came.
[[nodiscard]] ReadFrameResult ReadFrameDetailed(HANDLE handle, uint32_t timeout_ms);

}  // namespace tovra::common
