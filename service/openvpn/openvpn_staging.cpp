#include "service/openvpn/openvpn_staging.h"

#include <array>

namespace tovra::service {

namespace {

constexpr bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

constexpr bool IsAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

constexpr wchar_t AsciiLowerW(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Users, Authenticated Users, Everyone.
constexpr std::array<std::wstring_view, 3> kUnprivilegedSids = {L"S-1-5-32-545", L"S-1-5-11",
                                                                L"S-1-1-0"};
constexpr uint8_t kAccessAllowedAceType = 0;

}  // namespace

std::wstring_view TrimTrailingSeparators(std::wstring_view path) {
  while (!path.empty() && IsSeparator(path.back())) path.remove_suffix(1);
  return path;
}

bool EqualsIgnoringAsciiCaseW(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLowerW(a[i]) != AsciiLowerW(b[i])) return false;
  }
  return true;
}

ConfigDirStatus JudgeConfigDirForm(const std::optional<std::wstring>& config_dir,
                                   std::wstring_view program_files) {
  if (!config_dir) return ConfigDirStatus::kNoValue;
  const std::wstring& dir = *config_dir;
  if (dir.empty()) return ConfigDirStatus::kEmpty;
  if (dir.size() < 3 || !IsAsciiLetter(dir[0]) || dir[1] != L':' || !IsSeparator(dir[2]))
    return ConfigDirStatus::kNotDrivePath;
  if (dir.back() != L'\\') return ConfigDirStatus::kNoFinalBackslash;
  if (program_files.empty()) return ConfigDirStatus::kNotProgramFiles;
  const std::wstring expected = std::wstring(program_files) + std::wstring(kProgramFilesConfigTail);
  if (!EqualsIgnoringAsciiCaseW(TrimTrailingSeparators(dir), TrimTrailingSeparators(expected)))
    return ConfigDirStatus::kNotProgramFiles;
  return ConfigDirStatus::kTrusted;
}

bool GrantsUnprivilegedWrite(const std::optional<std::vector<AceFact>>& dacl) {
  if (!dacl) return true;
  for (const AceFact& ace : *dacl) {
    if (ace.type != kAccessAllowedAceType || (ace.mask & kWriteTypeRights) == 0) continue;
    for (std::wstring_view sid : kUnprivilegedSids) {
      if (ace.sid == sid) return true;
    }
  }
  return false;
}

std::wstring FormatHexLower(std::span<const uint8_t> bytes) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::wstring FormatStagedFileName(uint32_t stage_key,
                                  std::span<const uint8_t, kStagedRandomBytes> random) {
  std::wstring name(kStagedPrefix);
  name += std::to_wstring(stage_key);
  name += L'-';
  name += FormatHexLower(random);
  name += kStagedSuffix;
  return name;
}

bool FollowsStagedNameRule(std::wstring_view name) {
  return name.size() >= kStagedPrefix.size() + kStagedSuffix.size() &&
         name.starts_with(kStagedPrefix) && name.ends_with(kStagedSuffix);
}

PathParts SplitParentAndName(std::wstring_view path) {
  size_t last = path.size();
  while (last > 0 && !IsSeparator(path[last - 1])) --last;
  if (last == 0) return {{}, path};
  return {TrimTrailingSeparators(path.substr(0, last)), path.substr(last)};
}

bool MayUnstage(std::wstring_view staging_dir, std::wstring_view path) {
  const PathParts parts = SplitParentAndName(path);
  if (parts.parent.empty()) return false;
  if (!EqualsIgnoringAsciiCaseW(parts.parent, TrimTrailingSeparators(staging_dir))) return false;
  if (!FollowsStagedNameRule(parts.name)) return false;
  // "name:stream" would reach a stream of another file, a wildcard a pattern.
  return parts.name.find_first_of(L":*?\"<>|") == std::wstring_view::npos;
}

std::wstring WithFinalBackslash(std::wstring_view dir) {
  std::wstring out(dir);
  if (out.empty() || !IsSeparator(out.back())) out += L'\\';
  return out;
}

}  // namespace tovra::service
