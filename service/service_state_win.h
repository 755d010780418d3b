// The Service's process state and the points where the VPN work plugs in.
//
// One ServiceState exists per process, from service start until the pipe loop has
// returned. The pipe loop's thread owns it; the control handlers (SCM dispatcher
// thread, console handler thread) only read the current-state pointer under its
// lock and set the stop flags and event; the stop-request actions run on the
// pipe loop's thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/security/caller_identity.h"
#include "common/ipc/frame.h"
#include "common/win/handles_win.h"

namespace tovra::service {

struct ServiceState;
class WireGuardTunnelManager;
class ActivityRegistry;

// An action run at one of the extension points. Failures are the action's own
// business (it logs them); an action cannot stop the Service from starting.
using ServiceAction = std::function<void(ServiceState&)>;

// Answers one request type: returns the reply payload (a status, then the body when
// the status is 0). The payload is the received buffer itself: a handler may wipe
// what it has used, and the client loop wipes it again after every secret-bearing
// request (common::IsSecretBearing), on every path.
using RequestHandler = std::function<common::Bytes(ServiceState&, const common::CallerIdentity&,
                                                   std::span<uint8_t> payload)>;

struct ServiceExtensions {
  std::vector<ServiceAction> early_startup;  // first step of creating the state
  std::vector<ServiceAction> late_startup;   // last step of creating the state
  std::vector<ServiceAction> loop_start;     // after the pipe loop's starting line
  std::vector<ServiceAction> idle_pass;      // an accept wait ran out without a client
  std::vector<ServiceAction> loop_end;       // before "service stopped cleanly"
  std::vector<ServiceAction> stop_request;   // SCM stop/shutdown, once the pipe loop has left
  std::map<uint16_t, RequestHandler> handlers;
};

struct ServiceState {
  bool console_mode = false;
  std::string generation_id;
  uint32_t generation_number = 1;
  uint64_t start_tick = 0;
  // Set first when a stop begins, before the stop actions run: from then on no
  // request is served (one could start a tunnel the stop actions just removed).
  std::atomic<bool> stopping{false};
  std::atomic<bool> stop_requested{false};
  // Set by the Service Control Manager's stop: the pipe loop runs the stop-request
  // actions on its own thread once it has left, so the control handler returns
  // at once. A console stop leaves it clear (the tunnel stays as it is).
  std::atomic<bool> stop_actions_due{false};
  common::UniqueHandle stop_event;  // manual reset; set together with stop_requested
  ServiceExtensions extensions;
  // The WireGuard tunnel, created by an early start-up action; destroyed with the
  // state, after the pipe loop has returned.
  std::shared_ptr<WireGuardTunnelManager> wireguard;
  // The machine-wide activity verdict and the Agent's latest OpenVPN report,
  // created by an early start-up action.
  std::shared_ptr<ActivityRegistry> activity;

  // Safe from any thread. BeginStop closes the door to requests; RequestStop (after
  // the stop actions) also ends the loop and wakes its waits.
  void BeginStop() { stopping.exchange(true); }
  void RequestStop();
  [[nodiscard]] bool StopRequested() const { return stop_requested.load(); }
  bool StopPending() const { return stopping.load() || stop_requested.load(); }
};

void RunActions(ServiceState& state, const std::vector<ServiceAction>& actions);

// Runs the early start-up actions, draws the generation values, starts the uptime
// clock, creates the stop event and runs the late start-up actions. Nothing when
// the stop event cannot be created.
std::unique_ptr<ServiceState> CreateServiceState(bool console_mode, ServiceExtensions extensions);

// The extension points of this build: every action list and handler table entry
// the VPN features register.
ServiceExtensions MakeServiceExtensions();

// The process-wide "current state" the control handlers act on.
class CurrentServiceState {
 public:
  static void Publish(ServiceState* state);
  static void Clear();
  // Runs `f` with the current state while it cannot be cleared; returns false
  // (without calling `f`) when there is none.
  static bool With(const std::function<void(ServiceState&)>& f);
};

}  // namespace tovra::service
