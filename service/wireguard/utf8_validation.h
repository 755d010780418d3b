// Strict UTF-8 well-formedness, decided exactly as the Windows converter does
// with MB_ERR_INVALID_CHARS: overlong forms, encoded surrogates, values above
// U+10FFFF, truncated sequences and stray continuation bytes are ill-formed;
// NUL and noncharacters such as U+FFFF are well-formed. Portable and pure.
#pragma once

#include <string_view>

namespace tovra::service {

bool IsWellFormedUtf8(std::string_view bytes);

}  // namespace tovra::service
