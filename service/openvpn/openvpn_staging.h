// The decisions of OpenVPN profile staging, independent of Win32: whether the
// recorded OpenVPN configuration directory has the form and place of a standard
// installation, whether its access list lets unprivileged users write, what a
// staged file is called, which names the sweep and unstaging may touch, and
// which paths an unstage request may name.
//
// Pure functions, safe from any thread. Paths are compared with ASCII-only case
// folding: two paths equal under it are equal for NTFS too, and any other
// difference is refused rather than guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tovra::service {

// Why the configuration directory is (not) trusted, in the order it is judged.
enum class ConfigDirStatus : uint16_t {
  kTrusted = 0,
  kNoValue = 1,             // key or value missing, not REG_SZ, or unreadable
  kEmpty = 2,               // the value is empty
  kNotDrivePath = 3,        // not "X:\" or "X:/" at its start
  kNoFinalBackslash = 4,    // does not end with "\"
  kNotProgramFiles = 5,     // not <Program Files>\openvpn\config
  kNotADirectory = 6,       // missing, or not a directory
  kUnprivilegedWrite = 7,   // DACL unreadable, null, or grants write to a broad group
  kAutoConnectService = 8,  // "OpenVPNService" installed and not disabled and stopped
};

// The `stage_result` of a reply.
enum class StageResult : uint16_t {
  kStaged = 0,
  kUntrusted = 1,     // any non-zero ConfigDirStatus
  kBadProfile = 2,    // ValidateOpenVpnProfile refused it
  kNoStagingDir = 3,  // missing, not a directory, a reparse point, or not protected
  kNoDescriptor = 4,  // the file's security descriptor could not be built
  kWriteFailed = 5,   // not created, or not completely written
};

inline constexpr std::wstring_view kStagingSubfolder = L"zerkavpn\\";
inline constexpr std::wstring_view kStagedPrefix = L"ovpn-";
inline constexpr std::wstring_view kStagedSuffix = L".ovpn";
inline constexpr std::wstring_view kProgramFilesConfigTail = L"\\openvpn\\config";
inline constexpr std::string_view kAuthNoCache = "auth-nocache";
inline constexpr size_t kStagedRandomBytes = 8;

// Statuses 1 to 5 for the registry value (nothing when it was missing), judged
// in that order; kTrusted when the form is right and the directory itself is
// still to be examined. An empty `program_files` matches no value.
[[nodiscard]] ConfigDirStatus JudgeConfigDirForm(const std::optional<std::wstring>& config_dir,
                                                 std::wstring_view program_files);

// `path` without the "\" and "/" at its end.
[[nodiscard]] std::wstring_view TrimTrailingSeparators(std::wstring_view path);

// Equal when they differ at most in the case of ASCII letters.
[[nodiscard]] bool EqualsIgnoringAsciiCaseW(std::wstring_view a, std::wstring_view b);

// One entry of a directory's DACL as gathered from Windows.
struct AceFact {
  uint8_t type = 0;  // ACCESS_ALLOWED_ACE_TYPE is 0
  std::wstring sid;  // string form, "S-1-1-0"
  uint32_t mask = 0;
  uint8_t flags = 0;  // inheritance flags; an inherit-only entry still counts
};

// GENERIC_WRITE, GENERIC_ALL, WRITE_OWNER, WRITE_DAC, DELETE,
// FILE_WRITE_ATTRIBUTES, FILE_WRITE_EA, FILE_APPEND_DATA, FILE_WRITE_DATA.
inline constexpr uint32_t kWriteTypeRights = 0x500D0116;

// True when an allow entry for Users, Authenticated Users or Everyone carries
// any write-type right. Deny entries and other trustees are not considered. A
// DACL that could not be read, or a null DACL (which grants everyone
// everything), is `nullopt` and counts as writable.
[[nodiscard]] bool GrantsUnprivilegedWrite(const std::optional<std::vector<AceFact>>& dacl);

// "ovpn-<stage key>-<16 lower-case hex digits>.ovpn".
[[nodiscard]] std::wstring FormatStagedFileName(
    uint32_t stage_key, std::span<const uint8_t, kStagedRandomBytes> random);

// Lower-case hexadecimal, high nibble first.
[[nodiscard]] std::wstring FormatHexLower(std::span<const uint8_t> bytes);

// The names the sweep and unstaging may delete: at least 10 characters,
// starting with "ovpn-" and ending with ".ovpn", letter case as written.
[[nodiscard]] bool FollowsStagedNameRule(std::wstring_view name);

// A path split at its last separator ("\" or "/"); the separators between the
// parent and the name belong to neither. No separator: the parent is empty.
struct PathParts {
  std::wstring_view parent;
  std::wstring_view name;
};
[[nodiscard]] PathParts SplitParentAndName(std::wstring_view path);

// Whether an unstage request for `path` may delete it: its parent is the
// staging directory (letter case aside), and its name follows the name rule and
// is a plain name (no ":" naming a stream, no wildcard).
[[nodiscard]] bool MayUnstage(std::wstring_view staging_dir, std::wstring_view path);

// `dir` with a final "\" when it has no final separator.
[[nodiscard]] std::wstring WithFinalBackslash(std::wstring_view dir);

}  // namespace tovra::service
