#include "service/openvpn/openvpn_staging_win.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/fakes/openvpn/openvpn_install_standin_win.h"
#include "tests/support/temp_folder_win.h"

namespace tovra::service {
namespace {

using tovra::testing::Exists;
using tovra::testing::OpenVpnInstallStandIn;
using tovra::testing::ReadAll;
using tovra::testing::TempFolder;
using tovra::testing::WriteTextFile;

// Ends without a line feed, so "auth-nocache" arrives after an added one.
constexpr std::string_view kProfile =
    "client\ndev tun\nproto udp\nremote vpn.example.com 1194\nauth-user-pass\n"
    "<ca>\n-----BEGIN CERTIFICATE-----\nMIIBkey\n-----END CERTIFICATE-----\n</ca>";

// This process's user SID, as the Service has the caller's.
class OwnSid {
 public:
  OwnSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer_.resize(size);
    if (!::GetTokenInformation(token, TokenUser, buffer_.data(), size, &size)) buffer_.clear();
    ::CloseHandle(token);
  }
  PSID get() {
    return buffer_.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(buffer_.data())->User.Sid;
  }

 private:
  std::vector<uint8_t> buffer_;
};

std::wstring DescriptorText(PSECURITY_DESCRIPTOR sd) {
  wchar_t* sddl = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    return L"<unconvertible>";
  }
  std::wstring text = sddl;
  ::LocalFree(sddl);
  return text;
}

TEST(StagingDescriptors, FolderTraversableByUsersFileReadableByTheCallerOnly) {
  common::UniqueLocal dacl = BuildStagingFolderDacl();
  ASSERT_TRUE(dacl);
  SECURITY_DESCRIPTOR folder{};
  ASSERT_TRUE(::InitializeSecurityDescriptor(&folder, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(::SetSecurityDescriptorDacl(&folder, TRUE, static_cast<PACL>(dacl.get()), FALSE));
  // FILE_TRAVERSE (0x20) reads back under the directory-service alias "WP".
  EXPECT_EQ(DescriptorText(&folder), L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;WP;;;BU)");

  PSID caller = nullptr;
  ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &caller));
  common::UniqueLocal owned(caller);
  StagedFileSecurity file;
  ASSERT_TRUE(file.Build(caller));
  EXPECT_EQ(DescriptorText(file.get()),
            L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;S-1-5-21-1-2-3-1001)");
  StagedFileSecurity none;
  EXPECT_FALSE(none.Build(nullptr));
}

struct ResolveCase {
  const char* rule;
  std::function<bool(OpenVpnInstallStandIn&)> arrange;
  uint16_t expected;
};

std::vector<uint8_t> Utf16Bytes(const std::wstring& text, size_t pad_to = 0) {
  std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                             reinterpret_cast<const uint8_t*>(text.data() + text.size()));
  if (bytes.size() < pad_to) bytes.resize(pad_to, 0);
  return bytes;
}

TEST(ResolveConfigDir, JudgesTheStandInInstallation) {
  const std::wstring standard = OpenVpnInstallStandIn::StandardConfigDir();
  const std::vector<ResolveCase> cases = {
      {"good installation", [](auto&) { return true; }, 0},
      {"no value", [](auto& i) { return i.SetConfigDir(std::nullopt); }, 1},
      {"not REG_SZ",
       [&](auto& i) { return i.SetConfigDirRaw(REG_EXPAND_SZ, Utf16Bytes(standard + L'\0')); }, 1},
      {"empty", [](auto& i) { return i.SetConfigDir(L""); }, 2},
      {"no final backslash",
       [&](auto& i) { return i.SetConfigDir(standard.substr(0, standard.size() - 1)); }, 4},
      {"stored without a NUL",
       [&](auto& i) { return i.SetConfigDirRaw(REG_SZ, Utf16Bytes(standard)); }, 0},
      {"fills the whole buffer",
       [&](auto& i) { return i.SetConfigDirRaw(REG_SZ, Utf16Bytes(standard, 1040)); }, 1},
      {"longer than the buffer",
       [&](auto& i) { return i.SetConfigDirRaw(REG_SZ, Utf16Bytes(standard, 1100)); }, 1},
      {"folder missing", [](auto& i) { return i.RemoveConfigFolder(); }, 6},
      {"OpenVPNService on manual start",
       [](auto& i) { return i.InstallAutoConnectService(SERVICE_DEMAND_START); }, 8},
      {"OpenVPNService on automatic start",
       [](auto& i) { return i.InstallAutoConnectService(SERVICE_AUTO_START); }, 8},
      {"OpenVPNService disabled and stopped",
       [](auto& i) { return i.InstallAutoConnectService(SERVICE_DISABLED); }, 0},
  };
  for (const ResolveCase& c : cases) {
    OpenVpnInstallStandIn install;
    ASSERT_TRUE(install.Install()) << c.rule;
    ASSERT_TRUE(c.arrange(install)) << c.rule;
    const ConfigDirResolution r = ResolveConfigDir();
    EXPECT_EQ(r.status, c.expected) << c.rule;
    if (r.status == 0) {
      EXPECT_EQ(r.config_dir, standard) << c.rule;
      EXPECT_EQ(r.staging_dir, standard + L"zerkavpn\\") << c.rule;
    } else {
      EXPECT_TRUE(r.staging_dir.empty()) << c.rule;
    }
  }
}

TEST(StageProfile, StagesIntoTheInstallationAndUnstagesTwice) {
  OpenVpnInstallStandIn install;
  ASSERT_TRUE(install.Install());
  const ConfigDirResolution resolved = ResolveConfigDir();
  ASSERT_EQ(resolved.status, 0);
  OwnSid sid;
  ASSERT_NE(sid.get(), nullptr);

  const StageOutcome staged = StageProfile(resolved.staging_dir, 7, kProfile, sid.get());
  ASSERT_EQ(staged.result, 0);
  ASSERT_TRUE(staged.path.starts_with(resolved.staging_dir + L"ovpn-7-")) << staged.path;
  const std::wstring name = staged.path.substr(resolved.staging_dir.size());
  EXPECT_TRUE(FollowsStagedNameRule(name));
  const std::wstring random = name.substr(7, name.size() - 7 - 5);
  EXPECT_EQ(random.size(), 16u);
  EXPECT_EQ(random.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << random;
  EXPECT_EQ(ReadAll(staged.path), std::string(kProfile) + "\nauth-nocache\n");

  const StagedCount count = CountStagedProfiles(resolved.staging_dir);
  EXPECT_EQ(count.count, 1u);
  EXPECT_FALSE(count.error);

  EXPECT_TRUE(UnstageProfile(resolved.staging_dir, staged.path));
  EXPECT_FALSE(Exists(staged.path));
  EXPECT_TRUE(UnstageProfile(resolved.staging_dir, staged.path));
  EXPECT_EQ(CountStagedProfiles(resolved.staging_dir).count, 0u);
}

TEST(StageProfile, KeepsAProfileThatHasTheDirectiveAndNamesEachStagingAfresh) {
  TempFolder folder;
  const std::wstring staging = folder / L"zerkavpn\\";  // created by the staging itself
  OwnSid sid;
  const std::string profile = std::string(kProfile) + "\nauth-nocache\n";
  const StageOutcome first = StageProfile(staging, 3, profile, sid.get());
  const StageOutcome second = StageProfile(staging, 3, profile, sid.get());
  ASSERT_EQ(first.result, 0);
  ASSERT_EQ(second.result, 0);
  EXPECT_NE(first.path, second.path);
  EXPECT_EQ(ReadAll(first.path), profile);
  EXPECT_EQ(CountStagedProfiles(staging).count, 2u);
}

TEST(StageProfile, RefusalsWriteNothing) {
  TempFolder folder;
  const std::wstring staging = folder / L"zerkavpn\\";
  ASSERT_TRUE(::CreateDirectoryW(staging.c_str(), nullptr));
  ASSERT_TRUE(WriteTextFile(folder / L"plain-file", "x"));
  OwnSid sid;
  const std::string with_nul = std::string(kProfile) + std::string(1, '\0');
  struct Row {
    const char* rule;
    std::wstring staging_dir;
    std::string profile;
    PSID sid;
    uint16_t expected;
  };
  const std::vector<Row> rows = {
      {"script directive", staging, std::string(kProfile) + "\nscript-security 2\n", sid.get(), 2},
      {"NUL byte", staging, with_nul, sid.get(), 2},
      {"empty profile", staging, "", sid.get(), 2},
      {"no caller SID", staging, std::string(kProfile), nullptr, 4},
      {"staging path is a file", folder / L"plain-file\\", std::string(kProfile), sid.get(), 3},
      {"parent folder missing", folder / L"absent\\zerkavpn\\", std::string(kProfile), sid.get(),
       3},
      {"no staging path", L"", std::string(kProfile), sid.get(), 3},
  };
  for (const Row& row : rows) {
    const StageOutcome out = StageProfile(row.staging_dir, 1, row.profile, row.sid);
    EXPECT_EQ(out.result, row.expected) << row.rule;
    EXPECT_TRUE(out.path.empty()) << row.rule;
  }
  EXPECT_TRUE(tovra::testing::ListFolder(staging).empty());
}

TEST(UnstageProfile, OnlyStagedNamesInsideTheStagingFolder) {
  TempFolder folder;
  const std::wstring staging = folder / L"zerkavpn\\";
  ASSERT_TRUE(::CreateDirectoryW(staging.c_str(), nullptr));
  const std::wstring outside = folder / L"ovpn-1.ovpn";
  const std::wstring other_name = staging + L"notes.txt";
  const std::wstring inside = staging + L"ovpn-2.ovpn";
  const std::wstring sub = staging + L"ovpn-d.ovpn";
  for (const std::wstring& f : {outside, other_name, inside}) ASSERT_TRUE(WriteTextFile(f, "keep"));
  ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr));

  EXPECT_FALSE(UnstageProfile(staging, outside));
  EXPECT_FALSE(UnstageProfile(staging, other_name));
  EXPECT_FALSE(UnstageProfile(staging, sub)) << "a folder is not a staged file";
  EXPECT_EQ(ReadAll(outside), "keep");
  EXPECT_EQ(ReadAll(other_name), "keep");
  EXPECT_TRUE(Exists(sub));

  // The parent as the Agent may spell it: other letter case, no final "\".
  std::wstring shouted = staging;
  for (wchar_t& c : shouted) c = static_cast<wchar_t>(::towupper(c));
  EXPECT_TRUE(UnstageProfile(shouted.substr(0, shouted.size() - 1), inside));
  EXPECT_FALSE(Exists(inside));
}

TEST(SweepStaleProfiles, RemovesStagedNamesOnly) {
  TempFolder folder;
  const std::wstring staging = folder / L"zerkavpn";
  ASSERT_TRUE(::CreateDirectoryW(staging.c_str(), nullptr));
  for (const wchar_t* name : {L"ovpn-x.ovpn", L"ovpn-.ovpn", L"OVPN-y.ovpn", L"ovpn.ovpn",
                              L"ovpn-z.ovpn.txt", L"notes.txt"}) {
    ASSERT_TRUE(WriteTextFile(staging + L"\\" + name, "stale"));
  }
  const std::wstring sub = staging + L"\\ovpn-d.ovpn";
  ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr));
  ASSERT_TRUE(WriteTextFile(sub + L"\\ovpn-inner.ovpn", "inner"));

  EXPECT_EQ(SweepStaleProfiles(staging + L"\\"), 2u);
  EXPECT_FALSE(Exists(staging + L"\\ovpn-x.ovpn"));
  EXPECT_FALSE(Exists(staging + L"\\ovpn-.ovpn"));
  for (const wchar_t* kept : {L"OVPN-y.ovpn", L"ovpn.ovpn", L"ovpn-z.ovpn.txt", L"notes.txt",
                              L"ovpn-d.ovpn\\ovpn-inner.ovpn"}) {
    EXPECT_TRUE(Exists(staging + L"\\" + kept)) << std::wstring(kept).size();
  }
  EXPECT_EQ(SweepStaleProfiles(folder / L"absent"), 0u);
}

TEST(CountStagedProfiles, CountsFilesNotFoldersAndMissingIsNoError) {
  TempFolder folder;
  const std::wstring staging = folder / L"zerkavpn";
  ASSERT_TRUE(::CreateDirectoryW(staging.c_str(), nullptr));
  EXPECT_EQ(CountStagedProfiles(staging).count, 0u);
  EXPECT_FALSE(CountStagedProfiles(staging).error);
  for (const wchar_t* name : {L"ovpn-1-aa.ovpn", L"ovpn-2-bb.ovpn", L"notes.txt"})
    ASSERT_TRUE(WriteTextFile(staging + L"\\" + name, "x"));
  ASSERT_TRUE(::CreateDirectoryW((staging + L"\\ovpn-d.ovpn").c_str(), nullptr));
  const StagedCount count = CountStagedProfiles(staging);
  EXPECT_EQ(count.count, 2u);
  EXPECT_FALSE(count.error);
  for (const std::wstring& none : {std::wstring(), folder / L"absent"}) {
    const StagedCount c = CountStagedProfiles(none);
    EXPECT_EQ(c.count, 0u);
    EXPECT_FALSE(c.error);
  }
}

// "zerkavpn" is a link to another folder: nothing is written, protected or
// deleted through it.
TEST(StagingFolderReparsePoint, IsRefusedByEveryOperation) {
  const char* base = std::getenv("ZERKA_TEST_OVPN_REPARSE_BASE");
  if (base == nullptr) GTEST_SKIP() << "run through ctest (fixture openvpn_reparse)";
  std::wstring root(base, base + std::char_traits<char>::length(base));
  for (wchar_t& c : root) {
    if (c == L'/') c = L'\\';
  }
  const std::wstring staging = root + L"\\config\\zerkavpn\\";
  const std::wstring target = root + L"\\target";
  ASSERT_TRUE(WriteTextFile(target + L"\\ovpn-x.ovpn", "users' file"));
  OwnSid sid;

  EXPECT_FALSE(PrepareStagingDir(staging));
  EXPECT_EQ(StageProfile(staging, 9, kProfile, sid.get()).result, 3);
  EXPECT_EQ(SweepStaleProfiles(staging), 0u);
  EXPECT_FALSE(UnstageProfile(staging, staging + L"ovpn-x.ovpn"));
  EXPECT_EQ(tovra::testing::ListFolder(target), std::vector<std::wstring>{L"ovpn-x.ovpn"});
  EXPECT_EQ(ReadAll(target + L"\\ovpn-x.ovpn"), "users' file");
}

}  // namespace
}  // namespace tovra::service
