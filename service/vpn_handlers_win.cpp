#include "service/vpn_handlers_win.h"

#include <utility>

#include "common/base/secret_buffer.h"
#include "common/base/secure_zero.h"
#include "common/ipc/messages.h"
#include "common/log/log.h"
#include "service/wireguard/wireguard_tunnel_win.h"

namespace tovra::service {

using common::Bytes;
using common::CallerIdentity;
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

void PublishActivity(ServiceState& /*state*/) {
  // The activity record is not published by this build yet.
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

}  // namespace tovra::service
