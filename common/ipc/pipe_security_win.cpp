#include "common/ipc/pipe_security_win.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/log/log.h"

namespace tovra::common {

PipeSecurityResult BuildPipeSecurity(std::span<const std::wstring> sid_strings) {
  PipeSecurityResult result;
  if (sid_strings.empty()) return result;
  PipeSecurity security;
  std::vector<EXPLICIT_ACCESSW> entries;
  for (const std::wstring& text : sid_strings) {
    // An empty text is never a SID; not every converter says so reliably.
    if (text.empty()) {
      Log(LogLevel::Warn, L"PipeSecurity: bad SID string skipped");
      continue;
    }
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(text.c_str(), &sid)) {
      result.error = {::GetLastError(), L"ConvertStringSidToSidW"};
      Log(LogLevel::Warn, L"PipeSecurity: bad SID string skipped");
      continue;
    }
    security.sids_.emplace_back(sid);
    EXPLICIT_ACCESSW entry{};
    entry.grfAccessPermissions = kPipeClientAccess;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    entries.push_back(entry);
  }
  if (entries.empty()) return result;
  result.error = {};  // a skipped SID does not explain a later failure

  PACL acl = nullptr;
  const DWORD acl_error =
      ::SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr, &acl);
  if (acl_error != ERROR_SUCCESS) {
    result.error = {acl_error, L"SetEntriesInAclW"};
    return result;
  }
  security.acl_.reset(acl);

  security.descriptor_.reset(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  if (!security.descriptor_) {
    result.error = {::GetLastError(), L"LocalAlloc"};
    return result;
  }
  auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(security.descriptor_.get());
  if (!::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    result.error = {::GetLastError(), L"InitializeSecurityDescriptor"};
    return result;
  }
  if (!::SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
    result.error = {::GetLastError(), L"SetSecurityDescriptorDacl"};
    return result;
  }
  security.attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
  security.attributes_.lpSecurityDescriptor = descriptor;
  security.attributes_.bInheritHandle = FALSE;
  result.security = std::move(security);
  return result;
}

}  // namespace tovra::common
