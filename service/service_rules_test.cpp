#include "service/service_rules.h"

#include <gtest/gtest.h>

#include "common/ipc/messages.h"

namespace tovra::service {
namespace {

using common::Bytes;
using common::FrameHeader;
using common::PayloadReader;

TEST(ConsoleSwitch, AnyLetterCaseButNothingElse) {
  EXPECT_TRUE(IsConsoleSwitch(L"--console"));
  EXPECT_TRUE(IsConsoleSwitch(L"--CONSOLE"));
  EXPECT_TRUE(IsConsoleSwitch(L"--Console"));
  EXPECT_FALSE(IsConsoleSwitch(L"-console"));
  EXPECT_FALSE(IsConsoleSwitch(L"--console "));
  EXPECT_FALSE(IsConsoleSwitch(L"console"));
  EXPECT_FALSE(IsConsoleSwitch(L""));
}

struct FrameCase {
  uint8_t version;
  uint8_t reserved;
  uint16_t type;
  FrameDisposition expected;
};

class FrameRule : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameRule, Classifies) {
  FrameHeader h;
  h.version = GetParam().version;
  h.reserved = GetParam().reserved;
  h.type = GetParam().type;
  EXPECT_EQ(ClassifyRequestFrame(h), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FrameRule,
    ::testing::Values(FrameCase{6, 0, 1, FrameDisposition::dispatch},
                      FrameCase{6, 0, 14, FrameDisposition::dispatch},
                      FrameCase{6, 0, 4, FrameDisposition::dispatch},  // the table answers 4
                      FrameCase{6, 0, 0, FrameDisposition::unsupported},
                      FrameCase{6, 0, 15, FrameDisposition::unsupported},
                      FrameCase{6, 0, 200, FrameDisposition::unsupported},
                      FrameCase{6, 0, 0xFFFF, FrameDisposition::unsupported},
                      // Version is checked before the type, so a bad type cannot hide it.
                      FrameCase{5, 0, 1, FrameDisposition::protocol_mismatch},
                      FrameCase{7, 0, 200, FrameDisposition::protocol_mismatch},
                      FrameCase{6, 1, 1, FrameDisposition::protocol_mismatch},
                      FrameCase{0, 6, 1, FrameDisposition::protocol_mismatch}));

TEST(Uptime, WholeSecondsAndNeverNegative) {
  EXPECT_EQ(UptimeSeconds(1000, 1999), 0u);
  EXPECT_EQ(UptimeSeconds(1000, 2000), 1u);
  EXPECT_EQ(UptimeSeconds(0, 3'600'500), 3600u);
  EXPECT_EQ(UptimeSeconds(5000, 4000), 0u);
}

TEST(HelloReply, SizeAndRoundTrip) {
  const std::string gen = "4321-0x0BADF00D";
  const Bytes reply = BuildHelloReply(gen);
  EXPECT_EQ(reply.size(), 84u + gen.size());
  PayloadReader r(reply);
  uint16_t status = 99;
  common::HelloInfo hello;
  std::string gen_back;
  ASSERT_TRUE(r.ReadU16(status) && r.ReadHelloInfo(hello) && r.ReadString(gen_back));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(hello, common::MakeServiceHelloInfo());
  EXPECT_EQ(gen_back, gen);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(HealthReply, SizeAndRoundTrip) {
  const std::string gen = "7-0x00000001";
  const Bytes reply = BuildHealthReply(gen, 0x0102030405060708ull);
  EXPECT_EQ(reply.size(), 2u + 1u + 80u + 2u + gen.size() + 8u);
  PayloadReader r(reply);
  uint16_t status = 99;
  common::ServiceHealthRecord health;
  ASSERT_TRUE(r.ReadU16(status) && r.ReadServiceHealth(health));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(health.state, 2);
  EXPECT_EQ(health.hello_info, common::MakeServiceHelloInfo());
  EXPECT_EQ(health.generation_id, gen);
  EXPECT_EQ(health.uptime_seconds, 0x0102030405060708ull);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(StartingLine, GenerationNumberInFixedHex) {
  EXPECT_EQ(ServiceStartingText("12-0xDEADBEEF", 0xAB),
            L"service starting generation=12-0xDEADBEEF gen_num=0x000000AB");
}

}  // namespace
}  // namespace tovra::service
