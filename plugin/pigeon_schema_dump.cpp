// Prints the plugin's Dart-facing surface as JSON, for scripts that compare it
// with the package's Pigeon definition.
#include <cstdio>

#include "plugin/pigeon_schema.h"

int main() {
  const std::string json =
      tovra_windows_vpn::schema::ToJson(tovra_windows_vpn::schema::PigeonSchema());
  return std::fwrite(json.data(), 1, json.size(), stdout) == json.size() ? 0 : 1;
}
