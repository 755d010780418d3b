// Test helper: starts a program with its standard output and error going to a
// temporary file, and terminates it if the test ends while it still runs.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace tovra::testing {

// A Linux path from the environment (as ctest passes it) in Wine's drive Z: form.
inline std::wstring WinePathFromEnvironment(const wchar_t* variable) {
  wchar_t buf[1024] = {};
  const DWORD n = ::GetEnvironmentVariableW(variable, buf, 1024);
  if (n == 0 || n >= 1024) return {};
  std::wstring path(buf, n);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (process_) {
      if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_, 99);
        ::WaitForSingleObject(process_, 10000);
      }
      ::CloseHandle(process_);
    }
    if (!output_path_.empty()) ::DeleteFileW(output_path_.c_str());
  }

  // `command_line` is the full command line (program first, quoted as needed).
  bool Start(const std::wstring& program, const std::wstring& command_line) {
    wchar_t dir[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"out", 0, path);
    output_path_ = path;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out;
    si.hStdError = out;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = command_line;
    const BOOL ok = ::CreateProcessW(program.empty() ? nullptr : program.c_str(), cmd.data(),
                                     nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    ::CloseHandle(out);
    if (!ok) return false;
    ::CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
    return true;
  }

  DWORD pid() const { return pid_; }
  HANDLE handle() const { return process_; }

  // The exit code, or nothing when it still runs after `ms`.
  std::optional<DWORD> WaitExit(DWORD ms) {
    if (::WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    return code;
  }

  std::string Output() const {
    std::string text;
    HANDLE h = ::CreateFileW(output_path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return text;
    char buf[4096];
    DWORD n = 0;
    while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
    ::CloseHandle(h);
    return text;
  }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  std::wstring output_path_;
};

}  // namespace tovra::testing
