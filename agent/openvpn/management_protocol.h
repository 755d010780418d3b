// The OpenVPN management interface's line protocol, as the Agent's management
// client speaks it: classifying the lines OpenVPN sends, assembling them from
// received bytes, building the commands we send, the log previews of what we
// received, and the check of who owns the listening end of the connection.
//
// Portable and stateless except LineAssembler (one owner thread at a time, like
// a std::string). Nothing here logs. Every function that builds text carrying a
// secret (a credential command, the management password line) returns it in a
// SecretBuffer, and nothing when the value cannot be sent safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "agent/openvpn/openvpn_parts.h"
#include "common/base/secret_buffer.h"

namespace tovra::agent::openvpn {

// Longest line the client accepts, and the most it buffers without a line end.
inline constexpr size_t kMaxManagementLine = 4096;

enum class LineKind : uint8_t {
  other = 0,
  malformed = 1,
  state = 2,
  byte_count = 3,
  hold = 4,
  password_prompt = 5,
  log = 6,
  fatal = 7,
  success = 8,
  error = 9,
  // ">PASSWORD:Verification Failed: 'Auth'" (optionally with a reason): OpenVPN's
  // way of saying the server rejected the username/password. It ends the attempt
  // like a fatal line, so auth_failed is true and the reader delivers it through
  // the fatal callback; it is a kind of its own so it is never taken for a prompt.
  auth_verification_failed = 10,
};

struct ParsedLine {
  LineKind kind = LineKind::other;
  ManagementState state = ManagementState::none;                 // kind state
  uint64_t bytes_in = 0;                                         // kind byte_count
  uint64_t bytes_out = 0;                                        // kind byte_count
  PasswordPromptKind prompt = PasswordPromptKind::unrecognised;  // kind password_prompt
  bool auth_failed = false;  // kind fatal (AUTH_FAILED) and auth_verification_failed
};

// One line without its line end.
[[nodiscard]] ParsedLine ClassifyManagementLine(std::string_view line);

// The `username "Auth" "<value>"\n` / `password "Auth" "<value>"\n` command, with
// backslash and double quote escaped; nothing for an empty value, one of 256
// bytes or more, or one holding a control byte (below 0x20, or 0x7F).
[[nodiscard]] std::optional<common::SecretBuffer> CredentialCommand(CredentialKind kind,
                                                                    std::span<const uint8_t> value);

// The management password followed by "\n"; nothing unless it is 1 to 255 bytes
// without control bytes (the interface takes the line verbatim, so a control
// byte could end or alter it).
[[nodiscard]] std::optional<common::SecretBuffer> ManagementPasswordLine(
    std::span<const uint8_t> password);

// At most the first `max` bytes, every byte outside 0x20..0x7E shown as ".".
[[nodiscard]] std::string PreviewBytes(std::string_view bytes, size_t max = 80);

// The preview of a command's first word: the bytes before the first space or
// "\n", or the first 12 bytes when there is neither. What a failed send logs, so
// a credential's value never reaches the log.
[[nodiscard]] std::string CommandFirstWordPreview(std::string_view command);

// "bytecount <seconds>\n".
[[nodiscard]] std::string ByteCountCommand(uint32_t seconds);

// Bytes received and not yet consumed. Lines end at "\n" (one "\r" before it is
// dropped); more than kMaxManagementLine bytes without any "\n" is an overflow,
// which the reader treats as a malformed line.
class LineAssembler {
 public:
  void Append(std::string_view bytes) { buffer_.append(bytes); }
  // Removes and returns the next complete line, without its line end.
  [[nodiscard]] std::optional<std::string> TakeLine();
  [[nodiscard]] bool Overflowed() const;
  // Removes everything up to and including the first `marker`; false (nothing
  // removed) when the marker is not buffered.
  bool TakeThrough(std::string_view marker);
  [[nodiscard]] size_t size() const { return buffer_.size(); }
  [[nodiscard]] std::string_view buffered() const { return buffer_; }
  void Clear() { buffer_.clear(); }

 private:
  std::string buffer_;
};

// One row of the system's TCP connection table; addresses and ports in host
// order (127.0.0.1 is 0x7F000001); owner 0 when the platform names none.
struct TcpOwnerRow {
  uint32_t local_addr = 0;
  uint16_t local_port = 0;
  uint32_t remote_addr = 0;
  uint16_t remote_port = 0;
  uint32_t owner_pid = 0;
};

enum class PeerOwnerVerdict : uint8_t { trusted, untrusted, undecidable };

// Whether the listening end of our loopback connection (127.0.0.1:our_local_port
// to 127.0.0.1:server_port) belongs to `expected_pid`. The port is released by
// the Agent before OpenVPN binds it, so any process may have taken it. A table
// whose row for our own end does not show `our_pid` (or has no such row) is a
// platform that reports no owners: undecidable. Otherwise trusted exactly when
// every row of the server's end shows `expected_pid` (and there is at least one,
// and expected_pid is not 0).
[[nodiscard]] PeerOwnerVerdict JudgeManagementPeer(std::span<const TcpOwnerRow> rows,
                                                   uint16_t our_local_port, uint16_t server_port,
                                                   uint32_t our_pid, uint32_t expected_pid);

}  // namespace tovra::agent::openvpn
