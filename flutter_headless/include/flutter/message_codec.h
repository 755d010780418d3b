// Translates between binary messages and typed values.
#ifndef FLUTTER_HEADLESS_MESSAGE_CODEC_H_
#define FLUTTER_HEADLESS_MESSAGE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace flutter {

template <typename T>
class MessageCodec {
 public:
  MessageCodec() = default;
  MessageCodec(MessageCodec<T> const&) = delete;
  MessageCodec& operator=(MessageCodec<T> const&) = delete;
  virtual ~MessageCodec() = default;

  // A null message (no bytes at all) decodes to a default T. Returns nullptr when
  // the bytes are not a valid message.
  std::unique_ptr<T> DecodeMessage(const uint8_t* binary_message, const size_t message_size) const {
    if (!binary_message) {
      return std::make_unique<T>();
    }
    return DecodeMessageInternal(binary_message, message_size);
  }

  std::unique_ptr<T> DecodeMessage(const std::vector<uint8_t>& binary_message) const {
    const size_t size = binary_message.size();
    const uint8_t* data = size > 0 ? binary_message.data() : nullptr;
    return DecodeMessage(data, size);
  }

  std::unique_ptr<std::vector<uint8_t>> EncodeMessage(const T& message) const {
    return EncodeMessageInternal(message);
  }

 protected:
  virtual std::unique_ptr<T> DecodeMessageInternal(const uint8_t* binary_message,
                                                   const size_t message_size) const = 0;
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeMessageInternal(const T& message) const = 0;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_MESSAGE_CODEC_H_
