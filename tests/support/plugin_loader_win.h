// Loads the plugin DLL the way an app does: from an app folder holding copies of
// the plugin, the engine and (optionally) the Agent. Each folder is laid out and
// loaded once per test process and never unloaded, since plugin worker threads
// may outlive a test's engine.
#pragma once

#include <windows.h>

#include <flutter_windows.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/child_process_win.h"

namespace tovra::testing {

using PluginRegisterFn = void (*)(FlutterDesktopPluginRegistrarRef);

// The plugin's registration export from the app folder `stem`, or null.
inline PluginRegisterFn LoadPluginFromAppFolder(const std::wstring& stem, bool with_agent) {
  static std::map<std::wstring, PluginRegisterFn> loaded;
  const std::wstring key = stem + (with_agent ? L"+agent" : L"");
  if (auto it = loaded.find(key); it != loaded.end() && it->second) return it->second;
  const std::filesystem::path plugin = TestEnv(L"TOVRA_PLUGIN_DLL");
  const std::filesystem::path dir = LayOutAppFolder(stem, with_agent, false);
  HMODULE module =
      ::LoadLibraryExW((dir / plugin.filename()).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return nullptr;
  auto fn = reinterpret_cast<PluginRegisterFn>(reinterpret_cast<void*>(
      ::GetProcAddress(module, "TovraWindowsVpnPluginCApiRegisterWithRegistrar")));
  loaded[key] = fn;
  return fn;
}

}  // namespace tovra::testing
