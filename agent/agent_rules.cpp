#include "agent/agent_rules.h"

#include "common/log/log.h"

namespace tovra::agent {

using common::Bytes;
using common::PayloadReader;
using common::PayloadWriter;
using common::Status;
using common::ToWire;

uint32_t ParseIdleTimeoutSeconds(uint32_t returned_length, std::wstring_view buffer) {
  if (returned_length < 1 || returned_length > kIdleVariableBuffer - 1 ||
      returned_length > buffer.size()) {
    return kDefaultIdleSeconds;
  }
  uint64_t value = 0;
  for (uint32_t i = 0; i < returned_length; ++i) {
    const wchar_t c = buffer[i];
    if (c < L'0' || c > L'9') return kDefaultIdleSeconds;
    value = value * 10 + static_cast<uint64_t>(c - L'0');
  }
  return value >= 10 && value <= 86400 ? static_cast<uint32_t>(value) : kDefaultIdleSeconds;
}

uint32_t ComputeAcceptWaitMs(const IdleInputs& in) {
  uint32_t wait = kWaitInfinite;
  if (in.active_clients == 0 && in.in_flight_service_requests <= 0 && !in.extension_busy) {
    const uint64_t left = in.elapsed_since_activity_ms >= in.idle_timeout_ms
                              ? 0
                              : in.idle_timeout_ms - in.elapsed_since_activity_ms;
    wait = left >= kWaitInfinite ? kWaitInfinite - 1 : static_cast<uint32_t>(left);
  }
  if (in.wait_cap_ms && wait > *in.wait_cap_ms) wait = *in.wait_cap_ms;
  return wait;
}

bool IsStopConsoleEvent(uint32_t ctrl_type) {
  switch (ctrl_type) {
    case 0:  // CTRL_C_EVENT
    case 1:  // CTRL_BREAK_EVENT
    case 2:  // CTRL_CLOSE_EVENT
    case 5:  // CTRL_LOGOFF_EVENT
    case 6:  // CTRL_SHUTDOWN_EVENT
      return true;
    default:
      return false;
  }
}

Bytes BuildHelloReply(std::string_view generation_id, uint32_t session_id) {
  PayloadWriter w;
  w.WriteU16(ToWire(Status::ok));
  w.WriteHelloInfo(common::MakeAgentHelloInfo());
  w.WriteString(generation_id);
  w.WriteU32(session_id);
  return w.Take();
}

Bytes BuildAgentHealthReply(std::string_view generation_id, uint32_t session_id,
                            bool service_connected) {
  common::AgentHealthRecord r;
  r.hello_info = common::MakeAgentHelloInfo();
  r.session_id = session_id;
  r.generation_id.assign(generation_id);
  r.service_connected = service_connected;
  PayloadWriter w;
  w.WriteU16(ToWire(Status::ok));
  w.WriteAgentHealth(r);
  return w.Take();
}

uint16_t ServiceHealthFailureStatus(uint16_t link_last_error) {
  return link_last_error == ToWire(Status::protocol_mismatch) ? ToWire(Status::protocol_mismatch)
                                                              : ToWire(Status::unavailable);
}

StageResult MapStageRequestFailure(uint16_t status) {
  switch (static_cast<Status>(status)) {
    case Status::bad_request:
      return StageResult::rejected;
    case Status::unavailable:
    case Status::busy:
      return StageResult::service_unavailable;
    case Status::not_permitted:
      return StageResult::service_refused;
    default:
      return StageResult::failed;
  }
}

StageResult MapStageResultCode(uint16_t stage_result) {
  switch (stage_result) {
    case 1:
      return StageResult::service_refused;
    case 2:
      return StageResult::rejected;
    default:
      return StageResult::failed;
  }
}

std::wstring GenerationChangedLine(uint32_t old_generation, uint32_t new_generation) {
  return L"service generation changed " + common::FormatHex32(old_generation) + L" -> " +
         common::FormatHex32(new_generation);
}

std::wstring ProtocolMismatchLine(uint16_t protocol) {
  return L"service protocol " + common::FormatDecimal(protocol) + L" != agent 6 -> fail closed";
}

}  // namespace tovra::agent
