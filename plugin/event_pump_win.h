// Connectivity events for Dart. A poller thread probes the Agent every 2 s through
// the shared client, turns changes into events and posts them to a message-only
// window, whose procedure runs on the Flutter platform thread (the thread that
// created the pump) and delivers them through onNativeEvent. While the Agent
// cannot be reached (missing, not starting, never serving its pipe) the poller
// backs off (ProbeBackoff): each failed probe may start an Agent and logs a line,
// so the pause doubles up to a minute and one line is logged per step. Dart's
// own calls are not held back: each still starts the Agent when it is missing.
//
// Created and destroyed on the platform thread. Destruction never waits for a
// probe (which may wait for the client's lock for over a minute): the poller
// shares its state, its client included, and ends on its own at the stop request,
// at once while it waits between probes, otherwise when its probe returns. From
// the stop request on it posts nothing, so no event reaches a destroyed window or
// Flutter API.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string_view>

#include "plugin/agent_client_win.h"
#include "plugin/pigeon_api.h"
#include "plugin/plugin_rules.h"

namespace tovra_windows_vpn {

inline constexpr UINT kEventPumpWakeMessage = WM_USER + 7;
inline constexpr wchar_t kEventPumpWindowClass[] = L"TovraWindowsVpnEventPump";

class EventPump {
 public:
  // `backoff` sets the poller's pauses (tests shorten them).
  EventPump(flutter::BinaryMessenger* messenger, std::shared_ptr<AgentClient> client,
            ProbeBackoff backoff = ProbeBackoff());
  ~EventPump();
  EventPump(const EventPump&) = delete;
  EventPump& operator=(const EventPump&) = delete;

  // Starts the poller the first time; later calls do nothing. Throws
  // std::system_error when the thread cannot be created.
  void Start();

  bool has_window() const { return window_ != nullptr; }

  // The window class's procedure.
  static LRESULT CALLBACK WindowProcThunk(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    return WindowProc(hwnd, message, wparam, lparam);
  }

  // What the poller thread shares with the pump.
  struct Shared;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void Drain();

  std::unique_ptr<TovraWindowsVpnFlutterApi> flutter_api_;
  HWND window_ = nullptr;
  std::shared_ptr<Shared> shared_;
  std::atomic<bool> started_{false};
  bool poller_started_ = false;  // platform thread only
};

}  // namespace tovra_windows_vpn
