#include "plugin/tovra_windows_vpn_plugin.h"

#include <tovra_windows_vpn/tovra_windows_vpn_plugin_c_api.h>

#include "common/base/secret_buffer.h"
#include "common/ipc/messages.h"
#include "common/log/log.h"
#include "plugin/host_requests.h"

namespace tovra_windows_vpn {

using tovra::common::MessageType;
using tovra::common::SecretBuffer;
using tovra::common::ToWire;

namespace {

// Any address inside this DLL, to find the file it was loaded from.
void ModuleAnchor() {}

}  // namespace

void TovraWindowsVpnPlugin::RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar) {
  auto plugin = std::make_unique<TovraWindowsVpnPlugin>(
      registrar->messenger(),
      std::make_shared<AgentClient>(
          AgentClient::AgentPathForModule(reinterpret_cast<const void*>(&ModuleAnchor)),
          AgentClient::CurrentSessionId()));
  TovraWindowsVpnHostApi::SetUp(registrar->messenger(), plugin.get());
  registrar->AddPlugin(std::move(plugin));
}

TovraWindowsVpnPlugin::TovraWindowsVpnPlugin(flutter::BinaryMessenger* messenger,
                                             std::shared_ptr<AgentClient> client)
    : messenger_(messenger), client_(std::move(client)) {
  tovra::common::LogInit(L"plugin");
}

TovraWindowsVpnPlugin::~TovraWindowsVpnPlugin() {
  // None of these waits for a request in flight (which may hold the client for
  // over a minute): closing the app must not freeze the platform thread.
  workers_.Shutdown();
  events_.reset();
  client_.reset();
}

template <typename T, typename Work>
void TovraWindowsVpnPlugin::Dispatch(std::function<void(ErrorOr<T>)> result, Work work) {
  // The task owns the work (and any secret in it) and the reply; a cancelled task
  // drops the work first, so its secret is wiped before the reply goes out.
  struct Task {
    std::shared_ptr<AgentClient> client;
    std::optional<Work> work;
    std::function<void(ErrorOr<T>)> result;
    void operator()(bool cancelled) {
      if (cancelled) {
        work.reset();
        client.reset();
        RunWorker<T>(std::move(result), [](OnceReply<T>&) {});
        return;
      }
      RunWorker<T>(std::move(result), [this](OnceReply<T>& reply) {
        Work owned = std::move(*work);
        work.reset();
        owned(*client, reply);
      });
    }
  };
  // Submit answers a task it cannot run by cancelling it.
  (void)workers_.Submit(Task{client_, std::move(work), std::move(result)});
}

template <typename T, typename ReadFn>
void TovraWindowsVpnPlugin::DispatchRequest(uint16_t type, SecretBuffer payload, Reach reach,
                                            ReadFn read, std::function<void(ErrorOr<T>)> result) {
  Dispatch<T>(std::move(result), [type, payload = std::move(payload), reach, read](
                                     AgentClient& client, OnceReply<T>& reply) mutable {
    SendRequest<T>(client, type, std::move(payload), reach, read, reply);
  });
}

void TovraWindowsVpnPlugin::IsAvailable(std::function<void(ErrorOr<bool> reply)> result) {
  Dispatch<bool>(std::move(result), [](AgentClient& client, OnceReply<bool>& reply) {
    bool available = false;
    try {
      const AgentProbe probe = client.Probe();
      available = probe.agent_connected && probe.service_connected;
    } catch (...) {
      available = false;
    }
    reply(available);
  });
}

void TovraWindowsVpnPlugin::GetHealth(
    std::function<void(ErrorOr<TovraNativeHealth> reply)> result) {
  Dispatch<TovraNativeHealth>(
      std::move(result), [](AgentClient& client, OnceReply<TovraNativeHealth>& reply) {
        const AgentProbe probe = client.Probe();
        reply(BuildNativeHealth(client.session_id(), probe.agent_connected, probe.service_connected,
                                probe.last_status));
      });
}

void TovraWindowsVpnPlugin::GetAgentHealth(
    std::function<void(ErrorOr<TovraAgentHealth> reply)> result) {
  DispatchRequest<TovraAgentHealth>(ToWire(MessageType::get_agent_health), {}, Reach::agent,
                                    ReadAgentHealth, std::move(result));
}

void TovraWindowsVpnPlugin::GetServiceHealth(
    std::function<void(ErrorOr<TovraServiceHealth> reply)> result) {
  DispatchRequest<TovraServiceHealth>(ToWire(MessageType::get_service_health), {}, Reach::service,
                                      ReadServiceHealth, std::move(result));
}

void TovraWindowsVpnPlugin::StartEvents(
    std::function<void(std::optional<FlutterError> reply)> result) {
  if (!events_) events_ = std::make_unique<EventPump>(messenger_, client_);
  events_->Start();
  result(std::nullopt);
}

void TovraWindowsVpnPlugin::StartWireGuard(
    const std::string& config, std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) {
  std::optional<SecretBuffer> payload = BuildStartWireGuardPayload(config);
  if (!payload) {
    // Too long for the wire: a bad request of the caller, never sent.
    result(ErrorFor(kErrorInternal));
    return;
  }
  DispatchRequest<TovraWireGuardStatus>(ToWire(MessageType::start_wireguard), std::move(*payload),
                                        Reach::service, ReadWireGuardStatus, std::move(result));
}

void TovraWindowsVpnPlugin::StopWireGuard(
    std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) {
  DispatchRequest<TovraWireGuardStatus>(ToWire(MessageType::stop_wireguard), {}, Reach::service,
                                        ReadWireGuardStatus, std::move(result));
}

void TovraWindowsVpnPlugin::WireGuardStatus(
    std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) {
  DispatchRequest<TovraWireGuardStatus>(ToWire(MessageType::wireguard_status), {}, Reach::service,
                                        ReadWireGuardStatus, std::move(result));
}

void TovraWindowsVpnPlugin::GetOpenVpnCapabilities(
    std::function<void(ErrorOr<TovraOpenVpnCapabilities> reply)> result) {
  DispatchRequest<TovraOpenVpnCapabilities>(ToWire(MessageType::get_openvpn_capabilities), {},
                                            Reach::agent, ReadOpenVpnCapabilities,
                                            std::move(result));
}

void TovraWindowsVpnPlugin::StartOpenVpn(
    const std::string& config, const std::string& username, const std::string& password,
    std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) {
  std::optional<SecretBuffer> payload = BuildStartOpenVpnPayload(config, username, password);
  if (!payload) {
    // A text or the whole too long for one frame: a bad request of the caller,
    // answered without touching the connection.
    result(ErrorFor(kErrorInternal));
    return;
  }
  DispatchRequest<TovraOpenVpnStatus>(ToWire(MessageType::start_openvpn), std::move(*payload),
                                      Reach::agent, ReadOpenVpnStatus, std::move(result));
}

void TovraWindowsVpnPlugin::StopOpenVpn(
    std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) {
  DispatchRequest<TovraOpenVpnStatus>(ToWire(MessageType::stop_openvpn), {}, Reach::agent,
                                      ReadOpenVpnStatus, std::move(result));
}

void TovraWindowsVpnPlugin::GetOpenVpnStatus(
    std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) {
  DispatchRequest<TovraOpenVpnStatus>(ToWire(MessageType::get_openvpn_status), {}, Reach::agent,
                                      ReadOpenVpnStatus, std::move(result));
}

}  // namespace tovra_windows_vpn

void TovraWindowsVpnPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
  try {
    tovra_windows_vpn::TovraWindowsVpnPlugin::RegisterWithRegistrar(
        flutter::PluginRegistrarManager::GetInstance()
            ->GetRegistrar<flutter::PluginRegistrarWindows>(registrar));
  } catch (...) {
    // Nothing may cross the C boundary into the engine.
    tovra::common::Log(tovra::common::LogLevel::Error, L"plugin registration failed");
  }
}
