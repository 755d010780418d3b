// Byte-level reader and writer interfaces the standard codec serializer works on.
// Alignment is relative to the start of the message being read or written.
#ifndef FLUTTER_HEADLESS_BYTE_STREAMS_H_
#define FLUTTER_HEADLESS_BYTE_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace flutter {

class ByteStreamReader {
 public:
  explicit ByteStreamReader() = default;
  virtual ~ByteStreamReader() = default;

  virtual uint8_t ReadByte() = 0;
  virtual void ReadBytes(uint8_t* buffer, size_t length) = 0;
  // Skips to the next multiple of `alignment` from the start of the message.
  virtual void ReadAlignment(uint8_t alignment) = 0;

  uint16_t ReadInt16() {
    uint8_t b[2];
    ReadBytes(b, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
  }
  int32_t ReadInt32() {
    uint8_t b[4];
    ReadBytes(b, 4);
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b[i];
    return static_cast<int32_t>(v);
  }
  int64_t ReadInt64() {
    uint8_t b[8];
    ReadBytes(b, 8);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
    return static_cast<int64_t>(v);
  }
  double ReadDouble() {
    const uint64_t bits = static_cast<uint64_t>(ReadInt64());
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
};

class ByteStreamWriter {
 public:
  explicit ByteStreamWriter() = default;
  virtual ~ByteStreamWriter() = default;

  virtual void WriteByte(uint8_t byte) = 0;
  virtual void WriteBytes(const uint8_t* bytes, size_t length) = 0;
  // Pads with zeros to the next multiple of `alignment` from the message start.
  virtual void WriteAlignment(uint8_t alignment) = 0;

  void WriteInt16(int16_t value) {
    const uint16_t v = static_cast<uint16_t>(value);
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    WriteBytes(b, 2);
  }
  void WriteInt32(int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    WriteBytes(b, 4);
  }
  void WriteInt64(int64_t value) {
    const uint64_t v = static_cast<uint64_t>(value);
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    WriteBytes(b, 8);
  }
  void WriteDouble(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    WriteInt64(static_cast<int64_t>(bits));
  }
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_BYTE_STREAMS_H_
