// Test helper: keeps one Agent connection open and probes it every 2 s with
// get_agent_health, as the plugin's event pump does. Prints "probe N ok" after each
// answered probe and "link closed" when the Agent ends the connection, then exits 0.
// Exits 1 when the Agent pipe never appears, 2 after 120 s of probing.
#include <windows.h>

#include <cstdio>

#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_names.h"
#include "common/security/caller_identity_win.h"

int main() {
  using namespace tovra::common;
  ConnectOptions options;
  options.attempts = 100;
  options.busy_wait_ms = 400;
  options.on_absent = [] {
    ::Sleep(100);
    return true;
  };
  ConnectResult agent = ConnectToServer(kAgentPipeRole, GetProcessSessionId(), options);
  if (agent.error != Status::ok) {
    std::printf("no agent pipe (%u)\n", static_cast<unsigned>(ToWire(agent.error)));
    return 1;
  }
  for (uint32_t probe = 1; probe <= 60; ++probe) {
    if (!ExchangeRequest(agent.pipe.get(), ToWire(MessageType::get_agent_health), probe, {},
                         12000)) {
      std::printf("link closed\n");
      std::fflush(stdout);
      return 0;
    }
    std::printf("probe %u ok\n", static_cast<unsigned>(probe));
    std::fflush(stdout);
    ::Sleep(2000);  // the pump's probe period
  }
  return 2;
}
