// The portable check must agree with the Windows converter itself on every
// lead/continuation pattern around the boundaries, in isolation and in context.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "common/text/utf8.h"

namespace tovra::common {
namespace {

bool WindowsAccepts(const std::string& bytes) {
  if (bytes.empty()) return true;
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                             static_cast<int>(bytes.size()), nullptr, 0) != 0;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : bytes) {
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
    s += ' ';
  }
  return s;
}

class Comparison {
 public:
  // Checks `core` alone and wrapped: after ASCII, before ASCII, and before a
  // lead byte (so a truncated sequence is followed by something that is not a
  // continuation).
  void Check(const std::string& core) {
    for (const std::string& s : {core, "a" + core, core + "z", core + "\xC3\xA9"}) {
      ++checked_;
      const bool ours = IsWellFormedUtf8(s);
      if (ours != WindowsAccepts(s) && failures_ < 20) {
        ++failures_;
        ADD_FAILURE() << "disagree on " << Hex(s) << ": portable says " << ours;
      }
    }
  }
  size_t checked() const { return checked_; }

 private:
  size_t checked_ = 0;
  int failures_ = 0;
};

// Continuation-byte values at and around every boundary the rules use.
constexpr std::array<uint8_t, 12> kEdges = {0x00, 0x41, 0x7F, 0x80, 0x81, 0x8F,
                                            0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};

TEST(Utf8AgainstWindows, EveryOneAndTwoBytePattern) {
  Comparison cmp;
  for (int a = 0; a < 256; ++a) {
    cmp.Check(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) {
      cmp.Check(std::string{static_cast<char>(a), static_cast<char>(b)});
    }
  }
  EXPECT_EQ(cmp.checked(), 4u * (256 + 65536));
}

TEST(Utf8AgainstWindows, EveryThreeByteLeadWithEverySecondByte) {
  Comparison cmp;
  for (int lead = 0xC0; lead <= 0xFF; ++lead) {
    for (int second = 0; second < 256; ++second) {
      for (uint8_t third : kEdges) {
        cmp.Check(std::string{static_cast<char>(lead), static_cast<char>(second),
                              static_cast<char>(third)});
      }
    }
  }
}

TEST(Utf8AgainstWindows, EveryFourByteLeadWithEverySecondByte) {
  Comparison cmp;
  for (int lead = 0xE0; lead <= 0xFF; ++lead) {
    for (int second = 0; second < 256; ++second) {
      for (uint8_t third : kEdges) {
        for (uint8_t fourth : kEdges) {
          cmp.Check(std::string{static_cast<char>(lead), static_cast<char>(second),
                                static_cast<char>(third), static_cast<char>(fourth)});
        }
      }
    }
  }
}

TEST(Utf8AgainstWindows, ScalarBoundariesEncodedAtEveryLength) {
  // Every scalar boundary encoded in its shortest form and in each longer
  // (overlong) form, plus the first value beyond the range.
  const uint32_t values[] = {0x0,     0x7F,     0x80,     0x7FF,    0x800,   0xD7FF, 0xD800,
                             0xDBFF,  0xDC00,   0xDFFF,   0xE000,   0xFFFD,  0xFFFE, 0xFFFF,
                             0x10000, 0x10FFFF, 0x110000, 0x13FFFF, 0x1FFFFF};
  Comparison cmp;
  for (uint32_t v : values) {
    for (int length = 1; length <= 4; ++length) {
      std::string s;
      if (length == 1) {
        if (v > 0x7F) continue;
        s = std::string(1, static_cast<char>(v));
      } else {
        const int payload_bits = length == 2 ? 11 : length == 3 ? 16 : 21;
        if (v >> payload_bits) continue;
        const uint8_t lead_marks[] = {0, 0, 0xC0, 0xE0, 0xF0};
        s.push_back(static_cast<char>(lead_marks[length] | (v >> (6 * (length - 1)))));
        for (int k = length - 2; k >= 0; --k) {
          s.push_back(static_cast<char>(0x80 | ((v >> (6 * k)) & 0x3F)));
        }
      }
      cmp.Check(s);
    }
  }
}

}  // namespace
}  // namespace tovra::common
