// Builds a configuration buffer as wireguard.dll lays it out: the interface
// record, then each peer followed by its allowed-IP records. Used by the walk's
// tests and by the stand-in library.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "service/wireguard/wireguard_dll_abi.h"

namespace tovra::service::testing {

struct PeerScript {
  uint64_t tx = 0;
  uint64_t rx = 0;
  uint64_t last_handshake = 0;  // FILETIME units
  uint32_t allowed_ips = 0;
};

inline std::vector<uint8_t> BuildAdapterConfiguration(const std::vector<PeerScript>& peers,
                                                      uint8_t private_key_byte = 0x5A) {
  namespace abi = wireguard_abi;
  std::vector<uint8_t> out(sizeof(abi::Interface));
  abi::Interface iface{};
  iface.ListenPort = 51820;
  std::memset(iface.PrivateKey, private_key_byte, sizeof iface.PrivateKey);
  iface.PeersCount = static_cast<uint32_t>(peers.size());
  std::memcpy(out.data(), &iface, sizeof iface);
  for (const PeerScript& p : peers) {
    abi::Peer peer{};
    peer.TxBytes = p.tx;
    peer.RxBytes = p.rx;
    peer.LastHandshake = p.last_handshake;
    peer.AllowedIPsCount = p.allowed_ips;
    const size_t at = out.size();
    out.resize(at + sizeof peer + p.allowed_ips * sizeof(abi::AllowedIp));
    std::memcpy(out.data() + at, &peer, sizeof peer);
    for (uint32_t i = 0; i < p.allowed_ips; ++i) {
      abi::AllowedIp ip{};
      ip.AddressFamily = 2;
      ip.Cidr = 32;
      std::memcpy(out.data() + at + sizeof peer + i * sizeof ip, &ip, sizeof ip);
    }
  }
  return out;
}

}  // namespace tovra::service::testing
