// Test helper: writes log lines from several threads of a fresh process.
//   log_writer_probe <component|-> <threads> <lines-per-thread> <tag>
// "-" skips LogInit, so lines go out under the default component, file-less.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/log/log.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const std::wstring component = argv[1];
  const int threads = _wtoi(argv[2]);
  const int lines = _wtoi(argv[3]);
  const std::wstring tag = argv[4];
  if (component != L"-") tovra::common::LogInit(component);

  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([=] {
      // Long lines make a torn write likely if lines were not written whole.
      const std::wstring padding(400, static_cast<wchar_t>(L'a' + t % 26));
      for (int i = 0; i < lines; ++i) {
        tovra::common::Log(tovra::common::LogLevel::Info, tag + L" t" + std::to_wstring(t) + L" n" +
                                                              std::to_wstring(i) + L" " + padding +
                                                              L" caf\u00e9");
      }
    });
  }
  for (auto& w : workers) w.join();
  return 0;
}
