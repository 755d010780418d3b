#include "plugin/event_pump_win.h"

#include <chrono>

namespace tovra_windows_vpn {

namespace {

constexpr int kWaitSlices = 20;
constexpr auto kSlice = std::chrono::milliseconds(100);

void RegisterWindowClassOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &EventPump::WindowProcThunk;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kEventPumpWindowClass;
    ::RegisterClassExW(&wc);
  });
}

int64_t NowUnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

EventPump::EventPump(flutter::BinaryMessenger* messenger, std::shared_ptr<AgentClient> client)
    : flutter_api_(std::make_unique<TovraWindowsVpnFlutterApi>(messenger)),
      client_(std::move(client)) {
  RegisterWindowClassOnce();
  window_ = ::CreateWindowExW(0, kEventPumpWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (window_ != nullptr) {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
}

EventPump::~EventPump() {
  stop_.exchange(true);
  if (poller_.joinable()) {
    // The poller cannot wait for itself; it ends on its own at the stop flag.
    if (poller_.get_id() != std::this_thread::get_id()) {
      poller_.join();
    } else {
      poller_.detach();
    }
  }
  if (window_ != nullptr) {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
  std::lock_guard lock(queue_mutex_);
  queue_.clear();
}

void EventPump::Start() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true)) return;
  poller_ = std::thread([this] { Poll(); });
}

LRESULT CALLBACK EventPump::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kEventPumpWakeMessage) {
    if (auto* pump = reinterpret_cast<EventPump*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
      pump->Drain();
    }
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

void EventPump::Push(std::string_view type) {
  // Without a window nothing would ever drain the queue: drop the event rather
  // than let the queue grow for the plugin's whole life.
  if (window_ == nullptr) return;
  {
    std::lock_guard lock(queue_mutex_);
    queue_.push_back(TovraNativeEvent{std::string(type), std::string(), NowUnixMs()});
  }
  ::PostMessageW(window_, kEventPumpWakeMessage, 0, 0);
}

void EventPump::Drain() {
  std::deque<TovraNativeEvent> local;
  {
    std::lock_guard lock(queue_mutex_);
    local.swap(queue_);
  }
  for (const auto& event : local) {
    flutter_api_->OnNativeEvent(event, [] {}, [](const FlutterError&) {});
  }
}

void EventPump::Poll() {
  if (stop_) return;
  ProbeEventTracker tracker;
  while (true) {
    const AgentProbe probe = client_->Probe();
    for (std::string_view type :
         tracker.Next(probe.agent_connected, probe.service_connected, probe.generation)) {
      Push(type);
    }
    for (int i = 0; i < kWaitSlices && !stop_; ++i) {
      std::this_thread::sleep_until(std::chrono::steady_clock::now() + kSlice);
    }
    if (stop_) return;
  }
}

}  // namespace tovra_windows_vpn
