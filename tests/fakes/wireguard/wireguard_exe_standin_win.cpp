// The wireguard.exe stand-in: a tunnel service (see wireguard_standin.h).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "common/base/secret_buffer.h"
#include "common/win/handles_win.h"
#include "tests/fakes/wireguard/standin_script_win.h"
#include "tests/support/own_program_win.h"
#include "tests/fakes/wireguard/wireguard_standin.h"

namespace {

using tovra::common::SecretBuffer;
using tovra::common::UniqueHandle;

// A configuration larger than this is not one the Service renders.
constexpr LONGLONG kMaxConfigBytes = 1 << 20;
constexpr DWORD kCheckpointEveryMs = 100;

struct ExeScript {
  DWORD running_delay_ms = 0;
  DWORD stops_after_ms = 0;  // 0: runs until stopped
  bool no_adapter = false;
};

// Set in wmain before the dispatcher starts; read by ServiceMain's thread.
ULONGLONG g_started_at_ms = 0;
std::wstring g_config_path;
HANDLE g_stop_event = nullptr;

// Written by ServiceMain's thread and the dispatcher's thread.
std::mutex g_status_mutex;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
DWORD g_checkpoint = 0;

void Report(DWORD state, DWORD exit_code = NO_ERROR, DWORD specific = 0) {
  std::lock_guard lock(g_status_mutex);
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exit_code;
  status.dwServiceSpecificExitCode = specific;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++g_checkpoint : 0;
  status.dwWaitHint = pending ? 2000 : 0;
  if (g_status_handle != nullptr) ::SetServiceStatus(g_status_handle, &status);
}

ExeScript ReadExeScript(const std::wstring& folder) {
  ExeScript s;
  for (const tovra::testing::ScriptLine& line :
       tovra::testing::ReadScriptLines(folder + L"\\" + kStandInScriptName)) {
    if (line.key == "running_delay_ms") {
      (void)tovra::testing::ParseScriptNumber(line.value, s.running_delay_ms);
    } else if (line.key == "stops_after_ms") {
      (void)tovra::testing::ParseScriptNumber(line.value, s.stops_after_ms);
    } else if (line.key == "no_adapter") {
      s.no_adapter = line.value == "1";
    }
  }
  return s;
}

// The whole file, or 0 and the Win32 error.
DWORD ReadWhole(const std::wstring& path, SecretBuffer& out) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ::GetLastError();
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return ::GetLastError();
  if (size.QuadPart > kMaxConfigBytes) return ERROR_FILE_TOO_LARGE;
  out.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < out.size()) {
    DWORD n = 0;
    if (!::ReadFile(file.get(), out.data() + done, static_cast<DWORD>(out.size() - done), &n,
                    nullptr)) {
      return ::GetLastError();
    }
    if (n == 0) break;
    done += n;
  }
  out.resize(done);
  return 0;
}

bool WriteFileBytes(const std::wstring& path, const void* data, size_t size, bool append) {
  UniqueHandle file(::CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, 0,
                                  nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) &&
         written == size;
}

// "C:\...\zerkavpnwireguard.conf" -> "zerkavpnwireguard": the adapter's name.
std::wstring BaseName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0) name.resize(dot);
  return name;
}

DWORD WINAPI Control(DWORD control, DWORD, LPVOID, LPVOID) noexcept {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      ::SetEvent(g_stop_event);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void RunTunnel() {
  const std::wstring folder = tovra::testing::OwnProgramFolder();
  const ExeScript script = ReadExeScript(folder);

  // The slow start is the scripted behaviour: the manager must wait through it.
  const ULONGLONG ready_at = ::GetTickCount64() + script.running_delay_ms;
  for (ULONGLONG now = ::GetTickCount64(); now < ready_at; now = ::GetTickCount64()) {
    const ULONGLONG left = ready_at - now;
    ::Sleep(static_cast<DWORD>(left < kCheckpointEveryMs ? left : kCheckpointEveryMs));
    Report(SERVICE_START_PENDING);
  }

  SecretBuffer config;
  if (const DWORD e = ReadWhole(g_config_path, config); e != 0) {
    Report(SERVICE_STOPPED, e);
    return;
  }
  if (!WriteFileBytes(folder + L"\\" + kStandInReadCopyName, config.data(), config.size(), false)) {
    Report(SERVICE_STOPPED, ::GetLastError());
    return;
  }
  config.clear();

  UniqueHandle adapter;
  if (!script.no_adapter) {
    const std::wstring name = kTunnelMutexPrefix + BaseName(g_config_path);
    adapter.reset(::CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!adapter) {
      Report(SERVICE_STOPPED, ::GetLastError());
      return;
    }
  }

  const ULONGLONG running_at = ::GetTickCount64();
  char times[96];
  const int n = std::snprintf(times, sizeof times, "started_at_ms=%llu\nrunning_at_ms=%llu\n",
                              g_started_at_ms, running_at);
  (void)WriteFileBytes(folder + L"\\" + kStandInTimesName, times,
                       n > 0 ? static_cast<size_t>(n) : 0, true);
  Report(SERVICE_RUNNING);

  const DWORD wait = script.stops_after_ms != 0 ? script.stops_after_ms : INFINITE;
  const bool asked_to_stop = ::WaitForSingleObject(g_stop_event, wait) == WAIT_OBJECT_0;
  adapter.reset();
  if (asked_to_stop) {
    Report(SERVICE_STOPPED);
  } else {
    Report(SERVICE_STOPPED, kStandInGaveUpExitCode, 1);
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) noexcept {
  // Own-process: the manager passes the service's name first.
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return;
  SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(argv[0], Control, nullptr);
  if (handle == nullptr) return;
  {
    std::lock_guard lock(g_status_mutex);
    g_status_handle = handle;
  }
  Report(SERVICE_START_PENDING);
  try {
    RunTunnel();
  } catch (...) {
    Report(SERVICE_STOPPED, ERROR_OUTOFMEMORY);
  }
}

int Usage() {
  std::fwprintf(stderr,
                L"usage: wireguard.exe /tunnelservice <configuration file>"
                L" (run by the Service Control Manager only)\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_started_at_ms = ::GetTickCount64();
  if (argc != 3 || std::wcscmp(argv[1], L"/tunnelservice") != 0) return Usage();
  g_config_path = argv[2];
  g_stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_stop_event == nullptr) return 1;
  wchar_t own_process[] = L"";  // ignored for an own-process service
  SERVICE_TABLE_ENTRYW table[] = {{own_process, ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    const DWORD e = ::GetLastError();
    Usage();
    std::fwprintf(stderr, L"not started by the Service Control Manager (error %lu)\n", e);
    return 1;
  }
  return 0;
}
