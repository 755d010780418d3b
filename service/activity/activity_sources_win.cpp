#include <windows.h>

#include "service/activity/activity_sources_win.h"

#include <string>
#include <utility>

#include "common/win/handles_win.h"

namespace tovra::service {

namespace {

// The longest path QueryFullProcessImageNameW can return, in characters.
constexpr DWORD kLongestImagePath = 32768;

// Reads the image path into `path`; false when it cannot be read.
bool ReadImagePath(HANDLE process, std::wstring& path) {
  for (DWORD capacity : {DWORD{MAX_PATH * 2}, kLongestImagePath}) {
    path.assign(capacity, L'\0');
    DWORD size = capacity;
    if (::QueryFullProcessImageNameW(process, 0, path.data(), &size)) {
      path.resize(size);
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
  }
  path.clear();
  return false;
}

}  // namespace

ProcessCheck CheckOpenVpnProcess(uint32_t pid) {
  ProcessFacts facts;
  facts.pid = pid;
  if (pid == 0) return DecideProcessCheck(facts);

  const common::UniqueHandle process(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
  if (!process) {
    facts.open_error = ::GetLastError();
    // A failed open that sets no error is still a failure to examine it.
    if (facts.open_error == 0) facts.open_error = ERROR_GEN_FAILURE;
    return DecideProcessCheck(facts);
  }
  DWORD exit_code = 0;
  facts.exit_code_read = ::GetExitCodeProcess(process.get(), &exit_code) != FALSE;
  facts.exit_code = exit_code;
  std::wstring image;
  if (facts.exit_code_read && exit_code == STILL_ACTIVE) {
    facts.image_read = ReadImagePath(process.get(), image);
    facts.image_path = image;
  }
  return DecideProcessCheck(facts);
}

WinActivitySources::WinActivitySources(WireGuardQuery wireguard, StagedCount staged)
    : wireguard_(std::move(wireguard)), staged_(std::move(staged)) {}

common::WireGuardStatusRecord WinActivitySources::WireGuardStatus() {
  if (!wireguard_) return {};
  return wireguard_().value_or(common::WireGuardStatusRecord{});
}

bool WinActivitySources::HasWireGuard() {
  return static_cast<bool>(wireguard_);
}

bool WinActivitySources::ScmUnavailable() {
  const common::UniqueServiceHandle manager(
      ::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
  return !manager;
}

StagedProfiles WinActivitySources::CountStaged() {
  return staged_ ? staged_() : StagedProfiles{};
}

uint8_t WinActivitySources::CheckProcess(uint32_t pid) {
  return static_cast<uint8_t>(CheckOpenVpnProcess(pid));
}

uint64_t WinActivitySources::NowMs() {
  return ::GetTickCount64();
}

bool WinActivitySources::WriteVerdict(uint32_t activity, uint32_t reasons) {
  common::UniqueRegKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kActivityKeyPath, 0, nullptr, 0,
                        KEY_WOW64_64KEY | KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD activity_value = activity;
  const DWORD reasons_value = reasons;
  const bool activity_set = ::RegSetValueExW(key.get(), kActivityValueName, 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&activity_value),
                                             sizeof activity_value) == ERROR_SUCCESS;
  const bool reasons_set = ::RegSetValueExW(key.get(), kActivityReasonsValueName, 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&reasons_value),
                                            sizeof reasons_value) == ERROR_SUCCESS;
  return activity_set && reasons_set;
}

}  // namespace tovra::service
