#include "tests/support/secret_scan_win.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "common/text/text.h"
#include "common/win/handles_win.h"
#include "tests/support/child_process_win.h"

namespace tovra::testing {
namespace {

std::vector<std::wstring> LogFileNames() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry{};
  HANDLE find = ::FindFirstFileW((ZerkaLogFolder() + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      names.emplace_back(entry.cFileName);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

std::string Hex(const std::string& value, const char* digits) {
  std::string out;
  for (unsigned char c : value) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Utf16(const std::string& value) {
  std::string out;
  for (wchar_t c : common::Utf8ToWide(value)) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>((c >> 8) & 0xFF);
  }
  return out;
}

}  // namespace

std::wstring ZerkaLogFolder() {
  common::UniqueCoTaskString program_data;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, program_data.put())))
    return {};
  return std::wstring(program_data.get()) + L"\\Zerka\\vpn\\logs";
}

LogSnapshot SnapshotLogs() {
  LogSnapshot snapshot;
  for (const std::wstring& name : LogFileNames()) {
    snapshot.sizes[name] = FileSize(ZerkaLogFolder() + L"\\" + name);
  }
  return snapshot;
}

std::vector<SecretHit> FindSecretsInLogs(const std::vector<Secret>& secrets,
                                         const LogSnapshot* since) {
  std::vector<SecretHit> hits;
  for (const std::wstring& name : LogFileNames()) {
    const std::wstring path = ZerkaLogFolder() + L"\\" + name;
    uint64_t from = 0;
    if (since) {
      const auto known = since->sizes.find(name);
      if (known != since->sizes.end() && known->second <= FileSize(path)) from = known->second;
    }
    const std::string text = ReadFileFrom(path, from);
    for (const Secret& secret : secrets) {
      if (secret.value.size() < kMinScannableSecret) continue;
      const std::pair<const char*, std::string> forms[] = {
          {"text", secret.value},
          {"hex", Hex(secret.value, "0123456789abcdef")},
          {"HEX", Hex(secret.value, "0123456789ABCDEF")},
          {"utf-16", Utf16(secret.value)}};
      for (const auto& [form, needle] : forms) {
        const size_t at = text.find(needle);
        if (at != std::string::npos) hits.push_back({name, secret.label, form, from + at});
      }
    }
  }
  return hits;
}

std::string DescribeSecretHits(const std::vector<SecretHit>& hits) {
  std::string out;
  for (const SecretHit& hit : hits) {
    out += hit.label + " (" + hit.form + ") in " + common::WideToUtf8(hit.file) + " at offset " +
           std::to_string(hit.offset) + "\n";
  }
  return out;
}

}  // namespace tovra::testing
