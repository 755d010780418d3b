#include "tools/zerkactl/plugin_commands.h"

#include <array>
#include <cstdlib>
#include <ostream>
#include <type_traits>

#include "common/base/scope_exit.h"
#include "common/base/secure_zero.h"
#include "plugin/pigeon_api.h"
#include "tools/zerkactl/result_output.h"
#include "tools/zerkactl/validate_commands.h"
#include "tools/zerkactl/zerkactl.h"

namespace tovra::tools {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using namespace tovra_windows_vpn;

namespace {

constexpr size_t kMaxInputFile = 1 << 20;
constexpr uint32_t kDefaultEventSeconds = 10;
constexpr unsigned long kMaxEventSeconds = 86400;
constexpr int kExitPluginError = 1;

PluginSessionFactory& Factory() {
  static PluginSessionFactory factory;
  return factory;
}

SecretPrompt& Prompt() {
  static SecretPrompt prompt;
  return prompt;
}

// What a subcommand's one positional argument is; read before the plugin is
// loaded, so a usage error never loads it.
enum class Input { none, file, seconds };

// Everything a subcommand's handler works with, its inputs already read.
struct CommandContext {
  PluginSession& session;
  std::string_view method;  // the host method the row names
  bool json;
  std::ostream& out;
  std::ostream& err;
  std::string& file;  // Input::file: the file's bytes; may hold a private key
  uint32_t seconds;   // Input::seconds
};

using CommandHandler = int (*)(CommandContext&);

struct PluginCommand {
  PluginCommandInfo info;
  Input input;
  std::string_view method;
  CommandHandler run;
};

template <typename T>
[[nodiscard]] bool Extract(const EncodableValue& v, T& out) {
  if constexpr (std::is_same_v<T, bool>) {
    if (!std::holds_alternative<bool>(v)) return false;
    out = std::get<bool>(v);
    return true;
  } else {
    const auto* custom = std::get_if<CustomEncodableValue>(&v);
    if (custom == nullptr) return false;
    const std::any& a = *custom;
    if (a.type() != typeid(T)) return false;
    out = std::any_cast<T>(a);
    return true;
  }
}

int Fail(const CommandContext& c, const PluginReply& reply) {
  if (reply.kind == PluginReply::Kind::error) {
    PrintPluginError(c.out, c.err, c.json, reply.code, reply.message);
  } else {
    c.err << "zerkactl: no usable reply from the plugin\n";
  }
  return kExitPluginError;
}

template <typename T>
int CallAndPrintWith(CommandContext& c, const EncodableList& args) {
  const std::string method(c.method);
  const PluginReply reply = c.session.Call(method, args);
  if (reply.kind != PluginReply::Kind::value) return Fail(c, reply);
  T value{};
  if (!Extract(reply.value, value)) {
    c.err << "zerkactl: unexpected reply type from " << method << '\n';
    return kExitPluginError;
  }
  Print(c.out, c.json, value);
  return kExitOk;
}

template <typename T>
int CallAndPrint(CommandContext& c) {
  return CallAndPrintWith<T>(c, {});
}

std::string EnvOr(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

int StartWireGuard(CommandContext& c) {
  EncodableList call_args{EncodableValue(c.file)};
  common::SecureZero(c.file);
  const int rc = CallAndPrintWith<TovraWireGuardStatus>(c, call_args);
  common::SecureZero(std::get<std::string>(call_args[0]));
  return rc;
}

int StartOpenVpn(CommandContext& c) {
  std::string username = EnvOr("ZERKA_OPENVPN_USERNAME");
  std::string password = EnvOr("ZERKA_OPENVPN_PASSWORD");
  if (username.empty() && Prompt()) username = Prompt()("username: ");
  if (password.empty() && Prompt()) password = Prompt()("password: ");
  EncodableList call_args{EncodableValue(c.file), EncodableValue(username),
                          EncodableValue(password)};
  common::SecureZero(c.file);
  common::SecureZero(password);
  const int rc = CallAndPrintWith<TovraOpenVpnStatus>(c, call_args);
  common::SecureZero(std::get<std::string>(call_args[0]));
  common::SecureZero(std::get<std::string>(call_args[2]));
  return rc;
}

int ListenForEvents(CommandContext& c) {
  const PluginReply reply = c.session.Call(std::string(c.method), {});
  if (reply.kind != PluginReply::Kind::value) return Fail(c, reply);
  if (!c.json) c.out << "listening for events for " << c.seconds << "s\n" << std::flush;
  c.session.PumpEvents(c.seconds * 1000,
                       [&](const TovraNativeEvent& e) { Print(c.out, c.json, e); });
  return kExitOk;
}

// The one list of subcommands: help, argument checks and dispatch all read it.
constexpr std::array<PluginCommand, kPluginCommandCount> kCommands = {{
    {{"is-available", "", "whether the Agent and, through it, the Service answer"},
     Input::none,
     "isAvailable",
     &CallAndPrint<bool>},
    {{"health", "", "the plugin's view: Agent and Service reachability, last error"},
     Input::none,
     "getHealth",
     &CallAndPrint<TovraNativeHealth>},
    {{"agent-health", "", "the Agent's own health record"},
     Input::none,
     "getAgentHealth",
     &CallAndPrint<TovraAgentHealth>},
    {{"service-health", "", "the Service's health record, through the Agent"},
     Input::none,
     "getServiceHealth",
     &CallAndPrint<TovraServiceHealth>},
    {{"wireguard-start", "FILE", "bring the WireGuard tunnel up with the configuration in FILE"},
     Input::file,
     "startWireGuard",
     &StartWireGuard},
    {{"wireguard-stop", "", "bring the WireGuard tunnel down"},
     Input::none,
     "stopWireGuard",
     &CallAndPrint<TovraWireGuardStatus>},
    {{"wireguard-status", "", "the WireGuard tunnel's status"},
     Input::none,
     "wireGuardStatus",
     &CallAndPrint<TovraWireGuardStatus>},
    {{"openvpn-capabilities", "", "what the Agent found of the OpenVPN installation"},
     Input::none,
     "getOpenVpnCapabilities",
     &CallAndPrint<TovraOpenVpnCapabilities>},
    {{"openvpn-start", "PROFILE",
      "connect with the OpenVPN profile in PROFILE; username and password from\n"
      "      ZERKA_OPENVPN_USERNAME / ZERKA_OPENVPN_PASSWORD or asked for, never arguments"},
     Input::file,
     "startOpenVpn",
     &StartOpenVpn},
    {{"openvpn-stop", "", "stop the OpenVPN connection"},
     Input::none,
     "stopOpenVpn",
     &CallAndPrint<TovraOpenVpnStatus>},
    {{"openvpn-status", "", "the OpenVPN connection's status"},
     Input::none,
     "getOpenVpnStatus",
     &CallAndPrint<TovraOpenVpnStatus>},
    {{"events", "[SECONDS]", "print connectivity events for SECONDS (default 10)"},
     Input::seconds,
     "startEvents",
     &ListenForEvents},
}};

constexpr std::array<PluginCommandInfo, kPluginCommandCount> kCommandInfos = [] {
  std::array<PluginCommandInfo, kPluginCommandCount> infos{};
  for (size_t i = 0; i < kCommands.size(); ++i) infos[i] = kCommands[i].info;
  return infos;
}();

// ---- arguments ----

struct Options {
  bool json = false;
  bool help = false;
  std::string plugin_path;
  std::vector<std::string> positional;
};

[[nodiscard]] bool ParseOptions(std::span<const std::string> args, Options& o, std::ostream& err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      o.json = true;
    } else if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--plugin") {
      if (i + 1 >= args.size()) {
        err << "zerkactl: --plugin needs a path\n";
        return false;
      }
      o.plugin_path = args[++i];
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      err << "zerkactl: unknown option \"" << a << "\"\n";
      return false;
    } else {
      o.positional.push_back(a);
    }
  }
  return true;
}

const PluginCommand* Find(std::string_view name) {
  for (const auto& c : kCommands) {
    if (c.info.name == name) return &c;
  }
  return nullptr;
}

void PrintCommandHelp(const PluginCommandInfo& c, std::ostream& to) {
  to << "usage: zerkactl " << c.name << (c.arguments.empty() ? "" : " ") << c.arguments
     << " [--json] [--plugin PATH]\n  " << c.summary
     << "\n\n  --json         one JSON object per result, for scripts\n"
        "  --plugin PATH  the plugin DLL to load (default: beside zerkactl)\n"
        "exit codes: 0 success, 1 the plugin answered with an error, 2 usage error\n";
}

// Reads the command's positional input into `file` or `seconds`; false after a
// message on `err`.
[[nodiscard]] bool ReadInput(const PluginCommand& command, const Options& o, std::string& file,
                             uint32_t& seconds, std::ostream& err) {
  if (command.input == Input::file) {
    auto bytes = ReadFileBytes(o.positional[0], kMaxInputFile);
    if (!bytes) {
      err << "zerkactl: cannot read \"" << o.positional[0] << "\"\n";
      return false;
    }
    file = std::move(*bytes);
  } else if (command.input == Input::seconds && !o.positional.empty()) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(o.positional[0].c_str(), &end, 10);
    if (o.positional[0].empty() || *end != '\0' || v == 0 || v > kMaxEventSeconds) {
      err << "zerkactl: SECONDS must be 1 to 86400\n";
      return false;
    }
    seconds = static_cast<uint32_t>(v);
  }
  return true;
}

}  // namespace

void SetPluginSessionFactory(PluginSessionFactory factory) {
  Factory() = std::move(factory);
}
void SetSecretPrompt(SecretPrompt prompt) {
  Prompt() = std::move(prompt);
}
std::span<const PluginCommandInfo> PluginCommands() {
  return kCommandInfos;
}

int RunPluginCommand(std::string_view name, std::span<const std::string> args, std::ostream& out,
                     std::ostream& err) {
  const PluginCommand* command = Find(name);
  if (command == nullptr) return kExitUsage;
  Options o;
  if (!ParseOptions(args, o, err)) {
    PrintCommandHelp(command->info, err);
    return kExitUsage;
  }
  if (o.help) {
    PrintCommandHelp(command->info, out);
    return kExitOk;
  }
  const std::string_view arguments = command->info.arguments;
  const size_t wanted_max = arguments.empty() ? 0 : 1;
  const size_t wanted_min = arguments.empty() || arguments[0] == '[' ? 0 : 1;
  if (o.positional.size() < wanted_min || o.positional.size() > wanted_max) {
    PrintCommandHelp(command->info, err);
    return kExitUsage;
  }

  // The file may hold a private key: wiped on every way out.
  std::string file;
  const common::ScopeExit wipe_file([&] { common::SecureZero(file); });
  uint32_t seconds = kDefaultEventSeconds;
  if (!ReadInput(*command, o, file, seconds, err)) return kExitUsage;

  if (!Factory()) {
    err << "zerkactl: the plugin subcommands need Windows\n";
    return kExitUsage;
  }
  std::unique_ptr<PluginSession> session = Factory()(o.plugin_path, err);
  if (!session) return kExitUsage;
  CommandContext context{*session, command->method, o.json, out, err, file, seconds};
  return command->run(context);
}

}  // namespace tovra::tools
