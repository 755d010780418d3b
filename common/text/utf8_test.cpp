#include "common/text/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace tovra::common {
namespace {

struct Row {
  std::string bytes;
  bool valid;
};

TEST(Utf8Validation, BoundariesOfEverySequenceLength) {
  const Row rows[] = {
      {"", true},
      {std::string("\0", 1), true},
      {"\x7F", true},
      {"\x80", false},  // stray continuation
      {"\xBF", false},
      {"\xC0\x80", false},  // overlong NUL
      {"\xC1\xBF", false},  // overlong U+007F
      {"\xC2\x80", true},   // U+0080
      {"\xDF\xBF", true},   // U+07FF
      {"\xC2", false},      // truncated
      {"\xC2\x7F", false},
      {"\xC2\xC0", false},
      {"\xE0\x9F\xBF", false},  // overlong U+07FF
      {"\xE0\xA0\x80", true},   // U+0800
      {"\xEC\xBF\xBF", true},
      {"\xED\x9F\xBF", true},   // U+D7FF
      {"\xED\xA0\x80", false},  // U+D800, a surrogate
      {"\xED\xBF\xBF", false},  // U+DFFF
      {"\xEE\x80\x80", true},   // U+E000
      {"\xEF\xBF\xBF", true},   // U+FFFF, a noncharacter but well-formed
      {"\xEF\xBB\xBF", true},   // byte-order mark
      {"\xE0\xA0", false},      // truncated
      {"\xE1\x80\x7F", false},
      {"\xF0\x8F\xBF\xBF", false},  // overlong U+FFFF
      {"\xF0\x90\x80\x80", true},   // U+10000
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xF4\x90\x80\x80", false},  // U+110000
      {"\xF5\x80\x80\x80", false},
      {"\xF8\x88\x80\x80\x80", false},  // old five-byte form
      {"\xFF", false},
      {"\xF0\x90\x80", false},  // truncated
      {"\xF0\x90\x80\xC0", false},
      {"a\xC3\xA9z", true},
      {"a\xC3", false},         // truncated at the very end
      {"\xC3\xA9\x80", false},  // one continuation too many
  };
  for (const Row& row : rows) {
    std::string hex;
    for (unsigned char c : row.bytes) {
      hex += "0123456789ABCDEF"[c >> 4];
      hex += "0123456789ABCDEF"[c & 15];
      hex += ' ';
    }
    EXPECT_EQ(IsWellFormedUtf8(row.bytes), row.valid) << hex;
  }
}

TEST(Utf8Validation, NeverReadsPastTheView) {
  const std::string whole = "\xE2\x82\xAC";  // the euro sign
  EXPECT_TRUE(IsWellFormedUtf8(whole));
  for (size_t cut = 1; cut < whole.size(); ++cut) {
    EXPECT_FALSE(IsWellFormedUtf8(std::string_view(whole).substr(0, cut))) << cut;
  }
}

}  // namespace
}  // namespace tovra::common
