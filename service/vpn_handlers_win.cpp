#include "service/vpn_handlers_win.h"

#include <sddl.h>

#include <optional>
#include <string>
#include <utility>

#include "common/base/secret_buffer.h"
#include "common/base/secure_zero.h"
#include "common/ipc/messages.h"
#include "common/log/log.h"
#include "common/text/text.h"
#include "common/win/handles_win.h"
#include "service/activity/activity_registry.h"
#include "service/activity/activity_sources_win.h"
#include "service/openvpn/openvpn_staging_win.h"
#include "service/wireguard/wireguard_tunnel_win.h"

namespace tovra::service {

using common::Bytes;
using common::CallerIdentity;
using common::Log;
using common::LogLevel;
using common::MessageType;
using common::Status;

namespace {

Bytes RecordReply(const common::WireGuardStatusRecord& record) {
  common::PayloadWriter writer;
  writer.WriteU16(static_cast<uint16_t>(Status::ok));
  writer.WriteWireGuardStatus(record);
  return writer.Take();
}

}  // namespace

std::shared_ptr<WireGuardTunnelManager> MakeSystemWireGuard() {
  auto tunnel = std::make_shared<WinWireGuardTunnel>(ReadServiceDirectory());
  // The manager shares the ownership of everything it is built over.
  return std::shared_ptr<WireGuardTunnelManager>(tunnel, &tunnel->manager());
}

namespace {

// The registry with the sources it reads, owned together.
struct SystemActivity {
  SystemActivity(WinActivitySources::WireGuardQuery wireguard,
                 WinActivitySources::StagedCount staged)
      : sources(std::move(wireguard), std::move(staged)) {}
  WinActivitySources sources;
  ActivityRegistry registry{sources};
};

}  // namespace

std::shared_ptr<ActivityRegistry> MakeSystemActivity(ServiceState& state) {
  // The registry lives inside the state, so the state outlives these callbacks.
  auto wireguard = [&state]() -> std::optional<common::WireGuardStatusRecord> {
    if (!state.wireguard) return std::nullopt;
    return state.wireguard->QueryStatus();
  };
  auto staged = []() -> StagedProfiles {
    const ConfigDirResolution dir = ResolveConfigDir();
    if (dir.status != 0) return {};
    const StagedCount count = CountStagedProfiles(dir.staging_dir);
    return {count.count, count.error};
  };
  auto holder = std::make_shared<SystemActivity>(std::move(wireguard), std::move(staged));
  return std::shared_ptr<ActivityRegistry>(holder, &holder->registry);
}

void AddActivityExtensions(ServiceExtensions& extensions, ActivityFactory factory) {
  extensions.early_startup.push_back(
      [factory = std::move(factory)](ServiceState& state) { state.activity = factory(state); });
}

void PublishActivity(ServiceState& state) {
  if (state.activity) state.activity->PublishActivity();
}

void RecordAgentReport(ServiceState& state, bool openvpn_active, uint32_t status_detail,
                       uint32_t openvpn_pid) {
  if (state.activity) state.activity->RecordAgentReport(openvpn_active, status_detail, openvpn_pid);
}

Bytes HandleStartWireGuard(ServiceState& state, const CallerIdentity& /*caller*/,
                           std::span<uint8_t> payload) {
  common::SecretBuffer config;
  common::PayloadReader reader(payload);
  const bool readable = reader.ReadString(config);
  // The received bytes are no longer needed once decoded; the client loop wipes
  // them again after the reply.
  common::SecureZero(payload.data(), payload.size());
  if (!readable) return common::StatusOnlyPayload(Status::bad_request);
  if (!state.wireguard) return common::StatusOnlyPayload(Status::internal);
  const WireGuardResult result = state.wireguard->Start(config.view());
  config.clear();
  PublishActivity(state);
  return RecordReply(result.record);
}

Bytes HandleStopWireGuard(ServiceState& state, const CallerIdentity& /*caller*/,
                          std::span<uint8_t> /*payload*/) {
  if (!state.wireguard) return common::StatusOnlyPayload(Status::internal);
  const WireGuardResult result = state.wireguard->Stop();
  PublishActivity(state);
  return RecordReply(result.record);
}

Bytes HandleWireGuardStatus(ServiceState& state, const CallerIdentity& /*caller*/,
                            std::span<uint8_t> /*payload*/) {
  if (!state.wireguard) return common::StatusOnlyPayload(Status::internal);
  return RecordReply(state.wireguard->QueryStatus());
}

namespace {

Bytes StageReply(const std::wstring& staged_path, uint16_t stage_result) {
  common::PayloadWriter writer;
  writer.WriteU16(static_cast<uint16_t>(Status::ok));
  // A path longer than a wire string cannot be staged by this Service.
  if (!writer.WriteString(common::WideToUtf8(staged_path)))
    return common::StatusOnlyPayload(Status::internal);
  writer.WriteU16(stage_result);
  return writer.Take();
}

}  // namespace

Bytes HandleStageOpenVpnConfig(ServiceState& state, const CallerIdentity& caller,
                               std::span<uint8_t> payload) {
  uint32_t stage_key = 0;
  common::SecretBuffer profile;
  common::PayloadReader reader(payload);
  const bool readable = reader.ReadU32(stage_key) && reader.ReadString(profile);
  common::SecureZero(payload.data(), payload.size());
  if (!readable) return common::StatusOnlyPayload(Status::bad_request);
  if (caller.is_local_system || caller.sid.empty()) {
    Log(LogLevel::Warn, L"stage_openvpn_config rejected: caller is not an interactive user");
    return common::StatusOnlyPayload(Status::not_permitted);
  }
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(caller.sid.c_str(), &sid)) {
    return common::StatusOnlyPayload(Status::internal);
  }
  const common::UniqueLocal sid_owner(sid);
  const ConfigDirResolution dir = ResolveConfigDir();
  Bytes reply;
  if (dir.status != 0) {
    Log(LogLevel::Warn,
        L"stage_openvpn_config: config_dir untrusted status=" + common::FormatDecimal(dir.status));
    reply = StageReply(L"", 1);
  } else {
    (void)PrepareStagingDir(dir.staging_dir);
    const StageOutcome outcome = StageProfile(dir.staging_dir, stage_key, profile.view(), sid);
    if (outcome.result != 0) {
      Log(LogLevel::Warn,
          L"stage_openvpn_config failed status=" + common::FormatDecimal(outcome.result));
    } else {
      Log(LogLevel::Info, L"stage_openvpn_config: staged for sid=" + caller.sid);
    }
    reply = StageReply(outcome.result == 0 ? outcome.path : std::wstring(), outcome.result);
  }
  profile.clear();
  PublishActivity(state);
  return reply;
}

Bytes HandleUnstageOpenVpnConfig(ServiceState& state, const CallerIdentity&,
                                 std::span<uint8_t> payload) {
  std::string staged_path;
  common::PayloadReader reader(payload);
  if (!reader.ReadString(staged_path)) return common::StatusOnlyPayload(Status::bad_request);
  const ConfigDirResolution dir = ResolveConfigDir();
  const bool removed =
      dir.status == 0 && UnstageProfile(dir.staging_dir, common::Utf8ToWide(staged_path));
  PublishActivity(state);
  common::PayloadWriter writer;
  writer.WriteU16(static_cast<uint16_t>(Status::ok));
  writer.WriteBool(removed);
  return writer.Take();
}

Bytes HandleReportOpenVpnActivity(ServiceState& state, const CallerIdentity&,
                                  std::span<uint8_t> payload) {
  bool active = false;
  uint32_t detail = 0, pid = 0;
  common::PayloadReader reader(payload);
  reader.ReadBool(active);
  reader.ReadU32(detail);
  reader.ReadU32(pid);
  if (!reader.ok()) return common::StatusOnlyPayload(Status::bad_request);
  RecordAgentReport(state, active, detail, pid);
  PublishActivity(state);
  return common::StatusOnlyPayload(Status::ok);
}

void StageOpenVpnAtStartup(ServiceState& state) {
  const ConfigDirResolution dir = ResolveConfigDir();
  if (dir.status != 0) {
    Log(LogLevel::Info,
        L"openvpn staging unavailable: config_dir status=" + common::FormatDecimal(dir.status));
  } else {
    (void)PrepareStagingDir(dir.staging_dir);
    const uint32_t swept = SweepStaleProfiles(dir.staging_dir);
    if (swept > 0)
      Log(LogLevel::Info, L"openvpn staging: swept " + common::FormatDecimal(swept) +
                              L" stale config(s) on startup");
  }
  PublishActivity(state);
}

void AddWireGuardExtensions(ServiceExtensions& extensions, WireGuardFactory factory) {
  extensions.early_startup.push_back(
      [factory = std::move(factory)](ServiceState& state) { state.wireguard = factory(); });
  extensions.loop_start.push_back([](ServiceState& state) {
    if (state.wireguard) state.wireguard->Reconcile();
  });
  extensions.stop_request.push_back([](ServiceState& state) {
    if (state.wireguard) (void)state.wireguard->Stop();
  });
  extensions.handlers[static_cast<uint16_t>(MessageType::start_wireguard)] = HandleStartWireGuard;
  extensions.handlers[static_cast<uint16_t>(MessageType::stop_wireguard)] = HandleStopWireGuard;
  extensions.handlers[static_cast<uint16_t>(MessageType::wireguard_status)] = HandleWireGuardStatus;
}

void AddOpenVpnStagingExtensions(ServiceExtensions& extensions) {
  extensions.late_startup.push_back(StageOpenVpnAtStartup);
  extensions.idle_pass.push_back(PublishActivity);
  extensions.loop_end.push_back(PublishActivity);
  extensions.handlers[static_cast<uint16_t>(MessageType::stage_openvpn_config)] =
      HandleStageOpenVpnConfig;
  extensions.handlers[static_cast<uint16_t>(MessageType::unstage_openvpn_config)] =
      HandleUnstageOpenVpnConfig;
  extensions.handlers[static_cast<uint16_t>(MessageType::report_openvpn_activity)] =
      HandleReportOpenVpnActivity;
}

}  // namespace tovra::service
