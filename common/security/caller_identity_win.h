// Win32 fact gathering for caller identity: the client behind a pipe, this
// process's own user and session, and the Service's expected console user. The
// decisions on these facts are in caller_identity.h.
//
// Everything here is safe to call from any thread. GetCallerIdentity impersonates
// the pipe client on the calling thread and always reverts before it returns.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "common/security/caller_identity.h"

namespace tovra::common {

// Never fails; `valid` tells whether the identity may be relied on, and `error`
// which call failed when it may not.
CallerIdentity GetCallerIdentity(HANDLE pipe);

struct SidLookup {
  std::optional<std::wstring> sid;  // "S-1-5-..."
  Win32Error error;                 // why `sid` is missing
};

// Text form of a token's user SID.
[[nodiscard]] SidLookup GetTokenUserSid(HANDLE token);
// This process's token user SID text.
[[nodiscard]] SidLookup GetProcessUserSid();
struct SessionLookup {
  uint32_t session_id = kUnknownSessionId;
  Win32Error error;  // why `session_id` is unknown
};

// This process's session, or kUnknownSessionId with the failed call.
[[nodiscard]] SessionLookup LookUpProcessSessionId();
// This process's session, or kUnknownSessionId, for callers with nothing to log.
uint32_t GetProcessSessionId();

// Console mode: this process's user and session. Service mode: the session at the
// console and its logged-on user, when there is one.
ExpectedUser GetExpectedUser(bool console_mode);

// Well-known SID texts, from the system when it can say, else the literals.
std::wstring LocalSystemSidText();
std::wstring AdministratorsSidText();

// IsTrustedImagePath against the "ProgramFiles" and "ProgramFiles(x86)" folders.
[[nodiscard]] bool IsTrustedCallerImage(const std::wstring& image_path,
                                        std::wstring_view expected_file_name, bool enforce);

}  // namespace tovra::common
