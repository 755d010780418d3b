// What the Agent reports about the OpenVPN runtime, decided over facts the
// Win32 side gathers (openvpn_discovery_win): which openvpn.exe counts, how its
// version reads, and what a service lookup means as a tri-state.
//
// Portable and stateless; callable from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/ipc/messages.h"

namespace tovra::agent::openvpn {

// "major.minor.build" from a fixed file version's two halves, in decimal; the
// fourth component is left out ("2.6.12.0" reads "2.6.12").
std::string FormatFileVersion(uint32_t version_ms, uint32_t version_ls);

// `base` and `element` with one separator between them, added only when `base`
// is non-empty and does not already end in one.
std::wstring JoinPath(std::wstring_view base, std::wstring_view element);

// The folder part of a file path, its final separator kept; empty when the path
// has no folder part.
std::wstring FolderOf(std::wstring_view file_path);

// Where the Agent's own copy of openvpn.exe would be, beside the Agent in
// lib\openvpn\amd64; empty when `agent_folder` is.
std::wstring ShippedOpenVpnExePath(std::wstring_view agent_folder);

// The first candidate that is non-empty and exists: the shipped copy, then the
// installed runtime's registered path. Empty when neither.
std::wstring ChooseOpenVpnExe(const std::wstring& shipped, const std::wstring& registered,
                              const std::function<bool(const std::wstring&)>& exists);

// How far a lookup of a service by name got.
enum class ServiceLookup : uint8_t {
  manager_unavailable,  // the Service Control Manager could not be opened
  missing,              // no service of that name
  open_failed,          // it exists but could not be opened
  opened,
};

common::Tri ServiceInstalledVerdict(ServiceLookup lookup);
// `running` is the queried state (nothing when the query failed); only read
// when the service was opened.
common::Tri ServiceRunningVerdict(ServiceLookup lookup, std::optional<bool> running);

// The three probes of one capabilities request, each called once, in order.
struct OpenVpnProbes {
  std::function<common::Tri(std::string& version_out)> presence;
  std::function<common::Tri()> service_installed;
  std::function<common::Tri()> service_running;
};

common::OpenVpnCapabilitiesRecord CollectOpenVpnCapabilities(const OpenVpnProbes& probes);

}  // namespace tovra::agent::openvpn
