// The Win32 facts behind the activity verdict, and where the verdict is written.
//
// The WireGuard status and the staged-profile count come through callbacks, so
// the Service passes its tunnel manager's QueryStatus (or nothing, when it has
// no manager) and its staging code's count. The rest is gathered here: whether
// the service manager answers, what the process the Agent named is, the tick
// count, and the two values under HKLM "SOFTWARE\Zerka VPN" (64-bit view).
//
// Threading: each call stands alone; no state is kept between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "common/ipc/messages.h"
#include "service/activity/activity_registry.h"

namespace tovra::service {

inline constexpr const wchar_t* kActivityKeyPath = L"SOFTWARE\\Zerka VPN";
inline constexpr const wchar_t* kActivityValueName = L"Activity";
inline constexpr const wchar_t* kActivityReasonsValueName = L"ActivityReasons";

class WinActivitySources final : public ActivitySources {
 public:
  using WireGuardQuery = std::function<std::optional<common::WireGuardStatusRecord>()>;
  using StagedCount = std::function<StagedProfiles()>;

  // An empty `wireguard` means the Service has no tunnel manager; a query that
  // answers nothing counts as a tunnel that is down without an adapter. An empty
  // `staged` counts no staged profile.
  WinActivitySources(WireGuardQuery wireguard, StagedCount staged);

  common::WireGuardStatusRecord WireGuardStatus() override;
  bool HasWireGuard() override;
  bool ScmUnavailable() override;
  StagedProfiles CountStaged() override;
  uint8_t CheckProcess(uint32_t pid) override;
  uint64_t NowMs() override;
  bool WriteVerdict(uint32_t activity, uint32_t reasons) override;

 private:
  WireGuardQuery wireguard_;
  StagedCount staged_;
};

// The Win32 process check on its own: opens `pid` for a limited query and reads
// its exit code and image path.
[[nodiscard]] ProcessCheck CheckOpenVpnProcess(uint32_t pid);

}  // namespace tovra::service
