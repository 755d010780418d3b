// Checks on the TAP-Windows driver before an install, and on the OpenVPN state
// after an install that asked for a restart. Pure decisions over PrereqSystem;
// nothing here is logged or reported (see prereq_system.h). Each result keeps the
// first query failure that was not mere absence as its `cause`, which the launcher
// notes beside its decision; no decision depends on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "prereq/prereq_system.h"

namespace tovra::prereq {

inline constexpr wchar_t kTapServiceName[] = L"tap0901";
inline constexpr wchar_t kInteractiveServiceName[] = L"OpenVPNServiceInteractive";

struct TapAssessment {
  bool service_exists = false;
  bool service_disabled = false;
  bool service_usable = false;
  bool driver_identified = false;
  bool is_amd64 = false;
  DriverVersion driver_version;
  bool device_present = false;
  bool device_problem = false;
  bool device_needs_restart = false;
  Win32Error cause{};
};

struct PostInstallState {
  bool tap_service_exists = false;
  bool device_present = false;
  bool device_problem = false;
  bool device_needs_restart = false;
  bool interactive_service_exists = false;
  bool interactive_service_running = false;
  bool pending_rename = false;
  Win32Error cause{};
};

// A failed query that only says the thing asked for is not there: no such file,
// folder, registry key or value, service, or version resource. Every other
// failure hides a fact the machine has.
[[nodiscard]] bool MeansAbsent(const Win32Error& error);

// Lower-cases both sides with towlower; true when `needle` occurs in `text`.
[[nodiscard]] bool ContainsIgnoreCase(std::wstring_view text, std::wstring_view needle);

// "a.b.c.d" with missing trailing components taken as 0 and each component
// clamped to 65535; anything after a fourth component's "." is ignored.
[[nodiscard]] std::optional<DriverVersion> ParseDriverVersion(std::wstring_view text);

// Turns a driver service ImagePath ("\??\", "\SystemRoot\", "System32\" forms)
// into a file path; the expansion result is used only when it fits in 519
// characters, otherwise the unexpanded text is kept.
std::wstring NormalizeImagePath(std::wstring_view image_path, PrereqSystem& system);

// True when any string of "PendingFileRenameOperations" data names an OpenVPN or
// TAP file. The value holds (source, destination) pairs and a pending delete has
// an empty destination, so an empty string is not the end: the whole data is
// walked, else a delete queued before an OpenVPN rename would hide it.
[[nodiscard]] bool PendingRenamesMentionOpenVpn(std::wstring_view multi_sz);
bool HasPendingOpenVpnRename(PrereqSystem& system);

TapAssessment AssessTapDriver(PrereqSystem& system);

// May start the OpenVPN Interactive Service.
PostInstallState ReadPostInstallState(PrereqSystem& system);

// Everything installed, running and no restart pending.
[[nodiscard]] bool IsHealthy(const PostInstallState& state);

}  // namespace tovra::prereq
