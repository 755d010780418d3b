// The Agent's side of an OpenVPN attempt on Windows: its own staging folder
// (OpenVPN's working directory, restricted to the user), the removal of what
// earlier attempts left there, a free loopback port, randomness and clocks.
//
// Stateless apart from the base folder chosen at construction; every method may
// run on any thread. Failures are logged and answered with an empty path or
// nothing; a file that cannot be deleted is left behind.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "agent/openvpn/openvpn_parts.h"
#include "common/win/handles_win.h"

namespace tovra::agent::openvpn {

class OpenVpnEnvironmentWin final : public OpenVpnEnvironment {
 public:
  // The staging folder lies under the user's local application data folder.
  OpenVpnEnvironmentWin() = default;
  // ... or under `base_folder` (tests).
  explicit OpenVpnEnvironmentWin(std::wstring base_folder);

  // <base>\Zerka\vpn\openvpn, each level created when missing and none a
  // reparse point, its DACL replaced by one protected entry for the user.
  std::wstring StagingDirectory() override;
  void SweepStagingDirectory(const std::wstring& directory) override;
  void DeleteStatusLog(const std::wstring& directory) override;
  std::optional<uint16_t> AllocateLoopbackPort() override;
  void RandomBytes(std::span<uint8_t> out) override;
  uint64_t SteadyMs() override;
  uint64_t UnixMs() override;
  void SleepMs(uint32_t ms) override;

 private:
  std::optional<std::wstring> base_folder_;  // nothing: the known folder
};

// A protected-to-be DACL (LocalAlloc) with one non-inheritable entry granting
// `user` FILE_ALL_ACCESS; empty on failure.
[[nodiscard]] common::UniqueLocal BuildUserOnlyDacl(PSID user);

// Securely deletes the entry `name` of the folder at `directory_path` (held by
// `directory`, which keeps it from being renamed or replaced meanwhile): opened
// without following a reparse point and judged on that handle and on the
// folder's listing; a directory is left alone, a reparse point or a file with
// other names deleted without writing, a file of 1..1048575 bytes zero-filled
// and flushed first. Deleted through the same handle. False when something was
// there and could not be deleted.
bool SecureDeleteEntry(HANDLE directory, const std::wstring& directory_path,
                       const std::wstring& name);

}  // namespace tovra::agent::openvpn
