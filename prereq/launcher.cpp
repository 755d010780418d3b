#include "prereq/launcher.h"

#include <array>

namespace tovra::prereq {
namespace {

constexpr size_t kMaxPathLength = 1024;
constexpr std::array<uint8_t, 8> kCompoundFileSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                           0xA1, 0xB1, 0x1A, 0xE1};

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}
bool IsAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The package name is ASCII, so only ASCII letters fold: a non-ASCII character
// that some case table maps onto an ASCII one (U+0130, U+212A) names another file
// on NTFS and must not pass for the package.
wchar_t FoldAscii(wchar_t c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsPackageName(std::wstring_view component) {
  const std::wstring_view expected = kPackageName;
  if (component.size() != expected.size()) return false;
  for (size_t i = 0; i < component.size(); ++i) {
    if (FoldAscii(component[i]) != FoldAscii(expected[i])) return false;
  }
  return true;
}

MsiPathCheck Refuse(const wchar_t* reason, Win32Error cause = {}) {
  return MsiPathCheck{false, reason, {}, cause, nullptr};
}

}  // namespace

MsiPathCheck ValidateMsiPath(std::wstring_view path, PrereqSystem& system) {
  if (path.empty() || path.size() > kMaxPathLength) return Refuse(L"empty or over-long path");
  for (wchar_t c : path) {
    if (static_cast<uint32_t>(c) <= 0x1F || c == L'"')
      return Refuse(L"path contains an illegal character");
  }
  if (path.size() <= 2 || !IsAsciiLetter(path[0]) || path[1] != L':' || !IsSeparator(path[2])) {
    return Refuse(L"not a drive-letter absolute path");
  }

  std::wstring_view last;
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    last = path.substr(start, end - start);
    if (last == L"." || last == L"..") return Refuse(L"path contains a '.' or '..' component");
    if (end == path.size()) break;
    start = end + 1;
  }
  if (!EqualsPackageName(last))
    return Refuse(L"final component is not the expected OpenVPN MSI filename");

  // Opened once and judged through the handle: msiexec later opens the path, and
  // the hold keeps it naming what was judged.
  const std::wstring owned(path);
  FileHold hold = system.HoldFile(owned);
  if (!hold.file) return Refuse(L"path does not resolve to a file", hold.error);
  const SystemFact<uint32_t> attributes = hold.file->Attributes();
  if (!attributes.value) return Refuse(L"path does not resolve to a file", attributes.error);
  if (*attributes.value & kAttributeDirectory) return Refuse(L"path is a directory");
  if (*attributes.value & kAttributeReparsePoint)
    return Refuse(L"path is a reparse point (symlink/junction)");

  const SystemFact<std::array<uint8_t, 8>> signature = hold.file->ReadSignature();
  if (!signature.value || *signature.value != kCompoundFileSignature) {
    return Refuse(L"file is not a Windows Installer package", signature.error);
  }
  return MsiPathCheck{true, {}, owned, {}, std::move(hold.file)};
}

bool IsDriverAcceptable(const TapAssessment& a) {
  return a.service_exists && !a.service_disabled && a.service_usable && a.driver_identified &&
         a.is_amd64 && a.driver_version >= kMinimumTapDriver;
}

FeatureChoice ChooseFeatures(const TapAssessment& a) {
  if (!IsDriverAcceptable(a)) return {FeatureDecision::install_driver, kFeaturesWithDrivers};
  if (!a.device_present || a.device_problem || a.device_needs_restart) {
    return {FeatureDecision::driver_ok_needs_adapter, kFeaturesOpenVpnOnly};
  }
  return {FeatureDecision::driver_and_adapter_ok, kFeaturesOpenVpnOnly};
}

std::wstring Because(const Win32Error& error) {
  return error ? L": " + common::DescribeWin32Error(error) : std::wstring();
}

std::wstring TrimTrailingSeparators(std::wstring_view text) {
  while (!text.empty() && IsSeparator(text.back())) text.remove_suffix(1);
  return std::wstring(text);
}

MsiexecCommand BuildMsiexecCommand(std::wstring_view system_directory,
                                   std::wstring_view package_path, std::wstring_view features) {
  MsiexecCommand c;
  c.application = TrimTrailingSeparators(system_directory) + L"\\msiexec.exe";
  c.command_line = L"\"" + c.application + L"\" /i \"";
  c.command_line += package_path;
  c.command_line += L"\" /qn /norestart ";
  c.command_line += features;
  c.command_line += L" REBOOT=ReallySuppress";
  return c;
}

uint32_t RunAndWait(const std::wstring& application, const std::wstring& command_line,
                    PrereqSystem& system) {
  const RunResult r = system.Run(application, command_line, std::nullopt);
  switch (r.status) {
    case RunStatus::exited:
      return r.exit_code;
    case RunStatus::not_started:
      system.Note(L"installer not started" + Because(r.error));
      return kExitInstallerNotStarted;
    case RunStatus::wait_failed:
    case RunStatus::timed_out:
      break;
  }
  system.Note(L"waiting for the installer failed" + Because(r.error));
  return kExitInstallerWaitFailed;
}

bool CreateTapAdapter(std::wstring_view openvpn_directory, PrereqSystem& system) {
  const std::wstring program = std::wstring(openvpn_directory) + L"\\bin\\tapctl.exe";
  const SystemFact<uint32_t> attributes = system.FileAttributes(program);
  if (!attributes.value || (*attributes.value & kAttributeDirectory)) {
    system.Note(L"no TAP adapter created: tapctl.exe is not a file" + Because(attributes.error));
    return false;
  }
  const RunResult r = system.Run(program, L"\"" + program + L"\" create", kTapctlTimeoutMs);
  if (r.status == RunStatus::exited && r.exit_code == 0) return true;
  if (r.status == RunStatus::exited) {
    system.Note(L"tapctl.exe create exited with " + std::to_wstring(r.exit_code));
  } else {
    system.Note(L"tapctl.exe create did not finish" + Because(r.error));
  }
  return false;
}

namespace {

uint32_t MapInstallerResult(uint32_t result, PrereqSystem& system) {
  if (result != kInstallerRestartMayBeNeeded)
    return result;  // 0, 1641, 3010 and the rest as they are
  PostInstallState state = ReadPostInstallState(system);
  if (state.device_needs_restart) {
    const SystemStep restart = system.RestartTapDevices();
    if (!restart.done) {
      system.Note(L"TAP device restart failed" + Because(restart.error));
    } else {
      if (restart.error) system.Note(L"TAP devices not restarted" + Because(restart.error));
      state = ReadPostInstallState(system);
    }
  }
  if (IsHealthy(state)) return kExitInstalled;
  if (state.cause) system.Note(L"post-install state not healthy" + Because(state.cause));
  return kExitRestartRequired;
}

}  // namespace

uint32_t RunLauncher(const std::optional<std::vector<std::wstring>>& arguments,
                     PrereqSystem& system) {
  if (!arguments || arguments->size() != 2) return kExitBadCommandLine;

  MsiPathCheck check = ValidateMsiPath((*arguments)[1], system);
  if (!check.ok) {
    system.Note(L"package refused: " + check.reason + Because(check.cause));
    return kExitBadPackagePath;
  }

  const SystemFact<std::wstring> system_directory = system.SystemDirectory();
  if (!system_directory.value) {
    system.Note(L"system directory unknown" + Because(system_directory.error));
    return kExitNoSystemDirectory;
  }

  const TapAssessment assessment = AssessTapDriver(system);
  // The choice stands either way; the cause says why the driver may look worse than it is.
  if (assessment.cause)
    system.Note(L"TAP driver assessment incomplete" + Because(assessment.cause));
  const FeatureChoice choice = ChooseFeatures(assessment);
  const MsiexecCommand command =
      BuildMsiexecCommand(*system_directory.value, check.path, choice.features);
  const uint32_t result = RunAndWait(command.application, command.command_line, system);
  check.package.reset();  // installed (or not): nothing reads the package from here on
  if (result == kExitInstallerNotStarted || result == kExitInstallerWaitFailed) return result;

  if (choice.decision == FeatureDecision::driver_ok_needs_adapter &&
      (result == 0 || result == kExitRestartRequired || result == kInstallerRestartMayBeNeeded)) {
    const SystemFact<std::wstring> read = system.ReadOpenVpnDirectory();
    const std::wstring openvpn_directory = TrimTrailingSeparators(read.value.value_or(L""));
    // The adapter is a convenience: its failure never changes what the installer reported.
    if (!openvpn_directory.empty()) {
      static_cast<void>(CreateTapAdapter(openvpn_directory, system));
    } else {
      system.Note(L"no TAP adapter created: OpenVPN directory unknown" + Because(read.error));
    }
  }
  return MapInstallerResult(result, system);
}

}  // namespace tovra::prereq
