#include "service/wireguard/adapter_snapshot.h"

#include <cstring>
#include <limits>

#include "service/wireguard/wireguard_dll_abi.h"

namespace tovra::service {

namespace {

namespace abi = wireguard_abi;

// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

template <typename T>
T ReadAt(const uint8_t* base, size_t offset) {
  T value;
  std::memcpy(&value, base + offset, sizeof(T));  // the buffer carries no alignment promise
  return value;
}

}  // namespace

bool IsAcceptedRequiredSize(uint64_t required) {
  return required >= kMinAdapterConfigBytes && required <= kMaxAdapterConfigBytes;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  return b > max - a ? max : a + b;
}

uint64_t FileTimeToUnixMs(uint64_t filetime) {
  return filetime > kUnixEpochAsFileTime ? (filetime - kUnixEpochAsFileTime) / 10000 : 0;
}

AdapterSnapshot WalkAdapterConfiguration(std::span<const uint8_t> buffer, uint64_t reported_size) {
  AdapterSnapshot snapshot;
  if (reported_size < kMinAdapterConfigBytes || reported_size > buffer.size()) return snapshot;
  const uint8_t* base = buffer.data();
  const size_t end = static_cast<size_t>(reported_size);

  const uint32_t peers = ReadAt<uint32_t>(base, offsetof(abi::Interface, PeersCount));
  size_t offset = sizeof(abi::Interface);
  uint64_t latest = 0;
  for (uint32_t i = 0; i < peers; ++i) {
    if (end - offset < sizeof(abi::Peer)) break;
    snapshot.rx_bytes = SaturatingAdd(
        snapshot.rx_bytes, ReadAt<uint64_t>(base, offset + offsetof(abi::Peer, RxBytes)));
    snapshot.tx_bytes = SaturatingAdd(
        snapshot.tx_bytes, ReadAt<uint64_t>(base, offset + offsetof(abi::Peer, TxBytes)));
    const uint64_t handshake = ReadAt<uint64_t>(base, offset + offsetof(abi::Peer, LastHandshake));
    if (handshake > latest) latest = handshake;
    const uint64_t allowed = ReadAt<uint32_t>(base, offset + offsetof(abi::Peer, AllowedIPsCount));
    offset += sizeof(abi::Peer);
    // 2^32 entries of 24 bytes cannot overflow 64 bits; compare before moving on.
    const uint64_t allowed_bytes = allowed * sizeof(abi::AllowedIp);
    if (allowed_bytes > end - offset) break;
    offset += static_cast<size_t>(allowed_bytes);
  }
  snapshot.last_handshake_ms = FileTimeToUnixMs(latest);
  return snapshot;
}

}  // namespace tovra::service
