// zerkactl's Windows side: loads the plugin DLL as a Flutter app would, through
// the headless embedding, and plays Dart on its channels.
#pragma once

#include "tools/zerkactl/plugin_commands.h"

namespace tovra::tools {

// Installs the real plugin session factory and a console password prompt.
void InstallWindowsPluginHost();

}  // namespace tovra::tools
