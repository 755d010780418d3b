// Files the OpenVPN runtime stand-ins share (see openvpn_runtime_standin.h): the
// script beside them and the lines they append for tests. Each append opens,
// writes and closes the file, so a test reading it sees every line as soon as
// the call returns. A failed write is ignored: what a stand-in records is a
// test's evidence, never a reason for it to behave differently.
#pragma once

#include <windows.h>

#include <charconv>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/win/handles_win.h"
#include "tests/support/own_program_win.h"

namespace tovra::testing::openvpn_standin {

struct ScriptEntry {
  std::string key;
  std::string value;  // empty for a key alone
};

// A missing file is an empty script.
inline std::vector<ScriptEntry> ReadScript(const std::wstring& path) {
  std::vector<ScriptEntry> entries;
  std::ifstream in(path.c_str());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      entries.push_back({line, {}});
    } else {
      entries.push_back({line.substr(0, eq), line.substr(eq + 1)});
    }
  }
  return entries;
}

inline bool FlagValue(const std::string& value) {
  return value != "0";
}

// Whole-text decimal; false (and `out` unchanged) for anything else.
template <typename T>
bool ParseNumber(std::string_view text, T& out, int base = 10) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

// The two characters "\n" become a line end.
inline std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out.push_back('\n');
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

inline std::string ToUtf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
  }
  return out;
}

inline void AppendLine(const std::wstring& path, std::string line) {
  line.push_back('\n');
  common::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  (void)::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace tovra::testing::openvpn_standin
