// The whole launcher over a machine whose every fact comes from the input: the
// command line, the package path (random text or a near miss of a good one), the
// file facts behind it, the TAP driver service, devices whose driver-version text
// is parsed as the registry reader parses it, the image path, pending renames and
// the installer's result. For any input: Windows Installer runs only for a path
// that keeps every package rule, with that path quoted once and nothing else able
// to end the quote; tapctl runs only after an install without the drivers; the
// exit code is one the launcher documents or the installer's own. Every parsed
// driver version re-parses from its own text to itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "prereq/launcher.h"
#include "prereq/tap_checks.h"
#include "prereq/testing/fake_prereq_system.h"

namespace {

using namespace tovra::prereq;
using tovra::prereq::testing::FakeFile;
using tovra::prereq::testing::FakePrereqSystem;
using tovra::prereq::testing::kMsiSignature;
using tovra::prereq::testing::RecordedRun;

std::wstring Wide(FuzzedDataProvider& in, size_t max_chars) {
  std::wstring text;
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, max_chars);
  for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    text.push_back(static_cast<wchar_t>(in.ConsumeIntegral<uint16_t>()));
  }
  return text;
}

// Mostly ASCII, with the characters the rules care about.
std::wstring Piece(FuzzedDataProvider& in) {
  static const wchar_t* const kPieces[] = {L"C:",
                                           L"c:",
                                           L"\\",
                                           L"/",
                                           L"..",
                                           L".",
                                           L"Users",
                                           L"Downloads",
                                           L"\"",
                                           L"\x01",
                                           L" ",
                                           L"OpenVPN-2.7.7-I001-amd64.msi",
                                           L"OPENVPN-2.7.7-I001-AMD64.MSI",
                                           L"\x0130",
                                           L"\x212A",
                                           L"OpenVPN-2.7.7-I001-amd64.ms\x0130",
                                           L"\\\\?\\",
                                           L"\\\\server\\share",
                                           L"::$DATA",
                                           L"~1"};
  if (in.ConsumeIntegralInRange<int>(0, 9) == 0) return Wide(in, 8);
  return kPieces[in.ConsumeIntegralInRange<size_t>(0, std::size(kPieces) - 1)];
}

std::wstring PackagePath(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return Wide(in, 64);
  std::wstring path;
  const int pieces = in.ConsumeIntegralInRange<int>(1, 12);
  for (int i = 0; i < pieces; ++i) path += Piece(in);
  if (in.ConsumeBool()) path.append(in.ConsumeIntegralInRange<size_t>(0, 1100), L'a');
  return path;
}

std::wstring DriverVersionText(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return Wide(in, 24);
  std::wstring text;
  const int parts = in.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < parts; ++i) {
    if (i > 0 || in.ConsumeBool()) text += L'.';
    text += std::to_wstring(in.ConsumeIntegralInRange<uint64_t>(0, 10000000));
  }
  return text;
}

std::wstring FormatVersion(const DriverVersion& v) {
  return std::to_wstring(v.parts[0]) + L"." + std::to_wstring(v.parts[1]) + L"." +
         std::to_wstring(v.parts[2]) + L"." + std::to_wstring(v.parts[3]);
}

// The package rules, stated on their own: what a path handed to msiexec must be.
bool KeepsPackageRules(const std::wstring& path, const FakePrereqSystem& system) {
  if (path.empty() || path.size() > 1024) return false;
  for (wchar_t c : path) {
    if (c < 0x20 || c == L'"') return false;
  }
  const bool letter = (path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z';
  if (path.size() < 3 || !letter || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/'))
    return false;
  size_t start = 0;
  std::wstring last;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == L'\\' || path[i] == L'/') {
      last = path.substr(start, i - start);
      if (last == L"." || last == L"..") return false;
      start = i + 1;
    }
  }
  std::wstring folded = last;
  for (wchar_t& c : folded) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
  }
  if (folded != L"openvpn-2.7.7-i001-amd64.msi") return false;
  const auto file = system.files.find(path);
  return file != system.files.end() && (file->second.attributes & 0x410) == 0 &&
         file->second.signature == kMsiSignature;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FakePrereqSystem system;
  system.environment[L"SystemRoot"] = L"C:\\Windows";

  std::optional<std::vector<std::wstring>> arguments;
  if (in.ConsumeIntegralInRange<int>(0, 15) != 0) {
    arguments.emplace();
    arguments->push_back(L"TOVRAPrereqLauncher.exe");
    const int count =
        in.ConsumeIntegralInRange<int>(0, 9) == 0 ? in.ConsumeIntegralInRange<int>(0, 3) : 1;
    for (int i = 0; i < count; ++i) arguments->push_back(PackagePath(in));
  }
  if (arguments && arguments->size() > 1 && in.ConsumeBool()) {
    FakeFile file;
    file.attributes = in.PickValueInArray<uint32_t>({0x80, 0x20, 0x10, 0x400, 0x410, 0x1});
    if (in.ConsumeBool()) {
      file.signature = kMsiSignature;
      if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        (*file.signature)[in.ConsumeIntegralInRange<size_t>(0, 7)] ^= 1;
    }
    system.files[(*arguments)[1]] = file;
  }
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    system.system_directory.reset();
  } else if (in.ConsumeBool()) {
    system.system_directory =
        L"C:\\Windows\\system32" + std::wstring(in.ConsumeIntegralInRange<size_t>(0, 3), L'\\');
  }

  ServiceSummary tap;
  tap.exists = in.ConsumeBool();
  tap.disabled = in.ConsumeBool();
  tap.running_or_starting = in.ConsumeBool();
  tap.enabled = in.ConsumeBool();
  system.services[kTapServiceName] = tap;
  system.amd64 = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const int devices = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < devices; ++i) {
    const std::wstring text = DriverVersionText(in);
    const std::optional<DriverVersion> parsed = ParseDriverVersion(text);
    if (parsed && ParseDriverVersion(FormatVersion(*parsed)) != parsed) std::abort();
    if (parsed && (text.empty() || text[0] < L'0' || text[0] > L'9')) std::abort();
    TapDevice device;
    device.device_instance = static_cast<uint32_t>(i + 1);
    device.has_problem = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    device.needs_restart = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    device.driver_version = parsed.value_or(DriverVersion{});
    device.provider_name = in.ConsumeBool() ? std::wstring(in.PickValueInArray<const wchar_t*>(
                                                  {L"TAP-Windows Provider V9", L"OpenVPN, Inc."}))
                                            : Wide(in, 8);
    system.devices.push_back(device);
  }
  if (in.ConsumeBool())
    system.tap_image_path =
        in.ConsumeBool() ? L"\\SystemRoot\\System32\\drivers\\tap0901.sys" : Wide(in, 40);
  if (in.ConsumeBool()) {
    system.file_versions[L"C:\\Windows\\System32\\drivers\\tap0901.sys"] =
        ParseDriverVersion(DriverVersionText(in)).value_or(DriverVersion{});
  }
  if (in.ConsumeBool()) system.pending_renames = Wide(in, 40);
  if (in.ConsumeBool()) system.openvpn_directory = L"C:\\Program Files\\OpenVPN\\";
  if (in.ConsumeBool()) system.files[L"C:\\Program Files\\OpenVPN\\bin\\tapctl.exe"] = FakeFile{};

  const std::wstring msiexec = L"C:\\Windows\\system32\\msiexec.exe";
  RunResult installer;
  installer.status = in.PickValueInArray<RunStatus>({RunStatus::exited, RunStatus::exited,
                                                     RunStatus::exited, RunStatus::not_started,
                                                     RunStatus::wait_failed, RunStatus::timed_out});
  installer.exit_code = in.ConsumeBool()
                            ? in.PickValueInArray<uint32_t>({0, 1602, 1603, 1641, 3010, 3011})
                            : in.ConsumeIntegral<uint32_t>();
  system.run_results[msiexec] = installer;

  const uint32_t code = RunLauncher(arguments, system);

  const bool argument_count_ok = arguments && arguments->size() == 2;
  if (!argument_count_ok) {
    if (code != kExitBadCommandLine || !system.runs.empty()) std::abort();
    return 0;
  }
  const std::wstring& path = (*arguments)[1];
  const bool path_ok = KeepsPackageRules(path, system);
  if (!path_ok) {
    if (code != kExitBadPackagePath || !system.runs.empty()) std::abort();
    return 0;
  }
  if (!system.system_directory) {
    if (code != kExitNoSystemDirectory || !system.runs.empty()) std::abort();
    return 0;
  }
  if (system.runs.empty() || system.runs.size() > 2) std::abort();
  const RecordedRun& install = system.runs[0];
  if (install.application != msiexec) std::abort();
  const std::wstring& line = install.command_line;
  if (std::count(line.begin(), line.end(), L'"') != 4) std::abort();
  if (line.find(L"\"" + path + L"\"") == std::wstring::npos) std::abort();
  const bool with_drivers = line.find(kFeaturesWithDrivers) != std::wstring::npos;
  if (!with_drivers && line.find(std::wstring(kFeaturesOpenVpnOnly) + L" ") == std::wstring::npos)
    std::abort();
  if (line.find(L" /qn /norestart ") == std::wstring::npos || line.size() < 22 ||
      line.substr(line.size() - 22) != L" REBOOT=ReallySuppress")
    std::abort();
  if (system.runs.size() == 2) {
    if (with_drivers || system.runs[1].timeout_ms != kTapctlTimeoutMs ||
        system.runs[1].application != L"C:\\Program Files\\OpenVPN\\bin\\tapctl.exe")
      std::abort();
  }

  switch (installer.status) {
    case RunStatus::not_started:
      if (code != kExitInstallerNotStarted) std::abort();
      break;
    case RunStatus::wait_failed:
    case RunStatus::timed_out:
      if (code != kExitInstallerWaitFailed) std::abort();
      break;
    case RunStatus::exited:
      if (installer.exit_code == kInstallerRestartMayBeNeeded
              ? code != kExitInstalled && code != kExitRestartRequired
              : code != installer.exit_code)
        std::abort();
      break;
  }
  return 0;
}
