// Wiping of secrets (private keys, profiles, passwords). The whole allocation is
// overwritten, not only the used part, and the stores cannot be optimised away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovra::common {

void SecureZero(void* data, size_t size);

// Wipes the buffer's whole capacity, then leaves it empty (capacity is kept, so
// nothing is freed before it is wiped).
template <typename T>
void SecureZero(std::basic_string<T>& s) {
  s.resize(s.capacity());
  SecureZero(s.data(), s.size() * sizeof(T));
  s.clear();
}

template <typename T>
void SecureZero(std::vector<T>& v) {
  static_assert(std::is_trivially_copyable_v<T>);
  v.resize(v.capacity());
  SecureZero(v.data(), v.size() * sizeof(T));
  v.clear();
}

}  // namespace tovra::common
