#include "agent/openvpn/management_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "tests/support/bytes.h"

namespace tovra::agent::openvpn {
namespace {

using tovra::testing::AsBytes;

TEST(ClassifyManagementLine, PublishedLineShapes) {
  using K = LineKind;
  using S = ManagementState;
  using P = PasswordPromptKind;
  struct Case {
    std::string line;
    K kind;
    S state = S::none;
    P prompt = P::unrecognised;
    bool auth_failed = false;
  };
  const std::vector<Case> cases = {
      {"SUCCESS: password is correct", K::success},
      {"SUCCESS:", K::success},
      {"ERROR: bad password", K::error},
      {">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,,", K::state, S::connected},
      {">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,127.0.0.1,50000,fd00::2",
       K::state, S::connected},
      {">STATE:1,CONNECTED", K::state, S::connected},
      {">STATE:1,WAIT,,,,,,,", K::state, S::wait},
      {">STATE:1,AUTH_PENDING,", K::state, S::auth_pending},
      {">STATE:1,EXITING,SIGTERM,,,,,,", K::state, S::exiting},
      {">STATE:1,RECONNECTING,", K::state, S::reconnecting},
      {">STATE:1,connected,", K::state, S::none},  // names are exact
      {">STATE:1,CONNECTED ,", K::state, S::none},
      {">STATE:1700000000", K::state, S::none},  // a single field
      {">STATE:", K::state, S::none},
      {">HOLD:Waiting for hold release:0", K::hold},
      {">HOLD:", K::hold},
      {">PASSWORD:Need 'Auth' username/password", K::password_prompt, S::none,
       P::username_and_password},
      {">PASSWORD:Need 'Auth' username", K::password_prompt, S::none, P::username},
      {">PASSWORD:Need 'Auth' password", K::password_prompt, S::none, P::password},
      {">PASSWORD:Need 'Private Key' password", K::password_prompt, S::none, P::private_key},
      {">PASSWORD:Need 'Auth' username/password SC:1,abc", K::password_prompt},
      {">PASSWORD:Need 'HTTP Proxy' username/password", K::password_prompt},
      {">PASSWORD:Verification Failed: 'Auth'", K::auth_verification_failed, S::none,
       P::unrecognised, true},
      {">PASSWORD:Verification Failed: 'Auth' ['user is locked out']", K::auth_verification_failed,
       S::none, P::unrecognised, true},
      {">PASSWORD:Verification Failed: 'Auth'x", K::password_prompt},
      {">PASSWORD:Verification Failed: 'Private Key'", K::password_prompt},
      {">LOG:1700000000,I,Initialization Sequence Completed", K::log},
      {">FATAL:AUTH_FAILED", K::fatal, S::none, P::unrecognised, true},
      {">FATAL:Cannot open TUN/TAP dev", K::fatal},
      {">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info", K::other},
      {"ENTER PASSWORD:", K::other},
      {"", K::other},
      {"success: lower case", K::other},
      {">BYTECOUNT:12,34", K::byte_count},
      {std::string(">LOG:") + std::string(4091, 'x'), K::log},  // exactly 4096 bytes
      {std::string(">LOG:") + std::string(4092, 'x'), K::malformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 80));
    const ParsedLine p = ClassifyManagementLine(c.line);
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.state, c.state);
    EXPECT_EQ(p.prompt, c.prompt);
    EXPECT_EQ(p.auth_failed, c.auth_failed);
  }
}

TEST(ClassifyManagementLine, ByteCountBounds) {
  struct Case {
    std::string fields;
    bool ok;
    uint64_t in = 0, out = 0;
  };
  const std::vector<Case> cases = {
      {"12,34", true, 12, 34},
      {"0,0", true, 0, 0},
      {"18446744073709551615,00000000000000000001", true, UINT64_MAX, 1},  // 20 digits each
      {"18446744073709551616,1", false},                                   // u64 overflow
      {"1,99999999999999999999", false},                                   // 20 digits, too large
      {"000000000000000000001,1", false},                                  // 21 digits
      {",1", false},
      {"1,", false},
      {",", false},
      {"", false},
      {"12", false},
      {"1,2,3", false},
      {"-1,2", false},
      {"+1,2", false},
      {" 1,2", false},
      {"1,2 ", false},
      {"0x1,2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    const ParsedLine p = ClassifyManagementLine(">BYTECOUNT:" + c.fields);
    EXPECT_EQ(p.kind, c.ok ? LineKind::byte_count : LineKind::malformed);
    EXPECT_EQ(p.bytes_in, c.in);
    EXPECT_EQ(p.bytes_out, c.out);
  }
}

TEST(CredentialCommand, EscapesAndRefuses) {
  struct Case {
    CredentialKind kind;
    std::string value;
    std::optional<std::string> command;
  };
  const std::vector<Case> cases = {
      {CredentialKind::username, "alice", "username \"Auth\" \"alice\"\n"},
      {CredentialKind::password, "pa ss", "password \"Auth\" \"pa ss\"\n"},
      {CredentialKind::password, "a\"b\\c", "password \"Auth\" \"a\\\"b\\\\c\"\n"},
      {CredentialKind::username, "\\\"", "username \"Auth\" \"\\\\\\\"\"\n"},
      {CredentialKind::password, "caf\xC3\xA9", "password \"Auth\" \"caf\xC3\xA9\"\n"},
      {CredentialKind::password, std::string(255, '"'),
       "password \"Auth\" \"" +
           [] {
             std::string s;
             for (int i = 0; i < 255; ++i) s += "\\\"";
             return s;
           }() +
           "\"\n"},
      {CredentialKind::password, std::string(256, 'a'), std::nullopt},
      {CredentialKind::username, "", std::nullopt},
      {CredentialKind::username, "a\nb", std::nullopt},
      {CredentialKind::username, "a\rb", std::nullopt},
      {CredentialKind::username, std::string("a\0b", 3), std::nullopt},
      {CredentialKind::username, "a\x7F", std::nullopt},
      {CredentialKind::username, "\x1F", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(PreviewBytes(c.value));
    const auto command = CredentialCommand(c.kind, AsBytes(c.value));
    ASSERT_EQ(command.has_value(), c.command.has_value());
    if (command) {
      EXPECT_EQ(command->view(), *c.command);
    }
  }
}

TEST(ManagementPasswordLine, Bounds) {
  EXPECT_EQ(ManagementPasswordLine(AsBytes(std::string(255, 'p')))->view(),
            std::string(255, 'p') + "\n");
  EXPECT_EQ(ManagementPasswordLine(AsBytes("x"))->view(), "x\n");
  EXPECT_EQ(ManagementPasswordLine(AsBytes("a\"b\\c d"))->view(), "a\"b\\c d\n");  // verbatim
  EXPECT_FALSE(ManagementPasswordLine(AsBytes(std::string(256, 'p'))));
  EXPECT_FALSE(ManagementPasswordLine(AsBytes("")));
  EXPECT_FALSE(ManagementPasswordLine(AsBytes("ab\n")));
  EXPECT_FALSE(ManagementPasswordLine(AsBytes("ab\x7F")));
}

TEST(Previews, ReplaceUnprintableAndCut) {
  EXPECT_EQ(PreviewBytes("ab\r\n\x7F\x80~ "), "ab....~ ");
  EXPECT_EQ(PreviewBytes(std::string(100, 'z')), std::string(80, 'z'));
  EXPECT_EQ(PreviewBytes("abcdef", 3), "abc");
  EXPECT_EQ(CommandFirstWordPreview("username \"Auth\" \"secret\"\n"), "username");
  EXPECT_EQ(CommandFirstWordPreview("hold release\n"), "hold");
  EXPECT_EQ(CommandFirstWordPreview("bytecount\n"), "bytecount");
  EXPECT_EQ(CommandFirstWordPreview("abcdefghijklmnopq"), "abcdefghijkl");
  EXPECT_EQ(CommandFirstWordPreview("\tx\ty z"), ".x.y");
  EXPECT_EQ(ByteCountCommand(0), "bytecount 0\n");
  EXPECT_EQ(ByteCountCommand(4294967295u), "bytecount 4294967295\n");
}

// A management session as OpenVPN sends it, including a prompt without a line
// end and "\r\n" line ends.
const char kTranscript[] =
    "ENTER PASSWORD:SUCCESS: password is correct\r\n"
    ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
    ">HOLD:Waiting for hold release:0\r\n"
    "SUCCESS: real-time state notification set to ON\r\n"
    ">PASSWORD:Need 'Auth' username/password\r\n"
    "SUCCESS: 'Auth' username entered, but not yet verified\r\n"
    ">STATE:1700000000,WAIT,,,,,,,\r\n"
    ">STATE:1700000001,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,127.0.0.1,50000,\r\n"
    ">BYTECOUNT:18446744073709551615,34\r\n"
    "\r\n"
    "bare\rcarriage\n"
    ">FATAL:AUTH_FAILED\n";

std::vector<std::string> AssembleInTwo(std::string_view bytes, size_t cut) {
  LineAssembler a;
  a.Append(bytes.substr(0, cut));
  EXPECT_TRUE(a.TakeThrough("ENTER PASSWORD:") || cut < 15);
  std::vector<std::string> lines;
  bool prompt_seen = cut >= 15;
  auto drain = [&] {
    while (auto line = a.TakeLine()) lines.push_back(*line);
  };
  if (prompt_seen) drain();
  a.Append(bytes.substr(cut));
  if (!prompt_seen) {
    EXPECT_TRUE(a.TakeThrough("ENTER PASSWORD:"));
  }
  drain();
  EXPECT_EQ(a.size(), 0u);
  EXPECT_FALSE(a.Overflowed());
  return lines;
}

TEST(LineAssembler, TranscriptSplitAtEveryOffset) {
  const std::string_view t = kTranscript;
  const std::vector<std::string> whole = AssembleInTwo(t, t.size());
  ASSERT_EQ(whole.size(), 12u);
  EXPECT_EQ(whole[0], "SUCCESS: password is correct");
  EXPECT_EQ(whole[9], "");
  EXPECT_EQ(whole[10], "bare\rcarriage");
  const std::vector<LineKind> kinds = {
      LineKind::success,         LineKind::other,   LineKind::hold,  LineKind::success,
      LineKind::password_prompt, LineKind::success, LineKind::state, LineKind::state,
      LineKind::byte_count,      LineKind::other,   LineKind::other, LineKind::fatal};
  for (size_t i = 0; i < whole.size(); ++i) {
    EXPECT_EQ(ClassifyManagementLine(whole[i]).kind, kinds[i]) << whole[i];
  }
  for (size_t cut = 0; cut <= t.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(AssembleInTwo(t, cut), whole);
  }
}

TEST(LineAssembler, OverflowOnlyWithoutLineEnd) {
  LineAssembler a;
  a.Append(std::string(4096, 'x'));
  EXPECT_FALSE(a.Overflowed());
  a.Append("y");
  EXPECT_TRUE(a.Overflowed());
  a.Append("\n");
  EXPECT_FALSE(a.Overflowed());
  const auto line = a.TakeLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(ClassifyManagementLine(*line).kind, LineKind::malformed);  // 4097 bytes
  EXPECT_FALSE(a.TakeLine());
  EXPECT_FALSE(a.TakeThrough("ENTER PASSWORD:"));
}

TEST(JudgeManagementPeer, Table) {
  constexpr uint32_t lo = 0x7F000001u;
  constexpr uint16_t ours = 50000, server = 1194;
  constexpr uint32_t me = 100, openvpn = 200, squatter = 300;
  const TcpOwnerRow our_end{lo, ours, lo, server, me};
  const TcpOwnerRow server_end{lo, server, lo, ours, openvpn};
  const TcpOwnerRow listener{lo, server, 0, 0, squatter};
  auto with_owner = [](TcpOwnerRow r, uint32_t pid) {
    r.owner_pid = pid;
    return r;
  };
  struct Case {
    const char* what;
    std::vector<TcpOwnerRow> rows;
    uint32_t expected;
    PeerOwnerVerdict verdict;
  };
  using V = PeerOwnerVerdict;
  const std::vector<Case> cases = {
      {"both ends as expected", {listener, our_end, server_end}, openvpn, V::trusted},
      {"server end owned by another process",
       {our_end, with_owner(server_end, squatter)},
       openvpn,
       V::untrusted},
      {"server end missing", {our_end}, openvpn, V::untrusted},
      {"expected pid unknown", {our_end, with_owner(server_end, 0)}, 0, V::untrusted},
      {"one of two server rows foreign",
       {our_end, server_end, with_owner(server_end, squatter)},
       openvpn,
       V::untrusted},
      {"no owners anywhere (our end shows 0)",
       {with_owner(our_end, 0), with_owner(server_end, 0)},
       openvpn,
       V::undecidable},
      {"our end missing", {server_end}, openvpn, V::undecidable},
      {"empty table", {}, openvpn, V::undecidable},
      {"our end on another address",
       {TcpOwnerRow{0x7F000002u, ours, lo, server, me}, server_end},
       openvpn,
       V::undecidable},
      {"server end on the wrong ports",
       {our_end, TcpOwnerRow{lo, server, lo, ours + 1, openvpn}},
       openvpn,
       V::untrusted},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JudgeManagementPeer(c.rows, ours, server, me, c.expected), c.verdict) << c.what;
  }
}

}  // namespace
}  // namespace tovra::agent::openvpn
