#include "common/log/log_win.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <mutex>
#include <string>

#include "common/log/log.h"
#include "common/text/text.h"
#include "common/win/folder_chain_win.h"

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

LogTimestamp Now() {
  SYSTEMTIME st{};
  ::GetSystemTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

// One line to the three outputs; called with the logger's mutex held.
void Emit(LoggerState& s, const std::wstring& line) {
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

}  // namespace

LogFileOpening OpenLogFileUnder(std::wstring_view base_folder, std::wstring_view component) {
  LogFileOpening opening;
  const FolderChain chain = OpenFolderChain(base_folder, {L"Zerka", L"vpn", L"logs"});
  if (!chain) {
    opening.error = chain.error;
    opening.failed_path = chain.failed_folder;
    return opening;
  }
  const std::wstring name = std::wstring(component) + L".log";
  opening.failed_path = std::wstring(base_folder) + L"\\Zerka\\vpn\\logs\\" + name;
  FileUnder opened = CreateFileUnder(
      chain.leaf(), name,
      {FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, FileCreation::kOpenAlways, nullptr});
  if (!opened.file) {
    opening.error = opened.error;
    return opening;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(opened.file.get(), &info)) {
    const DWORD error = ::GetLastError();
    opening.error = {error, L"GetFileInformationByHandle"};
    return opening;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    opening.error = {kErrorReparsePointEncountered, L"reparse point check"};
    return opening;
  }
  if (info.nNumberOfLinks > 1) {
    opening.error = {ERROR_TOO_MANY_LINKS, L"hard link check"};
    return opening;
  }
  opening.file = std::move(opened.file);
  opening.failed_path.clear();
  return opening;
}

std::wstring DescribeLogFileFailure(const LogFileOpening& opening) {
  return L"log: no log file, cannot use " + opening.failed_path + L": " +
         DescribeWin32Error(opening.error);
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
  LogFileOpening opening = OpenLogFileUnder(program_data.get(), s.component);
  if (!opening) {
    // Only the debugger and standard error can tell: the logger cannot log
    // through itself, and there is no file to write to.
    Emit(s, FormatLogLine(Now(), s.component, LogLevel::Warn, DescribeLogFileFailure(opening)));
    return;
  }
  s.file = std::move(opening.file);
}

void Log(LogLevel level, std::wstring_view message) {
  const LogTimestamp time = Now();
  LoggerState& s = State();
  std::lock_guard lock(s.mutex);
  Emit(s, FormatLogLine(time, s.component, level, message));
}

}  // namespace tovra::common
