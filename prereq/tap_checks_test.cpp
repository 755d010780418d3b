#include "prereq/tap_checks.h"

#include <gtest/gtest.h>

#include "prereq/testing/fake_prereq_system.h"

namespace tovra::prereq {
namespace {

using testing::FakePrereqSystem;

DriverVersion V(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  return DriverVersion{{a, b, c, d}};
}

struct VersionCase {
  const wchar_t* text;
  std::optional<DriverVersion> expected;
};

class ParseDriverVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(ParseDriverVersionTest, Parses) {
  EXPECT_EQ(ParseDriverVersion(GetParam().text), GetParam().expected)
      << "input: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseDriverVersionTest,
    ::testing::Values(VersionCase{L"9.27.0", V(9, 27, 0, 0)},
                      VersionCase{L"9.24.2.601", V(9, 24, 2, 601)},
                      VersionCase{L"7", V(7, 0, 0, 0)}, VersionCase{L"99999.1", V(65535, 1, 0, 0)},
                      VersionCase{L"65535.65536.0.4294967296", V(65535, 65535, 0, 65535)},
                      VersionCase{L"007.0010", V(7, 10, 0, 0)},
                      VersionCase{L"1.2.3.4.5", V(1, 2, 3, 4)},
                      VersionCase{L"1.2.3.4.x", V(1, 2, 3, 4)}, VersionCase{L"", std::nullopt},
                      VersionCase{L"9.27.x", std::nullopt}, VersionCase{L"9.27.", std::nullopt},
                      VersionCase{L"1.2.3.4.", std::nullopt}, VersionCase{L".1", std::nullopt},
                      VersionCase{L"1..2", std::nullopt}, VersionCase{L"1.2.3.4x", std::nullopt},
                      VersionCase{L"9 .27", std::nullopt}, VersionCase{L"-1.0", std::nullopt},
                      VersionCase{L"\x0663.1", std::nullopt}));  // a non-ASCII digit is not a digit

TEST(ParseDriverVersion, EveryPrefixOfAValidVersionIsHandled) {
  const std::wstring text = L"12.345.6.78.9";
  for (size_t n = 0; n <= text.size(); ++n) {
    std::optional<DriverVersion> v = ParseDriverVersion(std::wstring_view(text).substr(0, n));
    const bool ends_in_dot = n > 0 && text[n - 1] == L'.';
    EXPECT_EQ(v.has_value(), n > 0 && !ends_in_dot) << n;
  }
}

struct ImagePathCase {
  const wchar_t* image_path;
  const wchar_t* expected;
};

class NormalizeImagePathTest : public ::testing::TestWithParam<ImagePathCase> {};

TEST_P(NormalizeImagePathTest, Normalizes) {
  FakePrereqSystem system;
  system.environment[L"SystemRoot"] = L"C:\\Windows";
  system.environment[L"ProgramFiles"] = L"C:\\Program Files";
  EXPECT_EQ(NormalizeImagePath(GetParam().image_path, system), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NormalizeImagePathTest,
    ::testing::Values(
        ImagePathCase{L"\\SystemRoot\\System32\\drivers\\tap0901.sys",
                      L"C:\\Windows\\System32\\drivers\\tap0901.sys"},
        ImagePathCase{L"System32\\drivers\\tap0901.sys",
                      L"C:\\Windows\\System32\\drivers\\tap0901.sys"},
        ImagePathCase{L"system32\\drivers\\tap0901.sys",
                      L"C:\\Windows\\system32\\drivers\\tap0901.sys"},
        ImagePathCase{L"\\??\\C:\\x\\tap0901.sys", L"C:\\x\\tap0901.sys"},
        ImagePathCase{L"\\??\\\\SystemRoot\\tap.sys", L"C:\\Windows\\tap.sys"},
        ImagePathCase{L"%ProgramFiles%\\TAP\\tap0901.sys", L"C:\\Program Files\\TAP\\tap0901.sys"},
        // Only the two listed spellings get the prefix; other forms stay as written.
        ImagePathCase{L"SYSTEM32\\drivers\\tap0901.sys", L"SYSTEM32\\drivers\\tap0901.sys"},
        ImagePathCase{L"\\systemroot\\tap0901.sys", L"\\systemroot\\tap0901.sys"},
        ImagePathCase{L"C:\\x\\tap0901.sys", L"C:\\x\\tap0901.sys"}, ImagePathCase{L"", L""}));

TEST(NormalizeImagePath, KeepsTheUnexpandedTextWhenExpansionFailsOrIsTooLong) {
  FakePrereqSystem system;
  system.expansion_fails = true;
  EXPECT_EQ(NormalizeImagePath(L"System32\\a.sys", system), L"%SystemRoot%\\System32\\a.sys");

  system.expansion_fails = false;
  const std::wstring tail = L"\\a.sys";
  system.environment[L"SystemRoot"] = std::wstring(519 - tail.size(), L'r');
  EXPECT_EQ(NormalizeImagePath(L"\\SystemRoot\\a.sys", system).size(), 519u);  // fits
  system.environment[L"SystemRoot"] += L"r";
  EXPECT_EQ(NormalizeImagePath(L"\\SystemRoot\\a.sys", system), L"%SystemRoot%\\a.sys");
}

struct RenameCase {
  std::wstring data;
  bool expected;
};

class PendingRenamesTest : public ::testing::TestWithParam<RenameCase> {};

TEST_P(PendingRenamesTest, FindsOpenVpnFiles) {
  EXPECT_EQ(PendingRenamesMentionOpenVpn(GetParam().data), GetParam().expected);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Table, PendingRenamesTest,
    ::testing::Values(
        RenameCase{L"\\??\\C:\\Program Files\\OpenVPN\\bin\\openvpn.exe\0\0"s, true},
        RenameCase{L"\\??\\C:\\Windows\\Temp\\x.tmp\0\0\\??\\C:\\y.dll\0!\\??\\C:\\y.dll\0\0"s,
                   false},
        RenameCase{L"\\??\\C:\\a.tmp\0\\??\\C:\\Windows\\System32\\drivers\\TAP0901.SYS\0\0"s,
                   true},
        // A pending delete (empty destination) before an OpenVPN rename must not hide it.
        RenameCase{L"\\??\\C:\\a.tmp\0\0\\??\\C:\\TAP-Windows\\x\0\\??\\C:\\y\0\0"s, true},
        RenameCase{L"C:\\Tap-Windows\\tapinstall.exe"s, true},  // no terminator at all
        RenameCase{L"C:\\x\\openvp"s, false}, RenameCase{L""s, false},
        RenameCase{L"\0\0"s, false}));

TapDevice Device(DriverVersion version, std::wstring provider, bool problem = false,
                 bool restart = false) {
  TapDevice d;
  d.driver_version = version;
  d.provider_name = std::move(provider);
  d.has_problem = problem;
  d.needs_restart = restart;
  return d;
}

TEST(AssessTapDriver, UsesTheFirstDeviceWithAVersionAndCombinesDeviceFlags) {
  FakePrereqSystem system;
  system.services[kTapServiceName] = {true, false, true, true};
  system.devices = {Device({}, L"Nobody", false, true),
                    Device(V(9, 27, 0, 0), L"TAP-Windows Provider V9", true),
                    Device(V(9, 1, 0, 0), L"Other")};
  TapAssessment a = AssessTapDriver(system);
  EXPECT_TRUE(a.service_exists && a.service_usable && a.is_amd64);
  EXPECT_FALSE(a.service_disabled);
  EXPECT_EQ(a.driver_version, V(9, 27, 0, 0));
  EXPECT_TRUE(a.driver_identified);
  EXPECT_TRUE(a.device_present && a.device_problem && a.device_needs_restart);
  EXPECT_TRUE(system.version_reads.empty()) << "a device version must win over the service file";
}

TEST(AssessTapDriver, ProviderDecidesIdentification) {
  const std::pair<const wchar_t*, bool> cases[] = {{L"TAP-Windows Provider V9", true},
                                                   {L"tap-windows", true},
                                                   {L"OpenVPN Inc.", true},
                                                   {L"OPENVPN", true},
                                                   {L"TAP Windows", false},
                                                   {L"Acme VPN", false},
                                                   {L"", false}};
  for (auto [provider, identified] : cases) {
    FakePrereqSystem system;
    system.devices = {Device(V(9, 27, 1, 0), provider)};
    TapAssessment a = AssessTapDriver(system);
    EXPECT_EQ(a.driver_identified, identified) << provider;
    EXPECT_EQ(a.driver_version, V(9, 27, 1, 0)) << "the version is kept even when unidentified";
  }
}

TEST(AssessTapDriver, FallsBackToTheServiceFileVersionWithoutProviderCheck) {
  FakePrereqSystem system;
  system.services[kTapServiceName] = {true, false, false, true};
  system.devices = {Device({}, L"Acme")};
  system.tap_image_path = L"\\SystemRoot\\System32\\drivers\\tap0901.sys";
  system.environment[L"SystemRoot"] = L"C:\\Windows";
  system.file_versions[L"C:\\Windows\\System32\\drivers\\tap0901.sys"] = V(9, 27, 0, 0);
  TapAssessment a = AssessTapDriver(system);
  EXPECT_TRUE(a.driver_identified);
  EXPECT_EQ(a.driver_version, V(9, 27, 0, 0));
  EXPECT_TRUE(a.device_present);

  system.file_versions.clear();  // a file without a version resource
  a = AssessTapDriver(system);
  EXPECT_FALSE(a.driver_identified);
  EXPECT_TRUE(a.driver_version.IsUnknown());
}

TEST(AssessTapDriver, NoServiceMeansNoFileLookupAndNothingIdentified) {
  FakePrereqSystem system;
  system.tap_image_path = L"C:\\x\\tap0901.sys";
  system.file_versions[L"C:\\x\\tap0901.sys"] = V(9, 30, 0, 0);
  system.amd64 = false;
  TapAssessment a = AssessTapDriver(system);
  EXPECT_FALSE(a.service_exists || a.driver_identified || a.device_present || a.is_amd64);
  EXPECT_TRUE(system.version_reads.empty());
}

TEST(AssessTapDriver, DisabledServiceIsNotUsable) {
  FakePrereqSystem system;
  system.services[kTapServiceName] = {true, true, false, false};
  TapAssessment a = AssessTapDriver(system);
  EXPECT_TRUE(a.service_disabled);
  EXPECT_FALSE(a.service_usable);
}

TEST(ReadPostInstallState, StartsOnlyAStoppedEnabledInteractiveService) {
  struct Case {
    ServiceSummary interactive;
    bool start_succeeds;
    bool expect_start;
    bool expect_running;
  };
  const Case cases[] = {
      {{true, false, true, true}, true, false, true},    // already running
      {{true, true, false, false}, true, false, false},  // disabled: never started
      {{true, false, false, true}, true, true, true},    // stopped, starts
      {{true, false, false, true}, false, true, false},  // stopped, does not come up
      {{true, false, false, false}, true, true, true},   // configuration unreadable: still tried
      {{}, true, false, false},                          // not installed
  };
  for (const Case& c : cases) {
    FakePrereqSystem system;
    system.services[kInteractiveServiceName] = c.interactive;
    system.service_start_succeeds = c.start_succeeds;
    PostInstallState s = ReadPostInstallState(system);
    EXPECT_EQ(s.interactive_service_exists, c.interactive.exists);
    EXPECT_EQ(s.interactive_service_running, c.expect_running);
    EXPECT_EQ(system.started_services.size(), c.expect_start ? 1u : 0u);
  }
}

TEST(ReadPostInstallState, HealthyOnlyWithEveryFlagRight) {
  FakePrereqSystem system;
  system.services[kTapServiceName] = {true, false, true, true};
  system.services[kInteractiveServiceName] = {true, false, true, true};
  system.devices = {Device(V(9, 27, 0, 0), L"TAP-Windows")};
  system.pending_renames = L"\\??\\C:\\unrelated.tmp\0\0"s;
  PostInstallState s = ReadPostInstallState(system);
  EXPECT_TRUE(IsHealthy(s));

  PostInstallState broken[7] = {s, s, s, s, s, s, s};
  broken[0].tap_service_exists = false;
  broken[1].device_present = false;
  broken[2].device_problem = true;
  broken[3].device_needs_restart = true;
  broken[4].interactive_service_exists = false;
  broken[5].interactive_service_running = false;
  broken[6].pending_rename = true;
  for (const PostInstallState& b : broken) EXPECT_FALSE(IsHealthy(b));

  system.pending_renames = L"\\??\\C:\\Program Files\\OpenVPN\\bin\\openvpn.exe\0\0"s;
  EXPECT_TRUE(ReadPostInstallState(system).pending_rename);
}

}  // namespace
}  // namespace tovra::prereq
