// The platform thread's Win32 loop. Wake-ups are a private message posted to a
// message-only window owned by this thread; waiting uses MsgWaitForMultipleObjectsEx
// so that messages for any window of the thread (a plugin's own message-only window
// included) are dispatched as in a real engine's run loop.
#include <windows.h>

#include <mutex>

#include "platform_loop.h"

namespace flutter_headless {

namespace {

constexpr UINT kWakeMessage = WM_APP + 0x51;
constexpr wchar_t kWindowClass[] = L"FlutterHeadlessPlatformLoop";

LRESULT CALLBACK WakeWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

class Win32Loop : public PlatformLoop {
 public:
  explicit Win32Loop(std::function<void()> run_tasks) : run_tasks_(std::move(run_tasks)) {}

  ~Win32Loop() override {
    if (window_) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      DestroyWindow(window_);
    }
  }

  bool Create() {
    static std::once_flag registered;
    std::call_once(registered, [] {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = WakeWindowProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = kWindowClass;
      RegisterClassW(&wc);
    });
    window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (!window_) return false;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return true;
  }

  void Wake() override { PostMessageW(window_, kWakeMessage, 0, 0); }

  void WaitAndDispatch(uint32_t max_wait_ms) override {
    MsgWaitForMultipleObjectsEx(0, nullptr, max_wait_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    // Also covers a wake-up whose PostMessage was refused (a full queue).
    run_tasks_();
  }

  void RunTasks() { run_tasks_(); }

 private:
  std::function<void()> run_tasks_;
  HWND window_ = nullptr;
};

LRESULT CALLBACK WakeWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kWakeMessage) {
    auto* loop = reinterpret_cast<Win32Loop*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (loop) loop->RunTasks();
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

std::unique_ptr<PlatformLoop> CreatePlatformLoop(std::function<void()> run_tasks) {
  auto loop = std::make_unique<Win32Loop>(std::move(run_tasks));
  if (!loop->Create()) return nullptr;
  return loop;
}

}  // namespace flutter_headless
