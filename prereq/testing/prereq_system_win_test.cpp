// The Win32 system queries against the real (Wine) machine. What Wine cannot
// show (TAP devices, device status, restarting devices) is covered by the fakes
// in the portable tests.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>

#include "common/win/handles_win.h"
#include "prereq/launcher.h"
#include "prereq/prereq_system_win.h"
#include "prereq/tap_checks.h"
#include "tests/support/own_program_win.h"
#include "tests/support/temp_folder_win.h"

namespace tovra::prereq {
namespace {

using common::UniqueRegKey;
using common::UniqueServiceHandle;
namespace fs = std::filesystem;

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(Win32PrereqSystem, ServiceSummaryFollowsTheConfiguredStartType) {
  Win32PrereqSystem system;
  const ServiceSummary missing = system.QueryServiceSummary(L"tovra-no-such-service");
  EXPECT_EQ(missing,
            (ServiceSummary{
                false, false, false, false, {ERROR_SERVICE_DOES_NOT_EXIST, L"OpenServiceW"}}));
  EXPECT_TRUE(MeansAbsent(missing.error));
  // A name no service can have is not an absent service.
  const ServiceSummary unnamable = system.QueryServiceSummary(L"a\\b");
  EXPECT_FALSE(unnamable.exists);
  EXPECT_EQ(unnamable.error, (Win32Error{ERROR_INVALID_NAME, L"OpenServiceW"}));
  EXPECT_FALSE(MeansAbsent(unnamable.error));

  const wchar_t kName[] = L"tovra-prereq-summary-test";
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  if (UniqueServiceHandle stale{::OpenServiceW(manager.get(), kName, DELETE)})
    ::DeleteService(stale.get());
  const std::wstring binary = L"\"" + tovra::testing::OwnProgramPath() + L"\"";
  UniqueServiceHandle service(::CreateServiceW(
      manager.get(), kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED,
      SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service);
  EXPECT_EQ(system.QueryServiceSummary(kName), (ServiceSummary{true, true, false, false}));

  ASSERT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                     SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr));
  EXPECT_EQ(system.QueryServiceSummary(kName), (ServiceSummary{true, false, false, true}));
  ::DeleteService(service.get());
}

TEST(Win32PrereqSystem, MachineFacts) {
  Win32PrereqSystem system;
  EXPECT_TRUE(system.IsNativeAmd64());
  std::optional<std::wstring> dir = system.SystemDirectory().value;
  ASSERT_TRUE(dir);
  EXPECT_TRUE(ContainsIgnoreCase(*dir, L"\\system32"));
  const std::wstring windows_dir = dir->substr(0, dir->size() - std::wstring(L"\\system32").size());
  EXPECT_EQ(system.ExpandEnvironment(L"%SystemRoot%\\x"), windows_dir + L"\\x");
  const std::wstring big(20000, L'a');  // far beyond any fixed buffer
  EXPECT_TRUE(system.ExpandEnvironment(big) == big);
  // Wine's SetupAPI lists no network devices.
  const TapDeviceList devices = system.EnumerateTapDevices();
  EXPECT_TRUE(devices.devices.empty());
  EXPECT_FALSE(devices.error) << devices.error.code;
  const SystemStep restart = system.RestartTapDevices();
  EXPECT_TRUE(restart.done);
  EXPECT_FALSE(restart.error) << restart.error.code;
}

TEST(Win32PrereqSystem, ReadsAFileVersionResource) {
  Win32PrereqSystem system;
  const SystemFact<DriverVersion> own = system.ReadFileVersion(tovra::testing::OwnProgramPath());
  EXPECT_EQ(own.value, (DriverVersion{{9, 27, 3, 17}}));
  EXPECT_FALSE(own.error);
  const tovra::testing::TempFolder scratch(L"tovra-prereq");
  const fs::path temp(scratch.path());
  WriteBytes(temp / L"plain.sys", "no resources here");
  fs::create_directories(temp / L"folder.sys");
  struct Row {
    const wchar_t* name;
    bool absent;  // the failure only says there is no version to read
  };
  for (const Row& row :
       {Row{L"plain.sys", true}, Row{L"missing.sys", true}, Row{L"folder.sys", false}}) {
    const SystemFact<DriverVersion> none = system.ReadFileVersion((temp / row.name).wstring());
    EXPECT_EQ(none.value, std::nullopt);
    EXPECT_NE(none.error.code, 0u);
    EXPECT_EQ(none.error.api, L"GetFileVersionInfoSizeW");
    EXPECT_EQ(MeansAbsent(none.error), row.absent) << none.error.code;
  }
}

TEST(Win32PrereqSystem, FileFactsForThePathRules) {
  Win32PrereqSystem system;
  const tovra::testing::TempFolder scratch(L"tovra-prereq");
  const fs::path temp(scratch.path());
  const std::string signature("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  WriteBytes(temp / L"good.msi", signature + "rest of the file");
  WriteBytes(temp / L"short.msi", signature.substr(0, 7));
  WriteBytes(temp / L"empty.msi", "");
  fs::create_directories(temp / L"folder.msi");

  const auto signature_of = [&](const wchar_t* name) {
    FileHold hold = system.HoldFile((temp / name).wstring());
    EXPECT_TRUE(hold.file) << hold.error.code;
    return hold.file ? hold.file->ReadSignature() : SystemFact<std::array<uint8_t, 8>>{};
  };
  const SystemFact<std::array<uint8_t, 8>> head = signature_of(L"good.msi");
  ASSERT_TRUE(head.value);
  EXPECT_EQ(std::string(head.value->begin(), head.value->end()), signature);
  for (const wchar_t* name : {L"short.msi", L"empty.msi"}) {
    const SystemFact<std::array<uint8_t, 8>> short_read = signature_of(name);
    EXPECT_EQ(short_read.value, std::nullopt);
    EXPECT_FALSE(short_read.error) << "read fine, only too short";
  }
  EXPECT_EQ(system.HoldFile((temp / L"missing.msi").wstring()).error,
            (Win32Error{ERROR_FILE_NOT_FOUND, L"CreateFileW"}));

  // A folder opens, so that its attributes can refuse it.
  FileHold folder = system.HoldFile((temp / L"folder.msi").wstring());
  ASSERT_TRUE(folder.file) << folder.error.code;
  const SystemFact<uint32_t> folder_attributes = folder.file->Attributes();
  ASSERT_TRUE(folder_attributes.value);
  EXPECT_TRUE(*folder_attributes.value & kAttributeDirectory);

  std::optional<uint32_t> attributes =
      system.FileAttributes((temp / L"folder.msi").wstring()).value;
  ASSERT_TRUE(attributes);
  EXPECT_TRUE(*attributes & kAttributeDirectory);
  EXPECT_FALSE(*system.FileAttributes((temp / L"good.msi").wstring()).value & kAttributeDirectory);
  const SystemFact<uint32_t> no_file = system.FileAttributes((temp / L"missing.msi").wstring());
  EXPECT_EQ(no_file.value, std::nullopt);
  EXPECT_EQ(no_file.error, (Win32Error{ERROR_FILE_NOT_FOUND, L"GetFileAttributesW"}));
}

// While the package is held nobody can write, rename or delete it; a reader
// that shares read (as Windows Installer opens a package) still gets in.
TEST(Win32PrereqSystem, AHeldFileCannotBeChangedRenamedOrDeleted) {
  Win32PrereqSystem system;
  const tovra::testing::TempFolder scratch(L"tovra-prereq");
  const fs::path temp(scratch.path());
  const std::wstring package = (temp / L"package.msi").wstring();
  const std::wstring renamed = (temp / L"renamed.msi").wstring();
  const std::wstring other = (temp / L"other.msi").wstring();
  WriteBytes(package, "held bytes");
  WriteBytes(other, "other bytes");
  {
    FileHold hold = system.HoldFile(package);
    ASSERT_TRUE(hold.file) << hold.error.code;
    struct Attempt {
      const char* what;
      std::function<bool()> succeeds;
    };
    const auto opens = [&](DWORD access, DWORD share) {
      return common::UniqueHandle(
                 ::CreateFileW(package.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr))
          .valid();
    };
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const Attempt refused[] = {
        {"open for writing", [&] { return opens(GENERIC_WRITE, kShareAll); }},
        {"open for delete", [&] { return opens(DELETE, kShareAll); }},
        {"rename", [&] { return ::MoveFileW(package.c_str(), renamed.c_str()) != FALSE; }},
        {"replace",
         [&] {
           return ::MoveFileExW(other.c_str(), package.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
         }},
        {"delete", [&] { return ::DeleteFileW(package.c_str()) != FALSE; }},
    };
    for (const Attempt& a : refused) {
      // Sharing violation, or access denied where a replace meets a file in use.
      EXPECT_FALSE(a.succeeds()) << a.what;
    }
    EXPECT_TRUE(fs::exists(package));
    EXPECT_FALSE(fs::exists(renamed));
    EXPECT_TRUE(opens(GENERIC_READ, FILE_SHARE_READ)) << "a reader is let in";
    const SystemFact<std::array<uint8_t, 8>> head = hold.file->ReadSignature();
    ASSERT_TRUE(head.value);
    EXPECT_EQ(std::string(head.value->begin(), head.value->end()), "held byt");
  }
  EXPECT_TRUE(::DeleteFileW(package.c_str())) << "released with the hold";
}

TEST(Win32PrereqSystem, ValidatesRealPaths) {
  Win32PrereqSystem system;
  const tovra::testing::TempFolder scratch(L"tovra-prereq");
  const fs::path temp(scratch.path());
  fs::create_directories(temp / L"dir" / kPackageName);
  fs::create_directories(temp / L"text");
  WriteBytes(temp / L"text" / kPackageName, "just some text\r\n");
  fs::create_directories(temp / L"good");
  WriteBytes(temp / L"good" / L"openvpn-2.7.7-i001-AMD64.MSI",
             std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));

  EXPECT_EQ(ValidateMsiPath((temp / L"dir" / kPackageName).wstring(), system).reason,
            L"path is a directory");
  EXPECT_EQ(ValidateMsiPath((temp / L"text" / kPackageName).wstring(), system).reason,
            L"file is not a Windows Installer package");
  EXPECT_EQ(ValidateMsiPath((temp / L"none" / kPackageName).wstring(), system).reason,
            L"path does not resolve to a file");
  const std::wstring good = (temp / L"good" / L"openvpn-2.7.7-i001-AMD64.MSI").wstring();
  EXPECT_TRUE(ValidateMsiPath(good, system).ok);
}

// An HKLM value this test owns for its duration: deleted afterwards, with its key
// when the test created the key.
class HklmValue {
 public:
  HklmValue(std::wstring key, const wchar_t* name) : key_(std::move(key)), name_(name) {
    UniqueRegKey existing;
    key_existed_ =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                        existing.put()) == ERROR_SUCCESS;
  }
  ~HklmValue() {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        key.put()) == ERROR_SUCCESS) {
      ::RegDeleteValueW(key.get(), name_);
    }
    if (!key_existed_) ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), KEY_WOW64_64KEY, 0);
  }
  void Set(DWORD type, const std::wstring& data) {
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        ::RegSetValueExW(key.get(), name_, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size() * sizeof(wchar_t))),
        ERROR_SUCCESS);
  }

 private:
  std::wstring key_;
  const wchar_t* name_;
  bool key_existed_ = false;
};

TEST(Win32PrereqSystem, ReadsRegistryFacts) {
  using namespace std::string_literals;
  Win32PrereqSystem system;
  {
    HklmValue renames(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                      L"PendingFileRenameOperations");
    const std::wstring data =
        L"\\??\\C:\\nothing-here.tmp\0\0\\??\\C:\\Program Files\\OpenVPN\\bin\\x.dll\0\0"s;
    renames.Set(REG_MULTI_SZ, data);
    EXPECT_EQ(system.ReadPendingRenames().value, data);
    EXPECT_TRUE(HasPendingOpenVpnRename(system));
    renames.Set(REG_SZ, L"C:\\OpenVPN\\x"s);
    const SystemFact<std::wstring> wrong_type = system.ReadPendingRenames();
    EXPECT_EQ(wrong_type.value, std::nullopt);
    EXPECT_FALSE(wrong_type.error) << "a value of another type is absent, not unreadable";
  }
  EXPECT_FALSE(HasPendingOpenVpnRename(system));

  {
    HklmValue image_path(L"SYSTEM\\CurrentControlSet\\Services\\tap0901", L"ImagePath");
    image_path.Set(REG_EXPAND_SZ, L"%SystemRoot%\\System32\\drivers\\tap0901.sys"s);
    std::optional<std::wstring> read = system.ReadTapImagePath().value;
    ASSERT_TRUE(read);
    EXPECT_EQ(read->find(L'%'), std::wstring::npos) << "expanded by the read";
    EXPECT_TRUE(ContainsIgnoreCase(*read, L"\\system32\\drivers\\tap0901.sys"));
  }
  {
    HklmValue openvpn(L"SOFTWARE\\OpenVPN", nullptr);
    openvpn.Set(REG_SZ, L"C:\\Program Files\\OpenVPN\\"s);
    EXPECT_EQ(system.ReadOpenVpnDirectory().value, L"C:\\Program Files\\OpenVPN\\");
    const std::wstring long_dir = L"C:\\" + std::wstring(3000, L'o');
    openvpn.Set(REG_EXPAND_SZ, long_dir);
    EXPECT_TRUE(system.ReadOpenVpnDirectory().value == long_dir);
  }
  const SystemFact<std::wstring> absent = system.ReadOpenVpnDirectory();
  EXPECT_EQ(absent.value, std::nullopt);
  EXPECT_TRUE(MeansAbsent(absent.error)) << absent.error.code;
}

TEST(Win32PrereqSystem, RunReportsTheFull32BitExitCode) {
  Win32PrereqSystem system;
  const std::wstring cmd = *system.SystemDirectory().value + L"\\cmd.exe";
  for (uint32_t code : {0u, 1603u, 3010u, 70000u}) {
    const RunResult r =
        system.Run(cmd, L"\"" + cmd + L"\" /c exit " + std::to_wstring(code), std::nullopt);
    EXPECT_EQ(r.status, RunStatus::exited);
    EXPECT_EQ(r.exit_code, code);
  }
  const RunResult limited = system.Run(cmd, L"\"" + cmd + L"\" /c exit 7", 60000);
  EXPECT_EQ(limited.status, RunStatus::exited);
  EXPECT_EQ(limited.exit_code, 7u);
  const RunResult missing = system.Run(L"C:\\no\\such\\program.exe", L"x", std::nullopt);
  EXPECT_EQ(missing.status, RunStatus::not_started);
  EXPECT_EQ(missing.error.api, L"CreateProcessW");
  EXPECT_NE(missing.error.code, 0u);
  EXPECT_EQ(RunAndWait(L"C:\\no\\such\\program.exe", L"x", system), kExitInstallerNotStarted);
}

}  // namespace
}  // namespace tovra::prereq
