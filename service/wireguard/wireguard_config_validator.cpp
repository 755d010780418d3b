#include "service/wireguard/wireguard_config_validator.h"

#include <array>
#include <vector>

#include "common/text/ascii.h"
#include "common/text/utf8.h"
#include "service/wireguard/address_parse.h"

namespace tovra::service {
namespace {

using Code = WireGuardConfigCode;
using common::EqualsIgnoringAsciiCase;

// ---- text helpers ----

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
std::string_view Trim(std::string_view s) {
  return common::TrimAscii(s, " \t\r\n");
}

// ---- element rules ----

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The canonical Base64 form of 32 bytes: the last data character may carry only
// the four bits that are left, so its two low bits must be zero.
bool IsValidKey(std::string_view key) {
  if (key.size() != 44 || key[43] != '=') return false;
  for (size_t i = 0; i < 43; ++i) {
    if (Base64Value(key[i]) < 0) return false;
  }
  const char last = key[42];
  return (IsAsciiLetter(last) || common::IsAsciiDigit(last)) && Base64Value(last) % 4 == 0;
}

// 1 to 5 digits, never above 65535 on the way, then within [low, high].
bool ParseNumber(std::string_view text, uint32_t low, uint32_t high, uint16_t& out) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (const char c : text) {
    if (!common::IsAsciiDigit(c)) return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) return false;
  }
  if (value < low || value > high) return false;
  out = static_cast<uint16_t>(value);
  return true;
}

bool IsValidAddressWithPrefix(std::string_view entry) {
  const size_t slash = entry.find('/');
  const std::string_view address = entry.substr(0, slash);
  if (address.empty()) return false;
  uint32_t max_prefix = 0;
  if (IsIpv6Address(address)) {
    max_prefix = 128;
  } else if (IsIpv4Address(address)) {
    max_prefix = 32;
  } else {
    return false;
  }
  if (slash == std::string_view::npos) return true;
  const std::string_view prefix = entry.substr(slash + 1);
  if (prefix.empty()) return true;  // "10.0.0.2/" means no prefix
  uint16_t ignored = 0;
  return ParseNumber(prefix, 0, max_prefix, ignored);
}

bool IsHostNameCharacter(char c) {
  return IsAsciiLetter(c) || common::IsAsciiDigit(c) || c == '-' || c == '.';
}

bool IsValidDnsEntry(std::string_view entry) {
  if (entry.find('/') == std::string_view::npos && IsValidAddressWithPrefix(entry)) return true;
  if (entry.empty() || entry.size() > 253) return false;
  for (const char c : entry) {
    if (!IsHostNameCharacter(c)) return false;
  }
  return entry.front() != '.' && entry.back() != '.' && entry.front() != '-';
}

bool IsValidEndpointPort(std::string_view port) {
  uint16_t ignored = 0;
  return ParseNumber(port, 1, 65535, ignored);
}

bool IsValidEndpoint(std::string_view value) {
  if (!value.empty() && value.front() == '[') {
    const size_t close = value.find(']');
    if (close == std::string_view::npos || close + 1 >= value.size() || value[close + 1] != ':') {
      return false;
    }
    return IsIpv6Address(value.substr(1, close - 1)) &&
           IsValidEndpointPort(value.substr(close + 2));
  }
  const size_t colon = value.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= value.size()) return false;
  const std::string_view host = value.substr(0, colon);
  if (host.find(':') != std::string_view::npos) return false;
  if (!IsIpv4Address(host)) {
    if (host.size() > 253) return false;
    for (const char c : host) {
      if (!IsHostNameCharacter(c)) return false;
    }
    if (host.front() == '-' || host.front() == '.' || host.back() == '-') return false;
  }
  return IsValidEndpointPort(value.substr(colon + 1));
}

// Cuts `value` at every comma and appends the trimmed pieces to `out`. Fails on
// an empty piece or on more than `max_entries` pieces; nothing is appended then.
template <typename Check>
bool AppendList(std::string_view value, size_t max_entries, Check&& valid,
                std::vector<std::string_view>& out) {
  const size_t first_new = out.size();
  size_t start = 0;
  while (true) {
    const size_t comma = value.find(',', start);
    const std::string_view piece = Trim(value.substr(
        start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (piece.empty() || out.size() - first_new == max_entries || !valid(piece)) {
      out.resize(first_new);
      return false;
    }
    out.push_back(piece);
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

// ---- parsed model: views into the caller's text, alive for one call ----

struct Peer {
  std::string_view public_key;
  std::string_view preshared_key;
  std::string_view endpoint;
  std::vector<std::string_view> allowed_ips;
  uint16_t keepalive = 0;
  bool keepalive_given = false;
};

struct Model {
  std::string_view private_key;
  std::vector<std::string_view> addresses;
  std::vector<std::string_view> dns;
  uint16_t mtu = 0;
  bool mtu_given = false;
  uint16_t listen_port = 0;
  bool listen_port_given = false;
  std::vector<Peer> peers;
};

enum class Section { kNone, kInterface, kPeer };

class Parser {
 public:
  Code ParseLine(std::string_view raw);
  Code Finish() const;
  const Model& model() const { return model_; }

 private:
  Code InterfaceKey(std::string_view key, std::string_view value);
  Code PeerKey(std::string_view key, std::string_view value);

  Model model_;
  Section section_ = Section::kNone;
  bool interface_seen_ = false;
  bool address_given_ = false;
  // Shared by the interface's PrivateKey and the current peer's PublicKey: a
  // [Peer] header clears it, an [Interface] header does not.
  bool key_given_ = false;
};

Code Parser::ParseLine(std::string_view raw) {
  if (raw.size() > kMaxWireGuardLineBytes) return Code::kLineTooLong;
  const std::string_view line = Trim(raw.substr(0, raw.find('#')));
  if (line.empty()) return Code::kAccepted;

  if (EqualsIgnoringAsciiCase(line, "[interface]")) {
    section_ = Section::kInterface;
    interface_seen_ = true;
    return Code::kAccepted;
  }
  if (EqualsIgnoringAsciiCase(line, "[peer]")) {
    if (!interface_seen_) return Code::kNoInterface;
    if (model_.peers.size() == kMaxWireGuardPeers) return Code::kTooManyPeers;
    model_.peers.emplace_back();
    section_ = Section::kPeer;
    key_given_ = false;
    return Code::kAccepted;
  }
  if (line.front() == '[') return Code::kUnknownSection;

  if (section_ == Section::kNone) return Code::kKeyOutsideSection;
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return Code::kNoEquals;
  const std::string_view key = Trim(line.substr(0, equals));
  const std::string_view value = Trim(line.substr(equals + 1));
  if (value.empty()) return Code::kEmptyValue;
  return section_ == Section::kInterface ? InterfaceKey(key, value) : PeerKey(key, value);
}

Code Parser::InterfaceKey(std::string_view key, std::string_view value) {
  if (EqualsIgnoringAsciiCase(key, "privatekey")) {
    if (key_given_) return Code::kDuplicateKey;
    key_given_ = true;
    if (!IsValidKey(value)) return Code::kMalformedKey;
    model_.private_key = value;
    return Code::kAccepted;
  }
  if (EqualsIgnoringAsciiCase(key, "address")) {
    if (!AppendList(value, kMaxAddressEntriesPerLine, IsValidAddressWithPrefix, model_.addresses)) {
      return Code::kBadAddress;
    }
    address_given_ = true;
    return Code::kAccepted;
  }
  if (EqualsIgnoringAsciiCase(key, "dns")) {
    return AppendList(value, kMaxAddressEntriesPerLine, IsValidDnsEntry, model_.dns)
               ? Code::kAccepted
               : Code::kBadDns;
  }
  if (EqualsIgnoringAsciiCase(key, "mtu")) {
    if (model_.mtu_given) return Code::kDuplicateKey;
    if (!ParseNumber(value, 1280, 1500, model_.mtu)) return Code::kNumberOutOfRange;
    model_.mtu_given = true;
    return Code::kAccepted;
  }
  if (EqualsIgnoringAsciiCase(key, "listenport")) {
    if (model_.listen_port_given) return Code::kDuplicateKey;
    if (!ParseNumber(value, 0, 65535, model_.listen_port)) return Code::kNumberOutOfRange;
    model_.listen_port_given = true;
    return Code::kAccepted;
  }
  return Code::kUnknownKey;
}

Code Parser::PeerKey(std::string_view key, std::string_view value) {
  Peer& peer = model_.peers.back();
  if (EqualsIgnoringAsciiCase(key, "publickey")) {
    if (key_given_) return Code::kDuplicateKey;
    key_given_ = true;
    if (!IsValidKey(value)) return Code::kMalformedKey;
    peer.public_key = value;
    return Code::kAccepted;
  }
  if (EqualsIgnoringAsciiCase(key, "presharedkey")) {
    if (!peer.preshared_key.empty()) return Code::kDuplicateKey;
    if (!IsValidKey(value)) return Code::kMalformedKey;
    peer.preshared_key = value;
    return Code::kAccepted;
  }
  if (EqualsIgnoringAsciiCase(key, "endpoint")) {
    if (!peer.endpoint.empty()) return Code::kDuplicateKey;
    if (!IsValidEndpoint(value)) return Code::kBadEndpoint;
    peer.endpoint = value;
    return Code::kAccepted;
  }
  if (EqualsIgnoringAsciiCase(key, "allowedips")) {
    return AppendList(value, kMaxAllowedIpsEntriesPerLine, IsValidAddressWithPrefix,
                      peer.allowed_ips)
               ? Code::kAccepted
               : Code::kBadAddress;
  }
  if (EqualsIgnoringAsciiCase(key, "persistentkeepalive")) {
    if (peer.keepalive_given) return Code::kDuplicateKey;
    if (!ParseNumber(value, 0, 65535, peer.keepalive)) return Code::kNumberOutOfRange;
    peer.keepalive_given = true;
    return Code::kAccepted;
  }
  return Code::kUnknownKey;
}

Code Parser::Finish() const {
  if (!interface_seen_) return Code::kNoInterface;
  if (model_.private_key.empty()) return Code::kNoPrivateKey;
  if (!address_given_ || model_.addresses.empty()) return Code::kBadAddress;
  if (model_.peers.empty()) return Code::kNoPeer;
  for (const Peer& peer : model_.peers) {
    if (peer.public_key.empty()) return Code::kNoPublicKey;
    if (peer.endpoint.empty()) return Code::kNoEndpoint;
    if (peer.allowed_ips.empty()) return Code::kNoAllowedIps;
  }
  return Code::kAccepted;
}

// ---- rendering ----

// Counts or writes the rendered text, so that its exact size is known before the
// one allocation: growing the string midway would leave a freed, unwiped copy of
// the private key behind.
class Renderer {
 public:
  explicit Renderer(std::string* out) : out_(out) {}
  size_t size() const { return size_; }

  void Render(const Model& m) {
    Line("[Interface]");
    Field("PrivateKey = ", m.private_key);
    List("Address = ", m.addresses);
    if (!m.dns.empty()) List("DNS = ", m.dns);
    if (m.mtu_given) Number("MTU = ", m.mtu);
    if (m.listen_port_given) Number("ListenPort = ", m.listen_port);
    for (const Peer& peer : m.peers) {
      Line("");
      Line("[Peer]");
      Field("PublicKey = ", peer.public_key);
      if (!peer.preshared_key.empty()) Field("PresharedKey = ", peer.preshared_key);
      List("AllowedIPs = ", peer.allowed_ips);
      Field("Endpoint = ", peer.endpoint);
      if (peer.keepalive_given) Number("PersistentKeepalive = ", peer.keepalive);
    }
  }

 private:
  void Put(std::string_view s) {
    size_ += s.size();
    if (out_) out_->append(s);
  }
  void Line(std::string_view s) {
    Put(s);
    Put("\n");
  }
  void Field(std::string_view name, std::string_view value) {
    Put(name);
    Line(value);
  }
  void List(std::string_view name, const std::vector<std::string_view>& values) {
    Put(name);
    for (size_t i = 0; i < values.size(); ++i) {
      if (i) Put(", ");
      Put(values[i]);
    }
    Put("\n");
  }
  void Number(std::string_view name, uint16_t value) {
    std::array<char, 5> digits{};
    size_t n = 0;
    do {
      digits[digits.size() - 1 - n++] = static_cast<char>('0' + value % 10);
      value = static_cast<uint16_t>(value / 10);
    } while (value != 0);
    Put(name);
    Line(std::string_view(digits.data() + digits.size() - n, n));
  }

  std::string* out_;
  size_t size_ = 0;
};

Code CheckWholeInput(std::string_view config) {
  if (config.empty()) return Code::kEmpty;
  if (config.size() > kMaxWireGuardConfigBytes) return Code::kTooLong;
  for (const char ch : config) {
    const auto b = static_cast<uint8_t>(ch);
    if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7F) {
      return Code::kControlCharacter;
    }
  }
  if (!common::IsWellFormedUtf8(config)) return Code::kNotUtf8;
  return Code::kAccepted;
}

}  // namespace

WireGuardConfigResult ValidateWireGuardConfig(std::string_view config) {
  WireGuardConfigResult result;
  result.code = CheckWholeInput(config);
  if (result.code != Code::kAccepted) return result;

  Parser parser;
  size_t start = 0;
  while (start < config.size()) {
    size_t lf = config.find('\n', start);
    if (lf == std::string_view::npos) lf = config.size();
    result.code = parser.ParseLine(config.substr(start, lf - start));
    if (result.code != Code::kAccepted) return result;
    start = lf + 1;
  }
  result.code = parser.Finish();
  if (result.code != Code::kAccepted) return result;

  Renderer counter(nullptr);
  counter.Render(parser.model());
  result.text.reserve(counter.size() > config.size() ? counter.size() : config.size());
  Renderer writer(&result.text);
  writer.Render(parser.model());
  return result;
}

std::string_view WireGuardConfigCodeMeaning(WireGuardConfigCode code) {
  switch (code) {
    case Code::kAccepted:
      return "accepted";
    case Code::kEmpty:
      return "input is empty";
    case Code::kTooLong:
      return "input longer than 32768 bytes";
    case Code::kLineTooLong:
      return "a line longer than 4096 bytes";
    case Code::kControlCharacter:
      return "forbidden control character";
    case Code::kNotUtf8:
      return "input is not valid UTF-8";
    case Code::kKeyOutsideSection:
      return "a key line before any section header";
    case Code::kNoEquals:
      return "a non-empty line without \"=\"";
    case Code::kEmptyValue:
      return "empty value";
    case Code::kUnknownSection:
      return "unknown section header";
    case Code::kNoInterface:
      return "[Peer] before any [Interface], or no [Interface] section at all";
    case Code::kUnknownKey:
      return "unknown key for the current section";
    case Code::kDuplicateKey:
      return "key given twice";
    case Code::kMalformedKey:
      return "malformed key (private, public or preshared)";
    case Code::kBadAddress:
      return "malformed Address or AllowedIPs entry, or interface without Address";
    case Code::kBadEndpoint:
      return "malformed Endpoint";
    case Code::kNumberOutOfRange:
      return "number out of range (MTU, ListenPort, PersistentKeepalive)";
    case Code::kBadDns:
      return "malformed DNS entry";
    case Code::kNoPrivateKey:
      return "interface without PrivateKey";
    case Code::kNoPublicKey:
      return "peer without PublicKey";
    case Code::kNoEndpoint:
      return "peer without Endpoint";
    case Code::kNoAllowedIps:
      return "peer without AllowedIPs";
    case Code::kNoPeer:
      return "no [Peer] section";
    case Code::kTooManyPeers:
      return "more than 16 peers";
  }
  return "unknown code";
}

}  // namespace tovra::service
