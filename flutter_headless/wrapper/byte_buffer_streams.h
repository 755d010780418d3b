// The codec's own streams over a byte vector. The reader never reads past the
// message: running off its end throws DecodeError, which the codec turns into a
// failed decode, so a truncated or lying message cannot be read as zeros.
#ifndef FLUTTER_HEADLESS_WRAPPER_BYTE_BUFFER_STREAMS_H_
#define FLUTTER_HEADLESS_WRAPPER_BYTE_BUFFER_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flutter/byte_streams.h"

namespace flutter {
namespace internal {

struct DecodeError {
  const char* what;
};

class ByteBufferStreamReader : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

  uint8_t ReadByte() override {
    if (location_ >= size_) {
      throw DecodeError{"read past the end of the message"};
    }
    return bytes_[location_++];
  }

  void ReadBytes(uint8_t* buffer, size_t length) override {
    if (length > size_ - location_) {
      throw DecodeError{"read past the end of the message"};
    }
    if (length > 0) {
      std::memcpy(buffer, bytes_ + location_, length);
    }
    location_ += length;
  }

  void ReadAlignment(uint8_t alignment) override {
    if (alignment == 0) return;
    const size_t mod = location_ % alignment;
    if (mod != 0) {
      ReadSkip(alignment - mod);
    }
  }

 private:
  void ReadSkip(size_t length) {
    if (length > size_ - location_) {
      throw DecodeError{"read past the end of the message"};
    }
    location_ += length;
  }

  const uint8_t* bytes_;
  size_t size_;
  size_t location_ = 0;
};

class ByteBufferStreamWriter : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : bytes_(buffer) {}

  void WriteByte(uint8_t byte) override { bytes_->push_back(byte); }

  void WriteBytes(const uint8_t* bytes, size_t length) override {
    if (length > 0) {
      bytes_->insert(bytes_->end(), bytes, bytes + length);
    }
  }

  void WriteAlignment(uint8_t alignment) override {
    if (alignment == 0) return;
    const size_t mod = bytes_->size() % alignment;
    if (mod != 0) {
      bytes_->insert(bytes_->end(), alignment - mod, 0);
    }
  }

 private:
  std::vector<uint8_t>* bytes_;
};

}  // namespace internal
}  // namespace flutter

#endif  // FLUTTER_HEADLESS_WRAPPER_BYTE_BUFFER_STREAMS_H_
