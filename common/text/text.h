// UTF-8 <-> wide text conversion at the program edges (pipes, files). Inside the
// programs text is wide; on Windows that is UTF-16. Invalid input never fails:
// ill-formed sequences and lone surrogates become U+FFFD, as the Windows
// converters do without strict flags.
#pragma once

#include <string>
#include <string_view>

namespace tovra::common {

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

}  // namespace tovra::common
