#include "service/vpn_handlers_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "common/ipc/messages.h"
#include "service/wireguard/testing/fake_tunnel_platform.h"
#include "service/wireguard/wireguard_tunnel_manager.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::service {
namespace {

using common::Bytes;
using common::Status;
using common::WireGuardStatusRecord;
using testing::FakeAdapter;
using testing::FakeClock;
using testing::FakeFiles;
using testing::FakeServices;

constexpr char kConfig[] =
    "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
    "Address = 10.0.0.2/32\n[Peer]\nPublicKey = ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM=\n"
    "Endpoint = vpn.example.com:51820\nAllowedIPs = 0.0.0.0/0\n";

// A tunnel manager over the scripted machine, owned the way the Service owns
// the real one.
struct FakeTunnel {
  FakeClock clock;
  FakeServices services{clock};
  FakeFiles files;
  FakeAdapter adapter{services};
  WireGuardTunnelManager manager{L"C:\\Program Files\\Zerka",
                                 TunnelPlatform{services, files, adapter, clock}};
};

struct Reply {
  uint16_t status = 0xFFFF;
  WireGuardStatusRecord record;
  bool has_record = false;
};

Reply Decode(const Bytes& body) {
  Reply r;
  common::PayloadReader reader(body);
  reader.ReadU16(r.status);
  r.has_record = reader.ReadWireGuardStatus(r.record);
  return r;
}

Bytes StringPayload(std::string_view text) {
  common::PayloadWriter w;
  EXPECT_TRUE(w.WriteString(text));
  return w.Take();
}

class WireGuardHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    ServiceExtensions ext;
    AddWireGuardExtensions(ext, [this] {
      ++made_;
      return std::shared_ptr<WireGuardTunnelManager>(tunnel_, &tunnel_->manager);
    });
    state_ = CreateServiceState(false, std::move(ext));
    ASSERT_TRUE(state_);
  }
  Reply Call(common::MessageType type, Bytes payload = {}) {
    const auto handler = state_->extensions.handlers.find(static_cast<uint16_t>(type));
    EXPECT_NE(handler, state_->extensions.handlers.end());
    last_payload_ = std::move(payload);
    return Decode(handler->second(*state_, {}, last_payload_));
  }

  std::shared_ptr<FakeTunnel> tunnel_ = std::make_shared<FakeTunnel>();
  int made_ = 0;
  std::unique_ptr<ServiceState> state_;
  Bytes last_payload_;
};

TEST_F(WireGuardHandlers, TheEarlyStartUpActionMakesOneManagerForTheState) {
  EXPECT_EQ(made_, 1);
  EXPECT_EQ(state_->wireguard.get(), &tunnel_->manager);
}

TEST_F(WireGuardHandlers, StartAnswersWithTheRecordAndLeavesNoConfigurationBytes) {
  tovra::testing::StderrCapture log;
  const Reply up = Call(common::MessageType::start_wireguard, StringPayload(kConfig));
  EXPECT_EQ(up.status, 0);
  ASSERT_TRUE(up.has_record);
  EXPECT_EQ(up.record.state, 2);
  EXPECT_TRUE(up.record.adapter_present);
  EXPECT_TRUE(std::all_of(last_payload_.begin(), last_payload_.end(), [](uint8_t b) {
    return b == 0;
  })) << "the received request is wiped by the handler";
  EXPECT_EQ(log.Text().find("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="), std::string::npos);

  const Reply status = Call(common::MessageType::wireguard_status);
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.record, up.record);

  const Reply down = Call(common::MessageType::stop_wireguard);
  EXPECT_EQ(down.status, 0);
  EXPECT_EQ(down.record.state, 4);
  EXPECT_FALSE(tunnel_->services.exists);
}

// Only an unreadable payload is a non-zero status; a readable but empty text is
// the manager's to reject, inside the record.
TEST_F(WireGuardHandlers, UnreadablePayloadIsBadRequestAndAnEmptyTextIsRejectedInTheRecord) {
  for (const Bytes& unreadable : {Bytes{}, Bytes{0x05}, Bytes{0x05, 0x00, 'a'}}) {
    const Reply r = Call(common::MessageType::start_wireguard, unreadable);
    EXPECT_EQ(r.status, static_cast<uint16_t>(Status::bad_request));
    EXPECT_FALSE(r.has_record);
  }
  EXPECT_TRUE(tunnel_->services.calls.empty()) << "nothing reached the manager";
  const Reply empty = Call(common::MessageType::start_wireguard, StringPayload(""));
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.record.error, static_cast<uint16_t>(common::WireGuardError::config_rejected));
  EXPECT_EQ(empty.record.state, 4);
}

TEST_F(WireGuardHandlers, LoopStartRemovesALeftoverTunnelAndTheStopActionStopsTheTunnel) {
  tunnel_->services.InstallRunning();
  tovra::testing::StderrCapture log;
  RunActions(*state_, state_->extensions.loop_start);
  EXPECT_FALSE(tunnel_->services.exists);

  ASSERT_EQ(Call(common::MessageType::start_wireguard, StringPayload(kConfig)).record.state, 2);
  RunActions(*state_, state_->extensions.stop_request);
  EXPECT_FALSE(tunnel_->services.exists);
}

TEST(WireGuardHandlersWithoutManager, AnswerInternal) {
  std::unique_ptr<ServiceState> state = CreateServiceState(false, {});
  ASSERT_TRUE(state);
  Bytes payload = StringPayload(kConfig);
  for (const auto& handler : {HandleStartWireGuard, HandleStopWireGuard, HandleWireGuardStatus}) {
    EXPECT_EQ(Decode(handler(*state, {}, payload)).status, static_cast<uint16_t>(Status::internal));
  }
}

// The OpenVPN requests decide what they can before touching the configuration
// directory: an unreadable payload, and a caller that is not an interactive user.
TEST(OpenVpnHandlers, UnreadableRequestsAndNonInteractiveCallersAreRefusedFirst) {
  std::unique_ptr<ServiceState> state = CreateServiceState(false, {});
  ASSERT_TRUE(state);
  const auto status = [](const Bytes& reply) { return Decode(reply).status; };
  common::CallerIdentity user;
  user.sid = L"S-1-5-21-1-2-3-1001";

  Bytes short_stage{1, 2, 3};
  EXPECT_EQ(status(HandleStageOpenVpnConfig(*state, user, short_stage)), 1);
  Bytes short_report(8, 0);  // one byte short of a report
  EXPECT_EQ(status(HandleReportOpenVpnActivity(*state, user, short_report)), 1);
  Bytes no_path{};
  EXPECT_EQ(status(HandleUnstageOpenVpnConfig(*state, user, no_path)), 1);

  common::PayloadWriter w;
  w.WriteU32(7);
  ASSERT_TRUE(w.WriteString("client\nremote vpn.example.net 1194\n"));
  for (const bool local_system : {true, false}) {
    common::CallerIdentity caller;
    caller.is_local_system = local_system;
    caller.sid = local_system ? L"S-1-5-18" : L"";
    Bytes payload = w.bytes();
    tovra::testing::StderrCapture log;
    EXPECT_EQ(status(HandleStageOpenVpnConfig(*state, caller, payload)),
              static_cast<uint16_t>(Status::not_permitted));
    EXPECT_NE(
        log.Text().find("WARN stage_openvpn_config rejected: caller is not an interactive user"),
        std::string::npos);
    EXPECT_TRUE(std::all_of(payload.begin(), payload.end(), [](uint8_t b) { return b == 0; }));
  }
  Bytes payload = w.bytes();
  common::CallerIdentity bad_sid;
  bad_sid.sid = L"not a sid";
  EXPECT_EQ(status(HandleStageOpenVpnConfig(*state, bad_sid, payload)),
            static_cast<uint16_t>(Status::internal));

  Bytes report{1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(HandleReportOpenVpnActivity(*state, user, report), (Bytes{0, 0}));
}

}  // namespace
}  // namespace tovra::service
