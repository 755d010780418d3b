// The Agent's OpenVPN requests (capabilities, start, stop, status), the
// coordinator they share, the activity report that keeps the Service's verdict
// current, and the OpenVPN part of the Agent's idle decision.
//
// Threading: everything here runs on the Agent's main thread (handlers, idle
// hooks); the coordinator runs each attempt on its own threads. The active flag
// is atomic because the idle computation reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "agent/agent_host_win.h"
#include "agent/openvpn/openvpn_coordinator.h"
#include "common/ipc/frame.h"

namespace tovra::agent {

// Builds the coordinator on first use. The default builds the real one: the
// openvpn.exe discovery finds, the Interactive Service, the Agent's staging
// folder, and staging through the Service link.
using CoordinatorFactory = std::function<std::unique_ptr<openvpn::OpenVpnCoordinator>(AgentHost&)>;

std::unique_ptr<openvpn::OpenVpnCoordinator> MakeSystemCoordinator(AgentHost& host);

class AgentOpenVpn {
 public:
  explicit AgentOpenVpn(AgentHost& host, CoordinatorFactory factory = MakeSystemCoordinator);
  AgentOpenVpn(const AgentOpenVpn&) = delete;
  AgentOpenVpn& operator=(const AgentOpenVpn&) = delete;

  // Adds the four handlers and the idle contributions to the host.
  void Install();

  common::Bytes Capabilities();
  common::Bytes Start(std::span<uint8_t> payload);
  common::Bytes Stop();
  common::Bytes Status();
  // Tells the Service whether an attempt is active; a no-op before the first
  // OpenVPN request.
  void ReportActivity();

  bool active() const { return active_.load() != 0; }
  bool has_coordinator() const { return coordinator_ != nullptr; }

 private:
  openvpn::OpenVpnCoordinator& Coordinator();
  common::Bytes StatusReply(const common::OpenVpnStatusRecord& record);

  AgentHost& host_;
  CoordinatorFactory factory_;
  std::unique_ptr<openvpn::OpenVpnCoordinator> coordinator_;
  std::atomic<uint8_t> active_{0};
};

// The longest accept wait while a coordinator exists, so activity reports keep
// the Service's verdict fresh.
inline constexpr uint32_t kOpenVpnReportWaitCapMs = 7000;

}  // namespace tovra::agent
