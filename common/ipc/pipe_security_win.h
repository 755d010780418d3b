// The access control a server pipe is created with: one allow entry with read and
// write rights (0x0012019F) per admitted SID, nothing for anyone else.
//
// PipeSecurity owns the converted SIDs, the ACL and the descriptor its
// SECURITY_ATTRIBUTES points at; it must outlive the CreateNamedPipeW call that
// uses it. Movable (the descriptor stays where it is), not copyable.
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/base/win32_error.h"
#include "common/win/handles_win.h"

namespace tovra::common {

inline constexpr DWORD kPipeClientAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;  // 0x0012019F

struct PipeSecurityResult;

class PipeSecurity {
 public:
  PipeSecurity() = default;
  PipeSecurity(PipeSecurity&&) noexcept = default;
  PipeSecurity& operator=(PipeSecurity&&) noexcept = default;

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
  size_t entry_count() const { return sids_.size(); }

 private:
  friend PipeSecurityResult BuildPipeSecurity(std::span<const std::wstring> sid_strings);

  std::vector<UniqueLocal> sids_;
  UniqueLocal acl_;
  UniqueLocal descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

struct PipeSecurityResult {
  std::optional<PipeSecurity> security;
  // Why there is no security: the call that failed building the ACL or the
  // descriptor, or the last SID conversion when none converted. Empty when the
  // list was empty or held only empty texts, which no call was asked about.
  Win32Error error;
};

// One entry per SID string that converts, in order; a string that does not convert
// is skipped with a WARN line carrying the converter's error. No security when no
// entry could be made or the ACL or descriptor could not be built.
[[nodiscard]] PipeSecurityResult BuildPipeSecurity(std::span<const std::wstring> sid_strings);

}  // namespace tovra::common
