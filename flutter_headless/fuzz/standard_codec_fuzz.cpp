// Decoding arbitrary bytes never crashes, never reads outside the input, and
// whatever decodes re-encodes to bytes that decode and re-encode to themselves.
#include <flutter/standard_message_codec.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& codec = flutter::StandardMessageCodec::GetInstance();
  // An exact-size heap copy, so ASan sees any over-read.
  std::vector<uint8_t> copy(data, data + size);
  copy.shrink_to_fit();
  std::unique_ptr<flutter::EncodableValue> value = codec.DecodeMessage(copy);
  if (!value) return 0;
  const std::unique_ptr<std::vector<uint8_t>> encoded = codec.EncodeMessage(*value);
  std::unique_ptr<flutter::EncodableValue> again = codec.DecodeMessage(*encoded);
  if (!again) std::abort();
  const std::unique_ptr<std::vector<uint8_t>> reencoded = codec.EncodeMessage(*again);
  if (*reencoded != *encoded) std::abort();
  return 0;
}
