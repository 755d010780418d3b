// The engine and the wrapper together, driven from the host side with the test
// plugin loaded as an app would load it.
#include <flutter/encodable_value.h>
#include <flutter/standard_message_codec.h>
#include <flutter_headless.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_plugin_loader.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
using flutter::StandardMessageCodec;

constexpr uint32_t kTimeoutMs = 10000;

std::vector<uint8_t> EncodeValue(const EncodableValue& value) {
  return *StandardMessageCodec::GetInstance().EncodeMessage(value);
}

EncodableValue DecodeValue(const uint8_t* data, size_t size) {
  auto decoded = StandardMessageCodec::GetInstance().DecodeMessage(data, size);
  return decoded ? *decoded : EncodableValue("undecodable");
}

// The reply to one host message, as the host saw it.
struct Reply {
  bool arrived = false;
  bool empty = false;
  EncodableValue value;
  std::thread::id thread;
  int calls = 0;
};

void RecordReply(const uint8_t* data, size_t size, void* user) {
  auto* reply = static_cast<Reply*>(user);
  reply->arrived = true;
  reply->empty = data == nullptr && size == 0;
  reply->value = reply->empty ? EncodableValue() : DecodeValue(data, size);
  reply->thread = std::this_thread::get_id();
  ++reply->calls;
}

class HeadlessEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadTestPlugin(&plugin_));
    engine_ = FlutterHeadlessEngineCreate();
    ASSERT_NE(engine_, nullptr);
    FlutterDesktopPluginRegistrarRef registrar =
        FlutterHeadlessEngineGetRegistrar(engine_, "TestPlugin");
    ASSERT_NE(registrar, nullptr);
    EXPECT_EQ(registrar, FlutterHeadlessEngineGetRegistrar(engine_, "TestPlugin"));
    plugin_.register_with_registrar(registrar);
  }

  void TearDown() override {
    if (engine_) FlutterHeadlessEngineDestroy(engine_);
  }

  // nullopt for an empty reply; fails the test on a timeout.
  std::optional<EncodableValue> Call(const std::string& channel, const EncodableValue& message) {
    const std::vector<uint8_t> bytes = EncodeValue(message);
    return CallRaw(channel, bytes);
  }

  std::optional<EncodableValue> CallRaw(const std::string& channel,
                                        const std::vector<uint8_t>& bytes) {
    uint8_t* reply = nullptr;
    size_t reply_size = 0;
    const bool ok = FlutterHeadlessEngineSendToPluginAndWait(
        engine_, channel.c_str(), bytes.data(), bytes.size(), kTimeoutMs, &reply, &reply_size);
    EXPECT_TRUE(ok) << "no reply on " << channel;
    if (!ok || !reply) return std::nullopt;
    EncodableValue value = DecodeValue(reply, reply_size);
    FlutterHeadlessFree(reply);
    return value;
  }

  void PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      FlutterHeadlessEngineRunLoop(engine_, 20);
    }
  }

  TestPluginApi plugin_;
  FlutterHeadlessEngineRef engine_ = nullptr;
};

EncodableValue List(std::initializer_list<EncodableValue> items) {
  return EncodableValue(EncodableList(items));
}

TEST_F(HeadlessEngineTest, HandlerRunsOnThePlatformThreadAndRepliesInOrder) {
  EXPECT_EQ(Call("test.echo", EncodableValue("hi")),
            List({EncodableValue("hi"), EncodableValue(true)}));
  EXPECT_EQ(Call("test.echo", EncodableValue()), List({EncodableValue(), EncodableValue(true)}));
  EXPECT_EQ(FlutterHeadlessEngineOffThreadCallCount(engine_), 0u);
}

// Each of these ends in an empty reply, which Dart reads as null.
TEST_F(HeadlessEngineTest, EmptyRepliesForEveryWayAMessageGoesUnanswered) {
  EXPECT_EQ(Call("no.such.channel", EncodableValue(1)), std::nullopt);
  EXPECT_EQ(CallRaw("test.echo", {0x0c, 0x05, 0x00}), std::nullopt) << "truncated list";
  EXPECT_EQ(CallRaw("test.echo", {0x07, 0xff, 0xff, 0xff, 0xff, 0x7f}), std::nullopt)
      << "string size beyond end";
  EXPECT_EQ(Call("test.throw", EncodableValue()), std::nullopt) << "handler exception";
  EXPECT_EQ(Call("test.drop", EncodableValue()), std::nullopt) << "reply dropped";
  // The engine keeps serving after all of that.
  EXPECT_EQ(Call("test.echo", EncodableValue(2)), List({EncodableValue(2), EncodableValue(true)}));
}

TEST_F(HeadlessEngineTest, SecondReplyToOneMessageIsIgnored) {
  Reply reply;
  const std::vector<uint8_t> bytes = EncodeValue(EncodableValue());
  ASSERT_TRUE(FlutterHeadlessEngineSendToPlugin(engine_, "test.twice", bytes.data(), bytes.size(),
                                                RecordReply, &reply));
  PumpUntil([&] { return reply.arrived; });
  FlutterHeadlessEngineRunLoop(engine_, 200);
  EXPECT_EQ(reply.calls, 1);
  EXPECT_EQ(reply.value, EncodableValue(int32_t{1}));
}

TEST_F(HeadlessEngineTest, ReplyFromAWorkerThreadIsDeliveredOnThePlatformThread) {
  Reply reply;
  const std::vector<uint8_t> bytes = EncodeValue(EncodableValue(int64_t{50}));
  ASSERT_TRUE(FlutterHeadlessEngineSendToPlugin(engine_, "test.worker", bytes.data(), bytes.size(),
                                                RecordReply, &reply));
  PumpUntil([&] { return reply.arrived; });
  ASSERT_TRUE(reply.arrived);
  EXPECT_EQ(reply.thread, std::this_thread::get_id());
  EXPECT_EQ(reply.value, List({EncodableValue("worker"), EncodableValue(false)}));
  EXPECT_EQ(FlutterHeadlessEngineOffThreadCallCount(engine_), 0u)
      << "a response from a worker is allowed";
}

TEST_F(HeadlessEngineTest, ManyConcurrentWorkerRepliesEachArriveOnceOnThePlatformThread) {
  constexpr int kCalls = 40;
  std::vector<Reply> replies(kCalls);
  for (int i = 0; i < kCalls; ++i) {
    const std::vector<uint8_t> bytes = EncodeValue(EncodableValue(int64_t{i % 4}));
    ASSERT_TRUE(FlutterHeadlessEngineSendToPlugin(engine_, "test.worker", bytes.data(),
                                                  bytes.size(), RecordReply, &replies[i]));
  }
  PumpUntil([&] {
    for (const Reply& r : replies) {
      if (!r.arrived) return false;
    }
    return true;
  });
  FlutterHeadlessEngineRunLoop(engine_, 50);
  for (const Reply& r : replies) {
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.thread, std::this_thread::get_id());
  }
}

struct DartInbox {
  std::vector<EncodableValue> messages;
  std::vector<std::thread::id> threads;
  std::vector<uint64_t> response_ids;
  std::optional<EncodableValue> answer;  // answered at once when set
};

void DartHandler(FlutterHeadlessEngineRef engine, const char*, const uint8_t* message, size_t size,
                 uint64_t response_id, void* user) {
  auto* inbox = static_cast<DartInbox*>(user);
  inbox->messages.push_back(DecodeValue(message, size));
  inbox->threads.push_back(std::this_thread::get_id());
  inbox->response_ids.push_back(response_id);
  if (inbox->answer) {
    const std::vector<uint8_t> bytes = EncodeValue(*inbox->answer);
    EXPECT_TRUE(
        FlutterHeadlessEngineRespondToPlugin(engine, response_id, bytes.data(), bytes.size()));
  }
}

TEST_F(HeadlessEngineTest, PluginMessageReachesDartAndDartsReplyReachesThePlugin) {
  DartInbox inbox;
  inbox.answer = EncodableValue("pong");
  FlutterHeadlessEngineSetDartHandler(engine_, "dart.inbox", DartHandler, &inbox);
  EXPECT_EQ(Call("test.toDart", EncodableValue("ping")),
            List({EncodableValue("pong"), EncodableValue(true)}));
  ASSERT_EQ(inbox.messages.size(), 1u);
  EXPECT_EQ(inbox.messages[0], EncodableValue("ping"));
  EXPECT_EQ(inbox.threads[0], std::this_thread::get_id());
  EXPECT_FALSE(FlutterHeadlessEngineRespondToPlugin(engine_, inbox.response_ids[0], nullptr, 0))
      << "already answered";
}

TEST_F(HeadlessEngineTest, DartMayAnswerLaterAndWithoutAListenerThePluginGetsAnEmptyReply) {
  // No Dart handler: the plugin's reply handler sees an empty reply (decoded as null).
  EXPECT_EQ(Call("test.toDart", EncodableValue("x")),
            List({EncodableValue(), EncodableValue(true)}));

  DartInbox inbox;  // records, answers later
  FlutterHeadlessEngineSetDartHandler(engine_, nullptr, DartHandler, &inbox);
  Reply reply;
  const std::vector<uint8_t> bytes = EncodeValue(EncodableValue("later"));
  ASSERT_TRUE(FlutterHeadlessEngineSendToPlugin(engine_, "test.toDart", bytes.data(), bytes.size(),
                                                RecordReply, &reply));
  PumpUntil([&] { return !inbox.messages.empty(); });
  ASSERT_EQ(inbox.messages.size(), 1u);
  FlutterHeadlessEngineRunLoop(engine_, 50);
  EXPECT_FALSE(reply.arrived);
  const std::vector<uint8_t> answer = EncodeValue(EncodableValue(int32_t{7}));
  ASSERT_TRUE(FlutterHeadlessEngineRespondToPlugin(engine_, inbox.response_ids[0], answer.data(),
                                                   answer.size()));
  PumpUntil([&] { return reply.arrived; });
  EXPECT_EQ(reply.value, List({EncodableValue(int32_t{7}), EncodableValue(true)}));
  EXPECT_FALSE(FlutterHeadlessEngineRespondToPlugin(engine_, 987654321, nullptr, 0));
}

TEST_F(HeadlessEngineTest, SendFromAWorkerIsCountedAndStillDeliveredOnThePlatformThread) {
  DartInbox inbox;
  FlutterHeadlessEngineSetDartHandler(engine_, "dart.inbox", DartHandler, &inbox);
  EXPECT_EQ(Call("test.sendFromWorker", EncodableValue()), EncodableValue(true));
  PumpUntil([&] { return !inbox.messages.empty(); });
  ASSERT_EQ(inbox.messages.size(), 1u);
  EXPECT_EQ(inbox.messages[0], EncodableValue("from worker"));
  EXPECT_EQ(inbox.threads[0], std::this_thread::get_id());
  EXPECT_EQ(FlutterHeadlessEngineOffThreadCallCount(engine_), 1u);
}

TEST_F(HeadlessEngineTest, RemovedHandlerLeavesTheChannelUnanswered) {
  EXPECT_EQ(Call("test.unregister", EncodableValue("test.echo")), EncodableValue(true));
  EXPECT_EQ(Call("test.echo", EncodableValue(1)), std::nullopt);
}

TEST_F(HeadlessEngineTest, RunLoopEndsOnQuitFromAnotherThreadOrOnTimeout) {
  EXPECT_EQ(FlutterHeadlessEngineRunLoop(engine_, 30), 0);
  std::thread quitter([engine = engine_] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // quits a loop that is running
    FlutterHeadlessEngineQuitLoop(engine);
  });
  EXPECT_EQ(FlutterHeadlessEngineRunLoop(engine_, kTimeoutMs), 1);
  quitter.join();
}

TEST_F(HeadlessEngineTest, DestroyingTheEngineDestroysThePluginAndDropsLateWorkerReplies) {
  EXPECT_EQ(plugin_.live_count(), 1);
  Reply reply;
  const std::vector<uint8_t> bytes = EncodeValue(EncodableValue(int64_t{300}));
  ASSERT_TRUE(FlutterHeadlessEngineSendToPlugin(engine_, "test.worker", bytes.data(), bytes.size(),
                                                RecordReply, &reply));
  FlutterHeadlessEngineRunLoop(engine_, 50);  // the worker is now in flight
  FlutterHeadlessEngineDestroy(engine_);
  engine_ = nullptr;
  EXPECT_EQ(plugin_.live_count(), 0);
  // Proves an absence: the worker replies 300 ms after it started, into a dead
  // engine, and that reply must never arrive.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_FALSE(reply.arrived);
}

TEST_F(HeadlessEngineTest, NullArgumentsAreRefused) {
  uint8_t* reply = nullptr;
  size_t size = 0;
  EXPECT_FALSE(FlutterHeadlessEngineSendToPlugin(nullptr, "c", nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(FlutterHeadlessEngineSendToPlugin(engine_, nullptr, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(FlutterHeadlessEngineSendToPlugin(engine_, "c", nullptr, 3, nullptr, nullptr));
  EXPECT_FALSE(
      FlutterHeadlessEngineSendToPluginAndWait(engine_, "c", nullptr, 0, 10, nullptr, &size));
  EXPECT_FALSE(
      FlutterHeadlessEngineSendToPluginAndWait(engine_, "c", nullptr, 0, 10, &reply, nullptr));
  EXPECT_EQ(FlutterHeadlessEngineGetRegistrar(engine_, nullptr), nullptr);
  EXPECT_FALSE(FlutterDesktopMessengerSend(nullptr, "c", nullptr, 0));
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(nullptr));
}

#ifdef _WIN32
TEST_F(HeadlessEngineTest, PluginWindowMessagesArePumpedOnThePlatformThread) {
  DartInbox inbox;
  FlutterHeadlessEngineSetDartHandler(engine_, "dart.inbox", DartHandler, &inbox);
  ASSERT_EQ(Call("test.windowEvent", EncodableValue()), EncodableValue(true));
  PumpUntil([&] { return !inbox.messages.empty(); });
  ASSERT_EQ(inbox.messages.size(), 1u);
  EXPECT_EQ(inbox.messages[0], List({EncodableValue("window event"), EncodableValue(true)}));
  EXPECT_EQ(inbox.threads[0], std::this_thread::get_id());
  EXPECT_EQ(FlutterHeadlessEngineOffThreadCallCount(engine_), 0u);
}

TEST_F(HeadlessEngineTest, TopLevelWindowMessagesReachThePluginsDelegate) {
  // WM_APP + 9 is the message the test plugin's delegate claims.
  int64_t result = 0;
  EXPECT_TRUE(
      FlutterHeadlessEngineDispatchTopLevelMessage(engine_, nullptr, 0x8000 + 9, 41, 0, &result));
  EXPECT_EQ(result, 42);
  EXPECT_FALSE(
      FlutterHeadlessEngineDispatchTopLevelMessage(engine_, nullptr, 0x8000 + 10, 0, 0, &result));
}
#endif

}  // namespace
