// Client side of the local pipes: opening a server's pipe with the busy/absent
// retry loop, and one request/reply exchange. Callers serialise use of one handle
// (a connection carries one exchange at a time).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "common/base/win32_error.h"
#include "common/ipc/frame.h"
#include "common/win/handles_win.h"
#include "common/ipc/messages.h"
#include "common/ipc/protocol_client.h"

namespace tovra::common {

struct ConnectOptions {
  uint32_t attempts = 1;
  uint32_t busy_wait_ms = 0;
  // Called each time the pipe does not exist; returning true uses up the attempt
  // and tries again (the plugin starts the Agent once this way). Without it, or
  // when it returns false, an absent pipe is `unavailable` at once.
  std::function<bool()> on_absent;
};

struct ConnectResult {
  UniqueHandle pipe;          // open on success
  Status error = Status::ok;  // otherwise: bad_request (no name), unavailable (no pipe),
                              // internal (other open error), busy (busy on every attempt)
  Win32Error win32;           // the open that failed last
};

// Opens "\\.\pipe\ZERKA.VPN.<role>.<session>" for overlapped read and write, at
// most `attempts` times. A busy pipe is waited for (WaitNamedPipeW, busy_wait_ms);
// an absent pipe is `unavailable` unless `on_absent` asks to retry. A name that
// vanishes right after a busy spell (the server is between two instances) gets a
// few short pauses first; if it stays absent it is absent (ConnectLoop). The
// handshake (`hello`) is the caller's next step.
[[nodiscard]] ConnectResult ConnectToServer(std::wstring_view role, uint32_t session_id,
                                            const ConnectOptions& options);

// ConnectToServer for a pipe already named.
[[nodiscard]] ConnectResult ConnectToPipe(const std::wstring& pipe_name,
                                          const ConnectOptions& options);

// Writes one request (generation 0) and reads its reply, which must echo the
// request id. The reply read waits ReplyTimeoutMs(type, timeout_ms). Nothing on any
// failure; the caller then drops the connection.
[[nodiscard]] std::optional<Frame> ExchangeRequest(HANDLE pipe, uint16_t type, uint32_t request_id,
                                                   std::span<const uint8_t> payload,
                                                   uint32_t timeout_ms);

struct ExchangeResult {
  std::optional<Frame> reply;
  ExchangeFailure failure = ExchangeFailure::none;  // set when there is no reply
};
// ExchangeRequest that says why it failed (the retry rule depends on it).
[[nodiscard]] ExchangeResult ExchangeRequestDetailed(HANDLE pipe, uint16_t type,
                                                     uint32_t request_id,
                                                     std::span<const uint8_t> payload,
                                                     uint32_t timeout_ms);

}  // namespace tovra::common
