// Entry and life cycle of the Service program: the SCM dispatcher or the
// "--console" foreground run, ServiceMain, and the control handlers.
#pragma once

#include <windows.h>

namespace tovra::service {

// The body of wmain. Returns the process exit code.
int ServiceEntry(int argc, wchar_t** argv);

// Console mode: the pipe loop on the calling thread until Ctrl+C or the console
// closes.
int RunConsole();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type, LPVOID event_data,
                                   LPVOID context);
BOOL WINAPI ConsoleControlHandler(DWORD event);

}  // namespace tovra::service
