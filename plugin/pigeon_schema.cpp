#include "plugin/pigeon_schema.h"

#include "plugin/pigeon_api.h"

namespace tovra_windows_vpn::schema {

namespace {

template <typename E>
constexpr int32_t V(E e) {
  return static_cast<int32_t>(e);
}

Schema Build() {
  Schema s;
  s.package = "tovra_windows_vpn";
  s.enums = {
      {"TovraComponentState",
       kTypeComponentState,
       {{"unknown", V(TovraComponentState::unknown)},
        {"starting", V(TovraComponentState::starting)},
        {"up", V(TovraComponentState::up)},
        {"reserved3", V(TovraComponentState::reserved3)},
        {"down", V(TovraComponentState::down)},
        {"reserved5", V(TovraComponentState::reserved5)}}},
      {"TovraNativeErrorKind",
       kTypeNativeErrorKind,
       {{"none", V(TovraNativeErrorKind::none)},
        {"notProduced", V(TovraNativeErrorKind::notProduced)},
        {"agentUnavailable", V(TovraNativeErrorKind::agentUnavailable)},
        {"versionMismatch", V(TovraNativeErrorKind::versionMismatch)},
        {"agentBusy", V(TovraNativeErrorKind::agentBusy)},
        {"internal", V(TovraNativeErrorKind::internal)}}},
      {"TovraTriState",
       kTypeTriState,
       {{"unknown", V(TovraTriState::unknown)},
        {"yes", V(TovraTriState::yes)},
        {"no", V(TovraTriState::no)}}},
      {"TovraOpenVpnState",
       kTypeOpenVpnState,
       {{"none", V(TovraOpenVpnState::none)},
        {"connecting", V(TovraOpenVpnState::connecting)},
        {"resolve", V(TovraOpenVpnState::resolve)},
        {"tcpConnect", V(TovraOpenVpnState::tcpConnect)},
        {"wait", V(TovraOpenVpnState::wait)},
        {"auth", V(TovraOpenVpnState::auth)},
        {"authPending", V(TovraOpenVpnState::authPending)},
        {"getConfig", V(TovraOpenVpnState::getConfig)},
        {"assignIp", V(TovraOpenVpnState::assignIp)},
        {"addRoutes", V(TovraOpenVpnState::addRoutes)},
        {"connected", V(TovraOpenVpnState::connected)},
        {"reconnecting", V(TovraOpenVpnState::reconnecting)},
        {"exiting", V(TovraOpenVpnState::exiting)}}},
      // The plugin carries the Agent's error kinds by number; only the ones it
      // acts on have C++ names.
      {"TovraOpenVpnErrorKind",
       kTypeOpenVpnErrorKind,
       {{"none", V(TovraOpenVpnErrorKind::none)},
        {"invalidRequest", 1},
        {"profileNoProto", 2},
        {"alreadyActive", 3},
        {"reserved4", 4},
        {"noPortOrLaunch", 5},
        {"managementFailed", 6},
        {"authFailed", 7},
        {"fatal", 8},
        {"exited", 9},
        {"connectTimeout", 10},
        {"internal", V(TovraOpenVpnErrorKind::internal)},
        {"serviceUnavailable", 12},
        {"launchExchangeFailed", 13},
        {"notPermitted", 14},
        {"rejected", 15},
        {"managementPasswordRejected", V(TovraOpenVpnErrorKind::last)}}},
  };
  s.classes = {
      {"TovraVersionInfo",
       kTypeVersionInfo,
       {{"protocol", "int"}, {"version", "String"}, {"capabilities", "List<String>"}}},
      {"TovraNativeHealth",
       kTypeNativeHealth,
       {{"state", "TovraComponentState"},
        {"protocol", "int"},
        {"version", "String"},
        {"sessionId", "int"},
        {"agentConnected", "bool"},
        {"serviceConnected", "bool"},
        {"lastError", "TovraNativeErrorKind"}}},
      {"TovraAgentHealth",
       kTypeAgentHealth,
       {{"state", "TovraComponentState"},
        {"version", "TovraVersionInfo"},
        {"sessionId", "int"},
        {"generation", "String"},
        {"serviceConnected", "bool"}}},
      {"TovraServiceHealth",
       kTypeServiceHealth,
       {{"state", "TovraComponentState"},
        {"version", "TovraVersionInfo"},
        {"generation", "String"},
        {"uptimeSeconds", "int"}}},
      {"TovraWireGuardStatus",
       kTypeWireGuardStatus,
       {{"state", "TovraComponentState"},
        {"adapterPresent", "bool"},
        {"rxBytes", "int"},
        {"txBytes", "int"},
        {"lastHandshakeMs", "int"},
        {"error", "int"}}},
      {"TovraOpenVpnCapabilities",
       kTypeOpenVpnCapabilities,
       {{"openVpnFound", "TovraTriState"},
        {"openVpnVersion", "String"},
        {"interactiveServiceInstalled", "TovraTriState"},
        {"interactiveServiceRunning", "TovraTriState"},
        {"spare1", "TovraTriState"},
        {"spare2", "TovraTriState"}}},
      {"TovraOpenVpnStatus",
       kTypeOpenVpnStatus,
       {{"state", "TovraOpenVpnState"},
        {"active", "bool"},
        {"bytesIn", "int"},
        {"bytesOut", "int"},
        {"connectedSinceMs", "int"},
        {"errorKind", "TovraOpenVpnErrorKind"},
        {"attemptId", "int"}}},
      {"TovraNativeEvent",
       kTypeNativeEvent,
       {{"type", "String"}, {"detail", "String"}, {"timestampMs", "int"}}},
  };
  s.apis = {
      {"TovraWindowsVpnHostApi",
       "HostApi",
       {{"isAvailable", {}, "bool"},
        {"getHealth", {}, "TovraNativeHealth"},
        {"getAgentHealth", {}, "TovraAgentHealth"},
        {"getServiceHealth", {}, "TovraServiceHealth"},
        {"startEvents", {}, "void"},
        {"startWireGuard", {{"config", "String"}}, "TovraWireGuardStatus"},
        {"stopWireGuard", {}, "TovraWireGuardStatus"},
        {"wireGuardStatus", {}, "TovraWireGuardStatus"},
        {"getOpenVpnCapabilities", {}, "TovraOpenVpnCapabilities"},
        {"startOpenVpn",
         {{"config", "String"}, {"username", "String"}, {"password", "String"}},
         "TovraOpenVpnStatus"},
        {"stopOpenVpn", {}, "TovraOpenVpnStatus"},
        {"getOpenVpnStatus", {}, "TovraOpenVpnStatus"}}},
      {"TovraWindowsVpnFlutterApi",
       "FlutterApi",
       {{"onNativeEvent", {{"event", "TovraNativeEvent"}}, "void"}}},
  };
  return s;
}

void Quote(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendFields(std::string& out, const std::vector<Field>& fields) {
  out += '[';
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ',';
    out += '[';
    Quote(out, fields[i].name);
    out += ',';
    Quote(out, fields[i].type);
    out += ']';
  }
  out += ']';
}

}  // namespace

const Schema& PigeonSchema() {
  static const Schema schema = Build();
  return schema;
}

std::string ToJson(const Schema& s) {
  std::string out = "{\"package\":";
  Quote(out, s.package);
  out += ",\"enums\":[";
  for (size_t i = 0; i < s.enums.size(); ++i) {
    const Enum& e = s.enums[i];
    if (i) out += ',';
    out += "{\"name\":";
    Quote(out, e.name);
    out += ",\"type_byte\":" + std::to_string(e.type_byte) + ",\"values\":[";
    for (size_t j = 0; j < e.values.size(); ++j) {
      if (j) out += ',';
      out += '[';
      Quote(out, e.values[j].name);
      out += ',' + std::to_string(e.values[j].value) + ']';
    }
    out += "]}";
  }
  out += "],\"classes\":[";
  for (size_t i = 0; i < s.classes.size(); ++i) {
    if (i) out += ',';
    out += "{\"name\":";
    Quote(out, s.classes[i].name);
    out += ",\"type_byte\":" + std::to_string(s.classes[i].type_byte) + ",\"fields\":";
    AppendFields(out, s.classes[i].fields);
    out += '}';
  }
  out += "],\"apis\":[";
  for (size_t i = 0; i < s.apis.size(); ++i) {
    const Api& api = s.apis[i];
    if (i) out += ',';
    out += "{\"name\":";
    Quote(out, api.name);
    out += ",\"kind\":";
    Quote(out, api.kind);
    out += ",\"methods\":[";
    for (size_t j = 0; j < api.methods.size(); ++j) {
      if (j) out += ',';
      out += "{\"name\":";
      Quote(out, api.methods[j].name);
      out += ",\"args\":";
      AppendFields(out, api.methods[j].args);
      out += ",\"returns\":";
      Quote(out, api.methods[j].returns);
      out += '}';
    }
    out += "]}";
  }
  out += "]}\n";
  return out;
}

}  // namespace tovra_windows_vpn::schema
