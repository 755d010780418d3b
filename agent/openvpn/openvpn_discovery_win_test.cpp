#include "agent/openvpn/openvpn_discovery_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/win/handles_win.h"

namespace tovra::agent::openvpn {
namespace {

namespace fs = std::filesystem;

// A private folder with an agent folder in it, removed afterwards.
class Folder {
 public:
  Folder() {
    root_ = fs::temp_directory_path() /
            (L"tovra-discovery-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(counter_++));
    fs::create_directories(root_);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::wstring Touch(const std::wstring& relative) {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
    return path.wstring();
  }
  std::wstring path() const { return root_.wstring() + L"\\"; }

 private:
  static inline int counter_ = 0;
  fs::path root_;
};

std::wstring OwnExe() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

TEST(OpenVpnDiscoveryWin, ShippedCopyBeatsTheRegisteredOne) {
  Folder folder;
  const std::wstring shipped = folder.Touch(L"agent\\lib\\openvpn\\amd64\\openvpn.exe");
  const std::wstring registered = folder.Touch(L"installed\\openvpn.exe");
  EXPECT_EQ(fs::path(FindOpenVpnExeIn(folder.path() + L"agent", registered)), fs::path(shipped));
  EXPECT_EQ(FindOpenVpnExeIn(folder.path() + L"elsewhere\\", registered), registered);
  EXPECT_EQ(FindOpenVpnExeIn(L"", registered), registered);
}

TEST(OpenVpnDiscoveryWin, RegisteredPathOfAMissingFileIsNotFound) {
  Folder folder;
  EXPECT_EQ(FindOpenVpnExeIn(folder.path(), folder.path() + L"openvpn.exe"), L"");
  EXPECT_EQ(FindOpenVpnExeIn(folder.path(), std::nullopt), L"");
  std::string version = "stale";
  EXPECT_EQ(ProbeOpenVpnPresenceAt(L"", version), common::Tri::no);
  EXPECT_EQ(version, "");
}

TEST(OpenVpnDiscoveryWin, VersionResourceReadsAsThreeNumbers) {
  std::string version;
  EXPECT_EQ(ProbeOpenVpnPresenceAt(OwnExe(), version), common::Tri::yes);
  EXPECT_EQ(version, "2.6.12");
  Folder folder;
  EXPECT_EQ(ProbeOpenVpnPresenceAt(folder.Touch(L"plain.exe"), version), common::Tri::yes);
  EXPECT_EQ(version, "");
}

TEST(OpenVpnDiscoveryWin, AgentFolderHoldsThisProgram) {
  EXPECT_EQ(fs::path(AgentModuleFolder()), fs::path(OwnExe()).parent_path() / L"");
}

TEST(OpenVpnDiscoveryWin, RegisteredExePathIsAStringValueOnly) {
  const std::wstring subkey =
      L"Software\\TovraTest\\OpenVPN-" + std::to_wstring(::GetCurrentProcessId());
  common::UniqueRegKey key;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  const auto set = [&](DWORD type, const std::wstring& value) {
    ::RegSetValueExW(key.get(), L"exe_path", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  };
  EXPECT_EQ(ReadRegisteredExePath(HKEY_CURRENT_USER, subkey.c_str()), std::nullopt);
  set(REG_SZ, L"C:\\OpenVPN\\bin\\openvpn.exe");
  EXPECT_EQ(ReadRegisteredExePath(HKEY_CURRENT_USER, subkey.c_str()),
            L"C:\\OpenVPN\\bin\\openvpn.exe");
  set(REG_SZ, std::wstring(259, L'a'));  // 520 bytes with its NUL: the most there is room for
  EXPECT_EQ(ReadRegisteredExePath(HKEY_CURRENT_USER, subkey.c_str()), std::wstring(259, L'a'));
  set(REG_SZ, std::wstring(260, L'a'));
  EXPECT_EQ(ReadRegisteredExePath(HKEY_CURRENT_USER, subkey.c_str()), std::nullopt);
  set(REG_EXPAND_SZ, L"%ProgramFiles%\\OpenVPN\\bin\\openvpn.exe");
  EXPECT_EQ(ReadRegisteredExePath(HKEY_CURRENT_USER, subkey.c_str()), std::nullopt);
  set(REG_SZ, L"");
  EXPECT_EQ(ReadRegisteredExePath(HKEY_CURRENT_USER, subkey.c_str()), std::nullopt);
  key.reset();
  ::RegDeleteKeyExW(HKEY_CURRENT_USER, subkey.c_str(), KEY_WOW64_64KEY, 0);
}

TEST(OpenVpnDiscoveryWin, ServiceThatDoesNotExistIsNeitherInstalledNorRunning) {
  EXPECT_EQ(ServiceInstalled(L"TovraNoSuchService"), common::Tri::no);
  EXPECT_EQ(ServiceRunning(L"TovraNoSuchService"), common::Tri::no);
}

}  // namespace
}  // namespace tovra::agent::openvpn
