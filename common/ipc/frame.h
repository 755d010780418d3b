// Frame format shared by every pipe link: a 20-byte little-endian header followed by
// at most 61440 payload bytes. Pure functions, no I/O, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tovra::common {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kFrameVersion = 6;
inline constexpr uint32_t kFrameHeaderSize = 20;
inline constexpr uint32_t kMaxPayload = 61440;       // 0xF000
inline constexpr uint32_t kMaxFrameLength = 0xFFFC;  // bytes after the length field
inline constexpr uint32_t kMinFrameLength = 16;
inline constexpr uint16_t kMinMessageType = 1;
inline constexpr uint16_t kMaxMessageType = 14;

struct FrameHeader {
  uint8_t version = kFrameVersion;
  uint8_t reserved = 0;
  uint16_t type = 0;
  uint32_t request_id = 0;
  uint32_t generation = 0;
  uint32_t payload_length = 0;

  // Servers check version and reserved together: low byte version, high byte reserved.
  uint16_t VersionWord() const { return static_cast<uint16_t>(version | (reserved << 8)); }
  friend bool operator==(const FrameHeader&, const FrameHeader&) = default;
};

struct Frame {
  FrameHeader header;
  Bytes payload;  // exactly header.payload_length bytes
};

// Numeric values are part of the interface.
enum class FrameDecodeResult : int {
  Complete = 0,
  NeedMore = 1,
  TooLarge = 2,
  Malformed = 3,
};

// Encodes one frame (version 6, reserved 0). Returns nothing when the payload is
// larger than kMaxPayload.
[[nodiscard]] std::optional<Bytes> EncodeFrame(uint16_t type, uint32_t request_id,
                                               uint32_t generation,
                                               std::span<const uint8_t> payload);

// Decodes the header from the first `available_count` bytes of `bytes`. On Complete,
// fills `header` and `total_size` (frame_length + 4). Never looks at the payload.
// A null `bytes` (with a non-zero count), `header` or `total_size` is Malformed.
[[nodiscard]] FrameDecodeResult DecodeFrameHeader(const uint8_t* bytes, size_t available_count,
                                                  FrameHeader* header, uint32_t* total_size);

[[nodiscard]] bool IsKnownMessageType(uint16_t type);

// What a server does with a request frame before dispatching it.
enum class FrameDisposition {
  dispatch,           // a known type in a frame of our version
  unsupported,        // answer status 2 and keep the connection
  protocol_mismatch,  // answer status 3 and close the connection
};

// Version and reserved are tested first, as one 16-bit value, then the type.
FrameDisposition ClassifyRequestFrame(const FrameHeader& header);

// Reply read timeout for a request of `type`: start_wireguard waits 60 s, everything
// else uses the caller's default.
uint32_t ReplyTimeoutMs(uint16_t type, uint32_t default_ms);

}  // namespace tovra::common
