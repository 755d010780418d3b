// Entry and life cycle of the Service program: the SCM dispatcher or the
// "--console" foreground run, ServiceMain, and the control handlers.
#pragma once

#include <windows.h>

#include <functional>

#include "service/service_state_win.h"

namespace tovra::service {

// The body of wmain. Returns the process exit code.
int ServiceEntry(int argc, wchar_t** argv);

// Console mode: the pipe loop on the calling thread until Ctrl+C or the console
// closes.
int RunConsole();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// Reports a service state (SERVICE_RUNNING or SERVICE_STOPPED) with its exit code.
using ServiceStatusReporter = std::function<void(DWORD state, DWORD exit_code)>;

// ServiceMain after START_PENDING: creates and publishes the state, reports
// RUNNING, runs the pipe loop, then clears and destroys the state and only then
// reports STOPPED.
void RunServiceLifetime(ServiceExtensions extensions, const ServiceStatusReporter& report);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type, LPVOID event_data,
                                   LPVOID context);
BOOL WINAPI ConsoleControlHandler(DWORD event);

}  // namespace tovra::service
