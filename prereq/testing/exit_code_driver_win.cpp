// Runs a program and prints its full 32-bit exit code ("exit code 3010"): under
// Wine the Linux side sees only the low 8 bits of a Windows exit code.
//   exit_code_driver <program> [arguments...]
// The arguments are passed as given, each in double quotes. Exits 0 when the
// program ran (whatever its code), 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/win/handles_win.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: exit_code_driver <program> [arguments...]\n", stderr);
    return 1;
  }
  std::wstring command_line;
  for (int i = 1; i < argc; ++i)
    command_line += (i > 1 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(argv[1], command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    const DWORD error = ::GetLastError();
    std::fprintf(stderr, "cannot start the program (win32=%lu)\n",
                 static_cast<unsigned long>(error));
    return 1;
  }
  tovra::common::UniqueHandle process(info.hProcess);
  tovra::common::UniqueHandle thread(info.hThread);
  DWORD code = 0;
  if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process.get(), &code)) {
    std::fputs("cannot read the exit code\n", stderr);
    return 1;
  }
  std::printf("exit code %lu\n", static_cast<unsigned long>(code));
  return 0;
}
