// Files and folders for Windows tests: a fresh folder under the temporary folder
// for one test, removed with everything below it at the end, and the small file
// reads and writes the tests check with. Header-only, so stand-ins that do not
// link tovra_test_support can use it too. Failures are values: a missing file
// reads as "<missing>", a failed write as false.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace tovra::testing {

// Names in `folder`, "." and ".." left out; empty when it cannot be listed.
inline std::vector<std::wstring> ListFolder(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
  return names;
}

// Removes a folder and what it holds; a linked folder inside loses only its link,
// a read-only file is removed all the same.
inline void RemoveTree(const std::wstring& folder) {
  for (const std::wstring& name : ListFolder(folder)) {
    const std::wstring child = folder + L"\\" + name;
    const DWORD a = ::GetFileAttributesW(child.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (a & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      RemoveTree(child);
    } else {
      ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!::DeleteFileW(child.c_str())) ::RemoveDirectoryW(child.c_str());
    }
  }
  ::RemoveDirectoryW(folder.c_str());
}

class TempFolder {
 public:
  // "<temp>\<stem>-<pid>-<n>", created now.
  explicit TempFolder(std::wstring_view stem = L"zerka-test") {
    static std::atomic<int> counter{0};
    wchar_t base[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + std::wstring(stem) + L"-" +
            std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() { RemoveTree(path_); }

  const std::wstring& path() const { return path_; }
  std::wstring operator/(std::wstring_view name) const {
    return path_ + L"\\" + std::wstring(name);
  }

 private:
  std::wstring path_;
};

inline bool WriteTextFile(const std::wstring& path, std::string_view text) {
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  ::CloseHandle(f);
  return ok;
}

// The whole file, "<missing>" when it cannot be opened (a writer may hold it).
inline std::string ReadAll(const std::wstring& path) {
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  ::CloseHandle(f);
  return out;
}

inline bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool IsFolder(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace tovra::testing
