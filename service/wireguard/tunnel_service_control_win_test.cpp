#include "service/wireguard/tunnel_service_control_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tovra::service {
namespace {

bool GoneWithin(TunnelServiceControl& scm, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (scm.Exists()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// The real manager: created, configured, found, deleted, gone. Never started
// (the command line names no program).
TEST(ScmTunnelServiceControl, CreatesConfiguresAndDeletesTheTunnelService) {
  ScmTunnelServiceControl scm;
  ASSERT_TRUE(GoneWithin(scm, std::chrono::seconds(5)))
      << "a tunnel service is left from elsewhere";
  ASSERT_EQ(scm.Connect(true), 0u);
  ASSERT_EQ(scm.Create(L"\"C:\\nowhere\\wireguard.exe\" /tunnelservice \"C:\\nowhere\\x.conf\""),
            0u);
  const uint32_t sid = scm.SetSidTypeUnrestricted();
  EXPECT_TRUE(sid == 0 || sid == scm::kErrorInvalidLevel) << sid;
  scm.SetDescription();
  EXPECT_EQ(scm.QueryState(), scm::kStopped);
  scm.Close();
  EXPECT_TRUE(scm.Exists());

  ASSERT_EQ(scm.Connect(false), 0u);
  ASSERT_EQ(scm.Open(), 0u);
  EXPECT_EQ(scm.SendStop(), scm::kErrorServiceNotActive);
  EXPECT_EQ(scm.Delete(), 0u);
  scm.Close();
  EXPECT_TRUE(GoneWithin(scm, std::chrono::seconds(12)));

  ASSERT_EQ(scm.Connect(false), 0u);
  EXPECT_EQ(scm.Open(), scm::kErrorServiceDoesNotExist);
  scm.Close();
}

}  // namespace
}  // namespace tovra::service
