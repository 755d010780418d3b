#include "test_plugin_loader.h"

extern "C" void HeadlessTestPluginRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar);
extern "C" int32_t HeadlessTestPluginLiveCount();

bool LoadTestPlugin(TestPluginApi* api) {
  api->register_with_registrar = HeadlessTestPluginRegisterWithRegistrar;
  api->live_count = HeadlessTestPluginLiveCount;
  return true;
}
