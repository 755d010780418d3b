// The C++ face of the engine's plugin registrar: owns the plugins registered on it
// and the binary messenger they use.
//
// Threading: every member is for the platform thread.
#ifndef FLUTTER_HEADLESS_PLUGIN_REGISTRAR_H_
#define FLUTTER_HEADLESS_PLUGIN_REGISTRAR_H_

#include <flutter_plugin_registrar.h>

#include <map>
#include <memory>
#include <set>
#include <string>

#include "binary_messenger.h"

namespace flutter {

class Plugin {
 public:
  virtual ~Plugin() = default;
};

class PluginRegistrar {
 public:
  explicit PluginRegistrar(FlutterDesktopPluginRegistrarRef core_registrar);
  // Destroys the plugins first, then the messenger (which withdraws its channel
  // handlers from the engine, so none is left pointing at a destroyed plugin).
  virtual ~PluginRegistrar();

  PluginRegistrar(PluginRegistrar const&) = delete;
  PluginRegistrar& operator=(PluginRegistrar const&) = delete;

  BinaryMessenger* messenger() { return messenger_.get(); }

  // Keeps the plugin alive until the registrar is destroyed.
  void AddPlugin(std::unique_ptr<Plugin> plugin);

 protected:
  FlutterDesktopPluginRegistrarRef registrar() const { return registrar_; }

  // Destroys the plugins now; subclasses call it first in their destructors when
  // their own members must outlive the plugins.
  void ClearPlugins();

 private:
  FlutterDesktopPluginRegistrarRef registrar_;
  std::unique_ptr<BinaryMessenger> messenger_;
  std::set<std::unique_ptr<Plugin>> plugins_;
};

// One registrar wrapper per engine registrar, created on first request and destroyed
// when the engine destroys its registrar.
class PluginRegistrarManager {
 public:
  static PluginRegistrarManager* GetInstance();

  PluginRegistrarManager(PluginRegistrarManager const&) = delete;
  PluginRegistrarManager& operator=(PluginRegistrarManager const&) = delete;

  // T is PluginRegistrar or a subclass of it; a handle keeps the type it was first
  // requested as.
  template <class T>
  T* GetRegistrar(FlutterDesktopPluginRegistrarRef registrar_ref) {
    auto it = registrars_.find(registrar_ref);
    if (it == registrars_.end()) {
      it = registrars_.emplace(registrar_ref, std::make_unique<T>(registrar_ref)).first;
      FlutterDesktopPluginRegistrarSetDestructionHandler(registrar_ref, OnRegistrarDestroyed);
    }
    return static_cast<T*>(it->second.get());
  }

  // Destroys every wrapper (for tests that outlive their engines).
  void Reset() { registrars_.clear(); }

 private:
  PluginRegistrarManager();

  using WrapperMap = std::map<FlutterDesktopPluginRegistrarRef, std::unique_ptr<PluginRegistrar>>;

  static void OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar);

  WrapperMap registrars_;
};

}  // namespace flutter

#endif  // FLUTTER_HEADLESS_PLUGIN_REGISTRAR_H_
