#include "tools/zerkactl/human_format.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>

namespace tovra::tools {

using namespace tovra_windows_vpn;

const char* Name(TovraComponentState s) {
  switch (s) {
    case TovraComponentState::unknown:
      return "unknown";
    case TovraComponentState::starting:
      return "starting";
    case TovraComponentState::up:
      return "up";
    case TovraComponentState::reserved3:
      return "state-3";
    case TovraComponentState::down:
      return "down";
    case TovraComponentState::reserved5:
      return "state-5";
  }
  return "unknown";
}

const char* Name(TovraNativeErrorKind k) {
  switch (k) {
    case TovraNativeErrorKind::none:
      return "none";
    case TovraNativeErrorKind::notProduced:
      return "not-produced";
    case TovraNativeErrorKind::agentUnavailable:
      return "agent-unavailable";
    case TovraNativeErrorKind::versionMismatch:
      return "version-mismatch";
    case TovraNativeErrorKind::agentBusy:
      return "agent-busy";
    case TovraNativeErrorKind::internal:
      return "internal";
  }
  return "unknown";
}

const char* Name(TovraTriState t) {
  switch (t) {
    case TovraTriState::yes:
      return "yes";
    case TovraTriState::no:
      return "no";
    default:
      return "unknown";
  }
}

const char* Name(TovraOpenVpnState s) {
  static const char* const kNames[] = {"NONE",      "CONNECTING", "RESOLVE",      "TCP_CONNECT",
                                       "WAIT",      "AUTH",       "AUTH_PENDING", "GET_CONFIG",
                                       "ASSIGN_IP", "ADD_ROUTES", "CONNECTED",    "RECONNECTING",
                                       "EXITING"};
  const auto i = static_cast<size_t>(s);
  return i < std::size(kNames) ? kNames[i] : "NONE";
}

const char* Name(TovraOpenVpnErrorKind k) {
  static const char* const kNames[] = {"none",
                                       "profile-rejected",
                                       "profile-no-valid-proto",
                                       "previous-attempt-active",
                                       "unused-4",
                                       "launch-failed",
                                       "management-failed",
                                       "auth-failed",
                                       "fatal-error",
                                       "exited",
                                       "connect-timeout",
                                       "internal",
                                       "service-unreachable",
                                       "interactive-service-exchange-failed",
                                       "not-permitted",
                                       "rejected",
                                       "management-password-rejected"};
  const auto i = static_cast<size_t>(k);
  return i < std::size(kNames) ? kNames[i] : "internal";
}

const char* WireGuardErrorName(int64_t e) {
  static const char* const kNames[] = {"none",
                                       "config-rejected",
                                       "busy",
                                       "install-failed",
                                       "start-failed",
                                       "adapter-never-appeared",
                                       "stop-incomplete",
                                       "config-write-failed"};
  return e >= 0 && e < static_cast<int64_t>(std::size(kNames)) ? kNames[e] : "unknown";
}

std::string Printable(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) ch = '?';
  }
  return out;
}

std::string FormatBytes(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(bytes);
  size_t unit = 0;
  v /= 1024.0;
  // Compared with what "%.1f" will print, so 1048575 reads "1.0 MiB", not "1024.0 KiB".
  while (v >= 1023.95 && unit + 1 < std::size(kUnits)) {
    v /= 1024.0;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) return std::to_string(seconds) + "s";
  const int64_t d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60,
                s = seconds % 60;
  char buf[64];
  if (d > 0) {
    std::snprintf(buf, sizeof buf, "%" PRId64 "d %02" PRId64 "h %02" PRId64 "m %02" PRId64 "s", d,
                  h, m, s);
  } else if (h > 0) {
    std::snprintf(buf, sizeof buf, "%" PRId64 "h %02" PRId64 "m %02" PRId64 "s", h, m, s);
  } else if (m > 0) {
    std::snprintf(buf, sizeof buf, "%" PRId64 "m %02" PRId64 "s", m, s);
  } else {
    std::snprintf(buf, sizeof buf, "%" PRId64 "s", s);
  }
  return buf;
}

std::string FormatUnixMs(int64_t ms) {
  if (ms == 0) return "never";
  if (ms < 0 || ms > 253402300799999) return std::to_string(ms) + " ms";
  // Civil date from days since 1970-01-01 (proleptic Gregorian), without the
  // platform's gmtime, so both builds print the same.
  int64_t days = ms / 86400000;
  const int64_t rem = ms % 86400000;
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char buf[48];
  std::snprintf(buf, sizeof buf,
                "%04" PRId64 "-%02" PRId64 "-%02" PRId64 " %02" PRId64 ":%02" PRId64 ":%02" PRId64
                ".%03" PRId64 " UTC",
                year, month, day, rem / 3600000, rem / 60000 % 60, rem / 1000 % 60, rem % 1000);
  return buf;
}

}  // namespace tovra::tools
