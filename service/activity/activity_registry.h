// The machine-wide VPN activity verdict: whether a tunnel of ours is active,
// with a mask of the reasons, published for other software on the machine.
//
// The verdict folds together what the Service sees itself (its WireGuard tunnel,
// the OpenVPN profiles it staged, whether the service manager answers) and what
// the Agent last reported about OpenVPN, checked against the running processes
// so that a stale or wrong report cannot keep the verdict at active for ever.
// Every failure is folded into the verdict (at worst "unknown"), never an error.
//
// Threading: RecordAgentReport may come from any thread; PublishActivity runs on
// the pipe loop's thread. The report is guarded by one mutex, held only while it
// is read or written (and while its process is checked); the other inputs are
// gathered outside it. The last published value is exchanged atomically.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "common/ipc/messages.h"
#include "common/log/log.h"

namespace tovra::service {

// What the Agent last said about OpenVPN.
struct AgentActivityReport {
  bool present = false;  // a report arrived since the Service started
  bool openvpn_active = false;
  uint32_t status_detail = 0;  // kept, not used for the verdict
  uint32_t openvpn_pid = 0;    // 0: none named
  uint64_t received_tick = 0;  // millisecond tick of its arrival
  friend bool operator==(const AgentActivityReport&, const AgentActivityReport&) = default;
};

// What the process the Agent named turned out to be.
enum class ProcessCheck : uint8_t {
  none = 0,             // no process named
  running_openvpn = 1,  // alive, and its image is openvpn.exe
  gone = 2,             // no such process, it has exited, or it is not openvpn.exe
  unknown = 3,          // it could not be examined
};

struct ActivityVerdict {
  uint32_t activity = 0;  // kActivityInactive, kActivityActive or kActivityUnknown
  bool wg = false;
  bool ovpn = false;
  uint16_t reasons = 0;  // kReason* bits
  friend bool operator==(const ActivityVerdict&, const ActivityVerdict&) = default;
};

inline constexpr uint32_t kActivityInactive = 0;
inline constexpr uint32_t kActivityActive = 1;
inline constexpr uint32_t kActivityUnknown = 2;

inline constexpr uint16_t kReasonWireGuardAdapter = 0x0001;
inline constexpr uint16_t kReasonWireGuardRunning = 0x0002;
inline constexpr uint16_t kReasonScmUnavailable = 0x0004;  // and no WireGuard bit
inline constexpr uint16_t kReasonStagedProfile = 0x0008;
inline constexpr uint16_t kReasonStagingScanFailed = 0x0010;
inline constexpr uint16_t kReasonAgentReportTrusted = 0x0020;  // fresh, process none/unknown
inline constexpr uint16_t kReasonOpenVpnProcessRunning = 0x0040;
inline constexpr uint16_t kReasonAgentReportContradicted = 0x0080;
inline constexpr uint16_t kReasonAgentReportUnverifiable = 0x0100;  // stale, process unknown

// A report counts as fresh for this long after it arrived.
inline constexpr uint64_t kReportFreshMs = 20000;

// Milliseconds since `received_tick`. A tick behind the report (a clock that went
// backwards) is age 0: an age that cannot be known is never taken as a huge one.
[[nodiscard]] uint64_t ReportAgeMs(uint64_t now_tick, uint64_t received_tick);
[[nodiscard]] bool IsReportFresh(uint64_t now_tick, uint64_t received_tick);

// A CheckProcess answer as a ProcessCheck; a value outside 0..3 is unknown.
[[nodiscard]] ProcessCheck ToProcessCheck(uint8_t value);

// The facts the Win32 process check gathers about one pid.
struct ProcessFacts {
  uint32_t pid = 0;
  uint32_t open_error = 0;  // the error of opening it for a limited query; 0: opened
  bool exit_code_read = false;
  uint32_t exit_code = 0;
  bool image_read = false;  // the full image path was read (it may still be empty)
  std::wstring_view image_path;
};

inline constexpr uint32_t kErrorInvalidParameter = 87;  // no process with that id
inline constexpr uint32_t kErrorNotFound = 1168;
inline constexpr uint32_t kStillActive = 259;

[[nodiscard]] ProcessCheck DecideProcessCheck(const ProcessFacts& facts);

// The text after the last backslash or forward slash; the whole path without one.
[[nodiscard]] std::wstring_view ImageFileName(std::wstring_view path);
// Whether the image's file name is openvpn.exe (ordinal, case-insensitive).
[[nodiscard]] bool IsOpenVpnImage(std::wstring_view path);

// Everything the verdict depends on, gathered once per evaluation.
struct ActivityInputs {
  bool wg_running = false;  // tunnel state starting or up
  bool wg_adapter = false;
  bool scm_unavailable = false;
  uint32_t staged_count = 0;
  bool scan_failed = false;
  bool present = false;  // of the Agent's report
  bool openvpn_active = false;
  bool fresh = false;
  uint8_t process_check = 0;  // a ProcessCheck value; ignored without a report
};

[[nodiscard]] ActivityVerdict CombineActivity(const ActivityInputs& in);

// The published value that decides whether anything changed: reasons above the
// activity number. Never negative, so -1 means "nothing published".
[[nodiscard]] int32_t PublishedValue(const ActivityVerdict& verdict);

// "vpn activity -> <activity> (wg=<0|1> ovpn=<0|1> reasons=0x%08X)"
[[nodiscard]] std::wstring FormatActivityLine(const ActivityVerdict& verdict);

struct StagedProfiles {
  uint32_t count = 0;
  bool scan_failed = false;
};

// What the verdict is computed from; the Service supplies the Win32 implementation.
class ActivitySources {
 public:
  virtual ~ActivitySources() = default;
  // Only called when HasWireGuard() is true.
  virtual common::WireGuardStatusRecord WireGuardStatus() = 0;
  virtual bool HasWireGuard() = 0;
  virtual bool ScmUnavailable() = 0;
  virtual StagedProfiles CountStaged() = 0;
  virtual uint8_t CheckProcess(uint32_t pid) = 0;  // a ProcessCheck value
  virtual uint64_t NowMs() = 0;                    // a millisecond tick that does not wrap
  // Writes the verdict where other software reads it; false when it did not land.
  virtual bool WriteVerdict(uint32_t activity, uint32_t reasons) = 0;
};

class ActivityRegistry {
 public:
  // Where the registry's lines go; the process log unless a test listens.
  using LogSink = std::function<void(common::LogLevel, std::wstring_view)>;

  explicit ActivityRegistry(ActivitySources& sources, LogSink log = {});
  ActivityRegistry(const ActivityRegistry&) = delete;
  ActivityRegistry& operator=(const ActivityRegistry&) = delete;

  void RecordAgentReport(bool openvpn_active, uint32_t status_detail, uint32_t openvpn_pid);
  [[nodiscard]] ActivityVerdict EvaluateActivity();
  // Evaluates; when the verdict changed, writes it and logs one INFO line. A write
  // that did not land is tried again on the next call, without a second line.
  void PublishActivity();

  // A copy of the stored report.
  [[nodiscard]] AgentActivityReport Report();

 private:
  void Emit(common::LogLevel level, std::wstring_view message);

  ActivitySources& sources_;
  LogSink log_;

  std::mutex mutex_;
  AgentActivityReport report_;  // guarded by mutex_

  std::atomic<int32_t> last_published_{-1};  // the value in the registry; -1: unknown
  std::atomic<int32_t> last_logged_{-1};     // the value of the last INFO line
  std::atomic<bool> write_failing_{false};   // the last write did not land
};

}  // namespace tovra::service
