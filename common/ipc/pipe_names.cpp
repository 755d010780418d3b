#include "common/ipc/pipe_names.h"

namespace tovra::common {

namespace {

std::optional<std::wstring> Finish(std::wstring name, uint32_t session_id, size_t capacity) {
  if (session_id > kMaxNamedSessionId) return std::nullopt;
  name += std::to_wstring(session_id);
  if (name.size() >= capacity) return std::nullopt;
  return name;
}

}  // namespace

std::optional<std::wstring> FormatPipeName(std::wstring_view role, uint32_t session_id) {
  std::wstring name(L"\\\\.\\pipe\\ZERKA.VPN.");
  name += role;
  name += L'.';
  return Finish(std::move(name), session_id, kPipeNameCapacity);
}

std::optional<std::wstring> FormatAgentMutexName(uint32_t session_id) {
  return Finish(L"Local\\ZERKA.VPN.Agent.", session_id, kMutexNameCapacity);
}

}  // namespace tovra::common
