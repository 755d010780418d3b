// The test app built from the plugin package the way a Flutter app is built: its
// bundle holds the app, the engine, the plugin DLL and the Agent side by side,
// and the app run from there registers the plugin through the generated
// registrant, which starts the bundle's Agent and reaches the Service. The app's
// transcript is printed into the test output.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <iostream>

#include "common/ipc/pipe_names.h"
#include "common/win/handles_win.h"
#include "tests/support/child_process_win.h"
#include "tests/support/pipe_wait_win.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

fs::path Bundle() {
  return fs::path(WinePathFromEnvironment(L"TOVRA_PACKAGE_BUNDLE"));
}

std::wstring ImagePath(uint32_t pid) {
  common::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t path[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (!process || !::QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
  return std::wstring(path, size);
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

TEST(PackageApp, BundleHoldsTheAppTheEngineThePluginAndTheAgentSideBySide) {
  ASSERT_FALSE(Bundle().empty());
  std::cout << "bundle " << Bundle().string() << "\n";
  for (const wchar_t* name : {L"package_test_app.exe", L"flutter_windows.dll",
                              L"tovra_windows_vpn_plugin.dll", L"ZerkaVPNAgent.exe"}) {
    EXPECT_TRUE(fs::is_regular_file(Bundle() / name)) << fs::path(name).string();
  }
}

TEST(PackageApp, TheAppRunFromItsBundleReachesTheServiceThroughTheBundledAgent) {
  KillProcessesNamed(L"ZerkaVPNAgent.exe");
  ChildProcess service;
  ASSERT_TRUE(service.Start(TestEnv(L"TOVRA_SERVICE_EXE"), L"--console"));
  ASSERT_TRUE(WaitForRolePipe(common::kServicePipeRole, 30000)) << "the Service never listened";

  ChildProcess app;
  ASSERT_TRUE(app.Start((Bundle() / L"package_test_app.exe").wstring(), L"",
                        {L"ZERKA_AGENT_IDLE_SECONDS=30"}, ChildOutput::capture));
  const auto exit_code = app.Wait(240000);
  const std::string transcript = app.Output();
  std::cout << "---- package_test_app transcript\n" << transcript << "----\n";

  // The Agent the plugin started is the bundle's own.
  const std::vector<uint32_t> agents = ProcessIdsNamed(L"ZerkaVPNAgent.exe");
  ASSERT_EQ(agents.size(), 1u);
  EXPECT_TRUE(SameFile(ImagePath(agents[0]), Bundle() / L"ZerkaVPNAgent.exe"))
      << fs::path(ImagePath(agents[0])).string();
  KillProcessesNamed(L"ZerkaVPNAgent.exe");

  ASSERT_TRUE(exit_code.has_value()) << "the app did not finish";
  EXPECT_EQ(*exit_code, 0u);
  for (const char* line : {"registered TovraWindowsVpnPluginCApi from", "isAvailable -> [true]",
                           "getServiceHealth -> [TovraServiceHealth[TovraComponentState(2)",
                           "the plugin reached the Service"}) {
    EXPECT_NE(transcript.find(line), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace tovra::testing
