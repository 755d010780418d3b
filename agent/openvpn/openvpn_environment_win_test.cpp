#include "agent/openvpn/openvpn_environment_win.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <winsock2.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "tests/support/child_process_win.h"
#include "tests/support/temp_folder_win.h"

namespace tovra::agent::openvpn {
namespace {

using common::UniqueHandle;

bool WriteFileText(const std::wstring& path, const std::string& text, DWORD attributes = 0) {
  UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  const bool ok =
      f && ::WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  f.reset();
  return ok && (attributes == 0 || ::SetFileAttributesW(path.c_str(), attributes));
}

using testing::IsFolder;
using testing::ReadAll;
using testing::RemoveTree;

// Sorted, so listings compare as sets.
std::vector<std::wstring> List(const std::wstring& folder) {
  std::vector<std::wstring> names = testing::ListFolder(folder);
  std::sort(names.begin(), names.end());
  return names;
}

class OpenVpnEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    base_ = std::wstring(temp) + L"tovra-ovpn-env-" + std::to_wstring(::GetCurrentProcessId()) +
            L"-" + std::to_wstring(counter++);
    ASSERT_TRUE(::CreateDirectoryW(base_.c_str(), nullptr));
  }
  void TearDown() override { RemoveTree(base_); }

  std::wstring base_;
};

TEST_F(OpenVpnEnvironmentTest, CreatesTheStagingDirectoryLevelByLevel) {
  OpenVpnEnvironmentWin environment(base_);
  const std::wstring staging = environment.StagingDirectory();
  EXPECT_EQ(staging, base_ + L"\\Zerka\\vpn\\openvpn");
  EXPECT_TRUE(IsFolder(staging));
  EXPECT_EQ(environment.StagingDirectory(), staging) << "an existing folder is reused";

  ASSERT_TRUE(::RemoveDirectoryW(staging.c_str()));
  ASSERT_TRUE(WriteFileText(staging, "not a folder"));
  EXPECT_EQ(environment.StagingDirectory(), L"") << "a file where the folder belongs";
  EXPECT_EQ(OpenVpnEnvironmentWin(base_ + L"\\absent").StagingDirectory(), L"");
}

TEST(OpenVpnEnvironmentDacl, GrantsTheUserEverythingAndNobodyElse) {
  std::array<uint8_t, SECURITY_MAX_SID_SIZE> sid{};
  DWORD size = static_cast<DWORD>(sid.size());
  ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, nullptr, sid.data(), &size));
  const common::UniqueLocal dacl = BuildUserOnlyDacl(sid.data());
  ASSERT_TRUE(dacl);
  SECURITY_DESCRIPTOR descriptor{};
  ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, static_cast<PACL>(dacl.get()), FALSE));
  wchar_t* sddl = nullptr;
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
      &descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr));
  const common::UniqueLocal owned(sddl);
  EXPECT_EQ(std::wstring(sddl), L"D:(A;;FA;;;SY)") << "one entry, not inheritable";
  EXPECT_FALSE(BuildUserOnlyDacl(nullptr));
}

// What an earlier attempt may have left, and what is not the sweep's.
TEST_F(OpenVpnEnvironmentTest, SweepDeletesExactlyTheLeftovers) {
  OpenVpnEnvironmentWin environment(base_);
  const std::wstring staging = environment.StagingDirectory();
  ASSERT_FALSE(staging.empty());
  const auto at = [&](const wchar_t* name) { return staging + L"\\" + name; };
  const std::string secret(10000, 'k');
  for (const wchar_t* name : {L"ovpn-1.conf", L"ovpn-2.log", L"openvpn-status.log", L"ovpn-.conf",
                              L"ovpn-empty.log", L"OVPN-3.conf", L"ovpn-4.CONF", L"ovpn-5.txt",
                              L"x-ovpn-6.conf", L"ovpn-7.conf.bak", L"openvpn-status.log.1"}) {
    ASSERT_TRUE(
        WriteFileText(at(name), std::wstring_view(name) == L"ovpn-empty.log" ? "" : secret));
  }
  ASSERT_TRUE(WriteFileText(at(L"ovpn-ro.conf"), secret, FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::CreateDirectoryW(at(L"ovpn-dir.conf").c_str(), nullptr));
  ASSERT_TRUE(WriteFileText(at(L"ovpn-dir.conf\\inside.log"), "kept"));
  // A second name for a leftover's bytes: the leftover's name goes, the bytes
  // stay what they were.
  const std::wstring elsewhere = base_ + L"\\elsewhere.txt";
  ASSERT_TRUE(WriteFileText(elsewhere, "the user's own file"));
  ASSERT_TRUE(::CreateHardLinkW(at(L"ovpn-linked.conf").c_str(), elsewhere.c_str(), nullptr));

  environment.SweepStagingDirectory(staging);
  EXPECT_EQ(List(staging),
            (std::vector<std::wstring>{L"OVPN-3.conf", L"openvpn-status.log.1", L"ovpn-4.CONF",
                                       L"ovpn-5.txt", L"ovpn-7.conf.bak", L"ovpn-dir.conf",
                                       L"x-ovpn-6.conf"}));
  EXPECT_EQ(ReadAll(at(L"ovpn-dir.conf\\inside.log")), "kept") << "a directory is left alone";
  EXPECT_EQ(ReadAll(elsewhere), "the user's own file");

  ASSERT_TRUE(WriteFileText(at(L"openvpn-status.log"), secret));
  ASSERT_TRUE(WriteFileText(at(L"ovpn-8.conf"), secret));
  environment.DeleteStatusLog(staging);
  EXPECT_EQ(ReadAll(at(L"openvpn-status.log")), "<missing>");
  EXPECT_EQ(ReadAll(at(L"ovpn-8.conf")), secret) << "only the status log";
  environment.DeleteStatusLog(staging);  // absent: nothing to do
  environment.SweepStagingDirectory(base_ + L"\\absent");
  environment.SweepStagingDirectory(L"");
}

// The ctest fixture makes Linux symbolic links to folders, which Wine shows as
// reparse points: <base>\linked-base\Zerka, and <base>\sweep\ovpn-link.conf.
class OpenVpnEnvironmentLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = tovra::testing::WinePathFromEnvironment(L"TOVRA_OVPN_LINKS");
    if (base_.empty()) GTEST_SKIP() << "needs the openvpn_environment_links ctest fixture";
  }
  std::wstring base_;
};

TEST_F(OpenVpnEnvironmentLinks, ALinkedLevelIsRefusedAndALinkedLeftoverNotWrittenThrough) {
  EXPECT_EQ(OpenVpnEnvironmentWin(base_ + L"\\linked-base").StagingDirectory(), L"");
  EXPECT_EQ(List(base_ + L"\\zerka-target"), std::vector<std::wstring>{})
      << "nothing was created through the link";

  OpenVpnEnvironmentWin(base_).SweepStagingDirectory(base_ + L"\\sweep");
  EXPECT_EQ(ReadAll(base_ + L"\\link-target\\ovpn-inside.conf"), "kept")
      << "nothing was deleted or written behind the link";
}

TEST(OpenVpnEnvironmentBasics, PortRandomnessAndClocks) {
  OpenVpnEnvironmentWin environment;
  const std::optional<uint16_t> port = environment.AllocateLoopbackPort();
  ASSERT_TRUE(port);
  EXPECT_NE(*port, 0);
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(*port);
  EXPECT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
      << "the port is free to bind: " << ::WSAGetLastError();
  ::closesocket(s);

  std::array<uint8_t, 32> first{}, second{};
  environment.RandomBytes(first);
  environment.RandomBytes(second);
  EXPECT_NE(first, second);
  EXPECT_NE(first, (std::array<uint8_t, 32>{}));

  const uint64_t unix_ms = environment.UnixMs();
  EXPECT_GT(unix_ms, 1704067200000ULL) << "after 2024-01-01";
  EXPECT_LT(unix_ms, 4102444800000ULL) << "before 2100-01-01";
  const uint64_t steady = environment.SteadyMs();
  environment.SleepMs(20);
  EXPECT_GE(environment.SteadyMs(), steady + 10);
}

}  // namespace
}  // namespace tovra::agent::openvpn
