// The tunnel service "WireGuardTunnel$zerkavpnwireguard" through the real
// Service Control Manager. One session (manager and service handle) at a time,
// as the tunnel manager drives it under its mutex.
#pragma once

#include "common/win/handles_win.h"
#include "service/wireguard/tunnel_platform.h"

namespace tovra::service {

class ScmTunnelServiceControl final : public TunnelServiceControl {
 public:
  [[nodiscard]] uint32_t Connect(bool create_service_rights) override;
  [[nodiscard]] uint32_t Create(std::wstring_view command_line) override;
  [[nodiscard]] uint32_t Open() override;
  [[nodiscard]] uint32_t SetSidTypeUnrestricted() override;
  void SetDescription() override;
  [[nodiscard]] uint32_t Start() override;
  [[nodiscard]] uint32_t QueryState() override;
  [[nodiscard]] uint32_t SendStop() override;
  [[nodiscard]] uint32_t Delete() override;
  void Close() override;
  [[nodiscard]] bool Exists() override;

 private:
  common::UniqueServiceHandle manager_;
  common::UniqueServiceHandle service_;
};

}  // namespace tovra::service
