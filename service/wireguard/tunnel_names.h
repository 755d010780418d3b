// The fixed names of the one WireGuard tunnel the Service owns, and the rules
// that turn the Service's folder and ProgramData into the paths it uses.
// Portable and pure.
#pragma once

#include <string>
#include <string_view>

namespace tovra::service {

inline constexpr std::wstring_view kTunnelName = L"zerkavpnwireguard";
inline constexpr std::wstring_view kTunnelServiceName = L"WireGuardTunnel$zerkavpnwireguard";
inline constexpr std::wstring_view kTunnelDisplayName = L"WireGuard Tunnel: zerkavpnwireguard";
inline constexpr std::wstring_view kTunnelDescription =
    L"Zerka WireGuard tunnel. Created and controlled by ZerkaVPNService.";
// Double-NUL-terminated list, as CreateServiceW takes it.
inline constexpr std::wstring_view kTunnelDependencies{L"Nsi\0TcpIp\0\0", 11};

inline constexpr size_t kModulePathCapacity = 260;

// Everything before the last backslash of the module path; empty when the path
// filled the whole 260-character buffer (it may have been cut) or has no folder.
std::wstring ServiceDirectoryFromModulePath(std::wstring_view module_path);

// "X:\..." or "\\server\..." (also "\\?\..."): a path that cannot be resolved
// against a current directory or a DLL search order.
[[nodiscard]] bool IsAbsoluteWindowsPath(std::wstring_view path);

struct TunnelPaths {
  std::wstring program;      // <service dir>\wireguard.exe, empty without a service dir
  std::wstring library;      // <service dir>\wireguard.dll, empty without a service dir
  std::wstring config_dir;   // <ProgramData>\Zerka\vpn\wireguard, empty without ProgramData
  std::wstring config_file;  // <config dir>\zerkavpnwireguard.conf
};

// Paths are formed only from absolute folders; a folder that is empty or
// relative leaves its paths empty, so nothing is ever looked up relative to the
// current directory.
TunnelPaths MakeTunnelPaths(std::wstring_view service_dir, std::wstring_view program_data);

// "<program>" /tunnelservice "<config file>"
std::wstring TunnelServiceCommandLine(std::wstring_view program, std::wstring_view config_file);

}  // namespace tovra::service
