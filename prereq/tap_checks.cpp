#include "prereq/tap_checks.h"

#include <algorithm>
#include <cwctype>
#include <iterator>

namespace tovra::prereq {
namespace {

constexpr size_t kMaxExpandedImagePath = 519;  // one 520-character buffer with its NUL

std::wstring Lower(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  return out;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

struct DeviceFlags {
  bool present = false;
  bool problem = false;
  bool needs_restart = false;
};

// Win32 codes that only say "not there".
constexpr uint32_t kAbsenceCodes[] = {
    2,     // ERROR_FILE_NOT_FOUND: also a registry key or value
    3,     // ERROR_PATH_NOT_FOUND
    1060,  // ERROR_SERVICE_DOES_NOT_EXIST
    1812,  // ERROR_RESOURCE_DATA_NOT_FOUND: a file without resources
    1813,  // ERROR_RESOURCE_TYPE_NOT_FOUND: resources, but no version
    1814,  // ERROR_RESOURCE_NAME_NOT_FOUND
};

// Keeps the first failure that hides a fact.
void NoteCause(Win32Error& cause, const Win32Error& error) {
  if (!cause && error && !MeansAbsent(error)) cause = error;
}

std::optional<std::wstring> ReadPendingRenames(PrereqSystem& system, Win32Error& cause) {
  SystemFact<std::wstring> data = system.ReadPendingRenames();
  NoteCause(cause, data.error);
  return std::move(data.value);
}

DeviceFlags CombineDevices(const std::vector<TapDevice>& devices) {
  DeviceFlags flags;
  flags.present = !devices.empty();
  for (const TapDevice& d : devices) {
    flags.problem = flags.problem || d.has_problem;
    flags.needs_restart = flags.needs_restart || d.needs_restart;
  }
  return flags;
}

}  // namespace

bool MeansAbsent(const Win32Error& error) {
  return std::find(std::begin(kAbsenceCodes), std::end(kAbsenceCodes), error.code) !=
         std::end(kAbsenceCodes);
}

bool ContainsIgnoreCase(std::wstring_view text, std::wstring_view needle) {
  return Lower(text).find(Lower(needle)) != std::wstring::npos;
}

std::optional<DriverVersion> ParseDriverVersion(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  DriverVersion version;
  size_t i = 0;
  for (size_t component = 0; component < 4; ++component) {
    if (i >= text.size() || !IsDigit(text[i])) return std::nullopt;
    uint32_t value = 0;
    while (i < text.size() && IsDigit(text[i])) {
      value = std::min<uint32_t>(value * 10 + static_cast<uint32_t>(text[i] - L'0'), 65535);
      ++i;
    }
    version.parts[component] = static_cast<uint16_t>(value);
    if (i == text.size()) return version;
    if (text[i] != L'.' || i + 1 == text.size()) return std::nullopt;
    ++i;
  }
  // A fourth component followed by "." and more text: the rest is not ours to judge.
  return version;
}

std::wstring NormalizeImagePath(std::wstring_view image_path, PrereqSystem& system) {
  std::wstring path(image_path);
  if (StartsWith(path, L"\\??\\")) path.erase(0, 4);
  if (StartsWith(path, L"\\SystemRoot\\")) {
    path.replace(0, 12, L"%SystemRoot%\\");
  } else if (StartsWith(path, L"System32\\") || StartsWith(path, L"system32\\")) {
    path.insert(0, L"%SystemRoot%\\");
  }
  std::optional<std::wstring> expanded = system.ExpandEnvironment(path);
  if (!expanded || expanded->size() > kMaxExpandedImagePath) return path;
  return *expanded;
}

bool PendingRenamesMentionOpenVpn(std::wstring_view multi_sz) {
  size_t start = 0;
  while (start < multi_sz.size()) {
    size_t end = multi_sz.find(L'\0', start);
    if (end == std::wstring_view::npos) end = multi_sz.size();
    std::wstring_view entry = multi_sz.substr(start, end - start);
    if (ContainsIgnoreCase(entry, L"openvpn") || ContainsIgnoreCase(entry, L"tap0901") ||
        ContainsIgnoreCase(entry, L"tap-windows")) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool HasPendingOpenVpnRename(PrereqSystem& system) {
  Win32Error ignored;
  std::optional<std::wstring> data = ReadPendingRenames(system, ignored);
  return data && PendingRenamesMentionOpenVpn(*data);
}

TapAssessment AssessTapDriver(PrereqSystem& system) {
  TapAssessment a;
  const ServiceSummary tap = system.QueryServiceSummary(kTapServiceName);
  NoteCause(a.cause, tap.error);
  a.service_exists = tap.exists;
  a.service_disabled = tap.disabled;
  a.service_usable = tap.running_or_starting || tap.enabled;
  a.is_amd64 = system.IsNativeAmd64();

  const TapDeviceList list = system.EnumerateTapDevices();
  NoteCause(a.cause, list.error);
  const DeviceFlags flags = CombineDevices(list.devices);
  a.device_present = flags.present;
  a.device_problem = flags.problem;
  a.device_needs_restart = flags.needs_restart;

  for (const TapDevice& d : list.devices) {
    if (d.driver_version.IsUnknown()) continue;
    a.driver_version = d.driver_version;
    a.driver_identified = ContainsIgnoreCase(d.provider_name, L"tap-windows") ||
                          ContainsIgnoreCase(d.provider_name, L"openvpn");
    return a;
  }

  if (!a.service_exists) return a;
  const SystemFact<std::wstring> image_path = system.ReadTapImagePath();
  NoteCause(a.cause, image_path.error);
  if (!image_path.value) return a;
  const SystemFact<DriverVersion> file_version =
      system.ReadFileVersion(NormalizeImagePath(*image_path.value, system));
  NoteCause(a.cause, file_version.error);
  if (file_version.value) {
    a.driver_version = *file_version.value;
    a.driver_identified = true;
  }
  return a;
}

PostInstallState ReadPostInstallState(PrereqSystem& system) {
  PostInstallState s;
  const ServiceSummary tap = system.QueryServiceSummary(kTapServiceName);
  NoteCause(s.cause, tap.error);
  s.tap_service_exists = tap.exists;

  const TapDeviceList list = system.EnumerateTapDevices();
  NoteCause(s.cause, list.error);
  const DeviceFlags flags = CombineDevices(list.devices);
  s.device_present = flags.present;
  s.device_problem = flags.problem;
  s.device_needs_restart = flags.needs_restart;

  const ServiceSummary interactive = system.QueryServiceSummary(kInteractiveServiceName);
  NoteCause(s.cause, interactive.error);
  s.interactive_service_exists = interactive.exists;
  if (interactive.exists) {
    if (interactive.running_or_starting) {
      s.interactive_service_running = true;
    } else if (!interactive.disabled) {
      const SystemStep start = system.StartServiceAndWait(kInteractiveServiceName);
      NoteCause(s.cause, start.error);
      s.interactive_service_running = start.done;
    }
  }

  const std::optional<std::wstring> renames = ReadPendingRenames(system, s.cause);
  s.pending_rename = renames && PendingRenamesMentionOpenVpn(*renames);
  return s;
}

bool IsHealthy(const PostInstallState& s) {
  return s.tap_service_exists && s.device_present && s.interactive_service_exists &&
         s.interactive_service_running && !s.device_problem && !s.device_needs_restart &&
         !s.pending_rename;
}

}  // namespace tovra::prereq
