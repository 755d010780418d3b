#include "tools/zerkactl/plugin_commands.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <ostream>

#include "common/base/secure_zero.h"
#include "plugin/pigeon_api.h"
#include "tools/zerkactl/validate_commands.h"

namespace tovra::tools {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using namespace tovra_windows_vpn;

namespace {

constexpr size_t kMaxInputFile = 1 << 20;
constexpr int kExitOk = 0;
constexpr int kExitPluginError = 1;
constexpr int kExitUsage = 2;

PluginSessionFactory& Factory() {
  static PluginSessionFactory factory;
  return factory;
}

SecretPrompt& Prompt() {
  static SecretPrompt prompt;
  return prompt;
}

constexpr std::array<PluginCommandInfo, kPluginCommandCount> kCommands = {{
    {"is-available", "", "whether the Agent and, through it, the Service answer"},
    {"health", "", "the plugin's view: Agent and Service reachability, last error"},
    {"agent-health", "", "the Agent's own health record"},
    {"service-health", "", "the Service's health record, through the Agent"},
    {"wireguard-start", "FILE", "bring the WireGuard tunnel up with the configuration in FILE"},
    {"wireguard-stop", "", "bring the WireGuard tunnel down"},
    {"wireguard-status", "", "the WireGuard tunnel's status"},
    {"openvpn-capabilities", "", "what the Agent found of the OpenVPN installation"},
    {"openvpn-start", "PROFILE",
     "connect with the OpenVPN profile in PROFILE; username and password from\n"
     "      ZERKA_OPENVPN_USERNAME / ZERKA_OPENVPN_PASSWORD or asked for, never arguments"},
    {"openvpn-stop", "", "stop the OpenVPN connection"},
    {"openvpn-status", "", "the OpenVPN connection's status"},
    {"events", "[SECONDS]", "print connectivity events for SECONDS (default 10)"},
}};

// ---- names ----

const char* Name(TovraComponentState s) {
  switch (s) {
    case TovraComponentState::unknown: return "unknown";
    case TovraComponentState::starting: return "starting";
    case TovraComponentState::up: return "up";
    case TovraComponentState::reserved3: return "state-3";
    case TovraComponentState::down: return "down";
    case TovraComponentState::reserved5: return "state-5";
  }
  return "unknown";
}

const char* Name(TovraNativeErrorKind k) {
  switch (k) {
    case TovraNativeErrorKind::none: return "none";
    case TovraNativeErrorKind::notProduced: return "not-produced";
    case TovraNativeErrorKind::agentUnavailable: return "agent-unavailable";
    case TovraNativeErrorKind::versionMismatch: return "version-mismatch";
    case TovraNativeErrorKind::agentBusy: return "agent-busy";
    case TovraNativeErrorKind::internal: return "internal";
  }
  return "unknown";
}

const char* Name(TovraTriState t) {
  switch (t) {
    case TovraTriState::yes: return "yes";
    case TovraTriState::no: return "no";
    default: return "unknown";
  }
}

const char* Name(TovraOpenVpnState s) {
  static const char* const kNames[] = {"NONE",      "CONNECTING",  "RESOLVE",    "TCP_CONNECT", "WAIT",
                                       "AUTH",      "AUTH_PENDING", "GET_CONFIG", "ASSIGN_IP",   "ADD_ROUTES",
                                       "CONNECTED", "RECONNECTING", "EXITING"};
  const auto i = static_cast<size_t>(s);
  return i < std::size(kNames) ? kNames[i] : "NONE";
}

const char* Name(TovraOpenVpnErrorKind k) {
  static const char* const kNames[] = {
      "none",          "profile-rejected",    "profile-no-valid-proto", "previous-attempt-active",
      "unused-4",      "launch-failed",       "management-failed",      "auth-failed",
      "fatal-error",   "exited",              "connect-timeout",        "internal",
      "service-unreachable", "interactive-service-exchange-failed", "not-permitted", "rejected",
      "management-password-rejected"};
  const auto i = static_cast<size_t>(k);
  return i < std::size(kNames) ? kNames[i] : "internal";
}

const char* WireGuardErrorName(int64_t e) {
  static const char* const kNames[] = {"none",         "config-rejected", "busy",
                                       "install-failed", "start-failed",  "adapter-never-appeared",
                                       "stop-incomplete", "config-write-failed"};
  return e >= 0 && e < static_cast<int64_t>(std::size(kNames)) ? kNames[e] : "unknown";
}

// ---- output ----

// Length of the well-formed UTF-8 sequence at s[i], or 0 when there is none.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// Text from a peer (versions, generations, event details) as a person sees it:
// control bytes would move the cursor or retitle the terminal, so they show as '?'.
std::string Printable(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) ch = '?';
  }
  return out;
}

// A JSON string literal. Bytes that are not UTF-8 become U+FFFD, since JSON text
// must be UTF-8 and a script's parser would reject the whole line otherwise.
std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceLength(s, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(s.substr(i, n));
      i += n;
      continue;
    }
    const auto c = static_cast<unsigned char>(s[i++]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// Collects fields once and prints them as aligned lines or as one JSON object.
class Record {
 public:
  Record(std::string title, bool json) : title_(std::move(title)), json_(json) {}
  Record& Text(const char* key, std::string_view human, std::string_view json_text) {
    fields_.push_back({key, Printable(human), JsonString(json_text)});
    return *this;
  }
  Record& Text(const char* key, std::string_view value) { return Text(key, value, value); }
  Record& Number(const char* key, int64_t value, std::string human = {}) {
    fields_.push_back({key, human.empty() ? std::to_string(value) : human, std::to_string(value)});
    return *this;
  }
  Record& Bool(const char* key, bool value, const char* yes = "yes", const char* no = "no") {
    fields_.push_back({key, value ? yes : no, value ? "true" : "false"});
    return *this;
  }
  Record& List(const char* key, const std::vector<std::string>& items) {
    std::string human, json = "[";
    for (size_t i = 0; i < items.size(); ++i) {
      human += (i ? ", " : "") + Printable(items[i]);
      json += (i ? "," : "") + JsonString(items[i]);
    }
    fields_.push_back({key, human, json + "]"});
    return *this;
  }
  void Print(std::ostream& out) const {
    if (json_) {
      out << '{';
      for (size_t i = 0; i < fields_.size(); ++i) {
        out << (i ? "," : "") << JsonString(fields_[i].key) << ':' << fields_[i].json;
      }
      out << "}\n";
      return;
    }
    out << title_ << '\n';
    for (const auto& f : fields_) {
      out << "  " << f.key << std::string(f.key.size() < 22 ? 22 - f.key.size() : 1, ' ') << f.human
          << '\n';
    }
  }

 private:
  struct Field {
    std::string key, human, json;
  };
  std::string title_;
  bool json_;
  std::vector<Field> fields_;
};

void PrintVersion(Record& r, const TovraVersionInfo& v) {
  r.Number("protocol", v.protocol).Text("version", v.version).List("capabilities", v.capabilities);
}

void Print(std::ostream& out, bool json, bool v) {
  if (json) {
    out << "{\"available\":" << (v ? "true" : "false") << "}\n";
  } else {
    out << (v ? "available: the Agent and the Service answer\n" : "not available\n");
  }
}

void Print(std::ostream& out, bool json, const TovraNativeHealth& h) {
  Record r("native health", json);
  r.Text("state", Name(h.state)).Number("protocol", h.protocol).Text("version", h.version);
  r.Number("sessionId", h.session_id).Bool("agentConnected", h.agent_connected, "connected", "not connected");
  r.Bool("serviceConnected", h.service_connected, "connected", "not connected");
  r.Text("lastError", Name(h.last_error));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraAgentHealth& h) {
  Record r("agent health", json);
  r.Text("state", Name(h.state));
  PrintVersion(r, h.version);
  r.Number("sessionId", h.session_id).Text("generation", h.generation);
  r.Bool("serviceConnected", h.service_connected, "connected", "not connected");
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraServiceHealth& h) {
  Record r("service health", json);
  r.Text("state", Name(h.state));
  PrintVersion(r, h.version);
  r.Text("generation", h.generation).Number("uptimeSeconds", h.uptime_seconds, FormatDuration(h.uptime_seconds));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraWireGuardStatus& s) {
  Record r("wireguard", json);
  r.Text("state", Name(s.state)).Bool("adapterPresent", s.adapter_present);
  r.Number("rxBytes", s.rx_bytes, FormatBytes(s.rx_bytes)).Number("txBytes", s.tx_bytes, FormatBytes(s.tx_bytes));
  r.Number("lastHandshakeMs", s.last_handshake_ms, FormatUnixMs(s.last_handshake_ms));
  r.Number("error", s.error, WireGuardErrorName(s.error));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraOpenVpnCapabilities& c) {
  Record r("openvpn capabilities", json);
  r.Text("openVpnFound", Name(c.open_vpn_found)).Text("openVpnVersion", c.open_vpn_version);
  r.Text("interactiveServiceInstalled", Name(c.interactive_service_installed));
  r.Text("interactiveServiceRunning", Name(c.interactive_service_running));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraOpenVpnStatus& s) {
  Record r("openvpn", json);
  r.Text("state", Name(s.state)).Bool("active", s.active);
  r.Number("bytesIn", s.bytes_in, FormatBytes(s.bytes_in)).Number("bytesOut", s.bytes_out, FormatBytes(s.bytes_out));
  r.Number("connectedSinceMs", s.connected_since_ms, FormatUnixMs(s.connected_since_ms));
  r.Number("errorKind", static_cast<int64_t>(s.error_kind), Name(s.error_kind));
  r.Number("attemptId", s.attempt_id);
  r.Print(out);
}

template <typename T>
bool Extract(const EncodableValue& v, T& out) {
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

// ---- arguments ----

struct Options {
  bool json = false;
  bool help = false;
  std::string plugin_path;
  std::vector<std::string> positional;
};

bool ParseOptions(std::span<const std::string> args, Options& o, std::ostream& err) {
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

const PluginCommandInfo* Find(std::string_view name) {
  for (const auto& c : kCommands) {
    if (c.name == name) return &c;
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

std::string EnvOr(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

int Fail(std::ostream& err, bool json, std::ostream& out, const PluginReply& reply) {
  if (reply.kind == PluginReply::Kind::error) {
    if (json) {
      out << "{\"error\":" << JsonString(reply.code) << ",\"message\":" << JsonString(reply.message) << "}\n";
    }
    err << "error " << Printable(reply.code) << (reply.message.empty() ? "" : ": " + Printable(reply.message))
        << '\n';
  } else {
    err << "zerkactl: no usable reply from the plugin\n";
  }
  return kExitPluginError;
}

template <typename T>
int CallAndPrint(PluginSession& s, const std::string& method, const EncodableList& args,
                 bool json, std::ostream& out, std::ostream& err) {
  const PluginReply reply = s.Call(method, args);
  if (reply.kind != PluginReply::Kind::value) return Fail(err, json, out, reply);
  T value{};
  if (!Extract(reply.value, value)) {
    err << "zerkactl: unexpected reply type from " << method << '\n';
    return kExitPluginError;
  }
  Print(out, json, value);
  return kExitOk;
}

}  // namespace

void SetPluginSessionFactory(PluginSessionFactory factory) { Factory() = std::move(factory); }
void SetSecretPrompt(SecretPrompt prompt) { Prompt() = std::move(prompt); }
std::span<const PluginCommandInfo> PluginCommands() { return kCommands; }

std::string FormatBytes(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(bytes);
  size_t unit = 0;
  v /= 1024.0;
  // Compared with what "%.1f" will print, so 1048575 reads "1.0 MiB", not "1024.0 KiB".
  while (v >= 1023.95 && unit + 1 < std::size(kUnits)) {
    v /= 1024.0;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) return std::to_string(seconds) + "s";
  const int64_t d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
  char buf[64];
  if (d > 0) {
    std::snprintf(buf, sizeof buf, "%" PRId64 "d %02" PRId64 "h %02" PRId64 "m %02" PRId64 "s", d, h, m, s);
  } else if (h > 0) {
    std::snprintf(buf, sizeof buf, "%" PRId64 "h %02" PRId64 "m %02" PRId64 "s", h, m, s);
  } else if (m > 0) {
    std::snprintf(buf, sizeof buf, "%" PRId64 "m %02" PRId64 "s", m, s);
  } else {
    std::snprintf(buf, sizeof buf, "%" PRId64 "s", s);
  }
  return buf;
}

std::string FormatUnixMs(int64_t ms) {
  if (ms == 0) return "never";
  if (ms < 0 || ms > 253402300799999) return std::to_string(ms) + " ms";
  // Civil date from days since 1970-01-01 (proleptic Gregorian), without the
  // platform's gmtime, so both builds print the same.
  int64_t days = ms / 86400000;
  const int64_t rem = ms % 86400000;
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04" PRId64 "-%02" PRId64 "-%02" PRId64 " %02" PRId64 ":%02" PRId64
                ":%02" PRId64 ".%03" PRId64 " UTC",
                year, month, day, rem / 3600000, rem / 60000 % 60, rem / 1000 % 60, rem % 1000);
  return buf;
}

int RunPluginCommand(std::string_view name, std::span<const std::string> args, std::ostream& out,
                     std::ostream& err) {
  const PluginCommandInfo* command = Find(name);
  if (command == nullptr) return kExitUsage;
  Options o;
  if (!ParseOptions(args, o, err)) {
    PrintCommandHelp(*command, err);
    return kExitUsage;
  }
  if (o.help) {
    PrintCommandHelp(*command, out);
    return kExitOk;
  }
  const size_t wanted_max = command->arguments.empty() ? 0 : 1;
  const size_t wanted_min = command->arguments.empty() || command->arguments[0] == '[' ? 0 : 1;
  if (o.positional.size() < wanted_min || o.positional.size() > wanted_max) {
    PrintCommandHelp(*command, err);
    return kExitUsage;
  }

  // Inputs first, so a usage error never loads the plugin.
  std::string file;
  uint32_t seconds = 10;
  if (name == "wireguard-start" || name == "openvpn-start") {
    auto bytes = ReadFileBytes(o.positional[0], kMaxInputFile);
    if (!bytes) {
      err << "zerkactl: cannot read \"" << o.positional[0] << "\"\n";
      return kExitUsage;
    }
    file = std::move(*bytes);
  } else if (name == "events" && !o.positional.empty()) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(o.positional[0].c_str(), &end, 10);
    if (o.positional[0].empty() || *end != '\0' || v == 0 || v > 86400) {
      err << "zerkactl: SECONDS must be 1 to 86400\n";
      return kExitUsage;
    }
    seconds = static_cast<uint32_t>(v);
  }

  if (!Factory()) {
    err << "zerkactl: the plugin subcommands need Windows\n";
    common::SecureZero(file);
    return kExitUsage;
  }
  std::unique_ptr<PluginSession> session = Factory()(o.plugin_path, err);
  if (!session) {
    common::SecureZero(file);
    return kExitUsage;
  }
  PluginSession& s = *session;
  const bool json = o.json;

  if (name == "is-available") return CallAndPrint<bool>(s, "isAvailable", {}, json, out, err);
  if (name == "health") return CallAndPrint<TovraNativeHealth>(s, "getHealth", {}, json, out, err);
  if (name == "agent-health") return CallAndPrint<TovraAgentHealth>(s, "getAgentHealth", {}, json, out, err);
  if (name == "service-health") {
    return CallAndPrint<TovraServiceHealth>(s, "getServiceHealth", {}, json, out, err);
  }
  if (name == "wireguard-start") {
    EncodableList call_args{EncodableValue(file)};
    common::SecureZero(file);
    const int rc = CallAndPrint<TovraWireGuardStatus>(s, "startWireGuard", call_args, json, out, err);
    common::SecureZero(std::get<std::string>(call_args[0]));
    return rc;
  }
  if (name == "wireguard-stop") return CallAndPrint<TovraWireGuardStatus>(s, "stopWireGuard", {}, json, out, err);
  if (name == "wireguard-status") {
    return CallAndPrint<TovraWireGuardStatus>(s, "wireGuardStatus", {}, json, out, err);
  }
  if (name == "openvpn-capabilities") {
    return CallAndPrint<TovraOpenVpnCapabilities>(s, "getOpenVpnCapabilities", {}, json, out, err);
  }
  if (name == "openvpn-start") {
    std::string username = EnvOr("ZERKA_OPENVPN_USERNAME");
    std::string password = EnvOr("ZERKA_OPENVPN_PASSWORD");
    if (username.empty() && Prompt()) username = Prompt()("username: ");
    if (password.empty() && Prompt()) password = Prompt()("password: ");
    EncodableList call_args{EncodableValue(file), EncodableValue(username), EncodableValue(password)};
    common::SecureZero(file);
    common::SecureZero(password);
    const int rc = CallAndPrint<TovraOpenVpnStatus>(s, "startOpenVpn", call_args, json, out, err);
    common::SecureZero(std::get<std::string>(call_args[0]));
    common::SecureZero(std::get<std::string>(call_args[2]));
    return rc;
  }
  if (name == "openvpn-stop") return CallAndPrint<TovraOpenVpnStatus>(s, "stopOpenVpn", {}, json, out, err);
  if (name == "openvpn-status") return CallAndPrint<TovraOpenVpnStatus>(s, "getOpenVpnStatus", {}, json, out, err);
  if (name == "events") {
    const PluginReply reply = s.Call("startEvents", {});
    if (reply.kind != PluginReply::Kind::value) return Fail(err, json, out, reply);
    if (!json) out << "listening for events for " << seconds << "s\n" << std::flush;
    s.PumpEvents(seconds * 1000, [&](const TovraNativeEvent& e) {
      if (json) {
        out << "{\"type\":" << JsonString(e.type) << ",\"detail\":" << JsonString(e.detail)
            << ",\"timestampMs\":" << e.timestamp_ms << "}\n";
      } else {
        out << FormatUnixMs(e.timestamp_ms) << "  " << Printable(e.type)
            << (e.detail.empty() ? "" : "  " + Printable(e.detail)) << '\n';
      }
      out << std::flush;
    });
    return kExitOk;
  }
  return kExitUsage;
}

}  // namespace tovra::tools
