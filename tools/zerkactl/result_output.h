// How zerkactl prints what the plugin answered: aligned lines under a title for
// people, or one JSON object per line for scripts (`json`). Peer text is made
// printable or escaped here, never by the callers.
#pragma once

#include <iosfwd>
#include <string_view>

#include "plugin/pigeon_api.h"

namespace tovra::tools {

void Print(std::ostream& out, bool json, bool available);
void Print(std::ostream& out, bool json, const tovra_windows_vpn::TovraNativeHealth& h);
void Print(std::ostream& out, bool json, const tovra_windows_vpn::TovraAgentHealth& h);
void Print(std::ostream& out, bool json, const tovra_windows_vpn::TovraServiceHealth& h);
void Print(std::ostream& out, bool json, const tovra_windows_vpn::TovraWireGuardStatus& s);
void Print(std::ostream& out, bool json, const tovra_windows_vpn::TovraOpenVpnCapabilities& c);
void Print(std::ostream& out, bool json, const tovra_windows_vpn::TovraOpenVpnStatus& s);
// One event per line, flushed, since a script reads them as they come.
void Print(std::ostream& out, bool json, const tovra_windows_vpn::TovraNativeEvent& e);

// An error the plugin answered with: always on `err` for people, and as a JSON
// object on `out` too when `json`, so a script sees why it failed.
void PrintPluginError(std::ostream& out, std::ostream& err, bool json, std::string_view code,
                      std::string_view message);

}  // namespace tovra::tools
