// Numeric IP address recognition for configuration values. The platform's
// inet_pton decides, behind a portable filter that first refuses the forms on
// which glibc and Windows disagree (or might): anything outside the address
// alphabet (zone ids, blanks, hex or octal IPv4) and IPv4 octets with leading
// zeros, also inside IPv6. Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace tovra::service {

[[nodiscard]] bool IsIpv4Address(std::string_view text);
bool IsIpv6Address(std::string_view text);

enum class AddressFamily : uint8_t { kIpv4, kIpv6 };

// The platform's own verdict for a NUL-terminated text, without the filter:
// inet_pton on POSIX, ws2_32's inet_pton on Windows.
[[nodiscard]] bool PlatformInetPton(AddressFamily family, const char* text);

}  // namespace tovra::service
