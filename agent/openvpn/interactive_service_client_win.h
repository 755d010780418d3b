// The Agent's client of the OpenVPN Interactive Service: one startup message over
// its pipe, after checking that the pipe is served by the process we expect,
// and the reply reduced to a launch result.
//
// No shared state: each launch opens, uses and closes its own pipe and event, on
// the calling (attempt) thread. Every failure is a launch result; the only log
// line is the short-write ERR line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "agent/openvpn/openvpn_parts.h"

namespace tovra::agent::openvpn {

inline constexpr wchar_t kInteractiveServiceName[] = L"OpenVPNServiceInteractive";
inline constexpr wchar_t kInteractiveServicePipe[] = L"\\\\.\\pipe\\openvpn\\service";

// The process id of the named service when it is running; 0 in every other case
// (no manager, no such service, not running, a failed query).
uint32_t RunningServiceProcessId(std::wstring_view service_name);

// One exchange with the server of `pipe_name`, which must be `expected_server_pid`
// (0 never matches). Nothing is written to a pipe served by any other process.
// `pipe_wait_ms` bounds the wait for a busy pipe, `io_timeout_ms` the write and
// each read; an operation not finished in time is cancelled, and its completion
// awaited before its buffer is released.
LaunchResult LaunchWithPipe(const std::wstring& pipe_name, uint32_t expected_server_pid,
                            const StartupInfo& info, uint32_t pipe_wait_ms, uint32_t io_timeout_ms);

class InteractiveServiceClient final : public InteractiveServiceLauncher {
 public:
  // Empty: the Interactive Service's pipe, served by the running service's
  // process. Otherwise that pipe, served by this process (a stand-in the tests and
  // the coordinator's override run in-process).
  explicit InteractiveServiceClient(std::wstring override_pipe_name = {});

  LaunchResult Launch(const StartupInfo& info, uint32_t pipe_wait_ms,
                      uint32_t io_timeout_ms) override;

 private:
  std::wstring override_pipe_name_;
};

}  // namespace tovra::agent::openvpn
