// The Interactive Service's startup protocol, as data: the startup message the
// Agent sends and the reduction of the service's reply to a launch result.
//
// Portable and stateless (callable from any thread); the pipe exchange around it
// lives in interactive_service_client_win. A message that cannot be built and a
// reply that does not parse are results, never exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "agent/openvpn/openvpn_parts.h"
#include "common/base/secret_buffer.h"

namespace tovra::agent::openvpn {

// The service's own limit on a startup message, in UTF-16 units, its three NULs
// included.
inline constexpr size_t kMaxStartupMessageChars = 1024;
// The most of the service's error text a launch result carries.
inline constexpr size_t kMaxLaunchMessageChars = 500;

// The service's error codes with a meaning of their own.
inline constexpr uint32_t kServiceErrorStartupData = 0x20000002;
inline constexpr uint32_t kServiceErrorMessageData = 0x20000003;
inline constexpr uint32_t kServiceErrorOptionsUnauthorised = 0x20000001;

// UTF-16LE bytes of `working_directory` NUL `options_line` NUL `stdin_ascii` NUL,
// built in one allocation of the final size: the standard-input part is the
// management password, so the whole message is a secret. Nothing when it would
// be longer than kMaxStartupMessageChars. Where wchar_t is 32-bit, characters
// beyond the BMP become surrogate pairs (and count as two).
std::optional<common::SecretBuffer> BuildStartupMessage(std::wstring_view working_directory,
                                                        std::wstring_view options_line,
                                                        std::span<const uint8_t> stdin_ascii);

// The service's reply ("0x%08x\n" error code, then its text; on success that
// text is "0x%08x\n" process id and "Process ID") as a launch result: 0 with the
// pid, 2 for a malformed reply or the data errors, 3 for an options error that
// needs administrator approval, 4 for another options error, 5 for any other
// code; the error text (at most kMaxLaunchMessageChars) in `message`. The reply
// ends at its first NUL, if it has one.
LaunchResult ParseInteractiveServiceReply(std::wstring_view reply);

// Whether the process serving the pipe is the one we mean to talk to. A zero
// expectation (the service is not running) and an unknown or zero server id
// never pass.
bool PipeServerTrusted(uint32_t expected_server_pid, std::optional<uint32_t> server_pid);

}  // namespace tovra::agent::openvpn
