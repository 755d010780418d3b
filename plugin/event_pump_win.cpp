#include "plugin/event_pump_win.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "common/log/log.h"

namespace tovra_windows_vpn {

namespace {

// How long destruction lets a poller that is between probes end before leaving it
// to end on its own.
constexpr auto kStopGrace = std::chrono::milliseconds(200);

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

struct EventPump::Shared {
  std::shared_ptr<AgentClient> client;
  ProbeBackoff backoff;  // the poller thread's only
  std::mutex mutex;      // guards everything below
  std::condition_variable changed;
  HWND window = nullptr;  // cleared at the stop request, before the window goes
  std::deque<TovraNativeEvent> queue;
  bool stop = false;
  bool poller_ended = false;

  // Queues an event and wakes the platform thread. The window is posted to under
  // the lock, so it cannot be destroyed between the check and the post.
  void Push(std::string_view type) {
    std::lock_guard lock(mutex);
    // Without a window nothing would ever drain the queue: drop the event rather
    // than let the queue grow for the plugin's whole life.
    if (stop || window == nullptr) return;
    queue.push_back(TovraNativeEvent{std::string(type), std::string(), NowUnixMs()});
    ::PostMessageW(window, kEventPumpWakeMessage, 0, 0);
  }

  // True when the stop request came during the wait.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex);
    return changed.wait_until(lock, deadline, [&] { return stop; });
  }

  bool stopped() {
    std::lock_guard lock(mutex);
    return stop;
  }
};

namespace {

// The poller thread's entry: nothing escapes it. A failed pass is logged and the
// next one comes a base period later, as after a probe that found the Agent gone.
void Poll(const std::shared_ptr<EventPump::Shared>& shared) noexcept {
  using tovra::common::Log;
  using tovra::common::LogLevel;
  try {
    ProbeEventTracker tracker;
    while (!shared->stopped()) {
      uint32_t pause_ms = kProbePeriodMs;
      try {
        const AgentProbe probe = shared->client->Probe();
        for (std::string_view type :
             tracker.Next(probe.agent_connected, probe.service_connected, probe.generation)) {
          shared->Push(type);
        }
        const ProbeStep step = shared->backoff.Next(probe.agent_connected, probe.last_status);
        pause_ms = step.pause_ms;
        if (step.failures > 0) {
          Log(LogLevel::Warn, ProbeFailureLine(probe.last_status, step));
        } else if (step.recovered) {
          Log(LogLevel::Info, L"event poller: agent reached again");
        }
      } catch (...) {
        Log(LogLevel::Error, L"event poller: probe failed");
      }
      // The pause runs from the end of the probe: probe time adds to it.
      if (shared->WaitUntil(std::chrono::steady_clock::now() +
                            std::chrono::milliseconds(pause_ms))) {
        break;
      }
    }
  } catch (...) {
    // Only the lock could throw here; the poller ends.
  }
  try {
    std::lock_guard lock(shared->mutex);
    shared->poller_ended = true;
    shared->changed.notify_all();
  } catch (...) {
  }
}

}  // namespace

EventPump::EventPump(flutter::BinaryMessenger* messenger, std::shared_ptr<AgentClient> client,
                     ProbeBackoff backoff)
    : flutter_api_(std::make_unique<TovraWindowsVpnFlutterApi>(messenger)),
      shared_(std::make_shared<Shared>()) {
  shared_->client = std::move(client);
  shared_->backoff = backoff;
  RegisterWindowClassOnce();
  window_ = ::CreateWindowExW(0, kEventPumpWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (window_ != nullptr) {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    shared_->window = window_;
  }
}

EventPump::~EventPump() {
  {
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->window = nullptr;
    shared_->queue.clear();
    shared_->changed.notify_all();
    // A poller waiting between probes ends at once; one inside a probe is left to
    // end on its own, holding what it uses.
    if (poller_started_) {
      shared_->changed.wait_for(lock, kStopGrace, [&] { return shared_->poller_ended; });
    }
  }
  if (window_ != nullptr) {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
}

void EventPump::Start() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true)) return;
  std::thread([shared = shared_] { Poll(shared); }).detach();
  poller_started_ = true;
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

void EventPump::Drain() {
  std::deque<TovraNativeEvent> local;
  {
    std::lock_guard lock(shared_->mutex);
    local.swap(shared_->queue);
  }
  for (const auto& event : local) {
    flutter_api_->OnNativeEvent(
        event, [] {}, [](const FlutterError&) {});
  }
}

}  // namespace tovra_windows_vpn
