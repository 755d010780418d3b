// Which servers a client may talk to. Pipe names are global on the machine, so any
// local user can create a server pipe of ours before the real server does; clients
// therefore check who owns the pipe they opened before writing a single byte.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tovra::common {

// A pipe is trusted when its owner is LocalSystem, Administrators, or one of this
// process's own owners (its token user and its token's default owner: a server run
// by the same user owns its pipe through one of them). No owner is not trusted.
[[nodiscard]] bool IsTrustedPipeOwner(const std::optional<std::wstring>& owner_sid,
                                      std::span<const std::wstring> own_owner_sids);

}  // namespace tovra::common
