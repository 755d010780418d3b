// Win32 half of the logger, exposed for tests.
#pragma once

#include <string_view>

#include "common/win/handles_win.h"

namespace tovra::common {

// Creates <base>\Zerka\vpn\logs and opens <component>.log in it for appending.
// The Service writes here as LocalSystem while ordinary users can create these
// folders, so nothing is ever written through a reparse point: a folder of the
// chain that is a reparse point, a file that is one, or a file with more than one
// hard link yields no handle.
UniqueHandle OpenLogFileUnder(std::wstring_view base_folder, std::wstring_view component);

}  // namespace tovra::common
