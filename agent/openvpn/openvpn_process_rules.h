// Decisions about the openvpn.exe the Interactive Service started and about the
// Agent's OpenVPN staging folder: which process may be ended by force, which
// leftovers are swept, how a file is securely deleted, and the clock conversion.
//
// Portable and stateless; the Win32 adapters (openvpn_process_win,
// openvpn_environment_win) gather the facts and carry out what these decide.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tovra::agent::openvpn {

// The OpenVPN status file that may appear in the staging folder (the folder is
// OpenVPN's working directory).
inline constexpr std::wstring_view kStatusLogName = L"openvpn-status.log";

// Whether two paths are the same text, ignoring the case of ASCII letters (how
// the image path of the reported process is compared with the expected one).
[[nodiscard]] bool SamePathIgnoringCase(std::wstring_view a, std::wstring_view b);

// Whether the file name of a full image path (after the last "\" or "/") is
// "openvpn.exe", ignoring case.
[[nodiscard]] bool IsOpenVpnImage(std::wstring_view full_image_path);

// What to do with a process that did not end within the stop wait.
enum class LastResortAction : uint8_t {
  none,                // it has ended meanwhile
  terminate,           // still running openvpn.exe
  skip_not_openvpn,    // the id now names another program (or never named openvpn.exe)
  skip_image_unknown,  // its image path could not be read
};

// `image_path` is nothing when it could not be read. Only a running process
// whose image is openvpn.exe is ever terminated: a process id outlives nothing,
// and ending whatever now carries it would hit an unrelated program.
[[nodiscard]] LastResortAction DecideLastResort(bool still_running,
                                                std::optional<std::wstring_view> image_path);

// Whether a staging folder entry is a leftover of an earlier attempt: a name
// starting with "ovpn-", longer than 4 characters, with the extension ".conf"
// or ".log" (all case-sensitive).
[[nodiscard]] bool IsSweptStagingName(std::wstring_view name);

// File attribute bits as the system reports them.
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;

enum class SecureDeleteAction : uint8_t {
  leave,                  // a directory: never touched
  delete_only,            // deleted without writing to it
  overwrite_then_delete,  // zero-filled, flushed, deleted
};

// The facts of one opened (not followed) entry: its attributes on the handle,
// its attributes as its folder lists it (nothing when not listed; some file
// systems show a link only there), its hard link count and its size. A reparse
// point is deleted without writing through it; a file with other names is
// deleted without writing, so the content those names reach is left as it is;
// sizes 1..1048575 are overwritten.
[[nodiscard]] SecureDeleteAction DecideSecureDelete(uint32_t handle_attributes,
                                                    std::optional<uint32_t> entry_attributes,
                                                    uint32_t link_count, uint64_t size);

inline constexpr uint64_t kMaxOverwriteBytes = 1048575;
inline constexpr uint32_t kOverwriteBlockBytes = 4096;

// A FILETIME value (100 ns units since 1601-01-01 UTC) as milliseconds since
// 1970-01-01 UTC; 0 for times before 1970.
[[nodiscard]] uint64_t FileTimeToUnixMs(uint64_t filetime);

}  // namespace tovra::agent::openvpn
