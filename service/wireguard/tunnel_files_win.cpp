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

bool SamePath(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
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
  held_ = {};
  held_path_.clear();
  common::FolderChain chain = common::OpenFolderChain(
      program_data, {L"Zerka", L"vpn", L"wireguard"},
      {.create_missing = true, .leaf_access = READ_CONTROL | WRITE_DAC | WRITE_OWNER});
  if (!chain) {
    if (chain.refused_reparse_point()) {
      common::Log(LogLevel::Warn, L"wireguard: config folder is a reparse point -> refusing: " +
                                      chain.failed_folder);
    } else {
      common::LogWin32(LogLevel::Warn,
                       L"wireguard: config folder not usable: " + chain.failed_folder + L": " +
                           std::wstring(chain.error.api),
                       chain.error.code);
    }
    return false;
  }
  ProtectedSecurityDescriptor sd;
  if (!sd.Build()) {
    common::Log(LogLevel::Error, L"wireguard: failed to build protected config DACL");
    return false;
  }
  // Through the held handle, never by name: the folder protected is the folder
  // the file goes into.
  const DWORD protect = ::SetSecurityInfo(
      chain.leaf(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      sd.owner(), nullptr, sd.dacl(), nullptr);
  if (protect != ERROR_SUCCESS) {
    common::LogWin32(LogLevel::Warn, L"wireguard: could not protect config dir DACL", protect);
  }
  held_ = std::move(chain);
  held_path_ = program_data + L"\\Zerka\\vpn\\wireguard";
  return true;
}

bool WinTunnelFiles::WriteConfig(const std::wstring& path, std::span<const uint8_t> text) {
  struct Release {
    WinTunnelFiles& files;
    ~Release() {
      files.held_ = {};
      files.held_path_.clear();
    }
  } release{*this};

  // The file is created in the held folder, so it must be the folder named.
  const size_t slash = path.find_last_of(L'\\');
  if (!held_ || slash == std::wstring::npos ||
      !SamePath(std::wstring_view(path).substr(0, slash), held_path_)) {
    common::LogWin32(LogLevel::Error, L"wireguard: config CreateFile failed", ERROR_PATH_NOT_FOUND);
    return false;
  }
  const std::wstring_view name = std::wstring_view(path).substr(slash + 1);

  SecureDeleteFile(path);
  ProtectedSecurityDescriptor sd;
  if (!sd.Build()) {
    common::Log(LogLevel::Error, L"wireguard: failed to build protected config DACL");
    return false;
  }
  const common::FileUnderRequest request{GENERIC_WRITE | WRITE_DAC, 0,
                                         common::FileCreation::kCreateNew, sd.get()};
  common::FileUnder created = common::CreateFileUnder(held_.leaf(), name, request);
  if (!created.file && created.error.code == ERROR_FILE_EXISTS) {
    SecureDeleteFile(path);
    created = common::CreateFileUnder(held_.leaf(), name, request);
  }
  if (!created.file) {
    common::LogWin32(LogLevel::Error, L"wireguard: config CreateFile failed", created.error.code);
    return false;
  }
  UniqueHandle file = std::move(created.file);
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
