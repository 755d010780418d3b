// The wireguard.dll stand-in (see wireguard_standin.h for the script).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "service/wireguard/testing/adapter_buffer.h"
#include "service/wireguard/wireguard_dll_abi_win.h"
#include "tests/fakes/wireguard/standin_script_win.h"
#include "tests/fakes/wireguard/wireguard_standin.h"

namespace {

namespace abi = tovra::service::wireguard_abi;
using tovra::service::testing::PeerScript;

struct Script {
  std::string adapter = "tunnel";
  std::vector<PeerScript> peers;
  long long required_size = -1;
  long long reported_size = -1;
};

struct Adapter {
  std::wstring name;
};

LONG g_opened = 0;
LONG g_closed = 0;

std::wstring OwnFolder() {
  HMODULE self = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnFolder), &self);
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(self, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.rfind(L'\\'));
}

Script ReadScript() {
  Script s;
  for (const tovra::testing::ScriptLine& line :
       tovra::testing::ReadScriptLines(OwnFolder() + L"\\" + kStandInScriptName)) {
    if (line.key == "adapter") {
      s.adapter = line.value;
    } else if (line.key == "required_size") {
      (void)tovra::testing::ParseScriptNumber(line.value, s.required_size);
    } else if (line.key == "reported_size") {
      (void)tovra::testing::ParseScriptNumber(line.value, s.reported_size);
    } else if (line.key == "peer") {
      PeerScript p;
      char comma = 0;
      std::istringstream fields(line.value);
      fields >> p.tx >> comma >> p.rx >> comma >> p.last_handshake >> comma >> p.allowed_ips;
      s.peers.push_back(p);
    }
  }
  return s;
}

bool AdapterExists(const Script& s, const std::wstring& name) {
  if (s.adapter == "present") return true;
  if (s.adapter != "tunnel") return false;
  HANDLE m = ::OpenMutexW(SYNCHRONIZE, FALSE, (std::wstring(kTunnelMutexPrefix) + name).c_str());
  if (m == nullptr) return false;
  ::CloseHandle(m);
  return true;
}

}  // namespace

extern "C" {

__declspec(dllexport) abi::AdapterHandle WINAPI WireGuardOpenAdapter(LPCWSTR name) {
  if (name == nullptr || !AdapterExists(ReadScript(), name)) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  ::InterlockedIncrement(&g_opened);
  return new (std::nothrow) Adapter{name};
}

__declspec(dllexport) VOID WINAPI WireGuardCloseAdapter(abi::AdapterHandle adapter) {
  if (adapter == nullptr) return;
  ::InterlockedIncrement(&g_closed);
  delete static_cast<Adapter*>(adapter);
}

#ifndef STANDIN_WITHOUT_GET_CONFIGURATION
__declspec(dllexport) BOOL WINAPI
    WireGuardGetConfiguration(abi::AdapterHandle adapter, abi::Interface* config, DWORD* bytes) {
  if (adapter == nullptr || bytes == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Script s = ReadScript();
  const std::vector<uint8_t> image =
      tovra::service::testing::BuildAdapterConfiguration(s.peers, kStandInPrivateKeyByte);
  const DWORD required =
      s.required_size >= 0 ? static_cast<DWORD>(s.required_size) : static_cast<DWORD>(image.size());
  if (config == nullptr || *bytes < required) {
    *bytes = required;
    ::SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  const size_t n = image.size() < *bytes ? image.size() : *bytes;
  std::memcpy(config, image.data(), n);
  *bytes =
      s.reported_size >= 0 ? static_cast<DWORD>(s.reported_size) : static_cast<DWORD>(image.size());
  return TRUE;
}
#endif

__declspec(dllexport) LONG WINAPI StandInOpenCount() {
  return g_opened;
}
__declspec(dllexport) LONG WINAPI StandInCloseCount() {
  return g_closed;
}

}  // extern "C"
