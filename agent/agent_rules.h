// Decisions of the Agent that do not touch the system: the idle rule, console
// events, reply bodies, relay and staging status mapping. The Win32 host and the
// service link gather facts and carry these out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/ipc/frame.h"
#include "common/ipc/messages.h"

namespace tovra::agent {

inline constexpr uint32_t kDefaultIdleSeconds = 300;
inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFF;
inline constexpr uint32_t kAgentIoTimeoutMs = 15000;
inline constexpr wchar_t kIdleVariable[] = L"ZERKA_AGENT_IDLE_SECONDS";
inline constexpr size_t kIdleVariableBuffer = 16;

// The idle timeout from the variable as read into a 16-character buffer:
// `returned_length` is what the read returned (0 when absent, the needed size when
// the value does not fit). 10..86400 seconds are honoured; anything else is 300.
uint32_t ParseIdleTimeoutSeconds(uint32_t returned_length, std::wstring_view buffer);

struct IdleInputs {
  int32_t active_clients = 0;
  int32_t in_flight_service_requests = 0;
  bool extension_busy = false;
  uint64_t idle_timeout_ms = uint64_t{kDefaultIdleSeconds} * 1000;
  uint64_t elapsed_since_activity_ms = 0;
  std::optional<uint32_t> wait_cap_ms;  // set by extensions
};

// How long the accept may wait before the idle decision runs again.
uint32_t ComputeAcceptWaitMs(const IdleInputs& in);

// Console events that stop the Agent: Ctrl+C, Ctrl+Break, close, logoff, shutdown.
[[nodiscard]] bool IsStopConsoleEvent(uint32_t ctrl_type);

// Reply payloads (status included) of the requests the Agent answers itself.
common::Bytes BuildHelloReply(std::string_view generation_id, uint32_t session_id);
common::Bytes BuildAgentHealthReply(std::string_view generation_id, uint32_t session_id,
                                    bool service_connected);

// Status towards the plugin when get_service_health could not be relayed.
uint16_t ServiceHealthFailureStatus(uint16_t link_last_error);

// Stage results handed to the OpenVPN coordinator.
enum class StageResult : uint16_t {
  staged = 0,
  service_unavailable = 1,
  service_refused = 2,
  rejected = 3,
  failed = 4,
};

constexpr uint16_t ToWire(StageResult r) {
  return static_cast<uint16_t>(r);
}

// A stage_openvpn_config request that failed with `status`.
[[nodiscard]] StageResult MapStageRequestFailure(uint16_t status);
// An empty staged_path with the Service's `stage_result`.
[[nodiscard]] StageResult MapStageResultCode(uint16_t stage_result);

// "service generation changed 0x... -> 0x..."
std::wstring GenerationChangedLine(uint32_t old_generation, uint32_t new_generation);
// "service protocol N != agent 6 -> fail closed"
std::wstring ProtocolMismatchLine(uint16_t protocol);

}  // namespace tovra::agent
