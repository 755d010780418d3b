#include "service/service_state_win.h"

#include "common/ipc/generation.h"
#include "service/activity/activity_registry.h"
#include "service/vpn_handlers_win.h"
#include "service/wireguard/wireguard_tunnel_manager.h"

namespace tovra::service {

namespace {

std::mutex g_current_mutex;
ServiceState* g_current = nullptr;

}  // namespace

void ServiceState::RequestStop() {
  stopping.exchange(true);
  stop_requested.exchange(true);
  if (stop_event) ::SetEvent(stop_event.get());
}

void RunActions(ServiceState& state, const std::vector<ServiceAction>& actions) {
  for (const ServiceAction& action : actions) {
    if (action) action(state);
  }
}

std::unique_ptr<ServiceState> CreateServiceState(bool console_mode, ServiceExtensions extensions) {
  auto state = std::make_unique<ServiceState>();
  state->console_mode = console_mode;
  state->extensions = std::move(extensions);
  RunActions(*state, state->extensions.early_startup);
  // The text and the header number are drawn separately: the text is public in
  // health replies, the number is what clients compare across reconnects.
  state->generation_id = common::MakeGenerationId(common::DrawGenerationValue());
  state->generation_number = common::DrawGenerationValue();
  state->start_tick = ::GetTickCount64();
  state->stopping.store(false);
  state->stop_requested.store(false);
  state->stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->stop_event) return nullptr;
  RunActions(*state, state->extensions.late_startup);
  return state;
}

ServiceExtensions MakeServiceExtensions() {
  ServiceExtensions extensions;
  AddWireGuardExtensions(extensions, MakeSystemWireGuard);
  AddActivityExtensions(extensions, MakeSystemActivity);
  AddOpenVpnStagingExtensions(extensions);
  return extensions;
}

void CurrentServiceState::Publish(ServiceState* state) {
  std::lock_guard lock(g_current_mutex);
  g_current = state;
}

void CurrentServiceState::Clear() {
  Publish(nullptr);
}

bool CurrentServiceState::With(const std::function<void(ServiceState&)>& f) {
  std::lock_guard lock(g_current_mutex);
  if (g_current == nullptr) return false;
  f(*g_current);
  return true;
}

}  // namespace tovra::service
