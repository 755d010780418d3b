// WireGuard validator on arbitrary bytes: never crashes or reads out of bounds,
// decides the same way twice, renders only on acceptance, and a rendering that
// is itself within the input limits validates and renders to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "service/wireguard/testing/render_limits.h"
#include "service/wireguard/wireguard_config_validator.h"

using namespace tovra::service;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so ASan sees any read past the end.
  char* copy = static_cast<char*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  const std::string_view input(copy, size);

  const WireGuardConfigResult first = ValidateWireGuardConfig(input);
  const WireGuardConfigResult second = ValidateWireGuardConfig(input);
  if (first.code != second.code || first.text != second.text) std::abort();
  if ((first.code == WireGuardConfigCode::kAccepted) == first.text.empty()) std::abort();
  if (first.code == WireGuardConfigCode::kAccepted &&
      test_support::RenderedWithinInputLimits(first.text)) {
    const WireGuardConfigResult again = ValidateWireGuardConfig(first.text);
    if (again.code != WireGuardConfigCode::kAccepted || again.text != first.text) std::abort();
  }
  std::free(copy);
  return 0;
}
