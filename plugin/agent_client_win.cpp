#include "plugin/agent_client_win.h"

#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "common/ipc/pipe_owner_win.h"
#include "plugin/plugin_rules.h"

namespace tovra_windows_vpn {

using tovra::common::Log;
using tovra::common::LogLevel;
using tovra::common::Status;
using tovra::common::ToWire;

namespace {
constexpr uint32_t kConnectAttempts = 30;
constexpr uint32_t kBusyWaitMs = 400;
constexpr uint32_t kAfterStartSleepMs = 200;
constexpr DWORD kAgentCreationFlags =
    DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW | CREATE_BREAKAWAY_FROM_JOB;
}  // namespace

AgentClient::AgentClient(std::wstring agent_exe_path, uint32_t session_id,
                         std::optional<std::wstring> pipe_name)
    : agent_exe_path_(std::move(agent_exe_path)),
      session_id_(session_id),
      pipe_name_override_(std::move(pipe_name)) {
  tovra::common::LogInit(L"plugin");
}

AgentClient::~AgentClient() {
  std::lock_guard lock(mutex_);
  DropLocked();
}

std::wstring AgentClient::AgentPathForModule(const void* module_anchor) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(module_anchor), &module)) {
    return {};
  }
  wchar_t path[kModulePathBuffer] = {};
  const DWORD n = ::GetModuleFileNameW(module, path, kModulePathBuffer);
  return AgentPathFromModuleFileName(std::wstring_view(path, kModulePathBuffer), n);
}

uint32_t AgentClient::CurrentSessionId() {
  DWORD session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) return 0xFFFFFFFF;
  return session;
}

uint16_t AgentClient::last_status() {
  std::lock_guard lock(mutex_);
  return last_status_;
}

void AgentClient::DropLocked() {
  connected_ = false;
  pipe_.reset();
}

bool AgentClient::StartAgentLocked() {
  if (agent_exe_path_.empty()) {
    last_status_ = ToWire(Status::internal);
    Log(LogLevel::Error, L"agent exe path could not be resolved from module");
    return false;
  }
  if (::GetFileAttributesW(agent_exe_path_.c_str()) == INVALID_FILE_ATTRIBUTES) {
    last_status_ = ToWire(Status::unavailable);
    Log(LogLevel::Error, L"ZerkaVPNAgent.exe not found next to the plugin DLL");
    return false;
  }
  std::wstring command_line = L"\"" + agent_exe_path_ + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  BOOL created = ::CreateProcessW(agent_exe_path_.c_str(), command_line.data(), nullptr, nullptr,
                                  FALSE, kAgentCreationFlags, nullptr, nullptr, &si, &pi);
  DWORD error = created ? 0 : ::GetLastError();
  if (!created && error == ERROR_ACCESS_DENIED) {
    // The caller's job forbids breakaway: start the Agent inside it.
    created = ::CreateProcessW(agent_exe_path_.c_str(), command_line.data(), nullptr, nullptr,
                               FALSE, kAgentCreationFlags & ~CREATE_BREAKAWAY_FROM_JOB, nullptr,
                               nullptr, &si, &pi);
    error = created ? 0 : ::GetLastError();
  }
  if (!created) {
    last_status_ = ToWire(Status::internal);
    tovra::common::LogWin32(LogLevel::Error, L"CreateProcess(agent) failed", error);
    return false;
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  Log(LogLevel::Info, L"launched ZerkaVPNAgent.exe detached");
  return true;
}

std::optional<tovra::common::Frame> AgentClient::ExchangeLocked(uint16_t type,
                                                                std::span<const uint8_t> payload) {
  if (!pipe_) return std::nullopt;
  const uint32_t id = next_request_id_++;
  auto reply = tovra::common::ExchangeRequest(pipe_.get(), type, id, payload, kPluginIoTimeoutMs);
  if (!reply) DropLocked();
  return reply;
}

bool AgentClient::HandshakeLocked() {
  auto reply = ExchangeLocked(ToWire(tovra::common::MessageType::hello), {});
  if (!reply) {
    last_status_ = ToWire(Status::unavailable);
    return false;
  }
  tovra::common::PayloadReader r(reply->payload);
  uint16_t status = 0;
  tovra::common::HelloInfo hello;
  std::string generation_id;
  uint32_t agent_session = 0;
  if (!r.ReadU16(status) || status != 0 || !r.ReadHelloInfo(hello) ||
      !r.ReadString(generation_id) || !r.ReadU32(agent_session)) {
    last_status_ = ToWire(Status::internal);
    return false;
  }
  if (hello.protocol != tovra::common::kProtocolVersion) {
    last_status_ = ToWire(Status::protocol_mismatch);
    Log(LogLevel::Warn, L"agent protocol mismatch -> fail closed");
    return false;
  }
  generation_ = reply->header.generation;
  return true;
}

bool AgentClient::EnsureConnected() {
  std::lock_guard lock(mutex_);
  if (connected_ && pipe_) return true;
  DropLocked();

  std::optional<std::wstring> name = pipe_name_override_;
  if (!name) name = tovra::common::FormatPipeName(tovra::common::kAgentPipeRole, session_id_);
  if (!name) {
    last_status_ = ToWire(Status::bad_request);
    return false;
  }

  bool started = false;
  bool start_failed = false;
  tovra::common::ConnectOptions options;
  options.attempts = kConnectAttempts;
  options.busy_wait_ms = kBusyWaitMs;
  options.on_absent = [&] {
    if (!started) {
      if (!StartAgentLocked()) {
        start_failed = true;
        return false;
      }
      started = true;
    }
    ::Sleep(kAfterStartSleepMs);
    return true;
  };
  tovra::common::ConnectResult opened = tovra::common::ConnectToPipe(*name, options);
  if (!opened.pipe) {
    if (!start_failed) last_status_ = ToWire(opened.error);
    return false;
  }
  // Anyone can create a pipe of this name first: the configuration, profile and
  // password we are about to send go only to a server of the system or our own.
  if (!tovra::common::IsTrustedServerPipe(opened.pipe.get())) {
    Log(LogLevel::Warn, L"agent pipe owner not trusted -> fail closed");
    last_status_ = ToWire(Status::internal);
    return false;
  }
  pipe_ = std::move(opened.pipe);
  const uint32_t old_generation = generation_;
  if (!HandshakeLocked()) {
    DropLocked();
    return false;
  }
  connected_ = true;
  last_status_ = ToWire(Status::ok);
  if (old_generation != 0 && old_generation != generation_) {
    Log(LogLevel::Info, L"agent generation changed");
  }
  return true;
}

AgentReply AgentClient::Request(uint16_t type, std::span<const uint8_t> payload) {
  AgentReply result;
  for (int pass = 0; pass < 2; ++pass) {
    if (!EnsureConnected()) {
      result.status = last_status();
      return result;
    }
    std::lock_guard lock(mutex_);
    auto reply = ExchangeLocked(type, payload);
    if (!reply) {
      DropLocked();
      result.status = ToWire(Status::unavailable);
      continue;
    }
    tovra::common::PayloadReader r(reply->payload);
    uint16_t status = 0;
    if (!r.ReadU16(status)) {
      result.status = ToWire(Status::internal);
    } else if (status == 0) {
      result.ok = true;
      result.status = 0;
      result.payload.assign(reply->payload.begin() + 2, reply->payload.end());
    } else {
      result.status = status;
    }
    return result;
  }
  return result;
}

AgentProbe AgentClient::Probe() {
  AgentProbe probe;
  probe.agent_connected = EnsureConnected();
  std::lock_guard lock(mutex_);
  probe.generation = generation_;
  probe.last_status = last_status_;
  if (!probe.agent_connected) return probe;
  auto reply = ExchangeLocked(ToWire(tovra::common::MessageType::get_agent_health), {});
  if (!reply) {
    probe.agent_connected = false;
    connected_ = false;
    return probe;
  }
  tovra::common::PayloadReader r(reply->payload);
  uint16_t status = 1;
  tovra::common::AgentHealthRecord health;
  if (r.ReadU16(status) && status == 0 && r.ReadAgentHealth(health)) {
    probe.service_connected = health.service_connected;
  }
  return probe;
}

}  // namespace tovra_windows_vpn
