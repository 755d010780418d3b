// The standard message codec: one shared instance per serializer.
#ifndef FLUTTER_HEADLESS_STANDARD_MESSAGE_CODEC_H_
#define FLUTTER_HEADLESS_STANDARD_MESSAGE_CODEC_H_

#include <memory>
#include <vector>

#include "encodable_value.h"
#include "message_codec.h"
#include "standard_codec_serializer.h"

namespace flutter {

class StandardMessageCodec : public MessageCodec<EncodableValue> {
 public:
  // The instance for `serializer` (the plain standard one when null). Instances live
  // for the rest of the process; the serializer must too.
  static const StandardMessageCodec& GetInstance(
      const StandardCodecSerializer* serializer = nullptr);

  ~StandardMessageCodec();

  StandardMessageCodec(StandardMessageCodec const&) = delete;
  StandardMessageCodec& operator=(StandardMessageCodec const&) = delete;

 protected:
  explicit StandardMessageCodec(const StandardCodecSerializer* serializer);

  // Bytes after the first value are ignored. Returns nullptr for a truncated
  // message, a declared size larger than the message, values nested more than 256
  // deep, or an exception raised by a custom serializer.
  std::unique_ptr<EncodableValue> DecodeMessageInternal(const uint8_t* binary_message,
                                                        const size_t message_size) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeMessageInternal(
      const EncodableValue& message) const override;

 private:
  const StandardCodecSerializer* serializer_;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_STANDARD_MESSAGE_CODEC_H_
