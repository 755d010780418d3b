#include "tools/zerkactl/zerkactl.h"

#include <array>
#include <ostream>

#include "tools/zerkactl/validate_commands.h"

namespace tovra::tools {
namespace {

constexpr std::array<Subcommand, 2> kSubcommands = {{
    {"validate-wireguard", "FILE",
     "check a WireGuard configuration; print the rendered configuration when accepted",
     &RunValidateWireGuard},
    {"validate-openvpn", "FILE", "check an OpenVPN profile", &RunValidateOpenVpn},
}};

void PrintUsage(std::ostream& to) {
  to << "usage: zerkactl SUBCOMMAND [ARGS]\n\nsubcommands:\n";
  for (const Subcommand& s : kSubcommands) {
    to << "  " << s.name << ' ' << s.arguments << "\n      " << s.summary << '\n';
  }
  to << "\nexit codes: 0 success or accepted, 1 rejected, 2 usage or I/O error\n";
}

}  // namespace

std::span<const Subcommand> Subcommands() { return kSubcommands; }

int RunZerkactl(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    PrintUsage(err);
    return kExitUsage;
  }
  if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    PrintUsage(out);
    return kExitOk;
  }
  for (const Subcommand& s : kSubcommands) {
    if (args[0] == s.name) return s.run(args.subspan(1), out, err);
  }
  err << "zerkactl: unknown subcommand \"" << args[0] << "\"\n";
  PrintUsage(err);
  return kExitUsage;
}

}  // namespace tovra::tools
