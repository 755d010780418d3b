#include "plugin/agent_client_win.h"

#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_names.h"
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
      pipe_name_override_(std::move(pipe_name)),
      client_(tovra::common::ProtocolClientConfig{
          [this] { return OpenAgentPipe(); },
          kPluginIoTimeoutMs,
          tovra::common::kAgentHelloRules,
          L"agent pipe owner not trusted -> fail closed",
          [](uint16_t) { return std::wstring(L"agent protocol mismatch -> fail closed"); },
          [](uint32_t, uint32_t) { return std::wstring(L"agent generation changed"); },
      }) {
  tovra::common::LogInit(L"plugin");
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
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session))
    return tovra::common::kUnknownSessionId;
  return session;
}

std::optional<uint16_t> AgentClient::StartAgent() {
  if (agent_exe_path_.empty()) {
    Log(LogLevel::Error, L"agent exe path could not be resolved from module");
    return ToWire(Status::internal);
  }
  if (::GetFileAttributesW(agent_exe_path_.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Log(LogLevel::Error, L"ZerkaVPNAgent.exe not found next to the plugin DLL");
    return ToWire(Status::unavailable);
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
    tovra::common::LogWin32(LogLevel::Error, L"CreateProcess(agent) failed", error);
    return ToWire(Status::internal);
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  Log(LogLevel::Info, L"launched ZerkaVPNAgent.exe detached");
  return std::nullopt;
}

tovra::common::OpenedPipe AgentClient::OpenAgentPipe() {
  tovra::common::OpenedPipe result;
  std::optional<std::wstring> name = pipe_name_override_;
  if (!name) name = tovra::common::FormatPipeName(tovra::common::kAgentPipeRole, session_id_);
  if (!name) {
    result.error = ToWire(Status::bad_request);
    return result;
  }
  bool started = false;
  std::optional<uint16_t> start_failure;
  tovra::common::ConnectOptions options;
  options.attempts = kConnectAttempts;
  options.busy_wait_ms = kBusyWaitMs;
  options.on_absent = [&] {
    if (!started) {
      start_failure = StartAgent();
      if (start_failure) return false;
      started = true;  // at most one start per connect
    }
    ::Sleep(kAfterStartSleepMs);
    return true;
  };
  tovra::common::ConnectResult opened = tovra::common::ConnectToPipe(*name, options);
  result.pipe = std::move(opened.pipe);
  result.error = start_failure ? *start_failure : ToWire(opened.error);
  return result;
}

AgentReply AgentClient::Request(uint16_t type, std::span<const uint8_t> payload) {
  tovra::common::ProtocolReply reply = client_.Request(type, payload);
  AgentReply result;
  result.ok = reply.ok;
  result.status = reply.status;
  result.payload = std::move(reply.body);
  return result;
}

AgentProbe AgentClient::Probe() {
  tovra::common::ProtocolProbe exchanged =
      client_.Probe(ToWire(tovra::common::MessageType::get_agent_health));
  AgentProbe probe;
  probe.agent_connected = exchanged.connected;
  probe.generation = exchanged.generation;
  probe.last_status = exchanged.last_status;
  if (!exchanged.reply) return probe;
  tovra::common::PayloadReader r(exchanged.reply->payload);
  uint16_t status = 1;
  tovra::common::AgentHealthRecord health;
  if (r.ReadU16(status) && status == 0 && r.ReadAgentHealth(health)) {
    probe.service_connected = health.service_connected;
  }
  return probe;
}

}  // namespace tovra_windows_vpn
