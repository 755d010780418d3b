// Native (non-Windows) sink: the portable core can log in host builds and tests;
// lines go to standard error only.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "common/log/log.h"
#include "common/text/text.h"

namespace tovra::common {

namespace {
std::mutex g_mutex;
std::wstring g_component{kDefaultLogComponent};

LogTimestamp Now() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  LogTimestamp t;
  t.year = static_cast<uint32_t>(tm.tm_year + 1900);
  t.month = static_cast<uint32_t>(tm.tm_mon + 1);
  t.day = static_cast<uint32_t>(tm.tm_mday);
  t.hour = static_cast<uint32_t>(tm.tm_hour);
  t.minute = static_cast<uint32_t>(tm.tm_min);
  t.second = static_cast<uint32_t>(tm.tm_sec);
  t.millisecond = static_cast<uint32_t>(ms.count() % 1000);
  return t;
}
}  // namespace

void LogInit(std::wstring_view component_name) {
  std::lock_guard lock(g_mutex);
  if (!component_name.empty()) g_component.assign(component_name);
}

void Log(LogLevel level, std::wstring_view message) {
  const LogTimestamp t = Now();
  std::lock_guard lock(g_mutex);
  const std::string line = WideToUtf8(FormatLogLine(t, g_component, level, message));
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace tovra::common
