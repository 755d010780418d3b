#include "common/ipc/protocol_client.h"

#include <gtest/gtest.h>

#include <vector>

namespace tovra::common {
namespace {

struct HelloShape {
  uint16_t status = 0;
  uint16_t protocol = 6;
  bool generation_id = true;
  bool session_id = true;
};

Frame HelloFrame(uint32_t request_id, uint32_t generation, const HelloShape& shape) {
  PayloadWriter w;
  w.WriteU16(shape.status);
  if (shape.status == 0) {
    HelloInfo info = MakeAgentHelloInfo();
    info.protocol = shape.protocol;
    w.WriteHelloInfo(info);
    if (shape.generation_id) w.WriteString("77-0x00000001");
    if (shape.generation_id && shape.session_id) w.WriteU32(1);
  }
  Frame f;
  f.header.type = 1;
  f.header.request_id = request_id;
  f.header.generation = generation;
  f.payload = w.Take();
  f.header.payload_length = static_cast<uint32_t>(f.payload.size());
  return f;
}

TEST(HelloReply, JudgedByEachServersRules) {
  struct Case {
    const char* name;
    std::optional<Frame> reply;
    uint16_t service_status;
    uint16_t agent_status;
  };
  Frame no_status = HelloFrame(5, 1, {});
  no_status.payload.clear();
  Frame status_only = HelloFrame(5, 1, {});
  status_only.payload = {0, 0};
  const Case cases[] = {
      {"accepted", HelloFrame(5, 0xABCD, {}), 0, 0},
      {"no frame", std::nullopt, 4, 4},
      {"another request id", HelloFrame(6, 1, {}), 4, 4},
      {"protocol 5", HelloFrame(5, 1, {.protocol = 5}), 3, 3},
      {"server status 6", HelloFrame(5, 1, {.status = 6}), 6, 5},
      {"server status 3", HelloFrame(5, 1, {.status = 3}), 3, 5},
      {"no generation id", HelloFrame(5, 1, {.generation_id = false}), 5, 5},
      {"no session id (the Service sends none)", HelloFrame(5, 1, {.session_id = false}), 0, 5},
      {"status 0 and nothing else", status_only, 5, 5},
      {"no status at all", no_status, 5, 5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EvaluateHelloReply(c.reply, 5, kServiceHelloRules).status, c.service_status)
        << c.name;
    EXPECT_EQ(EvaluateHelloReply(c.reply, 5, kAgentHelloRules).status, c.agent_status) << c.name;
  }
  const HelloOutcome ok = EvaluateHelloReply(HelloFrame(5, 0xABCD, {}), 5, kAgentHelloRules);
  EXPECT_EQ(ok.generation, 0xABCDu);
  const HelloOutcome mismatch =
      EvaluateHelloReply(HelloFrame(5, 9, {.protocol = 5}), 5, kAgentHelloRules);
  EXPECT_EQ(mismatch.protocol, 5) << "the log line names the server's protocol";
  EXPECT_EQ(mismatch.generation, 0u) << "a mismatched server's generation is never taken";
}

TEST(ReplyStatus, SplitAtTheStatusWord) {
  SplitReply ok = SplitReplyStatus(Bytes{0, 0, 7, 8});
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.body, (Bytes{7, 8}));
  SplitReply refused = SplitReplyStatus(Bytes{6, 0, 7});
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.status, 6);
  EXPECT_TRUE(refused.body.empty());
  for (const Bytes& torn : {Bytes{}, Bytes{0}}) {
    SplitReply r = SplitReplyStatus(torn);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 5) << torn.size();
  }
}

TEST(ResendRule, OnlyWhatCannotBeRunningAtTheServer) {
  EXPECT_TRUE(MayResend(ExchangeFailure::write_failed));
  EXPECT_TRUE(MayResend(ExchangeFailure::broken)) << "the server dropped an idle link";
  EXPECT_TRUE(MayResend(ExchangeFailure::wrong_reply));
  EXPECT_FALSE(MayResend(ExchangeFailure::timed_out)) << "the request may still be running";
  EXPECT_FALSE(MayResend(ExchangeFailure::none));
}

TEST(ResendRule, PayloadNoFrameCanCarryIsTheCallersMistake) {
  EXPECT_FALSE(RejectBeforeSending(Bytes(kMaxPayload, 0)));
  EXPECT_EQ(RejectBeforeSending(Bytes(kMaxPayload + 1, 0)), std::optional<uint16_t>(1));
  EXPECT_FALSE(RejectBeforeSending({}));
}

// Runs the loop over a script of opening outcomes, answering the absent hook with
// `hook` (nothing: no hook). Returns the actions and how many hook calls there were.
struct LoopRun {
  std::vector<ConnectAction> actions;
  int hook_calls = 0;
};

LoopRun RunLoop(uint32_t attempts, const std::vector<OpenOutcome>& script,
                std::optional<bool> hook) {
  LoopRun run;
  ConnectLoop loop(attempts);
  for (OpenOutcome outcome : script) {
    if (!loop.HasAttempt()) break;
    ConnectAction action = loop.Next(outcome);
    if (action == ConnectAction::ask_absent_hook) {
      if (hook) ++run.hook_calls;
      action = loop.AfterAbsentHook(hook.value_or(false));
    }
    run.actions.push_back(action);
    if (action != ConnectAction::wait_busy && action != ConnectAction::pause_reappear &&
        action != ConnectAction::retry) {
      break;
    }
  }
  return run;
}

std::vector<OpenOutcome> Repeat(OpenOutcome o, size_t n, std::vector<OpenOutcome> tail = {}) {
  std::vector<OpenOutcome> out(n, o);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

TEST(ConnectLoop, EndsOfTheLoop) {
  using A = ConnectAction;
  using O = OpenOutcome;
  EXPECT_EQ(RunLoop(20, {O::opened}, std::nullopt).actions.back(), A::done);
  EXPECT_EQ(RunLoop(20, {O::absent}, std::nullopt).actions.back(), A::fail_unavailable);
  EXPECT_EQ(RunLoop(20, {O::other_error}, std::nullopt).actions.back(), A::fail_internal);

  const LoopRun always_busy = RunLoop(20, Repeat(O::busy, 50), std::nullopt);
  EXPECT_EQ(always_busy.actions.size(), 20u) << "every busy try uses up an attempt";
  EXPECT_EQ(always_busy.actions.back(), A::fail_busy);

  // Between two server instances: busy, then the name is briefly gone.
  const LoopRun gap =
      RunLoop(20, Repeat(O::busy, 3, {O::absent, O::absent, O::opened}), std::nullopt);
  EXPECT_EQ(gap.actions, (std::vector<A>{A::wait_busy, A::wait_busy, A::wait_busy,
                                         A::pause_reappear, A::pause_reappear, A::done}));

  // Busy, then gone for good: absent, not busy.
  const LoopRun vanished = RunLoop(20, Repeat(O::busy, 19, Repeat(O::absent, 30)), std::nullopt);
  EXPECT_EQ(vanished.actions.back(), A::fail_unavailable);
  const LoopRun vanished_late = RunLoop(3, Repeat(O::busy, 2, Repeat(O::absent, 30)), std::nullopt);
  EXPECT_EQ(vanished_late.actions.back(), A::fail_unavailable)
      << "the pauses do not eat the last attempts";

  // Busy, then gone for good, with a hook that starts the server: it gets its call.
  const LoopRun restarted =
      RunLoop(30, Repeat(O::busy, 2, Repeat(O::absent, kReappearPauses + 1, {O::opened})), true);
  EXPECT_EQ(restarted.hook_calls, 1);
  EXPECT_EQ(restarted.actions.back(), A::done);

  // The hook keeps asking for more tries while the started server is not there yet.
  const LoopRun never_shows = RunLoop(30, Repeat(O::absent, 100), true);
  EXPECT_EQ(never_shows.hook_calls, 30);
  EXPECT_EQ(never_shows.actions.back(), A::fail_busy);
  const LoopRun hook_refuses = RunLoop(30, Repeat(O::absent, 100), false);
  EXPECT_EQ(hook_refuses.hook_calls, 1);
  EXPECT_EQ(hook_refuses.actions.back(), A::fail_unavailable);
}

}  // namespace
}  // namespace tovra::common
