#include "common/base/secure_zero.h"

#include <atomic>

namespace tovra::common {

void SecureZero(void* data, size_t size) {
  if (data == nullptr) return;
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

}  // namespace tovra::common
