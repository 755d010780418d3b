#include "prereq/tap_checks.h"

#include <algorithm>
#include <cwctype>

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
  std::optional<std::wstring> data = system.ReadPendingRenames();
  return data && PendingRenamesMentionOpenVpn(*data);
}

TapAssessment AssessTapDriver(PrereqSystem& system) {
  TapAssessment a;
  const ServiceSummary tap = system.QueryServiceSummary(kTapServiceName);
  a.service_exists = tap.exists;
  a.service_disabled = tap.disabled;
  a.service_usable = tap.running_or_starting || tap.enabled;
  a.is_amd64 = system.IsNativeAmd64();

  const std::vector<TapDevice> devices = system.EnumerateTapDevices();
  const DeviceFlags flags = CombineDevices(devices);
  a.device_present = flags.present;
  a.device_problem = flags.problem;
  a.device_needs_restart = flags.needs_restart;

  for (const TapDevice& d : devices) {
    if (d.driver_version.IsUnknown()) continue;
    a.driver_version = d.driver_version;
    a.driver_identified = ContainsIgnoreCase(d.provider_name, L"tap-windows") ||
                          ContainsIgnoreCase(d.provider_name, L"openvpn");
    return a;
  }

  if (!a.service_exists) return a;
  std::optional<std::wstring> image_path = system.ReadTapImagePath();
  if (!image_path) return a;
  std::optional<DriverVersion> file_version =
      system.ReadFileVersion(NormalizeImagePath(*image_path, system));
  if (file_version) {
    a.driver_version = *file_version;
    a.driver_identified = true;
  }
  return a;
}

PostInstallState ReadPostInstallState(PrereqSystem& system) {
  PostInstallState s;
  s.tap_service_exists = system.QueryServiceSummary(kTapServiceName).exists;

  const DeviceFlags flags = CombineDevices(system.EnumerateTapDevices());
  s.device_present = flags.present;
  s.device_problem = flags.problem;
  s.device_needs_restart = flags.needs_restart;

  const ServiceSummary interactive = system.QueryServiceSummary(kInteractiveServiceName);
  s.interactive_service_exists = interactive.exists;
  if (interactive.exists) {
    if (interactive.running_or_starting) {
      s.interactive_service_running = true;
    } else if (!interactive.disabled) {
      s.interactive_service_running = system.StartServiceAndWait(kInteractiveServiceName);
    }
  }

  s.pending_rename = HasPendingOpenVpnRename(system);
  return s;
}

bool IsHealthy(const PostInstallState& s) {
  return s.tap_service_exists && s.device_present && s.interactive_service_exists &&
         s.interactive_service_running && !s.device_problem && !s.device_needs_restart &&
         !s.pending_rename;
}

}  // namespace tovra::prereq
