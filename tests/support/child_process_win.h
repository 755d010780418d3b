// Test helper: a child process started from a Windows test program (so the full
// 32-bit exit code is visible), killed on destruction if still running.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/handles_win.h"

namespace tovra::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&&) = default;
  ChildProcess& operator=(ChildProcess&&) = default;
  ~ChildProcess() { Kill(); }

  // Starts `exe` with `args` (already quoted as needed). `env` entries "NAME=value"
  // are set in the child on top of this process's environment; its standard
  // output and error go to the null device unless `inherit_stdio`.
  bool Start(const std::wstring& exe, const std::wstring& args = L"",
             const std::vector<std::wstring>& env = {}, bool inherit_stdio = false);

  bool running() const;
  uint32_t pid() const { return pid_; }
  // Waits up to `ms`; the exit code, or nothing while still running.
  std::optional<uint32_t> Wait(uint32_t ms);
  void Kill();

 private:
  common::UniqueHandle process_;
  uint32_t pid_ = 0;
};

// Terminates every process whose executable file name is `exe_name` (for Agents
// the plugin started detached). Returns how many were ended.
int KillProcessesNamed(const wchar_t* exe_name);
// Whether a process with that executable file name is running.
bool IsProcessRunning(const wchar_t* exe_name);

// An environment variable of this (test) process, for paths ctest hands over.
std::wstring TestEnv(const wchar_t* name);

// The Zerka log file of `component` in the ProgramData folder.
std::wstring ZerkaLogPath(const std::wstring& component);
// Bytes of a file from `offset` on (for reading only what a test produced).
std::string ReadFileFrom(const std::wstring& path, uint64_t offset);
uint64_t FileSize(const std::wstring& path);

}  // namespace tovra::testing
