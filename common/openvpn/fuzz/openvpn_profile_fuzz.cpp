// OpenVPN profile validator on arbitrary bytes: never crashes or reads out of
// bounds; EnsureDirective only appends, is idempotent, and keeps an accepted
// profile accepted while it stays within the size limit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/openvpn/openvpn_profile_validator.h"

using namespace tovra::openvpn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* copy = static_cast<char*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  const std::string_view input(copy, size);

  const OpenVpnProfileCode code = ValidateOpenVpnProfile(input);
  if (static_cast<uint16_t>(code) > 14) std::abort();
  const tovra::common::SecretBuffer ensured_buffer = EnsureDirective(input, "auth-nocache");
  const std::string_view ensured = ensured_buffer.view();
  if (ensured.compare(0, input.size(), input) != 0) std::abort();
  if (EnsureDirective(ensured, "auth-nocache").view() != ensured) std::abort();
  if (code == OpenVpnProfileCode::kAccepted && ensured.size() <= kMaxProfileBytes &&
      ValidateOpenVpnProfile(ensured) != OpenVpnProfileCode::kAccepted) {
    std::abort();
  }
  std::free(copy);
  return 0;
}
