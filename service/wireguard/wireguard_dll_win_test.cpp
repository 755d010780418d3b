#include "service/wireguard/wireguard_dll_win.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "common/text/text.h"
#include "tests/support/temp_folder_win.h"
#include "tests/fakes/wireguard/wireguard_standin.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::service {
namespace {

using ::testing::HasSubstr;
using tovra::testing::TempFolder;
using tovra::testing::WriteTextFile;

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

std::wstring StandIn(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? common::Utf8ToWide(value) : std::wstring();
}

class WireGuardDllTest : public ::testing::Test {
 protected:
  // Copies a stand-in into the test's folder as wireguard.dll, beside its script.
  std::wstring Install(const char* variable = "ZERKA_TEST_WIREGUARD_DLL") {
    const std::wstring source = StandIn(variable);
    EXPECT_FALSE(source.empty()) << variable << " is not set";
    const std::wstring target = folder / L"wireguard.dll";
    EXPECT_TRUE(::CopyFileW(source.c_str(), target.c_str(), FALSE));
    return target;
  }
  void Script(std::string_view text) {
    ASSERT_TRUE(WriteTextFile(folder / kStandInScriptName, text));
  }
  LONG Count(const char* name) {
    using Fn = LONG(WINAPI*)();
    HMODULE m = ::GetModuleHandleW((folder / L"wireguard.dll").c_str());
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(m, name)));
    return fn ? fn() : -1;
  }

  TempFolder folder;
};

TEST_F(WireGuardDllTest, SumsCountersOverPeersAndConvertsTheLatestHandshake) {
  Script(
      "adapter=present\n"
      "peer=100,200," +
      std::to_string(kUnixEpochAsFileTime + 17000000000000000ULL) +
      ",3\n"
      "peer=1,2,0,0\n"
      "peer=10,20," +
      std::to_string(kUnixEpochAsFileTime + 10000) + ",1\n");
  WireGuardDll dll;
  ASSERT_TRUE(dll.Load(Install()));
  EXPECT_EQ(dll.Query(L"zerkavpnwireguard"), (AdapterSnapshot{true, 222, 111, 1700000000000}));
  EXPECT_EQ(Count("StandInOpenCount"), Count("StandInCloseCount"))
      << "every opened adapter is closed";

  Script("adapter=present\npeer=5,6,0,0\n");
  EXPECT_EQ(dll.Query(L"zerkavpnwireguard"), (AdapterSnapshot{true, 6, 5, 0}))
      << "follows the adapter";
}

TEST_F(WireGuardDllTest, SizesOutOfBoundsGivePresentWithZeroCounters) {
  WireGuardDll dll;
  ASSERT_TRUE(dll.Load(Install()));
  for (const char* line :
       {"required_size=79", "required_size=524289", "reported_size=79", "reported_size=100000"}) {
    Script(std::string("adapter=present\npeer=1,2,3,0\n") + line + "\n");
    EXPECT_EQ(dll.Query(L"zerkavpnwireguard"), (AdapterSnapshot{true, 0, 0, 0})) << line;
  }
  EXPECT_EQ(Count("StandInOpenCount"), 4);
  EXPECT_EQ(Count("StandInCloseCount"), 4);
}

TEST_F(WireGuardDllTest, AnAdapterThatDoesNotExistIsNotPresent) {
  Script("adapter=absent\npeer=1,2,3,0\n");
  WireGuardDll dll;
  ASSERT_TRUE(dll.Load(Install()));
  EXPECT_EQ(dll.Query(L"zerkavpnwireguard"), AdapterSnapshot{});
}

TEST_F(WireGuardDllTest, TheAdapterExistsWhileTheTunnelProgramHoldsItsMutex) {
  Script("peer=1,2,0,0\n");
  WireGuardDll dll;
  ASSERT_TRUE(dll.Load(Install()));
  EXPECT_FALSE(dll.Query(L"zerkavpnwireguard").present);
  HANDLE tunnel = ::CreateMutexW(nullptr, FALSE,
                                 (std::wstring(kTunnelMutexPrefix) + L"zerkavpnwireguard").c_str());
  ASSERT_NE(tunnel, nullptr);
  EXPECT_TRUE(dll.Query(L"zerkavpnwireguard").present);
  ::CloseHandle(tunnel);
  EXPECT_FALSE(dll.Query(L"zerkavpnwireguard").present);
}

TEST_F(WireGuardDllTest, TheBufferHoldingThePrivateKeyIsWipedBeforeRelease) {
  Script("adapter=present\npeer=1,2,0,4\n");
  WireGuardDll dll;
  ASSERT_TRUE(dll.Load(Install()));
  common::SecretBuffer scratch;
  EXPECT_EQ(dll.Query(L"zerkavpnwireguard", scratch).rx_bytes, 2u);
  ASSERT_GE(scratch.capacity(), 80u + 136u + 4u * 24u) << "the buffer was used";
  EXPECT_TRUE(std::all_of(scratch.data(), scratch.data() + scratch.capacity(),
                          [](uint8_t b) { return b == 0; }));
}

TEST_F(WireGuardDllTest, ALibraryWithoutAllThreeExportsIsReleasedAndNeverUsed) {
  const std::wstring path = Install("ZERKA_TEST_WIREGUARD_DLL_NO_CONFIG");
  Script("adapter=present\n");
  WireGuardDll dll;
  tovra::testing::StderrCapture capture;
  EXPECT_FALSE(dll.Load(path));
  EXPECT_THAT(capture.Text(),
              HasSubstr("ERR  wireguard.dll missing a required export -> fail closed"));
  EXPECT_EQ(::GetModuleHandleW(path.c_str()), nullptr) << "module freed";
  EXPECT_EQ(dll.Query(L"zerkavpnwireguard"), AdapterSnapshot{});
}

TEST_F(WireGuardDllTest, OnlyAnAbsolutePathIsLoaded) {
  WireGuardDll dll;
  tovra::testing::StderrCapture capture;
  EXPECT_FALSE(dll.Load(L""));
  EXPECT_FALSE(dll.Load(L"wireguard.dll"));
  EXPECT_EQ(capture.Text(), "") << "refused before any load attempt";
  EXPECT_FALSE(dll.Load(folder / L"absent.dll"));
  EXPECT_THAT(capture.Text(), HasSubstr("ERR  wireguard.dll load failed (win32="));
}

}  // namespace
}  // namespace tovra::service
