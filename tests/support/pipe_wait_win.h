// Waiting for a server's pipe to exist, for tests that start a server process and
// must not talk to it before it listens.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/ipc/pipe_names.h"
#include "common/security/caller_identity_win.h"
#include "tests/support/wait_until.h"

namespace tovra::testing {

// Whether an instance of the pipe `name` exists, free or busy.
[[nodiscard]] inline bool PipeExists(const std::wstring& name) {
  // A free instance answers at once and a busy one times out; only a missing
  // name says there is none.
  if (::WaitNamedPipeW(name.c_str(), 1)) return true;
  const DWORD error = ::GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_BAD_PATHNAME;
}

// True once an instance of the pipe `name` exists, false when none appeared
// within `timeout_ms`.
[[nodiscard]] inline bool WaitForPipe(const std::wstring& name, uint32_t timeout_ms) {
  return WaitUntil([&] { return PipeExists(name); }, std::chrono::milliseconds(timeout_ms));
}

// The same for a role's pipe in this process's session (the Service's, the Agent's).
[[nodiscard]] inline bool WaitForRolePipe(std::wstring_view role, uint32_t timeout_ms) {
  const auto name = common::FormatPipeName(role, common::GetProcessSessionId());
  return name && WaitForPipe(*name, timeout_ms);
}

}  // namespace tovra::testing
