#include "plugin/host_requests.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/ipc/frame.h"

namespace tovra_windows_vpn {
namespace {

using tovra::common::Bytes;
using tovra::common::PayloadReader;
using tovra::common::SecretBuffer;

struct PayloadCase {
  size_t profile, username, password;
  bool fits;
};

class StartOpenVpnPayload : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(StartOpenVpnPayload, SizedOnceWithinTheFrameLimit) {
  const PayloadCase c = GetParam();
  const std::string profile(c.profile, 'p'), username(c.username, 'u'), password(c.password, 'w');
  std::optional<SecretBuffer> payload = BuildStartOpenVpnPayload(profile, username, password);
  ASSERT_EQ(payload.has_value(), c.fits);
  if (!c.fits) return;
  EXPECT_EQ(payload->size(), 6 + c.profile + c.username + c.password);
  EXPECT_EQ(payload->capacity(), payload->size()) << "one allocation, no copy left behind";
  PayloadReader r(payload->span());
  std::string a, b, d;
  ASSERT_TRUE(r.ReadString(a) && r.ReadString(b) && r.ReadString(d));
  EXPECT_EQ(a, profile);
  EXPECT_EQ(b, username);
  EXPECT_EQ(d, password);
}

// Wire texts hold at most 32768 bytes; a payload at most 61440 (6 bytes of lengths).
INSTANTIATE_TEST_SUITE_P(
    Limits, StartOpenVpnPayload,
    ::testing::Values(PayloadCase{10, 1, 1, true}, PayloadCase{0, 0, 0, true},
                      PayloadCase{32768, 28666, 0, true},   // exactly 61440
                      PayloadCase{32768, 28667, 0, false},  // one byte over the frame
                      PayloadCase{30000, 30000, 2000, false}, PayloadCase{32769, 0, 0, false},
                      PayloadCase{0, 0, 32769, false}));

TEST(StartWireGuardPayload, OneTextUpToTheTextLimit) {
  const std::string config(32768, 'c');
  auto payload = BuildStartWireGuardPayload(config);
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->size(), 32770u);
  EXPECT_EQ(payload->capacity(), payload->size());
  EXPECT_FALSE(BuildStartWireGuardPayload(std::string(32769, 'c')));
}

// What the reply callback saw, for one call.
struct Replies {
  std::vector<ErrorOr<int>> values;
  std::function<void(ErrorOr<int>)> Callback(bool throw_after = false) {
    return [this, throw_after](ErrorOr<int> v) {
      values.push_back(std::move(v));
      if (throw_after) throw std::runtime_error("reply failed");
    };
  }
};

enum class Body { replies, throws_before_reply, replies_then_throws, replies_twice, never_replies };

class WorkerReplies : public ::testing::TestWithParam<std::pair<Body, bool>> {};

TEST_P(WorkerReplies, ExactlyOnce) {
  const Body body = GetParam().first;
  const bool expect_value = GetParam().second;
  Replies replies;
  RunWorker<int>(replies.Callback(), [body](OnceReply<int>& reply) {
    switch (body) {
      case Body::replies:
        reply(5);
        break;
      case Body::throws_before_reply:
        throw std::runtime_error("escaped");
      case Body::replies_then_throws:
        reply(5);
        throw std::bad_alloc();
      case Body::replies_twice:
        reply(5);
        reply(6);
        break;
      case Body::never_replies:
        break;
    }
  });
  ASSERT_EQ(replies.values.size(), 1u);
  if (expect_value) {
    ASSERT_FALSE(replies.values[0].has_error());
    EXPECT_EQ(replies.values[0].value(), 5);
  } else {
    ASSERT_TRUE(replies.values[0].has_error());
    EXPECT_EQ(replies.values[0].error().code(), "INTERNAL");
    EXPECT_EQ(replies.values[0].error().message(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Bodies, WorkerReplies,
                         ::testing::Values(std::pair{Body::replies, true},
                                           std::pair{Body::throws_before_reply, false},
                                           std::pair{Body::replies_then_throws, true},
                                           std::pair{Body::replies_twice, true},
                                           std::pair{Body::never_replies, false}));

TEST(WorkerReplies, AReplyCallbackThatThrowsIsNotCalledAgain) {
  Replies replies;
  RunWorker<int>(replies.Callback(/*throw_after=*/true), [](OnceReply<int>& reply) { reply(1); });
  EXPECT_EQ(replies.values.size(), 1u);
}

// A stand-in client: records where the payload it was handed lives.
struct FakeClient {
  struct Answer {
    bool ok;
    uint16_t status;
    Bytes payload;
  };
  Answer answer;
  const uint8_t* seen = nullptr;
  size_t seen_size = 0;
  bool throws = false;
  Answer Request(uint16_t, std::span<const uint8_t> payload) {
    seen = payload.data();
    seen_size = payload.size();
    if (throws) throw std::runtime_error("broken");
    return answer;
  }
};

std::optional<int> ReadFirstByte(std::span<const uint8_t> body) {
  if (body.empty()) return std::nullopt;
  return body[0];
}

struct RequestCase {
  FakeClient::Answer answer;
  Reach reach;
  std::string code;  // "" for a value
};

class Requests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(Requests, SecretWipedBeforeTheReply) {
  const RequestCase c = GetParam();
  FakeClient client{c.answer};
  bool wiped_at_reply = false;
  std::vector<ErrorOr<int>> got;
  RunWorker<int>(
      [&](ErrorOr<int> v) {
        wiped_at_reply = true;
        for (size_t i = 0; i < client.seen_size; ++i) wiped_at_reply &= client.seen[i] == 0;
        got.push_back(std::move(v));
      },
      [&](OnceReply<int>& reply) {
        SendRequest<int>(client, 9, *BuildStartOpenVpnPayload("profile", "u", "secret"), c.reach,
                         ReadFirstByte, reply);
      });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_GT(client.seen_size, 0u);
  EXPECT_TRUE(wiped_at_reply);
  if (c.code.empty()) {
    ASSERT_FALSE(got[0].has_error());
    EXPECT_EQ(got[0].value(), 42);
  } else {
    ASSERT_TRUE(got[0].has_error());
    EXPECT_EQ(got[0].error().code(), c.code);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Requests,
    ::testing::Values(RequestCase{{true, 0, {42}}, Reach::agent, ""},
                      RequestCase{{true, 0, {}}, Reach::agent, "INTERNAL"},  // unreadable record
                      // the status mapping itself is tested with the rules
                      RequestCase{{false, 7, {}}, Reach::service, "SERVICE_UNAVAILABLE"}));

TEST(Requests, AClientThatThrowsStillGetsAWipedPayloadAndOneInternalReply) {
  FakeClient client{{true, 0, {1}}};
  client.throws = true;
  std::vector<std::string> codes;
  // The payload lives in the body's frame: unwinding wipes it before RunWorker answers,
  // and the storage is gone by then, so only the reply count and code are checked.
  RunWorker<int>(
      [&](ErrorOr<int> v) { codes.push_back(v.has_error() ? v.error().code() : "value"); },
      [&](OnceReply<int>& reply) {
        SendRequest<int>(client, 5, *BuildStartWireGuardPayload("PrivateKey = x"), Reach::service,
                         ReadFirstByte, reply);
      });
  EXPECT_EQ(codes, std::vector<std::string>{"INTERNAL"});
}

}  // namespace
}  // namespace tovra_windows_vpn
