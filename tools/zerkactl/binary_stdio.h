// Puts standard output and standard error into binary mode, so bytes written
// are the bytes that arrive (no CR added before LF on Windows).
#pragma once

namespace tovra::tools {

void SetBinaryStdio();

}  // namespace tovra::tools
