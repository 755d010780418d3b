// The published binary interface of wireguard.dll, as far as the Service uses it:
// the adapter configuration records that WireGuardGetConfiguration writes. Shared
// by our loader and by the test stand-in library, so both agree byte for byte.
//
// The records are declared with exact-width members and the published alignment
// (every record 8-byte aligned); the endpoint and address unions are kept as
// opaque words of the right size and alignment, which is all the Service needs.
// Portable: the adapter walk reads these offsets from a byte buffer natively too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovra::service::wireguard_abi {

struct alignas(8) Interface {
  uint32_t Flags;
  uint16_t ListenPort;
  uint8_t PrivateKey[32];
  uint8_t PublicKey[32];
  uint32_t PeersCount;
};

// SOCKADDR_INET: a union of sockaddr_in (16 bytes) and sockaddr_in6 (28 bytes,
// 4-byte aligned) with the address family first.
struct SockaddrInet {
  uint32_t words[7];
};

struct alignas(8) Peer {
  uint32_t Flags;
  uint32_t Reserved;
  uint8_t PublicKey[32];
  uint8_t PresharedKey[32];
  uint16_t PersistentKeepalive;
  SockaddrInet Endpoint;
  uint64_t TxBytes;
  uint64_t RxBytes;
  uint64_t LastHandshake;  // FILETIME units: 100 ns since 1601-01-01 UTC
  uint32_t AllowedIPsCount;
};

// IN_ADDR / IN6_ADDR union.
struct InetAddress {
  uint32_t words[4];
};

struct alignas(8) AllowedIp {
  InetAddress Address;
  uint16_t AddressFamily;
  uint8_t Cidr;
};

static_assert(sizeof(Interface) == 80 && alignof(Interface) == 8);
static_assert(offsetof(Interface, Flags) == 0 && offsetof(Interface, ListenPort) == 4 &&
              offsetof(Interface, PrivateKey) == 6 && offsetof(Interface, PublicKey) == 38 &&
              offsetof(Interface, PeersCount) == 72);
static_assert(sizeof(Peer) == 136 && alignof(Peer) == 8);
static_assert(offsetof(Peer, Flags) == 0 && offsetof(Peer, Reserved) == 4 &&
              offsetof(Peer, PublicKey) == 8 && offsetof(Peer, PresharedKey) == 40 &&
              offsetof(Peer, PersistentKeepalive) == 72 && offsetof(Peer, Endpoint) == 76 &&
              offsetof(Peer, TxBytes) == 104 && offsetof(Peer, RxBytes) == 112 &&
              offsetof(Peer, LastHandshake) == 120 && offsetof(Peer, AllowedIPsCount) == 128);
static_assert(sizeof(SockaddrInet) == 28);
static_assert(sizeof(AllowedIp) == 24 && alignof(AllowedIp) == 8);
static_assert(offsetof(AllowedIp, Address) == 0 && offsetof(AllowedIp, AddressFamily) == 16 &&
              offsetof(AllowedIp, Cidr) == 18);

inline constexpr char kOpenAdapterExport[] = "WireGuardOpenAdapter";
inline constexpr char kCloseAdapterExport[] = "WireGuardCloseAdapter";
inline constexpr char kGetConfigurationExport[] = "WireGuardGetConfiguration";

}  // namespace tovra::service::wireguard_abi
