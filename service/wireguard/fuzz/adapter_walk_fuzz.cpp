// The adapter walk on arbitrary bytes and reported sizes: no read past the
// buffer (ASan sees an exact-size heap copy), and the sums never fall below any
// single peer's counter (saturation, not wrap-around).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "service/wireguard/adapter_snapshot.h"

using namespace tovra::service;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t reported;
  std::memcpy(&reported, data, 4);
  data += 4;
  size -= 4;
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  const std::span<const uint8_t> buffer(copy, size);
  // Bias the reported size towards the interesting range around the buffer's end.
  const uint64_t reported_size =
      (reported & 1) ? size - (reported >> 1) % (size + 1) : reported >> 1;
  const AdapterSnapshot s = WalkAdapterConfiguration(buffer, reported_size);
  if (s.present) std::abort();
  if (reported_size >= 80 && reported_size <= size && size >= 80 + 136) {
    uint32_t peers;
    std::memcpy(&peers, copy + 72, 4);
    uint64_t rx;
    std::memcpy(&rx, copy + 80 + 112, 8);
    if (peers > 0 && reported_size >= 80 + 136 && s.rx_bytes < rx) std::abort();
  }
  std::free(copy);
  return 0;
}
