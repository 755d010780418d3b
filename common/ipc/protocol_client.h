// Decisions of the protocol client shared by the Agent's Service link and the
// plugin's Agent client: how a hello reply is judged, how a reply's status is
// split off, whether a failed exchange may be sent again, and the connect loop's
// next step. Pure functions; the Win32 client (protocol_client_win.h) gathers the
// facts and carries the decisions out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/ipc/frame.h"
#include "common/ipc/messages.h"

namespace tovra::common {

// The two servers answer hello slightly differently, and their clients read a
// failed hello differently.
struct HelloRules {
  // The Agent's hello reply ends with its session id (u32); the Service's does not.
  bool expects_session_id = false;
  // A non-zero status in the reply becomes the client's status as it stands (the
  // Service link), or is read as an undecodable reply, `internal` (the plugin).
  bool passes_server_status = true;
};

// The Agent talking to the Service, and the plugin talking to the Agent.
inline constexpr HelloRules kServiceHelloRules{.expects_session_id = false,
                                               .passes_server_status = true};
inline constexpr HelloRules kAgentHelloRules{.expects_session_id = true,
                                             .passes_server_status = false};

struct HelloOutcome {
  uint16_t status = ToWire(Status::unavailable);  // 0 when the server may be used
  uint16_t protocol = 0;                          // set when the body decoded
  uint32_t generation = 0;                        // header generation, set on success
};

// Judges the reply to a hello sent with `sent_request_id`; nothing means the
// exchange failed (`unavailable`).
[[nodiscard]] HelloOutcome EvaluateHelloReply(const std::optional<Frame>& reply,
                                              uint32_t sent_request_id, const HelloRules& rules);

// A reply payload split at its leading status word.
struct SplitReply {
  bool ok = false;
  uint16_t status = ToWire(Status::internal);  // internal when no status could be read
  Bytes body;                                  // after the status, when ok
};

[[nodiscard]] SplitReply SplitReplyStatus(std::span<const uint8_t> payload);

// Why an exchange of one request and its reply failed.
enum class ExchangeFailure {
  none,
  write_failed,  // the request did not (entirely) reach the pipe
  broken,        // the pipe broke or closed while the reply was awaited
  timed_out,     // the request was written and no reply came in time
  wrong_reply,   // a reply that does not decode or answers another request id
};

// Whether a request may go out once more on a fresh connection. A server that
// dropped an idle link breaks the pipe: the request never reached it, or reached
// a server that is gone. A request that was written and then timed out may still
// be running (a tunnel being started); sending it again would run it twice.
[[nodiscard]] bool MayResend(ExchangeFailure failure);

// A request the client refuses before touching the connection, or nothing.
// A payload that no frame can carry is the caller's mistake, not a broken link.
[[nodiscard]] std::optional<uint16_t> RejectBeforeSending(std::span<const uint8_t> payload);

// The connect loop, one opening attempt at a time.
enum class OpenOutcome { opened, busy, absent, other_error };

enum class ConnectAction {
  done,              // the pipe is open
  retry,             // try again at once
  wait_busy,         // wait for an instance, then try again (uses up an attempt)
  pause_reappear,    // the name vanished right after a busy spell: pause, try again
  ask_absent_hook,   // the pipe is absent for good: the hook may start the server
  fail_unavailable,  // absent and nobody to start it
  fail_internal,     // any other opening error
  fail_busy,         // every attempt found the pipe busy
};

// How many short pauses an absent name gets after a busy spell before it counts as
// absent. One server instance closes and the next is created within a few
// milliseconds; far longer means the server is gone.
inline constexpr uint32_t kReappearPauses = 10;
inline constexpr uint32_t kReappearPauseMs = 50;

class ConnectLoop {
 public:
  explicit ConnectLoop(uint32_t attempts) : attempts_left_(attempts) {}
  // False once the attempts are used up (then the result is `busy`).
  [[nodiscard]] bool HasAttempt() const { return attempts_left_ > 0; }
  // The action after one opening attempt.
  [[nodiscard]] ConnectAction Next(OpenOutcome outcome);
  // After ask_absent_hook: whether the hook asked to try again (which uses up an
  // attempt); without a hook, false.
  [[nodiscard]] ConnectAction AfterAbsentHook(bool retry);

 private:
  uint32_t attempts_left_;
  bool after_busy_ = false;
  uint32_t reappear_pauses_ = 0;
};

}  // namespace tovra::common
