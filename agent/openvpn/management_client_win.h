// The Agent's client of one openvpn.exe's management interface on 127.0.0.1.
//
// Ownership: the coordinator owns the client for one attempt. Threading: the
// attempt thread connects; SendCommand, SendCredential, Close and IsConnected
// may be called from any thread, also from inside a callback; callbacks run on
// the client's reader thread. Close joins the reader unless it runs on it (the
// reader is then joined by the next Close, Connect or the destructor), so the
// client must not be destroyed from inside one of its own callbacks.
//
// Before the management password is sent, the owner of the connection's
// listening end is checked against the process the Interactive Service reported
// (the port was free when allocated; anything could have bound it since). A
// platform whose TCP table shows no owner even for our own end cannot decide:
// one WARN line, and the connection goes on.
//
// Failures are outcomes and return values; a failed command send is logged (its
// first word only: credentials never reach the log) and does not close the
// connection. The socket is non-blocking: every wait is a readiness wait bounded
// by the time left, never a receive or send time-out.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "agent/openvpn/management_protocol.h"
#include "agent/openvpn/openvpn_parts.h"

namespace tovra::agent::openvpn {

// The IPv4 TCP connection table with owner pids; nothing when it cannot be read.
using TcpOwnerTableReader = std::function<std::optional<std::vector<TcpOwnerRow>>()>;

// The system's table (GetExtendedTcpTable, AF_INET, owner pids, all states).
std::optional<std::vector<TcpOwnerRow>> ReadSystemTcpOwnerTable();

class OpenVpnManagementClient final : public ManagementConnection {
 public:
  OpenVpnManagementClient() : OpenVpnManagementClient(ReadSystemTcpOwnerTable) {}
  // `read_table` stands in for the system's table in tests.
  explicit OpenVpnManagementClient(TcpOwnerTableReader read_table);
  ~OpenVpnManagementClient() override;
  OpenVpnManagementClient(const OpenVpnManagementClient&) = delete;
  OpenVpnManagementClient& operator=(const OpenVpnManagementClient&) = delete;

  ManagementConnectOutcome Connect(uint16_t port, std::span<const uint8_t> password,
                                   uint32_t timeout_ms, uint32_t expected_peer_pid,
                                   ManagementCallbacks callbacks) override;
  bool SendCommand(std::string_view command) override;
  CredentialSendOutcome SendCredential(CredentialKind kind,
                                       std::span<const uint8_t> value) override;
  void Close() override;
  bool IsConnected() override { return connected_.load(); }

  // Commands are spaced at least this far apart on the wire.
  static constexpr std::chrono::milliseconds kCommandSpacing{60};

 private:
  using Clock = std::chrono::steady_clock;

  ManagementConnectOutcome Authenticate(SOCKET s, LineAssembler& received,
                                        std::span<const uint8_t> password,
                                        Clock::time_point deadline, const std::atomic<bool>& stop);
  bool WaitForPrompt(SOCKET s, LineAssembler& received, Clock::time_point deadline,
                     const std::atomic<bool>& stop);
  // Sends one command under the lock, spaced from the previous one.
  bool SendBytes(std::span<const uint8_t> bytes);
  void ReaderLoop(SOCKET s, LineAssembler& received, const std::atomic<bool>& stop,
                  ManagementCallbacks& callbacks);
  // Joins a reader that closed its own connection, unless called on it.
  void JoinOrphanedReader();

  TcpOwnerTableReader read_table_;

  std::mutex mu_;                   // guards everything below except connected_
  SOCKET socket_ = INVALID_SOCKET;  // published once authenticated
  std::thread reader_;
  std::thread orphan_;  // a reader whose own callback closed the connection
  std::optional<Clock::time_point> last_send_;
  // The stop request of the current connection; each connection has its own,
  // so a reader still finishing never sees a later connection's cleared flag.
  std::shared_ptr<std::atomic<bool>> stop_;

  std::atomic<bool> connected_{false};
};

}  // namespace tovra::agent::openvpn
