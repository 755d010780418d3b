// What a host-method worker does, apart from threads and Windows: the payloads of
// the secret-bearing requests, built straight into self-wiping storage, and the
// request itself with its one reply.
//
// A worker's reply goes through OnceReply, so a call is answered exactly once
// whatever happens inside it: RunWorker answers "INTERNAL" when the body ended
// (returned or threw) without answering. Secrets owned by the body are wiped before
// that reply, by unwinding.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/base/secret_buffer.h"
#include "plugin/pigeon_api.h"
#include "plugin/plugin_rules.h"

namespace tovra_windows_vpn {

// The start_wireguard payload (the configuration text) and the start_openvpn
// payload (profile, username, password), each sized once. Nothing when a text is
// longer than a wire text may be or the whole is longer than a frame's payload;
// then no copy of a secret was made.
[[nodiscard]] std::optional<tovra::common::SecretBuffer> BuildStartWireGuardPayload(
    std::string_view config);
[[nodiscard]] std::optional<tovra::common::SecretBuffer> BuildStartOpenVpnPayload(
    std::string_view profile, std::string_view username, std::string_view password);

inline FlutterError ErrorFor(std::string_view code) {
  return FlutterError(std::string(code), "");
}

template <typename T>
class OnceReply {
 public:
  explicit OnceReply(std::function<void(ErrorOr<T>)> result) : result_(std::move(result)) {}

  // Later calls are ignored. Marked as sent before the callback runs, so a
  // callback that throws is not answered a second time.
  void operator()(ErrorOr<T> value) {
    if (sent_) return;
    sent_ = true;
    std::function<void(ErrorOr<T>)> result = std::move(result_);
    if (result) result(std::move(value));
  }
  bool sent() const { return sent_; }

 private:
  std::function<void(ErrorOr<T>)> result_;
  bool sent_ = false;
};

// Runs `body(reply)` and makes sure the call got its one reply.
template <typename T, typename Body>
void RunWorker(std::function<void(ErrorOr<T>)> result, Body&& body) noexcept {
  try {
    OnceReply<T> reply(std::move(result));
    try {
      body(reply);
    } catch (...) {
      // Answered below; whatever the body owned is gone (and wiped) by now.
    }
    if (!reply.sent()) reply(ErrorFor(kErrorInternal));
  } catch (...) {
    // The reply callback itself failed: nothing more can be sent for this call.
  }
}

// One request: send, wipe the payload, read the record, reply. `Client` has
// Request(type, bytes) returning {ok, status, payload}.
template <typename T, typename Client, typename ReadFn>
void SendRequest(Client& client, uint16_t type, tovra::common::SecretBuffer payload, Reach reach,
                 ReadFn read, OnceReply<T>& reply) {
  auto answer = client.Request(type, payload.span());
  payload.clear();
  if (!answer.ok) {
    reply(ErrorFor(ErrorCodeForStatus(answer.status, reach)));
    return;
  }
  std::optional<T> value = read(std::span<const uint8_t>(answer.payload));
  if (!value) {
    reply(ErrorFor(kErrorInternal));
    return;
  }
  reply(std::move(*value));
}

}  // namespace tovra_windows_vpn
