#include <winsock2.h>
#include <ws2tcpip.h>

#include "agent/openvpn/openvpn_environment_win.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "agent/openvpn/openvpn_process_rules.h"
#include "common/base/scope_exit.h"
#include "common/log/log.h"
#include "common/win/folder_chain_win.h"

namespace tovra::agent::openvpn {

namespace {

using common::LogLevel;
using common::UniqueHandle;
using common::UniqueLocal;

std::optional<std::wstring> LocalAppDataFolder() {
  common::UniqueCoTaskString path;
  if (FAILED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, path.put())) ||
      !path) {
    return std::nullopt;
  }
  return std::wstring(path.get());
}

// The token user of this process (a copy of its TOKEN_USER), or nothing.
std::vector<uint8_t> ReadTokenUser() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<uint8_t> buffer(size);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  return buffer;
}

// Through the held handle, so the folder restricted is the one that was
// checked. Nothing depends on it succeeding: the folder is in the user's own
// profile, which is already closed to other users by default.
void RestrictToUser(HANDLE folder) {
  const std::vector<uint8_t> token_user = ReadTokenUser();
  UniqueLocal dacl;
  if (!token_user.empty()) {
    dacl = BuildUserOnlyDacl(reinterpret_cast<const TOKEN_USER*>(token_user.data())->User.Sid);
  }
  if (!dacl) {
    common::Log(LogLevel::Warn, L"openvpn_coordinator: staging directory DACL not built");
    return;
  }
  const DWORD applied = ::SetSecurityInfo(
      folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, static_cast<PACL>(dacl.get()), nullptr);
  if (applied != ERROR_SUCCESS) {
    common::LogWin32(LogLevel::Warn, L"openvpn_coordinator: staging directory DACL not set",
                     applied);
  }
}

// The folder at `path` itself (not a link's target), held without delete
// sharing so it cannot be renamed or replaced while its entries are deleted.
UniqueHandle HoldFolder(const std::wstring& path) {
  if (path.empty()) return {};
  UniqueHandle folder(::CreateFileW(
      path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) return {};
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
      (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return {};
  }
  return folder;
}

// Opens the entry itself: a link is not followed, a directory can be opened
// (and is then left alone), nothing else may open it meanwhile.
UniqueHandle OpenEntry(const std::wstring& path, DWORD access) {
  return UniqueHandle(::CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
}

bool SetNormalAttributes(HANDLE entry) {
  FILE_BASIC_INFO basic{};  // zero times: left unchanged
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic) != 0;
}

void OverwriteWithZeros(HANDLE file, uint64_t size) {
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return;
  static const uint8_t kZeros[kOverwriteBlockBytes] = {};
  uint64_t left = size;
  while (left > 0) {
    const DWORD block = static_cast<DWORD>(std::min<uint64_t>(left, kOverwriteBlockBytes));
    DWORD written = 0;
    if (!::WriteFile(file, kZeros, block, &written, nullptr) || written == 0) break;
    left -= std::min<uint64_t>(left, written);
  }
  ::FlushFileBuffers(file);
}

std::vector<std::wstring> SweptNames(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    // The long name decides; a pattern would also match short (8.3) names.
    if (IsSweptStagingName(found.cFileName)) names.emplace_back(found.cFileName);
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
  return names;
}

bool StartWinsockOnce() {
  static std::mutex mutex;
  static bool started = false;
  std::lock_guard lock(mutex);
  if (started) return true;
  WSADATA data{};
  const int result = ::WSAStartup(MAKEWORD(2, 2), &data);
  if (result != 0) {
    common::LogWin32(LogLevel::Error, L"openvpn_coordinator: port_alloc: WSAStartup failed",
                     static_cast<uint32_t>(result));
    return false;
  }
  started = true;
  return true;
}

}  // namespace

UniqueLocal BuildUserOnlyDacl(PSID user) {
  if (user == nullptr || !::IsValidSid(user)) return {};
  const DWORD size = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) +
                                        ::GetLengthSid(user));
  UniqueLocal acl(::LocalAlloc(LPTR, size));
  if (!acl) return {};
  auto* list = static_cast<PACL>(acl.get());
  if (!::InitializeAcl(list, size, ACL_REVISION) ||
      !::AddAccessAllowedAceEx(list, ACL_REVISION, 0, FILE_ALL_ACCESS, user)) {
    return {};
  }
  return acl;
}

bool SecureDeleteEntry(HANDLE directory, const std::wstring& directory_path,
                       const std::wstring& name) {
  const std::wstring path = directory_path + L"\\" + name;
  constexpr DWORD kAccess = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES;
  UniqueHandle entry = OpenEntry(path, kAccess);
  DWORD error = entry ? ERROR_SUCCESS : ::GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    // A read-only file refuses write access: its attributes are reset through
    // a handle that needs none (and that refuses a directory), then it is
    // opened again and judged on that handle.
    UniqueHandle attributes(::CreateFileW(path.c_str(),
                                          FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (attributes) SetNormalAttributes(attributes.get());
    attributes.reset();
    entry = OpenEntry(path, kAccess);
    error = entry ? ERROR_SUCCESS : ::GetLastError();
  }
  if (!entry) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    common::LogWin32(LogLevel::Warn, L"openvpn_coordinator: staging leftover not opened: " + name,
                     error);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(entry.get(), &info)) {
    error = ::GetLastError();
    common::LogWin32(LogLevel::Warn, L"openvpn_coordinator: staging leftover not examined: " + name,
                     error);
    return false;
  }
  const common::FolderEntry listed = common::ReadFolderEntry(directory, name);
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  switch (DecideSecureDelete(info.dwFileAttributes, listed.attributes, info.nNumberOfLinks, size)) {
    case SecureDeleteAction::leave:
      return true;
    case SecureDeleteAction::overwrite_then_delete:
      SetNormalAttributes(entry.get());
      OverwriteWithZeros(entry.get(), size);
      break;
    case SecureDeleteAction::delete_only:
      break;
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!::SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
    error = ::GetLastError();
    common::LogWin32(LogLevel::Warn, L"openvpn_coordinator: staging leftover not deleted: " + name,
                     error);
    return false;
  }
  return true;
}

OpenVpnEnvironmentWin::OpenVpnEnvironmentWin(std::wstring base_folder)
    : base_folder_(std::move(base_folder)) {}

std::wstring OpenVpnEnvironmentWin::StagingDirectory() {
  const std::optional<std::wstring> base = base_folder_ ? base_folder_ : LocalAppDataFolder();
  if (!base || base->empty()) {
    common::Log(LogLevel::Warn, L"openvpn_coordinator: local application data folder unavailable");
    return {};
  }
  const common::FolderChain chain =
      common::OpenFolderChain(*base, {L"Zerka", L"vpn", L"openvpn"},
                              {.create_missing = true, .leaf_access = READ_CONTROL | WRITE_DAC});
  if (!chain) {
    common::Log(LogLevel::Warn, L"openvpn_coordinator: staging directory unavailable: " +
                                    chain.failed_folder + L": " +
                                    common::DescribeWin32Error(chain.error));
    return {};
  }
  RestrictToUser(chain.leaf());
  return *base + L"\\Zerka\\vpn\\openvpn";
}

void OpenVpnEnvironmentWin::SweepStagingDirectory(const std::wstring& directory) {
  const UniqueHandle folder = HoldFolder(directory);
  if (!folder) return;
  SecureDeleteEntry(folder.get(), directory, std::wstring(kStatusLogName));
  for (const std::wstring& name : SweptNames(directory)) {
    SecureDeleteEntry(folder.get(), directory, name);
  }
}

void OpenVpnEnvironmentWin::DeleteStatusLog(const std::wstring& directory) {
  const UniqueHandle folder = HoldFolder(directory);
  if (!folder) return;
  SecureDeleteEntry(folder.get(), directory, std::wstring(kStatusLogName));
}

std::optional<uint16_t> OpenVpnEnvironmentWin::AllocateLoopbackPort() {
  if (!StartWinsockOnce()) return std::nullopt;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    const int error = ::WSAGetLastError();
    common::LogWin32(LogLevel::Error, L"openvpn_coordinator: port_alloc: socket() failed",
                     static_cast<uint32_t>(error));
    return std::nullopt;
  }
  const common::ScopeExit close_socket([s] { ::closesocket(s); });
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    common::LogWin32(LogLevel::Error, L"openvpn_coordinator: port_alloc: bind() failed",
                     static_cast<uint32_t>(error));
    return std::nullopt;
  }
  sockaddr_in bound{};
  int length = sizeof bound;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    common::LogWin32(LogLevel::Error, L"openvpn_coordinator: port_alloc: getsockname() failed",
                     static_cast<uint32_t>(error));
    return std::nullopt;
  }
  const uint16_t port = ntohs(bound.sin_port);
  if (port == 0) return std::nullopt;
  return port;
}

void OpenVpnEnvironmentWin::RandomBytes(std::span<uint8_t> out) {
  NTSTATUS status = 0;
  for (size_t done = 0; done < out.size() && BCRYPT_SUCCESS(status);) {
    const ULONG chunk = static_cast<ULONG>(std::min<size_t>(out.size() - done, 0x10000000));
    status = ::BCryptGenRandom(nullptr, out.data() + done, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    done += chunk;
  }
  if (BCRYPT_SUCCESS(status)) return;
  common::LogWin32(LogLevel::Warn,
                   L"openvpn_coordinator: system random generator unavailable, weaker bytes used",
                   static_cast<uint32_t>(status));
  for (uint8_t& b : out) {
    b = static_cast<uint8_t>((static_cast<uint32_t>(std::rand()) ^ ::GetTickCount()) & 0xFF);
  }
}

uint64_t OpenVpnEnvironmentWin::SteadyMs() {
  return ::GetTickCount64();
}

uint64_t OpenVpnEnvironmentWin::UnixMs() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return FileTimeToUnixMs((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

void OpenVpnEnvironmentWin::SleepMs(uint32_t ms) {
  ::Sleep(ms);
}

}  // namespace tovra::agent::openvpn
