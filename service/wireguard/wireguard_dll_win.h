// wireguard.dll beside the Service: loaded once from an absolute path, bound to
// its three exports (a library lacking one is released and never used), and
// asked for one adapter's configuration snapshot at a time.
//
// Owned by the tunnel manager, which calls it under its mutex; not thread-safe
// by itself. The module is freed on destruction. Query failures are silent (the
// snapshot says not present, or present with zero counters).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "common/base/secret_buffer.h"
#include "service/wireguard/tunnel_platform.h"
#include "service/wireguard/wireguard_dll_abi_win.h"

namespace tovra::service {

class WireGuardDll final : public AdapterQuery {
 public:
  WireGuardDll() = default;
  WireGuardDll(const WireGuardDll&) = delete;
  WireGuardDll& operator=(const WireGuardDll&) = delete;
  ~WireGuardDll() override;

  [[nodiscard]] bool Load(const std::wstring& path) override;
  [[nodiscard]] AdapterSnapshot Query(std::wstring_view adapter_name) override;
  // The same, with the caller's buffer for the configuration (it holds the
  // interface's private key); it is wiped before this returns.
  [[nodiscard]] AdapterSnapshot Query(std::wstring_view adapter_name,
                                      common::SecretBuffer& scratch);

  bool loaded() const { return module_ != nullptr; }

 private:
  HMODULE module_ = nullptr;
  wireguard_abi::OpenAdapterFn open_ = nullptr;
  wireguard_abi::CloseAdapterFn close_ = nullptr;
  wireguard_abi::GetConfigurationFn get_configuration_ = nullptr;
};

}  // namespace tovra::service
