#include "service/openvpn/openvpn_staging_win.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "common/base/secret_buffer.h"
#include "common/base/secure_zero.h"
#include "common/log/log.h"
#include "common/openvpn/openvpn_profile_validator.h"
#include "common/win/folder_chain_win.h"
#include "common/win/handles_win.h"

namespace tovra::service {

namespace {

using common::LogLevel;
using common::UniqueHandle;
using common::UniqueLocal;

constexpr wchar_t kOpenVpnKey[] = L"SOFTWARE\\OpenVPN";
constexpr wchar_t kConfigDirValue[] = L"config_dir";
constexpr DWORD kConfigDirBufferBytes = 1040;
constexpr wchar_t kAutoConnectService[] = L"OpenVPNService";
constexpr size_t kWriteChunk = 65536;
constexpr DWORD kOverwriteChunk = 4096;
constexpr DWORD kMaxOverwriteBytes = 0xFFFFF;

// ---- the configuration directory ----

// The REG_SZ value, or nothing. Registry strings need not end with a NUL: the
// length read is what counts, cut at the first NUL if there is one. A value
// that fills the whole buffer may have been cut short, so it counts as missing.
std::optional<std::wstring> ReadConfigDirValue() {
  common::UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOpenVpnKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::array<wchar_t, kConfigDirBufferBytes / sizeof(wchar_t)> buffer{};
  DWORD type = 0;
  DWORD bytes = kConfigDirBufferBytes;
  if (::RegQueryValueExW(key.get(), kConfigDirValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ || bytes >= kConfigDirBufferBytes) {
    return std::nullopt;
  }
  std::wstring value(buffer.data(), bytes / sizeof(wchar_t));
  const size_t nul = value.find(L'\0');
  if (nul != std::wstring::npos) value.resize(nul);
  return value;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
  common::UniqueCoTaskString folder;
  if (FAILED(::SHGetKnownFolderPath(id, 0, nullptr, folder.put())) || !folder) return {};
  return folder.get();
}

std::wstring ProgramFilesFolder() {
  std::wstring folder = KnownFolder(FOLDERID_ProgramFilesX64);
  if (folder.empty()) folder = KnownFolder(FOLDERID_ProgramFiles);
  return folder;
}

bool IsDirectoryByName(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The DACL's entries; nothing when it cannot be read or is a null DACL.
std::optional<std::vector<AceFact>> ReadDaclFacts(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD read =
      ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &raw);
  UniqueLocal descriptor(raw);
  if (read != ERROR_SUCCESS) {
    common::LogWin32(LogLevel::Warn, L"openvpn staging: config_dir DACL unreadable", read);
    return std::nullopt;
  }
  if (dacl == nullptr) return std::nullopt;
  std::vector<AceFact> facts;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return std::nullopt;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    AceFact fact;
    fact.type = header->AceType;
    fact.flags = header->AceFlags;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      // Allowed and denied entries share one layout.
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      fact.mask = allowed->Mask;
      wchar_t* text = nullptr;
      if (!::ConvertSidToStringSidW(&allowed->SidStart, &text)) return std::nullopt;
      UniqueLocal owned(text);
      fact.sid = text;
    }
    facts.push_back(std::move(fact));
  }
  return facts;
}

// Whether "OpenVPNService" keeps the configuration directory from being
// trusted: it would start every profile found there by itself. Only a service
// that does not exist, or one that is disabled and stopped, lets staging go on.
bool AutoConnectServiceBlocks() {
  common::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return true;
  common::UniqueServiceHandle service(::OpenServiceW(manager.get(), kAutoConnectService,
                                                     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  if (!service) {
    // Only its absence passes; a service we cannot look at is not known to be off.
    return ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
  }
  DWORD needed = 0;
  ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  if (needed == 0) return true;
  std::vector<uint8_t> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(service.get(), config, needed, &needed)) return true;
  if (config->dwStartType != SERVICE_DISABLED) return true;
  SERVICE_STATUS status{};
  if (!::QueryServiceStatus(service.get(), &status)) return true;
  return status.dwCurrentState != SERVICE_STOPPED;
}

// ---- the staging folder ----

// Holds the staging folder through the shared folder chain: its parent, the
// configuration directory judged trusted, by path; the folder itself opened
// relative to it without following a reparse point, checked on its handle and by
// its entry in the parent, and held with list and traverse rights and no delete
// sharing, so it cannot be renamed or replaced while held. Created when asked
// and missing (inheriting the parent's security). Empty when it is missing, not
// a folder, or a reparse point.
common::FolderChain HoldStagingFolder(const std::wstring& staging_dir, bool create,
                                      DWORD extra_access) {
  const PathParts parts = SplitParentAndName(TrimTrailingSeparators(staging_dir));
  if (parts.parent.empty() || parts.name.empty()) return {};
  std::wstring parent(parts.parent);
  if (parent.size() == 2 && parent[1] == L':')
    parent += L'\\';  // "C:" alone is a drive's current folder
  common::FolderChain chain = common::OpenFolderChain(
      parent, {parts.name}, {.create_missing = create, .leaf_access = extra_access});
  if (chain) return chain;
  if (chain.refused_reparse_point()) {
    common::Log(LogLevel::Warn, L"openvpn staging: staging folder is a reparse point -> refusing");
  } else if (create || (chain.error.code != ERROR_FILE_NOT_FOUND &&
                        chain.error.code != ERROR_PATH_NOT_FOUND)) {
    // A folder not made yet is no news to a sweep or an unstage.
    common::LogWin32(LogLevel::Info,
                     L"openvpn staging: staging folder not usable: " + chain.failed_folder + L": " +
                         std::wstring(chain.error.api),
                     chain.error.code);
  }
  return chain;
}

bool WellKnownSid(WELL_KNOWN_SID_TYPE type, std::array<uint8_t, SECURITY_MAX_SID_SIZE>& sid) {
  DWORD size = static_cast<DWORD>(sid.size());
  return ::CreateWellKnownSid(type, nullptr, sid.data(), &size) != 0;
}

EXPLICIT_ACCESSW SidEntry(PSID sid, DWORD rights, DWORD inheritance, TRUSTEE_TYPE type) {
  EXPLICIT_ACCESSW e{};
  e.grfAccessPermissions = rights;
  e.grfAccessMode = SET_ACCESS;
  e.grfInheritance = inheritance;
  e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  e.Trustee.TrusteeType = type;
  e.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  return e;
}

bool ProtectFolder(HANDLE folder) {
  UniqueLocal dacl = BuildStagingFolderDacl();
  if (!dacl) {
    common::Log(LogLevel::Error, L"openvpn staging: failed to build staging folder DACL");
    return false;
  }
  // Through the held handle, never by name: the folder protected is the one
  // that was checked, whatever the name points at by now.
  const DWORD applied = ::SetSecurityInfo(
      folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, static_cast<PACL>(dacl.get()), nullptr);
  if (applied != ERROR_SUCCESS) {
    common::LogWin32(LogLevel::Warn, L"openvpn staging: could not protect staging folder", applied);
    return false;
  }
  return true;
}

// Creates the staging folder if needed, holds it and protects it; the held
// chain, or an empty one.
common::FolderChain PrepareAndHold(const std::wstring& staging_dir) {
  common::FolderChain folder = HoldStagingFolder(staging_dir, true, READ_CONTROL | WRITE_DAC);
  if (!folder || !ProtectFolder(folder.leaf())) return {};
  return folder;
}

// ---- random names ----

using RtlGenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);

RtlGenRandomFn ResolveRtlGenRandom() {
  static RtlGenRandomFn fn = [] {
    HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
    if (advapi == nullptr) return RtlGenRandomFn{};
    return reinterpret_cast<RtlGenRandomFn>(
        reinterpret_cast<void*>(::GetProcAddress(advapi, "SystemFunction036")));
  }();
  return fn;
}

std::array<uint8_t, kStagedRandomBytes> DrawRandomBytes() {
  std::array<uint8_t, kStagedRandomBytes> bytes{};
  const RtlGenRandomFn gen = ResolveRtlGenRandom();
  if (gen != nullptr && gen(bytes.data(), static_cast<ULONG>(bytes.size()))) return bytes;
  common::Log(LogLevel::Warn, L"openvpn staging: RtlGenRandom unavailable, weaker name used");
  for (uint8_t& b : bytes)
    b = static_cast<uint8_t>((static_cast<uint64_t>(std::rand()) ^ ::GetTickCount64()) & 0xFF);
  return bytes;
}

// ---- deleting by handle ----

UniqueHandle OpenEntryForDelete(const std::wstring& path, DWORD access) {
  return UniqueHandle(::CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool IsRegularFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  return ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

void OverwriteWithZeros(HANDLE file, DWORD size) {
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return;
  static const uint8_t zeros[kOverwriteChunk] = {};
  DWORD left = size;
  while (left > 0) {
    DWORD written = 0;
    if (!::WriteFile(file, zeros, std::min(left, kOverwriteChunk), &written, nullptr) ||
        written == 0) {
      break;
    }
    left -= std::min(left, written);
  }
  ::FlushFileBuffers(file);
}

enum class DeleteOutcome { kDeleted, kAbsent, kRefused, kFailed };

// Deletes one entry of the (held) staging folder through a handle that did not
// follow a reparse point, and only when that handle shows a regular file. Its
// bytes are overwritten with zeros first when it is the file's only name.
DeleteOutcome DeleteStagedEntry(const std::wstring& path) {
  constexpr DWORD kFull = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  UniqueHandle file = OpenEntryForDelete(path, kFull);
  DWORD error = file ? ERROR_SUCCESS : ::GetLastError();
  if (!file && error == ERROR_ACCESS_DENIED) {
    // A read-only file refuses write access: clear the attribute through a
    // handle that needs none (after checking what it is), then open again.
    UniqueHandle attributes =
        OpenEntryForDelete(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION info{};
    if (attributes && IsRegularFile(attributes.get(), info)) {
      FILE_BASIC_INFO basic{};  // zero times: unchanged
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      ::SetFileInformationByHandle(attributes.get(), FileBasicInfo, &basic, sizeof basic);
    }
    attributes.reset();
    file = OpenEntryForDelete(path, kFull);
    error = file ? ERROR_SUCCESS : ::GetLastError();
  }
  if (!file) {
    return (error == ERROR_FILE_NOT_FOUND) ? DeleteOutcome::kAbsent : DeleteOutcome::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!IsRegularFile(file.get(), info)) return DeleteOutcome::kRefused;
  if (info.nNumberOfLinks == 1 && info.nFileSizeHigh == 0 && info.nFileSizeLow >= 1 &&
      info.nFileSizeLow <= kMaxOverwriteBytes) {
    OverwriteWithZeros(file.get(), info.nFileSizeLow);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
    return DeleteOutcome::kFailed;
  }
  return DeleteOutcome::kDeleted;
}

}  // namespace

// ---- building blocks ----

UniqueLocal BuildStagingFolderDacl() {
  std::array<uint8_t, SECURITY_MAX_SID_SIZE> system{}, admins{}, users{};
  if (!WellKnownSid(WinLocalSystemSid, system) ||
      !WellKnownSid(WinBuiltinAdministratorsSid, admins) ||
      !WellKnownSid(WinBuiltinUsersSid, users)) {
    return {};
  }
  constexpr DWORD kInherited = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  EXPLICIT_ACCESSW entries[3] = {
      SidEntry(system.data(), FILE_ALL_ACCESS, kInherited, TRUSTEE_IS_USER),
      SidEntry(admins.data(), FILE_ALL_ACCESS, kInherited, TRUSTEE_IS_GROUP),
      // Users may pass through to a file they were given, not list the folder.
      SidEntry(users.data(), FILE_TRAVERSE, NO_INHERITANCE, TRUSTEE_IS_GROUP),
  };
  PACL acl = nullptr;
  if (::SetEntriesInAclW(3, entries, nullptr, &acl) != ERROR_SUCCESS) return {};
  return UniqueLocal(acl);
}

bool StagedFileSecurity::Build(PSID caller_sid) {
  if (caller_sid == nullptr || !::IsValidSid(caller_sid)) return false;
  std::array<uint8_t, SECURITY_MAX_SID_SIZE> system{}, admins{};
  if (!WellKnownSid(WinLocalSystemSid, system) ||
      !WellKnownSid(WinBuiltinAdministratorsSid, admins))
    return false;
  EXPLICIT_ACCESSW entries[3] = {
      SidEntry(system.data(), FILE_ALL_ACCESS, NO_INHERITANCE, TRUSTEE_IS_USER),
      SidEntry(admins.data(), FILE_ALL_ACCESS, NO_INHERITANCE, TRUSTEE_IS_GROUP),
      SidEntry(caller_sid, FILE_GENERIC_READ, NO_INHERITANCE, TRUSTEE_IS_USER),
  };
  PACL acl = nullptr;
  if (::SetEntriesInAclW(3, entries, nullptr, &acl) != ERROR_SUCCESS) return false;
  dacl_.reset(acl);
  // Protected, so nothing inheritable above the staging folder is merged into
  // a file that carries the profile's keys.
  return ::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
         ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
         ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// ---- the operations ----

ConfigDirResolution ResolveConfigDir() {
  ConfigDirResolution out;
  const std::optional<std::wstring> value = ReadConfigDirValue();
  const ConfigDirStatus form = JudgeConfigDirForm(value, ProgramFilesFolder());
  if (form != ConfigDirStatus::kTrusted) {
    out.status = static_cast<uint16_t>(form);
    return out;
  }
  const std::wstring trimmed(TrimTrailingSeparators(*value));
  if (!IsDirectoryByName(trimmed)) {
    out.status = static_cast<uint16_t>(ConfigDirStatus::kNotADirectory);
    return out;
  }
  if (GrantsUnprivilegedWrite(ReadDaclFacts(trimmed))) {
    out.status = static_cast<uint16_t>(ConfigDirStatus::kUnprivilegedWrite);
    return out;
  }
  if (AutoConnectServiceBlocks()) {
    out.status = static_cast<uint16_t>(ConfigDirStatus::kAutoConnectService);
    return out;
  }
  out.status = static_cast<uint16_t>(ConfigDirStatus::kTrusted);
  out.config_dir = *value;
  out.staging_dir = *value + std::wstring(kStagingSubfolder);
  return out;
}

bool PrepareStagingDir(const std::wstring& staging_dir) {
  return static_cast<bool>(PrepareAndHold(staging_dir));
}

StageOutcome StageProfile(const std::wstring& staging_dir, uint32_t stage_key,
                          std::string_view profile, PSID caller_sid) {
  StageOutcome out;
  // The only copy of the profile this function makes lives in wiped storage.
  const common::SecretBuffer text = openvpn::EnsureDirective(profile, kAuthNoCache);

  if (openvpn::ValidateOpenVpnProfile(text.view()) != openvpn::OpenVpnProfileCode::kAccepted) {
    out.result = static_cast<uint16_t>(StageResult::kBadProfile);
    return out;
  }
  // Held (no delete sharing) until the file is written, so the folder that was
  // checked and protected is the folder the file goes into.
  const common::FolderChain folder = PrepareAndHold(staging_dir);
  if (!folder) {
    out.result = static_cast<uint16_t>(StageResult::kNoStagingDir);
    return out;
  }
  StagedFileSecurity security;
  if (!security.Build(caller_sid)) {
    out.result = static_cast<uint16_t>(StageResult::kNoDescriptor);
    return out;
  }
  const std::array<uint8_t, kStagedRandomBytes> random = DrawRandomBytes();
  const std::wstring name = FormatStagedFileName(stage_key, random);
  const std::wstring path = WithFinalBackslash(staging_dir) + name;

  // Created in the held folder, never by path: the file lands in the folder
  // that was checked and protected.
  common::FileUnder created = common::CreateFileUnder(folder.leaf(), name,
                                                      {.access = GENERIC_WRITE | WRITE_DAC | DELETE,
                                                       .share = 0,
                                                       .creation = common::FileCreation::kCreateNew,
                                                       .security = security.get()});
  if (!created.file) {
    common::LogWin32(LogLevel::Error, L"openvpn staging: CreateFile failed", created.error.code);
    out.result = static_cast<uint16_t>(StageResult::kWriteFailed);
    return out;
  }
  const UniqueHandle file = std::move(created.file);
  ::SetSecurityInfo(file.get(), SE_FILE_OBJECT,
                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, security.dacl(), nullptr);

  size_t offset = 0;
  while (offset < text.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(kWriteChunk, text.size() - offset));
    DWORD written = 0;
    if (!::WriteFile(file.get(), text.data() + offset, chunk, &written, nullptr) || written == 0) {
      const DWORD error = ::GetLastError();
      common::LogWin32(LogLevel::Error, L"openvpn staging: write failed, file removed", error);
      // Removed through the handle that wrote it: no other file can be hit.
      ::FlushFileBuffers(file.get());
      if (offset > 0 && offset <= kMaxOverwriteBytes)
        OverwriteWithZeros(file.get(), static_cast<DWORD>(offset));
      FILE_DISPOSITION_INFO disposition{TRUE};
      ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                   sizeof disposition);
      out.result = static_cast<uint16_t>(StageResult::kWriteFailed);
      return out;
    }
    offset += written;
  }
  ::FlushFileBuffers(file.get());
  out.result = static_cast<uint16_t>(StageResult::kStaged);
  out.path = path;
  return out;
}

bool UnstageProfile(const std::wstring& staging_dir, const std::wstring& path) {
  if (!MayUnstage(staging_dir, path)) return false;
  const common::FolderChain folder = HoldStagingFolder(staging_dir, false, 0);
  if (!folder) return false;
  const DeleteOutcome outcome = DeleteStagedEntry(path);
  return outcome == DeleteOutcome::kDeleted || outcome == DeleteOutcome::kAbsent;
}

uint32_t SweepStaleProfiles(const std::wstring& staging_dir) {
  const common::FolderChain folder = HoldStagingFolder(staging_dir, false, 0);
  if (!folder) return 0;
  const std::wstring dir = WithFinalBackslash(staging_dir);
  WIN32_FIND_DATAW entry{};
  HANDLE raw = ::FindFirstFileW((dir + L"*").c_str(), &entry);
  if (raw == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND)
      common::LogWin32(LogLevel::Info, L"openvpn staging: sweep could not list the folder", error);
    return 0;
  }
  struct FindCloser {
    HANDLE h;
    ~FindCloser() { ::FindClose(h); }
  } closer{raw};
  uint32_t removed = 0;
  do {
    const std::wstring_view name(entry.cFileName);
    const bool plain_file =
        (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (plain_file && FollowsStagedNameRule(name) &&
        DeleteStagedEntry(dir + std::wstring(name)) == DeleteOutcome::kDeleted) {
      ++removed;
    }
  } while (::FindNextFileW(raw, &entry));
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES)
    common::LogWin32(LogLevel::Info, L"openvpn staging: sweep stopped by a listing error", error);
  return removed;
}

StagedCount CountStagedProfiles(const std::wstring& staging_dir) {
  StagedCount out;
  if (staging_dir.empty()) return out;
  const std::wstring dir = WithFinalBackslash(staging_dir);
  if (!IsDirectoryByName(std::wstring(TrimTrailingSeparators(dir)))) return out;
  WIN32_FIND_DATAW entry{};
  HANDLE raw = ::FindFirstFileW((dir + L"ovpn-*.ovpn").c_str(), &entry);
  if (raw == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    out.error = error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES;
    return out;
  }
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ++out.count;
  } while (::FindNextFileW(raw, &entry));
  const DWORD error = ::GetLastError();
  ::FindClose(raw);
  out.error = error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES;
  return out;
}

}  // namespace tovra::service
