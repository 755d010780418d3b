#include "agent/openvpn/management_protocol.h"

#include <array>
#include <utility>

namespace tovra::agent::openvpn {
namespace {

constexpr uint32_t kLoopback = 0x7F000001u;

bool IsControl(uint8_t b) {
  return b < 0x20 || b == 0x7F;
}

ManagementState StateByName(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, ManagementState>, 12> kNames{{
      {"CONNECTING", ManagementState::connecting},
      {"RESOLVE", ManagementState::resolve},
      {"TCP_CONNECT", ManagementState::tcp_connect},
      {"WAIT", ManagementState::wait},
      {"AUTH", ManagementState::auth},
      {"AUTH_PENDING", ManagementState::auth_pending},
      {"GET_CONFIG", ManagementState::get_config},
      {"ASSIGN_IP", ManagementState::assign_ip},
      {"ADD_ROUTES", ManagementState::add_routes},
      {"CONNECTED", ManagementState::connected},
      {"RECONNECTING", ManagementState::reconnecting},
      {"EXITING", ManagementState::exiting},
  }};
  for (const auto& [n, s] : kNames) {
    if (n == name) return s;
  }
  return ManagementState::none;
}

PasswordPromptKind PromptByText(std::string_view text) {
  if (text == "Need 'Private Key' password") return PasswordPromptKind::private_key;
  if (text == "Need 'Auth' username/password") return PasswordPromptKind::username_and_password;
  if (text == "Need 'Auth' username") return PasswordPromptKind::username;
  if (text == "Need 'Auth' password") return PasswordPromptKind::password;
  return PasswordPromptKind::unrecognised;
}

// 1 to 20 decimal digits whose value fits in u64.
std::optional<uint64_t> ParseCount(std::string_view field) {
  if (field.empty() || field.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool IsAuthVerificationFailure(std::string_view text) {
  constexpr std::string_view kFailed = "Verification Failed: 'Auth'";
  return text == kFailed || (text.starts_with(kFailed) && text[kFailed.size()] == ' ');
}

}  // namespace

ParsedLine ClassifyManagementLine(std::string_view line) {
  ParsedLine p;
  if (line.size() > kMaxManagementLine) {
    p.kind = LineKind::malformed;
  } else if (line.starts_with("SUCCESS:")) {
    p.kind = LineKind::success;
  } else if (line.starts_with("ERROR:")) {
    p.kind = LineKind::error;
  } else if (line.starts_with(">STATE:")) {
    // Fields: time, state name, then the rest (which may hold further commas).
    p.kind = LineKind::state;
    const std::string_view rest = line.substr(7);
    const size_t first = rest.find(',');
    if (first != std::string_view::npos) {
      std::string_view second = rest.substr(first + 1);
      second = second.substr(0, second.find(','));
      p.state = StateByName(second);
    }
  } else if (line.starts_with(">BYTECOUNT:")) {
    const std::string_view rest = line.substr(11);
    const size_t comma = rest.find(',');
    std::optional<uint64_t> in, out;
    if (comma != std::string_view::npos) {
      in = ParseCount(rest.substr(0, comma));
      out = ParseCount(rest.substr(comma + 1));
    }
    if (in && out) {
      p.kind = LineKind::byte_count;
      p.bytes_in = *in;
      p.bytes_out = *out;
    } else {
      p.kind = LineKind::malformed;
    }
  } else if (line.starts_with(">HOLD:")) {
    p.kind = LineKind::hold;
  } else if (line.starts_with(">PASSWORD:")) {
    const std::string_view text = line.substr(10);
    if (IsAuthVerificationFailure(text)) {
      p.kind = LineKind::auth_verification_failed;
      p.auth_failed = true;
    } else {
      p.kind = LineKind::password_prompt;
      p.prompt = PromptByText(text);
    }
  } else if (line.starts_with(">LOG:")) {
    p.kind = LineKind::log;
  } else if (line.starts_with(">FATAL:")) {
    p.kind = LineKind::fatal;
    p.auth_failed = line.substr(7).find("AUTH_FAILED") != std::string_view::npos;
  }
  return p;
}

std::optional<common::SecretBuffer> CredentialCommand(CredentialKind kind,
                                                      std::span<const uint8_t> value) {
  if (value.empty() || value.size() >= 256) return std::nullopt;
  for (uint8_t b : value) {
    if (IsControl(b)) return std::nullopt;
  }
  const std::string_view word = kind == CredentialKind::username ? "username" : "password";
  common::SecretBuffer command;
  // Sized for the worst case up front: growing would copy the value around.
  command.reserve(word.size() + 10 + 2 * value.size());
  command.append(word.data(), word.size());
  command.append(" \"Auth\" \"", 9);
  for (uint8_t b : value) {
    if (b == '\\' || b == '"') command.push_back('\\');
    command.push_back(b);
  }
  command.append("\"\n", 2);
  return command;
}

std::optional<common::SecretBuffer> ManagementPasswordLine(std::span<const uint8_t> password) {
  if (password.empty() || password.size() > 255) return std::nullopt;
  for (uint8_t b : password) {
    if (IsControl(b)) return std::nullopt;
  }
  common::SecretBuffer line;
  line.reserve(password.size() + 1);
  line.append(password.data(), password.size());
  line.push_back('\n');
  return line;
}

std::string PreviewBytes(std::string_view bytes, size_t max) {
  std::string out(bytes.substr(0, max));
  for (char& c : out) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x20 || b > 0x7E) c = '.';
  }
  return out;
}

std::string CommandFirstWordPreview(std::string_view command) {
  const size_t end = command.find_first_of(" \n");
  return PreviewBytes(end == std::string_view::npos ? command.substr(0, 12)
                                                    : command.substr(0, end));
}

std::string ByteCountCommand(uint32_t seconds) {
  return "bytecount " + std::to_string(seconds) + "\n";
}

std::optional<std::string> LineAssembler::TakeLine() {
  const size_t nl = buffer_.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  size_t end = nl;
  if (end > 0 && buffer_[end - 1] == '\r') --end;
  std::string line = buffer_.substr(0, end);
  buffer_.erase(0, nl + 1);
  return line;
}

bool LineAssembler::Overflowed() const {
  return buffer_.size() > kMaxManagementLine && buffer_.find('\n') == std::string::npos;
}

bool LineAssembler::TakeThrough(std::string_view marker) {
  const size_t at = buffer_.find(marker);
  if (at == std::string::npos) return false;
  buffer_.erase(0, at + marker.size());
  return true;
}

PeerOwnerVerdict JudgeManagementPeer(std::span<const TcpOwnerRow> rows, uint16_t our_local_port,
                                     uint16_t server_port, uint32_t our_pid,
                                     uint32_t expected_pid) {
  bool our_end_owned = false;
  bool server_end_seen = false;
  bool server_end_foreign = false;
  for (const TcpOwnerRow& r : rows) {
    if (r.local_addr != kLoopback || r.remote_addr != kLoopback) continue;
    if (r.local_port == our_local_port && r.remote_port == server_port) {
      if (r.owner_pid == our_pid && our_pid != 0) our_end_owned = true;
    } else if (r.local_port == server_port && r.remote_port == our_local_port) {
      server_end_seen = true;
      if (r.owner_pid != expected_pid) server_end_foreign = true;
    }
  }
  if (!our_end_owned) return PeerOwnerVerdict::undecidable;
  return server_end_seen && !server_end_foreign && expected_pid != 0 ? PeerOwnerVerdict::trusted
                                                                     : PeerOwnerVerdict::untrusted;
}

}  // namespace tovra::agent::openvpn
