// The tunnel manager's file steps on Windows: the protected configuration
// folder under ProgramData, the configuration file created new under a
// protected descriptor, and the secure delete.
//
// Users can create the folders below ProgramData before the Service does, so the
// chain is walked by handle (OpenFolderChain: no reparse point followed, each
// folder held so it cannot be renamed or replaced) from PrepareConfigDirectory
// until WriteConfig has finished; the folder is protected and the file created
// through the held handle, never by name. A reparse point in the chain is
// refused. Called under the tunnel manager's mutex only.
#pragma once

#include <string>

#include "common/win/folder_chain_win.h"
#include "common/win/handles_win.h"
#include "service/wireguard/tunnel_platform.h"

namespace tovra::service {

class WinTunnelFiles final : public TunnelFiles {
 public:
  [[nodiscard]] bool ProgramExists(const std::wstring& path) override;
  [[nodiscard]] std::wstring ProgramDataFolder() override;
  [[nodiscard]] bool PrepareConfigDirectory(const std::wstring& program_data) override;
  [[nodiscard]] bool WriteConfig(const std::wstring& path, std::span<const uint8_t> text) override;
  void SecureDelete(const std::wstring& path) override;

 private:
  common::FolderChain held_;  // ProgramData, Zerka, vpn, wireguard
  std::wstring held_path_;    // the path of held_'s leaf, to match WriteConfig's path
};

// The descriptor for the folder and the file: owner Administrators, group
// LocalSystem, a protected DACL granting full access to LocalSystem and
// Administrators only. Owns its parts.
class ProtectedSecurityDescriptor {
 public:
  [[nodiscard]] bool Build();
  SECURITY_DESCRIPTOR* get() { return &descriptor_; }
  PACL dacl() const { return static_cast<PACL>(dacl_.get()); }
  PSID owner() const { return admins_.get(); }
  PSID group() const { return system_.get(); }

 private:
  common::UniqueAllocatedSid system_;
  common::UniqueAllocatedSid admins_;
  common::UniqueLocal dacl_;
  SECURITY_DESCRIPTOR descriptor_{};
};

// Opens the file first (no sharing, not following a reparse point) and decides
// on the handle: a regular file with one link is overwritten with zeros (when
// 1..1048575 bytes) and deleted; anything else that opened as a file (a link, a
// second name of another file) is deleted without being written.
void SecureDeleteFile(const std::wstring& path);

}  // namespace tovra::service
