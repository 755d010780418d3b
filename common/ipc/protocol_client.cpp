#include "common/ipc/protocol_client.h"

#include <string>

namespace tovra::common {

HelloOutcome EvaluateHelloReply(const std::optional<Frame>& reply, uint32_t sent_request_id,
                                const HelloRules& rules) {
  HelloOutcome out;
  if (!reply || reply->header.request_id != sent_request_id) {
    out.status = ToWire(Status::unavailable);
    return out;
  }
  PayloadReader r(reply->payload);
  uint16_t status = 0;
  if (!r.ReadU16(status)) {
    out.status = ToWire(Status::internal);
    return out;
  }
  if (status != 0) {
    out.status = rules.passes_server_status ? status : ToWire(Status::internal);
    return out;
  }
  HelloInfo hello;
  std::string generation_id;
  uint32_t session_id = 0;
  if (!r.ReadHelloInfo(hello) || !r.ReadString(generation_id) ||
      (rules.expects_session_id && !r.ReadU32(session_id))) {
    out.status = ToWire(Status::internal);
    return out;
  }
  out.protocol = hello.protocol;
  if (hello.protocol != kProtocolVersion) {
    out.status = ToWire(Status::protocol_mismatch);
    return out;
  }
  out.status = ToWire(Status::ok);
  out.generation = reply->header.generation;
  return out;
}

SplitReply SplitReplyStatus(std::span<const uint8_t> payload) {
  SplitReply out;
  PayloadReader r(payload);
  uint16_t status = 0;
  if (!r.ReadU16(status)) return out;
  out.status = status;
  if (status == 0) {
    out.ok = true;
    out.body.assign(payload.begin() + 2, payload.end());
  }
  return out;
}

bool MayResend(ExchangeFailure failure) {
  switch (failure) {
    case ExchangeFailure::write_failed:
    case ExchangeFailure::broken:
    case ExchangeFailure::wrong_reply:
      return true;
    case ExchangeFailure::none:
    case ExchangeFailure::timed_out:
      return false;
  }
  return false;
}

std::optional<uint16_t> RejectBeforeSending(std::span<const uint8_t> payload) {
  if (payload.size() > kMaxPayload) return ToWire(Status::bad_request);
  return std::nullopt;
}

ConnectAction ConnectLoop::Next(OpenOutcome outcome) {
  switch (outcome) {
    case OpenOutcome::opened:
      return ConnectAction::done;
    case OpenOutcome::busy:
      after_busy_ = true;
      reappear_pauses_ = 0;
      if (attempts_left_ > 0) --attempts_left_;
      return attempts_left_ > 0 ? ConnectAction::wait_busy : ConnectAction::fail_busy;
    case OpenOutcome::absent:
      // A server that serves one client at a time closes its instance when that
      // client leaves and creates the next one a moment later; a client waiting
      // for the busy pipe sees the name vanish in between.
      if (after_busy_ && reappear_pauses_ < kReappearPauses) {
        ++reappear_pauses_;
        return ConnectAction::pause_reappear;
      }
      after_busy_ = false;
      return ConnectAction::ask_absent_hook;
    case OpenOutcome::other_error:
      return ConnectAction::fail_internal;
  }
  return ConnectAction::fail_internal;
}

ConnectAction ConnectLoop::AfterAbsentHook(bool retry) {
  if (!retry) return ConnectAction::fail_unavailable;
  if (attempts_left_ > 0) --attempts_left_;
  return attempts_left_ > 0 ? ConnectAction::retry : ConnectAction::fail_busy;
}

}  // namespace tovra::common
