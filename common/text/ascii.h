// ASCII-only text helpers for the validators and parsers: host names, keywords
// and directives compare in ASCII only, so no locale can change a decision.
#pragma once

#include <string_view>

namespace tovra::common {

constexpr bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// `lower` must already be lower case.
[[nodiscard]] constexpr bool EqualsIgnoringAsciiCase(std::string_view text,
                                                     std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (AsciiLower(text[i]) != lower[i]) return false;
  }
  return true;
}

// `s` without the characters of `set` at either end.
constexpr std::string_view TrimAscii(std::string_view s, std::string_view set) {
  while (!s.empty() && set.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
  while (!s.empty() && set.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
  return s;
}

}  // namespace tovra::common
