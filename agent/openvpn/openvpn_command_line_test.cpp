#include "agent/openvpn/openvpn_command_line.h"

#include <gtest/gtest.h>

namespace tovra::agent::openvpn {
namespace {

// What the C runtime's argument splitting gives back for `line` (the rules the
// quoting must invert: 2n backslashes + quote -> n and a quote toggle; 2n+1 ->
// n and a literal quote; other backslashes literal).
std::vector<std::wstring> SplitLikeTheRuntime(std::wstring_view line) {
  std::vector<std::wstring> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i == line.size()) break;
    std::wstring arg;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == L'\\') ++slashes, ++i;
      if (i < line.size() && line[i] == L'"') {
        arg.append(slashes / 2, L'\\');
        if (slashes % 2) {
          arg.push_back(L'"');
          continue;
        }
        quoted = !quoted;
        continue;
      }
      arg.append(slashes, L'\\');
      if (i == line.size()) break;
      if (!quoted && (line[i] == L' ' || line[i] == L'\t')) break;
      arg.push_back(line[i]);
    }
    out.push_back(arg);
  }
  return out;
}

TEST(OpenVpnCommandLine, QuotingRoundTripsThroughTheRuntimeSplit) {
  const std::vector<std::wstring> args = {L"plain",
                                          L"",
                                          L"C:\\Users\\A B\\ovpn-1.ovpn",
                                          L"with \"quote\"",
                                          L"trailing\\",
                                          L"space and trailing\\",
                                          L"tab\there",
                                          L"\\\\server\\share\\x y\\",
                                          L"\\\"",
                                          L"end\\\\\""};
  EXPECT_EQ(SplitLikeTheRuntime(JoinOptionsLine(args)), args);
  for (const auto& a : args) {
    EXPECT_EQ(SplitLikeTheRuntime(QuoteArgument(a)), std::vector<std::wstring>{a}) << a;
  }
}

TEST(OpenVpnCommandLine, ArgumentsAndQuotingAsOpenVpnGetsThem) {
  EXPECT_EQ(QuoteArgument(L"C:\\a\\b.ovpn"), L"C:\\a\\b.ovpn");  // nothing to quote
  EXPECT_EQ(QuoteArgument(L"C:\\a b\\"), L"\"C:\\a b\\\\\"");
  EXPECT_EQ(QuoteArgument(L"x\"y"), L"\"x\\\"y\"");
  EXPECT_EQ(
      JoinOptionsLine(OpenVpnArguments(L"C:\\p q\\ovpn-7.ovpn", 50123, L"Zerka-OpenVpnExit-ab")),
      L"--config \"C:\\p q\\ovpn-7.ovpn\" --management 127.0.0.1 50123 stdin "
      L"--management-hold --management-query-passwords --management-signal --service "
      L"Zerka-OpenVpnExit-ab 0");
  const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(HexText(bytes).view(), "000fa5ff");
}

}  // namespace
}  // namespace tovra::agent::openvpn
