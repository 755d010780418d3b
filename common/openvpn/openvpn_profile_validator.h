// The policy gate for OpenVPN profiles: a profile may hold only the handful of
// directives a client connection needs plus the "<ca>" and "<tls-auth>" blocks,
// because whatever passes is executed by openvpn.exe with elevated rights.
//
// Pure functions on byte strings: no I/O, no logging, no shared mutable state,
// safe from any thread. The Agent and the Service both call them and must reach
// the same verdict, so neither may add rules of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/base/secret_buffer.h"

namespace tovra::openvpn {

enum class OpenVpnProfileCode : uint16_t {
  kAccepted = 0,
  kEmpty = 1,
  kTooLong = 2,
  kLineTooLong = 3,
  kNulByte = 4,
  kNoClient = 5,
  kBadDev = 6,
  kNoValidProto = 7,
  kNoRemote = 8,
  kBadRemote = 9,
  kNoAuthUserPass = 10,
  kAuthUserPassArgument = 11,
  kNoCaBlock = 12,
  kBlockStructure = 13,
  kDirectiveNotAllowed = 14,
};

inline constexpr size_t kMaxProfileBytes = 16384;
inline constexpr size_t kMaxProfileLineBytes = 512;

// The first violation found, or kAccepted.
OpenVpnProfileCode ValidateOpenVpnProfile(std::string_view profile);

// `profile` unchanged when some non-comment line already starts with the token
// `directive` (inline blocks are not looked into); otherwise a copy with
// `directive` appended on a line of its own. The result is a profile, so it lives
// in self-wiping storage allocated once at its final size.
common::SecretBuffer EnsureDirective(std::string_view profile, std::string_view directive);

// One-line English meaning of a code, for diagnostics tools.
std::string_view OpenVpnProfileCodeMeaning(OpenVpnProfileCode code);

}  // namespace tovra::openvpn
