// Interactive Service reply parser on arbitrary UTF-16LE bytes: never crashes or
// reads out of bounds; a result is 0..5, a pid only comes with 0, the message
// stays within its bound and is a prefix of what followed the code line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/openvpn/interactive_service.h"

using namespace tovra::agent::openvpn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring reply;
  for (size_t i = 0; i + 1 < size; i += 2) {
    reply.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  const LaunchResult r = ParseInteractiveServiceReply(reply);
  if (r.result < 0 || r.result > 5 || r.result == 1) std::abort();
  if (r.result != 0 && r.process_id != 0) std::abort();
  if (r.message.size() > kMaxLaunchMessageChars) std::abort();
  if (!r.message.empty() && reply.compare(11, r.message.size(), r.message) != 0) std::abort();
  if (r.result == 0 && (!r.message.empty() || reply.find(L"Process ID") == std::wstring::npos)) {
    std::abort();
  }
  return 0;
}
