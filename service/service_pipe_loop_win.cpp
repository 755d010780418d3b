#include "service/service_pipe_loop_win.h"

#include <string>
#include <vector>

#include "common/security/caller_identity_win.h"
#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "common/ipc/pipe_security_win.h"
#include "common/ipc/pipe_server_win.h"
#include "common/base/secure_zero.h"
#include "service/service_rules.h"

namespace tovra::service {

using common::Bytes;
using common::CallerIdentity;
using common::Log;
using common::LogLevel;
using common::MessageType;
using common::Status;

namespace {

void PauseBeforeRetry(const ServiceState& state) {
  ::WaitForSingleObject(state.stop_event.get(), kRetryPauseMs);
}

bool SendStatus(const ServiceState& state, HANDLE pipe, uint16_t type, uint32_t request_id,
                Status status) {
  const Bytes body = common::StatusOnlyPayload(status);
  return SendReply(state, pipe, type, request_id, body);
}

// Admission of the client behind `pipe`; logs the verdict.
bool AdmitCaller(const ServiceState& state, HANDLE pipe, CallerIdentity& identity) {
  identity = common::GetCallerIdentity(pipe);
  common::ExpectedUser expected;
  if (identity.valid) expected = common::GetExpectedUser(state.console_mode);
  const common::ServiceCallerVerdict verdict = common::DecideServiceCaller(identity, expected);
  if (verdict != common::ServiceCallerVerdict::accepted) {
    Log(LogLevel::Warn, common::ServiceCallerLogText(verdict, identity));
    if (auto cause = common::ServiceCallerCauseText(verdict, identity, expected)) {
      Log(LogLevel::Warn, *cause);
    }
    return false;
  }
  if (!common::IsTrustedCallerImage(identity.image_path, common::kAgentExeName, false)) {
    Log(LogLevel::Warn, L"caller image outside trusted location (dev build: allowed)");
  }
  Log(LogLevel::Info, common::ServiceCallerLogText(verdict, identity));
  return true;
}

// One pass of the loop: name, security, instance, wait, serve.
void RunPass(ServiceState& state) {
  const common::ExpectedUser expected = common::GetExpectedUser(state.console_mode);
  const std::optional<std::wstring> name =
      common::FormatPipeName(common::kServicePipeRole, expected.session_id);
  if (!name) {
    PauseBeforeRetry(state);
    return;
  }
  std::vector<std::wstring> sids = {common::LocalSystemSidText(), common::AdministratorsSidText()};
  if (expected.sid) sids.push_back(*expected.sid);
  common::PipeSecurityResult built = common::BuildPipeSecurity(sids);
  if (!built.security) {
    Log(LogLevel::Error, L"failed to build pipe security descriptor");
    if (built.error) {
      Log(LogLevel::Warn, L"pipe security: " + common::DescribeWin32Error(built.error));
    }
    PauseBeforeRetry(state);
    return;
  }
  common::CreatePipeResult created =
      common::CreateServerPipe(*name, *built.security, true, kServicePipeInstances);
  if (!created.pipe) {
    common::LogWin32(LogLevel::Error, L"CreateNamedPipe failed", created.error.code);
    PauseBeforeRetry(state);
    return;
  }
  switch (common::AcceptClient(created.pipe.get(), state.stop_event.get(), kAcceptWaitMs)) {
    case common::AcceptResult::connected:
      ServeClient(state, created.pipe.get());
      common::FinishClient(created.pipe.get(), kClientIoTimeoutMs);
      break;
    case common::AcceptResult::timed_out:
      created.pipe.reset();
      RunActions(state, state.extensions.idle_pass);
      break;
    case common::AcceptResult::stopped:
    case common::AcceptResult::failed:
      break;
  }
}

}  // namespace

bool SendReply(const ServiceState& state, HANDLE pipe, uint16_t type, uint32_t request_id,
               std::span<const uint8_t> body) {
  return common::WriteFrame(pipe, type, request_id, state.generation_number, body,
                            kClientIoTimeoutMs);
}

bool DispatchRequest(ServiceState& state, HANDLE pipe, const CallerIdentity& identity,
                     uint16_t type, uint32_t request_id, std::span<uint8_t> payload) {
  switch (static_cast<MessageType>(type)) {
    case MessageType::hello:
      return SendReply(state, pipe, type, request_id, BuildHelloReply(state.generation_id));
    case MessageType::ping:
      return SendStatus(state, pipe, type, request_id, Status::ok);
    case MessageType::get_service_health:
      return SendReply(state, pipe, type, request_id,
                       BuildHealthReply(state.generation_id,
                                        UptimeSeconds(state.start_tick, ::GetTickCount64())));
    default:
      break;
  }
  const auto handler = state.extensions.handlers.find(type);
  if (handler == state.extensions.handlers.end() || !handler->second) {
    return SendStatus(state, pipe, type, request_id, Status::unsupported);
  }
  const Bytes body = handler->second(state, identity, payload);
  return SendReply(state, pipe, type, request_id, body);
}

namespace {

enum class Next { read_more, end_session };

// One request of an admitted caller. Its payload is wiped on every way out when
// the type is secret-bearing.
Next ServeRequest(ServiceState& state, HANDLE pipe, const CallerIdentity& identity,
                  common::Frame& frame, bool first) {
  const common::RequestPayloadWipe wipe(frame.header.type, frame.payload);
  const common::FrameHeader& header = frame.header;
  if (state.StopPending()) {
    Log(LogLevel::Info, L"stop requested: client session ended");
    return Next::end_session;
  }
  // The first request was admitted just now; later ones are re-checked.
  if (!first && common::ServiceCallerNeedsRecheck(identity)) {
    const common::ExpectedUser current = common::GetExpectedUser(state.console_mode);
    if (!common::ServiceSessionMayContinue(identity, current)) {
      Log(LogLevel::Warn, common::ServiceSessionEndedLogText(identity));
      if (auto cause = common::ExpectedUserCauseText(current)) Log(LogLevel::Warn, *cause);
      return Next::end_session;
    }
  }
  switch (ClassifyRequestFrame(header)) {
    case FrameDisposition::protocol_mismatch:
      SendStatus(state, pipe, header.type, header.request_id, Status::protocol_mismatch);
      Log(LogLevel::Warn, L"client protocol mismatch -> fail closed");
      return Next::end_session;
    case FrameDisposition::unsupported:
      return SendStatus(state, pipe, header.type, header.request_id, Status::unsupported)
                 ? Next::read_more
                 : Next::end_session;
    case FrameDisposition::dispatch:
      return DispatchRequest(state, pipe, identity, header.type, header.request_id, frame.payload)
                 ? Next::read_more
                 : Next::end_session;
  }
  return Next::end_session;
}

}  // namespace

void ServeClient(ServiceState& state, HANDLE pipe) {
  common::StoppableFrameRead read =
      common::ReadFrameUnlessStopped(pipe, kClientIoTimeoutMs, state.stop_event.get());
  if (!read.frame) return;
  CallerIdentity identity;
  if (!AdmitCaller(state, pipe, identity)) {
    common::SecureZero(read.frame->payload);
    return;
  }
  bool first = true;
  while (read.frame) {
    if (ServeRequest(state, pipe, identity, *read.frame, first) == Next::end_session) return;
    first = false;
    read = common::ReadFrameUnlessStopped(pipe, kClientIoTimeoutMs, state.stop_event.get());
  }
  if (read.stopped) Log(LogLevel::Info, L"stop requested: client session ended");
}

int RunPipeServer(ServiceState& state) {
  common::LogInit(L"service");
  Log(LogLevel::Info, ServiceStartingText(state.generation_id, state.generation_number));
  RunActions(state, state.extensions.loop_start);
  while (!state.StopRequested()) RunPass(state);
  if (state.stop_actions_due.exchange(false)) RunActions(state, state.extensions.stop_request);
  RunActions(state, state.extensions.loop_end);
  Log(LogLevel::Info, L"service stopped cleanly");
  return 0;
}

}  // namespace tovra::service
