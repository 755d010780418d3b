#include "common/openvpn/openvpn_profile_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace tovra::openvpn {
namespace {

using C = OpenVpnProfileCode;

const std::vector<std::string> kBase = {
    "client",
    "dev tun",
    "proto udp",
    "remote vpn.example.com 1194",
    "auth-user-pass",
    "<ca>",
    "-----BEGIN CERTIFICATE-----",
    "MIIBszCCAVmgAwIBAgIUQ",
    "-----END CERTIFICATE-----",
    "</ca>",
};

std::string Join(const std::vector<std::string>& lines, std::string_view eol = "\n") {
  std::string s;
  for (const auto& l : lines) s.append(l).append(eol);
  return s;
}

// kBase with line `index` replaced (or removed when `with` is empty of lines).
std::string Replace(size_t index, std::initializer_list<std::string> with) {
  std::vector<std::string> lines = kBase;
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index), with);
  return Join(lines);
}

std::string Append(std::initializer_list<std::string> more) {
  std::vector<std::string> lines = kBase;
  lines.insert(lines.end(), more);
  return Join(lines);
}

struct Case {
  const char* name;
  std::string profile;
  C expected;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class ProfileCodes : public ::testing::TestWithParam<Case> {};

TEST_P(ProfileCodes, Decides) {
  EXPECT_EQ(static_cast<int>(ValidateOpenVpnProfile(GetParam().profile)),
            static_cast<int>(GetParam().expected));
}

std::vector<Case> AllCases() {
  std::vector<Case> cases = {
      // whole-text limits
      {"base", Join(kBase), C::kAccepted},
      {"empty", "", C::kEmpty},
      {"crlf_line_ends", Join(kBase, "\r\n"), C::kAccepted},
      {"no_final_lf", Join(kBase).substr(0, Join(kBase).size() - 1), C::kAccepted},
      {"nul_byte", Append({std::string("verb 3\0", 7)}), C::kNulByte},
      {"line_of_512_bytes", Append({"verb " + std::string(507, '3')}), C::kAccepted},
      {"line_of_513_bytes", Append({"verb " + std::string(508, '3')}), C::kLineTooLong},
      {"cr_counts_toward_line_length", Append({"verb " + std::string(507, '3') + "\r"}),
       C::kLineTooLong},
      {"long_line_inside_block", Replace(7, {std::string(513, 'A')}), C::kLineTooLong},
      {"cr_only_profile_is_one_long_line", Join(kBase, "\r") + std::string(400, '#'),
       C::kLineTooLong},
      {"cr_only_short_profile_is_one_line", "client\rdev tun\r", C::kDirectiveNotAllowed},
      {"byte_order_mark", "\xEF\xBB\xBF" + Join(kBase), C::kDirectiveNotAllowed},
      {"byte_order_mark_before_comment", "\xEF\xBB\xBF# comment\n" + Join(kBase),
       C::kDirectiveNotAllowed},
      // comments and white space
      {"comments_and_blanks", "# a\n; b\n\n   \t\n" + Join(kBase), C::kAccepted},
      {"indented_directive", Replace(0, {" \t client \t"}), C::kAccepted},
      {"comment_inside_tls_auth",
       Append({"<tls-auth>", "# 2048 bit OpenVPN static key", "ab", "</tls-auth>"}), C::kAccepted},
      // directives
      {"no_client", Replace(0, {}), C::kNoClient},
      {"capital_client", Replace(0, {"Client"}), C::kDirectiveNotAllowed},
      {"script_security", Append({"script-security 2"}), C::kDirectiveNotAllowed},
      {"every_free_directive",
       Append({"resolv-retry infinite", "tun-mtu 1500", "key-direction 1", "nobind", "persist-key",
               "persist-tun", "ns-cert-type server", "remote-cert-tls server", "comp-lzo",
               "compress lz4", "verb 3", "route-method exe", "cipher AES-256-CBC", "status x 1",
               "data-ciphers AES-256-GCM", "auth-nocache"}),
       C::kAccepted},
      {"no_dev", Replace(1, {}), C::kBadDev},
      {"dev_tap", Replace(1, {"dev tap"}), C::kBadDev},
      {"dev_tun_then_tap", Append({"dev tap"}), C::kBadDev},
      {"dev_tun_twice", Append({"dev tun"}), C::kAccepted},
      {"dev_without_argument", Replace(1, {"dev"}), C::kBadDev},
      {"dev_tun_extra", Replace(1, {"dev tun 0"}), C::kBadDev},
      {"dev_upper_tun", Replace(1, {"dev TUN"}), C::kBadDev},
      {"no_proto", Replace(2, {}), C::kNoValidProto},
      {"proto_upper_case", Replace(2, {"proto UDP"}), C::kAccepted},
      {"proto_tcp6_client", Replace(2, {"proto tcp6-client"}), C::kAccepted},
      {"proto_tcp_server", Replace(2, {"proto tcp-server"}), C::kNoValidProto},
      {"proto_tcp_server_then_udp", Replace(2, {"proto tcp-server", "proto udp"}), C::kAccepted},
      {"proto_udp_then_tcp_server", Replace(2, {"proto udp", "proto tcp-server"}),
       C::kNoValidProto},
      {"proto_with_extra_only", Replace(2, {"proto udp extra"}), C::kNoValidProto},
      {"proto_extra_keeps_flag", Replace(2, {"proto udp", "proto tcp-server extra"}), C::kAccepted},
      {"bare_proto_keeps_flag", Replace(2, {"proto tcp", "proto"}), C::kAccepted},
      {"no_remote", Replace(3, {}), C::kNoRemote},
      {"bare_remote", Replace(3, {"remote"}), C::kBadRemote},
      {"remote_host_only", Replace(3, {"remote 10.0.0.1"}), C::kAccepted},
      {"remote_port_and_proto", Replace(3, {"remote vpn.example.com 1194 udp"}), C::kAccepted},
      {"remote_port_99999", Replace(3, {"remote vpn.example.com 99999"}), C::kAccepted},
      {"remote_port_six_digits", Replace(3, {"remote vpn.example.com 100000"}), C::kBadRemote},
      {"remote_port_1194x", Replace(3, {"remote vpn.example.com 1194x udp"}), C::kBadRemote},
      {"remote_two_lines", Replace(3, {"remote a.example 1194", "remote b.example 443"}),
       C::kAccepted},
      {"remote_second_bad", Replace(3, {"remote a.example 1194", "remote b.example x"}),
       C::kBadRemote},
      {"remote_host_253", Replace(3, {"remote " + std::string(253, 'h')}), C::kAccepted},
      {"remote_host_254", Replace(3, {"remote " + std::string(254, 'h')}), C::kBadRemote},
      {"remote_host_del",
       Replace(3, {"remote a\x7F"
                   "b"}),
       C::kBadRemote},
      {"remote_host_inner_cr", Replace(3, {"remote a\rb 1194"}), C::kBadRemote},
      {"remote_host_high_bytes", Replace(3, {"remote \xC3\xA9t\xC3\xA9 1194"}), C::kAccepted},
      {"no_auth_user_pass", Replace(4, {}), C::kNoAuthUserPass},
      {"auth_user_pass_file", Replace(4, {"auth-user-pass creds.txt"}), C::kAuthUserPassArgument},
      {"auth_user_pass_argument_not_undone", Replace(4, {"auth-user-pass x", "auth-user-pass"}),
       C::kAuthUserPassArgument},
      {"no_ca_block", Join({kBase.begin(), kBase.begin() + 5}), C::kNoCaBlock},
      // blocks
      {"close_before_open", "</ca>\n" + Join(kBase), C::kBlockStructure},
      {"close_tls_auth_outside", Append({"</tls-auth>"}), C::kBlockStructure},
      {"unclosed_tls_auth", Append({"<tls-auth>", "ab"}), C::kBlockStructure},
      {"unclosed_ca", Join({kBase.begin(), kBase.begin() + 9}), C::kBlockStructure},
      {"cert_block", Append({"<cert>", "x", "</cert>"}), C::kDirectiveNotAllowed},
      {"key_block", Append({"<key>", "x", "</key>"}), C::kDirectiveNotAllowed},
      {"upper_case_ca_tag", Replace(5, {"<CA>"}), C::kDirectiveNotAllowed},
      {"directive_inside_block_ignored", Replace(7, {"script-security 2"}), C::kAccepted},
      {"other_close_tag_inside_block_ignored", Replace(7, {"</tls-auth>"}), C::kAccepted},
      {"padded_close_tag", Replace(9, {" \t</ca> \r"}), C::kAccepted},
      {"tls_auth_block", Append({"<tls-auth>", "ab", "</tls-auth>", "key-direction 1"}),
       C::kAccepted},
      {"ca_block_twice", Append({"<ca>", "y", "</ca>"}), C::kAccepted},
      // a line openvpn.exe would take as the end of the block must be exactly the tag
      {"close_tag_with_suffix", Replace(9, {"</ca>x", "</ca>"}), C::kBlockStructure},
      {"close_tag_tab_then_text", Replace(9, {"</ca>\tscript-security 2", "</ca>"}),
       C::kBlockStructure},
      {"close_tag_after_vt", Replace(9, {"\v</ca>"}), C::kBlockStructure},
      {"close_tag_after_ff", Replace(9, {" \f</ca>"}), C::kBlockStructure},
      {"close_tag_then_vt", Replace(9, {"</ca>\v"}), C::kBlockStructure},
      {"tls_auth_close_with_suffix", Append({"<tls-auth>", "</tls-auth>x", "</tls-auth>"}),
       C::kBlockStructure},
      {"commented_close_tag_is_comment", Replace(9, {"#</ca>x", "</ca>"}), C::kAccepted},
      {"tag_in_middle_is_content", Replace(7, {"x</ca>"}), C::kAccepted},
  };
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, ProfileCodes, ::testing::ValuesIn(AllCases()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ProfileEndChecks, ReportInTheirFixedOrder) {
  // Each step removes the fault that was reported, uncovering the next one.
  std::vector<std::string> lines = {"<tls-auth>"};
  const std::vector<std::pair<std::string, C>> fixes = {
      {"</tls-auth>", C::kNoClient},    {"client", C::kBadDev},
      {"dev tun", C::kNoValidProto},    {"proto tcp", C::kNoRemote},
      {"remote h", C::kNoAuthUserPass}, {"auth-user-pass x", C::kAuthUserPassArgument},
  };
  EXPECT_EQ(ValidateOpenVpnProfile(Join(lines)), C::kBlockStructure);
  for (const auto& [line, next] : fixes) {
    lines.push_back(line);
    EXPECT_EQ(ValidateOpenVpnProfile(Join(lines)), next) << "after adding " << line;
  }
  lines.back() = "auth-user-pass";
  EXPECT_EQ(ValidateOpenVpnProfile(Join(lines)), C::kNoCaBlock);
  lines.insert(lines.end(), {"<ca>", "</ca>"});
  EXPECT_EQ(ValidateOpenVpnProfile(Join(lines)), C::kAccepted);
}

TEST(ProfileSize, LimitIsInclusive) {
  std::string profile = Join(kBase);
  std::string at_limit = profile;
  while (at_limit.size() + 64 <= kMaxProfileBytes) at_limit += "# " + std::string(61, 'c') + "\n";
  at_limit += std::string(kMaxProfileBytes - at_limit.size() - 1, '#') + "\n";
  ASSERT_EQ(at_limit.size(), kMaxProfileBytes);
  EXPECT_EQ(ValidateOpenVpnProfile(at_limit), C::kAccepted);
  EXPECT_EQ(ValidateOpenVpnProfile(at_limit + "\n"), C::kTooLong);
  // Size wins over a NUL byte.
  EXPECT_EQ(ValidateOpenVpnProfile(std::string(kMaxProfileBytes + 1, '\0')), C::kTooLong);
}

TEST(ProfileCodeMeaning, EveryCodeHasItsOwnText) {
  std::vector<std::string_view> seen;
  for (int code = 0; code <= 14; ++code) {
    const auto text = OpenVpnProfileCodeMeaning(static_cast<C>(code));
    EXPECT_NE(text, "unknown code") << code;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), text), 0) << code;
    seen.push_back(text);
  }
}

// ---- EnsureDirective ----

TEST(EnsureDirective, Cases) {
  struct {
    std::string in, out;
  } const cases[] = {
      {"client\nauth-nocache\n", "client\nauth-nocache\n"},
      {"client\n  auth-nocache  extra\r\n", "client\n  auth-nocache  extra\r\n"},
      {"client", "client\nauth-nocache\n"},
      {"client\n", "client\nauth-nocache\n"},
      {"", "auth-nocache\n"},
      {"# auth-nocache\n", "# auth-nocache\nauth-nocache\n"},
      {"auth-nocache-x\n", "auth-nocache-x\nauth-nocache\n"},
      {"<ca>\nauth-nocache\n</ca>\n", "<ca>\nauth-nocache\n</ca>\n"},  // blocks not looked into
      {"client\r\n", "client\r\nauth-nocache\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EnsureDirective(c.in, "auth-nocache").view(), c.out) << c.in;
  }
}

TEST(EnsureDirective, CopyIsAllocatedAtItsFinalSize) {
  const common::SecretBuffer out = EnsureDirective(Join(kBase) + "verb 3", "auth-nocache");
  EXPECT_EQ(out.capacity() < out.size() + 32, true);
}

// ---- properties over generated profiles ----

// Valid or nearly valid profiles with a little of everything the rules look at.
std::string RandomProfile(std::mt19937& rng) {
  const char* pool[] = {
      "client",
      "dev tun",
      "dev tap",
      "proto udp",
      "proto TCP",
      "proto tcp-server",
      "proto udp extra",
      "remote h.example 1194",
      "remote h",
      "remote h 12x",
      "auth-user-pass",
      "auth-user-pass f",
      "verb 3",
      "nobind",
      "# comment",
      "; comment",
      "",
      "   ",
      "script-security 2",
      "auth-nocache",
      "</ca>",
      "cipher AES-256-GCM",
  };
  const char* blocks[][3] = {{"<ca>", "MIIB", "</ca>"}, {"<tls-auth>", "# key", "</tls-auth>"}};
  std::vector<std::string> lines = {"client",         "dev tun", "proto udp", "remote h 1",
                                    "auth-user-pass", "<ca>",    "x",         "</ca>"};
  const int extra = static_cast<int>(rng() % 8);
  for (int i = 0; i < extra; ++i) {
    const size_t at = rng() % (lines.size() + 1);
    // keep inserted lines outside blocks: only before an opening tag or after a closing one
    const bool inside = [&] {
      bool in = false;
      for (size_t k = 0; k < at; ++k) {
        if (lines[k] == "<ca>" || lines[k] == "<tls-auth>") in = true;
        if (lines[k] == "</ca>" || lines[k] == "</tls-auth>") in = false;
      }
      return in;
    }();
    if (inside) continue;
    if (rng() % 5 == 0) {
      const auto& b = blocks[rng() % 2];
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), {b[0], b[1], b[2]});
    } else {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
                   pool[rng() % (sizeof(pool) / sizeof(pool[0]))]);
    }
  }
  if (rng() % 4 == 0) std::shuffle(lines.begin(), lines.end(), rng);
  return Join(lines, rng() % 3 == 0 ? "\r\n" : "\n");
}

TEST(ProfileProperties, CommentsAndBlanksOutsideBlocksNeverChangeTheCode) {
  std::mt19937 rng(20261207);
  const char* fillers[] = {"# note", "; note", "", "  \t", "   # indented", "\r"};
  for (int iteration = 0; iteration < 3000; ++iteration) {
    const std::string profile = RandomProfile(rng);
    const C code = ValidateOpenVpnProfile(profile);
    // Insert filler lines only where no block is open.
    std::string out;
    bool in_block = false;
    size_t start = 0;
    while (start <= profile.size()) {
      size_t lf = profile.find('\n', start);
      const bool last = lf == std::string::npos;
      if (last) lf = profile.size();
      const std::string line = profile.substr(start, lf - start);
      if (!in_block && rng() % 3 == 0) out += std::string(fillers[rng() % 6]) + "\n";
      out += line;
      if (!last) out += "\n";
      std::string trimmed = line;
      while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == ' '))
        trimmed.pop_back();
      if (trimmed == "<ca>" || trimmed == "<tls-auth>") in_block = !in_block ? true : in_block;
      if (trimmed == "</ca>" || trimmed == "</tls-auth>") in_block = false;
      start = lf + 1;
    }
    ASSERT_EQ(ValidateOpenVpnProfile(out), code) << profile << "\n----\n" << out;
  }
}

TEST(ProfileProperties, EnsureDirectiveIsIdempotentAndKeepsAnAcceptedProfileAccepted) {
  std::mt19937 rng(7);
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::string profile = RandomProfile(rng);
    if (rng() % 2) profile.pop_back();  // no final LF
    for (const char* directive : {"auth-nocache", "verb", "client"}) {
      const std::string once(EnsureDirective(profile, directive).view());
      ASSERT_EQ(EnsureDirective(once, directive).view(), once);
      ASSERT_EQ(once.compare(0, profile.size(), profile), 0) << "only ever appends";
      if (ValidateOpenVpnProfile(profile) == C::kAccepted) {
        ASSERT_EQ(ValidateOpenVpnProfile(once), C::kAccepted) << profile;
      }
    }
  }
}

}  // namespace
}  // namespace tovra::openvpn
