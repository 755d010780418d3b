// One table, run unchanged in the native and the Windows build: a row that
// passes in one build and fails in the other is a disagreement between glibc's
// and ws2_32's inet_pton that the filter in front of them has to settle.
#include "service/wireguard/address_parse.h"

#include <gtest/gtest.h>

#include <string>

namespace tovra::service {
namespace {

struct Row {
  const char* text;
  bool ipv4;
  bool ipv6;
};

constexpr Row kRows[] = {
    // IPv4
    {"1.2.3.4", true, false},
    {"0.0.0.0", true, false},
    {"255.255.255.255", true, false},
    {"256.1.1.1", false, false},
    {"01.2.3.4", false, false},  // leading zero: octal to some parsers
    {"1.2.3.04", false, false},
    {"1.02.3.4", false, false},
    {"00.0.0.0", false, false},
    {"001.002.003.004", false, false},
    {"1.2.3", false, false},
    {"1.2.3.4.5", false, false},
    {"1..2.3", false, false},
    {".1.2.3", false, false},
    {"0x1.2.3.4", false, false},
    {"1.2.3.4/8", false, false},
    {"1.2.3.4 ", false, false},
    {" 1.2.3.4", false, false},
    {"1.2.3.4\t", false, false},
    {"", false, false},
    {"1234567890123456", false, false},
    // IPv6
    {"::", false, true},
    {"::1", false, true},
    {"fd00::2", false, true},
    {"FE80::ABCD", false, true},
    {"0:0:0:0:0:0:0:0", false, true},
    {"1:2:3:4:5:6:7:8", false, true},
    {"1:2:3:4:5:6:7:8:9", false, false},  // too many groups
    {"1:2:3:4:5:6:7:8:", false, false},
    {"1:2:3:4:5:6:7::", false, true},  // "::" for a single group
    {"::2:3:4:5:6:7:8", false, true},
    {"1::3:4:5:6:7:8", false, true},
    {"0001::", false, true},
    {"00001::", false, false},
    {"12345::", false, false},
    {"1:::2", false, false},
    {"1::2::3", false, false},
    {":1::2", false, false},
    {"1::2:", false, false},
    {":", false, false},
    {":::", false, false},
    {"::g", false, false},
    {"[::1]", false, false},
    {"fe80::1%eth0", false, false},  // zone ids are not addresses here
    {"fe80::1%1", false, false},
    {"1:2:3:4:5:6:7:1234%", false, false},
    // embedded IPv4
    {"::ffff:1.2.3.4", false, true},
    {"::1.2.3.4", false, true},
    {"::0:1.2.3.4", false, true},
    {"1::1.2.3.4", false, true},
    {"::ffff:0:1.2.3.4", false, true},
    {"1:2:3:4:5:6:1.2.3.4", false, true},
    {"1:2:3:4:5::1.2.3.4", false, true},
    {"1:2:3:4:5:6::1.2.3.4", false, false},
    {"1:2:3:4:5:6:7:1.2.3.4", false, false},
    {"::ffff:1.2.3", false, false},
    {"::ffff:1.2.3.4.5", false, false},
    {"::ffff:256.1.1.1", false, false},
    {"::1.2.3.4:5", false, false},
    {"1.2.3.4::", false, false},
    {"::ffff:01.2.3.4", false, false},  // Windows reads it, glibc does not
    {"::ffff:1.2.3.004", false, false},
    {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", false, true},  // longest form
    {"ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.2555", false, false},
};

TEST(AddressParse, BothBuildsDecideEveryTrickyFormAlike) {
  for (const Row& row : kRows) {
    EXPECT_EQ(IsIpv4Address(row.text), row.ipv4) << "IPv4 \"" << row.text << "\"";
    EXPECT_EQ(IsIpv6Address(row.text), row.ipv6) << "IPv6 \"" << row.text << "\"";
  }
}

TEST(AddressParse, TextIsBoundedByTheViewNotByANul) {
  // The platform call needs a NUL; the view must be copied, never read past.
  const std::string text = "10.0.0.2/32";
  EXPECT_TRUE(IsIpv4Address(std::string_view(text).substr(0, 8)));
  const std::string v6 = "fd00::1]:443";
  EXPECT_TRUE(IsIpv6Address(std::string_view(v6).substr(0, 7)));
  EXPECT_FALSE(IsIpv4Address(std::string_view("1.2.3.4\0", 8)));
}

TEST(AddressParse, PlatformCallAloneReadsWhatTheFilterRefuses) {
  // Documents why the filter exists: forms the platforms take, or might.
  EXPECT_TRUE(PlatformInetPton(AddressFamily::kIpv6, "::1"));
  EXPECT_TRUE(PlatformInetPton(AddressFamily::kIpv4, "1.2.3.4"));
  EXPECT_FALSE(PlatformInetPton(AddressFamily::kIpv4, "1.2.3"));
}

}  // namespace
}  // namespace tovra::service
