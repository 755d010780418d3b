// The gate between a WireGuard configuration written by the user interface and
// wireguard.exe. The text is parsed with a small strict grammar; on success a
// fresh configuration is rendered from the parsed values alone, so nothing of
// the input that was not understood can reach the tunnel service.
//
// Pure: no I/O, no logging, no shared state; safe from any thread. The parsed
// values are views into the caller's text and are never copied, so the private
// and preshared keys exist only in the caller's buffer and in the rendered text.
// The caller wipes both after use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovra::service {

enum class WireGuardConfigCode : uint16_t {
  kAccepted = 0,
  kEmpty = 1,
  kTooLong = 2,
  kLineTooLong = 3,
  kControlCharacter = 4,
  kNotUtf8 = 5,
  kKeyOutsideSection = 6,
  kNoEquals = 7,
  kEmptyValue = 8,
  kUnknownSection = 9,
  kNoInterface = 10,
  kUnknownKey = 11,
  kDuplicateKey = 12,
  kMalformedKey = 13,
  kBadAddress = 14,
  kBadEndpoint = 15,
  kNumberOutOfRange = 16,
  kBadDns = 17,
  kNoPrivateKey = 18,
  kNoPublicKey = 19,
  kNoEndpoint = 20,
  kNoAllowedIps = 21,
  kNoPeer = 22,
  kTooManyPeers = 23,
};

inline constexpr size_t kMaxWireGuardConfigBytes = 32768;
inline constexpr size_t kMaxWireGuardLineBytes = 4096;
inline constexpr size_t kMaxWireGuardPeers = 16;
inline constexpr size_t kMaxAddressEntriesPerLine = 16;  // Address and DNS
inline constexpr size_t kMaxAllowedIpsEntriesPerLine = 64;

struct WireGuardConfigResult {
  WireGuardConfigCode code = WireGuardConfigCode::kAccepted;
  std::string text;  // the rendered configuration; empty unless code is kAccepted
};

[[nodiscard]] WireGuardConfigResult ValidateWireGuardConfig(std::string_view config);

// One-line English meaning of a code, for diagnostics tools.
std::string_view WireGuardConfigCodeMeaning(WireGuardConfigCode code);

}  // namespace tovra::service
