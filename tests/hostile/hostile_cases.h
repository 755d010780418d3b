// The hostile-client suite's cases and its oracle, kept free of Win32 so the same
// seed yields the same bytes on every build.
//
// A case is the byte stream one hostile client writes on a fresh connection. The
// oracle (PredictSession) says, from the frame rules alone, which replies a correct
// server owes that client, in order, and whether it then waits for more bytes or
// drops the connection. Payloads carry a marker text so the servers' logs can be
// searched for request bytes afterwards. Single-threaded value code; nothing here
// fails except by returning what it was asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/ipc/frame.h"

namespace tovra::testing::hostile {

using common::Bytes;

// splitmix64: the same sequence with every compiler and standard library, so a
// printed seed replays the same cases anywhere.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // 0..bound-1 (0 when bound is 0).
  uint32_t Below(uint32_t bound);
  bool Percent(uint32_t p) { return Below(100) < p; }
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }

 private:
  uint64_t state_;
};

enum class ServerRole { service, agent };

struct HostileCase {
  std::string name;            // kind and parameters, for failure messages
  Bytes bytes;                 // what the client writes
  uint32_t byte_pause_ms = 0;  // non-zero: a slow writer, one byte at a time
};

struct ExpectedReply {
  uint16_t type = 0;
  uint32_t request_id = 0;
  std::optional<uint16_t> status;  // nothing: any catalogue status (0..7)
};

enum class SessionEnd {
  idle,       // every frame was whole; the server waits for the next one
  mid_frame,  // the stream stopped inside a frame; the server waits for the rest
  closed,     // the server drops the connection after the replies
};

struct Prediction {
  std::vector<ExpectedReply> replies;
  SessionEnd end = SessionEnd::idle;
};

// What a correct server does with `stream` from a fresh client.
[[nodiscard]] Prediction PredictSession(ServerRole role, std::span<const uint8_t> stream);
// The status a dispatched request must get, when the catalogue fixes it. For the
// Agent this assumes no Service is reachable, so relayed requests are unavailable.
[[nodiscard]] std::optional<uint16_t> ExpectedStatus(ServerRole role, uint16_t type,
                                                     std::span<const uint8_t> payload);

// Ten letters and digits, drawn from `rng`.
[[nodiscard]] std::string MakeMarker(Rng& rng);
// A request payload of `type` that its reader accepts (strings carry `marker`),
// followed by filler up to `size` bytes when it is shorter.
[[nodiscard]] Bytes StructuredPayload(Rng& rng, uint16_t type, const std::string& marker,
                                      size_t size);
// A header with every field given, lies included.
[[nodiscard]] Bytes RawHeader(uint32_t frame_length, uint8_t version, uint8_t reserved,
                              uint16_t type, uint32_t request_id, uint32_t generation,
                              uint32_t payload_length);
// A well-formed request frame.
[[nodiscard]] Bytes RequestFrame(uint16_t type, uint32_t request_id,
                                 std::span<const uint8_t> payload = {});

// Every header field at its limits, strings at their limits, truncations, lying
// lengths and frame sequences.
[[nodiscard]] std::vector<HostileCase> BoundaryCases(Rng& rng, const std::string& marker);
// A 61440-byte payload for every type 0..15 and 0xFFFF, readable and unreadable.
[[nodiscard]] std::vector<HostileCase> MaximumPayloadCases(Rng& rng, const std::string& marker);
// One random case: random bytes, a mutated frame, or a sequence of frames.
[[nodiscard]] HostileCase RandomCase(Rng& rng, const std::string& marker);

// A seed as decimal or 0x-prefixed hexadecimal; nothing for anything else.
[[nodiscard]] std::optional<uint64_t> ParseSeed(std::string_view text);

}  // namespace tovra::testing::hostile
