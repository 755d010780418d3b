// Server side of the local pipes: creating one instance and waiting for its client.
// A server runs these on one thread and serves one client at a time.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/base/win32_error.h"
#include "common/win/handles_win.h"
#include "common/ipc/pipe_security_win.h"

namespace tovra::common {

inline constexpr DWORD kPipeBufferSize = 16384;

struct CreatePipeResult {
  UniqueHandle pipe;
  Win32Error error;  // a failed creation
};

// A byte-mode, overlapped, duplex instance that refuses remote clients.
// `security` must stay alive while the instance exists.
[[nodiscard]] CreatePipeResult CreateServerPipe(const std::wstring& name, PipeSecurity& security,
                                                bool first_instance, uint32_t max_instances);

enum class AcceptResult {
  connected,  // a client is on the instance
  stopped,    // the stop event was signalled
  timed_out,  // nobody came within wait_ms
  failed,     // the connect failed; drop the instance and start over
};

// Waits for a client on a fresh instance, or for `stop_event` (may be null), for at
// most `wait_ms`. On anything but `connected` the pending connect has been
// cancelled and has completed; the caller closes the instance.
[[nodiscard]] AcceptResult AcceptClient(HANDLE pipe, HANDLE stop_event, uint32_t wait_ms);

// After a client session: lets the client read what is still buffered for it (at
// most `flush_timeout_ms`, so a client that never reads cannot hold the server),
// then disconnects it. The caller closes the handle.
void FinishClient(HANDLE pipe, uint32_t flush_timeout_ms);

}  // namespace tovra::common
