// Finding the OpenVPN runtime on this machine: which openvpn.exe the Agent would
// use, its version, and whether the Interactive Service is installed and running.
//
// Reads the file system, the registry and the Service Control Manager; no state,
// callable from any thread. A probe that cannot decide answers "undetermined";
// nothing here logs.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/ipc/messages.h"

namespace tovra::agent::openvpn {

// The folder of the running program, its final separator kept; empty when the
// module path cannot be had within 260 characters.
std::wstring AgentModuleFolder();

// The installed runtime's "exe_path" (REG_SZ only, at most 520 bytes) under
// `root`\`subkey` in the 64-bit view; nothing when absent, of another type,
// too long or empty.
std::optional<std::wstring> ReadRegisteredExePath(HKEY root, const wchar_t* subkey);

// The shipped copy beside `agent_folder` (lib\openvpn\amd64\openvpn.exe) when it
// exists, else `registry_exe_path` when it names an existing file; else empty.
std::wstring FindOpenVpnExeIn(const std::wstring& agent_folder,
                              std::optional<std::wstring> registry_exe_path);

// FindOpenVpnExeIn over this Agent's folder and HKLM\SOFTWARE\OpenVPN.
std::wstring FindOpenVpnExe();

// "major.minor.build" of the file's version resource; empty when it has none.
std::string ReadFileVersionText(const std::wstring& path);

// Yes (with the version, possibly empty) when `exe` is non-empty, else no.
common::Tri ProbeOpenVpnPresenceAt(const std::wstring& exe, std::string& version_out);
common::Tri ProbeOpenVpnPresence(std::string& version_out);

// The probes of a service by name, and of the Interactive Service.
common::Tri ServiceInstalled(std::wstring_view service_name);
common::Tri ServiceRunning(std::wstring_view service_name);
common::Tri InteractiveServiceInstalled();
common::Tri InteractiveServiceRunning();

common::OpenVpnCapabilitiesRecord ProbeOpenVpnCapabilities();

}  // namespace tovra::agent::openvpn
