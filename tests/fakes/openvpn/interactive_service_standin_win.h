// The OpenVPN runtime stand-ins (openvpn_runtime_standin.h) laid out for a test:
// both programs copied into a folder the test chooses, the script beside them,
// the Interactive Service stand-in registered and started as
// "OpenVPNServiceInteractive", and a squatter on its pipe when asked for.
//
// The destructor puts the machine back: it ends the squatter and every
// openvpn.exe started from the folder, stops and deletes the service (only when
// this instance created it) and removes the files it copied or the stand-ins
// wrote there (the folder too when it created it and it is then empty).
//
// The service name and pipe name are machine-wide in a Wine prefix, so tests
// using this take a prefix of their own (tovra_wine_machine in CMake). One
// instance at a time, on one thread. Failures are
// false or nothing; nothing throws.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fakes/openvpn/openvpn_runtime_standin.h"
#include "tests/support/child_process_win.h"

namespace tovra::testing {

class OpenVpnRuntimeStandIn {
 public:
  // Nothing happens before Install().
  explicit OpenVpnRuntimeStandIn(std::wstring folder);
  ~OpenVpnRuntimeStandIn();
  OpenVpnRuntimeStandIn(const OpenVpnRuntimeStandIn&) = delete;
  OpenVpnRuntimeStandIn& operator=(const OpenVpnRuntimeStandIn&) = delete;

  // Where the build put both programs.
  static std::wstring BuiltFolder();

  const std::wstring& folder() const { return folder_; }
  // "<folder>\openvpn.exe": what the OpenVPN installation records as exe_path.
  std::wstring OpenVpnExePath() const;
  std::wstring ServiceExePath() const;

  // Creates the folder when missing, copies both programs into it and writes
  // the script.
  [[nodiscard]] bool Install(std::string_view script = {});
  // Replaces the script: openvpn.exe reads it when it starts, the service for
  // every client (is_no_pipe when it starts).
  [[nodiscard]] bool WriteScript(std::string_view script);

  // Registers the copied service program as "OpenVPNServiceInteractive"
  // (removing a leftover registration first) and starts it; true once it is
  // RUNNING, which it reports after its pipe exists.
  [[nodiscard]] bool StartService(uint32_t timeout_ms = 20000);
  // Stops and deletes the service; true once it is gone.
  bool RemoveService(uint32_t timeout_ms = 20000);
  // The process id of the running service; 0 when it is not running.
  static uint32_t ServiceProcessId();

  // The lines openvpn.exe recorded so far (kOpenVpnStandInSeenName).
  std::vector<std::string> SeenLines() const;
  // The value of the last "key=value" line with this key.
  std::optional<std::string> SeenValue(std::string_view key) const;
  // The "command=" values, in order.
  std::vector<std::string> SeenCommands() const;
  // Everything the stand-ins wrote (seen lines), for checking that no secret is there.
  std::string SeenText() const;
  void ClearSeen();

  // Waits for the openvpn.exe with this id to end; its exit code, or nothing
  // while it still runs or when there is no such process. The service keeps
  // the handles of what it started, so the code stays readable after the end.
  static std::optional<uint32_t> WaitForOpenVpnExit(uint32_t pid, uint32_t timeout_ms);
  // Ends every openvpn.exe running from this folder; how many were ended.
  int KillOpenVpnProcesses();

  // Starts a squatter on the Interactive Service's pipe; true once its pipe
  // instance exists.
  [[nodiscard]] bool StartSquatter();
  uint32_t squatter_pid() const { return squatter_.pid(); }
  // Waits for the squatter to end (after its first client or its lifetime):
  // the number of bytes it received; nothing when it did not end in time or
  // recorded no count.
  std::optional<uint64_t> WaitForSquatter(uint32_t timeout_ms);
  // Whether a client connected to the squatter (after it ended).
  bool SquatterWasConnected() const;
  void StopSquatter();

 private:
  std::wstring PathOf(const wchar_t* name) const;

  std::wstring folder_;
  bool created_folder_ = false;
  bool created_service_ = false;
  ChildProcess squatter_;
};

}  // namespace tovra::testing
