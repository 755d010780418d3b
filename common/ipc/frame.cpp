#include "common/ipc/frame.h"

#include "common/base/byte_order.h"

namespace tovra::common {

namespace {
constexpr uint16_t kStartWireGuardType = 5;
constexpr uint32_t kStartWireGuardReplyMs = 60000;
}  // namespace

std::optional<Bytes> EncodeFrame(uint16_t type, uint32_t request_id, uint32_t generation,
                                 std::span<const uint8_t> payload) {
  if (payload.size() > kMaxPayload || payload.size() + kMinFrameLength > kMaxFrameLength) {
    return std::nullopt;
  }
  const auto payload_length = static_cast<uint32_t>(payload.size());
  Bytes out;
  out.reserve(payload.size() + kFrameHeaderSize);
  AppendLe32(out, payload_length + kMinFrameLength);
  out.push_back(kFrameVersion);
  out.push_back(0);
  AppendLe16(out, type);
  AppendLe32(out, request_id);
  AppendLe32(out, generation);
  AppendLe32(out, payload_length);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

FrameDecodeResult DecodeFrameHeader(const uint8_t* bytes, size_t available_count,
                                    FrameHeader* header, uint32_t* total_size) {
  if (header == nullptr || total_size == nullptr || (bytes == nullptr && available_count != 0)) {
    return FrameDecodeResult::Malformed;
  }
  if (available_count < 4) return FrameDecodeResult::NeedMore;
  const uint32_t frame_length = LoadLe32(bytes);
  if (frame_length < kMinFrameLength) return FrameDecodeResult::Malformed;
  if (frame_length > kMaxFrameLength) return FrameDecodeResult::TooLarge;
  if (available_count < kFrameHeaderSize) return FrameDecodeResult::NeedMore;

  FrameHeader h;
  h.version = bytes[4];
  h.reserved = bytes[5];
  h.type = LoadLe16(bytes + 6);
  h.request_id = LoadLe32(bytes + 8);
  h.generation = LoadLe32(bytes + 12);
  h.payload_length = LoadLe32(bytes + 16);
  if (h.payload_length > kMaxPayload) return FrameDecodeResult::TooLarge;
  if (frame_length != h.payload_length + kMinFrameLength) return FrameDecodeResult::Malformed;

  *header = h;
  *total_size = frame_length + 4;
  return FrameDecodeResult::Complete;
}

bool IsKnownMessageType(uint16_t type) {
  return type >= kMinMessageType && type <= kMaxMessageType;
}

FrameDisposition ClassifyRequestFrame(const FrameHeader& header) {
  if (header.VersionWord() != kFrameVersion) return FrameDisposition::protocol_mismatch;
  if (!IsKnownMessageType(header.type)) return FrameDisposition::unsupported;
  return FrameDisposition::dispatch;
}

uint32_t ReplyTimeoutMs(uint16_t type, uint32_t default_ms) {
  return type == kStartWireGuardType ? kStartWireGuardReplyMs : default_ms;
}

}  // namespace tovra::common
