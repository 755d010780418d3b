// Win32 half of the logger, exposed for tests.
#pragma once

#include <string>
#include <string_view>

#include "common/base/win32_error.h"
#include "common/win/handles_win.h"

namespace tovra::common {

struct LogFileOpening {
  UniqueHandle file;         // open for appending on success
  Win32Error error;          // otherwise why not
  std::wstring failed_path;  // and the folder or file that could not be used

  explicit operator bool() const { return static_cast<bool>(file); }
};

// Creates <base>\Zerka\vpn\logs and opens <component>.log in it for appending.
// The Service writes here as LocalSystem while ordinary users can create these
// folders, so the folders are walked and held by handle (OpenFolderChain) while
// the file is opened relative to the held "logs" folder, and nothing is ever
// written through a reparse point: a folder of the chain that is a reparse
// point, a file that is one, or a file with more than one hard link yields no
// handle. The folders are released once the file is open.
[[nodiscard]] LogFileOpening OpenLogFileUnder(std::wstring_view base_folder,
                                              std::wstring_view component);

// The message of the one line LogInit writes to the debugger and standard error
// when there is no log file: the folder or file and the error.
[[nodiscard]] std::wstring DescribeLogFileFailure(const LogFileOpening& opening);

}  // namespace tovra::common
