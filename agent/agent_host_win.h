// The Agent process: single-instance guard, the plugin pipe server with its idle
// exit, per-client sessions and request dispatch.
//
// Threading: Run, every client session and every dispatch run on the main thread,
// one client at a time. The console control handler runs on a system thread and
// only touches the stop flag and stop event. Extensions (the OpenVPN handlers)
// plug into the handler table and the idle hooks before Run starts.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "agent/service_link_win.h"
#include "common/ipc/frame.h"
#include "common/win/handles_win.h"

namespace tovra::agent {

class AgentHost {
 public:
  // Answers one request: the reply payload, status included. `payload` is the
  // received buffer itself, so a handler may wipe what it has used (a profile, a
  // password); the client loop wipes it again after every secret-bearing request.
  using RequestHandler = std::function<common::Bytes(std::span<uint8_t> payload)>;

  struct Extensions {
    std::map<uint16_t, RequestHandler> handlers;           // types 8..11
    std::vector<std::function<bool()>> busy_conditions;    // keep the Agent alive
    std::function<std::optional<uint32_t>()> wait_cap_ms;  // caps the accept wait
    std::vector<std::function<void()>> idle_timeout_actions;
    std::vector<std::function<void()>> loop_end_actions;
  };

  // `connector` opens the Service pipe; by default the one of this session.
  explicit AgentHost(ServiceLink::Connector connector = {});
  AgentHost(const AgentHost&) = delete;
  AgentHost& operator=(const AgentHost&) = delete;

  // The pipe server loop; returns the process exit code (0, 2 or 3).
  int Run();
  // Called from the console control handler thread.
  void RequestStop();

  Extensions& extensions() { return extensions_; }
  // A request to the Service, counted as in flight while it runs (the idle
  // decision waits for it).
  ServiceLink::Result RequestService(uint16_t type, std::span<const uint8_t> payload);
  ServiceLink& service_link() { return link_; }
  uint32_t session_id() const { return session_id_; }
  uint32_t generation() const { return generation_; }
  const std::string& generation_id() const { return generation_id_; }

 private:
  void ServeClient(HANDLE pipe);
  // False when the session ends after this request.
  [[nodiscard]] bool ServeRequest(HANDLE pipe, common::Frame& request);
  bool Dispatch(HANDLE pipe, common::Frame& request);
  [[nodiscard]] bool Reply(HANDLE pipe, const common::FrameHeader& request,
                           const common::Bytes& payload);
  common::Bytes Relay(uint16_t type, std::span<const uint8_t> payload);
  [[nodiscard]] bool ExtensionBusy();
  uint32_t AcceptWaitMs(ULONGLONG last_activity);

  uint32_t generation_;
  std::string generation_id_;  // UTF-8, as it goes on the wire
  uint32_t session_id_;
  common::UniqueHandle stop_event_;
  std::atomic<bool> stop_{false};
  std::atomic<int32_t> active_clients_{0};
  std::atomic<int32_t> in_flight_service_requests_{0};
  ServiceLink link_;
  Extensions extensions_;
};

// The console control handler: stop on Ctrl+C/Break, close, logoff, shutdown.
BOOL WINAPI AgentConsoleControlHandler(DWORD ctrl_type);

// The whole program: logging, host, single-instance mutex, handler, Run.
int AgentMain();

}  // namespace tovra::agent
