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
#include <mutex>
#include <span>
#include <string>

#include "agent/agent_rules.h"
#include "common/ipc/frame.h"
#include "common/win/handles_win.h"

namespace tovra::agent {

// Outcome of opening the Service pipe: a handle, or a Status number (1, 4, 5, 7).
struct PipeConnectResult {
  common::UniqueHandle pipe;
  uint16_t error = 0;
};

class ServiceLink {
 public:
  using Connector = std::function<PipeConnectResult()>;

  // `connector` opens the pipe (the real one: the Service pipe of the Agent's
  // session, 20 tries with 500 ms busy waits).
  explicit ServiceLink(Connector connector);
  ServiceLink(const ServiceLink&) = delete;
  ServiceLink& operator=(const ServiceLink&) = delete;

  bool EnsureConnected();

  struct Result {
    bool ok = false;
    uint16_t status = common::ToWire(common::Status::unavailable);
    common::Bytes body;  // the reply after its status, when ok
  };
  // At most two tries; the second reconnects with a fresh hello.
  Result Request(uint16_t type, std::span<const uint8_t> payload);

  bool connected();
  uint16_t last_error();
  uint32_t service_generation();

 private:
  bool HelloLocked();
  void DropLocked();

  Connector connector_;
  std::mutex mutex_;
  common::UniqueHandle pipe_;
  bool connected_ = false;
  uint32_t request_counter_ = 1;
  uint16_t last_error_ = common::ToWire(common::Status::unavailable);
  uint32_t service_generation_ = 0;
};

// Asks the Service to place an OpenVPN profile where the Interactive Service
// accepts it. Implemented by ServiceLinkOpenVpnStager; faked in tests.
class OpenVpnConfigStager {
 public:
  virtual ~OpenVpnConfigStager() = default;
  // Returns the staged path, empty on failure with `result` saying why.
  virtual std::wstring Stage(uint32_t stage_key, const std::string& profile, uint16_t& result) = 0;
  virtual void Unstage(const std::wstring& staged_path) = 0;
};

class ServiceLinkOpenVpnStager final : public OpenVpnConfigStager {
 public:
  ServiceLinkOpenVpnStager(ServiceLink* link, uint32_t session_id)
      : link_(link), session_id_(session_id) {}
  std::wstring Stage(uint32_t stage_key, const std::string& profile, uint16_t& result) override;
  void Unstage(const std::wstring& staged_path) override;

 private:
  ServiceLink* link_;  // not owned
  [[maybe_unused]] uint32_t session_id_;  // the session whose Service pipe the link uses
};

}  // namespace tovra::agent
