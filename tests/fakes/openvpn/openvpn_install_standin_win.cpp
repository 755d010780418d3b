#include "tests/fakes/openvpn/openvpn_install_standin_win.h"

#include <knownfolders.h>
#include <shlobj.h>

#include "tests/support/own_program_win.h"
#include "tests/support/temp_folder_win.h"

namespace tovra::testing {

namespace {

constexpr wchar_t kKey[] = L"SOFTWARE\\OpenVPN";
constexpr wchar_t kConfigDir[] = L"config_dir";
constexpr wchar_t kExePath[] = L"exe_path";
constexpr wchar_t kService[] = L"OpenVPNService";
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::wstring ProgramFiles() {
  wchar_t* folder = nullptr;
  std::wstring out;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramFilesX64, 0, nullptr, &folder)) && folder)
    out = folder;
  ::CoTaskMemFree(folder);
  if (out.empty()) {
    folder = nullptr;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &folder)) && folder)
      out = folder;
    ::CoTaskMemFree(folder);
  }
  return out;
}

}  // namespace

std::wstring OpenVpnInstallStandIn::StandardConfigDir() {
  return ProgramFiles() + L"\\openvpn\\config\\";
}

std::wstring OpenVpnInstallStandIn::StandardExePath() {
  return ProgramFiles() + L"\\openvpn\\bin\\openvpn.exe";
}

OpenVpnInstallStandIn::OpenVpnInstallStandIn() {
  HKEY key = nullptr;
  key_existed_ =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | kView, &key) == ERROR_SUCCESS;
  for (const wchar_t* name : {kConfigDir, kExePath}) {
    SavedValue saved;
    saved.name = name;
    DWORD size = 0;
    if (key_existed_ &&
        ::RegQueryValueExW(key, name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
      saved.bytes.resize(size);
      saved.existed = ::RegQueryValueExW(key, name, nullptr, &saved.type, saved.bytes.data(),
                                         &size) == ERROR_SUCCESS;
      saved.bytes.resize(size);
    }
    saved_.push_back(std::move(saved));
  }
  if (key != nullptr) ::RegCloseKey(key);

  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager != nullptr) {
    SC_HANDLE service = ::OpenServiceW(manager, kService, SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
      service_existed_ = true;
      DWORD needed = 0;
      ::QueryServiceConfigW(service, nullptr, 0, &needed);
      std::vector<uint8_t> buffer(needed == 0 ? sizeof(QUERY_SERVICE_CONFIGW) : needed);
      auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
      if (::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        service_start_type_ = config->dwStartType;
      ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
  }
}

OpenVpnInstallStandIn::~OpenVpnInstallStandIn() {
  Restore();
}

void OpenVpnInstallStandIn::Restore() {
  if (service_touched_) {
    if (service_existed_) {
      SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
      SC_HANDLE service =
          manager != nullptr ? ::OpenServiceW(manager, kService, SERVICE_CHANGE_CONFIG) : nullptr;
      if (service != nullptr) {
        ::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, service_start_type_, SERVICE_NO_CHANGE,
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        ::CloseServiceHandle(service);
      }
      if (manager != nullptr) ::CloseServiceHandle(manager);
    } else {
      (void)RemoveAutoConnectService();
    }
  }
  for (auto it = created_folders_.rbegin(); it != created_folders_.rend(); ++it) RemoveTree(*it);
  created_folders_.clear();

  if (!key_existed_) {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, kView, 0);
    return;
  }
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE | kView, &key) != ERROR_SUCCESS)
    return;
  for (const SavedValue& saved : saved_) {
    if (saved.existed) {
      ::RegSetValueExW(key, saved.name.c_str(), 0, saved.type, saved.bytes.data(),
                       static_cast<DWORD>(saved.bytes.size()));
    } else {
      ::RegDeleteValueW(key, saved.name.c_str());
    }
  }
  ::RegCloseKey(key);
}

bool OpenVpnInstallStandIn::SetValue(const wchar_t* name, DWORD type, const void* data,
                                     DWORD size) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool ok =
      ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return ok;
}

bool OpenVpnInstallStandIn::SetConfigDir(const std::optional<std::wstring>& value) {
  if (!value) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE | kView, &key) != ERROR_SUCCESS)
      return true;  // no key, no value
    const LSTATUS r = ::RegDeleteValueW(key, kConfigDir);
    ::RegCloseKey(key);
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
  }
  return SetValue(kConfigDir, REG_SZ, value->c_str(),
                  static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
}

bool OpenVpnInstallStandIn::SetConfigDirRaw(DWORD type, const std::vector<uint8_t>& bytes) {
  static const uint8_t kNothing = 0;
  return SetValue(kConfigDir, type, bytes.empty() ? &kNothing : bytes.data(),
                  static_cast<DWORD>(bytes.size()));
}

bool OpenVpnInstallStandIn::SetExePath(const std::wstring& value) {
  return SetValue(kExePath, REG_SZ, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool OpenVpnInstallStandIn::EnsureFolders() {
  const std::wstring base = ProgramFiles();
  if (base.empty()) return false;
  for (const std::wstring& folder : {base + L"\\openvpn", base + L"\\openvpn\\config"}) {
    if (IsFolder(folder)) continue;
    if (!::CreateDirectoryW(folder.c_str(), nullptr)) return false;
    created_folders_.push_back(folder);
  }
  return true;
}

bool OpenVpnInstallStandIn::Install(const std::wstring& exe_path) {
  return EnsureFolders() && SetConfigDir(StandardConfigDir()) && SetExePath(exe_path);
}

bool OpenVpnInstallStandIn::RemoveConfigFolder() {
  std::wstring folder = StandardConfigDir();
  folder.pop_back();
  RemoveTree(folder);
  return !IsFolder(folder);
}

bool OpenVpnInstallStandIn::InstallAutoConnectService(DWORD start_type) {
  SC_HANDLE manager =
      ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return false;
  service_touched_ = true;
  SC_HANDLE service = ::OpenServiceW(manager, kService, SERVICE_CHANGE_CONFIG);
  bool ok = false;
  if (service != nullptr) {
    ok = ::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, start_type, SERVICE_NO_CHANGE, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != 0;
  } else {
    // Never started, so any existing program serves as its binary.
    const std::wstring binary = L"\"" + OwnProgramPath() + L"\"";
    service = ::CreateServiceW(manager, kService, L"OpenVPN automatic connections (stand-in)",
                               SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start_type,
                               SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr);
    ok = service != nullptr;
  }
  if (service != nullptr) ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return ok;
}

bool OpenVpnInstallStandIn::RemoveAutoConnectService() {
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = ::OpenServiceW(manager, kService, DELETE);
  bool ok = true;
  if (service != nullptr) {
    ok = ::DeleteService(service) != 0 || ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    ::CloseServiceHandle(service);
  } else {
    ok = ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  }
  ::CloseServiceHandle(manager);
  return ok;
}

}  // namespace tovra::testing
