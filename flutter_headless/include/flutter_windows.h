// The Windows-specific part of the engine's C API that plugins use: the view a
// registrar belongs to and top-level window message delegates.
#ifndef FLUTTER_HEADLESS_FLUTTER_WINDOWS_H_
#define FLUTTER_HEADLESS_FLUTTER_WINDOWS_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "flutter_export.h"
#include "flutter_messenger.h"
#include "flutter_plugin_registrar.h"

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct FlutterDesktopView* FlutterDesktopViewRef;

typedef bool (*FlutterDesktopWindowProcCallback)(HWND /* hwnd */, UINT /* uMsg */,
                                                 WPARAM /* wParam */, LPARAM /* lParam */,
                                                 void* /* user data */, LRESULT* result);

// A headless engine has no view: this returns NULL.
FLUTTER_EXPORT FlutterDesktopViewRef
FlutterDesktopPluginRegistrarGetView(FlutterDesktopPluginRegistrarRef registrar);

FLUTTER_EXPORT HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view);

FLUTTER_EXPORT void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate,
    void* user_data);

FLUTTER_EXPORT void FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_HEADLESS_FLUTTER_WINDOWS_H_
