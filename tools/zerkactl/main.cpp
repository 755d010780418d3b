#include <iostream>
#include <string>
#include <vector>

#include "tools/zerkactl/binary_stdio.h"
#include "tools/zerkactl/zerkactl.h"

#ifdef _WIN32
#include "common/text.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tovra::common::WideToUtf8(argv[i]));
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
#endif
  tovra::tools::SetBinaryStdio();
  return tovra::tools::RunZerkactl(args, std::cout, std::cerr);
}
