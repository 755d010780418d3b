#include "plugin/tovra_windows_vpn_plugin.h"

#include <thread>

#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/base/secure_zero.h"
#include "plugin/include/tovra_windows_vpn_plugin/tovra_windows_vpn_plugin_c_api.h"

namespace tovra_windows_vpn {

using tovra::common::Bytes;
using tovra::common::MessageType;
using tovra::common::PayloadWriter;
using tovra::common::SecureZero;
using tovra::common::ToWire;

namespace {

// Any address inside this DLL, to find the file it was loaded from.
void ModuleAnchor() {}

FlutterError ErrorFor(std::string_view code) { return FlutterError(std::string(code), ""); }

// One request-based host method on a worker thread: send, read the record, reply.
template <typename T, typename ReadFn>
void RunRequest(const std::shared_ptr<AgentClient>& client, MessageType type, Bytes payload,
                Reach reach, ReadFn read, std::function<void(ErrorOr<T>)> result) {
  std::thread([client, type, payload = std::move(payload), reach, read,
               result = std::move(result)]() mutable {
    const AgentReply reply = client->Request(ToWire(type), payload);
    SecureZero(payload);
    if (!reply.ok) {
      result(ErrorFor(ErrorCodeForStatus(reply.status, reach)));
      return;
    }
    std::optional<T> value = read(reply.payload);
    if (!value) {
      result(ErrorFor(kErrorInternal));
      return;
    }
    result(std::move(*value));
  }).detach();
}

}  // namespace

void TovraWindowsVpnPlugin::RegisterWithRegistrar(flutter::PluginRegistrarWindows* registrar) {
  auto plugin = std::make_unique<TovraWindowsVpnPlugin>(
      registrar->messenger(),
      std::make_shared<AgentClient>(AgentClient::AgentPathForModule(
                                        reinterpret_cast<const void*>(&ModuleAnchor)),
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
  events_.reset();  // the poller uses the client: stop it first
  client_.reset();
}

void TovraWindowsVpnPlugin::IsAvailable(std::function<void(ErrorOr<bool> reply)> result) {
  std::thread([client = client_, result = std::move(result)] {
    bool available = false;
    try {
      const AgentProbe probe = client->Probe();
      available = probe.agent_connected && probe.service_connected;
    } catch (...) {
      available = false;
    }
    result(available);
  }).detach();
}

void TovraWindowsVpnPlugin::GetHealth(std::function<void(ErrorOr<TovraNativeHealth> reply)> result) {
  std::thread([client = client_, result = std::move(result)] {
    const AgentProbe probe = client->Probe();
    result(BuildNativeHealth(client->session_id(), probe.agent_connected, probe.service_connected,
                             probe.last_status));
  }).detach();
}

void TovraWindowsVpnPlugin::GetAgentHealth(
    std::function<void(ErrorOr<TovraAgentHealth> reply)> result) {
  RunRequest<TovraAgentHealth>(client_, MessageType::get_agent_health, {}, Reach::agent,
                               ReadAgentHealth, std::move(result));
}

void TovraWindowsVpnPlugin::GetServiceHealth(
    std::function<void(ErrorOr<TovraServiceHealth> reply)> result) {
  RunRequest<TovraServiceHealth>(client_, MessageType::get_service_health, {}, Reach::service,
                                 ReadServiceHealth, std::move(result));
}

void TovraWindowsVpnPlugin::StartEvents(std::function<void(std::optional<FlutterError> reply)> result) {
  if (!events_) events_ = std::make_unique<EventPump>(messenger_, client_);
  events_->Start();
  result(std::nullopt);
}

void TovraWindowsVpnPlugin::StartWireGuard(
    const std::string& config, std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) {
  PayloadWriter w;
  if (!w.WriteString(config)) {
    // Too long for the wire: treated as a request that failed with status 1.
    std::thread([result = std::move(result)] { result(ErrorFor(kErrorInternal)); }).detach();
    return;
  }
  RunRequest<TovraWireGuardStatus>(client_, MessageType::start_wireguard, w.Take(), Reach::service,
                                   ReadWireGuardStatus, std::move(result));
}

void TovraWindowsVpnPlugin::StopWireGuard(
    std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) {
  RunRequest<TovraWireGuardStatus>(client_, MessageType::stop_wireguard, {}, Reach::service,
                                   ReadWireGuardStatus, std::move(result));
}

void TovraWindowsVpnPlugin::WireGuardStatus(
    std::function<void(ErrorOr<TovraWireGuardStatus> reply)> result) {
  RunRequest<TovraWireGuardStatus>(client_, MessageType::wireguard_status, {}, Reach::service,
                                   ReadWireGuardStatus, std::move(result));
}

void TovraWindowsVpnPlugin::GetOpenVpnCapabilities(
    std::function<void(ErrorOr<TovraOpenVpnCapabilities> reply)> result) {
  RunRequest<TovraOpenVpnCapabilities>(client_, MessageType::get_openvpn_capabilities, {},
                                       Reach::agent, ReadOpenVpnCapabilities, std::move(result));
}

void TovraWindowsVpnPlugin::StartOpenVpn(const std::string& config, const std::string& username,
                                         const std::string& password,
                                         std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) {
  PayloadWriter w;
  const bool fits = w.WriteString(config) && w.WriteString(username) && w.WriteString(password);
  if (!fits) {
    SecureZero(w.mutable_bytes());
    std::thread([result = std::move(result)] { result(ErrorFor(kErrorInternal)); }).detach();
    return;
  }
  // The payload holds the only copies the worker keeps of the profile and the
  // password; it is wiped after the request, whatever its outcome.
  RunRequest<TovraOpenVpnStatus>(client_, MessageType::start_openvpn, w.Take(), Reach::agent,
                                 ReadOpenVpnStatus, std::move(result));
}

void TovraWindowsVpnPlugin::StopOpenVpn(std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) {
  RunRequest<TovraOpenVpnStatus>(client_, MessageType::stop_openvpn, {}, Reach::agent,
                                 ReadOpenVpnStatus, std::move(result));
}

void TovraWindowsVpnPlugin::GetOpenVpnStatus(
    std::function<void(ErrorOr<TovraOpenVpnStatus> reply)> result) {
  RunRequest<TovraOpenVpnStatus>(client_, MessageType::get_openvpn_status, {}, Reach::agent,
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
