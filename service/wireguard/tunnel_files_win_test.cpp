#include "service/wireguard/tunnel_files_win.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <cstdlib>
#include <string>

#include "common/text/text.h"
#include "tests/support/stderr_capture_win.h"
#include "tests/support/temp_folder_win.h"

namespace tovra::service {
namespace {

using ::testing::HasSubstr;
using tovra::testing::Exists;
using tovra::testing::ReadAll;
using tovra::testing::TempFolder;
using tovra::testing::WriteTextFile;

TEST(ProtectedSecurityDescriptor, GrantsOnlyLocalSystemAndAdministratorsAndIsProtected) {
  ProtectedSecurityDescriptor sd;
  ASSERT_TRUE(sd.Build());
  wchar_t* sddl = nullptr;
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd.get(), SDDL_REVISION_1,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl,
      nullptr));
  const std::wstring text = sddl;
  ::LocalFree(sddl);
  EXPECT_EQ(text, L"O:BAG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)");
}

TEST(SecureDeleteFile, RemovesRegularFilesAndLeavesFoldersAndNothingAlone) {
  TempFolder folder;
  const std::wstring plain = folder / L"plain.conf";
  const std::wstring read_only = folder / L"read-only.conf";
  const std::wstring sub = folder / L"sub";
  ASSERT_TRUE(WriteTextFile(plain, "PrivateKey = secret"));
  ASSERT_TRUE(WriteTextFile(read_only, "PrivateKey = secret"));
  ASSERT_TRUE(::SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr));
  for (const std::wstring& path : {plain, read_only, sub, folder / L"absent.conf"})
    SecureDeleteFile(path);
  EXPECT_FALSE(Exists(plain));
  EXPECT_FALSE(Exists(read_only));
  EXPECT_TRUE(Exists(sub));
}

// A second name of another file: that file is never written through it.
TEST(SecureDeleteFile, AHardLinkIsDeletedWithoutWritingTheFileBehindIt) {
  TempFolder folder;
  const std::wstring target = folder / L"users-file.txt";
  const std::wstring link = folder / L"zerkavpnwireguard.conf";
  ASSERT_TRUE(WriteTextFile(target, "precious"));
  ASSERT_TRUE(::CreateHardLinkW(link.c_str(), target.c_str(), nullptr));
  SecureDeleteFile(link);
  EXPECT_FALSE(Exists(link));
  EXPECT_EQ(ReadAll(target), "precious");
}

TEST(WinTunnelFiles, WritesTheConfigurationIntoAHeldProtectedFolder) {
  TempFolder program_data;
  WinTunnelFiles files;
  ASSERT_TRUE(files.PrepareConfigDirectory(program_data.path()));
  const std::wstring dir = program_data / L"Zerka\\vpn\\wireguard";
  const std::wstring path = dir + L"\\zerkavpnwireguard.conf";
  ASSERT_TRUE(WriteTextFile(path, std::string(5000, 'x')));  // a leftover is replaced
  const std::string text = "[Interface]\nPrivateKey = k\n";
  ASSERT_TRUE(
      files.WriteConfig(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}));
  EXPECT_EQ(ReadAll(path), text);
}

// Held from the preparation until the file is written: the folder the file goes
// into cannot be renamed away and replaced in between.
TEST(WinTunnelFiles, HoldsTheConfigurationFolderUntilTheFileIsWritten) {
  TempFolder program_data;
  WinTunnelFiles files;
  ASSERT_TRUE(files.PrepareConfigDirectory(program_data.path()));
  const std::wstring dir = program_data / L"Zerka\\vpn\\wireguard";
  const std::wstring moved = program_data / L"Zerka\\vpn\\moved";
  EXPECT_FALSE(::MoveFileW(dir.c_str(), moved.c_str()));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(::MoveFileW((program_data / L"Zerka").c_str(), (program_data / L"other").c_str()));
  const std::string text = "[Interface]\n";
  ASSERT_TRUE(files.WriteConfig(dir + L"\\zerkavpnwireguard.conf",
                                {reinterpret_cast<const uint8_t*>(text.data()), text.size()}));
  EXPECT_TRUE(::MoveFileW(dir.c_str(), moved.c_str())) << "released once written";
  EXPECT_EQ(ReadAll(moved + L"\\zerkavpnwireguard.conf"), text);
}

// The file is only ever created in the folder that was prepared and is held.
TEST(WinTunnelFiles, WritesOnlyIntoThePreparedFolder) {
  TempFolder program_data;
  const std::string text = "[Interface]\n";
  const std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(text.data()), text.size()};
  const std::wstring elsewhere = program_data / L"zerkavpnwireguard.conf";
  const std::wstring inside = program_data / L"Zerka\\vpn\\wireguard\\zerkavpnwireguard.conf";
  WinTunnelFiles files;
  tovra::testing::StderrCapture capture;
  EXPECT_FALSE(files.WriteConfig(elsewhere, bytes)) << "nothing prepared";
  ASSERT_TRUE(files.PrepareConfigDirectory(program_data.path()));
  EXPECT_FALSE(files.WriteConfig(elsewhere, bytes)) << "not the prepared folder";
  EXPECT_FALSE(files.WriteConfig(inside, bytes)) << "the failed write released the folder";
  EXPECT_FALSE(Exists(elsewhere));
  EXPECT_FALSE(Exists(inside));
  EXPECT_THAT(capture.Text(), HasSubstr("ERR  wireguard: config CreateFile failed (win32=3)"));
}

TEST(WinTunnelFiles, NamesTheFolderThatCouldNotBeUsed) {
  TempFolder program_data;
  ASSERT_TRUE(WriteTextFile(program_data / L"Zerka", "a file, not a folder"));
  WinTunnelFiles files;
  tovra::testing::StderrCapture capture;
  EXPECT_FALSE(files.PrepareConfigDirectory(program_data.path()));
  EXPECT_THAT(capture.Text(), HasSubstr("WARN wireguard: config folder not usable: " +
                                        common::WideToUtf8(program_data / L"Zerka") +
                                        ": NtCreateFile (win32=267)"));
}

// The ctest fixture makes <base>\Zerka a Linux symbolic link, which Wine shows as
// a reparse point.
TEST(WinTunnelFiles, RefusesAReparsePointInTheFolderChain) {
  const char* base = std::getenv("ZERKA_TEST_WG_REPARSE_BASE");
  if (base == nullptr) GTEST_SKIP() << "needs the wireguard_reparse ctest fixture";
  WinTunnelFiles files;
  tovra::testing::StderrCapture capture;
  EXPECT_FALSE(files.PrepareConfigDirectory(common::Utf8ToWide(base)));
  EXPECT_THAT(capture.Text(),
              HasSubstr("WARN wireguard: config folder is a reparse point -> refusing: "));
  EXPECT_THAT(capture.Text(), HasSubstr("\\Zerka"));
}

}  // namespace
}  // namespace tovra::service
