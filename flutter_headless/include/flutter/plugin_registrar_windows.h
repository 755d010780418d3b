// The Windows registrar: adds the view and top-level window message delegates.
//
// Threading: every member is for the platform thread.
#ifndef FLUTTER_HEADLESS_PLUGIN_REGISTRAR_WINDOWS_H_
#define FLUTTER_HEADLESS_PLUGIN_REGISTRAR_WINDOWS_H_

#include <flutter_windows.h>
#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "flutter_view.h"
#include "plugin_registrar.h"

namespace flutter {

// Returns a result to claim the message, or nullopt to let others see it.
using WindowProcDelegate =
    std::function<std::optional<LRESULT>(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)>;

class PluginRegistrarWindows : public PluginRegistrar {
 public:
  explicit PluginRegistrarWindows(FlutterDesktopPluginRegistrarRef core_registrar)
      : PluginRegistrar(core_registrar) {
    FlutterDesktopViewRef view = FlutterDesktopPluginRegistrarGetView(core_registrar);
    if (view) {
      view_ = std::make_unique<FlutterView>(view);
    }
  }

  virtual ~PluginRegistrarWindows() {
    // Plugins may still unregister their delegates while being destroyed.
    ClearPlugins();
    if (!window_proc_delegates_.empty()) {
      FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(registrar(),
                                                                        OnTopLevelWindowProc);
    }
  }

  PluginRegistrarWindows(PluginRegistrarWindows const&) = delete;
  PluginRegistrarWindows& operator=(PluginRegistrarWindows const&) = delete;

  // Null for a headless engine.
  FlutterView* GetView() { return view_.get(); }

  int RegisterTopLevelWindowProcDelegate(WindowProcDelegate delegate) {
    if (window_proc_delegates_.empty()) {
      FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(registrar(),
                                                                      OnTopLevelWindowProc, this);
    }
    const int id = next_window_proc_delegate_id_++;
    window_proc_delegates_.emplace(id, std::move(delegate));
    return id;
  }

  void UnregisterTopLevelWindowProcDelegate(int proc_id) {
    window_proc_delegates_.erase(proc_id);
    if (window_proc_delegates_.empty()) {
      FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(registrar(),
                                                                        OnTopLevelWindowProc);
    }
  }

 private:
  static bool OnTopLevelWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                   void* user_data, LRESULT* result) {
    return static_cast<PluginRegistrarWindows*>(user_data)->CallTopLevelWindowProcDelegates(
        hwnd, message, wparam, lparam, result);
  }

  bool CallTopLevelWindowProcDelegates(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                       LRESULT* result) {
    // Every delegate sees the message; the first answer wins. A copy, because a
    // delegate may unregister itself.
    const std::map<int, WindowProcDelegate> delegates = window_proc_delegates_;
    std::optional<LRESULT> answer;
    for (const auto& [id, delegate] : delegates) {
      std::optional<LRESULT> r = delegate(hwnd, message, wparam, lparam);
      if (r && !answer) {
        answer = r;
      }
    }
    if (answer) {
      *result = *answer;
    }
    return answer.has_value();
  }

  std::unique_ptr<FlutterView> view_;
  std::map<int, WindowProcDelegate> window_proc_delegates_;
  int next_window_proc_delegate_id_ = 1;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_PLUGIN_REGISTRAR_WINDOWS_H_
