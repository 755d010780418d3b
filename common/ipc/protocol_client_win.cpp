#include "common/ipc/protocol_client_win.h"

#include "common/ipc/pipe_owner_win.h"
#include "common/log/log.h"

namespace tovra::common {

ProtocolClient::ProtocolClient(ProtocolClientConfig config) : config_(std::move(config)) {}

ProtocolClient::~ProtocolClient() {
  std::lock_guard lock(mutex_);
  DropLocked();
}

void ProtocolClient::DropLocked() {
  connected_ = false;
  pipe_.reset();
}

ExchangeResult ProtocolClient::ExchangeLocked(uint16_t type, std::span<const uint8_t> payload) {
  if (!pipe_) {
    ExchangeResult none;
    none.failure = ExchangeFailure::write_failed;  // nothing was sent
    return none;
  }
  const uint32_t id = next_request_id_++;
  ExchangeResult result =
      ExchangeRequestDetailed(pipe_.get(), type, id, payload, config_.io_timeout_ms);
  // Whatever went wrong, the stream is at an unknown offset now.
  if (!result.reply) DropLocked();
  return result;
}

bool ProtocolClient::HelloLocked() {
  const uint32_t id = next_request_id_;
  const ExchangeResult exchanged = ExchangeLocked(ToWire(MessageType::hello), {});
  const HelloOutcome outcome = EvaluateHelloReply(exchanged.reply, id, config_.hello);
  if (outcome.status != ToWire(Status::ok)) {
    if (outcome.status == ToWire(Status::protocol_mismatch) && config_.protocol_mismatch_line) {
      Log(LogLevel::Warn, config_.protocol_mismatch_line(outcome.protocol));
    }
    last_status_ = outcome.status;
    return false;
  }
  const uint32_t previous = generation_;
  generation_ = outcome.generation;
  if (previous != 0 && previous != generation_ && config_.generation_changed_line) {
    Log(LogLevel::Info, config_.generation_changed_line(previous, generation_));
  }
  return true;
}

bool ProtocolClient::EnsureConnectedLocked() {
  if (connected_ && pipe_) return true;
  DropLocked();
  OpenedPipe opened = config_.open ? config_.open() : OpenedPipe{{}, ToWire(Status::internal)};
  if (!opened.pipe) {
    last_status_ = opened.error != 0 ? opened.error : ToWire(Status::internal);
    return false;
  }
  // Anyone can create a pipe of this name first; never hand a request (which may
  // carry a key, a profile or a password) to a server that is not the system's or
  // our own.
  if (const ServerPipeVerdict owner = IsTrustedServerPipe(opened.pipe.get()); !owner.trusted) {
    Log(LogLevel::Warn, config_.untrusted_owner_line);
    if (owner.error) Log(LogLevel::Warn, L"pipe owner: " + DescribeWin32Error(owner.error));
    last_status_ = ToWire(Status::internal);
    return false;
  }
  pipe_ = std::move(opened.pipe);
  if (!HelloLocked()) {
    DropLocked();
    return false;
  }
  connected_ = true;
  last_status_ = ToWire(Status::ok);
  return true;
}

bool ProtocolClient::EnsureConnected() {
  std::lock_guard lock(mutex_);
  return EnsureConnectedLocked();
}

ProtocolReply ProtocolClient::Request(uint16_t type, std::span<const uint8_t> payload) {
  ProtocolReply result;
  if (const std::optional<uint16_t> refused = RejectBeforeSending(payload)) {
    result.status = *refused;
    return result;
  }
  for (int pass = 0; pass < 2; ++pass) {
    std::lock_guard lock(mutex_);
    if (!EnsureConnectedLocked()) {
      result.status = last_status_;
      return result;
    }
    const ExchangeResult exchanged = ExchangeLocked(type, payload);
    if (!exchanged.reply) {
      result.status = ToWire(Status::unavailable);
      if (!MayResend(exchanged.failure)) return result;
      continue;
    }
    SplitReply split = SplitReplyStatus(exchanged.reply->payload);
    result.ok = split.ok;
    result.status = split.status;
    result.body = std::move(split.body);
    return result;
  }
  return result;
}

ProtocolProbe ProtocolClient::Probe(uint16_t type) {
  ProtocolProbe probe;
  std::lock_guard lock(mutex_);
  probe.connected = EnsureConnectedLocked();
  probe.generation = generation_;
  probe.last_status = last_status_;
  if (!probe.connected) return probe;
  ExchangeResult exchanged = ExchangeLocked(type, {});
  if (!exchanged.reply) {
    probe.connected = false;
    return probe;
  }
  probe.reply = std::move(exchanged.reply);
  return probe;
}

bool ProtocolClient::connected() {
  std::lock_guard lock(mutex_);
  return connected_ && pipe_;
}

uint16_t ProtocolClient::last_status() {
  std::lock_guard lock(mutex_);
  return last_status_;
}

uint32_t ProtocolClient::generation() {
  std::lock_guard lock(mutex_);
  return generation_;
}

}  // namespace tovra::common
