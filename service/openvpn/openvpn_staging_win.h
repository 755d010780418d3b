// OpenVPN profile staging on Windows: the Service places a validated profile
// into "zerkavpn\" below the OpenVPN installation's configuration directory,
// readable by the calling user, LocalSystem and Administrators only, so that the
// OpenVPN Interactive Service will start openvpn.exe with it; and removes it
// again.
//
// Nothing is kept between calls: the configuration directory is judged afresh
// on every request (registry value, place, DACL, the automatic-connection
// service). The staging folder is only ever touched through a handle opened
// without following reparse points (the shared folder chain,
// common/win/folder_chain_win.h); a reparse point there is refused, so no
// write, DACL change or deletion goes through a junction, and a staged file is
// created relative to the held folder. Run on the Service's
// request thread (or at start before clients are served), one call at a time.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/win/handles_win.h"
#include "service/openvpn/openvpn_staging.h"

namespace tovra::service {

// `status` is a ConfigDirStatus; both folders (each ending with "\") are
// meaningful only when it is 0.
struct ConfigDirResolution {
  uint16_t status = 1;
  std::wstring config_dir;
  std::wstring staging_dir;
};
[[nodiscard]] ConfigDirResolution ResolveConfigDir();

// Creates the staging folder if needed and gives it a protected DACL (full
// access for LocalSystem and Administrators, inherited; traverse only for
// Users), applied through the held folder handle. False when the path is not a
// plain folder (a reparse point included) or the DACL could not be applied.
[[nodiscard]] bool PrepareStagingDir(const std::wstring& staging_dir);

// `result` is a StageResult; `path` the staged file's full path when it is 0.
// The profile is copied only into wiped storage (with "auth-nocache" added when
// missing). Prepares the staging folder itself first: a folder that cannot be
// protected is refused with 3.
struct StageOutcome {
  uint16_t result = 5;
  std::wstring path;
};
[[nodiscard]] StageOutcome StageProfile(const std::wstring& staging_dir, uint32_t stage_key,
                                        std::string_view profile, PSID caller_sid);

// True when the file named by `path` is gone (deleted now, or already absent).
// False when the path is not a staged file's name in the staging folder, the
// folder is a reparse point, or the entry is not a regular file.
[[nodiscard]] bool UnstageProfile(const std::wstring& staging_dir, const std::wstring& path);

// Deletes the staged files left in the staging folder (regular files only;
// subfolders are not entered); the number deleted. An enumeration error stops
// the sweep and is logged.
[[nodiscard]] uint32_t SweepStaleProfiles(const std::wstring& staging_dir);

// The staged files present ("ovpn-*.ovpn", folders not counted); `error` when
// the enumeration failed for another reason than there being none.
struct StagedCount {
  uint32_t count = 0;
  bool error = false;
};
[[nodiscard]] StagedCount CountStagedProfiles(const std::wstring& staging_dir);

// ---- building blocks, exposed so their descriptors can be read back ----

// The staging folder's DACL: LocalSystem and Administrators full access,
// inherited by files and subfolders; Users traverse only, not inherited.
// Empty on failure.
[[nodiscard]] common::UniqueLocal BuildStagingFolderDacl();

// A staged file's descriptor: a protected DACL granting LocalSystem and
// Administrators full access and the caller read access, nothing inherited.
// Owns its parts; the caller's SID must outlive it.
class StagedFileSecurity {
 public:
  [[nodiscard]] bool Build(PSID caller_sid);
  SECURITY_DESCRIPTOR* get() { return &descriptor_; }
  PACL dacl() const { return static_cast<PACL>(dacl_.get()); }

 private:
  common::UniqueLocal dacl_;
  SECURITY_DESCRIPTOR descriptor_{};
};

}  // namespace tovra::service
