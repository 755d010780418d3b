// Test helpers for end-to-end tests: a child process started from a Windows test
// program (so the full 32-bit exit code is visible), killed on destruction if still
// running, and the files the programs leave behind.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/win/handles_win.h"

namespace tovra::testing {

// Where a child's standard output and error go. Captured output goes to a
// temporary file, never a pipe: processes our programs start under Wine inherit
// the Unix-level output and would hold a pipe open.
enum class ChildOutput { discard, inherit, capture };

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Starts `exe` with `args` (already quoted as needed). `env` entries "NAME=value"
  // are set in the child on top of this process's environment.
  bool Start(const std::wstring& exe, const std::wstring& args = L"",
             const std::vector<std::wstring>& env = {}, ChildOutput output = ChildOutput::discard);
  // Starts a whole command line (program first), e.g. "cmd /c script.cmd".
  bool StartCommandLine(const std::wstring& command_line,
                        ChildOutput output = ChildOutput::capture);

  bool running() const;
  uint32_t pid() const { return pid_; }
  HANDLE handle() const { return process_.get(); }
  // Waits up to `ms`; the exit code, or nothing while still running.
  std::optional<uint32_t> Wait(uint32_t ms);
  void Kill();
  // What the child wrote so far, with ChildOutput::capture.
  std::string Output() const;

 private:
  bool Launch(const wchar_t* exe, std::wstring command_line, const std::vector<std::wstring>& env,
              ChildOutput output);

  common::UniqueHandle process_;
  uint32_t pid_ = 0;
  std::wstring output_path_;
};

// A Linux path from the environment (as ctest passes it) in Wine's drive Z: form.
std::wstring WinePathFromEnvironment(const wchar_t* variable);

// Terminates every process whose executable file name is `exe_name` (for Agents
// the plugin started detached). Returns how many were ended.
int KillProcessesNamed(const wchar_t* exe_name);
// Whether a process with that executable file name is running.
bool IsProcessRunning(const wchar_t* exe_name);
// The ids of the processes with that executable file name.
std::vector<uint32_t> ProcessIdsNamed(const wchar_t* exe_name);

// A fresh folder laid out as an installed app has it: copies of the plugin DLL
// (TOVRA_PLUGIN_DLL) and the engine beside it, the Agent (TOVRA_AGENT_EXE) when
// `with_agent`, and zerkactl (TOVRA_ZERKACTL_EXE) when `with_zerkactl`.
std::wstring LayOutAppFolder(const std::wstring& stem, bool with_agent, bool with_zerkactl);

// An environment variable of this (test) process, for paths ctest hands over.
std::wstring TestEnv(const wchar_t* name);

// The Zerka log file of `component` in the ProgramData folder.
std::wstring ZerkaLogPath(const std::wstring& component);
// Bytes of a file from `offset` on (for reading only what a test produced).
std::string ReadFileFrom(const std::wstring& path, uint64_t offset);
uint64_t FileSize(const std::wstring& path);

// A REG_DWORD value of HKLM "SOFTWARE\Zerka VPN" (64-bit view), where the Service
// publishes its activity verdict; nothing when absent.
std::optional<uint32_t> ReadActivityValue(const wchar_t* name);

}  // namespace tovra::testing
