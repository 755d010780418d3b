#include "agent/agent_host_win.h"
#include "agent/openvpn_handlers_win.h"

#include <atomic>

#include "agent/agent_rules.h"
#include "common/security/caller_identity.h"
#include "common/security/caller_identity_win.h"
#include "common/ipc/generation.h"
#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "common/ipc/pipe_security_win.h"
#include "common/ipc/pipe_server_win.h"
#include "common/base/secure_zero.h"
#include "common/text/text.h"

namespace tovra::agent {

using common::Bytes;
using common::Log;
using common::LogLevel;
using common::MessageType;
using common::Status;
using common::ToWire;

namespace {

std::atomic<AgentHost*> g_host{nullptr};

// Counts a request to the Service for the idle decision while it is in flight.
class InFlight {
 public:
  explicit InFlight(std::atomic<int32_t>& counter) : counter_(counter) { ++counter_; }
  ~InFlight() { --counter_; }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::atomic<int32_t>& counter_;
};

ServiceLink::Connector SessionServiceConnector(uint32_t session_id) {
  return [session_id] {
    common::ConnectOptions options;
    options.attempts = 20;
    options.busy_wait_ms = 500;
    common::ConnectResult c =
        common::ConnectToServer(common::kServicePipeRole, session_id, options);
    PipeConnectResult r;
    r.pipe = std::move(c.pipe);
    r.error = ToWire(c.error);
    return r;
  };
}

uint32_t ReadIdleTimeoutSeconds() {
  wchar_t buffer[kIdleVariableBuffer] = {};
  const DWORD n = ::GetEnvironmentVariableW(kIdleVariable, buffer, kIdleVariableBuffer);
  return ParseIdleTimeoutSeconds(n, std::wstring_view(buffer, n < kIdleVariableBuffer ? n : 0));
}

}  // namespace

AgentHost::AgentHost(ServiceLink::Connector connector)
    : generation_(common::DrawGenerationValue()),
      generation_id_(common::MakeGenerationId(generation_)),
      session_id_(common::GetProcessSessionId()),
      stop_event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      link_(connector ? std::move(connector) : SessionServiceConnector(session_id_)) {}

void AgentHost::RequestStop() {
  stop_.exchange(true);
  if (stop_event_) ::SetEvent(stop_event_.get());
}

bool AgentHost::ExtensionBusy() {
  for (const auto& busy : extensions_.busy_conditions) {
    if (busy && busy()) return true;
  }
  return false;
}

uint32_t AgentHost::AcceptWaitMs(ULONGLONG last_activity) {
  IdleInputs in;
  in.active_clients = active_clients_.load();
  in.in_flight_service_requests = in_flight_service_requests_.load();
  in.extension_busy = ExtensionBusy();
  in.idle_timeout_ms = uint64_t{ReadIdleTimeoutSeconds()} * 1000;
  in.elapsed_since_activity_ms = ::GetTickCount64() - last_activity;
  if (extensions_.wait_cap_ms) in.wait_cap_ms = extensions_.wait_cap_ms();
  return ComputeAcceptWaitMs(in);
}

int AgentHost::Run() {
  Log(LogLevel::Info, L"agent starting session=" + common::FormatDecimal(session_id_) +
                          L" generation=" + common::Utf8ToWide(generation_id_));
  const auto pipe_name = common::FormatPipeName(common::kAgentPipeRole, session_id_);
  if (!pipe_name) {
    Log(LogLevel::Error, L"invalid session id, cannot name pipe");
    return 2;
  }
  std::vector<std::wstring> allowed{common::AdministratorsSidText()};
  common::SidLookup own = common::GetProcessUserSid();
  if (own.sid) {
    allowed.push_back(*own.sid);
  } else {
    // The pipe then admits Administrators only, and every plugin is refused.
    Log(LogLevel::Warn, L"agent user SID unavailable: " + common::DescribeWin32Error(own.error));
  }
  common::PipeSecurityResult built = common::BuildPipeSecurity(allowed);
  if (!built.security) {
    Log(LogLevel::Error, L"failed to build agent pipe security descriptor");
    if (built.error) {
      Log(LogLevel::Warn, L"pipe security: " + common::DescribeWin32Error(built.error));
    }
    return 3;
  }
  common::PipeSecurity& security = *built.security;

  ULONGLONG last_activity = ::GetTickCount64();
  bool first_instance = true;
  while (!stop_) {
    common::CreatePipeResult created =
        common::CreateServerPipe(*pipe_name, security, first_instance, 1);
    if (!created.pipe) {
      if (created.error.code == ERROR_ACCESS_DENIED && first_instance) {
        Log(LogLevel::Warn, L"stale agent pipe, recreating");
        first_instance = false;
        continue;
      }
      common::LogWin32(LogLevel::Error, L"CreateNamedPipe failed", created.error.code);
      ::WaitForSingleObject(stop_event_.get(), 1000);
      continue;
    }
    first_instance = false;

    const common::AcceptResult accepted =
        common::AcceptClient(created.pipe.get(), stop_event_.get(), AcceptWaitMs(last_activity));
    if (accepted == common::AcceptResult::stopped) break;
    if (accepted == common::AcceptResult::timed_out) {
      created.pipe.reset();
      for (const auto& action : extensions_.idle_timeout_actions) {
        if (action) action();
      }
      if (ExtensionBusy()) continue;
      Log(LogLevel::Info, L"idle timeout with no clients / no VPN, exiting");
      break;
    }
    if (accepted == common::AcceptResult::connected) {
      ServeClient(created.pipe.get());
      last_activity = ::GetTickCount64();
      common::FinishClient(created.pipe.get(), kAgentIoTimeoutMs);
    }
  }
  for (const auto& action : extensions_.loop_end_actions) {
    if (action) action();
  }
  Log(LogLevel::Info, L"agent stopped");
  return 0;
}

void AgentHost::ServeClient(HANDLE pipe) {
  ++active_clients_;
  struct Leave {
    std::atomic<int32_t>& n;
    ~Leave() { --n; }
  } leave{active_clients_};

  // Every read also waits on the stop event: a plugin that keeps its link open and
  // probes every few seconds must not hold a stop of the Agent.
  common::StoppableFrameRead read =
      common::ReadFrameUnlessStopped(pipe, kAgentIoTimeoutMs, stop_event_.get());
  if (!read.frame) return;

  const common::CallerIdentity caller = common::GetCallerIdentity(pipe);
  const common::SidLookup own = common::GetProcessUserSid();
  if (!common::AgentAcceptsCaller(caller, own.sid, session_id_)) {
    Log(LogLevel::Warn, L"plugin caller_rejected (sid/session)");
    if (auto cause = common::AgentCallerCauseText(caller, own.sid, own.error)) {
      Log(LogLevel::Warn, *cause);
    }
    common::SecureZero(read.frame->payload);
    return;
  }
  Log(LogLevel::Info, L"plugin client connected pid=" + common::FormatDecimal(caller.pid));

  while (read.frame && ServeRequest(pipe, *read.frame)) {
    read = common::ReadFrameUnlessStopped(pipe, kAgentIoTimeoutMs, stop_event_.get());
  }
  Log(LogLevel::Info, L"plugin client disconnected");
}

bool AgentHost::ServeRequest(HANDLE pipe, common::Frame& request) {
  const common::RequestPayloadWipe wipe(request.header.type, request.payload);
  if (stop_) return false;  // a stop came in after the read: this request is not served
  switch (common::ClassifyRequestFrame(request.header)) {
    case common::FrameDisposition::protocol_mismatch:
      // The connection ends either way; the reply is a courtesy to the client.
      static_cast<void>(
          Reply(pipe, request.header, common::StatusOnlyPayload(Status::protocol_mismatch)));
      return false;
    case common::FrameDisposition::unsupported:
      return Reply(pipe, request.header, common::StatusOnlyPayload(Status::unsupported));
    case common::FrameDisposition::dispatch:
      return Dispatch(pipe, request);
  }
  return false;
}

bool AgentHost::Reply(HANDLE pipe, const common::FrameHeader& request, const Bytes& payload) {
  return common::WriteFrame(pipe, request.type, request.request_id, generation_, payload,
                            kAgentIoTimeoutMs);
}

ServiceLink::Result AgentHost::RequestService(uint16_t type, std::span<const uint8_t> payload) {
  InFlight in_flight(in_flight_service_requests_);
  return link_.Request(type, payload);
}

Bytes AgentHost::Relay(uint16_t type, std::span<const uint8_t> payload) {
  InFlight in_flight(in_flight_service_requests_);
  ServiceLink::Result r = link_.Request(type, payload);
  if (!r.ok) {
    const uint16_t status = r.status != 0 ? r.status : ToWire(Status::unavailable);
    return common::StatusOnlyPayload(static_cast<Status>(status));
  }
  Bytes reply = common::StatusOnlyPayload(Status::ok);
  reply.insert(reply.end(), r.body.begin(), r.body.end());
  return reply;
}

bool AgentHost::Dispatch(HANDLE pipe, common::Frame& request) {
  const uint16_t type = request.header.type;
  Bytes reply;
  switch (static_cast<MessageType>(type)) {
    case MessageType::hello:
      reply = BuildHelloReply(generation_id_, session_id_);
      break;
    case MessageType::ping:
      reply = common::StatusOnlyPayload(Status::ok);
      break;
    case MessageType::get_service_health: {
      InFlight in_flight(in_flight_service_requests_);
      ServiceLink::Result r = link_.Request(type, {});
      if (r.ok) {
        reply = common::StatusOnlyPayload(Status::ok);
        reply.insert(reply.end(), r.body.begin(), r.body.end());
      } else {
        reply = common::StatusOnlyPayload(
            static_cast<Status>(ServiceHealthFailureStatus(link_.last_error())));
      }
      break;
    }
    case MessageType::get_agent_health: {
      InFlight in_flight(in_flight_service_requests_);
      // A live exchange, not the link's flag: a link that was connected says
      // nothing about a Service that has since stopped, and a link the Service
      // dropped while idle reconnects in the ping's second pass.
      const bool connected = link_.Request(ToWire(MessageType::ping), {}).ok;
      reply = BuildAgentHealthReply(generation_id_, session_id_, connected);
      break;
    }
    case MessageType::start_wireguard:
    case MessageType::stop_wireguard:
    case MessageType::wireguard_status:
      reply = Relay(type, request.payload);
      break;
    default: {
      auto handler = extensions_.handlers.find(type);
      if (type >= ToWire(MessageType::get_openvpn_capabilities) &&
          type <= ToWire(MessageType::get_openvpn_status) &&
          handler != extensions_.handlers.end() && handler->second) {
        reply = handler->second(request.payload);
      } else {
        reply = common::StatusOnlyPayload(Status::unsupported);
      }
      break;
    }
  }
  return Reply(pipe, request.header, reply);
}

BOOL WINAPI AgentConsoleControlHandler(DWORD ctrl_type) {
  if (!IsStopConsoleEvent(ctrl_type)) return FALSE;
  if (AgentHost* host = g_host.load()) host->RequestStop();
  return TRUE;
}

int AgentMain() {
  common::LogInit(L"agent");
  AgentHost host;
  g_host.store(&host);

  common::UniqueHandle mutex;
  bool owner = false;
  if (auto name = common::FormatAgentMutexName(host.session_id())) {
    mutex.reset(::CreateMutexW(nullptr, FALSE, name->c_str()));
    const DWORD error = ::GetLastError();
    owner = mutex && error != ERROR_ALREADY_EXISTS;
  }
  if (!owner) {
    mutex.reset();
    Log(LogLevel::Info, L"another agent already owns this session, exiting 0");
    g_host.store(nullptr);
    return 0;
  }
  ::SetConsoleCtrlHandler(AgentConsoleControlHandler, TRUE);
  AgentOpenVpn openvpn(host);
  openvpn.Install();
  const int code = host.Run();
  g_host.store(nullptr);
  return code;  // the mutex stays held until the process ends
}

}  // namespace tovra::agent
