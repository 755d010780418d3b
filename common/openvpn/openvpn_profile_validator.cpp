#include "common/openvpn/openvpn_profile_validator.h"

#include <algorithm>
#include <array>

#include "common/text/ascii.h"

namespace tovra::openvpn {
namespace {

using common::AsciiLower;
using common::TrimAscii;

// Sorted, so membership is a binary search over a constant table: nothing is
// built at run time and nothing needs a lock.
constexpr std::array<std::string_view, 21> kAllowedDirectives = {
    "auth-nocache",  "auth-user-pass", "cipher",       "client",
    "comp-lzo",      "compress",       "data-ciphers", "dev",
    "key-direction", "nobind",         "ns-cert-type", "persist-key",
    "persist-tun",   "proto",          "remote",       "remote-cert-tls",
    "resolv-retry",  "route-method",   "status",       "tun-mtu",
    "verb",
};
static_assert(std::is_sorted(kAllowedDirectives.begin(), kAllowedDirectives.end()));

bool IsAllowedDirective(std::string_view name) {
  return std::binary_search(kAllowedDirectives.begin(), kAllowedDirectives.end(), name);
}

bool IsTokenSeparator(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  return TrimAscii(s, " \t\r");
}

// openvpn.exe ends an inline block at the first line that merely begins with the
// closing tag after any C-locale white space; these are the leading bytes it skips.
std::string_view TrimLeadingForBlockEnd(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\v' ||
                        s.front() == '\f' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  return s;
}

bool IsCommentOrEmpty(std::string_view trimmed) {
  return trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';';
}

// Calls `f(line)` for every LF-separated line; the text after the last LF is one
// more line. Stops early when `f` returns false.
template <typename F>
void ForEachLine(std::string_view text, F&& f) {
  size_t start = 0;
  while (true) {
    const size_t lf = text.find('\n', start);
    const std::string_view line =
        text.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
    if (!f(line)) return;
    if (lf == std::string_view::npos) return;
    start = lf + 1;
  }
}

struct Tokens {
  static constexpr size_t kKept = 3;  // no rule looks past the third token
  std::array<std::string_view, kKept> first{};
  size_t count = 0;
};

Tokens Tokenize(std::string_view line) {
  Tokens t;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsTokenSeparator(line[i])) ++i;
    if (i == line.size()) break;
    const size_t begin = i;
    while (i < line.size() && !IsTokenSeparator(line[i])) ++i;
    if (t.count < Tokens::kKept) t.first[t.count] = line.substr(begin, i - begin);
    ++t.count;
  }
  return t;
}

bool IsValidProto(std::string_view value) {
  constexpr std::array<std::string_view, 9> kProtos = {
      "udp", "udp4", "udp6", "tcp", "tcp-client", "tcp4", "tcp6", "tcp4-client", "tcp6-client"};
  if (value.size() > 16) return false;
  std::array<char, 16> lower{};
  for (size_t i = 0; i < value.size(); ++i) lower[i] = AsciiLower(value[i]);
  const std::string_view v(lower.data(), value.size());
  return std::find(kProtos.begin(), kProtos.end(), v) != kProtos.end();
}

bool IsValidRemoteHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  for (const char ch : host) {
    const auto b = static_cast<uint8_t>(ch);
    if (b <= 0x20 || b == 0x7F) return false;
  }
  return true;
}

bool IsValidRemotePort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  return std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

enum class Block { kNone, kCa, kTlsAuth };

}  // namespace

OpenVpnProfileCode ValidateOpenVpnProfile(std::string_view profile) {
  using C = OpenVpnProfileCode;
  if (profile.empty()) return C::kEmpty;
  if (profile.size() > kMaxProfileBytes) return C::kTooLong;
  if (profile.find('\0') != std::string_view::npos) return C::kNulByte;

  Block block = Block::kNone;
  bool saw_ca = false, saw_client = false, saw_dev_tun = false, saw_proto = false,
       proto_valid = false, saw_remote = false, saw_auth_user_pass = false,
       auth_user_pass_argument = false;
  C verdict = C::kAccepted;

  ForEachLine(profile, [&](std::string_view raw) {
    if (raw.size() > kMaxProfileLineBytes) {
      verdict = C::kLineTooLong;
      return false;
    }
    const std::string_view line = Trim(raw);
    if (IsCommentOrEmpty(line)) return true;

    if (block != Block::kNone) {
      const std::string_view close = block == Block::kCa ? "</ca>" : "</tls-auth>";
      if (line == close) {
        block = Block::kNone;
      } else if (TrimLeadingForBlockEnd(line).starts_with(close)) {
        // openvpn.exe would end the block here and read what follows as
        // directives this validator never saw.
        verdict = C::kBlockStructure;
        return false;
      }
      return true;
    }
    if (line == "<ca>") {
      block = Block::kCa;
      saw_ca = true;
      return true;
    }
    if (line == "<tls-auth>") {
      block = Block::kTlsAuth;
      return true;
    }
    if (line == "</ca>" || line == "</tls-auth>") {
      verdict = C::kBlockStructure;
      return false;
    }

    const Tokens tokens = Tokenize(line);
    const std::string_view name = tokens.first[0];
    if (!IsAllowedDirective(name)) {
      verdict = C::kDirectiveNotAllowed;
      return false;
    }
    if (name == "client") {
      saw_client = true;
    } else if (name == "dev") {
      if (tokens.count != 2 || tokens.first[1] != "tun") {
        verdict = C::kBadDev;
        return false;
      }
      saw_dev_tun = true;
    } else if (name == "proto") {
      saw_proto = true;
      if (tokens.count == 2) proto_valid = IsValidProto(tokens.first[1]);
    } else if (name == "remote") {
      if (tokens.count < 2 || !IsValidRemoteHost(tokens.first[1]) ||
          (tokens.count >= 3 && !IsValidRemotePort(tokens.first[2]))) {
        verdict = C::kBadRemote;
        return false;
      }
      saw_remote = true;
    } else if (name == "auth-user-pass") {
      saw_auth_user_pass = true;
      if (tokens.count > 1) auth_user_pass_argument = true;
    }
    return true;
  });

  if (verdict != C::kAccepted) return verdict;
  if (block != Block::kNone) return C::kBlockStructure;
  if (!saw_client) return C::kNoClient;
  if (!saw_dev_tun) return C::kBadDev;
  if (!saw_proto || !proto_valid) return C::kNoValidProto;
  if (!saw_remote) return C::kNoRemote;
  if (!saw_auth_user_pass) return C::kNoAuthUserPass;
  if (auth_user_pass_argument) return C::kAuthUserPassArgument;
  if (!saw_ca) return C::kNoCaBlock;
  return C::kAccepted;
}

common::SecretBuffer EnsureDirective(std::string_view profile, std::string_view directive) {
  bool present = false;
  ForEachLine(profile, [&](std::string_view raw) {
    const std::string_view line = Trim(raw);
    if (IsCommentOrEmpty(line)) return true;
    present = Tokenize(line).first[0] == directive;
    return !present;
  });
  const bool needs_lf = !present && !profile.empty() && profile.back() != '\n';
  common::SecretBuffer out;
  out.reserve(profile.size() + (present ? 0 : (needs_lf ? 1 : 0) + directive.size() + 1));
  out.append(profile.data(), profile.size());
  if (present) return out;
  if (needs_lf) out.push_back('\n');
  out.append(directive.data(), directive.size());
  out.push_back('\n');
  return out;
}

std::string_view OpenVpnProfileCodeMeaning(OpenVpnProfileCode code) {
  switch (code) {
    case OpenVpnProfileCode::kAccepted:
      return "accepted";
    case OpenVpnProfileCode::kEmpty:
      return "empty profile";
    case OpenVpnProfileCode::kTooLong:
      return "profile longer than 16384 bytes";
    case OpenVpnProfileCode::kLineTooLong:
      return "a line longer than 512 bytes";
    case OpenVpnProfileCode::kNulByte:
      return "profile contains a NUL byte";
    case OpenVpnProfileCode::kNoClient:
      return "no \"client\" directive";
    case OpenVpnProfileCode::kBadDev:
      return "missing or invalid \"dev\" (anything but one \"dev\" line with the single "
             "argument \"tun\")";
    case OpenVpnProfileCode::kNoValidProto:
      return "no valid \"proto\" directive";
    case OpenVpnProfileCode::kNoRemote:
      return "no \"remote\" directive";
    case OpenVpnProfileCode::kBadRemote:
      return "invalid \"remote\" directive";
    case OpenVpnProfileCode::kNoAuthUserPass:
      return "no \"auth-user-pass\" directive";
    case OpenVpnProfileCode::kAuthUserPassArgument:
      return "\"auth-user-pass\" with an argument";
    case OpenVpnProfileCode::kNoCaBlock:
      return "no \"<ca>\" block";
    case OpenVpnProfileCode::kBlockStructure:
      return "block structure error: a closing tag outside its block, or a block not closed "
             "at the end";
    case OpenVpnProfileCode::kDirectiveNotAllowed:
      return "directive not in the allowed set (this includes any other inline block tag)";
  }
  return "unknown code";
}

}  // namespace tovra::openvpn
