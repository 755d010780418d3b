// Names of the per-session kernel objects the programs share: the Agent and
// Service pipes and the Agent's single-instance mutex. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovra::common {

inline constexpr std::wstring_view kAgentPipeRole = L"Agent";
inline constexpr std::wstring_view kServicePipeRole = L"Service";

// Sessions above this never get a name; 0xFFFFFFFF ("session unknown") is among them.
inline constexpr uint32_t kMaxNamedSessionId = 0xFFFF;

// Sizes of the buffers the names are formed in, terminator included.
inline constexpr size_t kPipeNameCapacity = 128;
inline constexpr size_t kMutexNameCapacity = 96;

// "\\.\pipe\ZERKA.VPN.<role>.<session>", or nothing when the session is above
// 65535 or the name would not fit its buffer.
[[nodiscard]] std::optional<std::wstring> FormatPipeName(std::wstring_view role,
                                                         uint32_t session_id);

// "Local\ZERKA.VPN.Agent.<session>", or nothing when the session is above 65535.
[[nodiscard]] std::optional<std::wstring> FormatAgentMutexName(uint32_t session_id);

}  // namespace tovra::common
