#include "service/wireguard/wireguard_config_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "service/wireguard/testing/render_limits.h"

namespace tovra::service {
namespace {

using C = WireGuardConfigCode;

constexpr const char* kKey1 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
constexpr const char* kKey2 = "ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM=";
constexpr const char* kKey3 = "BwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwc=";

const std::vector<std::string> kBase = {
    "[Interface]",                         // 0
    std::string("PrivateKey = ") + kKey1,  // 1
    "Address = 10.0.0.2/32",               // 2
    "[Peer]",                              // 3
    std::string("PublicKey = ") + kKey2,   // 4
    "Endpoint = vpn.example.com:51820",    // 5
    "AllowedIPs = 0.0.0.0/0",              // 6
};

std::string Join(const std::vector<std::string>& lines, std::string_view eol = "\n") {
  std::string s;
  for (const auto& l : lines) s.append(l).append(eol);
  return s;
}

std::string Replace(size_t index, std::initializer_list<std::string> with) {
  std::vector<std::string> lines = kBase;
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index), with);
  return Join(lines);
}

std::string InInterface(std::initializer_list<std::string> more) {
  return Replace(2, more);
}
std::string Append(std::initializer_list<std::string> more) {
  std::vector<std::string> lines = kBase;
  lines.insert(lines.end(), more);
  return Join(lines);
}
std::string Key(std::string_view name, const char* key) {
  return std::string(name) + " = " + key;
}
std::string Peer(const char* key = kKey3) {
  return Join({"[Peer]", Key("PublicKey", key), "Endpoint = 1.2.3.4:1", "AllowedIPs = ::/0"});
}

struct Case {
  const char* name;
  std::string config;
  C expected;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class ConfigCodes : public ::testing::TestWithParam<Case> {};

TEST_P(ConfigCodes, Decides) {
  const WireGuardConfigResult r = ValidateWireGuardConfig(GetParam().config);
  EXPECT_EQ(static_cast<int>(r.code), static_cast<int>(GetParam().expected));
  EXPECT_EQ(r.text.empty(), r.code != C::kAccepted);
}

std::vector<Case> AllCases() {
  std::string seventeen_peers = Join(kBase);
  for (int i = 0; i < 15; ++i) seventeen_peers += Peer();
  std::string sixteen_peers = seventeen_peers;
  seventeen_peers += Peer();

  std::vector<Case> cases = {
      // whole input
      {"base", Join(kBase), C::kAccepted},
      {"empty", "", C::kEmpty},
      {"too_long", Join(kBase) + std::string(kMaxWireGuardConfigBytes, '\n'), C::kTooLong},
      {"nul", Join(kBase) + std::string(1, '\0'), C::kControlCharacter},
      {"vertical_tab", Replace(2, {"Address = 10.0.0.2/32\v"}), C::kControlCharacter},
      {"escape", Append({"# \x1B[31m"}), C::kControlCharacter},
      {"del", Append({"# \x7F"}), C::kControlCharacter},
      {"control_wins_over_utf8", Append({"\xFF\x01"}), C::kControlCharacter},
      {"invalid_utf8_in_comment", Append({"# \xC0\xAF"}), C::kNotUtf8},
      {"surrogate_utf8", Append({"# \xED\xA0\x80"}), C::kNotUtf8},
      {"valid_utf8_in_comment", Append({"# h\xC3\xA9llo \xF0\x9F\x94\x92"}), C::kAccepted},
      {"crlf", Join(kBase, "\r\n"), C::kAccepted},
      {"byte_order_mark", "\xEF\xBB\xBF" + Join(kBase), C::kKeyOutsideSection},
      {"line_4096", Append({std::string(4096, ' ')}), C::kAccepted},
      {"line_4097", Append({std::string(4097, ' ')}), C::kLineTooLong},
      {"long_comment_line", Append({"#" + std::string(4096, 'c')}), C::kLineTooLong},
      // sections
      {"key_before_section", "Address = 10.0.0.2\n" + Join(kBase), C::kKeyOutsideSection},
      {"bare_word_before_section", "hello\n" + Join(kBase), C::kKeyOutsideSection},
      {"header_any_case", Replace(0, {"[iNtErFaCe]"}), C::kAccepted},
      {"header_padded", Replace(0, {" \t[Interface] \r"}), C::kAccepted},
      {"header_with_comment", Replace(3, {"[Peer] # first"}), C::kAccepted},
      {"header_with_semicolon_comment", Replace(3, {"[Peer] ; first"}), C::kUnknownSection},
      {"header_with_inner_blank", Replace(0, {"[ Interface]"}), C::kUnknownSection},
      {"unknown_header", Append({"[Other]"}), C::kUnknownSection},
      {"peer_before_interface", Join({"[Peer]"}) + Join(kBase), C::kNoInterface},
      {"no_interface_only_comments", "# nothing\n\n", C::kNoInterface},
      {"repeated_interface", Append({"[Interface]", "DNS = 1.1.1.1"}), C::kAccepted},
      // key lines
      {"bare_word_address", InInterface({"Address"}), C::kNoEquals},
      {"address_without_value", InInterface({"Address ="}), C::kEmptyValue},
      {"value_only_comment", InInterface({"Address = # none"}), C::kEmptyValue},
      {"empty_key", InInterface({"= 10.0.0.2"}), C::kUnknownKey},
      {"unknown_interface_key", InInterface({"Address = 10.0.0.2", "Foo = 1"}), C::kUnknownKey},
      {"dns_in_peer", Append({"DNS = 1.1.1.1"}), C::kUnknownKey},
      {"key_names_any_case",
       Join({"[Interface]", Key("privatekey", kKey1), "ADDRESS=10.0.0.2", "[peer]",
             Key("PUBLICKEY", kKey2), "endpoint=h:1", "allowedips=::/0"}),
       C::kAccepted},
      {"value_cut_at_hash", Replace(1, {"PrivateKey=abc#def"}), C::kMalformedKey},
      {"key_with_hash_inside", Replace(1, {std::string("PrivateKey = ") + kKey1 + "#c"}),
       C::kAccepted},
      // keys
      {"second_private_key", Replace(1, {Key("PrivateKey", kKey1), Key("PrivateKey", kKey3)}),
       C::kDuplicateKey},
      {"private_key_after_peer_public_key", Append({"[Interface]", Key("PrivateKey", kKey3)}),
       C::kDuplicateKey},
      {"second_public_key", Append({Key("PublicKey", kKey3)}), C::kDuplicateKey},
      {"no_private_key", Replace(1, {}), C::kNoPrivateKey},
      {"malformed_private_key", Replace(1, {"PrivateKey = nope", Key("PrivateKey", kKey1)}),
       C::kMalformedKey},
      {"key_43_chars", Replace(1, {std::string("PrivateKey = ") + std::string(kKey1).substr(1)}),
       C::kMalformedKey},
      {"key_without_padding",
       Replace(1, {std::string("PrivateKey = ") + std::string(kKey1).substr(0, 43) + "A"}),
       C::kMalformedKey},
      {"key_last_char_B", Replace(1, {"PrivateKey = " + std::string(42, 'A') + "B="}),
       C::kMalformedKey},
      {"key_last_char_A", Replace(1, {"PrivateKey = " + std::string(42, 'A') + "A="}),
       C::kAccepted},
      {"key_last_char_E", Replace(1, {"PrivateKey = " + std::string(42, 'A') + "E="}),
       C::kAccepted},
      {"key_last_char_plus", Replace(1, {"PrivateKey = " + std::string(42, 'A') + "+="}),
       C::kMalformedKey},
      {"key_url_safe_alphabet", Replace(1, {"PrivateKey = -" + std::string(41, 'A') + "A="}),
       C::kMalformedKey},
      {"key_with_inner_tab",
       Replace(1, {"PrivateKey = " + std::string(20, 'A') + "\t" + std::string(21, 'A') + "A="}),
       C::kMalformedKey},
      {"preshared_key", Append({Key("PresharedKey", kKey3)}), C::kAccepted},
      {"second_preshared_key", Append({Key("PresharedKey", kKey3), Key("PresharedKey", kKey3)}),
       C::kDuplicateKey},
      {"malformed_preshared_key", Append({"PresharedKey = x"}), C::kMalformedKey},
      {"no_public_key", Replace(4, {}), C::kNoPublicKey},
      {"no_endpoint", Replace(5, {}), C::kNoEndpoint},
      {"second_endpoint", Append({"Endpoint = h:2"}), C::kDuplicateKey},
      {"no_allowed_ips", Replace(6, {}), C::kNoAllowedIps},
      {"no_peer", Join({kBase.begin(), kBase.begin() + 3}), C::kNoPeer},
      {"later_peer_without_endpoint",
       Join(kBase) + Join({"[Peer]", Key("PublicKey", kKey3), "AllowedIPs = ::/0"}) + Peer(),
       C::kNoEndpoint},
      {"sixteen_peers", sixteen_peers, C::kAccepted},
      {"seventeen_peers", seventeen_peers, C::kTooManyPeers},
      // Address and AllowedIPs
      {"no_address", Replace(2, {}), C::kBadAddress},
      {"address_prefix_33", InInterface({"Address = 10.0.0.2/33"}), C::kBadAddress},
      {"address_v6_128", InInterface({"Address = fd00::2/128"}), C::kAccepted},
      {"address_v6_129", InInterface({"Address = fd00::2/129"}), C::kBadAddress},
      {"address_no_prefix", InInterface({"Address = 10.0.0.2"}), C::kAccepted},
      {"address_empty_prefix", InInterface({"Address = 10.0.0.2/"}), C::kAccepted},
      {"address_prefix_six_digits", InInterface({"Address = 10.0.0.2/000032"}), C::kBadAddress},
      {"address_prefix_sign", InInterface({"Address = 10.0.0.2/+8"}), C::kBadAddress},
      {"address_only_prefix", InInterface({"Address = /24"}), C::kBadAddress},
      {"address_host_name", InInterface({"Address = host"}), C::kBadAddress},
      {"address_two_slashes", InInterface({"Address = 10.0.0.0/8/8"}), C::kBadAddress},
      {"address_list", InInterface({"Address = 10.0.0.2/32 ,\tfd00::2/128"}), C::kAccepted},
      {"address_leading_comma", InInterface({"Address = ,10.0.0.2"}), C::kBadAddress},
      {"address_trailing_comma", InInterface({"Address = 10.0.0.2,"}), C::kBadAddress},
      {"address_double_comma", InInterface({"Address = 10.0.0.2,,10.0.0.3"}), C::kBadAddress},
      {"address_16_entries",
       InInterface({"Address = 1.1.1.1" +
                    [] {
                      std::string s;
                      for (int i = 0; i < 15; ++i) s += ",1.1.1.1";
                      return s;
                    }()}),
       C::kAccepted},
      {"address_17_entries",
       InInterface({"Address = 1.1.1.1" +
                    [] {
                      std::string s;
                      for (int i = 0; i < 16; ++i) s += ",1.1.1.1";
                      return s;
                    }()}),
       C::kBadAddress},
      {"address_lines_accumulate_past_16",
       InInterface({"Address = 1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1",
                    "Address = 1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1",
                    "Address = 1.1.1.1"}),
       C::kAccepted},
      {"allowed_ips_65_entries",
       Replace(6, {"AllowedIPs = ::/0" +
                   [] {
                     std::string s;
                     for (int i = 0; i < 64; ++i) s += ",::/0";
                     return s;
                   }()}),
       C::kBadAddress},
      {"allowed_ips_64_entries",
       Replace(6, {"AllowedIPs = ::/0" +
                   [] {
                     std::string s;
                     for (int i = 0; i < 63; ++i) s += ",::/0";
                     return s;
                   }()}),
       C::kAccepted},
      {"allowed_ips_leading_zero_prefix", Replace(6, {"AllowedIPs = 0.0.0.0/00"}), C::kAccepted},
      {"allowed_ips_zone_id", Replace(6, {"AllowedIPs = fe80::1%eth0/64"}), C::kBadAddress},
      {"allowed_ips_bad", Replace(6, {"AllowedIPs = 10.0.0.256/32"}), C::kBadAddress},
      {"allowed_ips_lines_accumulate", Append({"AllowedIPs = ::/0"}), C::kAccepted},
      // DNS
      {"dns_v4_and_v6", InInterface({"Address = 10.0.0.2", "DNS = 10.0.0.1, fd00::1"}),
       C::kAccepted},
      {"dns_with_prefix", InInterface({"Address = 10.0.0.2", "DNS = 10.0.0.1/32"}), C::kBadDns},
      {"dns_host_name", InInterface({"Address = 10.0.0.2", "DNS = corp.example"}), C::kAccepted},
      {"dns_leading_hyphen", InInterface({"Address = 10.0.0.2", "DNS = -corp.example"}),
       C::kBadDns},
      {"dns_leading_dot", InInterface({"Address = 10.0.0.2", "DNS = .corp"}), C::kBadDns},
      {"dns_trailing_dot", InInterface({"Address = 10.0.0.2", "DNS = corp."}), C::kBadDns},
      {"dns_trailing_hyphen", InInterface({"Address = 10.0.0.2", "DNS = corp-"}), C::kAccepted},
      {"dns_underscore", InInterface({"Address = 10.0.0.2", "DNS = a_b"}), C::kBadDns},
      {"dns_non_ascii_letter", InInterface({"Address = 10.0.0.2", "DNS = caf\xC3\xA9"}),
       C::kBadDns},
      {"dns_253", InInterface({"Address = 10.0.0.2", "DNS = " + std::string(253, 'd')}),
       C::kAccepted},
      {"dns_254", InInterface({"Address = 10.0.0.2", "DNS = " + std::string(254, 'd')}),
       C::kBadDns},
      {"dns_empty_entry", InInterface({"Address = 10.0.0.2", "DNS = 1.1.1.1,"}), C::kBadDns},
      // Endpoint
      {"endpoint_v6_bracketed", Replace(5, {"Endpoint = [fd00::1]:443"}), C::kAccepted},
      {"endpoint_host_hyphen_dot", Replace(5, {"Endpoint = vpn-1.example:443"}), C::kAccepted},
      {"endpoint_host_trailing_dot", Replace(5, {"Endpoint = vpn.example.:443"}), C::kAccepted},
      {"endpoint_host_trailing_hyphen", Replace(5, {"Endpoint = vpn-:443"}), C::kBadEndpoint},
      {"endpoint_host_leading_dot", Replace(5, {"Endpoint = .vpn:443"}), C::kBadEndpoint},
      {"endpoint_v4", Replace(5, {"Endpoint = 192.0.2.1:51820"}), C::kAccepted},
      {"endpoint_unbracketed_v6", Replace(5, {"Endpoint = fd00::1:443"}), C::kBadEndpoint},
      {"endpoint_port_0", Replace(5, {"Endpoint = h:0"}), C::kBadEndpoint},
      {"endpoint_port_65535", Replace(5, {"Endpoint = h:65535"}), C::kAccepted},
      {"endpoint_port_65536", Replace(5, {"Endpoint = h:65536"}), C::kBadEndpoint},
      {"endpoint_no_port", Replace(5, {"Endpoint = h"}), C::kBadEndpoint},
      {"endpoint_empty_port", Replace(5, {"Endpoint = h:"}), C::kBadEndpoint},
      {"endpoint_empty_host", Replace(5, {"Endpoint = :1"}), C::kBadEndpoint},
      {"endpoint_bracket_no_colon", Replace(5, {"Endpoint = [fd00::1]443"}), C::kBadEndpoint},
      {"endpoint_bracket_nothing_after", Replace(5, {"Endpoint = [fd00::1]"}), C::kBadEndpoint},
      {"endpoint_bracket_unclosed", Replace(5, {"Endpoint = [fd00::1:443"}), C::kBadEndpoint},
      {"endpoint_bracket_v4", Replace(5, {"Endpoint = [1.2.3.4]:443"}), C::kBadEndpoint},
      {"endpoint_bracket_empty_port", Replace(5, {"Endpoint = [::1]:"}), C::kBadEndpoint},
      {"endpoint_blank_inside", Replace(5, {"Endpoint = vpn example:1"}), C::kBadEndpoint},
      {"endpoint_host_254", Replace(5, {"Endpoint = " + std::string(254, 'h') + ":1"}),
       C::kBadEndpoint},
      // numbers
      {"mtu_1280", InInterface({"Address = 10.0.0.2", "MTU = 1280"}), C::kAccepted},
      {"mtu_1279", InInterface({"Address = 10.0.0.2", "MTU = 1279"}), C::kNumberOutOfRange},
      {"mtu_1501", InInterface({"Address = 10.0.0.2", "MTU = 1501"}), C::kNumberOutOfRange},
      {"mtu_twice", InInterface({"Address = 10.0.0.2", "MTU = 1400", "MTU = 1400"}),
       C::kDuplicateKey},
      {"listen_port_0", InInterface({"Address = 10.0.0.2", "ListenPort = 0"}), C::kAccepted},
      {"listen_port_65536", InInterface({"Address = 10.0.0.2", "ListenPort = 65536"}),
       C::kNumberOutOfRange},
      {"listen_port_six_zeros", InInterface({"Address = 10.0.0.2", "ListenPort = 000000"}),
       C::kNumberOutOfRange},
      {"listen_port_sign", InInterface({"Address = 10.0.0.2", "ListenPort = +1"}),
       C::kNumberOutOfRange},
      {"listen_port_twice", InInterface({"Address = 10.0.0.2", "ListenPort = 1", "ListenPort = 2"}),
       C::kDuplicateKey},
      {"keepalive_99999", Append({"PersistentKeepalive = 99999"}), C::kNumberOutOfRange},
      {"keepalive_twice", Append({"PersistentKeepalive = 1", "PersistentKeepalive = 1"}),
       C::kDuplicateKey},
      {"keepalive_in_interface", InInterface({"Address = 10.0.0.2", "PersistentKeepalive = 1"}),
       C::kUnknownKey},
  };
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigCodes, ::testing::ValuesIn(AllCases()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ConfigEndChecks, ReportInTheirFixedOrder) {
  EXPECT_EQ(ValidateWireGuardConfig("\n").code, C::kNoInterface);
  std::vector<std::string> lines = {"[Interface]"};
  const std::vector<std::pair<std::string, C>> steps = {
      {"ListenPort = 1", C::kNoPrivateKey},   {Key("PrivateKey", kKey1), C::kBadAddress},
      {"Address = ::1", C::kNoPeer},          {"[Peer]", C::kNoPublicKey},
      {"AllowedIPs = ::/0", C::kNoPublicKey}, {Key("PublicKey", kKey2), C::kNoEndpoint},
  };
  for (const auto& [line, expected] : steps) {
    lines.push_back(line);
    EXPECT_EQ(ValidateWireGuardConfig(Join(lines)).code, expected) << "after " << line;
  }
  lines.push_back("Endpoint = h:1");
  lines.erase(lines.begin() + 5);  // the AllowedIPs line
  EXPECT_EQ(ValidateWireGuardConfig(Join(lines)).code, C::kNoAllowedIps);
}

TEST(ConfigSize, LimitIsInclusive) {
  std::string config = Join(kBase);
  config += std::string(kMaxWireGuardConfigBytes - config.size(), '\n');
  EXPECT_EQ(ValidateWireGuardConfig(config).code, C::kAccepted);
  EXPECT_EQ(ValidateWireGuardConfig(config + "\n").code, C::kTooLong);
}

TEST(ConfigRendering, ExactLayoutFromTheParsedValuesOnly) {
  const std::string input =
      "# written by the app\r\n"
      "[interface]\r\n"
      "  privatekey=" +
      std::string(kKey1) +
      "   # mine\r\n"
      "LISTENPORT = 00051\r\n"
      "address = 10.0.0.2/32\r\n"
      "DNS = corp.example\r\n"
      "MTU = 1420\r\n"
      "Address = fd00::2/128, 10.0.0.3/\r\n"
      "DNS = 1.1.1.1\r\n"
      "\r\n"
      "[PEER]\r\n"
      "Endpoint = [fd00::1]:0443\r\n"
      "AllowedIPs = 0.0.0.0/00\r\n"
      "PublicKey = " +
      kKey2 +
      "\r\n"
      "PersistentKeepalive = 0\r\n"
      "AllowedIPs = ::/0\r\n"
      "[Peer]\r\n"
      "PresharedKey = " +
      kKey1 +
      "\r\n"
      "PublicKey = " +
      kKey3 +
      "\r\n"
      "AllowedIPs = 10.0.0.0/8\r\n"
      "Endpoint = h:1";
  const std::string expected =
      "[Interface]\n"
      "PrivateKey = " +
      std::string(kKey1) +
      "\n"
      "Address = 10.0.0.2/32, fd00::2/128, 10.0.0.3/\n"
      "DNS = corp.example, 1.1.1.1\n"
      "MTU = 1420\n"
      "ListenPort = 51\n"
      "\n"
      "[Peer]\n"
      "PublicKey = " +
      kKey2 +
      "\n"
      "AllowedIPs = 0.0.0.0/00, ::/0\n"
      "Endpoint = [fd00::1]:0443\n"
      "PersistentKeepalive = 0\n"
      "\n"
      "[Peer]\n"
      "PublicKey = " +
      kKey3 +
      "\n"
      "PresharedKey = " +
      kKey1 +
      "\n"
      "AllowedIPs = 10.0.0.0/8\n"
      "Endpoint = h:1\n";
  const WireGuardConfigResult r = ValidateWireGuardConfig(input);
  ASSERT_EQ(r.code, C::kAccepted);
  EXPECT_EQ(r.text, expected);
}

TEST(ConfigRendering, OptionalLinesAreLeftOutAndNumbersLoseLeadingZeros) {
  const WireGuardConfigResult r = ValidateWireGuardConfig(
      Replace(2, {"Address = 10.0.0.2/32", "ListenPort = 00000", "MTU = 01500"}));
  ASSERT_EQ(r.code, C::kAccepted);
  EXPECT_EQ(r.text, Join({"[Interface]", Key("PrivateKey", kKey1), "Address = 10.0.0.2/32",
                          "MTU = 1500", "ListenPort = 0", "", "[Peer]", Key("PublicKey", kKey2),
                          "AllowedIPs = 0.0.0.0/0", "Endpoint = vpn.example.com:51820"}));
}

TEST(ConfigRendering, OutputIsNeverReallocatedWhileWritten) {
  // Tight input renders longer than itself (" = " is added); the rendered text
  // must still be written into one allocation of its full size.
  const std::string tight =
      Join({"[Interface]", std::string("PrivateKey=") + kKey1, "Address=::1", "[Peer]",
            std::string("PublicKey=") + kKey2, "Endpoint=h:1", "AllowedIPs=::/0"});
  const WireGuardConfigResult r = ValidateWireGuardConfig(tight);
  ASSERT_EQ(r.code, C::kAccepted);
  ASSERT_GT(r.text.size(), tight.size());
  EXPECT_LT(r.text.capacity(), r.text.size() + 16) << "grown by doubling, not reserved once";
}

// ---- properties over generated configurations ----

// Builds configurations the way a user interface or a hand edit might: random
// letter case, padding, comments, CR LF, repeated list lines, optional keys, and
// a few deliberately broken values.
class Generator {
 public:
  explicit Generator(uint32_t seed) : rng_(seed) {}

  std::string Config() {
    std::vector<std::string> lines;
    lines.push_back(Header("Interface"));
    std::vector<std::string> body = {KeyLine("PrivateKey", RandomKey())};
    const int address_lines = 1 + Pick(3);
    for (int i = 0; i < address_lines; ++i) body.push_back(KeyLine("Address", List(kAddresses, 4)));
    if (Pick(2)) body.push_back(KeyLine("DNS", List(kDns, 3)));
    if (Pick(2)) body.push_back(KeyLine("MTU", Pick(2) ? "1420" : "01280"));
    if (Pick(2)) body.push_back(KeyLine("ListenPort", Pick(2) ? "0" : "51820"));
    Shuffle(body);
    lines.insert(lines.end(), body.begin(), body.end());
    const int peers = 1 + Pick(4);
    for (int p = 0; p < peers; ++p) {
      lines.push_back("");
      lines.push_back(Header("Peer"));
      std::vector<std::string> peer = {KeyLine("PublicKey", RandomKey()),
                                       KeyLine("Endpoint", Pick(kEndpoints))};
      const int allowed_lines = 1 + Pick(2);
      for (int i = 0; i < allowed_lines; ++i) {
        peer.push_back(KeyLine("AllowedIPs", List(kAddresses, 3)));
      }
      if (Pick(2)) peer.push_back(KeyLine("PresharedKey", RandomKey()));
      if (Pick(2)) peer.push_back(KeyLine("PersistentKeepalive", Pick(2) ? "25" : "0"));
      Shuffle(peer);
      lines.insert(lines.end(), peer.begin(), peer.end());
    }
    if (Pick(8) == 0) lines[static_cast<size_t>(Pick(static_cast<int>(lines.size())))] += " broken";
    std::string out;
    const std::string eol = Pick(3) == 0 ? "\r\n" : "\n";
    for (const auto& l : lines) {
      if (Pick(6) == 0) out += "# comment line" + eol;
      out += l + eol;
    }
    return out;
  }

 private:
  static constexpr const char* kAddresses[] = {
      "10.0.0.2/32",    "fd00::2/128", "0.0.0.0/0",         "::/0",
      "192.168.1.0/24", "10.0.0.3",    "::ffff:1.2.3.4/96", "10.1.0.0/"};
  static constexpr const char* kDns[] = {"1.1.1.1", "fd00::53", "corp.example", "dns-1"};
  static constexpr const char* kEndpoints[] = {"vpn.example.com:51820", "[fd00::1]:443",
                                               "192.0.2.7:1", "host:65535"};

  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  template <size_t N>
  const char* Pick(const char* const (&pool)[N]) {
    return pool[Pick(static_cast<int>(N))];
  }
  template <typename T>
  void Shuffle(std::vector<T>& v) {
    std::shuffle(v.begin(), v.end(), rng_);
  }
  std::string Case(std::string s) {
    for (char& c : s) {
      if (Pick(3) == 0)
        c = static_cast<char>(std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c)
                                                                          : std::toupper(c));
    }
    return s;
  }
  std::string Pad() { return std::string(static_cast<size_t>(Pick(3)), Pick(2) ? ' ' : '\t'); }
  std::string Header(const char* name) { return Pad() + "[" + Case(name) + "]" + Pad(); }
  std::string KeyLine(const char* key, const std::string& value) {
    std::string line = Pad() + Case(key) + Pad() + "=" + Pad() + value + Pad();
    if (Pick(5) == 0) line += "# trailing";
    return line;
  }
  template <size_t N>
  std::string List(const char* const (&pool)[N], int max) {
    std::string s = Pick(pool);
    const int more = Pick(max);
    for (int i = 0; i < more; ++i) s += std::string(",") + Pad() + Pick(pool);
    return s;
  }
  std::string RandomKey() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string k;
    for (int i = 0; i < 42; ++i) k += kAlphabet[Pick(64)];
    k += kAlphabet[Pick(16) * 4];
    return k + "=";
  }

  std::mt19937 rng_;
};

TEST(ConfigProperties, RenderingIsDeterministicAndAFixedPointWithinTheLimits) {
  Generator gen(20261207);
  int accepted = 0;
  for (int iteration = 0; iteration < 2000; ++iteration) {
    const std::string config = gen.Config();
    const WireGuardConfigResult first = ValidateWireGuardConfig(config);
    const WireGuardConfigResult second = ValidateWireGuardConfig(config);
    ASSERT_EQ(first.code, second.code);
    ASSERT_EQ(first.text, second.text);
    if (first.code != C::kAccepted) continue;
    ++accepted;
    ASSERT_EQ(first.text.find('\r'), std::string::npos);
    if (!test_support::RenderedWithinInputLimits(first.text)) continue;
    const WireGuardConfigResult again = ValidateWireGuardConfig(first.text);
    ASSERT_EQ(again.code, C::kAccepted) << first.text;
    ASSERT_EQ(again.text, first.text) << config;
  }
  EXPECT_GT(accepted, 1000) << "the generator should mostly produce accepted configurations";
}

TEST(ConfigProperties, MutatedInputsNeverBreakTheFixedPoint) {
  Generator gen(99);
  std::mt19937 rng(5);
  const char interesting[] = {'\n', '\r', '\t', ' ', '#', '=', ',',    '/',   ':',
                              '[',  ']',  '.',  '0', 'A', 'f', '\x80', '\xC3'};
  for (int iteration = 0; iteration < 4000; ++iteration) {
    std::string config = gen.Config();
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % config.size();
      const char c = interesting[rng() % sizeof(interesting)];
      switch (rng() % 3) {
        case 0:
          config[at] = c;
          break;
        case 1:
          config.insert(config.begin() + static_cast<std::ptrdiff_t>(at), c);
          break;
        default:
          config.erase(at, 1 + rng() % 8);
          break;
      }
      if (config.empty()) config = "x";
    }
    const WireGuardConfigResult r = ValidateWireGuardConfig(config);
    if (r.code != C::kAccepted) {
      ASSERT_TRUE(r.text.empty());
      continue;
    }
    if (!test_support::RenderedWithinInputLimits(r.text)) continue;
    const WireGuardConfigResult again = ValidateWireGuardConfig(r.text);
    ASSERT_EQ(again.code, C::kAccepted) << r.text;
    ASSERT_EQ(again.text, r.text);
  }
}

TEST(ConfigProperties, JoinedListsBeyondTheLimitsAreNotRequiredToRevalidate) {
  // 16 + 1 Address entries over two lines: accepted, but the single rendered
  // line would hold 17 entries, which the limit check recognises.
  std::string many = "Address = 1.1.1.1";
  for (int i = 0; i < 15; ++i) many += ",1.1.1.1";
  const WireGuardConfigResult r = ValidateWireGuardConfig(InInterface({many, "Address = ::1"}));
  ASSERT_EQ(r.code, C::kAccepted);
  EXPECT_FALSE(test_support::RenderedWithinInputLimits(r.text));
  EXPECT_EQ(ValidateWireGuardConfig(r.text).code, C::kBadAddress);
}

TEST(ConfigCodeMeaning, EveryCodeHasItsOwnText) {
  std::vector<std::string_view> seen;
  for (int code = 0; code <= 23; ++code) {
    const auto text = WireGuardConfigCodeMeaning(static_cast<C>(code));
    EXPECT_NE(text, "unknown code") << code;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << code;
    seen.push_back(text);
  }
}

}  // namespace
}  // namespace tovra::service
