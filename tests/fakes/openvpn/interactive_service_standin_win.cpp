#include "tests/fakes/openvpn/interactive_service_standin_win.h"

#include <chrono>

#include "common/win/handles_win.h"
#include "tests/support/temp_folder_win.h"
#include "tests/support/wait_until.h"

#ifndef TOVRA_OPENVPN_STANDIN_DIR
#error "TOVRA_OPENVPN_STANDIN_DIR names the folder the build puts the stand-ins in"
#endif

namespace tovra::testing {

namespace {

using common::UniqueHandle;
using common::UniqueServiceHandle;
using std::chrono::milliseconds;

constexpr wchar_t kSquatterRecordName[] = L"openvpnserv-squatter-record.txt";

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

bool WriteWhole(const std::wstring& path, std::string_view bytes) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
         written == bytes.size();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::optional<std::string> LastValue(const std::vector<std::string>& lines, std::string_view key) {
  std::optional<std::string> value;
  for (const std::string& line : lines) {
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        line[key.size()] == '=') {
      value = line.substr(key.size() + 1);
    }
  }
  return value;
}

UniqueServiceHandle OpenManager(DWORD access) {
  return UniqueServiceHandle(::OpenSCManagerW(nullptr, nullptr, access));
}

std::optional<SERVICE_STATUS_PROCESS> QueryStatus(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed)) {
    return std::nullopt;
  }
  return status;
}

bool ServiceExists() {
  UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager) return false;
  UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), kInteractiveServiceName, SERVICE_QUERY_STATUS));
  return service.valid();
}

// Stops and deletes the registration under that name, whoever made it.
bool DeleteServiceNamed(uint32_t timeout_ms) {
  {
    UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager) return false;
    UniqueServiceHandle service(::OpenServiceW(manager.get(), kInteractiveServiceName,
                                               SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    (void)WaitUntil(
        [&] {
          const auto s = QueryStatus(service.get());
          return !s || s->dwCurrentState == SERVICE_STOPPED;
        },
        milliseconds(timeout_ms));
    if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
      return false;
  }
  return WaitUntil([] { return !ServiceExists(); }, milliseconds(timeout_ms));
}

std::wstring ImagePath(DWORD pid) {
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return {};
  wchar_t path[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (!::QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
  return std::wstring(path, size);
}

}  // namespace

OpenVpnRuntimeStandIn::OpenVpnRuntimeStandIn(std::wstring folder) : folder_(std::move(folder)) {
  while (!folder_.empty() && (folder_.back() == L'\\' || folder_.back() == L'/'))
    folder_.pop_back();
}

OpenVpnRuntimeStandIn::~OpenVpnRuntimeStandIn() {
  StopSquatter();
  if (created_service_) (void)RemoveService();
  (void)KillOpenVpnProcesses();
  for (const wchar_t* name :
       {kOpenVpnStandInExeName, kInteractiveServiceStandInExeName, kOpenVpnStandInScriptName,
        kOpenVpnStandInSeenName, kOpenVpnStandInOutputName, kSquatterRecordName}) {
    ::DeleteFileW(PathOf(name).c_str());
  }
  if (created_folder_) ::RemoveDirectoryW(folder_.c_str());
}

std::wstring OpenVpnRuntimeStandIn::BuiltFolder() {
  std::wstring path = Widen(TOVRA_OPENVPN_STANDIN_DIR);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;  // Wine's drive for the Linux root
  return path;
}

std::wstring OpenVpnRuntimeStandIn::PathOf(const wchar_t* name) const {
  return folder_ + L"\\" + name;
}

std::wstring OpenVpnRuntimeStandIn::OpenVpnExePath() const {
  return PathOf(kOpenVpnStandInExeName);
}

std::wstring OpenVpnRuntimeStandIn::ServiceExePath() const {
  return PathOf(kInteractiveServiceStandInExeName);
}

bool OpenVpnRuntimeStandIn::Install(std::string_view script) {
  if (!IsFolder(folder_)) {
    if (!::CreateDirectoryW(folder_.c_str(), nullptr)) return false;
    created_folder_ = true;
  }
  const std::wstring built = BuiltFolder();
  for (const wchar_t* name : {kOpenVpnStandInExeName, kInteractiveServiceStandInExeName}) {
    if (!::CopyFileW((built + L"\\" + name).c_str(), PathOf(name).c_str(), FALSE)) return false;
  }
  ClearSeen();
  return WriteScript(script);
}

bool OpenVpnRuntimeStandIn::WriteScript(std::string_view script) {
  return WriteWhole(PathOf(kOpenVpnStandInScriptName), script);
}

bool OpenVpnRuntimeStandIn::StartService(uint32_t timeout_ms) {
  if (!DeleteServiceNamed(timeout_ms)) return false;
  UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (!manager) return false;
  const std::wstring binary = L"\"" + ServiceExePath() + L"\"";
  UniqueServiceHandle service(::CreateServiceW(
      manager.get(), kInteractiveServiceName, L"OpenVPN Interactive Service (stand-in)",
      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
      binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return false;
  created_service_ = true;
  if (!::StartServiceW(service.get(), 0, nullptr)) return false;
  bool running = false;
  (void)WaitUntil(
      [&] {
        const auto s = QueryStatus(service.get());
        running = s && s->dwCurrentState == SERVICE_RUNNING;
        return !s || running || s->dwCurrentState == SERVICE_STOPPED;
      },
      milliseconds(timeout_ms));
  return running;
}

bool OpenVpnRuntimeStandIn::RemoveService(uint32_t timeout_ms) {
  const bool gone = DeleteServiceNamed(timeout_ms);
  if (gone) created_service_ = false;
  return gone;
}

uint32_t OpenVpnRuntimeStandIn::ServiceProcessId() {
  UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  if (!manager) return 0;
  UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), kInteractiveServiceName, SERVICE_QUERY_STATUS));
  if (!service) return 0;
  const auto s = QueryStatus(service.get());
  return s && s->dwCurrentState == SERVICE_RUNNING ? s->dwProcessId : 0;
}

std::string OpenVpnRuntimeStandIn::SeenText() const {
  return ReadFileFrom(PathOf(kOpenVpnStandInSeenName), 0);
}

std::vector<std::string> OpenVpnRuntimeStandIn::SeenLines() const {
  return Lines(SeenText());
}

std::optional<std::string> OpenVpnRuntimeStandIn::SeenValue(std::string_view key) const {
  return LastValue(SeenLines(), key);
}

std::vector<std::string> OpenVpnRuntimeStandIn::SeenCommands() const {
  std::vector<std::string> commands;
  for (const std::string& line : SeenLines()) {
    if (line.rfind("command=", 0) == 0) commands.push_back(line.substr(8));
  }
  return commands;
}

void OpenVpnRuntimeStandIn::ClearSeen() {
  ::DeleteFileW(PathOf(kOpenVpnStandInSeenName).c_str());
}

std::optional<uint32_t> OpenVpnRuntimeStandIn::WaitForOpenVpnExit(uint32_t pid,
                                                                  uint32_t timeout_ms) {
  UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::nullopt;
  if (::WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) return std::nullopt;
  return code;
}

int OpenVpnRuntimeStandIn::KillOpenVpnProcesses() {
  const std::wstring ours = OpenVpnExePath();
  int ended = 0;
  for (uint32_t pid : ProcessIdsNamed(kOpenVpnStandInExeName)) {
    if (_wcsicmp(ImagePath(pid).c_str(), ours.c_str()) != 0) continue;
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (process && ::TerminateProcess(process.get(), 0xDEAD)) {
      ::WaitForSingleObject(process.get(), 5000);
      ++ended;
    }
  }
  return ended;
}

bool OpenVpnRuntimeStandIn::StartSquatter() {
  StopSquatter();
  const std::wstring record = PathOf(kSquatterRecordName);
  ::DeleteFileW(record.c_str());
  if (!squatter_.Start(ServiceExePath(), L"--squat \"" + record + L"\"")) return false;
  return WaitUntil(
             [&] {
               return LastValue(Lines(ReadFileFrom(record, 0)), "ready").has_value() ||
                      !squatter_.running();
             },
             milliseconds(10000)) &&
         squatter_.running();
}

std::optional<uint64_t> OpenVpnRuntimeStandIn::WaitForSquatter(uint32_t timeout_ms) {
  if (!squatter_.Wait(timeout_ms)) return std::nullopt;
  const std::optional<std::string> bytes =
      LastValue(Lines(ReadFileFrom(PathOf(kSquatterRecordName), 0)), "bytes");
  if (!bytes) return std::nullopt;
  try {
    return std::stoull(*bytes);
  } catch (...) {
    return std::nullopt;
  }
}

bool OpenVpnRuntimeStandIn::SquatterWasConnected() const {
  return LastValue(Lines(ReadFileFrom(PathOf(kSquatterRecordName), 0)), "connected") == "1";
}

void OpenVpnRuntimeStandIn::StopSquatter() {
  squatter_.Kill();
}

}  // namespace tovra::testing
