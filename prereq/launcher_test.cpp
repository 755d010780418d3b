#include "prereq/launcher.h"

#include <gtest/gtest.h>

#include "prereq/testing/fake_prereq_system.h"

namespace tovra::prereq {
namespace {

using namespace std::string_literals;
using testing::FakeFile;
using testing::FakePrereqSystem;

const std::wstring kPackage = L"C:\\setup\\OpenVPN-2.7.7-I001-amd64.msi";

// ---------------------------------------------------------------- path rules

struct PathCase {
  std::wstring path;
  const wchar_t* reason;  // empty when the path must pass
};

class ValidateMsiPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(ValidateMsiPathTest, AppliesTheRulesInOrder) {
  FakePrereqSystem system;
  system.AddPackage(
      GetParam().path);  // every path exists as a good package unless rules say otherwise
  const MsiPathCheck check = ValidateMsiPath(GetParam().path, system);
  EXPECT_EQ(check.reason, GetParam().reason);
  EXPECT_EQ(check.ok, check.reason.empty());
  EXPECT_EQ(check.path, check.ok ? GetParam().path : L"");
}

const wchar_t kLength[] = L"empty or over-long path";
const wchar_t kIllegal[] = L"path contains an illegal character";
const wchar_t kNotAbsolute[] = L"not a drive-letter absolute path";
const wchar_t kDots[] = L"path contains a '.' or '..' component";
const wchar_t kName[] = L"final component is not the expected OpenVPN MSI filename";

std::wstring PaddedPath(size_t length) {
  const std::wstring name = L"\\OpenVPN-2.7.7-I001-amd64.msi";
  return L"C:\\" + std::wstring(length - 3 - name.size(), L'd') + name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidateMsiPathTest,
    ::testing::Values(
        PathCase{kPackage, L""}, PathCase{L"d:/x/openvpn-2.7.7-i001-AMD64.MSI", L""},
        PathCase{L"C:\\a\\\\b\\OpenVPN-2.7.7-I001-amd64.msi", L""},  // empty components are allowed
        PathCase{L"C:\\<|*?>\\OpenVPN-2.7.7-I001-amd64.msi",
                 L""},  // left for the file system to refuse
        PathCase{L"C:\\...\\OpenVPN-2.7.7-I001-amd64.msi", L""}, PathCase{L"", kLength},
        PathCase{PaddedPath(1024), L""}, PathCase{PaddedPath(1025), kLength},
        PathCase{L"C:\\a\"b\\OpenVPN-2.7.7-I001-amd64.msi", kIllegal},
        PathCase{L"C:\\a\tb\\OpenVPN-2.7.7-I001-amd64.msi", kIllegal},
        PathCase{std::wstring(L"C:\\a\0b\\OpenVPN-2.7.7-I001-amd64.msi", 35), kIllegal},
        PathCase{L"\"C:\\OpenVPN-2.7.7-I001-amd64.msi\"", kIllegal},  // illegal wins over the form
        PathCase{L"\x1F", kIllegal}, PathCase{L"C:", kNotAbsolute}, PathCase{L"C:\\", kName},
        PathCase{L"OpenVPN-2.7.7-I001-amd64.msi", kNotAbsolute},
        PathCase{L"C:OpenVPN-2.7.7-I001-amd64.msi", kNotAbsolute},
        PathCase{L"\\\\server\\share\\OpenVPN-2.7.7-I001-amd64.msi", kNotAbsolute},
        PathCase{L"\\\\?\\C:\\OpenVPN-2.7.7-I001-amd64.msi", kNotAbsolute},
        PathCase{L"1:\\OpenVPN-2.7.7-I001-amd64.msi", kNotAbsolute},
        PathCase{L"\x00C4:\\OpenVPN-2.7.7-I001-amd64.msi", kNotAbsolute},
        PathCase{L"D:\\setup\\..\\OpenVPN-2.7.7-I001-amd64.msi", kDots},
        PathCase{L"D:\\.\\OpenVPN-2.7.7-I001-amd64.msi", kDots}, PathCase{L"D:\\x\\..", kDots},
        PathCase{L"D:\\x\\.\\", kDots},  // dots win over the name
        PathCase{L"C:\\OpenVPN-2.7.7-I001-amd64.msi\\", kName},
        PathCase{L"C:\\OpenVPN-2.7.7-I001-amd64.msi.txt", kName},
        PathCase{L"C:\\OpenVPN-2.7.7-I001-amd64.ms", kName},
        PathCase{L"C:\\xOpenVPN-2.7.7-I001-amd64.msi", kName},
        PathCase{L"C:\\OpenVPN-2.7.7-I001-amd64.msi:stream", kName},
        PathCase{L"C:\\OpenVPN-2.7.7-\x0130"
                 L"001-amd64.msi",
                 kName}));  // dotted capital I is another file

TEST(ValidateMsiPath, FileSystemRulesComeAfterTheTextRules) {
  struct Case {
    std::optional<FakeFile> file;
    const wchar_t* reason;
  };
  std::array<uint8_t, 8> almost = testing::kMsiSignature;
  almost[7] = 0xE0;
  const Case cases[] = {
      {std::nullopt, L"path does not resolve to a file"},
      {FakeFile{0x10, testing::kMsiSignature}, L"path is a directory"},
      {FakeFile{0x10 | 0x400, testing::kMsiSignature}, L"path is a directory"},
      {FakeFile{0x400 | 0x20, testing::kMsiSignature},
       L"path is a reparse point (symlink/junction)"},
      {FakeFile{0x20, std::nullopt}, L"file is not a Windows Installer package"},
      {FakeFile{0x20, almost}, L"file is not a Windows Installer package"},
      {FakeFile{0x20 | 0x1 | 0x2, testing::kMsiSignature}, L""},  // archive, read-only, hidden pass
  };
  for (const Case& c : cases) {
    FakePrereqSystem system;
    if (c.file) system.files[kPackage] = *c.file;
    EXPECT_EQ(ValidateMsiPath(kPackage, system).reason, c.reason);
  }
}

// ---------------------------------------------------------------- features

TapAssessment GoodDriver() {
  TapAssessment a;
  a.service_exists = true;
  a.service_usable = true;
  a.driver_identified = true;
  a.is_amd64 = true;
  a.driver_version = {{9, 27, 0, 0}};
  a.device_present = true;
  return a;
}

TEST(ChooseFeatures, Decisions) {
  struct Case {
    const char* name;
    void (*edit)(TapAssessment&);
    FeatureDecision decision;
  };
  const Case cases[] = {
      {"9.27.0.0 with a healthy adapter", [](TapAssessment&) {},
       FeatureDecision::driver_and_adapter_ok},
      {"9.26.9.9",
       [](TapAssessment& a) {
         a.driver_version = {{9, 26, 9, 9}};
       },
       FeatureDecision::install_driver},
      {"9.26.65535.65535",
       [](TapAssessment& a) {
         a.driver_version = {{9, 26, 65535, 65535}};
       },
       FeatureDecision::install_driver},
      {"10.0.0.0",
       [](TapAssessment& a) {
         a.driver_version = {{10, 0, 0, 0}};
       },
       FeatureDecision::driver_and_adapter_ok},
      {"9.27.0.1",
       [](TapAssessment& a) {
         a.driver_version = {{9, 27, 0, 1}};
       },
       FeatureDecision::driver_and_adapter_ok},
      {"no adapter", [](TapAssessment& a) { a.device_present = false; },
       FeatureDecision::driver_ok_needs_adapter},
      {"adapter with a problem", [](TapAssessment& a) { a.device_problem = true; },
       FeatureDecision::driver_ok_needs_adapter},
      {"adapter needs restart", [](TapAssessment& a) { a.device_needs_restart = true; },
       FeatureDecision::driver_ok_needs_adapter},
      {"not AMD64", [](TapAssessment& a) { a.is_amd64 = false; }, FeatureDecision::install_driver},
      {"not AMD64, no adapter",
       [](TapAssessment& a) {
         a.is_amd64 = false;
         a.device_present = false;
       },
       FeatureDecision::install_driver},
      {"no service", [](TapAssessment& a) { a.service_exists = false; },
       FeatureDecision::install_driver},
      {"disabled", [](TapAssessment& a) { a.service_disabled = true; },
       FeatureDecision::install_driver},
      {"unusable", [](TapAssessment& a) { a.service_usable = false; },
       FeatureDecision::install_driver},
      {"unknown provider", [](TapAssessment& a) { a.driver_identified = false; },
       FeatureDecision::install_driver},
      {"bare machine", [](TapAssessment& a) { a = TapAssessment{}; },
       FeatureDecision::install_driver},
  };
  for (const Case& c : cases) {
    TapAssessment a = GoodDriver();
    c.edit(a);
    const FeatureChoice choice = ChooseFeatures(a);
    EXPECT_EQ(choice.decision, c.decision) << c.name;
    EXPECT_EQ(choice.features, c.decision == FeatureDecision::install_driver
                                   ? L"ADDLOCAL=OpenVPN,Drivers,Drivers.TAPWindows6"
                                   : L"ADDLOCAL=OpenVPN")
        << c.name;
  }
}

// ---------------------------------------------------------------- commands

TEST(BuildMsiexecCommand, ExactCommandLine) {
  for (const wchar_t* dir :
       {L"C:\\Windows\\system32", L"C:\\Windows\\system32\\", L"C:\\Windows\\system32/\\/"}) {
    const MsiexecCommand c =
        BuildMsiexecCommand(dir, L"D:\\a b\\OpenVPN-2.7.7-I001-amd64.msi", kFeaturesOpenVpnOnly);
    EXPECT_EQ(c.application, L"C:\\Windows\\system32\\msiexec.exe");
    EXPECT_EQ(c.command_line,
              L"\"C:\\Windows\\system32\\msiexec.exe\" /i \"D:\\a "
              L"b\\OpenVPN-2.7.7-I001-amd64.msi\" /qn /norestart "
              L"ADDLOCAL=OpenVPN REBOOT=ReallySuppress");
  }
}

TEST(CreateTapAdapter, RunsTapctlCreateWithATimeLimit) {
  const std::wstring tapctl = L"C:\\Program Files\\OpenVPN\\bin\\tapctl.exe";
  struct Case {
    std::optional<uint32_t> attributes;
    RunResult run;
    bool expected;
    bool expect_run;
  };
  const Case cases[] = {
      {0x20, {RunStatus::exited, 0}, true, true},
      {0x20, {RunStatus::exited, 1}, false, true},
      {0x20, {RunStatus::timed_out, 0}, false, true},
      {0x20, {RunStatus::wait_failed, 0}, false, true},
      {0x20, {RunStatus::not_started, 0}, false, true},
      {0x10, {RunStatus::exited, 0}, false, false},
      {std::nullopt, {RunStatus::exited, 0}, false, false},
  };
  for (const Case& c : cases) {
    FakePrereqSystem system;
    if (c.attributes) system.files[tapctl] = FakeFile{*c.attributes, std::nullopt};
    system.run_results[tapctl] = c.run;
    EXPECT_EQ(CreateTapAdapter(L"C:\\Program Files\\OpenVPN", system), c.expected);
    ASSERT_EQ(system.runs.size(), c.expect_run ? 1u : 0u);
    if (c.expect_run) {
      EXPECT_EQ(system.runs[0].application, tapctl);
      EXPECT_EQ(system.runs[0].command_line, L"\"" + tapctl + L"\" create");
      EXPECT_EQ(system.runs[0].timeout_ms, std::optional<uint32_t>(60000));
    }
  }
}

// ---------------------------------------------------------------- main flow

const std::wstring kMsiexec = L"C:\\Windows\\system32\\msiexec.exe";
const std::wstring kOpenVpnDir = L"C:\\Program Files\\OpenVPN";
const std::wstring kTapctl = kOpenVpnDir + L"\\bin\\tapctl.exe";

TapDevice HealthyDevice() {
  TapDevice d;
  d.driver_version = {{9, 27, 0, 0}};
  d.provider_name = L"TAP-Windows Provider V9";
  return d;
}

// A machine with a good driver (decision 0 with a device, 1 without), a
// package in place and an installed OpenVPN directory with tapctl.
struct Machine : FakePrereqSystem {
  explicit Machine(bool with_device) {
    AddPackage(kPackage);
    services[kTapServiceName] = {true, false, true, true};
    if (with_device) devices = {HealthyDevice()};
    tap_image_path = L"\\SystemRoot\\System32\\drivers\\tap0901.sys";
    environment[L"SystemRoot"] = L"C:\\Windows";
    file_versions[L"C:\\Windows\\System32\\drivers\\tap0901.sys"] = {{9, 27, 0, 0}};
    openvpn_directory = kOpenVpnDir + L"\\";
    files[kTapctl] = FakeFile{0x20, std::nullopt};
  }
  void InstallerReturns(uint32_t code) { run_results[kMsiexec] = {RunStatus::exited, code}; }
  void InteractiveService(bool running) {
    services[kInteractiveServiceName] = {true, false, running, true};
  }
  bool RanTapctl() const {
    for (const auto& r : runs)
      if (r.application == kTapctl) return true;
    return false;
  }
};

std::optional<std::vector<std::wstring>> Args(std::initializer_list<std::wstring> a) {
  return std::vector<std::wstring>(a);
}

TEST(RunLauncher, CommandLineMustHoldExactlyThePackagePath) {
  Machine m(true);
  EXPECT_EQ(RunLauncher(std::nullopt, m), 1001u);
  EXPECT_EQ(RunLauncher(Args({}), m), 1001u);
  EXPECT_EQ(RunLauncher(Args({L"launcher.exe"}), m), 1001u);
  EXPECT_EQ(RunLauncher(Args({L"launcher.exe", kPackage, kPackage}), m), 1001u);
  EXPECT_EQ(RunLauncher(Args({L"launcher.exe", L""}), m), 1002u);
  EXPECT_EQ(RunLauncher(Args({L"launcher.exe", L"D:\\setup\\..\\OpenVPN-2.7.7-I001-amd64.msi"}), m),
            1002u);
  EXPECT_EQ(RunLauncher(Args({L"launcher.exe", L"C:\\missing\\OpenVPN-2.7.7-I001-amd64.msi"}), m),
            1002u);
  EXPECT_TRUE(m.runs.empty());
}

TEST(RunLauncher, FailuresBeforeAndAroundTheInstaller) {
  Machine m(true);
  m.system_directory.reset();
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), m), 1003u);
  EXPECT_TRUE(m.runs.empty());

  for (auto [status, code] :
       {std::pair{RunStatus::not_started, 1004u}, std::pair{RunStatus::wait_failed, 1005u}}) {
    Machine n(false);  // decision 1: even then no adapter is created
    n.run_results[kMsiexec] = {status, 0};
    EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), n), code);
    EXPECT_EQ(n.runs.size(), 1u);
  }
}

TEST(RunLauncher, RunsMsiexecWithTheChosenFeatures) {
  Machine good(true);
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), good), 0u);
  ASSERT_EQ(good.runs.size(), 1u) << "a healthy adapter needs no tapctl";
  EXPECT_EQ(good.runs[0].application, kMsiexec);
  EXPECT_EQ(good.runs[0].command_line,
            L"\"" + kMsiexec + L"\" /i \"" + kPackage +
                L"\" /qn /norestart ADDLOCAL=OpenVPN REBOOT=ReallySuppress");
  EXPECT_EQ(good.runs[0].timeout_ms, std::nullopt);

  Machine old(true);
  old.devices[0].driver_version = {{9, 26, 9, 9}};
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), old), 0u);
  ASSERT_EQ(old.runs.size(), 1u);
  EXPECT_NE(old.runs[0].command_line.find(
                L" ADDLOCAL=OpenVPN,Drivers,Drivers.TAPWindows6 REBOOT=ReallySuppress"),
            std::wstring::npos);
}

TEST(RunLauncher, PassesInstallerCodesThrough) {
  for (uint32_t code : {0u, 1641u, 3010u, 1618u, 1603u, 1602u, 1619u, 87u, 0xC0000005u}) {
    Machine m(true);
    m.InstallerReturns(code);
    EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), m), code);
    EXPECT_FALSE(m.RanTapctl());
  }
}

TEST(RunLauncher, CreatesAnAdapterOnlyWhenTheDriverIsGoodButHasNone) {
  for (uint32_t code : {0u, 3010u, 3011u, 1603u, 1641u}) {
    Machine m(false);
    m.InstallerReturns(code);
    m.run_results[kTapctl] = {RunStatus::exited, 5};  // a failing tapctl changes nothing
    const uint32_t result = RunLauncher(Args({L"l", kPackage}), m);
    const bool expect_tapctl = code == 0 || code == 3010 || code == 3011;
    EXPECT_EQ(m.RanTapctl(), expect_tapctl) << code;
    EXPECT_EQ(result, code == 3011 ? 3010u : code) << code;  // no device afterwards: not healthy
  }

  Machine no_dir(false);
  no_dir.openvpn_directory = L"\\/";
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), no_dir), 0u);
  EXPECT_FALSE(no_dir.RanTapctl());
}

TEST(RunLauncher, RestartMayBeNeededBecomesZeroOnlyWhenHealthy) {
  Machine healthy(true);
  healthy.InstallerReturns(3011);
  healthy.InteractiveService(false);  // stopped: started by the check
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), healthy), 0u);
  EXPECT_EQ(healthy.started_services, std::vector<std::wstring>{kInteractiveServiceName});
  EXPECT_EQ(healthy.restart_calls, 0);

  struct Case {
    const char* name;
    void (*edit)(Machine&);
  };
  const Case unhealthy[] = {
      {"pending OpenVPN rename",
       [](Machine& m) {
         m.pending_renames = L"\\??\\C:\\Program Files\\OpenVPN\\bin\\openvpn.exe\0\0"s;
       }},
      {"interactive service missing",
       [](Machine& m) { m.services.erase(kInteractiveServiceName); }},
      {"interactive service does not start",
       [](Machine& m) {
         m.InteractiveService(false);
         m.service_start_succeeds = false;
       }},
      {"interactive service disabled",
       [](Machine& m) {
         m.services[kInteractiveServiceName] = {true, true, false, false};
       }},
      {"no TAP service", [](Machine& m) { m.services.erase(kTapServiceName); }},
      {"device problem", [](Machine& m) { m.devices[0].has_problem = true; }},
      {"no device", [](Machine& m) { m.devices.clear(); }},
  };
  for (const Case& c : unhealthy) {
    Machine m(true);
    m.InstallerReturns(3011);
    m.InteractiveService(true);
    c.edit(m);
    EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), m), 3010u) << c.name;
  }
}

TEST(RunLauncher, RestartsDevicesThatNeedItThenLooksAgain) {
  TapDevice restarting = HealthyDevice();
  restarting.needs_restart = true;

  Machine fixed(true);
  fixed.InstallerReturns(3011);
  fixed.InteractiveService(true);
  fixed.devices_after_restart = fixed.devices;
  fixed.devices = {restarting};
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), fixed), 0u);
  EXPECT_EQ(fixed.restart_calls, 1);

  Machine failed(true);
  failed.InstallerReturns(3011);
  failed.InteractiveService(true);
  failed.devices = {restarting};
  failed.restart_succeeds = false;
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), failed), 3010u);
  EXPECT_EQ(failed.restart_calls, 1);

  Machine still(true);  // the restart "worked" but the device still wants one
  still.InstallerReturns(3011);
  still.InteractiveService(true);
  still.devices = {restarting};
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), still), 3010u);

  Machine plain(true);  // 3010 from the installer is never second-guessed
  plain.InstallerReturns(3010);
  plain.devices = {restarting};
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), plain), 3010u);
  EXPECT_EQ(plain.restart_calls, 0);
}

// What was checked is what is installed: the package is held from its checks
// until msiexec has exited, and let go before anything else runs.
TEST(RunLauncher, HoldsThePackageFromItsChecksUntilTheInstallerExits) {
  Machine m(false);  // decision 1: tapctl runs after msiexec
  m.InstallerReturns(0);
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), m), 0u);
  ASSERT_EQ(m.runs.size(), 2u);
  EXPECT_EQ(m.runs[0].application, kMsiexec);
  EXPECT_EQ(m.runs[0].held_files, 1);
  EXPECT_EQ(m.runs[1].application, kTapctl);
  EXPECT_EQ(m.runs[1].held_files, 0);
  EXPECT_EQ(m.held_files, 0);

  for (RunStatus failed : {RunStatus::not_started, RunStatus::wait_failed}) {
    Machine f(true);
    f.run_results[kMsiexec] = {failed, 0, {}};
    static_cast<void>(RunLauncher(Args({L"l", kPackage}), f));
    ASSERT_EQ(f.runs.size(), 1u);
    EXPECT_EQ(f.runs[0].held_files, 1);
    EXPECT_EQ(f.held_files, 0);
  }

  for (const FakeFile& refused :
       {FakeFile{0x10, testing::kMsiSignature, {}}, FakeFile{0x20, std::nullopt, {}}}) {
    Machine r(true);
    r.files[kPackage] = refused;
    EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), r), 1002u);
    EXPECT_EQ(r.held_files, 0) << "a refused package is let go";
  }
}

// Where a failure shapes a decision, the note names the call that failed; the
// exit code is what it would be without the note.
TEST(RunLauncher, NotesTheFailedCallWhereItDecides) {
  struct Case {
    const char* name;
    void (*edit)(Machine&);
    uint32_t exit_code;
    const wchar_t* note;
  };
  const Case cases[] = {
      {"package open for writing elsewhere",
       [](Machine& m) {
         m.files[kPackage] = FakeFile{0x20, testing::kMsiSignature, {32, L"CreateFileW"}};
       },
       1002, L"package refused: path does not resolve to a file: CreateFileW failed (win32=32)"},
      {"package missing", [](Machine& m) { m.files.erase(kPackage); }, 1002,
       L"package refused: path does not resolve to a file: CreateFileW failed (win32=2)"},
      {"no system directory",
       [](Machine& m) {
         m.system_directory.reset();
         m.system_directory_error = {122, L"GetSystemDirectoryW"};
       },
       1003, L"system directory unknown: GetSystemDirectoryW failed (win32=122)"},
      {"installer not started",
       [](Machine& m) {
         m.run_results[kMsiexec] = {RunStatus::not_started, 0, {193, L"CreateProcessW"}};
       },
       1004, L"installer not started: CreateProcessW failed (win32=193)"},
      {"TAP service unreadable",
       [](Machine& m) {
         m.services[kTapServiceName] =
             ServiceSummary{false, false, false, false, {5, L"OpenServiceW"}};
       },
       0, L"TAP driver assessment incomplete: OpenServiceW failed (win32=5)"},
      {"interactive service does not start",
       [](Machine& m) {
         m.InstallerReturns(3011);
         m.InteractiveService(false);
         m.service_start_succeeds = false;
         m.service_start_error = {1058, L"StartServiceW"};
       },
       3010, L"post-install state not healthy: StartServiceW failed (win32=1058)"},
      {"device restart fails",
       [](Machine& m) {
         m.InstallerReturns(3011);
         m.InteractiveService(true);
         m.devices[0].needs_restart = true;
         m.restart_succeeds = false;
         m.restart_error = {5, L"SetupDiCallClassInstaller"};
       },
       3010, L"TAP device restart failed: SetupDiCallClassInstaller failed (win32=5)"},
      {"OpenVPN directory unreadable",
       [](Machine& m) {
         m.devices.clear();
         m.openvpn_directory.clear();
         m.openvpn_directory_error = {5, L"RegOpenKeyExW"};
       },
       0, L"no TAP adapter created: OpenVPN directory unknown: RegOpenKeyExW failed (win32=5)"},
  };
  for (const Case& c : cases) {
    Machine m(true);
    c.edit(m);
    EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), m), c.exit_code) << c.name;
    EXPECT_TRUE(m.Noted(c.note)) << c.name;
  }
  Machine quiet(true);
  EXPECT_EQ(RunLauncher(Args({L"l", kPackage}), quiet), 0u);
  EXPECT_TRUE(quiet.notes.empty()) << "nothing failed, nothing to note";
}

}  // namespace
}  // namespace tovra::prereq
