#include "service/activity/activity_registry.h"

#include <utility>

namespace tovra::service {

uint64_t ReportAgeMs(uint64_t now_tick, uint64_t received_tick) {
  return now_tick > received_tick ? now_tick - received_tick : 0;
}

bool IsReportFresh(uint64_t now_tick, uint64_t received_tick) {
  return ReportAgeMs(now_tick, received_tick) <= kReportFreshMs;
}

ProcessCheck ToProcessCheck(uint8_t value) {
  return value <= static_cast<uint8_t>(ProcessCheck::unknown) ? static_cast<ProcessCheck>(value)
                                                              : ProcessCheck::unknown;
}

ProcessCheck DecideProcessCheck(const ProcessFacts& facts) {
  if (facts.pid == 0) return ProcessCheck::none;
  if (facts.open_error != 0) {
    return facts.open_error == kErrorInvalidParameter || facts.open_error == kErrorNotFound
               ? ProcessCheck::gone
               : ProcessCheck::unknown;
  }
  if (!facts.exit_code_read) return ProcessCheck::unknown;
  if (facts.exit_code != kStillActive) return ProcessCheck::gone;
  if (!facts.image_read || facts.image_path.empty()) return ProcessCheck::unknown;
  return IsOpenVpnImage(facts.image_path) ? ProcessCheck::running_openvpn : ProcessCheck::gone;
}

std::wstring_view ImageFileName(std::wstring_view path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

bool IsOpenVpnImage(std::wstring_view path) {
  constexpr std::wstring_view kOpenVpn = L"openvpn.exe";
  const std::wstring_view name = ImageFileName(path);
  if (name.size() != kOpenVpn.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    wchar_t c = name[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kOpenVpn[i]) return false;
  }
  return true;
}

ActivityVerdict CombineActivity(const ActivityInputs& in) {
  ActivityVerdict v;
  uint16_t reasons = 0;
  if (in.wg_adapter) reasons |= kReasonWireGuardAdapter;
  if (in.wg_running) reasons |= kReasonWireGuardRunning;
  v.wg = in.wg_adapter || in.wg_running;
  if (in.scm_unavailable && !v.wg) reasons |= kReasonScmUnavailable;
  if (in.staged_count > 0) reasons |= kReasonStagedProfile;
  if (in.scan_failed) reasons |= kReasonStagingScanFailed;

  // Without a report there is no process to speak of, whatever was passed.
  const ProcessCheck check = in.present ? ToProcessCheck(in.process_check) : ProcessCheck::none;
  if (check == ProcessCheck::running_openvpn) reasons |= kReasonOpenVpnProcessRunning;

  v.ovpn = in.staged_count > 0 || check == ProcessCheck::running_openvpn;
  bool uncertain = in.scan_failed;
  if (in.present && in.openvpn_active) {
    switch (check) {
      case ProcessCheck::none:
        if (in.fresh) {
          v.ovpn = true;
          reasons |= kReasonAgentReportTrusted;
        } else {
          reasons |= kReasonAgentReportContradicted;
        }
        break;
      case ProcessCheck::running_openvpn:
        break;
      case ProcessCheck::gone:
        reasons |= kReasonAgentReportContradicted;
        break;
      case ProcessCheck::unknown:
        if (in.fresh) {
          v.ovpn = true;
          reasons |= kReasonAgentReportTrusted;
        } else {
          uncertain = true;
          reasons |= kReasonAgentReportUnverifiable;
        }
        break;
    }
  }

  if (v.wg || v.ovpn) {
    v.activity = kActivityActive;
  } else if (uncertain || in.scm_unavailable) {
    v.activity = kActivityUnknown;
  } else {
    v.activity = kActivityInactive;
  }
  v.reasons = reasons;
  return v;
}

int32_t PublishedValue(const ActivityVerdict& verdict) {
  return static_cast<int32_t>((static_cast<uint32_t>(verdict.reasons) << 8) |
                              (verdict.activity & 0xFFu));
}

std::wstring FormatActivityLine(const ActivityVerdict& verdict) {
  return L"vpn activity -> " + common::FormatDecimal(verdict.activity) + L" (wg=" +
         (verdict.wg ? L"1" : L"0") + L" ovpn=" + (verdict.ovpn ? L"1" : L"0") + L" reasons=" +
         common::FormatHex32(verdict.reasons) + L")";
}

ActivityRegistry::ActivityRegistry(ActivitySources& sources, LogSink log)
    : sources_(sources), log_(std::move(log)) {}

void ActivityRegistry::RecordAgentReport(bool openvpn_active, uint32_t status_detail,
                                         uint32_t openvpn_pid) {
  const uint64_t now = sources_.NowMs();
  std::lock_guard lock(mutex_);
  report_.present = true;
  report_.openvpn_active = openvpn_active;
  report_.status_detail = status_detail;
  report_.openvpn_pid = openvpn_pid;
  report_.received_tick = now;
}

ActivityVerdict ActivityRegistry::EvaluateActivity() {
  ActivityInputs in;
  if (sources_.HasWireGuard()) {
    const common::WireGuardStatusRecord wg = sources_.WireGuardStatus();
    in.wg_running = wg.state == static_cast<uint8_t>(common::WireGuardState::starting) ||
                    wg.state == static_cast<uint8_t>(common::WireGuardState::up);
    in.wg_adapter = wg.adapter_present;
  }
  in.scm_unavailable = sources_.ScmUnavailable();
  const StagedProfiles staged = sources_.CountStaged();
  in.staged_count = staged.count;
  in.scan_failed = staged.scan_failed;

  {
    const uint64_t now = sources_.NowMs();
    std::lock_guard lock(mutex_);
    in.present = report_.present;
    in.openvpn_active = report_.openvpn_active;
    if (in.present) {
      // A tick behind the report means the clock went back: the report counts as
      // just received from here on, so it still ages out 20 s later rather than
      // keeping its weight until the clock catches up again.
      if (now < report_.received_tick) report_.received_tick = now;
      in.fresh = IsReportFresh(now, report_.received_tick);
      in.process_check = report_.openvpn_pid == 0 ? static_cast<uint8_t>(ProcessCheck::none)
                                                  : sources_.CheckProcess(report_.openvpn_pid);
    }
  }
  return CombineActivity(in);
}

void ActivityRegistry::PublishActivity() {
  const ActivityVerdict verdict = EvaluateActivity();
  const int32_t value = PublishedValue(verdict);
  if (last_published_.exchange(value) == value) return;

  const bool written = sources_.WriteVerdict(verdict.activity, verdict.reasons);
  if (!written) {
    // The registry may still hold an older verdict (even the previous run's):
    // forget what we published so the next pass writes again, unless another
    // publication has replaced the value in between.
    int32_t expected = value;
    last_published_.compare_exchange_strong(expected, -1);
  }

  // One line per change of the verdict, not per attempt to write it.
  if (last_logged_.exchange(value) != value) {
    Emit(common::LogLevel::Info, FormatActivityLine(verdict));
  }
  // One warning per run of failed writes; the retries stay quiet.
  const bool was_failing = write_failing_.exchange(!written);
  if (!written && !was_failing) {
    Emit(common::LogLevel::Warn,
         L"vpn activity: registry write failed; retrying on every evaluation");
  }
}

AgentActivityReport ActivityRegistry::Report() {
  std::lock_guard lock(mutex_);
  return report_;
}

void ActivityRegistry::Emit(common::LogLevel level, std::wstring_view message) {
  if (log_) {
    log_(level, message);
  } else {
    common::Log(level, message);
  }
}

}  // namespace tovra::service
