#include <iostream>
#include <string>
#include <vector>

#include "tools/zerkactl/binary_stdio.h"
#include "tools/zerkactl/zerkactl.h"

#ifdef _WIN32
#include "common/text/text.h"
#include "tools/zerkactl/plugin_session_win.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tovra::common::WideToUtf8(argv[i]));
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
#endif
#ifdef _WIN32
  tovra::tools::InstallWindowsPluginHost();
#endif
  tovra::tools::SetBinaryStdio();
  return tovra::tools::RunZerkactl(args, std::cout, std::cerr);
}
