#include "common/ipc/messages.h"

#include "common/base/byte_order.h"

namespace tovra::common {

namespace {

template <size_t N>
HelloInfo MakeHello(const std::string_view (&caps)[N]) {
  HelloInfo h;
  h.capabilities.assign(std::begin(caps), std::end(caps));
  return h;
}

}  // namespace

HelloInfo MakeAgentHelloInfo() {
  return MakeHello(kAgentCapabilities);
}
HelloInfo MakeServiceHelloInfo() {
  return MakeHello(kServiceCapabilities);
}

// ---- writer ----

template <typename Buffer>
void BasicPayloadWriter<Buffer>::WriteU8(uint8_t v) {
  buffer_.push_back(v);
}
template <typename Buffer>
void BasicPayloadWriter<Buffer>::WriteBool(bool v) {
  buffer_.push_back(v ? 1 : 0);
}
template <typename Buffer>
void BasicPayloadWriter<Buffer>::WriteU16(uint16_t v) {
  AppendLe16(buffer_, v);
}
template <typename Buffer>
void BasicPayloadWriter<Buffer>::WriteU32(uint32_t v) {
  AppendLe32(buffer_, v);
}
template <typename Buffer>
void BasicPayloadWriter<Buffer>::WriteU64(uint64_t v) {
  AppendLe64(buffer_, v);
}

template <typename Buffer>
bool BasicPayloadWriter<Buffer>::WriteString(std::string_view s) {
  if (s.size() > kMaxWireString) return false;
  AppendLe16(buffer_, static_cast<uint16_t>(s.size()));
  buffer_.insert(buffer_.end(), s.begin(), s.end());
  return true;
}

template <typename Buffer>
bool BasicPayloadWriter<Buffer>::WriteStringList(std::span<const std::string> list) {
  if (list.size() > kMaxWireStringList) return false;
  for (const auto& s : list) {
    if (s.size() > kMaxWireString) return false;
  }
  AppendLe16(buffer_, static_cast<uint16_t>(list.size()));
  for (const auto& s : list) WriteString(s);
  return true;
}

template <typename Buffer>
bool BasicPayloadWriter<Buffer>::WriteHelloInfo(const HelloInfo& r) {
  if (r.version.size() > kMaxWireString || r.capabilities.size() > kMaxWireStringList) return false;
  for (const auto& c : r.capabilities) {
    if (c.size() > kMaxWireString) return false;
  }
  WriteU16(r.protocol);
  WriteString(r.version);
  WriteStringList(r.capabilities);
  return true;
}

template <typename Buffer>
bool BasicPayloadWriter<Buffer>::WriteServiceHealth(const ServiceHealthRecord& r) {
  if (r.generation_id.size() > kMaxWireString) return false;
  const size_t mark = buffer_.size();
  WriteU8(r.state);
  if (!WriteHelloInfo(r.hello_info)) {
    buffer_.resize(mark);
    return false;
  }
  WriteString(r.generation_id);
  WriteU64(r.uptime_seconds);
  return true;
}

template <typename Buffer>
bool BasicPayloadWriter<Buffer>::WriteAgentHealth(const AgentHealthRecord& r) {
  if (r.generation_id.size() > kMaxWireString) return false;
  const size_t mark = buffer_.size();
  WriteU8(r.state);
  if (!WriteHelloInfo(r.hello_info)) {
    buffer_.resize(mark);
    return false;
  }
  WriteU32(r.session_id);
  WriteString(r.generation_id);
  WriteBool(r.service_connected);
  return true;
}

template <typename Buffer>
void BasicPayloadWriter<Buffer>::WriteWireGuardStatus(const WireGuardStatusRecord& r) {
  WriteU8(r.state);
  WriteBool(r.adapter_present);
  WriteU64(r.rx_bytes);
  WriteU64(r.tx_bytes);
  WriteU64(r.last_handshake_ms);
  WriteU16(r.error);
}

template <typename Buffer>
bool BasicPayloadWriter<Buffer>::WriteOpenVpnCapabilities(const OpenVpnCapabilitiesRecord& r) {
  if (r.openvpn_version.size() > kMaxWireString) return false;
  WriteU8(r.openvpn_found);
  WriteString(r.openvpn_version);
  WriteU8(r.interactive_service_installed);
  WriteU8(r.interactive_service_running);
  WriteU8(0);
  WriteU8(0);
  return true;
}

template <typename Buffer>
void BasicPayloadWriter<Buffer>::WriteOpenVpnStatus(const OpenVpnStatusRecord& r) {
  WriteU8(r.state);
  WriteBool(r.active);
  WriteU64(r.bytes_in);
  WriteU64(r.bytes_out);
  WriteU64(r.connected_since_ms);
  WriteU16(r.error_kind);
  WriteU32(r.attempt_id);
}

template class BasicPayloadWriter<Bytes>;
template class BasicPayloadWriter<SecretBuffer>;

// ---- reader ----

const uint8_t* PayloadReader::Take(size_t n) {
  if (!ok_ || n > remaining()) {
    ok_ = false;
    return nullptr;
  }
  const uint8_t* p = data_.data() + pos_;
  pos_ += n;
  return p;
}

bool PayloadReader::ReadU8(uint8_t& out) {
  const uint8_t* p = Take(1);
  if (p == nullptr) return false;
  out = *p;
  return true;
}

bool PayloadReader::ReadBool(bool& out) {
  uint8_t v = 0;
  if (!ReadU8(v)) return false;
  out = v != 0;
  return true;
}

bool PayloadReader::ReadU16(uint16_t& out) {
  const uint8_t* p = Take(2);
  if (p == nullptr) return false;
  out = LoadLe16(p);
  return true;
}

bool PayloadReader::ReadU32(uint32_t& out) {
  const uint8_t* p = Take(4);
  if (p == nullptr) return false;
  out = LoadLe32(p);
  return true;
}

bool PayloadReader::ReadU64(uint64_t& out) {
  const uint8_t* p = Take(8);
  if (p == nullptr) return false;
  out = LoadLe64(p);
  return true;
}

std::optional<std::span<const uint8_t>> PayloadReader::TakeString() {
  if (!ok_) return std::nullopt;
  const size_t start = pos_;
  uint16_t length = 0;
  if (!ReadU16(length)) return std::nullopt;
  if (length > kMaxWireString || length > remaining()) {
    // The length field alone was consumed by nothing: leave the cursor where the
    // string began so a failed read never moves it past a partial field.
    pos_ = start;
    ok_ = false;
    return std::nullopt;
  }
  return std::span<const uint8_t>(Take(length), length);
}

bool PayloadReader::ReadString(std::string& out) {
  const auto bytes = TakeString();
  if (!bytes) return false;
  out.assign(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  return true;
}

bool PayloadReader::ReadString(SecretBuffer& out) {
  const auto bytes = TakeString();
  if (!bytes) return false;
  out.clear();
  out.reserve(bytes->size());
  out.append(bytes->data(), bytes->size());
  return true;
}

bool PayloadReader::ReadStringList(std::vector<std::string>& out) {
  out.clear();
  if (!ok_) return false;
  uint16_t count = 0;
  if (!ReadU16(count)) return false;
  if (count > kMaxWireStringList) {
    ok_ = false;
    return false;
  }
  out.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    std::string s;
    if (!ReadString(s)) {
      out.clear();
      return false;
    }
    out.push_back(std::move(s));
  }
  return true;
}

bool PayloadReader::ReadHelloInfo(HelloInfo& out) {
  ReadU16(out.protocol);
  ReadString(out.version);
  ReadStringList(out.capabilities);
  return ok_;
}

bool PayloadReader::ReadServiceHealth(ServiceHealthRecord& out) {
  ReadU8(out.state);
  ReadHelloInfo(out.hello_info);
  ReadString(out.generation_id);
  ReadU64(out.uptime_seconds);
  return ok_;
}

bool PayloadReader::ReadAgentHealth(AgentHealthRecord& out) {
  ReadU8(out.state);
  ReadHelloInfo(out.hello_info);
  ReadU32(out.session_id);
  ReadString(out.generation_id);
  ReadBool(out.service_connected);
  return ok_;
}

bool PayloadReader::ReadWireGuardStatus(WireGuardStatusRecord& out) {
  ReadU8(out.state);
  ReadBool(out.adapter_present);
  ReadU64(out.rx_bytes);
  ReadU64(out.tx_bytes);
  ReadU64(out.last_handshake_ms);
  ReadU16(out.error);
  return ok_;
}

bool PayloadReader::ReadOpenVpnCapabilities(OpenVpnCapabilitiesRecord& out) {
  ReadU8(out.openvpn_found);
  ReadString(out.openvpn_version);
  ReadU8(out.interactive_service_installed);
  ReadU8(out.interactive_service_running);
  ReadU8(out.reserved1);
  ReadU8(out.reserved2);
  return ok_;
}

bool PayloadReader::ReadOpenVpnStatus(OpenVpnStatusRecord& out) {
  ReadU8(out.state);
  ReadBool(out.active);
  ReadU64(out.bytes_in);
  ReadU64(out.bytes_out);
  ReadU64(out.connected_since_ms);
  ReadU16(out.error_kind);
  ReadU32(out.attempt_id);
  return ok_;
}

bool IsSecretBearing(uint16_t type) {
  return type == ToWire(MessageType::start_wireguard) ||
         type == ToWire(MessageType::start_openvpn) ||
         type == ToWire(MessageType::stage_openvpn_config);
}

Bytes StatusOnlyPayload(Status status) {
  PayloadWriter w;
  w.WriteU16(ToWire(status));
  return w.Take();
}

}  // namespace tovra::common
