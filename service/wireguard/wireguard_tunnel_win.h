// The Service's WireGuard tunnel on Windows: the tunnel manager over the real
// Service Control Manager, file system, wireguard.dll and clock. The Service's
// state owns one; its handlers and control handler call manager().
// Destroying it frees the library after the manager is gone.
#pragma once

#include <string>

#include "service/wireguard/tunnel_files_win.h"
#include "service/wireguard/tunnel_service_control_win.h"
#include "service/wireguard/wireguard_dll_win.h"
#include "service/wireguard/wireguard_tunnel_manager.h"

namespace tovra::service {

// The folder of the running executable, or empty when its path cannot be read
// or fills the 260-character buffer.
std::wstring ReadServiceDirectory();

class WinWireGuardTunnel {
 public:
  explicit WinWireGuardTunnel(std::wstring service_dir);
  WinWireGuardTunnel(const WinWireGuardTunnel&) = delete;
  WinWireGuardTunnel& operator=(const WinWireGuardTunnel&) = delete;

  WireGuardTunnelManager& manager() { return manager_; }

 private:
  ScmTunnelServiceControl services_;
  WinTunnelFiles files_;
  WireGuardDll library_;
  SystemTunnelClock clock_;
  WireGuardTunnelManager manager_;  // last: built over the members above
};

}  // namespace tovra::service
