#include "agent/agent_rules.h"

#include <gtest/gtest.h>

namespace tovra::agent {
namespace {

using common::Bytes;

TEST(IdleTimeout, OnlyTenToADayIsHonoured) {
  struct Case {
    const wchar_t* value;
    uint32_t expected;
  };
  const Case cases[] = {
      {L"10", 10},
      {L"86400", 86400},
      {L"9", 300},
      {L"86401", 300},
      {L"abc", 300},
      {L"12a", 300},
      {L"-20", 300},
      {L" 20", 300},
      {L"0000000000000030", 300},  // 16 characters: does not fit the buffer
      {L"000000000000030", 30},    // 15 characters
      {L"99999999999999", 300},    // no overflow into range
  };
  for (const auto& c : cases) {
    const std::wstring v = c.value;
    // A value that does not fit comes back as the needed size, with nothing copied.
    const bool fits = v.size() < kIdleVariableBuffer;
    EXPECT_EQ(ParseIdleTimeoutSeconds(
                  fits ? static_cast<uint32_t>(v.size()) : static_cast<uint32_t>(v.size() + 1),
                  fits ? v : std::wstring()),
              c.expected)
        << v;
  }
  EXPECT_EQ(ParseIdleTimeoutSeconds(0, L""), 300u) << "absent or empty";
}

TEST(IdleWait, RemainingTimeOnlyWhenNothingIsGoingOn) {
  IdleInputs idle;
  idle.idle_timeout_ms = 10000;
  idle.elapsed_since_activity_ms = 2500;
  EXPECT_EQ(ComputeAcceptWaitMs(idle), 7500u);
  idle.elapsed_since_activity_ms = 20000;
  EXPECT_EQ(ComputeAcceptWaitMs(idle), 0u);

  IdleInputs client = idle;
  client.active_clients = 1;
  EXPECT_EQ(ComputeAcceptWaitMs(client), kWaitInfinite);
  IdleInputs relaying = idle;
  relaying.in_flight_service_requests = 1;
  EXPECT_EQ(ComputeAcceptWaitMs(relaying), kWaitInfinite);
  IdleInputs busy = idle;
  busy.extension_busy = true;
  EXPECT_EQ(ComputeAcceptWaitMs(busy), kWaitInfinite);

  busy.wait_cap_ms = 7000;
  EXPECT_EQ(ComputeAcceptWaitMs(busy), 7000u);
  idle.elapsed_since_activity_ms = 0;
  idle.wait_cap_ms = 7000;
  EXPECT_EQ(ComputeAcceptWaitMs(idle), 7000u);
  idle.idle_timeout_ms = 3000;
  EXPECT_EQ(ComputeAcceptWaitMs(idle), 3000u);
}

TEST(ConsoleEvents, StopOnlyOnTheFiveStopEvents) {
  for (uint32_t e = 0; e < 10; ++e) {
    EXPECT_EQ(IsStopConsoleEvent(e), e <= 2 || e == 5 || e == 6) << e;
  }
}

TEST(Replies, HelloAndHealthBodies) {
  const std::string gen = "1234-0x0BADF00D";
  const Bytes hello = BuildHelloReply(gen, 3);
  EXPECT_EQ(hello.size(), 79u + gen.size());
  common::PayloadReader r(hello);
  uint16_t status = 9;
  common::HelloInfo info;
  std::string read_gen;
  uint32_t session = 0;
  ASSERT_TRUE(r.ReadU16(status) && r.ReadHelloInfo(info) && r.ReadString(read_gen) &&
              r.ReadU32(session));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(info, common::MakeAgentHelloInfo());
  EXPECT_EQ(read_gen, gen);
  EXPECT_EQ(session, 3u);

  const Bytes health = BuildAgentHealthReply(gen, 3, true);
  common::PayloadReader hr(health);
  common::AgentHealthRecord rec;
  ASSERT_TRUE(hr.ReadU16(status) && hr.ReadAgentHealth(rec));
  EXPECT_EQ(rec.state, 2);
  EXPECT_EQ(rec.session_id, 3u);
  EXPECT_EQ(rec.generation_id, gen);
  EXPECT_TRUE(rec.service_connected);
  EXPECT_EQ(rec.hello_info, common::MakeAgentHelloInfo());
}

TEST(StatusMapping, ServiceHealthAndStaging) {
  EXPECT_EQ(ServiceHealthFailureStatus(3), 3);
  for (uint16_t s : std::initializer_list<uint16_t>{1, 4, 5, 7})
    EXPECT_EQ(ServiceHealthFailureStatus(s), 4) << s;

  EXPECT_EQ(MapStageRequestFailure(1), StageResult::rejected);
  EXPECT_EQ(MapStageRequestFailure(4), StageResult::service_unavailable);
  EXPECT_EQ(MapStageRequestFailure(7), StageResult::service_unavailable);
  EXPECT_EQ(MapStageRequestFailure(6), StageResult::service_refused);
  for (uint16_t s : std::initializer_list<uint16_t>{2, 3, 5, 8})
    EXPECT_EQ(MapStageRequestFailure(s), StageResult::failed) << s;

  EXPECT_EQ(MapStageResultCode(1), StageResult::service_refused);
  EXPECT_EQ(MapStageResultCode(2), StageResult::rejected);
  for (uint16_t s : std::initializer_list<uint16_t>{0, 3, 4, 5, 9})
    EXPECT_EQ(MapStageResultCode(s), StageResult::failed) << s;
}

TEST(LogLines, ExactTexts) {
  EXPECT_EQ(GenerationChangedLine(0x1, 0xDEADBEEF),
            L"service generation changed 0x00000001 -> 0xDEADBEEF");
  EXPECT_EQ(ProtocolMismatchLine(5), L"service protocol 5 != agent 6 -> fail closed");
}

}  // namespace
}  // namespace tovra::agent
