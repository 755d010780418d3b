// Stand-in for the OpenVPN installation's tapctl.exe. Appends its argument text
// to "tapctl-calls.txt" beside itself, so a test can see that and how it was run,
// and exits 0 for "create", 1 for anything else.
#include <windows.h>

#include <string>

#include "common/win/handles_win.h"

int wmain(int argc, wchar_t** argv) {
  std::wstring line;
  for (int i = 1; i < argc; ++i) line += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
  wchar_t self[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 2;
  std::wstring log(self, length);
  log.resize(log.find_last_of(L'\\') + 1);
  log += L"tapctl-calls.txt";
  tovra::common::UniqueHandle file(::CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                 nullptr));
  if (!file) return 2;
  std::string bytes(line.begin(), line.end());  // the arguments used here are ASCII
  bytes += "\n";
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return (argc == 2 && line == L"create") ? 0 : 1;
}
