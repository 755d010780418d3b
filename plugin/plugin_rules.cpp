#include "plugin/plugin_rules.h"

#include <cstdint>
#include <limits>

namespace tovra_windows_vpn {

using tovra::common::PayloadReader;
using tovra::common::Status;
using tovra::common::ToWire;

TovraComponentState ComponentStateFromByte(uint8_t b) {
  return b >= 1 && b <= 5 ? static_cast<TovraComponentState>(b) : TovraComponentState::unknown;
}

TovraTriState TriFromByte(uint8_t b) {
  return b == 1 || b == 2 ? static_cast<TovraTriState>(b) : TovraTriState::unknown;
}

int64_t ClampToInt64(uint64_t v) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return static_cast<int64_t>(v > kMax ? kMax : v);
}

TovraOpenVpnState OpenVpnStateFromByte(uint8_t b) {
  return b <= 12 ? static_cast<TovraOpenVpnState>(b) : TovraOpenVpnState::none;
}

TovraOpenVpnErrorKind OpenVpnErrorKindFromWire(uint16_t v) {
  return v <= static_cast<uint16_t>(TovraOpenVpnErrorKind::last)
             ? static_cast<TovraOpenVpnErrorKind>(v)
             : TovraOpenVpnErrorKind::internal;
}

namespace {
TovraVersionInfo VersionFrom(const tovra::common::HelloInfo& h) {
  return {h.protocol, h.version, h.capabilities};
}
}  // namespace

std::optional<TovraAgentHealth> ReadAgentHealth(std::span<const uint8_t> body) {
  PayloadReader r(body);
  tovra::common::AgentHealthRecord rec;
  if (!r.ReadAgentHealth(rec)) return std::nullopt;
  return TovraAgentHealth{ComponentStateFromByte(rec.state), VersionFrom(rec.hello_info),
                          rec.session_id, rec.generation_id, rec.service_connected};
}

std::optional<TovraServiceHealth> ReadServiceHealth(std::span<const uint8_t> body) {
  PayloadReader r(body);
  tovra::common::ServiceHealthRecord rec;
  if (!r.ReadServiceHealth(rec)) return std::nullopt;
  // Uptime is taken as the same 64 bits, signed, without clamping.
  return TovraServiceHealth{ComponentStateFromByte(rec.state), VersionFrom(rec.hello_info),
                            rec.generation_id, static_cast<int64_t>(rec.uptime_seconds)};
}

std::optional<TovraWireGuardStatus> ReadWireGuardStatus(std::span<const uint8_t> body) {
  PayloadReader r(body);
  tovra::common::WireGuardStatusRecord rec;
  if (!r.ReadWireGuardStatus(rec)) return std::nullopt;
  return TovraWireGuardStatus{ComponentStateFromByte(rec.state),   rec.adapter_present,
                              ClampToInt64(rec.rx_bytes),          ClampToInt64(rec.tx_bytes),
                              ClampToInt64(rec.last_handshake_ms), rec.error};
}

std::optional<TovraOpenVpnCapabilities> ReadOpenVpnCapabilities(std::span<const uint8_t> body) {
  PayloadReader r(body);
  tovra::common::OpenVpnCapabilitiesRecord rec;
  if (!r.ReadOpenVpnCapabilities(rec)) return std::nullopt;
  return TovraOpenVpnCapabilities{TriFromByte(rec.openvpn_found),
                                  rec.openvpn_version,
                                  TriFromByte(rec.interactive_service_installed),
                                  TriFromByte(rec.interactive_service_running),
                                  TriFromByte(rec.reserved1),
                                  TriFromByte(rec.reserved2)};
}

std::optional<TovraOpenVpnStatus> ReadOpenVpnStatus(std::span<const uint8_t> body) {
  PayloadReader r(body);
  tovra::common::OpenVpnStatusRecord rec;
  if (!r.ReadOpenVpnStatus(rec)) return std::nullopt;
  return TovraOpenVpnStatus{OpenVpnStateFromByte(rec.state),
                            rec.active,
                            ClampToInt64(rec.bytes_in),
                            ClampToInt64(rec.bytes_out),
                            ClampToInt64(rec.connected_since_ms),
                            OpenVpnErrorKindFromWire(rec.error_kind),
                            rec.attempt_id};
}

std::string_view ErrorCodeForStatus(uint16_t status, Reach reach) {
  if (status == ToWire(Status::protocol_mismatch)) return kErrorVersionMismatch;
  if (status == ToWire(Status::unavailable) || status == ToWire(Status::busy)) {
    return reach == Reach::agent ? kErrorAgentUnavailable : kErrorServiceUnavailable;
  }
  return kErrorInternal;
}

TovraNativeErrorKind NativeErrorKindFromStatus(uint16_t last_status) {
  switch (last_status) {
    case 0:
      return TovraNativeErrorKind::none;
    case 3:
      return TovraNativeErrorKind::versionMismatch;
    case 4:
      return TovraNativeErrorKind::agentUnavailable;
    case 7:
      return TovraNativeErrorKind::agentBusy;
    default:
      return TovraNativeErrorKind::internal;
  }
}

TovraNativeHealth BuildNativeHealth(uint32_t session_id, bool agent_connected,
                                    bool service_connected, uint16_t last_status) {
  TovraNativeHealth h;
  h.state = TovraComponentState::up;
  h.protocol = tovra::common::kProtocolVersion;
  h.version = std::string(tovra::common::kVersionText);
  h.session_id = session_id;
  h.agent_connected = agent_connected;
  h.service_connected = service_connected;
  h.last_error = NativeErrorKindFromStatus(last_status);
  return h;
}

std::wstring AgentPathFromModuleFileName(std::wstring_view module_path, uint32_t returned_length) {
  if (returned_length == 0 || returned_length >= kModulePathBuffer ||
      returned_length > module_path.size()) {
    return {};
  }
  const std::wstring_view path = module_path.substr(0, returned_length);
  const size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring_view::npos) return {};
  const std::wstring_view directory = path.substr(0, cut);
  if (directory.empty()) return {};
  return std::wstring(directory) + L"\\" + std::wstring(tovra::common::kAgentExeName);
}

std::vector<std::string_view> ProbeEventTracker::Next(bool agent_connected, bool service_connected,
                                                      uint32_t generation) {
  std::vector<std::string_view> events;
  if (agent_connected != last_agent_) {
    events.push_back(agent_connected ? kEventAgentConnected : kEventAgentDisconnected);
    last_agent_ = agent_connected;
  }
  if (service_connected != last_service_) {
    events.push_back(service_connected ? kEventServiceConnected : kEventServiceDisconnected);
    last_service_ = service_connected;
  }
  if (generation != 0) {
    if (last_generation_ != 0 && last_generation_ != generation) {
      events.push_back(kEventServiceGenerationChanged);
    }
    last_generation_ = generation;
  }
  return events;
}

ProbeStep ProbeBackoff::Next(bool agent_connected, uint16_t last_status) {
  ProbeStep step;
  if (agent_connected || last_status == ToWire(Status::ok)) {
    step.recovered = agent_connected && failures_ > 0;
    failures_ = 0;
    step.pause_ms = base_ms_;
    return step;
  }
  if (failures_ < UINT32_MAX) ++failures_;
  // Doubling stops at the cap long before the shift could overflow.
  uint64_t pause = base_ms_;
  for (uint32_t i = 0; i < failures_ && pause < cap_ms_; ++i) pause *= 2;
  step.pause_ms = static_cast<uint32_t>(pause < cap_ms_ ? pause : cap_ms_);
  step.failures = failures_;
  return step;
}

std::wstring ProbeFailureLine(uint16_t last_status, const ProbeStep& step) {
  return L"event poller: agent unreachable (status " + std::to_wstring(last_status) + L", " +
         std::to_wstring(step.failures) + L" failed in a row), next probe in " +
         std::to_wstring(step.pause_ms) + L" ms";
}

}  // namespace tovra_windows_vpn
