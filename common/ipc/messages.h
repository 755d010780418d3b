// Message catalogue of the Agent and Service pipes: type numbers, reply statuses,
// the primitive payload encoder/decoder and every record that crosses a pipe.
// Pure value code; no I/O, no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/secret_buffer.h"
#include "common/base/secure_zero.h"
#include "common/ipc/frame.h"

namespace tovra::common {

enum class MessageType : uint16_t {
  hello = 1,
  ping = 2,
  get_service_health = 3,
  get_agent_health = 4,
  start_wireguard = 5,
  stop_wireguard = 6,
  wireguard_status = 7,
  get_openvpn_capabilities = 8,
  start_openvpn = 9,
  stop_openvpn = 10,
  get_openvpn_status = 11,
  stage_openvpn_config = 12,
  unstage_openvpn_config = 13,
  report_openvpn_activity = 14,
};

constexpr uint16_t ToWire(MessageType t) {
  return static_cast<uint16_t>(t);
}

// Reply statuses; the same numbers are the clients' connection error kinds.
enum class Status : uint16_t {
  ok = 0,
  bad_request = 1,
  unsupported = 2,
  protocol_mismatch = 3,
  unavailable = 4,
  internal = 5,
  not_permitted = 6,
  busy = 7,
};

constexpr uint16_t ToWire(Status s) {
  return static_cast<uint16_t>(s);
}

inline constexpr uint16_t kProtocolVersion = 6;
inline constexpr std::string_view kVersionText = "0.1.0-w6a";
inline constexpr size_t kMaxWireString = 32768;  // 0x8000 bytes
inline constexpr size_t kMaxWireStringList = 64;

// Capability lists, in wire order. Receivers only report them.
inline constexpr std::string_view kAgentCapabilities[] = {"control-plane", "health", "events",
                                                          "wireguard", "vpn-activity"};
inline constexpr std::string_view kServiceCapabilities[] = {"control-plane", "health", "wireguard",
                                                            "openvpn-staging", "vpn-activity"};

// Component state in the health records: always "up" while a server can answer.
inline constexpr uint8_t kComponentStateUp = 2;

struct HelloInfo {
  uint16_t protocol = kProtocolVersion;
  std::string version{kVersionText};
  std::vector<std::string> capabilities;
  friend bool operator==(const HelloInfo&, const HelloInfo&) = default;
};

HelloInfo MakeAgentHelloInfo();
HelloInfo MakeServiceHelloInfo();

struct ServiceHealthRecord {
  uint8_t state = kComponentStateUp;
  HelloInfo hello_info;
  std::string generation_id;
  uint64_t uptime_seconds = 0;
  friend bool operator==(const ServiceHealthRecord&, const ServiceHealthRecord&) = default;
};

struct AgentHealthRecord {
  uint8_t state = kComponentStateUp;
  HelloInfo hello_info;
  uint32_t session_id = 0;
  std::string generation_id;
  bool service_connected = false;
  friend bool operator==(const AgentHealthRecord&, const AgentHealthRecord&) = default;
};

// WireGuardStatusRecord.state values.
enum class WireGuardState : uint8_t { starting = 1, up = 2, down = 4 };

// WireGuardStatusRecord.error values.
enum class WireGuardError : uint16_t {
  none = 0,
  config_rejected = 1,
  busy = 2,
  install_failed = 3,
  start_failed = 4,
  adapter_never_appeared = 5,
  stop_incomplete = 6,
  config_write_failed = 7,
};

struct WireGuardStatusRecord {
  uint8_t state = static_cast<uint8_t>(WireGuardState::down);
  bool adapter_present = false;
  uint64_t rx_bytes = 0;
  uint64_t tx_bytes = 0;
  uint64_t last_handshake_ms = 0;  // Unix epoch milliseconds, 0 = never
  uint16_t error = 0;
  friend bool operator==(const WireGuardStatusRecord&, const WireGuardStatusRecord&) = default;
};

// Tri-state carried in OpenVpnCapabilitiesRecord: 0 undetermined, 1 yes, 2 no.
enum class Tri : uint8_t { undetermined = 0, yes = 1, no = 2 };

struct OpenVpnCapabilitiesRecord {
  uint8_t openvpn_found = 0;
  std::string openvpn_version;
  uint8_t interactive_service_installed = 0;
  uint8_t interactive_service_running = 0;
  uint8_t reserved1 = 0;  // always written as 0
  uint8_t reserved2 = 0;  // always written as 0
  friend bool operator==(const OpenVpnCapabilitiesRecord&,
                         const OpenVpnCapabilitiesRecord&) = default;
};

struct OpenVpnStatusRecord {
  uint8_t state = 0;  // ManagementState 0..12
  bool active = false;
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
  uint64_t connected_since_ms = 0;
  uint16_t error_kind = 0;  // 0..16
  uint32_t attempt_id = 0;
  friend bool operator==(const OpenVpnStatusRecord&, const OpenVpnStatusRecord&) = default;
};

// Appends primitives and records to a growing buffer. Every writer returns false
// (and writes nothing) when a value breaks a wire limit. A payload that carries a
// secret is written with SecretPayloadWriter, sized once with Reserve when its
// size is known, so its bytes live only in self-wiping storage.
template <typename Buffer>
class BasicPayloadWriter {
 public:
  BasicPayloadWriter() = default;

  void Reserve(size_t n) { buffer_.reserve(n); }

  void WriteU8(uint8_t v);
  void WriteBool(bool v);
  void WriteU16(uint16_t v);
  void WriteU32(uint32_t v);
  void WriteU64(uint64_t v);
  bool WriteString(std::string_view s);
  bool WriteStringList(std::span<const std::string> list);

  bool WriteHelloInfo(const HelloInfo& r);
  bool WriteServiceHealth(const ServiceHealthRecord& r);
  bool WriteAgentHealth(const AgentHealthRecord& r);
  void WriteWireGuardStatus(const WireGuardStatusRecord& r);
  bool WriteOpenVpnCapabilities(const OpenVpnCapabilitiesRecord& r);
  void WriteOpenVpnStatus(const OpenVpnStatusRecord& r);

  const Buffer& bytes() const { return buffer_; }
  Buffer& mutable_bytes() { return buffer_; }
  Buffer Take() { return std::move(buffer_); }

 private:
  Buffer buffer_;
};

extern template class BasicPayloadWriter<Bytes>;
extern template class BasicPayloadWriter<SecretBuffer>;
using PayloadWriter = BasicPayloadWriter<Bytes>;
using SecretPayloadWriter = BasicPayloadWriter<SecretBuffer>;

// The wire size of a text: its u16 length and its bytes.
constexpr size_t WireStringSize(std::string_view s) {
  return 2 + s.size();
}

// Reads from a byte range with a cursor; a record reader may ignore the results
// of its field reads and test ok() once at the end. The `ok` flag is sticky: a read that needs
// more bytes than remain (or breaks a limit) fails and clears it, and every later
// read then fails without moving the cursor. Bytes left after the last field are
// ignored by design.
class PayloadReader {
 public:
  explicit PayloadReader(std::span<const uint8_t> data) : data_(data) {}

  bool ok() const { return ok_; }
  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }

  bool ReadU8(uint8_t& out);
  bool ReadBool(bool& out);
  bool ReadU16(uint16_t& out);
  bool ReadU32(uint32_t& out);
  bool ReadU64(uint64_t& out);
  bool ReadString(std::string& out);
  bool ReadString(SecretBuffer& out);  // a text that holds a secret
  bool ReadStringList(std::vector<std::string>& out);

  bool ReadHelloInfo(HelloInfo& out);
  bool ReadServiceHealth(ServiceHealthRecord& out);
  bool ReadAgentHealth(AgentHealthRecord& out);
  bool ReadWireGuardStatus(WireGuardStatusRecord& out);
  bool ReadOpenVpnCapabilities(OpenVpnCapabilitiesRecord& out);
  bool ReadOpenVpnStatus(OpenVpnStatusRecord& out);

 private:
  const uint8_t* Take(size_t n);
  [[nodiscard]] std::optional<std::span<const uint8_t>> TakeString();

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// A reply payload carrying only a status (every non-zero status, and status 0
// for replies with an empty body).
Bytes StatusOnlyPayload(Status status);

// The request types whose payload carries a secret: a WireGuard configuration with
// its private key (start_wireguard), an OpenVPN profile and password
// (start_openvpn), a profile to stage (stage_openvpn_config). Both servers wipe
// such a request's payload once it has been handled, whatever the outcome.
[[nodiscard]] bool IsSecretBearing(uint16_t type);

// Wipes a received request payload of a secret-bearing type when it goes out of
// scope, so every way out of a server's per-request code wipes it. The payload must
// outlive the guard and must not be reallocated meanwhile (handlers get a span).
class RequestPayloadWipe {
 public:
  RequestPayloadWipe(uint16_t type, std::span<uint8_t> payload)
      : payload_(IsSecretBearing(type) ? payload : std::span<uint8_t>{}) {}
  RequestPayloadWipe(const RequestPayloadWipe&) = delete;
  RequestPayloadWipe& operator=(const RequestPayloadWipe&) = delete;
  ~RequestPayloadWipe() {
    if (!payload_.empty()) SecureZero(payload_.data(), payload_.size());
  }

 private:
  std::span<uint8_t> payload_;
};

}  // namespace tovra::common
