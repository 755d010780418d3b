// The diagnostic log shared by the Agent, the Service and the plugin.
//
// One process-wide logger: a component name ("tovra" until LogInit names it), one
// append-only UTF-8 file <ProgramData>\Zerka\vpn\logs\<component>.log, and copies
// of every line to the debugger and standard error. One mutex serialises LogInit
// and every line, so lines never interleave. Logging never fails its caller: a
// file that cannot be opened or written only loses the file copy.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovra::common {

enum class LogLevel : int { Info = 0, Warn = 1, Error = 2 };

// Sets the component (when `component_name` is non-empty) and opens the log file
// if it is not open yet. Call early, before worker threads start.
void LogInit(std::wstring_view component_name);
void Log(LogLevel level, std::wstring_view message);
// `message` followed by " (win32=<code>)".
void LogWin32(LogLevel level, std::wstring_view message, uint32_t error_code);

std::wstring FormatHex32(uint32_t value);    // "0x%08X"
std::wstring FormatDecimal(uint64_t value);  // unsigned decimal

// ---- line formatting (portable, used by the sinks and the tests) ----

struct LogTimestamp {
  uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The four-character tag: "INFO", "WARN", "ERR ", or four blanks for any other value.
std::wstring_view LogLevelTag(LogLevel level);
std::wstring FormatWin32Message(std::wstring_view message, uint32_t error_code);
// "<time> [<component>] <tag> <message>\r\n"
std::wstring FormatLogLine(const LogTimestamp& time, std::wstring_view component, LogLevel level,
                           std::wstring_view message);

inline constexpr std::wstring_view kDefaultLogComponent = L"tovra";

}  // namespace tovra::common
