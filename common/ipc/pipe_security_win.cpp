#include "common/ipc/pipe_security_win.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/log/log.h"

namespace tovra::common {

std::optional<PipeSecurity> BuildPipeSecurity(std::span<const std::wstring> sid_strings) {
  if (sid_strings.empty()) return std::nullopt;
  PipeSecurity security;
  std::vector<EXPLICIT_ACCESSW> entries;
  for (const std::wstring& text : sid_strings) {
    PSID sid = nullptr;
    // An empty text is never a SID; not every converter says so reliably.
    if (text.empty() || !::ConvertStringSidToSidW(text.c_str(), &sid)) {
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
  if (entries.empty()) return std::nullopt;

  PACL acl = nullptr;
  if (::SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr, &acl) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  security.acl_.reset(acl);

  security.descriptor_.reset(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  if (!security.descriptor_) return std::nullopt;
  auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(security.descriptor_.get());
  if (!::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
    return std::nullopt;
  }
  security.attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
  security.attributes_.lpSecurityDescriptor = descriptor;
  security.attributes_.bInheritHandle = FALSE;
  return security;
}

}  // namespace tovra::common
