// The registry an app's generated plugin registrant is handed: one engine
// registrar per plugin name. A host implements it over its engine.
#pragma once

#include <flutter_plugin_registrar.h>

#include <string>

namespace flutter {

class PluginRegistry {
 public:
  PluginRegistry() = default;
  virtual ~PluginRegistry() = default;

  PluginRegistry(PluginRegistry const&) = delete;
  PluginRegistry& operator=(PluginRegistry const&) = delete;

  // The registrar for `plugin_name`, owned by the engine.
  virtual FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(
      const std::string& plugin_name) = 0;
};

}  // namespace flutter
