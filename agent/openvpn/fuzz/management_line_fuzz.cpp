// The management line classifier and line assembler on arbitrary bytes, fed in
// chunks whose sizes come from the input: never crashes, and every result keeps
// the rules the reader relies on (a byte count only from two well-formed decimal
// fields, auth_failed only on the two failure kinds, lines never hold "\n",
// previews printable and bounded, credential commands unescape to the value).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/openvpn/management_protocol.h"

using namespace tovra::agent::openvpn;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 20) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void CheckLine(const std::string& line, bool assembled) {
  if (assembled) Check(line.find('\n') == std::string::npos);
  const ParsedLine p = ClassifyManagementLine(line);
  if (p.kind == LineKind::byte_count) {
    Check(line.size() <= kMaxManagementLine && line.rfind(">BYTECOUNT:", 0) == 0);
    const std::string_view rest = std::string_view(line).substr(11);
    const size_t comma = rest.find(',');
    Check(comma != std::string_view::npos && AllDigits(rest.substr(0, comma)) &&
          AllDigits(rest.substr(comma + 1)));
    Check(std::to_string(p.bytes_in) ==
          std::to_string(std::stoull(std::string(rest.substr(0, comma)))));
  } else {
    Check(p.bytes_in == 0 && p.bytes_out == 0);
  }
  if (p.auth_failed)
    Check(p.kind == LineKind::fatal || p.kind == LineKind::auth_verification_failed);
  if (p.state != ManagementState::none) Check(p.kind == LineKind::state);
  if (p.prompt != PasswordPromptKind::unrecognised) Check(p.kind == LineKind::password_prompt);
  if (line.size() > kMaxManagementLine) Check(p.kind == LineKind::malformed);

  const std::string preview = PreviewBytes(line);
  Check(preview.size() <= 80);
  for (char c : preview) Check(c >= 0x20 && c <= 0x7E);

  const auto command = CredentialCommand(
      CredentialKind::password, {reinterpret_cast<const uint8_t*>(line.data()), line.size()});
  if (command) {
    std::string_view v = command->view();
    constexpr std::string_view kHead = "password \"Auth\" \"";
    Check(v.substr(0, kHead.size()) == kHead && v.substr(v.size() - 2) == "\"\n");
    v = v.substr(kHead.size(), v.size() - kHead.size() - 2);
    std::string unescaped;
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] == '"') std::abort();  // an unescaped quote would end the value early
      if (v[i] == '\\') ++i;
      Check(i < v.size());
      unescaped += v[i];
    }
    Check(unescaped == line);
    Check(CommandFirstWordPreview(command->view()) == "password");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the chunk size, as the socket would cut the stream.
  const size_t chunk = data[0] % 64 + 1;
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  LineAssembler a;
  size_t consumed = 0;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    a.Append(stream.substr(at, chunk));
    if (at == 0) a.TakeThrough("ENTER PASSWORD:");
    while (auto line = a.TakeLine()) {
      consumed += line->size();
      CheckLine(*line, true);
    }
    if (a.Overflowed()) {
      Check(a.size() > kMaxManagementLine && a.buffered().find('\n') == std::string_view::npos);
      break;
    }
    Check(a.size() <= stream.size());
  }
  Check(consumed <= stream.size());
  CheckLine(std::string(stream), false);  // the whole input as one line, line ends and all
  return 0;
}
