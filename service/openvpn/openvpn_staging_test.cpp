#include "service/openvpn/openvpn_staging.h"

#include <gtest/gtest.h>

#include <array>

namespace tovra::service {
namespace {

constexpr std::wstring_view kProgramFiles = L"C:\\Program Files";

struct FormCase {
  const char* rule;
  std::optional<std::wstring> value;
  std::wstring_view program_files;
  ConfigDirStatus expected;
};

class ConfigDirForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(ConfigDirForm, JudgesInOrder) {
  EXPECT_EQ(JudgeConfigDirForm(GetParam().value, GetParam().program_files), GetParam().expected)
      << GetParam().rule;
}

using S = ConfigDirStatus;
INSTANTIATE_TEST_SUITE_P(
    Rules, ConfigDirForm,
    ::testing::Values(
        FormCase{"standard place", L"C:\\Program Files\\openvpn\\config\\", kProgramFiles,
                 S::kTrusted},
        FormCase{"letter case differs", L"c:\\PROGRAM FILES\\OpenVPN\\Config\\", kProgramFiles,
                 S::kTrusted},
        FormCase{"several final backslashes", L"C:\\Program Files\\openvpn\\config\\\\",
                 kProgramFiles, S::kTrusted},
        FormCase{"no value", std::nullopt, kProgramFiles, S::kNoValue},
        FormCase{"empty value", L"", kProgramFiles, S::kEmpty},
        FormCase{"empty before anything else", L"", L"", S::kEmpty},
        FormCase{"two characters", L"C:", kProgramFiles, S::kNotDrivePath},
        FormCase{"first not a letter", L"1:\\Program Files\\openvpn\\config\\", kProgramFiles,
                 S::kNotDrivePath},
        FormCase{"non-ASCII letter", L"\u00C4:\\Program Files\\openvpn\\config\\", kProgramFiles,
                 S::kNotDrivePath},
        FormCase{"second not a colon", L"C;\\Program Files\\openvpn\\config\\", kProgramFiles,
                 S::kNotDrivePath},
        FormCase{"UNC path", L"\\\\server\\share\\openvpn\\config\\", kProgramFiles,
                 S::kNotDrivePath},
        FormCase{"drive-relative", L"C:Program Files\\openvpn\\config\\", kProgramFiles,
                 S::kNotDrivePath},
        FormCase{"form judged before the final backslash", L"C:", L"", S::kNotDrivePath},
        FormCase{"no final backslash", L"C:\\Program Files\\openvpn\\config", kProgramFiles,
                 S::kNoFinalBackslash},
        FormCase{"final forward slash", L"C:\\Program Files\\openvpn\\config/", kProgramFiles,
                 S::kNoFinalBackslash},
        FormCase{"forward slash start with final backslash", L"C:/Program Files/openvpn/config\\",
                 kProgramFiles, S::kNotProgramFiles},
        FormCase{"another folder", L"C:\\Users\\Public\\openvpn\\config\\", kProgramFiles,
                 S::kNotProgramFiles},
        FormCase{"another drive", L"D:\\Program Files\\openvpn\\config\\", kProgramFiles,
                 S::kNotProgramFiles},
        FormCase{"short name", L"C:\\PROGRA~1\\openvpn\\config\\", kProgramFiles,
                 S::kNotProgramFiles},
        FormCase{"dot segments", L"C:\\Program Files\\openvpn\\..\\openvpn\\config\\",
                 kProgramFiles, S::kNotProgramFiles},
        FormCase{"subfolder of it", L"C:\\Program Files\\openvpn\\config\\sub\\", kProgramFiles,
                 S::kNotProgramFiles},
        FormCase{"no Program Files folder known", L"C:\\Program Files\\openvpn\\config\\", L"",
                 S::kNotProgramFiles}));

struct DaclCase {
  const char* rule;
  std::vector<AceFact> aces;
  bool writable;
};

class DaclRule : public ::testing::TestWithParam<DaclCase> {};

TEST_P(DaclRule, FlagsWriteForBroadGroups) {
  EXPECT_EQ(GrantsUnprivilegedWrite(GetParam().aces), GetParam().writable) << GetParam().rule;
}

constexpr uint8_t kAllow = 0;
constexpr uint8_t kDeny = 1;
constexpr uint8_t kInheritOnly = 0x08;
constexpr uint8_t kObjectAndContainerInherit = 0x03;
constexpr uint32_t kReadExecute = 0x001200A9;

std::vector<DaclCase> DaclCases() {
  std::vector<DaclCase> cases = {
      {"administrators may write", {{kAllow, L"S-1-5-32-544", 0x001F01FF, 0}}, false},
      {"system may write", {{kAllow, L"S-1-5-18", 0x10000000, 0}}, false},
      {"users read and execute", {{kAllow, L"S-1-5-32-545", kReadExecute, 0}}, false},
      {"a user's own SID is not a group", {{kAllow, L"S-1-5-21-1-2-3-1001", 0x001F01FF, 0}}, false},
      {"deny alone changes nothing", {{kDeny, L"S-1-1-0", 0x001F01FF, 0}}, false},
      {"deny beside a read grant",
       {{kDeny, L"S-1-5-11", 0x2, 0}, {kAllow, L"S-1-5-11", kReadExecute, 0}},
       false},
      {"deny does not cancel a write grant",
       {{kDeny, L"S-1-1-0", 0x2, 0}, {kAllow, L"S-1-1-0", 0x2, 0}},
       true},
      {"inherit-only grant counts", {{kAllow, L"S-1-5-32-545", 0x2, kInheritOnly}}, true},
      {"inherited grant counts", {{kAllow, L"S-1-5-11", 0x4, kObjectAndContainerInherit}}, true},
      {"other ACE types are not grants", {{5, L"S-1-1-0", 0x001F01FF, 0}}, false},
      {"empty DACL grants nothing", {}, false},
  };
  // Each write-type right, for each broad group.
  for (const wchar_t* sid : {L"S-1-5-32-545", L"S-1-5-11", L"S-1-1-0"}) {
    for (uint32_t bit : {0x40000000u, 0x10000000u, 0x00080000u, 0x00040000u, 0x00010000u,
                         0x00000100u, 0x00000010u, 0x00000004u, 0x00000002u}) {
      cases.push_back({"write bit", {{kAllow, sid, bit | kReadExecute, 0}}, true});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Rules, DaclRule, ::testing::ValuesIn(DaclCases()));

TEST(DaclRule, EveryBitOutsideTheWriteSetIsHarmless) {
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    const bool write = (bit & kWriteTypeRights) != 0;
    EXPECT_EQ(GrantsUnprivilegedWrite(std::vector<AceFact>{{kAllow, L"S-1-1-0", bit, 0}}), write)
        << std::hex << bit;
  }
}

TEST(DaclRule, UnreadableOrNullDaclCountsAsWritable) {
  EXPECT_TRUE(GrantsUnprivilegedWrite(std::nullopt));
}

TEST(StagedFileName, KeyAndRandomBytesHighNibbleFirst) {
  const std::array<uint8_t, 8> random = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xcd, 0xef, 0xff};
  EXPECT_EQ(FormatStagedFileName(7, random), L"ovpn-7-00017f80abcdefff.ovpn");
  EXPECT_EQ(FormatStagedFileName(4294967295u, random), L"ovpn-4294967295-00017f80abcdefff.ovpn");
  EXPECT_TRUE(FollowsStagedNameRule(FormatStagedFileName(0, random)));
}

TEST(StagedFileName, HexOfEveryByte) {
  for (int b = 0; b < 256; ++b) {
    const uint8_t byte = static_cast<uint8_t>(b);
    const std::wstring hex = FormatHexLower(std::span<const uint8_t>(&byte, 1));
    ASSERT_EQ(hex.size(), 2u);
    EXPECT_EQ(std::stoi(std::string(hex.begin(), hex.end()), nullptr, 16), b);
    EXPECT_EQ(hex.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
  }
}

struct NameCase {
  std::wstring_view name;
  bool follows;
};

class NameRule : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameRule, PrefixSuffixAndLength) {
  EXPECT_EQ(FollowsStagedNameRule(GetParam().name), GetParam().follows)
      << std::string(GetParam().name.begin(), GetParam().name.end());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NameRule,
    ::testing::Values(NameCase{L"ovpn-.ovpn", true},                                       // 10
                      NameCase{L"ovpn-x.ovpn", true},                                      // 11
                      NameCase{L"ovpn-7-0011.ovpn", true}, NameCase{L"ovpn.ovpn", false},  // 9
                      NameCase{L"ovpn-ovpn", false}, NameCase{L"OVPN-x.ovpn", false},
                      NameCase{L"ovpn-x.OVPN", false}, NameCase{L"ovpn-x.ovpn.txt", false},
                      NameCase{L"xovpn-x.ovpn", false}, NameCase{L"", false}));

TEST(SplitParentAndName, SeparatorsBetweenBelongToNeither) {
  const PathParts a = SplitParentAndName(L"C:\\a\\b\\\\/file.ovpn");
  EXPECT_EQ(a.parent, L"C:\\a\\b");
  EXPECT_EQ(a.name, L"file.ovpn");
  const PathParts b = SplitParentAndName(L"C:/a/file");
  EXPECT_EQ(b.parent, L"C:/a");
  EXPECT_EQ(b.name, L"file");
  const PathParts c = SplitParentAndName(L"file.ovpn");
  EXPECT_EQ(c.parent, L"");
  EXPECT_EQ(c.name, L"file.ovpn");
  const PathParts d = SplitParentAndName(L"C:\\a\\");
  EXPECT_EQ(d.parent, L"C:\\a");
  EXPECT_EQ(d.name, L"");
}

constexpr std::wstring_view kStaging = L"C:\\Program Files\\openvpn\\config\\zerkavpn\\";

struct UnstageCase {
  const char* rule;
  std::wstring_view path;
  bool allowed;
};

class UnstageRule : public ::testing::TestWithParam<UnstageCase> {};

TEST_P(UnstageRule, ParentAndName) {
  EXPECT_EQ(MayUnstage(kStaging, GetParam().path), GetParam().allowed) << GetParam().rule;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, UnstageRule,
    ::testing::Values(
        UnstageCase{"staged file", L"C:\\Program Files\\openvpn\\config\\zerkavpn\\ovpn-7-00.ovpn",
                    true},
        UnstageCase{"parent differs only in case",
                    L"c:\\program files\\OPENVPN\\config\\ZerkaVPN\\ovpn-7-00.ovpn", true},
        UnstageCase{"repeated separators before the name",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\\\ovpn-1.ovpn", true},
        UnstageCase{"forward slash before the name",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn/ovpn-1.ovpn", true},
        UnstageCase{"name of ten characters",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\ovpn-.ovpn", true},
        UnstageCase{"name of nine characters",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\ovpn.ovpn", false},
        UnstageCase{"prefix in capitals",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\OVPN-1.ovpn", false},
        UnstageCase{"the configuration folder", L"C:\\Program Files\\openvpn\\config\\ovpn-1.ovpn",
                    false},
        UnstageCase{"a subfolder",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\sub\\ovpn-1.ovpn", false},
        UnstageCase{"climbing out",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\..\\ovpn-1.ovpn", false},
        UnstageCase{"dot segment in the parent",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\.\\ovpn-1.ovpn", false},
        UnstageCase{"elsewhere", L"C:\\Users\\Public\\ovpn-1.ovpn", false},
        UnstageCase{"device path prefix",
                    L"\\\\?\\C:\\Program Files\\openvpn\\config\\zerkavpn\\ovpn-1.ovpn", false},
        UnstageCase{"a stream of a staged file",
                    L"C:\\Program Files\\openvpn\\config\\zerkavpn\\ovpn-1:x.ovpn", false},
        UnstageCase{"a wildcard", L"C:\\Program Files\\openvpn\\config\\zerkavpn\\ovpn-*.ovpn",
                    false},
        UnstageCase{"the folder itself", L"C:\\Program Files\\openvpn\\config\\zerkavpn\\", false},
        UnstageCase{"a bare name", L"ovpn-1.ovpn", false}, UnstageCase{"empty", L"", false}));

TEST(UnstageRule, EmptyStagingFolderAllowsNothing) {
  EXPECT_FALSE(MayUnstage(L"", L"\\ovpn-1.ovpn"));
  EXPECT_FALSE(MayUnstage(L"\\", L"\\ovpn-1.ovpn"));
}

TEST(WithFinalBackslash, AddsOnlyWhenMissing) {
  EXPECT_EQ(WithFinalBackslash(L"C:\\x"), L"C:\\x\\");
  EXPECT_EQ(WithFinalBackslash(L"C:\\x\\"), L"C:\\x\\");
  EXPECT_EQ(WithFinalBackslash(L"C:\\x/"), L"C:\\x/");
}

}  // namespace
}  // namespace tovra::service
