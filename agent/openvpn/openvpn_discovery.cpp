#include "agent/openvpn/openvpn_discovery.h"

namespace tovra::agent::openvpn {

namespace {

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

uint8_t Wire(common::Tri t) {
  return static_cast<uint8_t>(t);
}

}  // namespace

std::string FormatFileVersion(uint32_t version_ms, uint32_t version_ls) {
  return std::to_string(version_ms >> 16) + "." + std::to_string(version_ms & 0xFFFF) + "." +
         std::to_string(version_ls >> 16);
}

std::wstring JoinPath(std::wstring_view base, std::wstring_view element) {
  std::wstring joined(base);
  if (!joined.empty() && !IsSeparator(joined.back())) joined.push_back(L'\\');
  joined.append(element);
  return joined;
}

std::wstring FolderOf(std::wstring_view file_path) {
  const size_t last = file_path.find_last_of(L"\\/");
  if (last == std::wstring_view::npos) return {};
  return std::wstring(file_path.substr(0, last + 1));
}

std::wstring ShippedOpenVpnExePath(std::wstring_view agent_folder) {
  if (agent_folder.empty()) return {};
  std::wstring path(agent_folder);
  for (const std::wstring_view element : {L"lib", L"openvpn", L"amd64", L"openvpn.exe"}) {
    path = JoinPath(path, element);
  }
  return path;
}

std::wstring ChooseOpenVpnExe(const std::wstring& shipped, const std::wstring& registered,
                              const std::function<bool(const std::wstring&)>& exists) {
  for (const std::wstring* candidate : {&shipped, &registered}) {
    if (!candidate->empty() && exists(*candidate)) return *candidate;
  }
  return {};
}

common::Tri ServiceInstalledVerdict(ServiceLookup lookup) {
  switch (lookup) {
    case ServiceLookup::opened:
      return common::Tri::yes;
    case ServiceLookup::missing:
      return common::Tri::no;
    case ServiceLookup::manager_unavailable:
    case ServiceLookup::open_failed:
      break;
  }
  return common::Tri::undetermined;
}

common::Tri ServiceRunningVerdict(ServiceLookup lookup, std::optional<bool> running) {
  if (lookup != ServiceLookup::opened) return ServiceInstalledVerdict(lookup);
  if (!running) return common::Tri::undetermined;
  return *running ? common::Tri::yes : common::Tri::no;
}

common::OpenVpnCapabilitiesRecord CollectOpenVpnCapabilities(const OpenVpnProbes& probes) {
  common::OpenVpnCapabilitiesRecord record;
  std::string version;
  record.openvpn_found = Wire(probes.presence(version));
  if (record.openvpn_found == Wire(common::Tri::yes)) record.openvpn_version = std::move(version);
  record.interactive_service_installed = Wire(probes.service_installed());
  record.interactive_service_running = Wire(probes.service_running());
  return record;
}

}  // namespace tovra::agent::openvpn
