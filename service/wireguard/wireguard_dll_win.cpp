#include "service/wireguard/wireguard_dll_win.h"

#include "common/log/log.h"
#include "service/wireguard/tunnel_names.h"

namespace tovra::service {

namespace {

template <typename Fn>
Fn Bind(HMODULE module, const char* name) {
  // GetProcAddress returns a generic function pointer; the published signature
  // is restored through void* as the Win32 documentation prescribes.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

WireGuardDll::~WireGuardDll() {
  if (module_ != nullptr) ::FreeLibrary(module_);
}

bool WireGuardDll::Load(const std::wstring& path) {
  if (module_ != nullptr) return true;
  // A relative path would be resolved against a search order a user can plant
  // a library in.
  if (!IsAbsoluteWindowsPath(path)) return false;
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  HMODULE module = ::LoadLibraryExW(
      path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    const DWORD error = ::GetLastError();
    common::LogWin32(common::LogLevel::Error, L"wireguard.dll load failed", error);
    return false;
  }
  const auto open = Bind<wireguard_abi::OpenAdapterFn>(module, wireguard_abi::kOpenAdapterExport);
  const auto close =
      Bind<wireguard_abi::CloseAdapterFn>(module, wireguard_abi::kCloseAdapterExport);
  const auto get =
      Bind<wireguard_abi::GetConfigurationFn>(module, wireguard_abi::kGetConfigurationExport);
  if (open == nullptr || close == nullptr || get == nullptr) {
    common::Log(common::LogLevel::Error, L"wireguard.dll missing a required export -> fail closed");
    ::FreeLibrary(module);
    return false;
  }
  module_ = module;
  open_ = open;
  close_ = close;
  get_configuration_ = get;
  return true;
}

AdapterSnapshot WireGuardDll::Query(std::wstring_view adapter_name) {
  common::SecretBuffer scratch;
  return Query(adapter_name, scratch);
}

AdapterSnapshot WireGuardDll::Query(std::wstring_view adapter_name, common::SecretBuffer& scratch) {
  AdapterSnapshot snapshot;
  if (module_ == nullptr) return snapshot;
  const std::wstring name(adapter_name);
  wireguard_abi::AdapterHandle adapter = open_(name.c_str());
  if (adapter == nullptr) return snapshot;

  DWORD required = 0;
  if (!get_configuration_(adapter, nullptr, &required) && ::GetLastError() == ERROR_MORE_DATA &&
      IsAcceptedRequiredSize(required)) {
    scratch.clear();
    scratch.resize(required);  // zero-filled
    DWORD reported = required;
    // SecretBuffer storage comes from operator new[], aligned for any record.
    if (get_configuration_(adapter, reinterpret_cast<wireguard_abi::Interface*>(scratch.data()),
                           &reported)) {
      snapshot = WalkAdapterConfiguration(scratch.span(), reported);
    }
  }
  close_(adapter);
  scratch.clear();
  snapshot.present = true;
  return snapshot;
}

}  // namespace tovra::service
