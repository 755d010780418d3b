#include "tests/support/child_process_win.h"

#include <filesystem>

#include <knownfolders.h>
#include <tlhelp32.h>
#include <shlobj.h>

namespace tovra::testing {

ChildProcess::~ChildProcess() {
  Kill();
  if (!output_path_.empty()) ::DeleteFileW(output_path_.c_str());
}

bool ChildProcess::Start(const std::wstring& exe, const std::wstring& args,
                         const std::vector<std::wstring>& env, ChildOutput output) {
  return Launch(exe.c_str(), L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args), env, output);
}

bool ChildProcess::StartCommandLine(const std::wstring& command_line, ChildOutput output) {
  return Launch(nullptr, command_line, {}, output);
}

bool ChildProcess::Launch(const wchar_t* exe, std::wstring command_line,
                          const std::vector<std::wstring>& env, ChildOutput output) {
  Kill();
  // The child's environment block: ours, with the extra entries replacing any of
  // the same name.
  std::vector<std::wstring> entries;
  if (wchar_t* block = ::GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) entries.emplace_back(p);
    ::FreeEnvironmentStringsW(block);
  }
  for (const auto& e : env) {
    const std::wstring name = e.substr(0, e.find(L'=') + 1);
    std::erase_if(entries, [&](const std::wstring& x) {
      return _wcsnicmp(x.c_str(), name.c_str(), name.size()) == 0;
    });
    entries.push_back(e);
  }
  std::wstring block;
  for (const auto& e : entries) {
    block += e;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');

  STARTUPINFOW si{};
  si.cb = sizeof si;
  common::UniqueHandle out;
  if (output != ChildOutput::inherit) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (output == ChildOutput::capture) {
      wchar_t dir[MAX_PATH] = {};
      wchar_t path[MAX_PATH] = {};
      ::GetTempPathW(MAX_PATH, dir);
      ::GetTempFileNameW(dir, L"out", 0, path);
      if (!output_path_.empty()) ::DeleteFileW(output_path_.c_str());
      output_path_ = path;
      out.reset(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    } else {
      out.reset(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              OPEN_EXISTING, 0, nullptr));
    }
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out.get();
    si.hStdError = out.get();
    si.hStdInput = nullptr;
  }
  PROCESS_INFORMATION pi{};
  BOOL started = FALSE;
  // Wine now and then fails a process start with ERROR_INTERNAL_ERROR under load;
  // that is the harness, not the program under test.
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    started = ::CreateProcessW(exe, command_line.data(), nullptr, nullptr, TRUE,
                               CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, block.data(), nullptr,
                               &si, &pi);
    if (!started && ::GetLastError() != ERROR_INTERNAL_ERROR) return false;
    if (!started) ::Sleep(200);  // a back-off: there is nothing to observe before a retry
  }
  if (!started) return false;
  ::CloseHandle(pi.hThread);
  process_.reset(pi.hProcess);
  pid_ = pi.dwProcessId;
  return true;
}

std::string ChildProcess::Output() const {
  if (output_path_.empty()) return {};
  return ReadFileFrom(output_path_, 0);
}

std::wstring WinePathFromEnvironment(const wchar_t* variable) {
  std::wstring path = TestEnv(variable);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

bool ChildProcess::running() const {
  return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

std::optional<uint32_t> ChildProcess::Wait(uint32_t ms) {
  if (!process_) return std::nullopt;
  if (::WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  ::GetExitCodeProcess(process_.get(), &code);
  return code;
}

void ChildProcess::Kill() {
  if (running()) {
    ::TerminateProcess(process_.get(), 0xDEAD);
    ::WaitForSingleObject(process_.get(), 10000);
  }
  process_.reset();
}

namespace {
template <typename F>
void ForEachProcessNamed(const wchar_t* exe_name, F f) {
  common::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = ::Process32FirstW(snapshot.get(), &entry); ok;
       ok = ::Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, exe_name) == 0) f(entry.th32ProcessID);
  }
}
}  // namespace

int KillProcessesNamed(const wchar_t* exe_name) {
  int killed = 0;
  ForEachProcessNamed(exe_name, [&](DWORD pid) {
    common::UniqueHandle p(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (p && ::TerminateProcess(p.get(), 0xDEAD)) {
      ::WaitForSingleObject(p.get(), 5000);
      ++killed;
    }
  });
  return killed;
}

bool IsProcessRunning(const wchar_t* exe_name) {
  bool found = false;
  ForEachProcessNamed(exe_name, [&](DWORD) { found = true; });
  return found;
}

std::vector<uint32_t> ProcessIdsNamed(const wchar_t* exe_name) {
  std::vector<uint32_t> pids;
  ForEachProcessNamed(exe_name, [&](DWORD pid) { pids.push_back(pid); });
  return pids;
}

std::wstring LayOutAppFolder(const std::wstring& stem, bool with_agent, bool with_zerkactl) {
  namespace fs = std::filesystem;
  const fs::path plugin = TestEnv(L"TOVRA_PLUGIN_DLL");
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const fs::path dir = fs::path(temp) / (stem + L"-" + std::to_wstring(::GetCurrentProcessId()) +
                                         (with_agent ? L"-with-agent" : L"-no-agent"));
  std::error_code ec;
  fs::create_directories(dir, ec);
  const auto copy = [&](const fs::path& from) {
    fs::copy_file(from, dir / from.filename(), fs::copy_options::overwrite_existing, ec);
  };
  copy(plugin);
  copy(plugin.parent_path() / L"flutter_windows.dll");
  if (with_agent) copy(TestEnv(L"TOVRA_AGENT_EXE"));
  if (with_zerkactl) copy(TestEnv(L"TOVRA_ZERKACTL_EXE"));
  return dir.wstring();
}

std::wstring TestEnv(const wchar_t* name) {
  wchar_t buf[1024];
  const DWORD n = ::GetEnvironmentVariableW(name, buf, 1024);
  return n > 0 && n < 1024 ? std::wstring(buf, n) : std::wstring();
}

std::wstring ZerkaLogPath(const std::wstring& component) {
  common::UniqueCoTaskString program_data;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, program_data.put())))
    return {};
  return std::wstring(program_data.get()) + L"\\Zerka\\vpn\\logs\\" + component + L".log";
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

std::string ReadFileFrom(const std::wstring& path, uint64_t offset) {
  common::UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
  if (!f) return {};
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(offset);
  ::SetFilePointerEx(f.get(), pos, nullptr, FILE_BEGIN);
  std::string out;
  char buf[8192];
  DWORD n = 0;
  while (::ReadFile(f.get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  return out;
}

}  // namespace tovra::testing

namespace tovra::testing {

std::optional<uint32_t> ReadActivityValue(const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zerka VPN", name,
                     RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

}  // namespace tovra::testing
