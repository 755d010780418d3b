// JSON text for zerkactl's --json output: one object per line, read by scripts.
#pragma once

#include <string>
#include <string_view>

namespace tovra::tools {

// A JSON string literal, quotes included. Bytes that are not UTF-8 become
// U+FFFD, since JSON text must be UTF-8 and a script's parser would reject the
// whole line otherwise; control characters are escaped.
std::string JsonString(std::string_view s);

}  // namespace tovra::tools
