#include "common/ipc/generation.h"

#include <cstdio>

namespace tovra::common {

uint32_t ChooseGenerationValue(std::optional<uint32_t> random, uint64_t tick_ms) {
  const uint32_t value = random ? *random : static_cast<uint32_t>(tick_ms);
  return value == 0 ? 1u : value;
}

std::string FormatGenerationId(uint32_t process_id, uint32_t random_part) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u-0x%08X", static_cast<unsigned>(process_id),
                static_cast<unsigned>(random_part));
  return buf;
}

}  // namespace tovra::common
