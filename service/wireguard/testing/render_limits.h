// Shared by the property tests and the fuzz target: whether a rendered
// configuration is itself within what the validator accepts as input. Rendering
// joins repeated Address, DNS and AllowedIPs lines into one, so it can exceed
// the byte, line or per-line entry limits; only within them must it validate and
// render to itself.
#pragma once

#include <algorithm>
#include <string_view>

#include "service/wireguard/wireguard_config_validator.h"

namespace tovra::service::test_support {

inline bool RenderedWithinInputLimits(std::string_view rendered) {
  if (rendered.size() > kMaxWireGuardConfigBytes) return false;
  size_t start = 0;
  while (start < rendered.size()) {
    size_t lf = rendered.find('\n', start);
    if (lf == std::string_view::npos) lf = rendered.size();
    const std::string_view line = rendered.substr(start, lf - start);
    if (line.size() > kMaxWireGuardLineBytes) return false;
    const size_t entries = static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
    if ((line.starts_with("Address = ") || line.starts_with("DNS = ")) &&
        entries > kMaxAddressEntriesPerLine) {
      return false;
    }
    if (line.starts_with("AllowedIPs = ") && entries > kMaxAllowedIpsEntriesPerLine) return false;
    start = lf + 1;
  }
  return true;
}

}  // namespace tovra::service::test_support
