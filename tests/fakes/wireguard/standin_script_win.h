// Reading the stand-ins' script file (see wireguard_standin.h): "key=value"
// lines, read whole on every use. A missing file is an empty script; a line
// without "=" is ignored; a number that does not parse leaves the default.
#pragma once

#include <windows.h>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace tovra::testing {

struct ScriptLine {
  std::string key;
  std::string value;
};

inline std::vector<ScriptLine> ReadScriptLines(const std::wstring& path) {
  std::vector<ScriptLine> lines;
  std::ifstream in(path.c_str());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    lines.push_back({line.substr(0, eq), line.substr(eq + 1)});
  }
  return lines;
}

// Whole-text decimal; false (and `out` unchanged) for anything else.
template <typename T>
bool ParseScriptNumber(std::string_view text, T& out) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

// Everything before the last backslash.
inline std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace tovra::testing
