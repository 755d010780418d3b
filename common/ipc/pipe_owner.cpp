#include "common/ipc/pipe_owner.h"

#include "common/security/caller_identity.h"

namespace tovra::common {

bool IsTrustedPipeOwner(const std::optional<std::wstring>& owner_sid,
                        std::span<const std::wstring> own_owner_sids) {
  if (!owner_sid || owner_sid->empty()) return false;
  if (SidsEqual(*owner_sid, kLocalSystemSidText) || SidsEqual(*owner_sid, kAdministratorsSidText)) {
    return true;
  }
  for (const auto& own : own_owner_sids) {
    if (!own.empty() && SidsEqual(*owner_sid, own)) return true;
  }
  return false;
}

}  // namespace tovra::common
