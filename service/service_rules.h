// What the Service says and decides, independent of Win32: its command line, its
// fixed texts, the per-frame rule of its client loop and the bodies of the replies
// it answers itself. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/ipc/frame.h"

namespace tovra::service {

inline constexpr std::wstring_view kServiceName = L"ZerkaVPNService";
inline constexpr std::wstring_view kConsoleSwitch = L"--console";

// Printed on standard error when the program was not started by the Service
// Control Manager (exit code 1).
inline constexpr std::wstring_view kNotStartedMessage =
    L"ZerkaVPNService: not started by the SCM.\n"
    L"  Install + start it with tools\\windows\\dev\\install_zerkavpn_vpn_service (elevated),\n"
    L"  or run 'ZerkaVPNService.exe --console' for a foreground dev instance.\n";

// Timings of the pipe loop.
inline constexpr uint32_t kAcceptWaitMs = 5000;
inline constexpr uint32_t kClientIoTimeoutMs = 15000;
inline constexpr uint32_t kRetryPauseMs = 1000;
inline constexpr uint32_t kServicePipeInstances = 2;

// The first command-line argument selects console mode when it is "--console" in
// any letter case.
[[nodiscard]] bool IsConsoleSwitch(std::wstring_view first_argument);

using common::ClassifyRequestFrame;
using common::FrameDisposition;

uint64_t UptimeSeconds(uint64_t start_tick_ms, uint64_t now_tick_ms);

// Status 0 followed by the reply bodies of `hello` and `get_service_health`.
common::Bytes BuildHelloReply(std::string_view generation_id);
common::Bytes BuildHealthReply(std::string_view generation_id, uint64_t uptime_seconds);

// "service starting generation=<id> gen_num=0x%08X"
std::wstring ServiceStartingText(std::string_view generation_id, uint32_t generation_number);

}  // namespace tovra::service
