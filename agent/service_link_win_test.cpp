#include "agent/service_link_win.h"

#include <gtest/gtest.h>

#include "common/ipc/messages.h"
#include "common/ipc/pipe_owner_win.h"
#include "tests/fakes/fake_pipe_server_win.h"
#include "tests/support/pipe_wait_win.h"
#include "tests/support/bytes.h"

namespace tovra::agent {
namespace {

using tovra::testing::AsBytes;

using common::Bytes;
using common::Frame;
using testing::FakePipeServer;

ServiceLink::Connector ConnectorFor(const std::wstring& name) {
  return [name] {
    PipeConnectResult r;
    r.pipe = testing::OpenPipeClient(name);
    if (!r.pipe) r.error = 4;
    return r;
  };
}

// A Service stand-in: hello with `protocol`, and a body of {7, 7, 7} after status 0
// for anything else (status `other_status` when set).
FakePipeServer::Handler ServiceHandler(uint16_t protocol, uint16_t other_status = 0) {
  return [=](const Frame& f) -> std::optional<Bytes> {
    if (f.header.type == 1) return FakePipeServer::HelloReply(protocol, "99-0x00000001");
    if (other_status != 0)
      return common::StatusOnlyPayload(static_cast<common::Status>(other_status));
    return Bytes{0, 0, 7, 7, 7};
  };
}

TEST(ServiceLinkWin, HelloThenRelayWithIncreasingRequestIds) {
  FakePipeServer fake(testing::UniquePipeName(L"svc"), ServiceHandler(6));
  fake.set_generation(0x5555AAAA);
  ServiceLink link(ConnectorFor(fake.name()));
  EXPECT_EQ(link.last_error(), 4) << "before the first connect";
  const Bytes payload = {1, 2, 3};
  auto r = link.Request(7, payload);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.body, (Bytes{7, 7, 7}));
  EXPECT_EQ(link.last_error(), 0);
  EXPECT_EQ(link.service_generation(), 0x5555AAAAu);
  EXPECT_TRUE(link.connected());
  const auto frames = fake.received();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].header.type, 1);
  EXPECT_EQ(frames[0].header.request_id, 1u);
  EXPECT_EQ(frames[1].header.type, 7);
  EXPECT_EQ(frames[1].header.request_id, 2u);
  EXPECT_EQ(frames[1].header.generation, 0u);
  EXPECT_EQ(frames[1].payload, payload);
  EXPECT_EQ(fake.connections(), 1);
  ASSERT_TRUE(link.Request(6, {}).ok);
  EXPECT_EQ(fake.connections(), 1) << "the link stays connected";
}

TEST(ServiceLinkWin, ProtocolMismatchFailsClosed) {
  FakePipeServer fake(testing::UniquePipeName(L"svc"), ServiceHandler(5));
  ServiceLink link(ConnectorFor(fake.name()));
  for (uint16_t type : std::initializer_list<uint16_t>{3, 5, 7}) {
    auto r = link.Request(type, Bytes{9, 9});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 3) << type;
  }
  EXPECT_EQ(link.last_error(), 3);
  EXPECT_FALSE(link.connected());
  for (const auto& f : fake.received()) {
    EXPECT_EQ(f.header.type, 1) << "nothing but hello reaches a mismatched Service";
  }
}

TEST(ServiceLinkWin, ServiceRestartReconnectsWithinTheSameRequest) {
  FakePipeServer fake(testing::UniquePipeName(L"svc"), ServiceHandler(6));
  fake.set_generation(0x00000010);
  ServiceLink link(ConnectorFor(fake.name()));
  ASSERT_TRUE(link.Request(2, {}).ok);
  fake.DropClient();
  fake.set_generation(0x00000020);
  ::Sleep(400);  // the stand-in notices the drop on its next poll
  auto r = link.Request(7, {});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(link.service_generation(), 0x20u);
  EXPECT_EQ(fake.connections(), 2);
}

TEST(ServiceLinkWin, AbsentServiceAndServerStatuses) {
  ServiceLink absent(ConnectorFor(testing::UniquePipeName(L"nobody")));
  auto r = absent.Request(3, {});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 4);

  FakePipeServer fake(testing::UniquePipeName(L"svc"), ServiceHandler(6, 6));
  ServiceLink link(ConnectorFor(fake.name()));
  r = link.Request(5, Bytes{1});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 6) << "the Service's own status is passed on";
  EXPECT_TRUE(link.connected()) << "a refused request is not a broken link";
}

TEST(ServiceLinkWin, ReplyWithAnotherRequestIdDropsTheConnection) {
  std::atomic<int> calls{0};
  FakePipeServer fake(testing::UniquePipeName(L"svc"), [&](const Frame& f) -> std::optional<Bytes> {
    if (f.header.type == 1) return FakePipeServer::HelloReply(6, "1-0x00000001");
    ++calls;
    return std::nullopt;  // close without replying
  });
  ServiceLink link(ConnectorFor(fake.name()));
  auto r = link.Request(7, {});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(calls.load(), 2) << "one reconnect, then give up";
}

struct StageCase {
  const char* name;
  std::optional<uint16_t> request_status;  // status-only reply
  std::string staged_path;
  uint16_t stage_result;
  uint16_t expected_result;
};

TEST(ServiceLinkOpenVpnStagerWin, ResultMapping) {
  const StageCase cases[] = {
      {"staged", std::nullopt, "C:\\ovpn\\zerkavpn\\a.ovpn", 0, 0},
      {"untrusted directory", std::nullopt, "", 1, 2},
      {"invalid profile", std::nullopt, "", 2, 3},
      {"write failed", std::nullopt, "", 5, 4},
      {"not permitted", 6, "", 0, 2},
      {"bad request", 1, "", 0, 3},
      {"unsupported", 2, "", 0, 4},
  };
  for (const auto& c : cases) {
    FakePipeServer fake(
        testing::UniquePipeName(L"stage"), [&](const Frame& f) -> std::optional<Bytes> {
          if (f.header.type == 1) return FakePipeServer::HelloReply(6, "1-0x00000001");
          if (c.request_status)
            return common::StatusOnlyPayload(static_cast<common::Status>(*c.request_status));
          common::PayloadWriter w;
          w.WriteU16(0);
          w.WriteString(c.staged_path);
          w.WriteU16(c.stage_result);
          return w.Take();
        });
    ServiceLink link(ConnectorFor(fake.name()));
    ServiceLinkOpenVpnStager stager(&link, 1);
    uint16_t result = 99;
    const std::wstring path = stager.Stage(42, AsBytes("client\n"), result);
    EXPECT_EQ(result, c.expected_result) << c.name;
    EXPECT_EQ(path.empty(), c.expected_result != 0) << c.name;
    const auto frames = fake.received();
    ASSERT_EQ(frames.size(), 2u) << c.name;
    common::PayloadReader r(frames[1].payload);
    uint32_t key = 0;
    std::string profile;
    EXPECT_TRUE(r.ReadU32(key) && r.ReadString(profile));
    EXPECT_EQ(key, 42u);
    EXPECT_EQ(profile, "client\n");
  }
}

TEST(ServiceLinkOpenVpnStagerWin, EmptyProfileOrNoLinkNeverContactsTheService) {
  FakePipeServer fake(testing::UniquePipeName(L"stage"), ServiceHandler(6));
  ServiceLink link(ConnectorFor(fake.name()));
  ServiceLinkOpenVpnStager stager(&link, 1);
  uint16_t result = 0;
  EXPECT_TRUE(stager.Stage(1, AsBytes(""), result).empty());
  EXPECT_EQ(result, 4);
  ServiceLinkOpenVpnStager unlinked(nullptr, 1);
  result = 0;
  EXPECT_TRUE(unlinked.Stage(1, AsBytes("client"), result).empty());
  EXPECT_EQ(result, 4);
  stager.Unstage(L"");
  EXPECT_TRUE(fake.received().empty());
  stager.Unstage(L"C:\\x\\\u00e9.ovpn");
  const auto frames = fake.received();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].header.type, 13);
  common::PayloadReader r(frames[1].payload);
  std::string path;
  ASSERT_TRUE(r.ReadString(path));
  EXPECT_EQ(path, "C:\\x\\\xC3\xA9.ovpn");
}

}  // namespace
}  // namespace tovra::agent

namespace tovra::agent {
namespace {

TEST(ServiceLinkWin, SquatterWithAForeignOwnerGetsNothing) {
  FakePipeServer squatter(testing::UniquePipeName(L"squat"), ServiceHandler(6),
                          std::wstring(L"S-1-5-21-1004336348-1177238915-682003330-1999"));
  ASSERT_EQ(common::GetPipeOwnerSid(testing::OpenPipeClient(squatter.name()).get()).sid,
            std::optional<std::wstring>(L"S-1-5-21-1004336348-1177238915-682003330-1999"))
      << "the stand-in carries the foreign owner";
  // The probe above took the stand-in's instance; it serves again once its next one exists.
  ASSERT_TRUE(testing::WaitForPipe(squatter.name(), 5000));
  ServiceLink link(ConnectorFor(squatter.name()));
  auto r = link.Request(5, Bytes{3, 0, 'k', 'e', 'y'});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(link.last_error(), 5);
  ::Sleep(300);
  EXPECT_TRUE(squatter.received().empty()) << "not a byte was written to it";
}

TEST(ServiceLinkWin, OwnPipesAreTrusted) {
  FakePipeServer own(testing::UniquePipeName(L"own"), ServiceHandler(6));
  common::UniqueHandle client = testing::OpenPipeClient(own.name());
  ASSERT_TRUE(client);
  EXPECT_TRUE(common::IsTrustedServerPipe(client.get()).trusted)
      << "owner " << (common::GetPipeOwnerSid(client.get()).sid.value_or(L"?").size());
}

}  // namespace
}  // namespace tovra::agent
