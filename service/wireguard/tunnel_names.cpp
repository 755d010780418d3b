#include "service/wireguard/tunnel_names.h"

namespace tovra::service {

namespace {
bool IsAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}
}  // namespace

std::wstring ServiceDirectoryFromModulePath(std::wstring_view module_path) {
  if (module_path.size() >= kModulePathCapacity) return {};
  const size_t slash = module_path.rfind(L'\\');
  if (slash == std::wstring_view::npos) return {};
  return std::wstring(module_path.substr(0, slash));
}

bool IsAbsoluteWindowsPath(std::wstring_view path) {
  if (path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == L':' && path[2] == L'\\')
    return true;
  return path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
}

TunnelPaths MakeTunnelPaths(std::wstring_view service_dir, std::wstring_view program_data) {
  TunnelPaths paths;
  if (IsAbsoluteWindowsPath(service_dir)) {
    paths.program = std::wstring(service_dir) + L"\\wireguard.exe";
    paths.library = std::wstring(service_dir) + L"\\wireguard.dll";
  }
  if (IsAbsoluteWindowsPath(program_data)) {
    paths.config_dir = std::wstring(program_data) + L"\\Zerka\\vpn\\wireguard";
    paths.config_file = paths.config_dir + L"\\" + std::wstring(kTunnelName) + L".conf";
  }
  return paths;
}

std::wstring TunnelServiceCommandLine(std::wstring_view program, std::wstring_view config_file) {
  std::wstring line;
  line.reserve(program.size() + config_file.size() + 22);
  line.append(L"\"")
      .append(program)
      .append(L"\" /tunnelservice \"")
      .append(config_file)
      .append(L"\"");
  return line;
}

}  // namespace tovra::service
