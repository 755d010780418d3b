// Every record reader on arbitrary bytes: no over-read, and whatever a reader
// accepts re-encodes to exactly the bytes it consumed (booleans aside, which
// normalise any non-zero byte to 1).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/ipc/messages.h"

using namespace tovra::common;

namespace {

template <typename Record, typename ReadFn, typename WriteFn>
void Check(std::span<const uint8_t> in, ReadFn read, WriteFn write, bool has_bools) {
  PayloadReader r(in);
  Record rec{};
  if (!read(r, rec)) return;
  PayloadWriter w;
  write(w, rec);
  if (w.bytes().size() != r.position()) std::abort();
  if (!has_bools && std::memcmp(w.bytes().data(), in.data(), r.position()) != 0) std::abort();
  PayloadReader again(w.bytes());
  Record rec2{};
  if (!read(again, rec2) || !(rec2 == rec)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(copy, data, size);
  const std::span<const uint8_t> in(copy, size);

  Check<HelloInfo>(
      in, [](PayloadReader& r, HelloInfo& v) { return r.ReadHelloInfo(v); },
      [](PayloadWriter& w, const HelloInfo& v) { w.WriteHelloInfo(v); }, false);
  Check<ServiceHealthRecord>(
      in, [](PayloadReader& r, ServiceHealthRecord& v) { return r.ReadServiceHealth(v); },
      [](PayloadWriter& w, const ServiceHealthRecord& v) { w.WriteServiceHealth(v); }, false);
  Check<AgentHealthRecord>(
      in, [](PayloadReader& r, AgentHealthRecord& v) { return r.ReadAgentHealth(v); },
      [](PayloadWriter& w, const AgentHealthRecord& v) { w.WriteAgentHealth(v); }, true);
  Check<WireGuardStatusRecord>(
      in, [](PayloadReader& r, WireGuardStatusRecord& v) { return r.ReadWireGuardStatus(v); },
      [](PayloadWriter& w, const WireGuardStatusRecord& v) { w.WriteWireGuardStatus(v); }, true);
  Check<OpenVpnStatusRecord>(
      in, [](PayloadReader& r, OpenVpnStatusRecord& v) { return r.ReadOpenVpnStatus(v); },
      [](PayloadWriter& w, const OpenVpnStatusRecord& v) { w.WriteOpenVpnStatus(v); }, true);
  {
    // The two trailing bytes are always written as 0, so compare all but them.
    PayloadReader r(in);
    OpenVpnCapabilitiesRecord rec;
    if (r.ReadOpenVpnCapabilities(rec)) {
      PayloadWriter w;
      w.WriteOpenVpnCapabilities(rec);
      if (w.bytes().size() != r.position() ||
          std::memcmp(w.bytes().data(), copy, r.position() - 2) != 0) {
        std::abort();
      }
    }
  }
  {
    PayloadReader r(in);
    std::vector<std::string> list;
    std::string s;
    r.ReadStringList(list);
    r.ReadString(s);
    uint64_t v = 0;
    r.ReadU64(v);
    if (r.position() > size) std::abort();
  }
  std::free(copy);
  return 0;
}
