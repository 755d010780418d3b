#include "agent/openvpn/openvpn_command_line.h"

namespace tovra::agent::openvpn {

std::wstring QuoteArgument(std::wstring_view argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring_view::npos) {
    return std::wstring(argument);
  }
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');  // they precede the closing quote
  out.push_back(L'"');
  return out;
}

std::wstring JoinOptionsLine(std::span<const std::wstring> arguments) {
  std::wstring line;
  for (const std::wstring& a : arguments) {
    if (!line.empty()) line.push_back(L' ');
    line += QuoteArgument(a);
  }
  return line;
}

std::vector<std::wstring> OpenVpnArguments(const std::wstring& staged_path, uint16_t port,
                                           const std::wstring& exit_event_name) {
  return {L"--config",
          staged_path,
          L"--management",
          L"127.0.0.1",
          std::to_wstring(port),
          L"stdin",
          L"--management-hold",
          L"--management-query-passwords",
          L"--management-signal",
          L"--service",
          exit_event_name,
          L"0"};
}

common::SecretBuffer HexText(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  common::SecretBuffer out;
  out.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    out.push_back(static_cast<uint8_t>(kDigits[b >> 4]));
    out.push_back(static_cast<uint8_t>(kDigits[b & 0x0F]));
  }
  return out;
}

}  // namespace tovra::agent::openvpn
