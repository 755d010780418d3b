#include "common/ipc/pipe_server_win.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/security/caller_identity_win.h"
#include "common/ipc/messages.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"

namespace tovra::common {
namespace {

// A role no real program uses, so these tests never meet a running server.
std::wstring TestRole() {
  static int counter = 0;
  return L"ServerTest" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
         std::to_wstring(++counter);
}

PipeSecurity OwnUserSecurity() {
  const std::vector<std::wstring> sids = {AdministratorsSidText(),
                                          GetProcessUserSid().sid.value_or(L"")};
  return std::move(*BuildPipeSecurity(sids).security);
}

class ServerPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    role_ = TestRole();
    name_ = *FormatPipeName(role_, 1);
    created_ = CreateServerPipe(name_, security_, true, 1);
    ASSERT_TRUE(created_.pipe) << created_.error.code;
  }
  HANDLE pipe() { return created_.pipe.get(); }
  ConnectResult Connect(uint32_t attempts = 1, uint32_t busy_wait_ms = 0) {
    ConnectOptions options;
    options.attempts = attempts;
    options.busy_wait_ms = busy_wait_ms;
    return ConnectToServer(role_, 1, options);
  }

  std::wstring role_;
  std::wstring name_;
  PipeSecurity security_ = OwnUserSecurity();
  CreatePipeResult created_;
  UniqueHandle stop_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(ServerPipe, AcceptTimesOutWithoutClient) {
  EXPECT_EQ(AcceptClient(pipe(), stop_.get(), 100), AcceptResult::timed_out);
}

TEST_F(ServerPipe, AcceptEndsOnStopEvent) {
  ::SetEvent(stop_.get());
  EXPECT_EQ(AcceptClient(pipe(), stop_.get(), 10000), AcceptResult::stopped);
}

TEST_F(ServerPipe, AcceptSeesClientThatArrivedFirst) {
  ConnectResult client = Connect();
  ASSERT_EQ(client.error, Status::ok);
  EXPECT_EQ(AcceptClient(pipe(), stop_.get(), 1000), AcceptResult::connected);
}

TEST_F(ServerPipe, AcceptSeesClientArrivingWhileWaiting) {
  UniqueHandle accepted(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread late([&] {
    ::Sleep(200);  // arriving late is what is tested: the server is waiting by then
    ConnectResult client = Connect();
    EXPECT_EQ(client.error, Status::ok);
    // Holds the connection until the server has seen it.
    EXPECT_EQ(::WaitForSingleObject(accepted.get(), 10000), WAIT_OBJECT_0);
  });
  EXPECT_EQ(AcceptClient(pipe(), stop_.get(), 10000), AcceptResult::connected);
  ::SetEvent(accepted.get());
  late.join();
}

TEST_F(ServerPipe, SecondClientOfSingleInstanceIsBusy) {
  ConnectResult first = Connect();
  ASSERT_EQ(first.error, Status::ok);
  ConnectResult second = Connect(3, 50);
  EXPECT_EQ(second.error, Status::busy);
  EXPECT_EQ(second.win32.code, static_cast<uint32_t>(ERROR_PIPE_BUSY));
  EXPECT_FALSE(second.pipe);
}

TEST_F(ServerPipe, WaitingClientGetsTheNextInstance) {
  ConnectResult first = Connect();
  ASSERT_EQ(first.error, Status::ok);
  ASSERT_EQ(AcceptClient(pipe(), stop_.get(), 1000), AcceptResult::connected);
  ConnectResult second;
  std::thread waiting([&] { second = Connect(40, 200); });
  ::Sleep(500);  // the second client is waiting on the busy instance, which is what is tested
  // The server finishes its client and, a moment later, offers a fresh instance.
  FinishClient(pipe(), 5000);
  created_.pipe.reset();
  ::Sleep(150);  // the name is gone for that moment
  created_ = CreateServerPipe(name_, security_, true, 1);
  ASSERT_TRUE(created_.pipe);
  waiting.join();
  EXPECT_EQ(second.error, Status::ok);
  EXPECT_TRUE(second.pipe);
}

TEST_F(ServerPipe, ExchangeRoundTripsAndRejectsForeignRequestId) {
  ConnectResult client = Connect();
  ASSERT_EQ(client.error, Status::ok);
  ASSERT_EQ(AcceptClient(pipe(), stop_.get(), 1000), AcceptResult::connected);
  std::thread server([this] {
    for (uint32_t reply_id : {7u, 99u}) {  // echoes once, then answers with a wrong id
      std::optional<Frame> request = ReadFrame(pipe(), 5000);
      ASSERT_TRUE(request);
      const Bytes body = StatusOnlyPayload(Status::ok);
      ASSERT_TRUE(WriteFrame(pipe(), request->header.type, reply_id, 0xABCD, body, 5000));
    }
  });
  std::optional<Frame> reply = ExchangeRequest(client.pipe.get(), 2, 7, {}, 5000);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->header.generation, 0xABCDu);
  EXPECT_FALSE(ExchangeRequest(client.pipe.get(), 2, 8, {}, 5000));
  server.join();
}

TEST_F(ServerPipe, FinishClientLetsTheClientReadTheLastReply) {
  ConnectResult client = Connect();
  ASSERT_EQ(client.error, Status::ok);
  ASSERT_EQ(AcceptClient(pipe(), stop_.get(), 1000), AcceptResult::connected);
  std::thread reader([&] {
    std::optional<Frame> last = ReadFrame(client.pipe.get(), 5000);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->header.type, 3);
    client.pipe.reset();
  });
  const Bytes body = StatusOnlyPayload(Status::protocol_mismatch);
  ASSERT_TRUE(WriteFrame(pipe(), 3, 1, 1, body, 5000));
  FinishClient(pipe(), 5000);
  reader.join();
}

TEST_F(ServerPipe, FinishClientGivesUpOnAClientThatNeverReads) {
  ConnectResult client = Connect();
  ASSERT_EQ(client.error, Status::ok);
  ASSERT_EQ(AcceptClient(pipe(), stop_.get(), 1000), AcceptResult::connected);
  const Bytes body = StatusOnlyPayload(Status::ok);
  ASSERT_TRUE(WriteFrame(pipe(), 2, 1, 1, body, 5000));
  FinishClient(pipe(), 300);                         // returns although the reply is never read
  EXPECT_FALSE(ReadFrame(client.pipe.get(), 1000));  // and the client was disconnected
}

TEST(ConnectToServer, AbsentPipeIsUnavailableAtOnce) {
  std::atomic<int> calls = 0;
  ConnectOptions options;
  options.attempts = 5;
  ConnectResult r = ConnectToServer(TestRole(), 1, options);
  EXPECT_EQ(r.error, Status::unavailable);
  EXPECT_EQ(r.win32.code, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(r.win32.api == L"CreateFileW");

  options.on_absent = [&] { return ++calls < 2; };  // one retry, then give up
  r = ConnectToServer(TestRole(), 1, options);
  EXPECT_EQ(r.error, Status::unavailable);
  EXPECT_EQ(calls.load(), 2);
}

TEST(ConnectToServer, AbsentHookMayStartTheServer) {
  const std::wstring role = TestRole();
  PipeSecurity security = OwnUserSecurity();
  CreatePipeResult created;
  ConnectOptions options;
  options.attempts = 3;
  options.on_absent = [&] {
    created = CreateServerPipe(*FormatPipeName(role, 1), security, true, 1);
    return static_cast<bool>(created.pipe);
  };
  ConnectResult r = ConnectToServer(role, 1, options);
  EXPECT_EQ(r.error, Status::ok);
  EXPECT_TRUE(r.pipe);
}

TEST(ConnectToServer, UnnamableSessionIsBadRequest) {
  ConnectOptions options;
  options.attempts = 1;
  EXPECT_EQ(ConnectToServer(kAgentPipeRole, 65536, options).error, Status::bad_request);
  EXPECT_EQ(ConnectToServer(kServicePipeRole, 0xFFFFFFFF, options).error, Status::bad_request);
}

}  // namespace
}  // namespace tovra::common
