#include "common/text/utf8.h"

#include <cstdint>

namespace tovra::common {

Utf8Step ScanUtf8(std::string_view bytes, size_t i) {
  const auto at = [&](size_t k) { return static_cast<uint8_t>(bytes[k]); };
  const uint8_t lead = at(i);
  if (lead < 0x80) return {1, true};
  // The second byte's range depends on the lead; it is what excludes overlong
  // forms (E0, F0), surrogates (ED) and values above U+10FFFF (F4).
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};  // stray continuation byte, C0/C1 overlong lead, or F5..FF
  }
  if (i + 1 >= bytes.size() || at(i + 1) < low || at(i + 1) > high) return {1, false};
  for (size_t k = 2; k < length; ++k) {
    if (i + k >= bytes.size() || at(i + k) < 0x80 || at(i + k) > 0xBF) return {k, false};
  }
  return {length, true};
}

bool IsWellFormedUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Step step = ScanUtf8(bytes, i);
    if (!step.valid) return false;
    i += step.length;
  }
  return true;
}

}  // namespace tovra::common
