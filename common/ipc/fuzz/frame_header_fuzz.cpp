// Header decoder on arbitrary bytes: never reads past the input, and a Complete
// header always satisfies the frame invariants and re-encodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/ipc/frame.h"

using namespace tovra::common;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copy into an exact-size heap buffer so ASan sees any over-read.
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  FrameHeader h;
  uint32_t total = 0;
  const FrameDecodeResult r = DecodeFrameHeader(copy, size, &h, &total);
  if (r == FrameDecodeResult::Complete) {
    if (size < kFrameHeaderSize || h.payload_length > kMaxPayload ||
        total != h.payload_length + kFrameHeaderSize) {
      std::abort();
    }
    if (size >= total) {
      auto again = EncodeFrame(h.type, h.request_id, h.generation,
                               std::span<const uint8_t>(copy + kFrameHeaderSize, h.payload_length));
      if (!again) std::abort();
      // version/reserved are carried through the decoder but always re-encoded as 6/0.
      (*again)[4] = copy[4];
      (*again)[5] = copy[5];
      if (std::memcmp(again->data(), copy, total) != 0) std::abort();
    }
  }
  std::free(copy);
  return 0;
}
