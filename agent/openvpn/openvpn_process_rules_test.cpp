#include "agent/openvpn/openvpn_process_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace tovra::agent::openvpn {
namespace {

TEST(OpenVpnProcessRules, LastResortTerminatesOnlyARunningOpenVpnImage) {
  using A = LastResortAction;
  struct Row {
    bool running;
    std::optional<std::wstring_view> image;
    A action;
  } rows[] = {
      {true, L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe", A::terminate},
      {true, L"C:\\PROGRAM FILES\\OPENVPN\\BIN\\OpenVPN.EXE", A::terminate},
      {true, L"Z:\\work\\build\\openvpn.exe", A::terminate},
      {true, L"Z:/opt/openvpn/openvpn.exe", A::terminate},
      {true, L"openvpn.exe", A::terminate},
      {true, L"C:\\Windows\\System32\\notepad.exe", A::skip_not_openvpn},
      {true, L"C:\\openvpn.exe\\svchost.exe", A::skip_not_openvpn},  // only the file name counts
      {true, L"C:\\bin\\xopenvpn.exe", A::skip_not_openvpn},
      {true, L"C:\\bin\\openvpn.exe.bak", A::skip_not_openvpn},
      {true, L"C:\\bin\\openvpn.exe ", A::skip_not_openvpn},
      {true, L"C:\\bin\\openvpn", A::skip_not_openvpn},
      {true, L"C:\\bin\\", A::skip_not_openvpn},
      {true, L"", A::skip_not_openvpn},
      {true, std::nullopt, A::skip_image_unknown},
      {false, L"C:\\bin\\openvpn.exe", A::none},
      {false, L"C:\\Windows\\notepad.exe", A::none},
      {false, std::nullopt, A::none},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecideLastResort(row.running, row.image), row.action)
        << row.running << " " << std::wstring(row.image.value_or(L"<unknown>")).size();
  }
}

TEST(OpenVpnProcessRules, ImagePathsCompareIgnoringAsciiCaseOnly) {
  EXPECT_TRUE(SamePathIgnoringCase(L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe",
                                   L"c:\\program files\\openvpn\\BIN\\OPENVPN.exe"));
  EXPECT_FALSE(SamePathIgnoringCase(L"C:\\a\\openvpn.exe", L"C:\\a\\openvpn.exe2"));
  EXPECT_FALSE(SamePathIgnoringCase(L"C:\\a\\openvpn.exe", L"C:\\b\\openvpn.exe"));
  EXPECT_FALSE(SamePathIgnoringCase(L"[", L"{"));  // 'Z'+1 and 'z'+1 are not letters
  EXPECT_TRUE(SamePathIgnoringCase(L"", L""));
}

TEST(OpenVpnProcessRules, SweepTakesOvpnConfAndLogNamesCaseSensitively) {
  struct Row {
    std::wstring_view name;
    bool swept;
  } rows[] = {
      {L"ovpn-1.conf", true},
      {L"ovpn-abc.log", true},
      {L"ovpn-.conf", true},
      {L"ovpn-a.conf.log", true},
      {L"ovpn-a.log.conf", true},
      {L"OVPN-a.conf", false},
      {L"ovpn-a.CONF", false},
      {L"ovpn-a.Log", false},
      {L"ovpn-a.conf.bak", false},
      {L"ovpn-a.txt", false},
      {L"ovpn-a", false},
      {L"ovpn.conf", false},
      {L"ovpn_a.conf", false},
      {L"x-ovpn-a.conf", false},
      {L"openvpn-status.log", false},
      {L"ovpn-aconf", false},
      {L"", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsSweptStagingName(row.name), row.swept) << std::wstring(row.name).size();
  }
}

TEST(OpenVpnProcessRules, SecureDeleteWritesOnlyThroughAPlainSingleNamedFile) {
  using S = SecureDeleteAction;
  constexpr uint32_t kFile = 0x20;  // archive
  constexpr uint32_t kDir = kAttributeDirectory;
  constexpr uint32_t kLink = kAttributeReparsePoint;
  struct Row {
    uint32_t handle;
    std::optional<uint32_t> entry;
    uint32_t links;
    uint64_t size;
    S action;
  } rows[] = {
      {kFile, kFile, 1, 1, S::overwrite_then_delete},
      {kFile, kFile, 1, 4096, S::overwrite_then_delete},
      {kFile, kFile, 1, 1048575, S::overwrite_then_delete},
      {kFile, std::nullopt, 1, 100, S::overwrite_then_delete},
      {kFile, kFile, 1, 0, S::delete_only},
      {kFile, kFile, 1, 1048576, S::delete_only},
      {kFile, kFile, 1, 1ULL << 32, S::delete_only},
      {kFile, kFile, 2, 100, S::delete_only},  // a hard link: the other name keeps its bytes
      {kFile, kFile, 0, 100, S::delete_only},
      {kFile | kLink, kFile | kLink, 1, 100, S::delete_only},  // a file symbolic link
      {kFile, kFile | kLink, 1, 100, S::delete_only},          // followed despite asking not to
      {kDir | kLink, kDir | kLink, 1, 0, S::delete_only},      // a junction
      {kDir, kDir | kLink, 1, 0, S::delete_only},
      {kDir, kDir, 1, 0, S::leave},
      {kDir, std::nullopt, 1, 0, S::leave},
      {kFile, kDir, 1, 100, S::leave},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecideSecureDelete(row.handle, row.entry, row.links, row.size), row.action)
        << std::hex << row.handle << " " << row.entry.value_or(0xFFFFFFFF) << std::dec << " "
        << row.links << " " << row.size;
  }
}

TEST(OpenVpnProcessRules, FileTimeConvertsToUnixMilliseconds) {
  constexpr uint64_t kEpoch = 116444736000000000ULL;
  EXPECT_EQ(FileTimeToUnixMs(kEpoch), 0u);
  EXPECT_EQ(FileTimeToUnixMs(kEpoch - 1), 0u);
  EXPECT_EQ(FileTimeToUnixMs(0), 0u);
  EXPECT_EQ(FileTimeToUnixMs(kEpoch + 9999), 0u);
  EXPECT_EQ(FileTimeToUnixMs(kEpoch + 10000), 1u);
  // 2024-01-01T00:00:00Z
  EXPECT_EQ(FileTimeToUnixMs(kEpoch + 1704067200000ULL * 10000), 1704067200000ULL);
}

}  // namespace
}  // namespace tovra::agent::openvpn
