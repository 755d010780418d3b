#include "agent/openvpn/openvpn_process_win.h"

#include <optional>
#include <utility>
#include <vector>

#include "agent/openvpn/openvpn_process_rules.h"
#include "common/log/log.h"

namespace tovra::agent::openvpn {

namespace {

using common::LogLevel;
using common::UniqueHandle;

constexpr DWORD kDiagnosticImageChars = MAX_PATH;
// The image path that decides a termination is read whole, however deep the
// installation lies (the longest path the system accepts).
constexpr DWORD kDecisionImageChars = 32768;
constexpr DWORD kTerminateWaitMs = 2000;
constexpr UINT kTerminatedExitCode = 1;

std::optional<std::wstring> ReadImagePath(HANDLE process, DWORD capacity) {
  std::vector<wchar_t> buffer(capacity);
  DWORD size = capacity;
  if (!::QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) return std::nullopt;
  return std::wstring(buffer.data(), size);
}

// The process behind `pid`, if it is still openvpn.exe and still running, ended
// by force. The caller still holds its own handle to the process (when it has
// one), so the id cannot have been handed to another process meanwhile; without
// one, the image check is what keeps an unrelated program alive.
void EndIfStillOpenVpn(uint32_t pid) {
  UniqueHandle target(::OpenProcess(
      PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!target) {
    const DWORD error = ::GetLastError();
    common::LogWin32(LogLevel::Error,
                     L"openvpn_coordinator: last-resort TerminateProcess handle unavailable",
                     error);
    return;
  }
  const bool running = ::WaitForSingleObject(target.get(), 0) == WAIT_TIMEOUT;
  const std::optional<std::wstring> image = ReadImagePath(target.get(), kDecisionImageChars);
  switch (
      DecideLastResort(running, image ? std::optional<std::wstring_view>(*image) : std::nullopt)) {
    case LastResortAction::none:
      return;
    case LastResortAction::terminate:
      if (!::TerminateProcess(target.get(), kTerminatedExitCode)) {
        const DWORD error = ::GetLastError();
        common::LogWin32(LogLevel::Error,
                         L"openvpn_coordinator: last-resort TerminateProcess failed", error);
        return;
      }
      ::WaitForSingleObject(target.get(), kTerminateWaitMs);
      return;
    case LastResortAction::skip_not_openvpn:
      common::Log(LogLevel::Warn, L"openvpn_coordinator: last-resort terminate skipped: process " +
                                      common::FormatDecimal(pid) + L" is not openvpn.exe");
      return;
    case LastResortAction::skip_image_unknown:
      common::Log(LogLevel::Warn,
                  L"openvpn_coordinator: last-resort terminate skipped: image of process " +
                      common::FormatDecimal(pid) + L" unreadable");
      return;
  }
}

}  // namespace

OpenVpnProcessWin::OpenVpnProcessWin(std::wstring openvpn_exe_path, uint32_t agent_session_id)
    : openvpn_exe_path_(std::move(openvpn_exe_path)), agent_session_id_(agent_session_id) {}

bool OpenVpnProcessWin::CreateExitEvent(const std::wstring& name) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  const DWORD error = ::GetLastError();
  if (!event) {
    common::LogWin32(LogLevel::Error, L"openvpn_coordinator: exit event not created", error);
    return false;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    common::Log(LogLevel::Error, L"openvpn_coordinator: exit event name already in use");
    return false;
  }
  std::lock_guard lock(mutex_);
  exit_event_ = std::move(event);
  return true;
}

void OpenVpnProcessWin::CloseExitEvent() {
  UniqueHandle event;
  {
    std::lock_guard lock(mutex_);
    event = std::move(exit_event_);
  }
}

void OpenVpnProcessWin::AdoptProcess(uint32_t pid) {
  UniqueHandle previous;
  {
    std::lock_guard lock(mutex_);
    process_id_ = pid;
    previous = std::move(process_);
  }
  if (pid == 0) return;
  UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) {
    const DWORD error = ::GetLastError();
    common::LogWin32(
        LogLevel::Warn,
        L"openvpn_coordinator: query/sync handle unavailable for reported PID (nonfatal)", error);
    return;
  }
  const std::optional<std::wstring> image = ReadImagePath(process.get(), kDiagnosticImageChars);
  if (!image || !SamePathIgnoringCase(*image, openvpn_exe_path_)) {
    common::LogWin32(LogLevel::Warn,
                     L"openvpn_coordinator: reported PID image path differs (diagnostic only)", 0);
  }
  DWORD session = 0;
  if (::ProcessIdToSessionId(pid, &session) && session != agent_session_id_) {
    common::LogWin32(LogLevel::Warn,
                     L"openvpn_coordinator: reported PID session differs (diagnostic only)", 0);
  }
  std::lock_guard lock(mutex_);
  // A stop that ran meanwhile took the id; the handle is not kept for it.
  if (process_id_ == pid) process_ = std::move(process);
}

uint32_t OpenVpnProcessWin::process_id() {
  std::lock_guard lock(mutex_);
  return process_id_;
}

bool OpenVpnProcessWin::HasExited() {
  std::lock_guard lock(mutex_);
  return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

void OpenVpnProcessWin::StopProcess(uint32_t wait_ms) {
  UniqueHandle process;
  UniqueHandle event;
  uint32_t pid = 0;
  {
    std::lock_guard lock(mutex_);
    process = std::move(process_);
    event = std::move(exit_event_);
    pid = std::exchange(process_id_, 0);
  }
  if (!process && !event && pid == 0) return;  // nothing, or another caller took it

  if (event) ::SetEvent(event.get());
  bool ended = false;
  if (!process && pid != 0) {
    // Adopted without a handle (or the handle could not be had then): one for
    // waiting may be available now; a process that no longer exists has ended.
    process.reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_INVALID_PARAMETER) {
        ended = true;
      } else {
        ::Sleep(wait_ms);
      }
    }
  }
  if (process) ended = ::WaitForSingleObject(process.get(), wait_ms) == WAIT_OBJECT_0;
  // `process`, still held here, keeps the id from being reused before the check.
  if (!ended && pid != 0) EndIfStillOpenVpn(pid);
}

}  // namespace tovra::agent::openvpn
