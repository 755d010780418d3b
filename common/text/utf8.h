// The one UTF-8 scanner of the programs. Well-formedness is decided exactly as the
// Windows converter does with MB_ERR_INVALID_CHARS: overlong forms, encoded
// surrogates, values above U+10FFFF, truncated sequences and stray continuation
// bytes are ill-formed; NUL and noncharacters such as U+FFFF are well-formed.
// Portable and pure.
#pragma once

#include <cstddef>
#include <string_view>

namespace tovra::common {

struct Utf8Step {
  size_t length = 0;   // bytes taken (at least 1 when anything is left)
  bool valid = false;  // a well-formed sequence; otherwise the maximal ill-formed
                       // prefix, which a lenient decoder replaces with one U+FFFD
};

// The sequence starting at bytes[i] (i < bytes.size()).
Utf8Step ScanUtf8(std::string_view bytes, size_t i);

[[nodiscard]] bool IsWellFormedUtf8(std::string_view bytes);

}  // namespace tovra::common
