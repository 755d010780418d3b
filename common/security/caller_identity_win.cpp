#include "common/security/caller_identity_win.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <vector>

#include "common/win/handles_win.h"

namespace tovra::common {

namespace {

Win32Error LastError(std::wstring_view api) {
  return Win32Error{::GetLastError(), api};
}

SidLookup SidToText(PSID sid) {
  wchar_t* raw = nullptr;
  if (!::ConvertSidToStringSidW(sid, &raw)) {
    return {std::nullopt, LastError(L"ConvertSidToStringSidW")};
  }
  UniqueLocal owned(raw);
  return {std::wstring(raw), {}};
}

std::wstring WellKnownSidText(WELL_KNOWN_SID_TYPE type, std::wstring_view fallback) {
  BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof buffer;
  if (::CreateWellKnownSid(type, nullptr, buffer, &size)) {
    if (SidLookup text = SidToText(buffer); text.sid) return *text.sid;
  }
  return std::wstring(fallback);
}

std::optional<std::wstring> ReadEnvironmentFolder(const wchar_t* name) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableW(name, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;  // unset, or too long for the buffer
  return std::wstring(buffer, n);
}

}  // namespace

std::wstring LocalSystemSidText() {
  return WellKnownSidText(WinLocalSystemSid, kLocalSystemSidText);
}

std::wstring AdministratorsSidText() {
  return WellKnownSidText(WinBuiltinAdministratorsSid, kAdministratorsSidText);
}

SidLookup GetTokenUserSid(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);  // fails, telling the size
  if (size == 0) return {std::nullopt, LastError(L"GetTokenInformation")};
  std::vector<BYTE> buffer(size, 0);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    return {std::nullopt, LastError(L"GetTokenInformation")};
  }
  return SidToText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

SidLookup GetProcessUserSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return {std::nullopt, LastError(L"OpenProcessToken")};
  }
  UniqueHandle token(raw);
  return GetTokenUserSid(token.get());
}

SessionLookup LookUpProcessSessionId() {
  DWORD session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
    return {kUnknownSessionId, LastError(L"ProcessIdToSessionId")};
  }
  return {session, {}};
}

uint32_t GetProcessSessionId() {
  return LookUpProcessSessionId().session_id;
}

ExpectedUser GetExpectedUser(bool console_mode) {
  ExpectedUser expected;
  if (console_mode) {
    SidLookup own = GetProcessUserSid();
    expected.sid = std::move(own.sid);
    expected.error = own.error;
    const SessionLookup session = LookUpProcessSessionId();
    expected.session_id = session.session_id;
    if (!expected.error) expected.error = session.error;
    return expected;
  }
  // No session at the console has no error code: nobody to expect.
  expected.session_id = ::WTSGetActiveConsoleSessionId();
  if (expected.session_id == kUnknownSessionId) return expected;
  HANDLE raw = nullptr;
  if (!::WTSQueryUserToken(expected.session_id, &raw)) {
    expected.error = LastError(L"WTSQueryUserToken");  // also when nobody is logged on
    return expected;
  }
  UniqueHandle token(raw);
  SidLookup user = GetTokenUserSid(token.get());
  expected.sid = std::move(user.sid);
  expected.error = user.error;
  return expected;
}

CallerIdentity GetCallerIdentity(HANDLE pipe) {
  CallerIdentity id;
  ULONG pid = 0;
  if (!::GetNamedPipeClientProcessId(pipe, &pid)) {
    id.error = LastError(L"GetNamedPipeClientProcessId");
    return id;
  }
  id.pid = pid;
  DWORD session = 0;
  if (::ProcessIdToSessionId(pid, &session)) {
    id.session_id = session;
  } else {
    id.session_error = LastError(L"ProcessIdToSessionId");
  }

  SidLookup user;
  {
    // Nothing below may run as the client: the guard reverts on every way out of
    // this block, before the image path is looked up with our own rights.
    std::optional<ImpersonationGuard> impersonation = ImpersonatePipeClient(pipe);
    if (!impersonation) {
      id.error = LastError(L"ImpersonateNamedPipeClient");
      return id;
    }
    HANDLE raw = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw)) {
      id.error = LastError(L"OpenThreadToken");
      return id;
    }
    UniqueHandle token(raw);
    user = GetTokenUserSid(token.get());
  }
  if (!user.sid) {
    id.error = user.error;
    return id;
  }
  id.sid = std::move(*user.sid);
  id.is_local_system = SidsEqual(id.sid, LocalSystemSidText());

  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) {
    id.image_error = LastError(L"OpenProcess");
  } else {
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (::QueryFullProcessImageNameW(process.get(), 0, path, &size)) {
      id.image_path.assign(path, size);
    } else {
      id.image_error = LastError(L"QueryFullProcessImageNameW");
    }
  }
  id.valid = true;
  return id;
}

bool IsTrustedCallerImage(const std::wstring& image_path, std::wstring_view expected_file_name,
                          bool enforce) {
  if (!enforce) return true;
  const std::optional<std::wstring> roots[] = {ReadEnvironmentFolder(L"ProgramFiles"),
                                               ReadEnvironmentFolder(L"ProgramFiles(x86)")};
  return IsTrustedImagePath(image_path, expected_file_name, enforce, roots);
}

}  // namespace tovra::common
