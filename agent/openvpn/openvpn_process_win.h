// The openvpn.exe that the Interactive Service started for one attempt, and the
// named exit event it was told to watch.
//
// Owned by the coordinator. Every method takes the process lock for its
// bookkeeping only; StopProcess may run on the Agent's main thread (a user stop)
// and on the attempt thread (its own teardown) at once: whoever comes first
// takes the handles and the id out under the lock and does the slow part
// (signal, wait, terminate) outside it; the other finds nothing and returns.
// Findings about the adopted process (image, session) are logged, never fatal.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "agent/openvpn/openvpn_parts.h"
#include "common/win/handles_win.h"

namespace tovra::agent::openvpn {

class OpenVpnProcessWin final : public OpenVpnProcessControl {
 public:
  // `openvpn_exe_path`: the installation's openvpn.exe, compared with the
  // adopted process's image; `agent_session_id`: this Agent's session.
  OpenVpnProcessWin(std::wstring openvpn_exe_path, uint32_t agent_session_id);
  ~OpenVpnProcessWin() override = default;
  OpenVpnProcessWin(const OpenVpnProcessWin&) = delete;
  OpenVpnProcessWin& operator=(const OpenVpnProcessWin&) = delete;

  // A name already in use is refused: its event could be signalled already or
  // belong to someone else.
  bool CreateExitEvent(const std::wstring& name) override;
  void CloseExitEvent() override;
  void AdoptProcess(uint32_t pid) override;
  uint32_t process_id() override;
  bool HasExited() override;
  void StopProcess(uint32_t wait_ms) override;

 private:
  const std::wstring openvpn_exe_path_;
  const uint32_t agent_session_id_;

  std::mutex mutex_;  // the process lock
  common::UniqueHandle process_;
  common::UniqueHandle exit_event_;
  uint32_t process_id_ = 0;
};

}  // namespace tovra::agent::openvpn
