//
//  Generated file. Do not edit.
//

#include "generated_plugin_registrant.h"

#include <tovra_windows_vpn/tovra_windows_vpn_plugin_c_api.h>

void RegisterPlugins(flutter::PluginRegistry* registry) {
  TovraWindowsVpnPluginCApiRegisterWithRegistrar(
      registry->GetRegistrarForPlugin("TovraWindowsVpnPluginCApi"));
}
