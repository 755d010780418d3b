#include "tools/zerkactl/binary_stdio.h"

namespace tovra::tools {

void SetBinaryStdio() {}  // POSIX streams never translate line ends

}  // namespace tovra::tools
