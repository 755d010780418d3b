#include "agent/openvpn_handlers_win.h"

#include "agent/openvpn/interactive_service_client_win.h"
#include "agent/openvpn/management_client_win.h"
#include "agent/openvpn/openvpn_discovery_win.h"
#include "agent/openvpn/openvpn_environment_win.h"
#include "agent/openvpn/openvpn_process_win.h"
#include "common/ipc/messages.h"
#include "common/log/log.h"

namespace tovra::agent {

using common::Bytes;
using common::LogLevel;
using common::MessageType;
using common::Status;
using common::ToWire;

std::unique_ptr<openvpn::OpenVpnCoordinator> MakeSystemCoordinator(AgentHost& host) {
  const std::wstring exe = openvpn::FindOpenVpnExe();
  openvpn::CoordinatorParts parts;
  parts.stager =
      std::make_unique<ServiceLinkOpenVpnStager>(&host.service_link(), host.session_id());
  parts.launcher = std::make_unique<openvpn::InteractiveServiceClient>();
  parts.management = std::make_unique<openvpn::OpenVpnManagementClient>();
  parts.process = std::make_unique<openvpn::OpenVpnProcessWin>(exe, host.session_id());
  parts.environment = std::make_unique<openvpn::OpenVpnEnvironmentWin>();
  return std::make_unique<openvpn::OpenVpnCoordinator>(openvpn::CoordinatorSettings{},
                                                       std::move(parts));
}

AgentOpenVpn::AgentOpenVpn(AgentHost& host, CoordinatorFactory factory)
    : host_(host), factory_(std::move(factory)) {}

void AgentOpenVpn::Install() {
  AgentHost::Extensions& ext = host_.extensions();
  ext.handlers[ToWire(MessageType::get_openvpn_capabilities)] = [this](std::span<uint8_t>) {
    return Capabilities();
  };
  ext.handlers[ToWire(MessageType::start_openvpn)] = [this](std::span<uint8_t> payload) {
    return Start(payload);
  };
  ext.handlers[ToWire(MessageType::stop_openvpn)] = [this](std::span<uint8_t>) { return Stop(); };
  ext.handlers[ToWire(MessageType::get_openvpn_status)] = [this](std::span<uint8_t>) {
    return Status();
  };
  ext.busy_conditions.push_back([this] { return active(); });
  ext.wait_cap_ms = [this]() -> std::optional<uint32_t> {
    if (!has_coordinator()) return std::nullopt;
    return kOpenVpnReportWaitCapMs;
  };
  ext.idle_timeout_actions.push_back([this] { ReportActivity(); });
  ext.loop_end_actions.push_back([this] { ReportActivity(); });
}

openvpn::OpenVpnCoordinator& AgentOpenVpn::Coordinator() {
  if (!coordinator_) coordinator_ = factory_(host_);
  return *coordinator_;
}

Bytes AgentOpenVpn::StatusReply(const common::OpenVpnStatusRecord& record) {
  common::PayloadWriter w;
  w.WriteU16(ToWire(Status::ok));
  w.WriteOpenVpnStatus(record);
  return w.Take();
}

Bytes AgentOpenVpn::Capabilities() {
  common::PayloadWriter w;
  w.WriteU16(ToWire(Status::ok));
  if (!w.WriteOpenVpnCapabilities(openvpn::ProbeOpenVpnCapabilities())) {
    return common::StatusOnlyPayload(Status::internal);
  }
  return w.Take();
}

Bytes AgentOpenVpn::Start(std::span<uint8_t> payload) {
  openvpn::StartRequest request;
  common::PayloadReader r(payload);
  r.ReadString(request.profile);
  r.ReadString(request.username);
  r.ReadString(request.password);
  if (!r.ok()) return common::StatusOnlyPayload(Status::bad_request);
  // The decoded copies are all the coordinator needs; the received bytes go now.
  common::SecureZero(payload.data(), payload.size());

  const openvpn::StartOutcome outcome = Coordinator().Start(std::move(request));
  common::OpenVpnStatusRecord record = Coordinator().Snapshot();
  // A refusal belongs to this reply only: a running attempt's record stays its own.
  if (!outcome.started) record.error_kind = openvpn::ToWire(outcome.refusal);
  ReportActivity();
  return StatusReply(record);
}

Bytes AgentOpenVpn::Stop() {
  Coordinator().Stop();
  return Status();
}

Bytes AgentOpenVpn::Status() {
  const common::OpenVpnStatusRecord record = Coordinator().Snapshot();
  ReportActivity();
  return StatusReply(record);
}

void AgentOpenVpn::ReportActivity() {
  if (!coordinator_) return;
  const common::OpenVpnStatusRecord record = coordinator_->Snapshot();
  active_.store(record.active ? 1 : 0);
  common::PayloadWriter w;
  w.WriteBool(record.active);
  w.WriteU32(record.attempt_id);
  w.WriteU32(coordinator_->ReportedProcessId());
  if (!host_.RequestService(ToWire(MessageType::report_openvpn_activity), w.bytes()).ok) {
    common::Log(LogLevel::Warn,
                L"report_openvpn_activity: service unreachable (verdict falls back to the "
                L"Service's own re-evaluation)");
  }
}

}  // namespace tovra::agent
