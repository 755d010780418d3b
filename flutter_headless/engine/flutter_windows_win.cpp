// The Windows-only exports: views (a headless engine has none) and top-level window
// procedure delegates, which the host can exercise through
// FlutterHeadlessEngineDispatchTopLevelMessage.
#include <flutter_headless.h>
#include <flutter_windows.h>

#include <algorithm>

#include "engine.h"

extern "C" {

FLUTTER_EXPORT FlutterDesktopViewRef
FlutterDesktopPluginRegistrarGetView(FlutterDesktopPluginRegistrarRef) {
  return nullptr;
}

FLUTTER_EXPORT HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef) {
  return nullptr;
}

FLUTTER_EXPORT void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate,
    void* user_data) {
  if (!registrar || !delegate) return;
  registrar->window_proc_delegates.push_back(
      FlutterHeadlessWindowProcDelegate{reinterpret_cast<void (*)()>(delegate), user_data});
}

FLUTTER_EXPORT void FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate) {
  if (!registrar) return;
  auto& list = registrar->window_proc_delegates;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [delegate](const FlutterHeadlessWindowProcDelegate& d) {
                              return d.callback == reinterpret_cast<void (*)()>(delegate);
                            }),
             list.end());
}

FLUTTER_EXPORT bool FlutterHeadlessEngineDispatchTopLevelMessage(FlutterHeadlessEngineRef engine,
                                                                 void* hwnd, uint32_t message,
                                                                 uint64_t wparam, int64_t lparam,
                                                                 int64_t* result) {
  if (!engine || !engine->engine || !result) return false;
  for (FlutterDesktopPluginRegistrarRef registrar : engine->engine->Registrars()) {
    // A copy: a delegate may unregister itself.
    const std::vector<FlutterHeadlessWindowProcDelegate> delegates =
        registrar->window_proc_delegates;
    for (const FlutterHeadlessWindowProcDelegate& d : delegates) {
      LRESULT r = 0;
      auto callback = reinterpret_cast<FlutterDesktopWindowProcCallback>(d.callback);
      if (callback(static_cast<HWND>(hwnd), message, static_cast<WPARAM>(wparam),
                   static_cast<LPARAM>(lparam), d.user_data, &r)) {
        *result = r;
        return true;
      }
    }
  }
  return false;
}

}  // extern "C"
