#include "tools/zerkactl/zerkactl.h"

#include <array>
#include <utility>
#include <vector>
#include <ostream>

#include "tools/zerkactl/plugin_commands.h"
#include "tools/zerkactl/validate_commands.h"

namespace tovra::tools {
namespace {

template <size_t I>
int RunPluginEntry(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  return RunPluginCommand(PluginCommands()[I].name, args, out, err);
}

template <size_t... I>
void AddPluginCommands(std::vector<Subcommand>& table, std::index_sequence<I...>) {
  (table.push_back({PluginCommands()[I].name, PluginCommands()[I].arguments,
                    PluginCommands()[I].summary, &RunPluginEntry<I>}),
   ...);
}

const std::vector<Subcommand>& Table() {
  static const std::vector<Subcommand> table = [] {
    std::vector<Subcommand> t = {
        {"validate-wireguard", "FILE",
         "check a WireGuard configuration; print the rendered configuration when accepted",
         &RunValidateWireGuard},
        {"validate-openvpn", "FILE", "check an OpenVPN profile", &RunValidateOpenVpn},
    };
    AddPluginCommands(t, std::make_index_sequence<kPluginCommandCount>());
    return t;
  }();
  return table;
}

void PrintUsage(std::ostream& to) {
  to << "usage: zerkactl SUBCOMMAND [ARGS]\n\nsubcommands:\n";
  for (const Subcommand& s : Table()) {
    to << "  " << s.name << ' ' << s.arguments << "\n      " << s.summary << '\n';
  }
  to << "\nexit codes: 0 success or accepted, 1 rejected, 2 usage or I/O error\n";
}

}  // namespace

std::span<const Subcommand> Subcommands() {
  return Table();
}

int RunZerkactl(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    PrintUsage(err);
    return kExitUsage;
  }
  if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    PrintUsage(out);
    return kExitOk;
  }
  for (const Subcommand& s : Table()) {
    if (args[0] == s.name) return s.run(args.subspan(1), out, err);
  }
  err << "zerkactl: unknown subcommand \"" << args[0] << "\"\n";
  PrintUsage(err);
  return kExitUsage;
}

}  // namespace tovra::tools
