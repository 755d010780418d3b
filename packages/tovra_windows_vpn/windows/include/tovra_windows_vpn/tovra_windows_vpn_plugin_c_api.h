#ifndef TOVRA_WINDOWS_VPN_PLUGIN_C_API_H_
#define TOVRA_WINDOWS_VPN_PLUGIN_C_API_H_

#include <flutter_plugin_registrar.h>

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __declspec(dllexport)
#else
#define FLUTTER_PLUGIN_EXPORT __declspec(dllimport)
#endif

#if defined(__cplusplus)
extern "C" {
#endif

// Registers the plugin with the engine's registrar for it.
FLUTTER_PLUGIN_EXPORT void TovraWindowsVpnPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // TOVRA_WINDOWS_VPN_PLUGIN_C_API_H_
