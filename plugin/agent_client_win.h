// The plugin's one connection to the Agent of its session.
//
// Connects on demand (starting the Agent from the plugin's folder when its pipe is
// missing), checks who serves the pipe and the Agent's protocol, and exchanges one
// request at a time. Thread-safe: every worker thread and the event poller share
// one client (through shared ownership, so a worker never outlives it); one lock
// serialises all pipe traffic.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "common/ipc/frame.h"
#include "common/win/handles_win.h"

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
  ~AgentClient();
  AgentClient(const AgentClient&) = delete;
  AgentClient& operator=(const AgentClient&) = delete;

  // The client for the plugin DLL containing `module_anchor`, in this process's
  // session.
  static std::wstring AgentPathForModule(const void* module_anchor);
  static uint32_t CurrentSessionId();

  bool EnsureConnected();
  AgentReply Request(uint16_t type, std::span<const uint8_t> payload);
  AgentProbe Probe();

  uint32_t session_id() const { return session_id_; }
  uint16_t last_status();

 private:
  bool HandshakeLocked();
  std::optional<tovra::common::Frame> ExchangeLocked(uint16_t type,
                                                     std::span<const uint8_t> payload);
  void DropLocked();
  bool StartAgentLocked();

  std::mutex mutex_;
  const std::wstring agent_exe_path_;
  const uint32_t session_id_;
  const std::optional<std::wstring> pipe_name_override_;
  tovra::common::UniqueHandle pipe_;
  bool connected_ = false;
  uint32_t next_request_id_ = 1;
  uint32_t generation_ = 0;
  uint16_t last_status_ = 4;
};

}  // namespace tovra_windows_vpn
