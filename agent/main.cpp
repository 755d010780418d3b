// ZerkaVPNAgent: one per interactive session, started on demand by the plugin.
#include "agent/agent_host_win.h"

int wmain() {
  return tovra::agent::AgentMain();
}
