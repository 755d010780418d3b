#include "tools/zerkactl/plugin_commands.h"
#include "tools/zerkactl/zerkactl_test_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/json_reader.h"
#include "tools/zerkactl/zerkactl.h"

namespace tovra::tools {
namespace {

namespace fs = std::filesystem;
using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using namespace tovra_windows_vpn;

using testsupport::Json;
using testsupport::ParseJson;

TEST(JsonReader, RejectsWhatAParserWould) {
  EXPECT_TRUE(ParseJson("{\"a\":[1,-2.5,\"x\\u00e9\"],\"b\":{}}\n"));
  for (const char* bad : {"", "{", "{\"a\":1,}", "{\"a\":01}", "{\"a\":\"\x01\"}", "{\"a\":1}{}",
                          "{\"a\":1,\"a\":2}", "{\"a\":\"\xff\"}", "{'a':1}"}) {
    EXPECT_FALSE(ParseJson(bad)) << bad;
  }
}

// ---- a scripted plugin ----

struct FakePlugin {
  std::map<std::string, PluginReply> replies;
  std::vector<TovraNativeEvent> events;
  std::vector<std::pair<std::string, EncodableList>> calls;
  int opens = 0;
  std::string plugin_path;
  uint32_t pumped_ms = 0;
  bool refuse_to_open = false;
};

class FakeSession final : public PluginSession {
 public:
  explicit FakeSession(FakePlugin& p) : p_(p) {}
  PluginReply Call(const std::string& method, const EncodableList& args) override {
    p_.calls.emplace_back(method, args);
    const auto it = p_.replies.find(method);
    if (it != p_.replies.end()) return it->second;
    PluginReply none;  // no reply at all, as when the call times out
    return none;
  }
  void PumpEvents(uint32_t ms,
                  const std::function<void(const TovraNativeEvent&)>& on_event) override {
    p_.pumped_ms = ms;
    for (const auto& e : p_.events) on_event(e);
  }

 private:
  FakePlugin& p_;
};

template <typename T>
PluginReply Value(const T& v) {
  PluginReply r;
  r.kind = PluginReply::Kind::value;
  if constexpr (std::is_same_v<T, bool>) {
    r.value = EncodableValue(v);
  } else {
    r.value = CustomEncodableValue(v);
  }
  return r;
}

PluginReply Error(std::string code, std::string message) {
  PluginReply r;
  r.kind = PluginReply::Kind::error;
  r.code = std::move(code);
  r.message = std::move(message);
  return r;
}

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

class PluginCommandsTest : public ZerkactlFixture {
 protected:
  void SetUp() override {
    ZerkactlFixture::SetUp();
    SetPluginSessionFactory(
        [this](const std::string& path, std::ostream& err) -> std::unique_ptr<PluginSession> {
          ++plugin_.opens;
          plugin_.plugin_path = path;
          if (plugin_.refuse_to_open) {
            err << "zerkactl: cannot load the plugin\n";
            return nullptr;
          }
          return std::make_unique<FakeSession>(plugin_);
        });
    SetSecretPrompt([this](const std::string& prompt) {
      prompts_.push_back(prompt);
      return prompt.find("password") != std::string::npos ? std::string("prompted-secret")
                                                          : std::string("prompted-user");
    });
    SetEnv("ZERKA_OPENVPN_USERNAME", nullptr);
    SetEnv("ZERKA_OPENVPN_PASSWORD", nullptr);
  }
  void TearDown() override {
    SetPluginSessionFactory(nullptr);
    SetSecretPrompt(nullptr);
    SetEnv("ZERKA_OPENVPN_USERNAME", nullptr);
    SetEnv("ZERKA_OPENVPN_PASSWORD", nullptr);
    ZerkactlFixture::TearDown();
  }

  FakePlugin plugin_;
  std::vector<std::string> prompts_;
};

TovraVersionInfo Version() {
  return {3, "1.4.2", {"hello", "ping", "get_service_health"}};
}

TovraWireGuardStatus WireGuardUp() {
  TovraWireGuardStatus s;
  s.state = TovraComponentState::up;
  s.adapter_present = true;
  s.rx_bytes = 1536;
  s.tx_bytes = 5LL * 1024 * 1024 * 1024;
  s.last_handshake_ms = 1796630400123;  // 2026-12-07 08:00:00.123 UTC
  s.error = 0;
  return s;
}

TovraOpenVpnStatus OpenVpnConnected() {
  TovraOpenVpnStatus s;
  s.state = TovraOpenVpnState::connected;
  s.active = true;
  s.bytes_in = 2048;
  s.bytes_out = 100;
  s.connected_since_ms = 0;
  s.error_kind = static_cast<TovraOpenVpnErrorKind>(7);
  s.attempt_id = 42;
  return s;
}

// Every command's reply, how a person reads it and what a script gets.
struct OutputCase {
  std::vector<std::string> args;
  std::string method;
  PluginReply reply;
  std::vector<std::string> human;           // lines (substrings) the human output holds
  std::map<std::string, std::string> json;  // member -> string value or number/boolean literal
};

std::vector<OutputCase> OutputCases(const std::string& conf, const std::string& profile) {
  TovraNativeHealth native;
  native.state = TovraComponentState::up;
  native.protocol = 3;
  native.version = "1.4.2";
  native.session_id = 1;
  native.agent_connected = true;
  native.service_connected = false;
  native.last_error = TovraNativeErrorKind::agentUnavailable;

  TovraAgentHealth agent;
  agent.state = TovraComponentState::starting;
  agent.version = Version();
  agent.session_id = 7;
  agent.generation = "0a0b0c0d";
  agent.service_connected = true;

  TovraServiceHealth service;
  service.state = TovraComponentState::down;
  service.version = Version();
  service.generation = "deadbeef";
  service.uptime_seconds = 93784;

  TovraOpenVpnCapabilities caps;
  caps.open_vpn_found = TovraTriState::yes;
  caps.open_vpn_version = "2.6.12";
  caps.interactive_service_installed = TovraTriState::no;
  caps.interactive_service_running = TovraTriState::unknown;

  TovraWireGuardStatus wg_failed;
  wg_failed.state = TovraComponentState::reserved3;
  wg_failed.error = 5;

  return {
      {{"is-available"}, "isAvailable", Value(true), {"available"}, {{"available", "true"}}},
      {{"health"},
       "getHealth",
       Value(native),
       {"state", "up", "agent-unavailable", "not connected", "1.4.2"},
       {{"state", "up"},
        {"lastError", "agent-unavailable"},
        {"agentConnected", "true"},
        {"serviceConnected", "false"},
        {"protocol", "3"},
        {"sessionId", "1"}}},
      {{"agent-health"},
       "getAgentHealth",
       Value(agent),
       {"starting", "0a0b0c0d", "hello, ping, get_service_health", "connected"},
       {{"state", "starting"},
        {"generation", "0a0b0c0d"},
        {"sessionId", "7"},
        {"serviceConnected", "true"}}},
      {{"service-health"},
       "getServiceHealth",
       Value(service),
       {"down", "deadbeef", "1d 02h 03m 04s"},
       {{"state", "down"}, {"uptimeSeconds", "93784"}, {"version", "1.4.2"}}},
      {{"wireguard-start", conf},
       "startWireGuard",
       Value(WireGuardUp()),
       {"up", "1.5 KiB", "5.0 GiB", "2026-12-07 08:00:00.123 UTC", "none"},
       {{"state", "up"},
        {"rxBytes", "1536"},
        {"txBytes", "5368709120"},
        {"lastHandshakeMs", "1796630400123"},
        {"adapterPresent", "true"},
        {"error", "0"}}},
      {{"wireguard-stop"},
       "stopWireGuard",
       Value(wg_failed),
       {"state-3", "adapter-never-appeared", "never", "0 B"},
       {{"state", "state-3"}, {"error", "5"}, {"lastHandshakeMs", "0"}}},
      {{"wireguard-status"}, "wireGuardStatus", Value(WireGuardUp()), {"up"}, {{"state", "up"}}},
      {{"openvpn-capabilities"},
       "getOpenVpnCapabilities",
       Value(caps),
       {"yes", "no", "unknown", "2.6.12"},
       {{"openVpnFound", "yes"},
        {"interactiveServiceInstalled", "no"},
        {"interactiveServiceRunning", "unknown"},
        {"openVpnVersion", "2.6.12"}}},
      {{"openvpn-start", profile},
       "startOpenVpn",
       Value(OpenVpnConnected()),
       {"CONNECTED", "2.0 KiB", "100 B", "auth-failed", "42"},
       {{"state", "CONNECTED"},
        {"active", "true"},
        {"bytesIn", "2048"},
        {"errorKind", "7"},
        {"attemptId", "42"}}},
      {{"openvpn-stop"},
       "stopOpenVpn",
       Value(TovraOpenVpnStatus()),
       {"NONE", "none"},
       {{"state", "NONE"}}},
      {{"openvpn-status"},
       "getOpenVpnStatus",
       Value(OpenVpnConnected()),
       {"CONNECTED"},
       {{"active", "true"}}},
  };
}

std::string JsonLiteral(const Json& v) {
  switch (v.type) {
    case Json::Type::boolean:
      return v.boolean ? "true" : "false";
    case Json::Type::null:
      return "null";
    default:
      return v.text;
  }
}

TEST_F(PluginCommandsTest, EveryResultReadsWellForPeopleAndParsesForScripts) {
  SetEnv("ZERKA_OPENVPN_USERNAME", "u");
  SetEnv("ZERKA_OPENVPN_PASSWORD", "p");
  const std::string conf = File("wg.conf", "[Interface]\n");
  const std::string profile = File("p.ovpn", "client\n");
  const auto cases = OutputCases(conf, profile);
  ASSERT_EQ(cases.size() + 1, kPluginCommandCount) << "every command but events is in the table";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    plugin_.replies = {{c.method, c.reply}};
    plugin_.calls.clear();

    ASSERT_EQ(Run(c.args), kExitOk) << err_.str();
    ASSERT_EQ(plugin_.calls.size(), 1u);
    EXPECT_EQ(plugin_.calls[0].first, c.method);
    EXPECT_EQ(err_.str(), "");
    for (const auto& h : c.human)
      EXPECT_NE(out_.str().find(h), std::string::npos) << h << " in\n" << out_.str();

    auto args = c.args;
    args.push_back("--json");
    ASSERT_EQ(Run(args), kExitOk);
    const auto json = ParseJson(out_.str());
    ASSERT_TRUE(json) << out_.str();
    ASSERT_EQ(json->type, Json::Type::object);
    for (const auto& [key, literal] : c.json) {
      EXPECT_TRUE(json->has(key)) << key;
      EXPECT_EQ(JsonLiteral((*json)[key]), literal) << key;
    }
    // Counts stay numbers in JSON, never the readable form.
    for (const auto& [key, value] : json->members) {
      if (key.find("Bytes") != std::string::npos || key.find("Ms") != std::string::npos) {
        EXPECT_EQ(value.type, Json::Type::number) << key;
      }
    }
  }
}

TEST_F(PluginCommandsTest, VersionCapabilitiesAreAJsonArray) {
  TovraServiceHealth h;
  h.version = Version();
  plugin_.replies = {{"getServiceHealth", Value(h)}};
  ASSERT_EQ(Run({"service-health", "--json"}), kExitOk);
  const auto json = ParseJson(out_.str());
  ASSERT_TRUE(json);
  ASSERT_EQ((*json)["capabilities"].type, Json::Type::array);
  ASSERT_EQ((*json)["capabilities"].items.size(), 3u);
  EXPECT_EQ((*json)["capabilities"].items[2].text, "get_service_health");
}

// Text that came from a peer (version strings, generations, event details) must
// not break the JSON or drive the terminal.
TEST_F(PluginCommandsTest, PeerTextIsEscapedInBothOutputs) {
  const std::vector<std::string> hostile = {"quote\" back\\slash",
                                            "new\nline\ttab",
                                            std::string("nul\0byte", 8),
                                            "\x1b[2J\x1b]0;title\x07",
                                            "caf\xc3\xa9",
                                            "bad \xff\xfe utf8",
                                            "cut \xe2\x82",
                                            "\x7f"};
  for (const auto& text : hostile) {
    SCOPED_TRACE(testing::PrintToString(text));
    TovraServiceHealth h;
    h.version = {3, text, {text}};
    h.generation = text;
    plugin_.replies = {{"getServiceHealth", Value(h)}};
    ASSERT_EQ(Run({"service-health", "--json"}), kExitOk);
    const auto json = ParseJson(out_.str());
    ASSERT_TRUE(json) << out_.str();
    const bool valid_utf8 =
        text.find('\xff') == std::string::npos && text.find("\xe2\x82") == std::string::npos;
    if (valid_utf8) {
      EXPECT_EQ((*json)["version"].text, text) << "round trip";
    }

    ASSERT_EQ(Run({"service-health"}), kExitOk);
    for (char ch : out_.str()) {
      const auto c = static_cast<unsigned char>(ch);
      EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F)) << "control byte " << int(c);
    }
  }
}

TEST_F(PluginCommandsTest, PluginErrorsExitOneWithCodeAndMessage) {
  plugin_.replies = {
      {"getAgentHealth", Error("AGENT_UNAVAILABLE", "")},
      {"getServiceHealth", Error("SERVICE_UNAVAILABLE", "the Service did not answer")}};
  EXPECT_EQ(Run({"agent-health"}), 1);
  EXPECT_EQ(err_.str(), "error AGENT_UNAVAILABLE\n");
  EXPECT_EQ(out_.str(), "");

  EXPECT_EQ(Run({"service-health", "--json"}), 1);
  EXPECT_NE(err_.str().find("SERVICE_UNAVAILABLE: the Service did not answer"), std::string::npos);
  const auto json = ParseJson(out_.str());
  ASSERT_TRUE(json) << out_.str();
  EXPECT_EQ((*json)["error"].text, "SERVICE_UNAVAILABLE");
  EXPECT_EQ((*json)["message"].text, "the Service did not answer");
}

TEST_F(PluginCommandsTest, NoReplyOrAnUnexpectedTypeIsAnErrorNotASuccess) {
  // No reply at all (the call timed out) and a reply of the wrong class.
  plugin_.replies = {{"getHealth", Value(TovraServiceHealth())},
                     {"isAvailable", Value(TovraServiceHealth())}};
  for (const char* command : {"health", "is-available", "wireguard-status"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Run({command}), 1);
    EXPECT_EQ(out_.str(), "");
    EXPECT_NE(err_.str(), "");
    EXPECT_EQ(Run({command, "--json"}), 1);
    if (!out_.str().empty()) {
      EXPECT_TRUE(ParseJson(out_.str())) << out_.str();
    }
  }
}

TEST_F(PluginCommandsTest, UsageErrorsExitTwoAndNeverLoadThePlugin) {
  const std::string conf = File("wg.conf", "x");
  const std::vector<std::vector<std::string>> cases = {
      {"health", "extra"},
      {"wireguard-start"},
      {"wireguard-start", conf, conf},
      {"wireguard-start", (dir_ / "absent.conf").string()},
      {"wireguard-start", dir_.string()},
      {"openvpn-start"},
      {"openvpn-start", (dir_ / "absent.ovpn").string()},
      {"events", "0"},
      {"events", "-1"},
      {"events", "abc"},
      {"events", "10s"},
      {"events", ""},
      {"events", "86401"},
      {"events", "99999999999999999999"},
      {"events", "1", "2"},
      {"agent-health", "--verbose"},
      {"agent-health", "--plugin"},
      {"openvpn-stop", "-x"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(Run(args), kExitUsage);
    EXPECT_EQ(out_.str(), "");
    EXPECT_NE(err_.str(), "");
  }
  EXPECT_EQ(plugin_.opens, 0);
}

TEST_F(PluginCommandsTest, UnreadableFilesAreNamedInTheMessage) {
  const std::string absent = (dir_ / "absent.conf").string();
  EXPECT_EQ(Run({"wireguard-start", absent}), kExitUsage);
  EXPECT_EQ(err_.str(), "zerkactl: cannot read \"" + absent + "\"\n");
}

TEST_F(PluginCommandsTest, EverySubcommandHasHelpThatOpensNothing) {
  for (const auto& c : PluginCommands()) {
    SCOPED_TRACE(std::string(c.name));
    for (const char* flag : {"--help", "-h"}) {
      EXPECT_EQ(Run({std::string(c.name), flag}), kExitOk);
      EXPECT_EQ(out_.str().rfind("usage: zerkactl " + std::string(c.name), 0), 0u) << out_.str();
      EXPECT_NE(out_.str().find("--json"), std::string::npos);
      if (!c.arguments.empty()) {
        EXPECT_NE(out_.str().find(c.arguments), std::string::npos);
      }
      EXPECT_EQ(err_.str(), "");
    }
  }
  EXPECT_EQ(plugin_.opens, 0);
}

TEST_F(PluginCommandsTest, ThePluginPathOptionReachesTheSession) {
  plugin_.replies = {{"isAvailable", Value(false)}};
  EXPECT_EQ(Run({"is-available", "--plugin", "C:\\app\\plugin.dll"}), kExitOk);
  EXPECT_EQ(plugin_.plugin_path, "C:\\app\\plugin.dll");
  EXPECT_EQ(out_.str(), "not available\n");
  EXPECT_EQ(Run({"is-available"}), kExitOk);
  EXPECT_EQ(plugin_.plugin_path, "") << "default: beside zerkactl";
}

TEST_F(PluginCommandsTest, APluginThatCannotBeLoadedIsReportedAndFails) {
  plugin_.refuse_to_open = true;
  EXPECT_NE(Run({"health"}), kExitOk);
  EXPECT_NE(err_.str().find("cannot load"), std::string::npos);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(PluginCommandsTest, WireGuardConfigurationIsSentByteForByte) {
  static const char kRaw[] = "[Interface]\r\nPrivateKey = k\r\n\xef\xbb\xbf\0tail";
  const std::string bytes(kRaw, sizeof kRaw - 1);
  const std::string conf = File("wg.conf", bytes);
  plugin_.replies = {{"startWireGuard", Value(WireGuardUp())}};
  ASSERT_EQ(Run({"wireguard-start", conf}), kExitOk);
  ASSERT_EQ(plugin_.calls.size(), 1u);
  ASSERT_EQ(plugin_.calls[0].second.size(), 1u);
  EXPECT_EQ(std::get<std::string>(plugin_.calls[0].second[0]), bytes);
  EXPECT_EQ(out_.str().find("PrivateKey"), std::string::npos)
      << "the configuration is never echoed";
}

struct CredentialCase {
  const char* env_user;
  const char* env_password;
  std::string user;
  std::string password;
  std::vector<std::string> prompts;
};

TEST_F(PluginCommandsTest, CredentialsComeFromTheEnvironmentOrThePrompt) {
  const std::string profile = File("p.ovpn", "client\nremote h 1194\n");
  const CredentialCase cases[] = {
      {"alice", "s3cret", "alice", "s3cret", {}},
      {nullptr, nullptr, "prompted-user", "prompted-secret", {"username: ", "password: "}},
      {"alice", nullptr, "alice", "prompted-secret", {"password: "}},
      {nullptr, "s3cret", "prompted-user", "s3cret", {"username: "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user + "/" + c.password);
    SetEnv("ZERKA_OPENVPN_USERNAME", c.env_user);
    SetEnv("ZERKA_OPENVPN_PASSWORD", c.env_password);
    prompts_.clear();
    plugin_.calls.clear();
    plugin_.replies = {{"startOpenVpn", Value(OpenVpnConnected())}};
    ASSERT_EQ(Run({"openvpn-start", profile}), kExitOk) << err_.str();
    ASSERT_EQ(plugin_.calls.size(), 1u);
    const auto& args = plugin_.calls[0].second;
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(std::get<std::string>(args[0]), "client\nremote h 1194\n");
    EXPECT_EQ(std::get<std::string>(args[1]), c.user);
    EXPECT_EQ(std::get<std::string>(args[2]), c.password);
    EXPECT_EQ(prompts_, c.prompts);
    EXPECT_EQ((out_.str() + err_.str()).find(c.password), std::string::npos)
        << "the password is never printed";
  }
}

TEST_F(PluginCommandsTest, CredentialsOnTheCommandLineAreRefused) {
  const std::string profile = File("p.ovpn", "client\n");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"openvpn-start", profile, "alice", "s3cret"},
           {"openvpn-start", profile, "--password", "s3cret"},
           {"openvpn-start", profile, "--username=alice"},
       }) {
    EXPECT_EQ(Run(args), kExitUsage);
    EXPECT_EQ(err_.str().find("s3cret"), std::string::npos) << "not echoed back";
  }
  EXPECT_EQ(plugin_.opens, 0);
  EXPECT_TRUE(prompts_.empty());
}

TEST_F(PluginCommandsTest, EventsArePrintedAsTheyComeForTheTimeAsked) {
  plugin_.replies = {{"startEvents", Value(true)}};
  plugin_.events = {{"agentConnected", "", 1796630400123},
                    {"serviceGenerationChanged", "ab\"cd", 1796630401000}};
  plugin_.replies["startEvents"].value = EncodableValue();  // a void method answers null

  ASSERT_EQ(Run({"events", "3"}), kExitOk);
  EXPECT_EQ(plugin_.pumped_ms, 3000u);
  EXPECT_EQ(plugin_.calls.at(0).first, "startEvents");
  EXPECT_EQ(out_.str(),
            "listening for events for 3s\n"
            "2026-12-07 08:00:00.123 UTC  agentConnected\n"
            "2026-12-07 08:00:01.000 UTC  serviceGenerationChanged  ab\"cd\n");

  ASSERT_EQ(Run({"events", "--json"}), kExitOk);
  EXPECT_EQ(plugin_.pumped_ms, 10000u) << "default";
  std::istringstream lines(out_.str());
  std::vector<Json> events;
  for (std::string line; std::getline(lines, line);) {
    const auto json = ParseJson(line);
    ASSERT_TRUE(json) << line;
    events.push_back(*json);
  }
  ASSERT_EQ(events.size(), 2u) << "one JSON object per line and nothing else";
  EXPECT_EQ(events[0]["type"].text, "agentConnected");
  EXPECT_EQ(events[1]["detail"].text, "ab\"cd");
  EXPECT_EQ(events[1]["timestampMs"].text, "1796630401000");
}

TEST_F(PluginCommandsTest, EventsThatCannotStartFail) {
  plugin_.replies = {{"startEvents", Error("INTERNAL", "")}};
  plugin_.events = {{"agentConnected", "", 1}};
  EXPECT_EQ(Run({"events", "1"}), 1);
  EXPECT_EQ(plugin_.pumped_ms, 0u);
  EXPECT_EQ(out_.str(), "");
}

// ---- readable units ----

TEST(PluginFormat, Bytes) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0 B"},
      {1, "1 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048575, "1.0 MiB"},
      {1048576, "1.0 MiB"},
      {5368709120, "5.0 GiB"},
      {INT64_MAX, "8.0 EiB"},
      {-1, "-1 B"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatBytes(bytes), text) << bytes;
}

TEST(PluginFormat, Durations) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0s"},
      {59, "59s"},
      {60, "1m 00s"},
      {3723, "1h 02m 03s"},
      {86400, "1d 00h 00m 00s"},
      {183845, "2d 03h 04m 05s"},
      {-5, "-5s"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(FormatDuration(seconds), text) << seconds;
  EXPECT_FALSE(FormatDuration(INT64_MAX).empty());
}

TEST(PluginFormat, UnixMillisecondsAsUtc) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "never"},
      {1, "1970-01-01 00:00:00.001 UTC"},
      {951782400000, "2000-02-29 00:00:00.000 UTC"},
      {1709251199999, "2024-02-29 23:59:59.999 UTC"},
      {4102444800000, "2100-01-01 00:00:00.000 UTC"},
      {253402300799999, "9999-12-31 23:59:59.999 UTC"},
      {253402300800000, "253402300800000 ms"},
      {-1, "-1 ms"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(FormatUnixMs(ms), text) << ms;
}

}  // namespace
}  // namespace tovra::tools
