// The Service's VPN requests and the work it does for them at its extension
// points: the WireGuard tunnel (start, stop, status; clean-up when the pipe loop
// starts, stop when the Service Control Manager stops the Service).
#pragma once

#include <functional>
#include <memory>
#include <span>

#include "common/ipc/frame.h"
#include "common/security/caller_identity.h"
#include "service/service_state_win.h"

namespace tovra::service {

class WireGuardTunnelManager;
class ActivityRegistry;

// Builds the state's tunnel manager; called once, by the early start-up action.
using WireGuardFactory = std::function<std::shared_ptr<WireGuardTunnelManager>()>;

// The manager over the real Service Control Manager, files and wireguard.dll,
// for the folder of the running executable.
std::shared_ptr<WireGuardTunnelManager> MakeSystemWireGuard();

// Enters the three WireGuard handlers and the early start-up, loop-start and
// stop-request actions.
void AddWireGuardExtensions(ServiceExtensions& extensions, WireGuardFactory factory);

// Builds the state's activity registry; called once, by an early start-up action.
using ActivityFactory = std::function<std::shared_ptr<ActivityRegistry>(ServiceState&)>;

// The registry over the real sources: the state's tunnel manager, the service
// manager, the staged profiles, the process table and HKLM.
std::shared_ptr<ActivityRegistry> MakeSystemActivity(ServiceState& state);

void AddActivityExtensions(ServiceExtensions& extensions, ActivityFactory factory);

// Enters the OpenVPN staging handlers (stage, unstage, the Agent's activity
// report) and the late start-up, idle-pass and loop-end actions.
void AddOpenVpnStagingExtensions(ServiceExtensions& extensions);

// Refreshes the machine-wide activity record after a request that may change it.
void PublishActivity(ServiceState& state);
// Keeps the Agent's latest OpenVPN report for the activity verdict.
void RecordAgentReport(ServiceState& state, bool openvpn_active, uint32_t status_detail,
                       uint32_t openvpn_pid);

common::Bytes HandleStartWireGuard(ServiceState& state, const common::CallerIdentity& caller,
                                   std::span<uint8_t> payload);
common::Bytes HandleStopWireGuard(ServiceState& state, const common::CallerIdentity& caller,
                                  std::span<uint8_t> payload);
common::Bytes HandleWireGuardStatus(ServiceState& state, const common::CallerIdentity& caller,
                                    std::span<uint8_t> payload);
common::Bytes HandleStageOpenVpnConfig(ServiceState& state, const common::CallerIdentity& caller,
                                       std::span<uint8_t> payload);
common::Bytes HandleUnstageOpenVpnConfig(ServiceState& state, const common::CallerIdentity& caller,
                                         std::span<uint8_t> payload);
common::Bytes HandleReportOpenVpnActivity(ServiceState& state, const common::CallerIdentity& caller,
                                          std::span<uint8_t> payload);

}  // namespace tovra::service
