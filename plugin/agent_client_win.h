// The plugin's one connection to the Agent of its session.
//
// Connects on demand (starting the Agent from the plugin's folder when its pipe is
// missing), checks who serves the pipe and the Agent's protocol, and exchanges one
// request at a time (an adapter over the shared ProtocolClient). Thread-safe: every
// worker thread and the event poller share one client (through shared ownership,
// so a worker never outlives it); one lock serialises all pipe traffic.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/ipc/frame.h"
#include "common/ipc/protocol_client_win.h"

namespace tovra_windows_vpn {

inline constexpr uint32_t kPluginIoTimeoutMs = 12000;

struct AgentReply {
  bool ok = false;
  uint16_t status = 4;
  tovra::common::Bytes payload;  // after the status word, when ok
};

struct AgentProbe {
  bool agent_connected = false;
  bool service_connected = false;
  uint32_t generation = 0;
  uint16_t last_status = 4;
};

class AgentClient {
 public:
  // `agent_exe_path` may be empty (the plugin's folder is unknown). `pipe_name`
  // replaces the session's Agent pipe (tests point it at a stand-in).
  AgentClient(std::wstring agent_exe_path, uint32_t session_id,
              std::optional<std::wstring> pipe_name = std::nullopt);
  AgentClient(const AgentClient&) = delete;
  AgentClient& operator=(const AgentClient&) = delete;

  // The client for the plugin DLL containing `module_anchor`, in this process's
  // session.
  static std::wstring AgentPathForModule(const void* module_anchor);
  static uint32_t CurrentSessionId();

  [[nodiscard]] bool EnsureConnected() { return client_.EnsureConnected(); }
  // A request whose reply timed out is not sent again; a payload no frame can
  // carry is status 1 and leaves the connection as it is.
  [[nodiscard]] AgentReply Request(uint16_t type, std::span<const uint8_t> payload);
  [[nodiscard]] AgentProbe Probe();

  uint32_t session_id() const { return session_id_; }
  uint16_t last_status() { return client_.last_status(); }

 private:
  // Runs inside the protocol client's connect, with its lock held.
  tovra::common::OpenedPipe OpenAgentPipe();
  // Starts the Agent detached; on failure the status to report, else nothing.
  [[nodiscard]] std::optional<uint16_t> StartAgent();

  const std::wstring agent_exe_path_;
  const uint32_t session_id_;
  const std::optional<std::wstring> pipe_name_override_;
  tovra::common::ProtocolClient client_;
};

}  // namespace tovra_windows_vpn
