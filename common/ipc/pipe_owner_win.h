// Facts about the server end of an opened pipe, and this process's own owners.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovra::common {

// The owner SID (text) of the pipe behind a client handle, or nothing.
[[nodiscard]] std::optional<std::wstring> GetPipeOwnerSid(HANDLE pipe);
// This process's token user SID and token default owner SID (texts).
std::vector<std::wstring> GetOwnOwnerSids();

// The whole client-side check: the pipe's owner is trusted by IsTrustedPipeOwner.
[[nodiscard]] bool IsTrustedServerPipe(HANDLE pipe);

}  // namespace tovra::common
