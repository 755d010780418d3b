// The plugin subcommands of zerkactl: a headless Flutter app for the VPN plugin.
// They call the plugin's host methods over its channels with the real codec (as
// the Dart side does) and print the results for people or, with --json, for
// scripts. Exit codes: 0 success, 1 the plugin answered with an error, 2 usage.
//
// Formats live in human_format.h, json_text.h and result_output.h; the command
// table and argument handling here are portable; the session that loads
// the plugin DLL through the headless embedding is Windows-only and is installed
// by the program's entry point (tests install fakes).
#pragma once

#include <flutter/encodable_value.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/plugin_rules.h"
#include "tools/zerkactl/human_format.h"

namespace tovra::tools {

struct PluginReply {
  enum class Kind { value, error, none };
  Kind kind = Kind::none;
  flutter::EncodableValue value;  // kind value
  std::string code;               // kind error
  std::string message;            // kind error
};

// One loaded plugin with its engine, driven from the calling thread.
class PluginSession {
 public:
  virtual ~PluginSession() = default;
  virtual PluginReply Call(const std::string& method, const flutter::EncodableList& args) = 0;
  // Runs the platform thread for `ms`, calling `on_event` for each event Dart gets.
  virtual void PumpEvents(
      uint32_t ms,
      const std::function<void(const tovra_windows_vpn::TovraNativeEvent&)>& on_event) = 0;
};

// Opens a session on the plugin DLL at `plugin_path` (UTF-8; empty: the DLL beside
// zerkactl). Nothing, after a message on `err`, when it cannot be loaded.
using PluginSessionFactory = std::function<std::unique_ptr<PluginSession>(
    const std::string& plugin_path, std::ostream& err)>;
void SetPluginSessionFactory(PluginSessionFactory factory);

// Reads a secret (the OpenVPN password) when the environment does not carry it.
using SecretPrompt = std::function<std::string(const std::string& prompt)>;
void SetSecretPrompt(SecretPrompt prompt);

int RunPluginCommand(std::string_view name, std::span<const std::string> args, std::ostream& out,
                     std::ostream& err);

// The plugin subcommands: name, arguments, summary.
struct PluginCommandInfo {
  std::string_view name;
  std::string_view arguments;
  std::string_view summary;
};
inline constexpr size_t kPluginCommandCount = 12;
std::span<const PluginCommandInfo> PluginCommands();

}  // namespace tovra::tools
