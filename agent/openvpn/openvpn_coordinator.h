// Runs one OpenVPN connection attempt at a time for the Agent: validates the
// request, has the Service stage the profile, has the Interactive Service start
// openvpn.exe with a management interface, answers its prompts and supervises
// the attempt until it is connected, fails, or is stopped.
//
// Threading: Start, Stop, Snapshot and ReportedProcessId are called on the
// Agent's main thread. Each attempt runs on its own thread; the management
// connection's reader thread runs the callbacks. Every status write of an attempt
// is dropped once the attempt is superseded (a stop or a newer start). Stop and
// the destructor return only after the attempt thread has ended, and by then the
// profile it staged has been unstaged.
//
// Failures are reported in the status record's error_kind (see ErrorKind).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "agent/openvpn/openvpn_parts.h"
#include "common/base/secret_buffer.h"
#include "common/ipc/messages.h"

namespace tovra::agent::openvpn {

enum class ErrorKind : uint16_t {
  none = 0,
  invalid_request = 1,   // profile refused (not for "proto"), or username/password
  profile_no_proto = 2,  // no valid "proto" directive
  already_active = 3,
  no_port_or_launch = 5,  // no loopback port, or an unknown Interactive Service error
  management_failed = 6,  // connect, authentication, or an untrusted listener
  auth_failed = 7,
  fatal = 8,
  exited = 9,
  connect_timeout = 10,
  internal = 11,
  service_unavailable = 12,
  launch_exchange_failed = 13,
  not_permitted = 14,
  rejected = 15,
  management_password_rejected = 16,
};

constexpr uint16_t ToWire(ErrorKind e) {
  return static_cast<uint16_t>(e);
}

struct CoordinatorSettings {
  uint32_t management_connect_timeout_ms = 10000;
  uint32_t connect_timeout_ms = 60000;
  uint32_t stop_wait_ms = 5000;
  uint32_t bytecount_interval_s = 5;
  uint32_t pipe_wait_ms = 5000;
  uint32_t io_timeout_ms = 5000;
  uint32_t poll_ms = 200;
};

struct CoordinatorParts {
  std::unique_ptr<OpenVpnConfigStager> stager;
  std::unique_ptr<InteractiveServiceLauncher> launcher;
  std::unique_ptr<ManagementConnection> management;
  std::unique_ptr<OpenVpnProcessControl> process;
  std::unique_ptr<OpenVpnEnvironment> environment;
};

struct StartRequest {
  common::SecretBuffer profile;
  common::SecretBuffer username;
  common::SecretBuffer password;
};

struct StartOutcome {
  bool started = false;
  ErrorKind refusal = ErrorKind::none;  // why it was not started
  uint32_t attempt_id = 0;              // of the started attempt
};

// Error kinds for the launch results 1..5 and the stage results 1..4.
ErrorKind ErrorForLaunchResult(int32_t launch_result);
ErrorKind ErrorForStageResult(uint16_t stage_result);
// 1..255 bytes, none below 0x20, no 0x7F.
bool IsAcceptableCredential(std::span<const uint8_t> value);

class OpenVpnCoordinator {
 public:
  // Computes the Agent's staging folder and sweeps what earlier runs left there.
  OpenVpnCoordinator(CoordinatorSettings settings, CoordinatorParts parts);
  ~OpenVpnCoordinator();
  OpenVpnCoordinator(const OpenVpnCoordinator&) = delete;
  OpenVpnCoordinator& operator=(const OpenVpnCoordinator&) = delete;

  // Takes the request's buffers. A refusal leaves the status record alone: the
  // caller reports it in its reply.
  StartOutcome Start(StartRequest request);
  void Stop();
  common::OpenVpnStatusRecord Snapshot();
  uint32_t ReportedProcessId();

 private:
  struct Credentials;
  void RunAttempt(uint32_t attempt_id, StartRequest request);
  void RunAttemptSteps(uint32_t attempt_id, common::SecretBuffer& profile,
                       std::shared_ptr<Credentials> credentials, std::wstring& staged);
  bool Current(uint32_t attempt_id) const { return attempt_counter_.load() == attempt_id; }
  // Ends an attempt: unstage, stop the process, close the management connection;
  // with `error`, records it and clears active while the attempt is current.
  void EndAttempt(uint32_t attempt_id, std::wstring& staged_path, ErrorKind error);
  void Unstage(std::wstring& staged_path);
  void StopProcess();
  ManagementCallbacks CallbacksFor(uint32_t attempt_id, std::shared_ptr<Credentials> credentials);

  const CoordinatorSettings settings_;
  CoordinatorParts parts_;

  std::atomic<uint32_t> attempt_counter_{0};
  std::atomic<bool> stop_flag_{false};

  std::mutex status_lock_;
  common::OpenVpnStatusRecord status_;
  std::wstring staging_dir_;  // the last one computed; under status_lock_

  std::mutex thread_lock_;
  std::thread attempt_thread_;
};

}  // namespace tovra::agent::openvpn
