// The Agent's client connection to the Service pipe of its session.
//
// Connects on demand, says hello and checks the protocol (failing closed on a
// mismatch), relays requests with one reconnect, and notices a replaced Service by
// its generation number. Thread-safe: one lock is held for every connect and for
// each exchange (the main thread and an OpenVPN attempt thread share the link).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "agent/agent_rules.h"
#include "agent/openvpn/openvpn_parts.h"
#include "common/ipc/frame.h"
#include "common/ipc/protocol_client_win.h"

namespace tovra::agent {

// Outcome of opening the Service pipe: a handle, or a Status number (1, 4, 5, 7).
using PipeConnectResult = common::OpenedPipe;

class ServiceLink {
 public:
  using Connector = std::function<PipeConnectResult()>;

  // `connector` opens the pipe (the real one: the Service pipe of the Agent's
  // session, 20 tries with 500 ms busy waits).
  explicit ServiceLink(Connector connector);
  ServiceLink(const ServiceLink&) = delete;
  ServiceLink& operator=(const ServiceLink&) = delete;

  [[nodiscard]] bool EnsureConnected() { return client_.EnsureConnected(); }

  using Result = common::ProtocolReply;  // {ok, status, body after the status}
  // At most two tries; the second reconnects with a fresh hello. A request whose
  // reply timed out is not sent again; a payload no frame can carry is status 1.
  [[nodiscard]] Result Request(uint16_t type, std::span<const uint8_t> payload) {
    return client_.Request(type, payload);
  }

  bool connected() { return client_.connected(); }
  uint16_t last_error() { return client_.last_status(); }
  uint32_t service_generation() { return client_.generation(); }

 private:
  common::ProtocolClient client_;
};

// Stages through the Service pipe of the Agent's session.
class ServiceLinkOpenVpnStager final : public openvpn::OpenVpnConfigStager {
 public:
  ServiceLinkOpenVpnStager(ServiceLink* link, uint32_t session_id)
      : link_(link), session_id_(session_id) {}
  std::wstring Stage(uint32_t stage_key, std::span<const uint8_t> profile,
                     uint16_t& result) override;
  void Unstage(const std::wstring& staged_path) override;

 private:
  ServiceLink* link_;                     // not owned
  [[maybe_unused]] uint32_t session_id_;  // the session whose Service pipe the link uses
};

}  // namespace tovra::agent
