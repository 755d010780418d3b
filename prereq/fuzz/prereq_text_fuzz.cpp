// Feeds arbitrary UTF-16 text to every parser of the launcher: the package path
// rules, the driver version parser, ImagePath normalization and the pending
// rename walk. Checks the properties that hold for any input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "prereq/launcher.h"
#include "prereq/tap_checks.h"
#include "prereq/testing/fake_prereq_system.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));

  tovra::prereq::testing::FakePrereqSystem system;
  system.environment[L"SystemRoot"] = L"C:\\Windows";
  system.AddPackage(text);
  const tovra::prereq::MsiPathCheck check = tovra::prereq::ValidateMsiPath(text, system);
  if (check.ok != check.reason.empty() || (check.ok && check.path != text)) std::abort();
  if (check.ok && (text.size() > 1024 || text.find(L'"') != std::wstring::npos)) std::abort();

  std::optional<tovra::prereq::DriverVersion> version = tovra::prereq::ParseDriverVersion(text);
  // A trailing "." is refused up to the fourth component; after it the rest is ignored.
  if (version &&
      (text.empty() || (text.back() == L'.' && std::count(text.begin(), text.end(), L'.') < 5))) {
    std::abort();
  }

  tovra::prereq::NormalizeImagePath(text, system);
  static_cast<void>(tovra::prereq::PendingRenamesMentionOpenVpn(text));  // must not crash
  return 0;
}
