// What one look at the WireGuard adapter tells the Service: whether it exists,
// its traffic counters summed over its peers and its latest handshake.
//
// The pure half of the adapter query: the size rules and the walk over the
// configuration buffer that wireguard.dll filled. The walk trusts nothing in the
// buffer: every count is checked against the bytes that remain, so a malformed
// or truncated buffer never causes a read past its end. Thread-safe (no state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tovra::service {

struct AdapterSnapshot {
  bool present = false;
  uint64_t rx_bytes = 0;
  uint64_t tx_bytes = 0;
  uint64_t last_handshake_ms = 0;  // Unix epoch milliseconds; 0 = none
  friend bool operator==(const AdapterSnapshot&, const AdapterSnapshot&) = default;
};

inline constexpr uint32_t kMinAdapterConfigBytes = 80;       // one interface record
inline constexpr uint32_t kMaxAdapterConfigBytes = 0x80000;  // 512 KiB

// Whether a size the library asks for is worth allocating.
[[nodiscard]] bool IsAcceptedRequiredSize(uint64_t required);

uint64_t SaturatingAdd(uint64_t a, uint64_t b);

// FILETIME (100 ns since 1601) to Unix epoch milliseconds; 0 for any time not
// after 1970-01-01.
uint64_t FileTimeToUnixMs(uint64_t filetime);

// Sums the counters over the peers of a filled buffer, of which the library
// reported `reported_size` bytes as written. A report below one interface record
// or beyond the buffer yields zero counters. `present` is left false: whether the
// adapter exists is the caller's knowledge.
AdapterSnapshot WalkAdapterConfiguration(std::span<const uint8_t> buffer, uint64_t reported_size);

}  // namespace tovra::service
