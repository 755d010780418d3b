#include "service/wireguard/tunnel_service_control_win.h"

#include <string>

#include "service/wireguard/tunnel_names.h"

namespace tovra::service {

namespace {
uint32_t LastError() {
  return static_cast<uint32_t>(::GetLastError());
}
uint32_t NoSession() {
  return ERROR_INVALID_HANDLE;
}
}  // namespace

uint32_t ScmTunnelServiceControl::Connect(bool create_service_rights) {
  Close();
  const DWORD rights = SC_MANAGER_CONNECT | (create_service_rights ? SC_MANAGER_CREATE_SERVICE : 0);
  manager_.reset(::OpenSCManagerW(nullptr, nullptr, rights));
  return manager_ ? 0 : LastError();
}

uint32_t ScmTunnelServiceControl::Create(std::wstring_view command_line) {
  if (!manager_) return NoSession();
  const std::wstring name(kTunnelServiceName);
  const std::wstring display(kTunnelDisplayName);
  const std::wstring line(command_line);
  const std::wstring dependencies(kTunnelDependencies);
  service_.reset(::CreateServiceW(
      manager_.get(), name.c_str(), display.c_str(),
      DELETE | SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, line.c_str(), nullptr,
      nullptr, dependencies.c_str(), nullptr, nullptr));
  return service_ ? 0 : LastError();
}

uint32_t ScmTunnelServiceControl::Open() {
  if (!manager_) return NoSession();
  const std::wstring name(kTunnelServiceName);
  service_.reset(
      ::OpenServiceW(manager_.get(), name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  return service_ ? 0 : LastError();
}

uint32_t ScmTunnelServiceControl::SetSidTypeUnrestricted() {
  if (!service_) return NoSession();
  SERVICE_SID_INFO info{};
  info.dwServiceSidType = SERVICE_SID_TYPE_UNRESTRICTED;
  return ::ChangeServiceConfig2W(service_.get(), SERVICE_CONFIG_SERVICE_SID_INFO, &info)
             ? 0
             : LastError();
}

void ScmTunnelServiceControl::SetDescription() {
  if (!service_) return;
  std::wstring text(kTunnelDescription);
  SERVICE_DESCRIPTIONW description{};
  description.lpDescription = text.data();
  ::ChangeServiceConfig2W(service_.get(), SERVICE_CONFIG_DESCRIPTION, &description);
}

uint32_t ScmTunnelServiceControl::Start() {
  if (!service_) return NoSession();
  return ::StartServiceW(service_.get(), 0, nullptr) ? 0 : LastError();
}

uint32_t ScmTunnelServiceControl::QueryState() {
  if (!service_) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
    return 0;
  }
  return status.dwCurrentState;
}

uint32_t ScmTunnelServiceControl::SendStop() {
  if (!service_) return NoSession();
  SERVICE_STATUS status{};
  return ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status) ? 0 : LastError();
}

uint32_t ScmTunnelServiceControl::Delete() {
  if (!service_) return NoSession();
  return ::DeleteService(service_.get()) ? 0 : LastError();
}

void ScmTunnelServiceControl::Close() {
  service_.reset();
  manager_.reset();
}

bool ScmTunnelServiceControl::Exists() {
  common::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  const std::wstring name(kTunnelServiceName);
  common::UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  return service.valid();
}

}  // namespace tovra::service
