#include "prereq/tap_checks.h"

#include <gtest/gtest.h>

#include <functional>

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

TEST(QueryFailure, OnlyNotThereCodesMeanAbsent) {
  const std::pair<uint32_t, bool> rows[] = {
      {2, true},      // file, registry key or value not found
      {3, true},      // path not found
      {1060, true},   // no such service
      {1812, true},   // no resources at all
      {1813, true},   // no version resource
      {1814, true},   // no resource of that name
      {0, false},     // no failure
      {5, false},     // access denied
      {123, false},   // invalid name
      {234, false},   // more data: a value that never settled
      {1008, false},  // no token: absence only for the console user query
  };
  for (auto [code, absent] : rows) {
    EXPECT_EQ(MeansAbsent(Win32Error{code, L"AnyCall"}), absent) << code;
  }
}

// A machine whose TAP driver is identified from the service file alone.
FakePrereqSystem ServiceFileMachine() {
  FakePrereqSystem system;
  system.services[kTapServiceName] = {true, false, true, true};
  system.tap_image_path = L"C:\\x\\tap0901.sys";
  system.file_versions[L"C:\\x\\tap0901.sys"] = V(9, 27, 0, 0);
  return system;
}

TEST(QueryFailure, AssessmentKeepsTheFirstFailureThatHidesAFactAndStillDegrades) {
  const Win32Error denied_manager{5, L"OpenSCManagerW"};
  const Win32Error no_device_list{13, L"SetupDiGetClassDevsW"};
  const Win32Error denied_key{5, L"RegOpenKeyExW"};
  const Win32Error denied_file{32, L"GetFileVersionInfoSizeW"};
  struct Row {
    const char* name;
    std::function<void(FakePrereqSystem&)> edit;
    Win32Error cause;
    bool identified;
  };
  const Row rows[] = {
      {"all read", [](FakePrereqSystem&) {}, {}, true},
      {"service absent",
       [](FakePrereqSystem& m) {
         m.services[kTapServiceName] = {false, false, false, false, {1060, L"OpenServiceW"}};
       },
       {},
       false},
      {"manager denied",
       [&](FakePrereqSystem& m) {
         m.services[kTapServiceName] = {false, false, false, false, denied_manager};
       },
       denied_manager, false},
      {"device list unavailable", [&](FakePrereqSystem& m) { m.devices_error = no_device_list; },
       no_device_list, true},
      {"image path absent",
       [](FakePrereqSystem& m) {
         m.tap_image_path.reset();
         m.tap_image_path_error = {2, L"RegOpenKeyExW"};
       },
       {},
       false},
      {"image path denied",
       [&](FakePrereqSystem& m) {
         m.tap_image_path.reset();
         m.tap_image_path_error = denied_key;
       },
       denied_key, false},
      {"no version resource",
       [](FakePrereqSystem& m) {
         m.file_versions.clear();
         m.file_version_error = {1813, L"GetFileVersionInfoSizeW"};
       },
       {},
       false},
      {"file locked",
       [&](FakePrereqSystem& m) {
         m.file_versions.clear();
         m.file_version_error = denied_file;
       },
       denied_file, false},
      {"first failure wins",
       [&](FakePrereqSystem& m) {
         m.devices_error = no_device_list;
         m.file_versions.clear();
         m.file_version_error = denied_file;
       },
       no_device_list, false},
  };
  for (const Row& row : rows) {
    FakePrereqSystem system = ServiceFileMachine();
    row.edit(system);
    const TapAssessment a = AssessTapDriver(system);
    EXPECT_EQ(a.cause, row.cause) << row.name;
    EXPECT_EQ(a.driver_identified, row.identified) << row.name;
  }
}

TEST(QueryFailure, PostInstallStateKeepsTheFirstFailureThatHidesAFact) {
  const Win32Error unreadable_config{5, L"QueryServiceConfigW"};
  const Win32Error denied_renames{5, L"RegOpenKeyExW"};
  struct Row {
    const char* name;
    std::function<void(FakePrereqSystem&)> edit;
    Win32Error cause;
    bool healthy;  // the flags degrade exactly as without a cause
  };
  const Row rows[] = {
      {"all read", [](FakePrereqSystem&) {}, {}, true},
      {"interactive configuration unreadable",
       [&](FakePrereqSystem& m) {
         m.services[kInteractiveServiceName] = {true, false, true, false, unreadable_config};
       },
       unreadable_config, true},
      {"renames unreadable", [&](FakePrereqSystem& m) { m.pending_renames_error = denied_renames; },
       denied_renames, true},
  };
  for (const Row& row : rows) {
    FakePrereqSystem system;
    system.services[kTapServiceName] = {true, false, true, true};
    system.services[kInteractiveServiceName] = {true, false, true, true};
    system.devices = {Device(V(9, 27, 0, 0), L"TAP-Windows")};
    row.edit(system);
    const PostInstallState s = ReadPostInstallState(system);
    EXPECT_EQ(s.cause, row.cause) << row.name;
    EXPECT_EQ(IsHealthy(s), row.healthy) << row.name;
  }
}

}  // namespace
}  // namespace tovra::prereq
