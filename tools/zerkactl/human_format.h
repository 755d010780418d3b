// Readable forms of the plugin's results for zerkactl's human output: sizes,
// durations, times and the names of the plugin's enum values. Pure functions;
// both builds print the same.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plugin/pigeon_api.h"

namespace tovra::tools {

std::string FormatBytes(int64_t bytes);       // "0 B", "1.5 KiB", "3.2 GiB"
std::string FormatDuration(int64_t seconds);  // "0s", "1h 02m 03s", "2d 03h 04m 05s"
std::string FormatUnixMs(int64_t ms);         // "never" for 0, else "2026-12-07 08:00:00.123 UTC"

// Text from a peer (versions, generations, event details) as a person sees it:
// control bytes would move the cursor or retitle the terminal, so they show as '?'.
std::string Printable(std::string_view s);

const char* Name(tovra_windows_vpn::TovraComponentState s);
const char* Name(tovra_windows_vpn::TovraNativeErrorKind k);
const char* Name(tovra_windows_vpn::TovraTriState t);
const char* Name(tovra_windows_vpn::TovraOpenVpnState s);
const char* Name(tovra_windows_vpn::TovraOpenVpnErrorKind k);
// The WireGuard status carries its error as a plain number.
const char* WireGuardErrorName(int64_t e);

}  // namespace tovra::tools
