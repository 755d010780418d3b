// What the plugin hands to Dart, independent of Flutter and of Windows: the Pigeon
// enums and data classes, the conversion of the Agent's reply records into them,
// the error codes, and the event rules of the poller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/ipc/messages.h"
#include "common/security/caller_identity.h"

namespace tovra_windows_vpn {

enum class TovraComponentState : int32_t {
  unknown = 0,
  starting = 1,
  up = 2,
  reserved3 = 3,  // never produced here; carried through from a peer
  down = 4,
  reserved5 = 5,  // never produced here; carried through from a peer
};

enum class TovraNativeErrorKind : int32_t {
  none = 0,
  notProduced = 1,
  agentUnavailable = 2,
  versionMismatch = 3,
  agentBusy = 4,
  internal = 5,
};

enum class TovraTriState : int32_t { unknown = 0, yes = 1, no = 2 };

enum class TovraOpenVpnState : int32_t {
  none = 0,
  connecting = 1,
  resolve = 2,
  tcpConnect = 3,
  wait = 4,
  auth = 5,
  authPending = 6,
  getConfig = 7,
  assignIp = 8,
  addRoutes = 9,
  connected = 10,
  reconnecting = 11,
  exiting = 12,
};

// Error kinds 0..16 of the Agent's OpenVPN coordinator, carried by number.
enum class TovraOpenVpnErrorKind : int32_t { none = 0, internal = 11, last = 16 };

struct TovraVersionInfo {
  int64_t protocol = 0;
  std::string version;
  std::vector<std::string> capabilities;
  friend bool operator==(const TovraVersionInfo&, const TovraVersionInfo&) = default;
};

struct TovraNativeHealth {
  TovraComponentState state = TovraComponentState::up;
  int64_t protocol = 0;
  std::string version;
  int64_t session_id = 0;
  bool agent_connected = false;
  bool service_connected = false;
  TovraNativeErrorKind last_error = TovraNativeErrorKind::none;
  friend bool operator==(const TovraNativeHealth&, const TovraNativeHealth&) = default;
};

struct TovraAgentHealth {
  TovraComponentState state = TovraComponentState::unknown;
  TovraVersionInfo version;
  int64_t session_id = 0;
  std::string generation;
  bool service_connected = false;
  friend bool operator==(const TovraAgentHealth&, const TovraAgentHealth&) = default;
};

struct TovraServiceHealth {
  TovraComponentState state = TovraComponentState::unknown;
  TovraVersionInfo version;
  std::string generation;
  int64_t uptime_seconds = 0;
  friend bool operator==(const TovraServiceHealth&, const TovraServiceHealth&) = default;
};

struct TovraWireGuardStatus {
  TovraComponentState state = TovraComponentState::unknown;
  bool adapter_present = false;
  int64_t rx_bytes = 0;
  int64_t tx_bytes = 0;
  int64_t last_handshake_ms = 0;
  int64_t error = 0;
  friend bool operator==(const TovraWireGuardStatus&, const TovraWireGuardStatus&) = default;
};

struct TovraOpenVpnCapabilities {
  TovraTriState open_vpn_found = TovraTriState::unknown;
  std::string open_vpn_version;
  TovraTriState interactive_service_installed = TovraTriState::unknown;
  TovraTriState interactive_service_running = TovraTriState::unknown;
  TovraTriState spare1 = TovraTriState::unknown;
  TovraTriState spare2 = TovraTriState::unknown;
  friend bool operator==(const TovraOpenVpnCapabilities&,
                         const TovraOpenVpnCapabilities&) = default;
};

struct TovraOpenVpnStatus {
  TovraOpenVpnState state = TovraOpenVpnState::none;
  bool active = false;
  int64_t bytes_in = 0;
  int64_t bytes_out = 0;
  int64_t connected_since_ms = 0;
  TovraOpenVpnErrorKind error_kind = TovraOpenVpnErrorKind::none;
  int64_t attempt_id = 0;
  friend bool operator==(const TovraOpenVpnStatus&, const TovraOpenVpnStatus&) = default;
};

struct TovraNativeEvent {
  std::string type;
  std::string detail;
  int64_t timestamp_ms = 0;
  friend bool operator==(const TovraNativeEvent&, const TovraNativeEvent&) = default;
};

// ---- conversion rules ----

TovraComponentState ComponentStateFromByte(uint8_t b);       // 1..5 kept, else unknown
TovraTriState TriFromByte(uint8_t b);                        // 1, 2 kept, else unknown
int64_t ClampToInt64(uint64_t v);                            // above INT64_MAX -> INT64_MAX
TovraOpenVpnState OpenVpnStateFromByte(uint8_t b);           // above 12 -> none
TovraOpenVpnErrorKind OpenVpnErrorKindFromWire(uint16_t v);  // above 16 -> 11

// Readers of reply bodies (what follows status 0). Nothing when the record cannot
// be read completely; trailing bytes are ignored.
[[nodiscard]] std::optional<TovraAgentHealth> ReadAgentHealth(std::span<const uint8_t> body);
std::optional<TovraServiceHealth> ReadServiceHealth(std::span<const uint8_t> body);
[[nodiscard]] std::optional<TovraWireGuardStatus> ReadWireGuardStatus(
    std::span<const uint8_t> body);
std::optional<TovraOpenVpnCapabilities> ReadOpenVpnCapabilities(std::span<const uint8_t> body);
[[nodiscard]] std::optional<TovraOpenVpnStatus> ReadOpenVpnStatus(std::span<const uint8_t> body);

// ---- errors ----

inline constexpr std::string_view kErrorInternal = "INTERNAL";
inline constexpr std::string_view kErrorVersionMismatch = "VERSION_MISMATCH";
inline constexpr std::string_view kErrorAgentUnavailable = "AGENT_UNAVAILABLE";
inline constexpr std::string_view kErrorServiceUnavailable = "SERVICE_UNAVAILABLE";

// Which code a host method reports when the Agent (or, through it, the Service)
// cannot be reached.
enum class Reach { agent, service };

// The FlutterError code for a failed request with `status`.
std::string_view ErrorCodeForStatus(uint16_t status, Reach reach);

// getHealth's last error from the client's last status.
TovraNativeErrorKind NativeErrorKindFromStatus(uint16_t last_status);

TovraNativeHealth BuildNativeHealth(uint32_t session_id, bool agent_connected,
                                    bool service_connected, uint16_t last_status);

// ---- the Agent launcher ----

inline constexpr uint32_t kModulePathBuffer = 260;

// The Agent's path beside the plugin DLL, from what GetModuleFileNameW returned
// into a 260-character buffer: empty when nothing came back, when the path was
// truncated (260 or more) or has no separator.
std::wstring AgentPathFromModuleFileName(std::wstring_view module_path, uint32_t returned_length);

// ---- events ----

inline constexpr std::string_view kEventAgentConnected = "agentConnected";
inline constexpr std::string_view kEventAgentDisconnected = "agentDisconnected";
inline constexpr std::string_view kEventServiceConnected = "serviceConnected";
inline constexpr std::string_view kEventServiceDisconnected = "serviceDisconnected";
inline constexpr std::string_view kEventServiceGenerationChanged = "serviceGenerationChanged";

// Turns successive probe results into event types, in the order agent, service,
// generation. Starts as "nothing connected, no generation seen".
class ProbeEventTracker {
 public:
  std::vector<std::string_view> Next(bool agent_connected, bool service_connected,
                                     uint32_t generation);

 private:
  bool last_agent_ = false;
  bool last_service_ = false;
  uint32_t last_generation_ = 0;
};

// ---- the poller's back-off ----

inline constexpr uint32_t kProbePeriodMs = 2000;
inline constexpr uint32_t kProbeBackoffCapMs = 60000;

// What the poller does after one probe.
struct ProbeStep {
  uint32_t pause_ms = kProbePeriodMs;  // before the next probe
  uint32_t failures = 0;               // failed connects in a row, this probe's included
  bool recovered = false;              // reached the Agent after failed connects
  friend bool operator==(const ProbeStep&, const ProbeStep&) = default;
};

// The poller's pause between probes. Every probe whose connect fails (the Agent
// missing, not starting, never reaching its pipe, busy or incompatible) may have
// started an Agent and logged an error, so each such probe in a row doubles the
// pause, from twice the base up to the cap; one log line and at most one start
// per step. A probe that reached the Agent resets it, and so does one whose
// connect succeeded but whose exchange broke (last status 0): that Agent just
// went away, and the next probe, one base period later, starts it again.
class ProbeBackoff {
 public:
  explicit ProbeBackoff(uint32_t base_ms = kProbePeriodMs, uint32_t cap_ms = kProbeBackoffCapMs)
      : base_ms_(base_ms), cap_ms_(cap_ms < base_ms ? base_ms : cap_ms) {}
  ProbeStep Next(bool agent_connected, uint16_t last_status);

 private:
  uint32_t base_ms_;
  uint32_t cap_ms_;
  uint32_t failures_ = 0;
};

// The poller's log line for a failed step: "event poller: agent unreachable
// (status S, N failed in a row), next probe in P ms".
std::wstring ProbeFailureLine(uint16_t last_status, const ProbeStep& step);

}  // namespace tovra_windows_vpn
