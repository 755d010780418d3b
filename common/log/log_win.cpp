#include "common/log/log_win.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <mutex>
#include <string>

#include "common/log/log.h"
#include "common/text/text.h"

namespace tovra::common {

namespace {

struct LoggerState {
  std::mutex mutex;
  std::wstring component{kDefaultLogComponent};
  UniqueHandle file;
};

LoggerState& State() {
  // Never destroyed: threads may still log while the process exits.
  static LoggerState* state = new LoggerState();
  return *state;
}

bool IsReparsePoint(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void WriteStandardError(const std::wstring& line, const std::string& utf8) {
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (!UniqueHandle::IsValid(err)) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (::GetConsoleMode(err, &mode)) {
    ::WriteConsoleW(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } else {
    ::WriteFile(err, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  }
}

}  // namespace

UniqueHandle OpenLogFileUnder(std::wstring_view base_folder, std::wstring_view component) {
  std::wstring folder(base_folder);
  for (const wchar_t* part : {L"\\Zerka", L"\\vpn", L"\\logs"}) {
    folder += part;
    ::CreateDirectoryW(folder.c_str(), nullptr);  // usually exists already
    if (IsReparsePoint(folder)) return {};
  }
  const std::wstring path = folder + L"\\" + std::wstring(component) + L".log";
  UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return {};
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1) {
    return {};
  }
  return file;
}

void LogInit(std::wstring_view component_name) {
  LoggerState& s = State();
  std::lock_guard lock(s.mutex);
  if (!component_name.empty()) s.component.assign(component_name);
  if (s.file) return;
  UniqueCoTaskString program_data;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, program_data.put())) ||
      !program_data) {
    return;
  }
  s.file = OpenLogFileUnder(program_data.get(), s.component);
}

void Log(LogLevel level, std::wstring_view message) {
  SYSTEMTIME st{};
  ::GetSystemTime(&st);
  const LogTimestamp t{st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                       st.wMinute, st.wSecond, st.wMilliseconds};
  LoggerState& s = State();
  std::lock_guard lock(s.mutex);
  const std::wstring line = FormatLogLine(t, s.component, level, message);
  const std::string utf8 = WideToUtf8(line);
  ::OutputDebugStringW(line.c_str());
  WriteStandardError(line, utf8);
  if (s.file && !utf8.empty()) {
    // One call per line on an append-only handle: Windows appends it whole, so
    // lines of other processes sharing the file never cut into it.
    DWORD written = 0;
    ::WriteFile(s.file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  }
}

}  // namespace tovra::common
