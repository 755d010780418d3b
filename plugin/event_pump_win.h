// Connectivity events for Dart. A poller thread probes the Agent every 2 s through
// the shared client, turns changes into events and posts them to a message-only
// window, whose procedure runs on the Flutter platform thread (the thread that
// created the pump) and delivers them through onNativeEvent.
//
// Created and destroyed on the platform thread. Destruction stops the poller
// (within about 100 ms while it waits) before anything it uses goes away.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "plugin/agent_client_win.h"
#include "plugin/pigeon_api.h"

namespace tovra_windows_vpn {

inline constexpr UINT kEventPumpWakeMessage = WM_USER + 7;
inline constexpr wchar_t kEventPumpWindowClass[] = L"TovraWindowsVpnEventPump";

class EventPump {
 public:
  EventPump(flutter::BinaryMessenger* messenger, std::shared_ptr<AgentClient> client);
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

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void Poll();
  void Push(std::string_view type);
  void Drain();

  std::unique_ptr<TovraWindowsVpnFlutterApi> flutter_api_;
  std::shared_ptr<AgentClient> client_;
  HWND window_ = nullptr;
  std::mutex queue_mutex_;
  std::deque<TovraNativeEvent> queue_;
  std::thread poller_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> started_{false};
};

}  // namespace tovra_windows_vpn
