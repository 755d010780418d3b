#include "service/wireguard/wireguard_tunnel_win.h"

#include <utility>

namespace tovra::service {

std::wstring ReadServiceDirectory() {
  wchar_t path[kModulePathCapacity] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(kModulePathCapacity));
  if (n == 0) return {};
  return ServiceDirectoryFromModulePath(std::wstring_view(path, n));
}

WinWireGuardTunnel::WinWireGuardTunnel(std::wstring service_dir)
    : manager_(std::move(service_dir), TunnelPlatform{services_, files_, library_, clock_}) {}

}  // namespace tovra::service
