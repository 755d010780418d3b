#include "service/wireguard/address_parse.h"

#include <array>
#include <cstring>

#include "common/text/ascii.h"

namespace tovra::service {
namespace {

// Longest textual forms: "255.255.255.255" and an IPv6 address with all eight
// groups written out, six of them followed by an embedded dotted quad.
constexpr size_t kMaxIpv4Text = 15;
constexpr size_t kMaxIpv6Text = 45;

bool IsHex(char c) {
  return common::IsAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Windows' converter reads "01" inside an embedded dotted quad where glibc
// refuses it; refusing it here keeps both builds on glibc's side.
bool DottedPartHasLeadingZero(std::string_view dotted) {
  size_t start = 0;
  while (start <= dotted.size()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string_view::npos) dot = dotted.size();
    if (dot - start > 1 && dotted[start] == '0') return true;
    start = dot + 1;
  }
  return false;
}

bool AskPlatform(AddressFamily family, std::string_view text) {
  std::array<char, kMaxIpv6Text + 1> buffer{};
  std::memcpy(buffer.data(), text.data(), text.size());
  return PlatformInetPton(family, buffer.data());
}

}  // namespace

bool IsIpv4Address(std::string_view text) {
  if (text.empty() || text.size() > kMaxIpv4Text) return false;
  for (const char c : text) {
    if (!common::IsAsciiDigit(c) && c != '.') return false;
  }
  if (DottedPartHasLeadingZero(text)) return false;
  return AskPlatform(AddressFamily::kIpv4, text);
}

bool IsIpv6Address(std::string_view text) {
  if (text.empty() || text.size() > kMaxIpv6Text) return false;
  for (const char c : text) {
    if (!IsHex(c) && c != ':' && c != '.') return false;
  }
  const size_t last_colon = text.rfind(':');
  const std::string_view tail =
      last_colon == std::string_view::npos ? text : text.substr(last_colon + 1);
  if (tail.find('.') != std::string_view::npos && DottedPartHasLeadingZero(tail)) return false;
  return AskPlatform(AddressFamily::kIpv6, text);
}

}  // namespace tovra::service
