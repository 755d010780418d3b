#include <cstdio>
#include <cwchar>

#include "common/log/log.h"

namespace tovra::common {

void LogWin32(LogLevel level, std::wstring_view message, uint32_t error_code) {
  Log(level, FormatWin32Message(message, error_code));
}

std::wstring FormatHex32(uint32_t value) {
  wchar_t buf[16];
  std::swprintf(buf, 16, L"0x%08X", static_cast<unsigned>(value));
  return buf;
}

std::wstring FormatDecimal(uint64_t value) {
  return std::to_wstring(value);
}

std::wstring_view LogLevelTag(LogLevel level) {
  switch (level) {
    case LogLevel::Info:
      return L"INFO";
    case LogLevel::Warn:
      return L"WARN";
    case LogLevel::Error:
      return L"ERR ";
  }
  return L"    ";
}

std::wstring FormatWin32Message(std::wstring_view message, uint32_t error_code) {
  std::wstring out(message);
  out += L" (win32=";
  out += FormatDecimal(error_code);
  out += L")";
  return out;
}

std::wstring FormatLogLine(const LogTimestamp& t, std::wstring_view component, LogLevel level,
                           std::wstring_view message) {
  wchar_t stamp[64];
  std::swprintf(stamp, 64, L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.millisecond);
  std::wstring line;
  line.reserve(48 + component.size() + message.size());
  line += stamp;
  line += L" [";
  line += component;
  line += L"] ";
  line += LogLevelTag(level);
  line += L" ";
  line += message;
  line += L"\r\n";
  return line;
}

}  // namespace tovra::common
