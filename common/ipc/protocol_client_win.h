// One client connection to a protocol server (the Service for the Agent, the
// Agent for the plugin): opens the pipe on demand, refuses a server whose pipe
// owner is not trusted, says hello and fails closed on a protocol mismatch,
// notices a replaced server by its generation number, and sends requests with the
// one-resend rule (MayResend).
//
// Thread-safe: one lock is held for every connect (with its waits and the absent
// hook) and for each exchange, so one frame exchange is in flight at a time.
// Failures are statuses (the numbers of Status), never exceptions.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "common/ipc/frame.h"
#include "common/ipc/pipe_client_win.h"
#include "common/ipc/protocol_client.h"
#include "common/win/handles_win.h"

namespace tovra::common {

// An opened pipe, or the status saying why there is none.
struct OpenedPipe {
  UniqueHandle pipe;
  uint16_t error = 0;
};

struct ProtocolClientConfig {
  // Opens the server's pipe (name, tries, busy waits, starting the server); called
  // with the client's lock held.
  std::function<OpenedPipe()> open;
  uint32_t io_timeout_ms = 15000;
  HelloRules hello;
  // Log lines of this client's role.
  std::wstring untrusted_owner_line;
  std::function<std::wstring(uint16_t server_protocol)> protocol_mismatch_line;
  std::function<std::wstring(uint32_t old_generation, uint32_t new_generation)>
      generation_changed_line;
};

struct ProtocolReply {
  bool ok = false;
  uint16_t status = ToWire(Status::unavailable);
  Bytes body;  // the reply after its status, when ok
};

// A connect followed by one exchange, for liveness probes.
struct ProtocolProbe {
  bool connected = false;
  uint32_t generation = 0;
  uint16_t last_status = ToWire(Status::unavailable);
  std::optional<Frame> reply;  // when the exchange succeeded
};

class ProtocolClient {
 public:
  explicit ProtocolClient(ProtocolClientConfig config);
  ~ProtocolClient();
  ProtocolClient(const ProtocolClient&) = delete;
  ProtocolClient& operator=(const ProtocolClient&) = delete;

  // Connects and says hello unless connected; false with last_status set.
  [[nodiscard]] bool EnsureConnected();
  // At most two passes; the second reconnects with a fresh hello, unless the
  // first one's request may still be running at the server (MayResend).
  [[nodiscard]] ProtocolReply Request(uint16_t type, std::span<const uint8_t> payload);
  // Connects if needed and exchanges one request of `type` with an empty payload,
  // without a resend; a failed exchange drops the connection.
  [[nodiscard]] ProtocolProbe Probe(uint16_t type);

  bool connected();
  // The outcome of the last connect and hello: 0, or the status of its failure.
  uint16_t last_status();
  // The generation in the header of the last accepted hello reply; 0 before.
  uint32_t generation();

 private:
  [[nodiscard]] bool EnsureConnectedLocked();
  bool HelloLocked();
  [[nodiscard]] ExchangeResult ExchangeLocked(uint16_t type, std::span<const uint8_t> payload);
  void DropLocked();

  const ProtocolClientConfig config_;
  std::mutex mutex_;
  UniqueHandle pipe_;
  bool connected_ = false;
  uint32_t next_request_id_ = 1;
  uint32_t generation_ = 0;
  uint16_t last_status_ = ToWire(Status::unavailable);
};

}  // namespace tovra::common
