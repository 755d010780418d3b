#include <windows.h>

#include "test_plugin_loader.h"

bool LoadTestPlugin(TestPluginApi* api) {
  // Loaded once and never unloaded: plugin worker threads may outlive a test.
  static HMODULE module = LoadLibraryW(L"headless_test_plugin.dll");
  if (!module) return false;
  api->register_with_registrar = reinterpret_cast<void (*)(FlutterDesktopPluginRegistrarRef)>(
      reinterpret_cast<void*>(GetProcAddress(module, "HeadlessTestPluginRegisterWithRegistrar")));
  api->live_count = reinterpret_cast<int32_t (*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "HeadlessTestPluginLiveCount")));
  return api->register_with_registrar && api->live_count;
}
