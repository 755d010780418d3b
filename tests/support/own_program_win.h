// Where the running test or stand-in program lives, for files it keeps beside
// itself. Header-only (stand-ins link no test library). Empty on failure.
#pragma once

#include <windows.h>

#include <string>

namespace tovra::testing {

// The full path of this program's executable.
inline std::wstring OwnProgramPath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n < MAX_PATH ? n : 0);
}

// Its folder, without a final "\".
inline std::wstring OwnProgramFolder() {
  const std::wstring full = OwnProgramPath();
  const size_t slash = full.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
}

}  // namespace tovra::testing
