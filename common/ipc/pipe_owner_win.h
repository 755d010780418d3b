// Facts about the server end of an opened pipe, and this process's own owners.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/security/caller_identity_win.h"

namespace tovra::common {

// The owner SID (text) of the pipe behind a client handle, or why there is none.
[[nodiscard]] SidLookup GetPipeOwnerSid(HANDLE pipe);
// This process's token user SID and token default owner SID (texts).
std::vector<std::wstring> GetOwnOwnerSids();

struct ServerPipeVerdict {
  bool trusted = false;
  Win32Error error;  // why the owner could not be read, when it could not
};

// The whole client-side check: the pipe's owner is trusted by IsTrustedPipeOwner.
[[nodiscard]] ServerPipeVerdict IsTrustedServerPipe(HANDLE pipe);

}  // namespace tovra::common
