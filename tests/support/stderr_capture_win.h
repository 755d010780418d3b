// Test helper: redirects this process's standard error handle (where the logger
// writes its copy of every line) to a temporary file while in scope, and reads
// back what was written.
#pragma once

#include <windows.h>

#include <string>

namespace tovra::testing {

class StderrCapture {
 public:
  StderrCapture() {
    wchar_t dir[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, dir);
    ::GetTempFileNameW(dir, L"log", 0, path);
    path_ = path;
    file_ = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    previous_ = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetStdHandle(STD_ERROR_HANDLE, file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    ::SetStdHandle(STD_ERROR_HANDLE, previous_);
    ::CloseHandle(file_);
    ::DeleteFileW(path_.c_str());
  }

  // Everything written so far (UTF-8).
  std::string Text() const {
    std::string out;
    HANDLE h = ::CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return out;
    char buf[4096];
    DWORD n = 0;
    while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    ::CloseHandle(h);
    return out;
  }

 private:
  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE previous_ = nullptr;
};

// Number of non-overlapping occurrences of `needle` in `text`.
inline size_t CountOccurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++count;
  }
  return count;
}

}  // namespace tovra::testing
