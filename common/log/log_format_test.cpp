#include <gtest/gtest.h>

#include "common/log/log.h"

namespace tovra::common {
namespace {

const LogTimestamp kTime{2026, 3, 7, 4, 5, 6, 78};

TEST(LogFormat, LineShapeForEveryLevel) {
  struct Case {
    LogLevel level;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {LogLevel::Info, L"2026-03-07T04:05:06.078Z [service] INFO hello\r\n"},
      {LogLevel::Warn, L"2026-03-07T04:05:06.078Z [service] WARN hello\r\n"},
      {LogLevel::Error, L"2026-03-07T04:05:06.078Z [service] ERR  hello\r\n"},
      {static_cast<LogLevel>(3), L"2026-03-07T04:05:06.078Z [service]      hello\r\n"},
      {static_cast<LogLevel>(-1), L"2026-03-07T04:05:06.078Z [service]      hello\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatLogLine(kTime, L"service", c.level, L"hello"), c.expected);
  }
}

TEST(LogFormat, Win32Suffix) {
  EXPECT_EQ(FormatWin32Message(L"CreateNamedPipe failed", 5), L"CreateNamedPipe failed (win32=5)");
  EXPECT_EQ(FormatWin32Message(L"x", 0xFFFFFFFF), L"x (win32=4294967295)");
}

TEST(LogFormat, NumberFormats) {
  EXPECT_EQ(FormatHex32(0), L"0x00000000");
  EXPECT_EQ(FormatHex32(0xdeadbeef), L"0xDEADBEEF");
  EXPECT_EQ(FormatHex32(0x1A), L"0x0000001A");
  EXPECT_EQ(FormatDecimal(0), L"0");
  EXPECT_EQ(FormatDecimal(4294967295u), L"4294967295");
  EXPECT_EQ(FormatDecimal(18446744073709551615ull), L"18446744073709551615");
}

TEST(LogFormat, FullWidthTimestampFields) {
  const LogTimestamp t{999, 12, 31, 23, 59, 59, 999};
  EXPECT_EQ(FormatLogLine(t, L"", LogLevel::Info, L""), L"0999-12-31T23:59:59.999Z [] INFO \r\n");
}

}  // namespace
}  // namespace tovra::common
