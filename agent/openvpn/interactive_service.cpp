#include "agent/openvpn/interactive_service.h"

#include <algorithm>

namespace tovra::agent::openvpn {

namespace {

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

// UTF-16 units one wide character takes on the wire.
size_t Utf16Units(wchar_t c) {
  if constexpr (kWideIsUtf16) {
    return 1;
  } else {
    const auto v = static_cast<uint32_t>(c);
    return v > 0xFFFF && v <= 0x10FFFF ? 2 : 1;
  }
}

void AppendUnit(common::SecretBuffer& out, uint16_t unit) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)};
  out.append(bytes, 2);
}

void AppendWide(common::SecretBuffer& out, std::wstring_view text) {
  for (const wchar_t c : text) {
    const auto v = static_cast<uint32_t>(c);
    if (v <= 0xFFFF) {
      AppendUnit(out, static_cast<uint16_t>(v));
    } else if (v <= 0x10FFFF) {
      const uint32_t u = v - 0x10000;
      AppendUnit(out, static_cast<uint16_t>(0xD800 + (u >> 10)));
      AppendUnit(out, static_cast<uint16_t>(0xDC00 + (u & 0x3FF)));
    } else {
      AppendUnit(out, 0xFFFD);  // not a character; only a 32-bit wchar_t can hold it
    }
  }
}

bool IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

uint32_t HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return static_cast<uint32_t>(c - L'0');
  if (c >= L'a' && c <= L'f') return static_cast<uint32_t>(c - L'a' + 10);
  return static_cast<uint32_t>(c - L'A' + 10);
}

// "0x", eight hexadecimal digits and "\n" at the start of `text`.
std::optional<uint32_t> ParseCodeLine(std::wstring_view text) {
  if (text.size() < 11 || text[0] != L'0' || text[1] != L'x' || text[10] != L'\n') {
    return std::nullopt;
  }
  uint32_t value = 0;
  for (size_t i = 2; i < 10; ++i) {
    if (!IsHexDigit(text[i])) return std::nullopt;
    value = (value << 4) | HexValue(text[i]);
  }
  return value;
}

bool SaysAdminApproval(std::wstring_view text) {
  for (const std::wstring_view phrase :
       {L"admin approval", L"admin group", L"Administrators", L"authorized"}) {
    if (text.find(phrase) != std::wstring_view::npos) return true;
  }
  return false;
}

}  // namespace

std::optional<common::SecretBuffer> BuildStartupMessage(std::wstring_view working_directory,
                                                        std::wstring_view options_line,
                                                        std::span<const uint8_t> stdin_ascii) {
  size_t units = 3 + stdin_ascii.size();  // the NULs, and one unit per ASCII byte
  for (const std::wstring_view part : {working_directory, options_line}) {
    for (const wchar_t c : part) units += Utf16Units(c);
  }
  if (units > kMaxStartupMessageChars) return std::nullopt;

  common::SecretBuffer message;
  message.reserve(units * 2);  // never grows afterwards: no copy is left behind
  AppendWide(message, working_directory);
  AppendUnit(message, 0);
  AppendWide(message, options_line);
  AppendUnit(message, 0);
  for (const uint8_t b : stdin_ascii) AppendUnit(message, b);
  AppendUnit(message, 0);
  return message;
}

LaunchResult ParseInteractiveServiceReply(std::wstring_view reply) {
  LaunchResult result;
  result.result = 2;
  reply = reply.substr(0, reply.find(L'\0'));
  const std::optional<uint32_t> code = ParseCodeLine(reply);
  if (!code) return result;
  const std::wstring_view rest = reply.substr(11);

  if (*code == 0) {
    const std::optional<uint32_t> pid = ParseCodeLine(rest);
    if (rest.size() > 20 && pid && rest.find(L"Process ID", 11) != std::wstring_view::npos) {
      result.result = 0;
      result.process_id = *pid;
    }
    return result;
  }

  if (*code == kServiceErrorStartupData || *code == kServiceErrorMessageData) {
    result.result = 2;
  } else if (*code == kServiceErrorOptionsUnauthorised) {
    result.result = SaysAdminApproval(rest) ? 3 : 4;
  } else {
    result.result = 5;
  }
  result.message.assign(rest.substr(0, kMaxLaunchMessageChars));
  return result;
}

bool PipeServerTrusted(uint32_t expected_server_pid, std::optional<uint32_t> server_pid) {
  return expected_server_pid != 0 && server_pid && *server_pid != 0 &&
         *server_pid == expected_server_pid;
}

}  // namespace tovra::agent::openvpn
