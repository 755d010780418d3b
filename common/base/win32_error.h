// A Win32 failure as a value: the error code and the call that failed. Win32
// adapters return it beside (or instead of) their result; the code that decides
// what the failure means logs it. Portable, so decisions over it are unit-tested.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovra::common {

struct Win32Error {
  uint32_t code = 0;      // GetLastError() read right after the failing call; 0: none
  std::wstring_view api;  // the failing call's name (a literal); empty when code is 0

  explicit operator bool() const { return code != 0; }
  friend bool operator==(const Win32Error&, const Win32Error&) = default;
};

// "<api> failed (win32=<code>)", for log lines whose text is ours to choose.
inline std::wstring DescribeWin32Error(const Win32Error& e) {
  return std::wstring(e.api.empty() ? std::wstring_view(L"a system call") : e.api) +
         L" failed (win32=" + std::to_wstring(e.code) + L")";
}

}  // namespace tovra::common
