// Text as the bytes an API under test takes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tovra::testing {

inline std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace tovra::testing
