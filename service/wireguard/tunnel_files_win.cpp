#include "service/wireguard/tunnel_files_win.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>

#include "common/log/log.h"

namespace tovra::service {

namespace {

using common::LogLevel;
using common::UniqueHandle;

constexpr DWORD kMaxOverwriteBytes = 0xFFFFF;
constexpr DWORD kChunk = 4096;
constexpr size_t kWriteChunk = 65536;

UniqueHandle OpenForSecureDelete(const std::wstring& path, DWORD access) {
  return UniqueHandle(::CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool ResetAttributes(HANDLE file) {
  FILE_BASIC_INFO basic{};  // zero times: unchanged
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

void OverwriteWithZeros(HANDLE file, DWORD size) {
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return;
  static const uint8_t zeros[kChunk] = {};
  DWORD left = size;
  while (left > 0) {
    DWORD written = 0;
    if (!::WriteFile(file, zeros, std::min(left, kChunk), &written, nullptr) || written == 0) break;
    left -= std::min(left, written);
  }
  ::FlushFileBuffers(file);
}

// Opens one folder of the chain without following a reparse point and without
// delete sharing; refuses anything that is not a plain folder.
UniqueHandle HoldFolder(const std::wstring& path, DWORD extra_access) {
  UniqueHandle folder(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE | extra_access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  if (!folder) return {};
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(folder.get(), &info)) return {};
  // The name is checked too once the folder is held (it can no longer be
  // swapped): some file systems report a followed link only by name.
  const DWORD by_name = ::GetFileAttributesW(path.c_str());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      by_name == INVALID_FILE_ATTRIBUTES || (by_name & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    common::Log(LogLevel::Warn,
                L"wireguard: config folder is a reparse point -> refusing: " + path);
    return {};
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {};
  return folder;
}

}  // namespace

bool ProtectedSecurityDescriptor::Build() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  if (!::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                  system_.put()) ||
      !::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, admins_.put())) {
    return false;
  }
  EXPLICIT_ACCESSW entries[2] = {};
  for (EXPLICIT_ACCESSW& e : entries) {
    e.grfAccessPermissions = FILE_ALL_ACCESS;
    e.grfAccessMode = SET_ACCESS;
    e.grfInheritance = NO_INHERITANCE;
    e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  }
  entries[0].Trustee.TrusteeType = TRUSTEE_IS_USER;
  entries[0].Trustee.ptstrName = static_cast<LPWSTR>(system_.get());
  entries[1].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  entries[1].Trustee.ptstrName = static_cast<LPWSTR>(admins_.get());
  PACL acl = nullptr;
  if (::SetEntriesInAclW(2, entries, nullptr, &acl) != ERROR_SUCCESS) return false;
  dacl_.reset(acl);
  // Protected, so no inherited entry is ever merged into what is created.
  return ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
         ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
         ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
         ::SetSecurityDescriptorOwner(&descriptor_, admins_.get(), FALSE) &&
         ::SetSecurityDescriptorGroup(&descriptor_, system_.get(), FALSE);
}

bool WinTunnelFiles::ProgramExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring WinTunnelFiles::ProgramDataFolder() {
  common::UniqueCoTaskString folder;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, folder.put())) || !folder)
    return {};
  return folder.get();
}

bool WinTunnelFiles::PrepareConfigDirectory(const std::wstring& program_data) {
  held_folders_.clear();
  std::wstring path = program_data;
  UniqueHandle base = HoldFolder(path, 0);
  if (!base) return false;
  held_folders_.push_back(std::move(base));
  for (const wchar_t* part : {L"\\Zerka", L"\\vpn", L"\\wireguard"}) {
    path += part;
    ::CreateDirectoryW(path.c_str(), nullptr);  // usually exists already
    const bool last = std::wstring_view(part) == L"\\wireguard";
    UniqueHandle folder = HoldFolder(path, last ? READ_CONTROL | WRITE_DAC | WRITE_OWNER : 0);
    if (!folder) {
      held_folders_.clear();
      return false;
    }
    held_folders_.push_back(std::move(folder));
  }
  ProtectedSecurityDescriptor sd;
  if (!sd.Build()) {
    common::Log(LogLevel::Error, L"wireguard: failed to build protected config DACL");
    held_folders_.clear();
    return false;
  }
  // Through the held handle, never by name: the folder protected is the folder
  // the file goes into.
  const DWORD protect = ::SetSecurityInfo(
      held_folders_.back().get(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      sd.owner(), nullptr, sd.dacl(), nullptr);
  if (protect != ERROR_SUCCESS) {
    common::LogWin32(LogLevel::Warn, L"wireguard: could not protect config dir DACL", protect);
  }
  return true;
}

bool WinTunnelFiles::WriteConfig(const std::wstring& path, std::span<const uint8_t> text) {
  struct Release {
    std::vector<UniqueHandle>& held;
    ~Release() { held.clear(); }
  } release{held_folders_};

  SecureDeleteFile(path);
  ProtectedSecurityDescriptor sd;
  if (!sd.Build()) {
    common::Log(LogLevel::Error, L"wireguard: failed to build protected config DACL");
    return false;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
  const auto create = [&] {
    return UniqueHandle(::CreateFileW(path.c_str(), GENERIC_WRITE | WRITE_DAC, 0, &sa, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  };
  UniqueHandle file = create();
  if (!file && ::GetLastError() == ERROR_FILE_EXISTS) {
    SecureDeleteFile(path);
    file = create();
  }
  if (!file) {
    const DWORD error = ::GetLastError();
    common::LogWin32(LogLevel::Error, L"wireguard: config CreateFile failed", error);
    return false;
  }
  ::SetSecurityInfo(file.get(), SE_FILE_OBJECT,
                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, sd.dacl(), nullptr);
  size_t offset = 0;
  while (offset < text.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(kWriteChunk, text.size() - offset));
    DWORD written = 0;
    if (!::WriteFile(file.get(), text.data() + offset, chunk, &written, nullptr) || written == 0) {
      ::FlushFileBuffers(file.get());
      file.reset();
      SecureDeleteFile(path);
      return false;
    }
    offset += written;
  }
  ::FlushFileBuffers(file.get());
  return true;
}

void WinTunnelFiles::SecureDelete(const std::wstring& path) {
  SecureDeleteFile(path);
}

void SecureDeleteFile(const std::wstring& path) {
  constexpr DWORD kFull = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  UniqueHandle file = OpenForSecureDelete(path, kFull);
  if (!file && ::GetLastError() == ERROR_ACCESS_DENIED) {
    // A read-only file refuses write access: clear the attribute through a
    // handle that needs none, then open again (and check again) in full.
    UniqueHandle attributes =
        OpenForSecureDelete(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (attributes) ResetAttributes(attributes.get());
    attributes.reset();
    file = OpenForSecureDelete(path, kFull);
  }
  if (!file) return;  // nothing there, or a folder
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
  const bool regular =
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && info.nNumberOfLinks == 1;
  ResetAttributes(file.get());
  if (regular && info.nFileSizeHigh == 0 && info.nFileSizeLow >= 1 &&
      info.nFileSizeLow <= kMaxOverwriteBytes) {
    OverwriteWithZeros(file.get(), info.nFileSizeLow);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace tovra::service
