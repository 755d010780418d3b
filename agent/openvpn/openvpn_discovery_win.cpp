#include "agent/openvpn/openvpn_discovery_win.h"

#include <vector>

#include "agent/openvpn/interactive_service_client_win.h"
#include "agent/openvpn/openvpn_discovery.h"
#include "common/win/handles_win.h"

namespace tovra::agent::openvpn {

namespace {

using common::Tri;
using common::UniqueServiceHandle;

constexpr DWORD kModulePathChars = 260;
constexpr DWORD kMaxRegisteredPathBytes = 520;

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

struct ServiceFacts {
  ServiceLookup lookup = ServiceLookup::manager_unavailable;
  std::optional<bool> running;
};

ServiceFacts LookUpService(std::wstring_view service_name, bool query_state) {
  ServiceFacts facts;
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return facts;
  const std::wstring name(service_name);
  UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = ::GetLastError();
    facts.lookup =
        error == ERROR_SERVICE_DOES_NOT_EXIST ? ServiceLookup::missing : ServiceLookup::open_failed;
    return facts;
  }
  facts.lookup = ServiceLookup::opened;
  SERVICE_STATUS status{};
  if (query_state && ::QueryServiceStatus(service.get(), &status)) {
    facts.running = status.dwCurrentState == SERVICE_RUNNING;
  }
  return facts;
}

}  // namespace

std::wstring AgentModuleFolder() {
  wchar_t path[kModulePathChars];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, kModulePathChars);
  if (length == 0 || length >= kModulePathChars) return {};  // failed, or cut short
  return FolderOf(std::wstring_view(path, length));
}

std::optional<std::wstring> ReadRegisteredExePath(HKEY root, const wchar_t* subkey) {
  common::UniqueRegKey key;
  if (::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  // One character more than the value may hold, so the text always ends in a NUL.
  std::vector<wchar_t> buffer(kMaxRegisteredPathBytes / sizeof(wchar_t) + 1, L'\0');
  DWORD type = 0;
  DWORD bytes = kMaxRegisteredPathBytes;
  if (::RegQueryValueExW(key.get(), L"exe_path", nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::nullopt;
  }
  std::wstring path(buffer.data());  // up to the first NUL
  if (path.empty()) return std::nullopt;
  return path;
}

std::wstring FindOpenVpnExeIn(const std::wstring& agent_folder,
                              std::optional<std::wstring> registry_exe_path) {
  return ChooseOpenVpnExe(ShippedOpenVpnExePath(agent_folder), registry_exe_path.value_or(L""),
                          FileExists);
}

std::wstring FindOpenVpnExe() {
  return FindOpenVpnExeIn(AgentModuleFolder(),
                          ReadRegisteredExePath(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OpenVPN"));
}

std::string ReadFileVersionText(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<uint8_t> data(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};
  void* block = nullptr;
  UINT block_size = 0;
  if (!::VerQueryValueW(data.data(), L"\\", &block, &block_size) || block == nullptr ||
      block_size < sizeof(VS_FIXEDFILEINFO)) {
    return {};
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
  return FormatFileVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

common::Tri ProbeOpenVpnPresenceAt(const std::wstring& exe, std::string& version_out) {
  version_out.clear();
  if (exe.empty()) return Tri::no;
  version_out = ReadFileVersionText(exe);
  return Tri::yes;
}

common::Tri ProbeOpenVpnPresence(std::string& version_out) {
  return ProbeOpenVpnPresenceAt(FindOpenVpnExe(), version_out);
}

common::Tri ServiceInstalled(std::wstring_view service_name) {
  return ServiceInstalledVerdict(LookUpService(service_name, /*query_state=*/false).lookup);
}

common::Tri ServiceRunning(std::wstring_view service_name) {
  const ServiceFacts facts = LookUpService(service_name, /*query_state=*/true);
  return ServiceRunningVerdict(facts.lookup, facts.running);
}

common::Tri InteractiveServiceInstalled() {
  return ServiceInstalled(kInteractiveServiceName);
}

common::Tri InteractiveServiceRunning() {
  return ServiceRunning(kInteractiveServiceName);
}

common::OpenVpnCapabilitiesRecord ProbeOpenVpnCapabilities() {
  return CollectOpenVpnCapabilities(
      {ProbeOpenVpnPresence, InteractiveServiceInstalled, InteractiveServiceRunning});
}

}  // namespace tovra::agent::openvpn
