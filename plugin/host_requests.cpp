#include "plugin/host_requests.h"

#include "common/ipc/frame.h"
#include "common/ipc/messages.h"

namespace tovra_windows_vpn {

using tovra::common::SecretBuffer;
using tovra::common::SecretPayloadWriter;
using tovra::common::WireStringSize;

namespace {

// Checks every limit before a byte is written, so a refused request leaves no copy.
std::optional<SecretBuffer> BuildTexts(std::initializer_list<std::string_view> texts) {
  size_t total = 0;
  for (std::string_view text : texts) {
    if (text.size() > tovra::common::kMaxWireString) return std::nullopt;
    total += WireStringSize(text);
  }
  if (total > tovra::common::kMaxPayload) return std::nullopt;
  SecretPayloadWriter w;
  w.Reserve(total);
  for (std::string_view text : texts) {
    if (!w.WriteString(text)) return std::nullopt;
  }
  return w.Take();
}

}  // namespace

std::optional<SecretBuffer> BuildStartWireGuardPayload(std::string_view config) {
  return BuildTexts({config});
}

std::optional<SecretBuffer> BuildStartOpenVpnPayload(std::string_view profile,
                                                     std::string_view username,
                                                     std::string_view password) {
  return BuildTexts({profile, username, password});
}

}  // namespace tovra_windows_vpn
