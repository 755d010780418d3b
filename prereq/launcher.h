// The prerequisite launcher's main flow: validate the package path, choose the
// OpenVPN features from the TAP driver assessment, run Windows Installer silently
// without a reboot, create a TAP adapter when the driver is good but has no
// healthy adapter, and turn the installer's result into the program's exit code.
// Nothing is shown or written: the exit code is the only result. Where a failure
// shapes a decision, the decision and the failed call go to PrereqSystem::Note.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prereq/prereq_system.h"
#include "prereq/tap_checks.h"

namespace tovra::prereq {

inline constexpr wchar_t kPackageName[] = L"OpenVPN-2.7.7-I001-amd64.msi";
inline constexpr wchar_t kFeaturesOpenVpnOnly[] = L"ADDLOCAL=OpenVPN";
inline constexpr wchar_t kFeaturesWithDrivers[] = L"ADDLOCAL=OpenVPN,Drivers,Drivers.TAPWindows6";
inline constexpr DriverVersion kMinimumTapDriver{{9, 27, 0, 0}};
inline constexpr uint32_t kTapctlTimeoutMs = 60000;

// Exit codes of the program.
inline constexpr uint32_t kExitInstalled = 0;
inline constexpr uint32_t kExitBadCommandLine = 1001;
inline constexpr uint32_t kExitBadPackagePath = 1002;
inline constexpr uint32_t kExitNoSystemDirectory = 1003;
inline constexpr uint32_t kExitInstallerNotStarted = 1004;
inline constexpr uint32_t kExitInstallerWaitFailed = 1005;
inline constexpr uint32_t kExitRestartStarted = 1641;
inline constexpr uint32_t kExitRestartRequired = 3010;
// Windows Installer: success, a restart may be needed (ERROR_SUCCESS_RESTART_REQUIRED).
inline constexpr uint32_t kInstallerRestartMayBeNeeded = 3011;

struct MsiPathCheck {
  bool ok = false;
  std::wstring reason;  // empty when ok
  std::wstring path;    // set only when ok
  Win32Error cause{};   // the failed file-system query behind a refusal, if any
  // The package, held from its checks on (set only when ok): what was checked
  // cannot be changed, renamed or deleted until this is released.
  std::unique_ptr<HeldFile> package;
};

// Rules in a fixed order, first failure wins; the last two ask the file system,
// through the package opened and held (PrereqSystem::HoldFile), never by path.
MsiPathCheck ValidateMsiPath(std::wstring_view path, PrereqSystem& system);

enum class FeatureDecision : uint8_t {
  driver_and_adapter_ok = 0,    // OpenVPN only
  driver_ok_needs_adapter = 1,  // OpenVPN only, then create a TAP adapter
  install_driver = 2,           // OpenVPN with the drivers
};

struct FeatureChoice {
  FeatureDecision decision = FeatureDecision::install_driver;
  std::wstring features;
};

[[nodiscard]] bool IsDriverAcceptable(const TapAssessment& assessment);
FeatureChoice ChooseFeatures(const TapAssessment& assessment);

struct MsiexecCommand {
  std::wstring application;
  std::wstring command_line;
};

MsiexecCommand BuildMsiexecCommand(std::wstring_view system_directory,
                                   std::wstring_view package_path, std::wstring_view features);

// Removes trailing "\" and "/".
std::wstring TrimTrailingSeparators(std::wstring_view text);

// ": <api> failed (win32=<code>)" for a failure, empty for none: the tail of a Note.
std::wstring Because(const Win32Error& error);

// Maps a run to the program's codes: the exit code, or 1004 / 1005.
uint32_t RunAndWait(const std::wstring& application, const std::wstring& command_line,
                    PrereqSystem& system);

// Runs "<dir>\bin\tapctl.exe" create for up to 60 s; true when it exited with 0.
// Notes why it did not.
[[nodiscard]] bool CreateTapAdapter(std::wstring_view openvpn_directory, PrereqSystem& system);

// The whole program after command-line splitting: `arguments` is the split command
// line (program name first), nullopt when it could not be split. The package is
// held from its validation until Windows Installer has exited.
uint32_t RunLauncher(const std::optional<std::vector<std::wstring>>& arguments,
                     PrereqSystem& system);

}  // namespace tovra::prereq
