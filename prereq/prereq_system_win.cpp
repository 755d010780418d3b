#include "prereq/prereq_system_win.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <shellapi.h>

#include <cstring>
#include <memory>

#include "common/win/handles_win.h"
#include "prereq/tap_checks.h"

namespace tovra::prereq {
namespace {

using common::UniqueHandle;
using common::UniqueLocal;
using common::UniqueRegKey;
using common::UniqueServiceHandle;

// {4D36E972-E325-11CE-BFC1-08002BE10318}: the network adapter device class.
constexpr GUID kNetClassGuid = {
    0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr wchar_t kDriverClassKeyPrefix[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr wchar_t kTapServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\tap0901";
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr ULONG kStatusNeedRestart = 0x100;  // DN_NEED_RESTART
constexpr ULONG kStatusHasProblem = 0x400;   // DN_HAS_PROBLEM
constexpr int kServiceStartPolls = 60;
constexpr DWORD kServiceStartPollMs = 250;
// Values that keep growing between the size query and the read are re-read a few
// times; a value that never settles is treated as unreadable.
constexpr int kReadAttempts = 8;

Win32Error LastError(std::wstring_view api) {
  return Win32Error{::GetLastError(), api};
}

// The registry calls return their error instead of setting the last error.
Win32Error RegistryError(LONG rc, std::wstring_view api) {
  return Win32Error{static_cast<uint32_t>(rc), api};
}

[[nodiscard]] SystemFact<std::wstring> ExpandAnyLength(const std::wstring& text) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) return {std::nullopt, LastError(L"ExpandEnvironmentStringsW")};
    std::wstring buffer(needed, L'\0');
    const DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), needed);
    if (written == 0) return {std::nullopt, LastError(L"ExpandEnvironmentStringsW")};
    if (written > needed) continue;  // the environment changed in between
    buffer.resize(written - 1);
    return {std::move(buffer), {}};
  }
  return {std::nullopt, {ERROR_MORE_DATA, L"ExpandEnvironmentStringsW"}};
}

struct RegistryValue {
  DWORD type = 0;
  std::wstring data;
};

// The raw data of a value of any length and its type.
[[nodiscard]] SystemFact<RegistryValue> ReadRegistryValue(HKEY key, const wchar_t* value_name) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    DWORD type = 0;
    DWORD bytes = 0;
    LONG rc = ::RegQueryValueExW(key, value_name, nullptr, &type, nullptr, &bytes);
    if (rc != ERROR_SUCCESS) return {std::nullopt, RegistryError(rc, L"RegQueryValueExW")};
    std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    rc = ::RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                            &size);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return {std::nullopt, RegistryError(rc, L"RegQueryValueExW")};
    data.resize(size / sizeof(wchar_t));
    return {RegistryValue{type, std::move(data)}, {}};
  }
  // A value that never settles between the size query and the read.
  return {std::nullopt, {ERROR_MORE_DATA, L"RegQueryValueExW"}};
}

// A REG_SZ value, or a REG_EXPAND_SZ value when `expand` (then expanded); anything else is absent.
[[nodiscard]] SystemFact<std::wstring> ReadRegistryString(HKEY key, const wchar_t* value_name,
                                                          bool expand) {
  SystemFact<RegistryValue> value = ReadRegistryValue(key, value_name);
  if (!value.value) return {std::nullopt, value.error};
  std::wstring text = std::move(value.value->data);
  const size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos) text.resize(nul);
  if (value.value->type == REG_SZ) return {std::move(text), {}};
  if (value.value->type == REG_EXPAND_SZ && expand) return ExpandAnyLength(text);
  return {};
}

[[nodiscard]] SystemFact<std::wstring> ReadHklmString(const std::wstring& key_path,
                                                      const wchar_t* value_name, DWORD extra_access,
                                                      bool expand) {
  UniqueRegKey key;
  const LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0,
                                  KEY_QUERY_VALUE | extra_access, key.put());
  if (rc != ERROR_SUCCESS) return {std::nullopt, RegistryError(rc, L"RegOpenKeyExW")};
  return ReadRegistryString(key.get(), value_name, expand);
}

// A device information set: SetupAPI reports failure as INVALID_HANDLE_VALUE.
struct DeviceInfoListTraits {
  static HDEVINFO Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(HDEVINFO h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Free(HDEVINFO h) { ::SetupDiDestroyDeviceInfoList(h); }
};
using DeviceInfoList = common::UniqueResource<HDEVINFO, DeviceInfoListTraits>;

std::wstring ReadDeviceString(HDEVINFO devices, SP_DEVINFO_DATA& info, DWORD property) {
  std::vector<BYTE> buffer(256);
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    DWORD type = 0;
    DWORD needed = 0;
    if (::SetupDiGetDeviceRegistryPropertyW(devices, &info, property, &type, buffer.data(),
                                            static_cast<DWORD>(buffer.size()), &needed)) {
      if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return {};
      const DWORD used = needed < buffer.size() ? needed : static_cast<DWORD>(buffer.size());
      std::wstring text(used / sizeof(wchar_t), L'\0');
      std::memcpy(text.data(), buffer.data(), text.size() * sizeof(wchar_t));
      const size_t nul = text.find(L'\0');
      if (nul != std::wstring::npos) text.resize(nul);
      return text;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return {};
    buffer.resize(needed);
  }
  return {};
}

// Calls `visit(devices, info)` for every present network-class device served by
// the TAP driver. An error when the device list cannot be had at all.
template <typename Visit>
[[nodiscard]] Win32Error ForEachTapDevice(Visit&& visit) {
  DeviceInfoList devices(::SetupDiGetClassDevsW(&kNetClassGuid, nullptr, nullptr, DIGCF_PRESENT));
  if (!devices.valid()) return LastError(L"SetupDiGetClassDevsW");
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    if (!::SetupDiEnumDeviceInfo(devices.get(), index, &info)) break;
    const std::wstring service = ReadDeviceString(devices.get(), info, SPDRP_SERVICE);
    if (::CompareStringOrdinal(service.c_str(), static_cast<int>(service.size()), L"tap0901", -1,
                               TRUE) != CSTR_EQUAL) {
      continue;
    }
    visit(devices.get(), info);
  }
  return {};
}

struct DevNodeState {
  std::optional<ULONG> status;
  Win32Error error;
};

DevNodeState DevNodeStatus(DEVINST instance) {
  ULONG status = 0;
  ULONG problem = 0;
  const CONFIGRET cr = ::CM_Get_DevNode_Status(&status, &problem, instance, 0);
  // A configuration manager code, not a Win32 one: the call's name says so.
  if (cr != CR_SUCCESS) return {std::nullopt, {cr, L"CM_Get_DevNode_Status (CONFIGRET)"}};
  return {status, {}};
}

[[nodiscard]] Win32Error ChangeDeviceState(HDEVINFO devices, SP_DEVINFO_DATA& info,
                                           DWORD state_change) {
  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = state_change;
  params.Scope = DICS_FLAG_GLOBAL;
  params.HwProfile = 0;
  if (!::SetupDiSetClassInstallParamsW(devices, &info, &params.ClassInstallHeader, sizeof(params)))
    return LastError(L"SetupDiSetClassInstallParamsW");
  if (!::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, devices, &info))
    return LastError(L"SetupDiCallClassInstaller");
  return {};
}

// The package held by handle; see HeldFile.
class Win32HeldFile : public HeldFile {
 public:
  explicit Win32HeldFile(UniqueHandle file) : file_(std::move(file)) {}

  SystemFact<uint32_t> Attributes() override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file_.get(), &info)) {
      return {std::nullopt, LastError(L"GetFileInformationByHandle")};
    }
    return {info.dwFileAttributes, {}};
  }

  SystemFact<std::array<uint8_t, 8>> ReadSignature() override {
    std::array<uint8_t, 8> bytes{};
    DWORD read = 0;
    OVERLAPPED at_start{};  // offset 0 whatever was read before
    if (!::ReadFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read,
                    &at_start)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) return {};  // an empty file
      return {std::nullopt, {error, L"ReadFile"}};
    }
    if (read != bytes.size()) return {};  // a file shorter than any package
    return {bytes, {}};
  }

 private:
  UniqueHandle file_;
};

}  // namespace

ServiceSummary Win32PrereqSystem::QueryServiceSummary(const std::wstring& service_name) {
  ServiceSummary summary;
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    summary.error = LastError(L"OpenSCManagerW");
    return summary;
  }
  UniqueServiceHandle service(::OpenServiceW(manager.get(), service_name.c_str(),
                                             SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  if (!service) {
    summary.error = LastError(L"OpenServiceW");
    return summary;
  }
  summary.exists = true;

  DWORD needed = 0;
  if (!::QueryServiceConfigW(service.get(), nullptr, 0, &needed)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER && needed > 0) {
      // uint64_t storage keeps the structure and its strings aligned.
      std::vector<uint64_t> buffer((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));
      auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
      if (::QueryServiceConfigW(service.get(), config,
                                static_cast<DWORD>(buffer.size() * sizeof(uint64_t)), &needed)) {
        summary.disabled = config->dwStartType == SERVICE_DISABLED;
        summary.enabled = !summary.disabled;
      } else {
        summary.error = LastError(L"QueryServiceConfigW");
      }
    } else {
      summary.error = {error, L"QueryServiceConfigW"};
    }
  }

  SERVICE_STATUS status{};
  if (::QueryServiceStatus(service.get(), &status)) {
    summary.running_or_starting =
        status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING;
  } else if (!summary.error) {
    summary.error = LastError(L"QueryServiceStatus");
  }
  return summary;
}

TapDeviceList Win32PrereqSystem::EnumerateTapDevices() {
  TapDeviceList list;
  Win32Error first_read_error;
  list.error = ForEachTapDevice([&](HDEVINFO devices, SP_DEVINFO_DATA& info) {
    TapDevice device;
    device.device_instance = info.DevInst;
    if (const std::optional<ULONG> status = DevNodeStatus(info.DevInst).status) {
      device.has_problem = (*status & kStatusHasProblem) != 0;
      device.needs_restart = (*status & kStatusNeedRestart) != 0;
    } else {
      device.has_problem = true;
    }
    const std::wstring driver_key = ReadDeviceString(devices, info, SPDRP_DRIVER);
    if (!driver_key.empty()) {
      UniqueRegKey key;
      const std::wstring path = kDriverClassKeyPrefix + driver_key;
      const LONG rc =
          ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.put());
      if (rc == ERROR_SUCCESS) {
        SystemFact<std::wstring> version = ReadRegistryString(key.get(), L"DriverVersion", false);
        if (version.value) {
          device.driver_version = ParseDriverVersion(*version.value).value_or(DriverVersion{});
        }
        SystemFact<std::wstring> provider = ReadRegistryString(key.get(), L"ProviderName", false);
        device.provider_name = provider.value.value_or(L"");
        for (const Win32Error& e : {version.error, provider.error}) {
          if (!first_read_error) first_read_error = e;
        }
      } else if (!first_read_error) {
        first_read_error = RegistryError(rc, L"RegOpenKeyExW");
      }
    }
    list.devices.push_back(std::move(device));
  });
  if (!list.error) list.error = first_read_error;
  return list;
}

bool Win32PrereqSystem::IsNativeAmd64() {
  SYSTEM_INFO info{};
  ::GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

SystemFact<std::wstring> Win32PrereqSystem::ReadTapImagePath() {
  return ReadHklmString(kTapServiceKey, L"ImagePath", 0, true);
}

std::optional<std::wstring> Win32PrereqSystem::ExpandEnvironment(const std::wstring& text) {
  return ExpandAnyLength(text).value;
}

SystemFact<DriverVersion> Win32PrereqSystem::ReadFileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {std::nullopt, LastError(L"GetFileVersionInfoSizeW")};
  std::vector<uint64_t> data((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
    return {std::nullopt, LastError(L"GetFileVersionInfoW")};
  }
  void* block = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(data.data(), L"\\", &block, &length) || block == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return {};  // a version resource without its fixed part
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  return {DriverVersion{{HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                         HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS)}},
          {}};
}

SystemFact<std::wstring> Win32PrereqSystem::ReadPendingRenames() {
  UniqueRegKey key;
  const LONG rc =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, key.put());
  if (rc != ERROR_SUCCESS) return {std::nullopt, RegistryError(rc, L"RegOpenKeyExW")};
  SystemFact<RegistryValue> value = ReadRegistryValue(key.get(), L"PendingFileRenameOperations");
  if (!value.value) return {std::nullopt, value.error};
  if (value.value->type != REG_MULTI_SZ) return {};
  return {std::move(value.value->data), {}};
}

SystemStep Win32PrereqSystem::StartServiceAndWait(const std::wstring& service_name) {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return {false, LastError(L"OpenSCManagerW")};
  UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), service_name.c_str(), SERVICE_QUERY_STATUS | SERVICE_START));
  if (!service) return {false, LastError(L"OpenServiceW")};
  Win32Error first;
  SERVICE_STATUS status{};
  if (!::QueryServiceStatus(service.get(), &status) || status.dwCurrentState != SERVICE_RUNNING) {
    // A failed start is kept but not final: the service may be starting anyway,
    // which the polls show.
    if (!::StartServiceW(service.get(), 0, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_SERVICE_ALREADY_RUNNING) first = {error, L"StartServiceW"};
    }
  }
  for (int poll = 0; poll < kServiceStartPolls; ++poll) {
    if (::QueryServiceStatus(service.get(), &status)) {
      if (status.dwCurrentState == SERVICE_RUNNING) return {true, {}};
    } else if (!first) {
      first = LastError(L"QueryServiceStatus");
    }
    ::Sleep(kServiceStartPollMs);
  }
  return {false, first};
}

SystemStep Win32PrereqSystem::RestartTapDevices() {
  SystemStep step{true, {}};
  const auto fail = [&step](const Win32Error& error) {
    step.done = false;
    if (!step.error) step.error = error;
  };
  const Win32Error list_error = ForEachTapDevice([&](HDEVINFO devices, SP_DEVINFO_DATA& info) {
    DevNodeState state = DevNodeStatus(info.DevInst);
    if (!state.status) {
      fail(state.error);
      return;
    }
    if ((*state.status & kStatusNeedRestart) == 0) return;
    // Enable is attempted even when disable failed: a device must never be left disabled.
    const Win32Error disabled = ChangeDeviceState(devices, info, DICS_DISABLE);
    const Win32Error enabled = ChangeDeviceState(devices, info, DICS_ENABLE);
    if (disabled || enabled) fail(disabled ? disabled : enabled);
    state = DevNodeStatus(info.DevInst);
    if (!state.status) {
      fail(state.error);
    } else if ((*state.status & (kStatusHasProblem | kStatusNeedRestart)) != 0) {
      fail({});  // still unhealthy after a restart that raised no error
    }
  });
  // No device list: nothing to restart, which the step's error says.
  if (list_error) step.error = list_error;
  return step;
}

SystemFact<uint32_t> Win32PrereqSystem::FileAttributes(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return {std::nullopt, LastError(L"GetFileAttributesW")};
  return {attributes, {}};
}

FileHold Win32PrereqSystem::HoldFile(const std::wstring& path) {
  // Read sharing only: no writer, rename or delete can get in while it is held.
  // Backup semantics open a folder as well, so that its attributes refuse it.
  UniqueHandle file(::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return {nullptr, LastError(L"CreateFileW")};
  return {std::make_unique<Win32HeldFile>(std::move(file)), {}};
}

SystemFact<std::wstring> Win32PrereqSystem::SystemDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
  if (length == 0) return {std::nullopt, LastError(L"GetSystemDirectoryW")};
  if (length >= MAX_PATH)
    return {std::nullopt, {ERROR_INSUFFICIENT_BUFFER, L"GetSystemDirectoryW"}};
  return {std::wstring(buffer, length), {}};
}

SystemFact<std::wstring> Win32PrereqSystem::ReadOpenVpnDirectory() {
  return ReadHklmString(L"SOFTWARE\\OpenVPN", nullptr, KEY_WOW64_64KEY, true);
}

RunResult Win32PrereqSystem::Run(const std::wstring& application, const std::wstring& command_line,
                                 std::optional<uint32_t> timeout_ms) {
  std::wstring writable = command_line;  // CreateProcessW may write into its command line
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process_info{};
  if (!::CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process_info)) {
    return {RunStatus::not_started, 0, LastError(L"CreateProcessW")};
  }
  UniqueHandle process(process_info.hProcess);
  UniqueHandle thread(process_info.hThread);
  thread.reset();

  const DWORD wait = ::WaitForSingleObject(process.get(), timeout_ms ? *timeout_ms : INFINITE);
  if (wait == WAIT_TIMEOUT) return {RunStatus::timed_out, 0, {}};
  if (wait != WAIT_OBJECT_0) {
    // WAIT_FAILED sets the last error; an abandoned wait does not.
    const DWORD error = wait == WAIT_FAILED ? ::GetLastError() : wait;
    return {RunStatus::wait_failed, 0, {error, L"WaitForSingleObject"}};
  }
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process.get(), &exit_code)) {
    return {RunStatus::wait_failed, 0, LastError(L"GetExitCodeProcess")};
  }
  return {RunStatus::exited, exit_code, {}};
}

void Win32PrereqSystem::Note(std::wstring_view line) {
  const std::wstring text = L"TOVRAPrereqLauncher: " + std::wstring(line) + L"\n";
  ::OutputDebugStringW(text.c_str());
}

std::optional<std::vector<std::wstring>> SplitProcessCommandLine() {
  int count = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (argv == nullptr) return std::nullopt;
  UniqueLocal owner(argv);
  std::vector<std::wstring> arguments;
  for (int i = 0; i < count; ++i) {
    if (argv[i] == nullptr) return std::nullopt;
    arguments.emplace_back(argv[i]);
  }
  return arguments;
}

}  // namespace tovra::prereq
