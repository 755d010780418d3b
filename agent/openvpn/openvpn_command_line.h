// The command line the Interactive Service is asked to run openvpn.exe with, and
// the random texts that go into it. Portable.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/secret_buffer.h"

namespace tovra::agent::openvpn {

// One argument as the Windows C runtime splits it back: quoted when empty or
// when it holds a space, a tab or a double quote; inside quotes, backslashes
// before a quote (or before the closing quote) are doubled and quotes escaped.
std::wstring QuoteArgument(std::wstring_view argument);
// Arguments joined with single spaces, each quoted as above.
std::wstring JoinOptionsLine(std::span<const std::wstring> arguments);

// The twelve arguments that run a staged profile with a management interface
// on 127.0.0.1:`port`, held until released, passwords asked through it, and an
// exit event the Agent signals to stop it.
std::vector<std::wstring> OpenVpnArguments(const std::wstring& staged_path, uint16_t port,
                                           const std::wstring& exit_event_name);

// `bytes` as lower-case hexadecimal, high nibble first, into wiped storage.
common::SecretBuffer HexText(std::span<const uint8_t> bytes);

inline constexpr std::wstring_view kExitEventPrefix = L"Zerka-OpenVpnExit-";

}  // namespace tovra::agent::openvpn
