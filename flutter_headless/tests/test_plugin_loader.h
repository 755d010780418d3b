// How the engine tests reach the test plugin: through LoadLibrary on Windows, as an
// app loads a plugin, and by direct linking natively.
#pragma once

#include <flutter_plugin_registrar.h>

#include <cstdint>

struct TestPluginApi {
  void (*register_with_registrar)(FlutterDesktopPluginRegistrarRef registrar) = nullptr;
  int32_t (*live_count)() = nullptr;
};

bool LoadTestPlugin(TestPluginApi* api);
