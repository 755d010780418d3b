#include <windows.h>
#include <bcrypt.h>

#include "common/ipc/generation.h"

namespace tovra::common {

uint32_t DrawGenerationValue() {
  uint32_t value = 0;
  std::optional<uint32_t> random;
  if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                       BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    random = value;
  }
  return ChooseGenerationValue(random, ::GetTickCount64());
}

std::string MakeGenerationId(uint32_t random_part) {
  return FormatGenerationId(::GetCurrentProcessId(), random_part);
}

}  // namespace tovra::common
