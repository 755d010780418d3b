// The collaborators of one OpenVPN connection attempt, as the coordinator sees
// them: staging through the Service, the Interactive Service launch, the
// management connection, the started process, and the Agent's environment
// (staging folder, loopback port, randomness, clocks).
//
// Portable: the coordinator's state machine is tested over fakes of these; the
// Windows implementations live in the *_win files beside this one. Every method
// may be called from the attempt thread; those marked "any thread" also from the
// Agent's main thread or the management reader thread while the attempt runs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/base/secret_buffer.h"

namespace tovra::agent::openvpn {

// The connection state the management interface reports, by OpenVPN's names.
enum class ManagementState : uint8_t {
  none = 0,
  connecting = 1,
  resolve = 2,
  tcp_connect = 3,
  wait = 4,
  auth = 5,
  auth_pending = 6,
  get_config = 7,
  assign_ip = 8,
  add_routes = 9,
  connected = 10,
  reconnecting = 11,
  exiting = 12,
};

enum class PasswordPromptKind : uint8_t {
  unrecognised = 0,
  private_key = 1,
  username_and_password = 2,
  username = 3,
  password = 4,
};

// Asks the Service to place a profile where the Interactive Service accepts it.
class OpenVpnConfigStager {
 public:
  virtual ~OpenVpnConfigStager() = default;
  // The staged path, or empty with `result` saying why (StageResult values:
  // 0 staged, 1 Service unavailable or busy, 2 refused, 3 rejected, 4 other).
  virtual std::wstring Stage(uint32_t stage_key, std::span<const uint8_t> profile,
                             uint16_t& result) = 0;
  virtual void Unstage(const std::wstring& staged_path) = 0;
};

// What the Interactive Service is asked to start.
struct StartupInfo {
  std::wstring working_directory;
  std::wstring options_line;
  common::SecretBuffer stdin_text;  // ASCII: the management password and "\n"
};

struct LaunchResult {
  // 0 started; 1 service unavailable (or not the expected process); 2 exchange
  // failed; 3 needs administrator approval; 4 other startup error; 5 other error.
  int32_t result = 1;
  uint32_t process_id = 0;  // when result is 0
  std::wstring message;     // the service's error text, at most 500 characters
};

class InteractiveServiceLauncher {
 public:
  virtual ~InteractiveServiceLauncher() = default;
  // Sends one startup message and reads the reply. Never throws.
  virtual LaunchResult Launch(const StartupInfo& info, uint32_t pipe_wait_ms,
                              uint32_t io_timeout_ms) = 0;
};

// Callbacks of a running management connection; they run on its reader thread.
struct ManagementCallbacks {
  std::function<void(ManagementState)> state;
  std::function<void(uint64_t bytes_in, uint64_t bytes_out)> byte_counts;
  std::function<void()> hold;
  std::function<void(PasswordPromptKind)> password_prompt;
  std::function<void(bool auth_failed)> fatal;
  std::function<void()> closed;  // every time the reader ends, also after Close
};

enum class ManagementConnectOutcome : uint8_t {
  connected,
  failed,             // no connection, no prompt, a send failed, an unexpected reply
  password_rejected,  // the interface answered the management password with ERROR:
  peer_untrusted,     // the listening end belongs to another process; nothing was sent
};

enum class CredentialKind : uint8_t { username, password };

enum class CredentialSendOutcome : uint8_t { sent, refused, send_failed };

class ManagementConnection {
 public:
  virtual ~ManagementConnection() = default;
  // Connects to 127.0.0.1:`port` until `timeout_ms` has passed, checks that the
  // listening end belongs to `expected_peer_pid` before anything is sent,
  // authenticates with `password` (not kept) and starts the reader.
  virtual ManagementConnectOutcome Connect(uint16_t port, std::span<const uint8_t> password,
                                           uint32_t timeout_ms, uint32_t expected_peer_pid,
                                           ManagementCallbacks callbacks) = 0;
  // A command ending in "\n" ("state on\n", "hold release\n", "signal SIGTERM\n",
  // "bytecount 5\n"). Any thread.
  virtual bool SendCommand(std::string_view command) = 0;
  // username/password "Auth" command; refused values are not sent. Any thread.
  virtual CredentialSendOutcome SendCredential(CredentialKind kind,
                                               std::span<const uint8_t> value) = 0;
  // Shuts the connection down and joins the reader (unless called on it). Any
  // thread; a second caller finds nothing left to do.
  virtual void Close() = 0;
  virtual bool IsConnected() = 0;  // any thread
};

// The openvpn.exe the Interactive Service started, and its exit event.
class OpenVpnProcessControl {
 public:
  virtual ~OpenVpnProcessControl() = default;
  // A named manual-reset event, unsignalled; false when it cannot be created.
  virtual bool CreateExitEvent(const std::wstring& name) = 0;
  virtual void CloseExitEvent() = 0;
  // Records the reported process id and opens the process for waiting; what
  // does not match expectations (image, session) is only logged.
  virtual void AdoptProcess(uint32_t pid) = 0;
  virtual uint32_t process_id() = 0;  // any thread; 0 when none
  // True only when a process handle is held and it is signalled.
  virtual bool HasExited() = 0;
  // Signals the exit event, waits up to `wait_ms`, then ends a process that is
  // still running openvpn.exe; releases the handles and clears the id. Any
  // thread; concurrent callers split the work, a second finds nothing left.
  virtual void StopProcess(uint32_t wait_ms) = 0;
};

class OpenVpnEnvironment {
 public:
  virtual ~OpenVpnEnvironment() = default;
  // The Agent's own staging folder (created, restricted to the user); empty
  // when it cannot be had.
  virtual std::wstring StagingDirectory() = 0;
  // Deletes leftovers of earlier attempts: the status log, "ovpn-*.conf|log".
  virtual void SweepStagingDirectory(const std::wstring& directory) = 0;
  // Overwrites and deletes "openvpn-status.log" in the folder.
  virtual void DeleteStatusLog(const std::wstring& directory) = 0;
  // A currently free port on 127.0.0.1; nothing when none could be had (logged).
  virtual std::optional<uint16_t> AllocateLoopbackPort() = 0;
  virtual void RandomBytes(std::span<uint8_t> out) = 0;  // never fails
  virtual uint64_t SteadyMs() = 0;                       // monotonic
  virtual uint64_t UnixMs() = 0;                         // since 1970-01-01 UTC
  virtual void SleepMs(uint32_t ms) = 0;
};

}  // namespace tovra::agent::openvpn
