#include "service/wireguard/wireguard_tunnel_win.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/temp_folder_win.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::service {
namespace {

using ::testing::HasSubstr;

TEST(WinWireGuardTunnel, ReadsItsOwnFolder) {
  const std::wstring dir = ReadServiceDirectory();
  EXPECT_TRUE(IsAbsoluteWindowsPath(dir)) << dir;
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_EQ(std::wstring(path).rfind(dir + L"\\", 0), 0u);
}

// The real pieces put together: without wireguard.exe in the folder a start is
// refused before anything is touched; a stop without a tunnel is down.
TEST(WinWireGuardTunnel, WithoutTheTunnelProgramNothingIsTouched) {
  tovra::testing::TempFolder folder;
  WinWireGuardTunnel tunnel(folder.path());
  const std::wstring config_file = tunnel.manager().paths().config_file;
  ASSERT_FALSE(config_file.empty());
  tovra::testing::StderrCapture capture;
  const WireGuardResult r = tunnel.manager().Start(
      "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\nAddress = "
      "10.0.0.2/32\n"
      "[Peer]\nPublicKey = ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM=\n"
      "Endpoint = 192.0.2.1:51820\nAllowedIPs = 0.0.0.0/0\n");
  EXPECT_EQ(r.error, common::WireGuardError::install_failed);
  EXPECT_EQ(r.record.state, static_cast<uint8_t>(common::WireGuardState::down));
  EXPECT_FALSE(tovra::testing::Exists(config_file));
  EXPECT_THAT(capture.Text(),
              HasSubstr("ERR  wireguard: wireguard.exe not found beside the service"));
  EXPECT_THAT(capture.Text(), HasSubstr("ERR  wireguard.dll load failed"))
      << "the observed state asks the library once";

  const WireGuardResult stopped = tunnel.manager().Stop();
  EXPECT_EQ(stopped.error, common::WireGuardError::none);
  EXPECT_EQ(stopped.record.state, static_cast<uint8_t>(common::WireGuardState::down));
}

}  // namespace
}  // namespace tovra::service
