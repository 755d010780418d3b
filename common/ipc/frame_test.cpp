#include "common/ipc/frame.h"

#include <gtest/gtest.h>

#include "common/base/byte_order.h"

namespace tovra::common {
namespace {

Bytes Header(uint32_t frame_length, uint32_t payload_length, uint8_t version = 6,
             uint8_t reserved = 0, uint16_t type = 1) {
  Bytes b;
  AppendLe32(b, frame_length);
  b.push_back(version);
  b.push_back(reserved);
  AppendLe16(b, type);
  AppendLe32(b, 0x01020304);
  AppendLe32(b, 0xA0B0C0D0);
  AppendLe32(b, payload_length);
  return b;
}

FrameDecodeResult Decode(const Bytes& b, size_t n, FrameHeader* h = nullptr,
                         uint32_t* total = nullptr) {
  FrameHeader local;
  uint32_t local_total = 0;
  return DecodeFrameHeader(b.data(), n, h ? h : &local, total ? total : &local_total);
}

TEST(EncodeFrame, HelloRequestIsTwentyExactBytes) {
  const auto frame = EncodeFrame(1, 1, 0, {});
  ASSERT_TRUE(frame);
  const Bytes expected = {0x10, 0, 0, 0, 6, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(*frame, expected);
}

TEST(EncodeFrame, PingReplyIsTwentyTwoExactBytes) {
  const Bytes status_ok = {0, 0};
  const auto frame = EncodeFrame(2, 7, 0x12345678, status_ok);
  ASSERT_TRUE(frame);
  const Bytes expected = {0x12, 0,    0,    0,    6,    0, 2, 0, 7, 0, 0,
                          0,    0x78, 0x56, 0x34, 0x12, 2, 0, 0, 0, 0, 0};
  EXPECT_EQ(*frame, expected);
}

TEST(EncodeFrame, LargestPayloadFitsAndOneMoreIsRefused) {
  Bytes payload(kMaxPayload, 0xAB);
  const auto frame = EncodeFrame(5, 9, 3, payload);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->size(), 61460u);
  EXPECT_EQ(LoadLe32(frame->data()), 61456u);
  EXPECT_EQ(LoadLe32(frame->data() + 16), kMaxPayload);
  EXPECT_EQ(frame->capacity(), frame->size()) << "buffer reserved once at its final size";

  payload.push_back(0);
  EXPECT_FALSE(EncodeFrame(5, 9, 3, payload));
}

TEST(EncodeDecode, RoundTripsEveryHeaderField) {
  for (uint32_t size : {0u, 1u, 19u, 20u, 4096u, kMaxPayload}) {
    Bytes payload(size);
    for (uint32_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i * 31);
    const auto frame = EncodeFrame(0xBEEF, 0xFFFFFFFF, 0x80000001, payload);
    ASSERT_TRUE(frame);
    FrameHeader h;
    uint32_t total = 0;
    ASSERT_EQ(DecodeFrameHeader(frame->data(), frame->size(), &h, &total),
              FrameDecodeResult::Complete);
    EXPECT_EQ(total, frame->size());
    EXPECT_EQ(h.version, 6);
    EXPECT_EQ(h.reserved, 0);
    EXPECT_EQ(h.VersionWord(), 6);
    EXPECT_EQ(h.type, 0xBEEF);
    EXPECT_EQ(h.request_id, 0xFFFFFFFFu);
    EXPECT_EQ(h.generation, 0x80000001u);
    EXPECT_EQ(h.payload_length, size);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame->begin() + 20));
  }
}

TEST(DecodeFrameHeader, FrameLengthBelowSixteenIsMalformed) {
  for (uint32_t len = 0; len < 16; ++len) {
    EXPECT_EQ(Decode(Header(len, 0), 20), FrameDecodeResult::Malformed) << len;
  }
}

TEST(DecodeFrameHeader, FrameLengthAboveLimitIsTooLarge) {
  for (uint32_t len : {0xFFFDu, 0xFFFEu, 0x10000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Decode(Header(len, len - 16), 20), FrameDecodeResult::TooLarge) << len;
    // Known from the length field alone, before the header is complete.
    EXPECT_EQ(Decode(Header(len, 0), 4), FrameDecodeResult::TooLarge) << len;
  }
}

TEST(DecodeFrameHeader, PayloadLengthRules) {
  EXPECT_EQ(Decode(Header(16, 1), 20), FrameDecodeResult::Malformed);
  EXPECT_EQ(Decode(Header(61441 + 16, 61441), 20), FrameDecodeResult::TooLarge);
  EXPECT_EQ(Decode(Header(61440 + 16, 61440), 20), FrameDecodeResult::Complete);
  EXPECT_EQ(Decode(Header(0xFFFC, 61440), 20), FrameDecodeResult::Malformed);
}

TEST(DecodeFrameHeader, ShortInput) {
  const Bytes valid = Header(16, 0);
  for (size_t n = 0; n < 4; ++n) EXPECT_EQ(Decode(valid, n), FrameDecodeResult::NeedMore) << n;
  for (size_t n = 4; n < 20; ++n) EXPECT_EQ(Decode(valid, n), FrameDecodeResult::NeedMore) << n;
  const Bytes bad = Header(5, 0);
  for (size_t n = 4; n < 20; ++n) EXPECT_EQ(Decode(bad, n), FrameDecodeResult::Malformed) << n;
}

TEST(DecodeFrameHeader, MissingArgumentsAreMalformed) {
  const Bytes b = Header(16, 0);
  FrameHeader h;
  uint32_t total = 0;
  EXPECT_EQ(DecodeFrameHeader(nullptr, 20, &h, &total), FrameDecodeResult::Malformed);
  EXPECT_EQ(DecodeFrameHeader(b.data(), 20, nullptr, &total), FrameDecodeResult::Malformed);
  EXPECT_EQ(DecodeFrameHeader(b.data(), 20, &h, nullptr), FrameDecodeResult::Malformed);
}

TEST(DecodeFrameHeader, VersionReservedAndTypeAreLeftToTheServer) {
  FrameHeader h;
  EXPECT_EQ(Decode(Header(16, 0, 7, 0), 20, &h), FrameDecodeResult::Complete);
  EXPECT_EQ(h.VersionWord(), 7);
  EXPECT_EQ(Decode(Header(16, 0, 6, 1), 20, &h), FrameDecodeResult::Complete);
  EXPECT_EQ(h.VersionWord(), 0x0106);
  EXPECT_EQ(Decode(Header(16, 0, 6, 0, 0), 20, &h), FrameDecodeResult::Complete);
}

TEST(DecodeFrameHeader, NumericValuesArePartOfTheInterface) {
  EXPECT_EQ(static_cast<int>(FrameDecodeResult::Complete), 0);
  EXPECT_EQ(static_cast<int>(FrameDecodeResult::NeedMore), 1);
  EXPECT_EQ(static_cast<int>(FrameDecodeResult::TooLarge), 2);
  EXPECT_EQ(static_cast<int>(FrameDecodeResult::Malformed), 3);
}

TEST(RequestFrames, VersionWordThenType) {
  FrameHeader h;
  h.type = 1;
  EXPECT_EQ(ClassifyRequestFrame(h), FrameDisposition::dispatch);
  h.type = 15;
  EXPECT_EQ(ClassifyRequestFrame(h), FrameDisposition::unsupported);
  h.type = 0;
  EXPECT_EQ(ClassifyRequestFrame(h), FrameDisposition::unsupported);
  h.version = 5;
  EXPECT_EQ(ClassifyRequestFrame(h), FrameDisposition::protocol_mismatch)
      << "version is checked before the type";
  h.version = 6;
  h.reserved = 1;
  h.type = 2;
  EXPECT_EQ(ClassifyRequestFrame(h), FrameDisposition::protocol_mismatch);
}

TEST(MessageTypes, KnownRangeAndReplyTimeouts) {
  EXPECT_FALSE(IsKnownMessageType(0));
  EXPECT_TRUE(IsKnownMessageType(1));
  EXPECT_TRUE(IsKnownMessageType(14));
  EXPECT_FALSE(IsKnownMessageType(15));
  EXPECT_FALSE(IsKnownMessageType(0xFFFF));
  EXPECT_EQ(ReplyTimeoutMs(5, 12000), 60000u);
  for (uint16_t t : std::initializer_list<uint16_t>{0, 1, 4, 6, 9, 14, 15})
    EXPECT_EQ(ReplyTimeoutMs(t, 12000), 12000u) << t;
}

}  // namespace
}  // namespace tovra::common
