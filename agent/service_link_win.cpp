#include "agent/service_link_win.h"

#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_owner_win.h"
#include "common/base/secure_zero.h"
#include "common/text/text.h"

namespace tovra::agent {

using common::Bytes;
using common::Status;
using common::ToWire;

ServiceLink::ServiceLink(Connector connector) : connector_(std::move(connector)) {}

void ServiceLink::DropLocked() {
  connected_ = false;
  pipe_.reset();
}

bool ServiceLink::HelloLocked() {
  const uint32_t id = request_counter_++;
  const std::optional<common::Frame> reply = common::ExchangeRequest(
      pipe_.get(), ToWire(common::MessageType::hello), id, {}, kAgentIoTimeoutMs);
  const HelloOutcome outcome = EvaluateHelloReply(reply, id);
  if (outcome.status != ToWire(Status::ok)) {
    if (outcome.status == ToWire(Status::protocol_mismatch)) {
      common::Log(common::LogLevel::Warn, ProtocolMismatchLine(outcome.protocol));
    }
    last_error_ = outcome.status;
    return false;
  }
  const uint32_t previous = service_generation_;
  service_generation_ = outcome.generation;
  if (previous != 0 && previous != outcome.generation) {
    common::Log(common::LogLevel::Info, GenerationChangedLine(previous, outcome.generation));
  }
  return true;
}

bool ServiceLink::EnsureConnected() {
  std::lock_guard lock(mutex_);
  if (connected_ && pipe_) return true;
  DropLocked();
  PipeConnectResult opened = connector_ ? connector_() : PipeConnectResult{{}, 5};
  if (!opened.pipe) {
    last_error_ = opened.error != 0 ? opened.error : ToWire(Status::internal);
    return false;
  }
  // Anyone can create a pipe of this name first; never hand a request to a server
  // that is not the system's or our own.
  if (!common::IsTrustedServerPipe(opened.pipe.get())) {
    common::Log(common::LogLevel::Warn, L"service pipe owner not trusted -> fail closed");
    last_error_ = ToWire(Status::internal);
    return false;
  }
  pipe_ = std::move(opened.pipe);
  if (!HelloLocked()) {
    DropLocked();
    return false;
  }
  connected_ = true;
  last_error_ = ToWire(Status::ok);
  return true;
}

ServiceLink::Result ServiceLink::Request(uint16_t type, std::span<const uint8_t> payload) {
  Result result;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!EnsureConnected()) {
      std::lock_guard lock(mutex_);
      result.status = last_error_;
      return result;
    }
    std::lock_guard lock(mutex_);
    if (!pipe_) {  // dropped by another thread between the two locks
      result.status = ToWire(Status::unavailable);
      continue;
    }
    const uint32_t id = request_counter_++;
    const std::optional<common::Frame> reply =
        common::ExchangeRequest(pipe_.get(), type, id, payload, kAgentIoTimeoutMs);
    if (!reply) {
      DropLocked();
      result.status = ToWire(Status::unavailable);
      continue;
    }
    common::PayloadReader r(reply->payload);
    uint16_t status = 0;
    if (!r.ReadU16(status)) {
      result.status = ToWire(Status::internal);
      return result;
    }
    if (status != 0) {
      result.status = status;
      return result;
    }
    result.ok = true;
    result.status = 0;
    result.body.assign(reply->payload.begin() + 2, reply->payload.end());
    return result;
  }
  return result;
}

bool ServiceLink::connected() {
  std::lock_guard lock(mutex_);
  return connected_ && pipe_;
}

uint16_t ServiceLink::last_error() {
  std::lock_guard lock(mutex_);
  return last_error_;
}

uint32_t ServiceLink::service_generation() {
  std::lock_guard lock(mutex_);
  return service_generation_;
}

std::wstring ServiceLinkOpenVpnStager::Stage(uint32_t stage_key, const std::string& profile,
                                             uint16_t& result) {
  result = ToWire(StageResult::failed);
  if (link_ == nullptr || profile.empty()) return {};
  common::PayloadWriter w;
  w.WriteU32(stage_key);
  if (!w.WriteString(profile)) return {};
  ServiceLink::Result reply = link_->Request(ToWire(common::MessageType::stage_openvpn_config),
                                             w.bytes());
  common::SecureZero(w.mutable_bytes());  // the profile travels in this buffer
  if (!reply.ok) {
    result = ToWire(MapStageRequestFailure(reply.status));
    return {};
  }
  common::PayloadReader r(reply.body);
  std::string staged_path;
  uint16_t stage_result = 0;
  if (!r.ReadString(staged_path) || !r.ReadU16(stage_result)) return {};
  if (!staged_path.empty()) {
    result = ToWire(StageResult::staged);
    return common::Utf8ToWide(staged_path);
  }
  result = ToWire(MapStageResultCode(stage_result));
  return {};
}

void ServiceLinkOpenVpnStager::Unstage(const std::wstring& staged_path) {
  if (link_ == nullptr || staged_path.empty()) return;
  common::PayloadWriter w;
  if (!w.WriteString(common::WideToUtf8(staged_path))) return;
  link_->Request(ToWire(common::MessageType::unstage_openvpn_config), w.bytes());
}

}  // namespace tovra::agent
