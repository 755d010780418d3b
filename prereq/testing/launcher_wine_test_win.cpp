// TOVRAPrereqLauncher end to end under Wine: this program is the Windows-side
// driver that starts the launcher and reads its full 32-bit exit code (the Linux
// side would see only the low 8 bits), against real packages built by wixl and
// Wine's own msiexec. Every test leaves the machine as it found it: installed
// test products are removed and the TAP service it creates is deleted.
#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/win/handles_win.h"
#include "prereq/launcher.h"
#include "prereq/prereq_system_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/own_program_win.h"
#include "tests/support/temp_folder_win.h"

namespace tovra::prereq {
namespace {

using common::UniqueHandle;
using common::UniqueServiceHandle;
namespace fs = std::filesystem;

std::wstring Backslashed(std::string text) {
  for (char& c : text)
    if (c == '/') c = '\\';
  return std::wstring(text.begin(), text.end());
}

const std::wstring kLauncher = Backslashed(TOVRA_LAUNCHER_EXE);

std::wstring Package(const wchar_t* variant) {
  return Backslashed(TOVRA_PACKAGE_ROOT) + L"\\" + variant + L"\\" + kPackageName;
}

// Starts a program and returns its full exit code; 0xFFFFFFFF when it could not be run.
uint32_t RunProgram(const std::wstring& application, const std::wstring& arguments) {
  tovra::testing::ChildProcess child;
  if (!child.Start(application, arguments)) return 0xFFFFFFFF;
  return child.Wait(300000).value_or(0xFFFFFFFF);
}

uint32_t Launch(const std::wstring& arguments) {
  return RunProgram(kLauncher, arguments);
}

// Product codes of the test packages (openvpn_package.wxs).
const wchar_t* const kProductCodes[] = {L"{6F1C2A4E-3B1D-4E8A-9C11-2D0A7F3B5E00}",
                                        L"{6F1C2A4E-3B1D-4E8A-9C11-2D0A7F3B5E01}",
                                        L"{6F1C2A4E-3B1D-4E8A-9C11-2D0A7F3B5E02}"};
constexpr wchar_t kTestTapService[] = L"tap0901";

class LauncherUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    Cleanup();
    ASSERT_TRUE(fs::is_directory(temp_));
  }
  void TearDown() override { Cleanup(); }

  // Removes every installed test product and the TAP service stand-in.
  static void Cleanup() {
    Win32PrereqSystem system;
    const std::wstring msiexec = *system.SystemDirectory().value + L"\\msiexec.exe";
    const fs::path calls = InstallDir() / L"bin" / L"tapctl-calls.txt";
    std::error_code ignored;
    fs::remove(calls, ignored);
    for (const wchar_t* product : kProductCodes) {
      if (::MsiQueryProductStateW(product) != INSTALLSTATE_DEFAULT) continue;
      const uint32_t code = RunProgram(msiexec, L" /x " + std::wstring(product) + L" /qn");
      EXPECT_EQ(code, 0u) << "uninstall";
    }
    EXPECT_FALSE(Installed(L"core.txt")) << "a test product is left installed";
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (UniqueServiceHandle tap{::OpenServiceW(manager.get(), kTestTapService, DELETE)})
      ::DeleteService(tap.get());
  }

  static fs::path InstallDir() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = ::ExpandEnvironmentStringsW(L"%ProgramFiles%\\OpenVPN", buffer, MAX_PATH);
    return fs::path(std::wstring(buffer, n ? n - 1 : 0));
  }

  static bool Installed(const wchar_t* relative) { return fs::exists(InstallDir() / relative); }

  const tovra::testing::TempFolder scratch_{L"tovra-prereq-e2e"};
  const fs::path temp_{scratch_.path()};
};

TEST_F(LauncherUnderWine, RefusesBadCommandLines) {
  EXPECT_EQ(Launch(L""), 1001u);
  EXPECT_EQ(Launch(L" \"" + Package(L"normal") + L"\" \"" + Package(L"normal") + L"\""), 1001u);
  EXPECT_FALSE(Installed(L"core.txt"));
}

TEST_F(LauncherUnderWine, RefusesBadPackagePaths) {
  fs::create_directories(temp_ / L"dir" / kPackageName);
  fs::create_directories(temp_ / L"text");
  std::ofstream(temp_ / L"text" / kPackageName) << "not a package\r\n";

  const std::wstring paths[] = {
      (temp_ / L"dir" / kPackageName).wstring(),   // a directory named like the package
      (temp_ / L"text" / kPackageName).wstring(),  // a text file named like it
      (temp_ / L"missing" / kPackageName).wstring(),
      kPackageName,  // relative
      (temp_ / L"text" / L".." / L"text" / kPackageName).wstring(),
      L"",
  };
  for (const std::wstring& path : paths) EXPECT_EQ(Launch(L" \"" + path + L"\""), 1002u) << path;
  EXPECT_FALSE(Installed(L"core.txt"));
}

TEST_F(LauncherUnderWine, InstallsTheDriversWhenNoUsableDriverExists) {
  ASSERT_EQ(Launch(L" \"" + Package(L"normal") + L"\""), 0u);
  EXPECT_TRUE(Installed(L"core.txt"));
  EXPECT_TRUE(Installed(L"bin\\tapctl.exe"));
  EXPECT_TRUE(Installed(L"drivers\\drivers.txt"));
  EXPECT_TRUE(Installed(L"drivers\\tap.txt"));
  EXPECT_FALSE(Installed(L"bin\\tapctl-calls.txt")) << "the drivers feature needs no tapctl";
  Win32PrereqSystem system;
  EXPECT_EQ(fs::path(system.ReadOpenVpnDirectory().value.value_or(L"")), InstallDir() / L"");
}

TEST_F(LauncherUnderWine, GoodDriverWithoutAdapterInstallsOpenVpnOnlyThenCreatesAnAdapter) {
  // A TAP driver service whose image carries version 9.27.3.17 (this program's
  // own version resource, reached through the "\??\" form); Wine lists no TAP
  // devices, so the driver is good but has no adapter.
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  const std::wstring image = L"\\??\\" + tovra::testing::OwnProgramPath();
  UniqueServiceHandle tap(
      ::CreateServiceW(manager.get(), kTestTapService, kTestTapService, SERVICE_ALL_ACCESS,
                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(tap) << ::GetLastError();

  Win32PrereqSystem system;
  const TapAssessment assessment = AssessTapDriver(system);
  ASSERT_EQ(assessment.driver_version, (DriverVersion{{9, 27, 3, 17}}));
  ASSERT_EQ(ChooseFeatures(assessment).decision, FeatureDecision::driver_ok_needs_adapter);

  ASSERT_EQ(Launch(L" \"" + Package(L"normal") + L"\""), 0u);
  EXPECT_TRUE(Installed(L"core.txt"));
  EXPECT_FALSE(Installed(L"drivers\\drivers.txt"));
  EXPECT_FALSE(Installed(L"drivers\\tap.txt"));
  std::ifstream calls(InstallDir() / L"bin" / L"tapctl-calls.txt");
  std::stringstream text;
  text << calls.rdbuf();
  EXPECT_EQ(text.str(), "create\n");
}

// The real system, whose msiexec start first tries to change the package under it.
class SwappingSystem : public Win32PrereqSystem {
 public:
  explicit SwappingSystem(std::wstring package) : package_(std::move(package)) {}

  RunResult Run(const std::wstring& application, const std::wstring& command_line,
                std::optional<uint32_t> timeout_ms) override {
    if (application.ends_with(L"\\msiexec.exe")) {
      const std::wstring aside = package_ + L".aside";
      tries_.push_back(
          UniqueHandle(::CreateFileW(package_.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr))
              .valid());
      tries_.push_back(::MoveFileW(package_.c_str(), aside.c_str()) != FALSE);
      tries_.push_back(::DeleteFileW(package_.c_str()) != FALSE);
    }
    return Win32PrereqSystem::Run(application, command_line, timeout_ms);
  }

  const std::vector<bool>& tries() const { return tries_; }

 private:
  std::wstring package_;
  std::vector<bool> tries_;  // write, rename, delete: whether each got through
};

TEST_F(LauncherUnderWine, HoldsThePackageWhileWindowsInstallerRuns) {
  const std::wstring package = Package(L"normal");
  SwappingSystem system(package);
  EXPECT_EQ(RunLauncher(std::vector<std::wstring>{kLauncher, package}, system), 0u);
  EXPECT_EQ(system.tries(), (std::vector<bool>{false, false, false}))
      << "write, rename, delete while msiexec runs";
  EXPECT_TRUE(Installed(L"core.txt")) << "msiexec read the held package";
  EXPECT_TRUE(UniqueHandle(::CreateFileW(package.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr))
                  .valid())
      << "let go once msiexec exited";
}

TEST_F(LauncherUnderWine, PassesInstallerFailureThrough) {
  EXPECT_EQ(Launch(L" \"" + Package(L"fail") + L"\""), 1603u);
  EXPECT_FALSE(Installed(L"core.txt"));
}

TEST_F(LauncherUnderWine, ReportsAScheduledReboot) {
  EXPECT_EQ(Launch(L" \"" + Package(L"reboot") + L"\""), 3010u);
  EXPECT_TRUE(Installed(L"core.txt"));
  EXPECT_TRUE(Installed(L"drivers\\tap.txt"));
}

}  // namespace
}  // namespace tovra::prereq
