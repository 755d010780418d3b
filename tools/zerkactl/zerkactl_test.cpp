#include "tools/zerkactl/zerkactl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/zerkactl/validate_commands.h"
#include "tools/zerkactl/zerkactl_test_fixture.h"

namespace tovra::tools {
namespace {

namespace fs = std::filesystem;

constexpr const char* kKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

using Zerkactl = ZerkactlFixture;

TEST_F(Zerkactl, UsageErrorsExitTwoAndWriteNothingToStandardOutput) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"no-such-subcommand"}, {"validate-wireguard"}, {"validate-openvpn", "a", "b"}};
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args), kExitUsage) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(out_.str(), "");
    EXPECT_NE(err_.str().find("usage"), std::string::npos);
  }
  EXPECT_EQ(Run({"help"}), kExitOk);
  for (const Subcommand& s : Subcommands()) {
    EXPECT_NE(out_.str().find(s.name), std::string::npos) << "help lists " << s.name;
  }
}

TEST_F(Zerkactl, EverySubcommandHasAUniqueNameAndRefusesMissingArguments) {
  std::set<std::string_view> names;
  for (const Subcommand& s : Subcommands()) {
    EXPECT_TRUE(names.insert(s.name).second) << s.name;
    EXPECT_EQ(Run({std::string(s.name)}), kExitUsage) << s.name;
  }
}

TEST_F(Zerkactl, UnreadableFilesAreInputErrors) {
  EXPECT_EQ(Run({"validate-wireguard", (dir_ / "absent.conf").string()}), kExitUsage);
  EXPECT_NE(err_.str().find("cannot read"), std::string::npos);
  EXPECT_EQ(Run({"validate-openvpn", dir_.string()}), kExitUsage) << "a directory";
  EXPECT_EQ(out_.str(), "");
}

TEST_F(Zerkactl, AcceptedWireGuardConfigIsRenderedToStandardOutputOnly) {
  const std::string path =
      File("ok.conf", std::string("[Interface]\r\nPrivateKey=") + kKey +
                          "\r\nAddress=10.0.0.2\r\n[Peer]\r\nPublicKey=" + kKey +
                          "\r\nEndpoint=h:1\r\nAllowedIPs=::/0\r\n");
  EXPECT_EQ(Run({"validate-wireguard", path}), kExitOk);
  EXPECT_EQ(err_.str(), "code 0: accepted\n");
  EXPECT_EQ(out_.str(), std::string("[Interface]\nPrivateKey = ") + kKey +
                            "\nAddress = 10.0.0.2\n\n[Peer]\nPublicKey = " + kKey +
                            "\nAllowedIPs = ::/0\nEndpoint = h:1\n");
}

TEST_F(Zerkactl, RejectionsPrintCodeAndMeaningAndExitOne) {
  struct {
    const char* subcommand;
    std::string bytes;
    const char* line;
  } const cases[] = {
      {"validate-wireguard", "", "code 1: input is empty\n"},
      {"validate-wireguard", std::string(40000, '\n'), "code 2: input longer than 32768 bytes\n"},
      {"validate-wireguard", "[Interface]\nPrivateKey = x\n",
       "code 13: malformed key (private, public or preshared)\n"},
      {"validate-openvpn", "client\nscript-security 2\n",
       "code 14: directive not in the allowed set (this includes any other inline block tag)\n"},
      {"validate-openvpn", std::string(20000, '#'), "code 2: profile longer than 16384 bytes\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run({c.subcommand, File("in", c.bytes)}), kExitRejected) << c.line;
    EXPECT_EQ(err_.str(), c.line);
    EXPECT_EQ(out_.str(), "");
  }
}

TEST_F(Zerkactl, AcceptedOpenVpnProfileWritesNothingToStandardOutput) {
  const std::string path = File(
      "ok.ovpn", "client\ndev tun\nproto udp\nremote h 1194\nauth-user-pass\n<ca>\nx\n</ca>\n");
  EXPECT_EQ(Run({"validate-openvpn", path}), kExitOk);
  EXPECT_EQ(err_.str(), "code 0: accepted\n");
  EXPECT_EQ(out_.str(), "");
}

TEST_F(Zerkactl, ReadingStopsAtTheLimitItWasGiven) {
  const std::string path = File("big", std::string(100000, 'x'));
  const auto bytes = ReadFileBytes(path, 10);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, std::string(10, 'x'));
}

}  // namespace
}  // namespace tovra::tools
