// Reads and writes EncodableValue in the standard codec's byte format. Subclass it
// to add custom types (type bytes from 128): override WriteValue and
// ReadValueOfType and defer to this class for everything else.
#ifndef FLUTTER_HEADLESS_STANDARD_CODEC_SERIALIZER_H_
#define FLUTTER_HEADLESS_STANDARD_CODEC_SERIALIZER_H_

#include <cstddef>
#include <cstdint>

#include "byte_streams.h"
#include "encodable_value.h"

namespace flutter {

class StandardCodecSerializer {
 public:
  virtual ~StandardCodecSerializer();

  StandardCodecSerializer(StandardCodecSerializer const&) = delete;
  StandardCodecSerializer& operator=(StandardCodecSerializer const&) = delete;

  static const StandardCodecSerializer& GetInstance();

  // Reads one type byte and the value that follows it.
  EncodableValue ReadValue(ByteStreamReader* stream) const;

  // A CustomEncodableValue is written as null (with a line on standard error):
  // only a subclass knows its bytes.
  virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;

 protected:
  StandardCodecSerializer();

  // An unknown type byte yields null (with a line on standard error).
  virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

  size_t ReadSize(ByteStreamReader* stream) const;
  void WriteSize(size_t size, ByteStreamWriter* stream) const;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_STANDARD_CODEC_SERIALIZER_H_
