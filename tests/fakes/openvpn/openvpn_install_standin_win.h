// A stand-in OpenVPN installation for tests under Wine: the registry values an
// installation records under HKLM "SOFTWARE\OpenVPN" (64-bit view), its
// configuration folder "<Program Files>\openvpn\config\", and optionally the
// automatic-connection service "OpenVPNService".
//
// The constructor only records what is there; each call changes one thing, and
// the destructor puts back everything changed (values, folders it created with
// what they hold, the service). What it changes is machine-wide in a Wine
// prefix, so tests using it take a prefix of their own (tovra_wine_machine in
// CMake). One instance at a time, on one thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovra::testing {

class OpenVpnInstallStandIn {
 public:
  OpenVpnInstallStandIn();
  ~OpenVpnInstallStandIn();
  OpenVpnInstallStandIn(const OpenVpnInstallStandIn&) = delete;
  OpenVpnInstallStandIn& operator=(const OpenVpnInstallStandIn&) = delete;

  // "<Program Files>\openvpn\config\" (the final "\" included).
  static std::wstring StandardConfigDir();
  // "<Program Files>\openvpn\bin\openvpn.exe".
  static std::wstring StandardExePath();

  // A good installation: the configuration folder exists, "config_dir" and
  // "exe_path" name it and `exe_path`. No "OpenVPNService".
  [[nodiscard]] bool Install(const std::wstring& exe_path = StandardExePath());

  // "config_dir" as a REG_SZ string (with its NUL), or removed.
  [[nodiscard]] bool SetConfigDir(const std::optional<std::wstring>& value);
  // "config_dir" with exactly these bytes and this type (strings without a NUL,
  // oversized values, other types).
  [[nodiscard]] bool SetConfigDirRaw(DWORD type, const std::vector<uint8_t>& bytes);
  [[nodiscard]] bool SetExePath(const std::wstring& value);

  // Removes the configuration folder with what it holds.
  [[nodiscard]] bool RemoveConfigFolder();

  // Creates "OpenVPNService" (or reconfigures it when it exists) with this
  // start type, never started; its binary is this test program.
  [[nodiscard]] bool InstallAutoConnectService(DWORD start_type);
  [[nodiscard]] bool RemoveAutoConnectService();

 private:
  struct SavedValue {
    std::wstring name;
    bool existed = false;
    DWORD type = 0;
    std::vector<uint8_t> bytes;
  };
  [[nodiscard]] bool SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
  [[nodiscard]] bool EnsureFolders();
  void Restore();

  bool key_existed_ = false;
  std::vector<SavedValue> saved_;
  std::vector<std::wstring> created_folders_;  // outermost first
  bool service_existed_ = false;
  DWORD service_start_type_ = SERVICE_DEMAND_START;
  bool service_touched_ = false;
};

}  // namespace tovra::testing
