#include "service/service_host_win.h"

#include <wtsapi32.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "common/log/log.h"
#include "service/service_pipe_loop_win.h"
#include "service/service_rules.h"
#include "service/service_state_win.h"

namespace tovra::service {

using common::Log;
using common::LogLevel;

namespace {

constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                    SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;
static_assert(kAcceptedControls == 0xC5);

// Covers the longest stop action: a tunnel stop and removal with their waits.
constexpr DWORD kStopWaitHintMs = 30000;

// The SCM status is written by ServiceMain's thread and the dispatcher's thread.
struct ScmStatus {
  std::mutex mutex;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  DWORD checkpoint = 0;
};

ScmStatus& Scm() {
  static ScmStatus scm;
  return scm;
}

// `next_checkpoint` takes the next value of the process-wide counter.
void ReportStatus(DWORD state, DWORD controls, bool next_checkpoint, DWORD wait_hint,
                  DWORD exit_code = NO_ERROR) {
  ScmStatus& scm = Scm();
  std::lock_guard lock(scm.mutex);
  scm.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  scm.status.dwCurrentState = state;
  scm.status.dwControlsAccepted = controls;
  scm.status.dwWin32ExitCode = exit_code;
  scm.status.dwServiceSpecificExitCode = 0;
  scm.status.dwCheckPoint = next_checkpoint ? ++scm.checkpoint : 0;
  scm.status.dwWaitHint = wait_hint;
  if (scm.handle) ::SetServiceStatus(scm.handle, &scm.status);
}

void ReportCurrentStatus() {
  ScmStatus& scm = Scm();
  std::lock_guard lock(scm.mutex);
  if (scm.handle) ::SetServiceStatus(scm.handle, &scm.status);
}

}  // namespace

int RunConsole() {
  common::LogInit(L"service");
  Log(LogLevel::Info,
      L"--console dev run (not started by SCM; keys off this process's own user/session)");
  std::unique_ptr<ServiceState> state = CreateServiceState(true, MakeServiceExtensions());
  if (!state) {
    Log(LogLevel::Error, L"service state could not be created");
    return 1;
  }
  CurrentServiceState::Publish(state.get());
  ::SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
  const int result = RunPipeServer(*state);
  CurrentServiceState::Clear();
  return result;
}

BOOL WINAPI ConsoleControlHandler(DWORD /*event*/) {
  CurrentServiceState::With([](ServiceState& state) { state.RequestStop(); });
  return TRUE;
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type, LPVOID event_data,
                                   LPVOID /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // The dispatcher expects a prompt return: the stop actions (which may wait
      // for a tunnel service to go) run on the pipe loop's thread once it has
      // left, before the state is destroyed and STOPPED is reported.
      ReportStatus(SERVICE_STOP_PENDING, kAcceptedControls, true, kStopWaitHintMs);
      CurrentServiceState::With([](ServiceState& state) {
        // No request may be served from here on: one arriving before the stop
        // actions could start a tunnel right after they removed it.
        state.BeginStop();
        state.stop_actions_due.store(true);
        state.RequestStop();
      });
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      ReportCurrentStatus();
      return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
      CurrentServiceState::With([event_type](ServiceState&) {
        Log(LogLevel::Info, L"power event=" + common::FormatDecimal(event_type) +
                                L" (structured hook, no-op in W3B)");
      });
      return NO_ERROR;
    case SERVICE_CONTROL_SESSIONCHANGE:
      if (event_data != nullptr) {
        const auto* note = static_cast<const WTSSESSION_NOTIFICATION*>(event_data);
        const DWORD session = note->dwSessionId;
        CurrentServiceState::With([event_type, session](ServiceState&) {
          Log(LogLevel::Info, L"session change event=" + common::FormatDecimal(event_type) +
                                  L" session=" + common::FormatDecimal(session) +
                                  L" (structured hook, no-op in W3B)");
        });
      }
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
  SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(std::wstring(kServiceName).c_str(),
                                                                 ServiceControlHandler, nullptr);
  if (handle == nullptr) return;
  {
    ScmStatus& scm = Scm();
    std::lock_guard lock(scm.mutex);
    scm.handle = handle;
  }
  ReportStatus(SERVICE_START_PENDING, 0, true, 5000);
  ServiceExtensions extensions = MakeServiceExtensions();
  // A new checkpoint when the stop actions begin: the stop may have waited for a
  // request (a tunnel start) to finish.
  extensions.stop_request.insert(extensions.stop_request.begin(), [](ServiceState&) {
    ReportStatus(SERVICE_STOP_PENDING, kAcceptedControls, true, kStopWaitHintMs);
  });
  RunServiceLifetime(std::move(extensions), [](DWORD state, DWORD exit_code) {
    if (state == SERVICE_RUNNING) {
      ReportStatus(SERVICE_RUNNING, kAcceptedControls, false, 0);
    } else {
      ReportStatus(state, 0, false, 0, exit_code);
    }
  });
}

void RunServiceLifetime(ServiceExtensions extensions, const ServiceStatusReporter& report) {
  std::unique_ptr<ServiceState> state = CreateServiceState(false, std::move(extensions));
  if (!state) {
    report(SERVICE_STOPPED, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  CurrentServiceState::Publish(state.get());
  report(SERVICE_RUNNING, NO_ERROR);
  RunPipeServer(*state);
  // Once STOPPED is reported the SCM may end the process at any moment, so
  // everything that must run (the state's destructors with what the VPN features
  // hung on it) runs first.
  CurrentServiceState::Clear();
  state.reset();
  report(SERVICE_STOPPED, NO_ERROR);
}

int ServiceEntry(int argc, wchar_t** argv) {
  if (argc > 1 && argv[1] != nullptr && IsConsoleSwitch(argv[1])) return RunConsole();
  std::wstring name(kServiceName);
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherW(table)) return 0;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    std::fputws(std::wstring(kNotStartedMessage).c_str(), stderr);
    std::fflush(stderr);
    return 1;
  }
  return static_cast<int>(error);
}

}  // namespace tovra::service
