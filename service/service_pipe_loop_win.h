// The Service's only way in: one thread that creates the per-session "Service"
// pipe, waits for one client at a time, checks who it is and answers its requests.
// Runs on the thread that runs ServiceMain (the main thread in console mode).
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>

#include "common/security/caller_identity.h"
#include "service/service_state_win.h"

namespace tovra::service {

// Runs until a stop is requested; returns the process result (0).
int RunPipeServer(ServiceState& state);

// Serves one connected client until it leaves, goes silent, breaks the protocol, a
// reply cannot be written, a stop begins (the session ends before its next request;
// the wait for that request also ends on the stop event) or, for a caller that is
// not LocalSystem, the console's user or session is no longer the one it was
// admitted as. The payload of every secret-bearing request is wiped after it.
void ServeClient(ServiceState& state, HANDLE pipe);

// Answers one request of a known type. False when the reply could not be written.
// `payload` is the received buffer; a handler may wipe it.
[[nodiscard]] bool DispatchRequest(ServiceState& state, HANDLE pipe,
                                   const common::CallerIdentity& identity, uint16_t type,
                                   uint32_t request_id, std::span<uint8_t> payload);

// Writes `body` as the reply to (type, request_id) with our generation number.
[[nodiscard]] bool SendReply(const ServiceState& state, HANDLE pipe, uint16_t type,
                             uint32_t request_id, std::span<const uint8_t> body);

}  // namespace tovra::service
