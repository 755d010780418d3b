// The plugin object registered with the Flutter engine. Host methods return to the
// platform thread at once; each request runs as a task of a small worker pool and
// answers from there (the engine carries the reply to the platform thread). A
// task shares ownership of the Agent client, so the client outlives every worker.
//
// Destruction (on the platform thread) does not wait for a worker or for the event
// poller: a task still queued is answered "INTERNAL" at once, and what runs
// finishes on its own against the client it shares; its reply is dropped by the
// messenger once the engine is gone.
#pragma once

#include <flutter/plugin_registrar_windows.h>

#include <memory>

#include "plugin/agent_client_win.h"
#include "plugin/event_pump_win.h"
#include "plugin/pigeon_api.h"
#include "plugin/worker_pool.h"

namespace tovra_windows_vpn {

class TovraWindowsVpnPlugin : public flutter::Plugin, public TovraWindowsVpnHostApi {
 public:
  static void RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar);

  TovraWindowsVpnPlugin(flutter::BinaryMessenger* messenger, std::shared_ptr<AgentClient> client);
  ~TovraWindowsVpnPlugin() override;

  void IsAvailable(std::function<void(ErrorOr<bool> reply)> result) override;
  void GetHealth(std::function<void(ErrorOr<TovraNativeHealth> reply)> result) override;
  void GetAgentHealth(std::function<void(ErrorOr<TovraAgentHealth> reply)> result) override;
  void GetServiceHealth(std::function<void(ErrorOr<TovraServiceHealth> reply)> result) override;
  void StartEvents(std::function<void(std::optional<FlutterError> reply)> result) override;
  void StartWireGuard(const std::string& config,
                      std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) override;
  void StopWireGuard(std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) override;
  void WireGuardStatus(std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) override;
  void GetOpenVpnCapabilities(
      std::function<void(ErrorOr<TovraOpenVpnCapabilities> reply)> result) override;
  void StartOpenVpn(const std::string& config, const std::string& username,
                    const std::string& password,
                    std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) override;
  void StopOpenVpn(std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) override;
  void GetOpenVpnStatus(std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) override;

 private:
  // Queues `work(client)` on the pool; when it cannot run, `result` gets
  // "INTERNAL" (and what `work` owns is wiped) before this returns.
  template <typename T, typename Work>
  void Dispatch(std::function<void(ErrorOr<T>)> result, Work work);
  template <typename T, typename ReadFn>
  void DispatchRequest(uint16_t type, tovra::common::SecretBuffer payload, Reach reach, ReadFn read,
                       std::function<void(ErrorOr<T>)> result);

  flutter::BinaryMessenger* messenger_;  // not owned
  std::shared_ptr<AgentClient> client_;
  std::unique_ptr<EventPump> events_;
  WorkerPool workers_;
};

}  // namespace tovra_windows_vpn
