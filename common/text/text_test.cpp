#include "common/text/text.h"

#include <gtest/gtest.h>

#include "common/base/secure_zero.h"

namespace tovra::common {
namespace {

TEST(Text, RoundTripsAcrossEveryEncodedLength) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  const std::wstring wide = Utf8ToWide(utf8);
  if constexpr (sizeof(wchar_t) == 2) {
    EXPECT_EQ(wide.size(), 6u);  // the emoji is a surrogate pair
  } else {
    EXPECT_EQ(wide.size(), 5u);
  }
  EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(Text, IllFormedInputBecomesReplacementCharacters) {
  const std::wstring fffd(1, static_cast<wchar_t>(0xFFFD));
  EXPECT_EQ(Utf8ToWide("\x80"), fffd);
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), fffd + fffd);  // overlong '/'
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), fffd);         // truncated
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80").find(L'\xD800'), std::wstring::npos);
  EXPECT_EQ(Utf8ToWide("ok\xFF"), L"ok" + fffd);
  // One U+FFFD per maximal ill-formed prefix: E0 80 is no prefix of anything.
  EXPECT_EQ(Utf8ToWide("\xE0\x80"
                       "A"),
            fffd + fffd + L"A");
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98"
                       "A"),
            fffd + L"A");
}

TEST(Text, LoneSurrogateIsReplacedOnTheWayOut) {
  if constexpr (sizeof(wchar_t) == 2) {
    std::wstring w = L"x";
    w.push_back(static_cast<wchar_t>(0xD800));
    w.push_back(L'y');
    EXPECT_EQ(WideToUtf8(w), "x\xEF\xBF\xBDy");
  }
}

TEST(SecureZero, WipesTheWholeCapacityAndEmpties) {
  std::string secret = "PrivateKey=0123456789abcdef0123456789abcdef0123456789";
  secret.resize(4);  // the tail still holds key bytes
  const size_t capacity = secret.capacity();
  const char* data = secret.data();
  SecureZero(secret);
  EXPECT_TRUE(secret.empty());
  EXPECT_EQ(secret.capacity(), capacity);
  for (size_t i = 0; i < capacity; ++i) EXPECT_EQ(data[i], 0) << i;

  std::vector<uint8_t> bytes(100, 0xAA);
  bytes.resize(10);
  SecureZero(bytes);
  EXPECT_TRUE(bytes.empty());
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(bytes.data()[i], 0) << i;
}

}  // namespace
}  // namespace tovra::common
