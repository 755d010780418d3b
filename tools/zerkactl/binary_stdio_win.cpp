#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "tools/zerkactl/binary_stdio.h"

namespace tovra::tools {

void SetBinaryStdio() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace tovra::tools
