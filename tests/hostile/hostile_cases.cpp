#include "tests/hostile/hostile_cases.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "common/base/byte_order.h"
#include "common/ipc/messages.h"

namespace tovra::testing::hostile {

using common::FrameDecodeResult;
using common::FrameHeader;
using common::kFrameHeaderSize;
using common::kMaxPayload;
using common::PayloadReader;

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t Rng::Below(uint32_t bound) {
  return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound);
}

namespace {

constexpr uint32_t kMaxString = 32768;
constexpr uint16_t kStatusOk = 0, kStatusBadRequest = 1, kStatusUnsupported = 2,
                   kStatusMismatch = 3, kStatusUnavailable = 4;

bool ReadsString(std::span<const uint8_t> payload, size_t strings, bool key_first = false) {
  PayloadReader r(payload);
  uint32_t key = 0;
  if (key_first) r.ReadU32(key);
  std::string s;
  for (size_t i = 0; i < strings; ++i) r.ReadString(s);
  return r.ok();
}

void AppendString(Bytes& out, std::string_view text) {
  common::AppendLe16(out, static_cast<uint16_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

// Configuration-looking text: what a server that echoes a rejected line would echo.
std::string MarkedText(Rng& rng, const std::string& marker, size_t length) {
  static const char* const kPieces[] = {"[Interface]\n",
                                        "PrivateKey = ",
                                        "Address = 10.9.0.2/32\n",
                                        "[Peer]\n",
                                        "PublicKey = ",
                                        "PresharedKey = ",
                                        "Endpoint = ",
                                        "AllowedIPs = 0.0.0.0/0\n",
                                        "client\n",
                                        "remote ",
                                        "auth-user-pass\n",
                                        "<ca>\n",
                                        "</ca>\n",
                                        "<key>\n",
                                        "</key>\n",
                                        "dev tun\n",
                                        "script-security 2\n",
                                        "up ",
                                        "=",
                                        " ",
                                        "\n",
                                        "\r\n",
                                        "#",
                                        "\t"};
  std::string text = "PrivateKey = " + marker + "\n";
  while (text.size() < length) {
    if (rng.Percent(30)) {
      text += marker;
    } else {
      text += kPieces[rng.Below(static_cast<uint32_t>(std::size(kPieces)))];
    }
  }
  text.resize(length);
  return text;
}

// Random bytes with the marker written in every few kilobytes.
void AppendFiller(Rng& rng, Bytes& out, size_t size, const std::string& marker) {
  const size_t start = out.size();
  while (out.size() < size) out.push_back(rng.Byte());
  for (size_t at = start; at + marker.size() <= size; at += 4096 + rng.Below(512)) {
    std::copy(marker.begin(), marker.end(), out.begin() + static_cast<ptrdiff_t>(at));
  }
}

size_t Clamp(size_t wanted, size_t low, size_t high) {
  return std::min(std::max(wanted, low), high);
}

uint16_t PickType(Rng& rng) {
  static const uint16_t kOdd[] = {0, 15, 16, 0x00FF, 0x0101, 0x7FFF, 0x8000, 0xFFFF};
  if (rng.Percent(85)) return static_cast<uint16_t>(1 + rng.Below(14));
  if (rng.Percent(50)) return kOdd[rng.Below(static_cast<uint32_t>(std::size(kOdd)))];
  return static_cast<uint16_t>(rng.Next());
}

uint32_t PickRequestId(Rng& rng) {
  switch (rng.Below(8)) {
    case 0:
      return 0;
    case 1:
      return 0xFFFFFFFF;
    default:
      return static_cast<uint32_t>(rng.Next());
  }
}

size_t PickPayloadSize(Rng& rng) {
  const uint32_t roll = rng.Below(100);
  if (roll < 3) return kMaxPayload - rng.Below(64);
  if (roll < 13) return rng.Below(4096);
  return rng.Below(300);
}

// One change to a well-formed frame, named for the failure message.
std::string Mutate(Rng& rng, Bytes& frame) {
  switch (rng.Below(7)) {
    case 0: {
      const uint32_t flips = 1 + rng.Below(4);
      for (uint32_t i = 0; i < flips; ++i) {
        frame[rng.Below(static_cast<uint32_t>(frame.size()))] ^=
            static_cast<uint8_t>(1u << rng.Below(8));
      }
      return "bit flips";
    }
    case 1: {
      const uint32_t at = rng.Below(static_cast<uint32_t>(std::min<size_t>(frame.size(), 24)));
      frame[at] = rng.Percent(50) ? 0xFF : rng.Byte();
      return "byte " + std::to_string(at) + " replaced";
    }
    case 2: {
      const size_t keep = rng.Below(static_cast<uint32_t>(frame.size()));
      frame.resize(keep);
      return "truncated at " + std::to_string(keep);
    }
    case 3: {
      const uint32_t extra = 1 + rng.Below(64);
      for (uint32_t i = 0; i < extra; ++i) frame.push_back(rng.Byte());
      return std::to_string(extra) + " bytes appended";
    }
    case 4: {
      // payload_length lies, frame_length follows it: the header decodes.
      const uint32_t length = common::LoadLe32(frame.data() + 16);
      const int32_t delta = static_cast<int32_t>(rng.Below(33)) - 16;
      const uint32_t lie = static_cast<uint32_t>(static_cast<int64_t>(length) + delta);
      Bytes lied = RawHeader(lie + 16, frame[4], frame[5], common::LoadLe16(frame.data() + 6),
                             common::LoadLe32(frame.data() + 8), 0, lie);
      std::copy(lied.begin(), lied.end(), frame.begin());
      return "payload_length lies by " + std::to_string(delta);
    }
    case 5: {
      // payload_length lies alone: the header does not decode.
      const uint32_t lie = static_cast<uint32_t>(rng.Next());
      Bytes lied(4);
      for (int i = 0; i < 4; ++i) lied[i] = static_cast<uint8_t>(lie >> (8 * i));
      std::copy(lied.begin(), lied.end(), frame.begin() + 16);
      return "payload_length " + std::to_string(lie);
    }
    default: {
      frame[4] = rng.Percent(50) ? static_cast<uint8_t>(rng.Below(8)) : rng.Byte();
      frame[5] = rng.Percent(70) ? 0 : rng.Byte();
      return "version " + std::to_string(frame[4]) + " reserved " + std::to_string(frame[5]);
    }
  }
}

}  // namespace

std::optional<uint16_t> ExpectedStatus(ServerRole role, uint16_t type,
                                       std::span<const uint8_t> payload) {
  if (role == ServerRole::service) {
    switch (type) {
      case 1:
      case 2:
      case 3:
        return kStatusOk;
      case 4:
      case 8:
      case 9:
      case 10:
      case 11:
        return kStatusUnsupported;
      case 5:
      case 13:
        return ReadsString(payload, 1) ? std::nullopt : std::optional<uint16_t>(kStatusBadRequest);
      case 12:
        return ReadsString(payload, 1, true) ? std::nullopt
                                             : std::optional<uint16_t>(kStatusBadRequest);
      case 14:
        return payload.size() >= 9 ? kStatusOk : kStatusBadRequest;
      default:
        return std::nullopt;  // the WireGuard stop and status depend on the machine
    }
  }
  switch (type) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 10:
    case 11:
      return kStatusOk;
    case 3:
    case 5:
    case 6:
    case 7:
      return kStatusUnavailable;  // relayed, and no Service listens
    case 9:
      return ReadsString(payload, 3) ? std::nullopt : std::optional<uint16_t>(kStatusBadRequest);
    default:
      return kStatusUnsupported;  // 12..14: the Service's requests
  }
}

Prediction PredictSession(ServerRole role, std::span<const uint8_t> stream) {
  Prediction p;
  size_t pos = 0;
  for (;;) {
    const size_t left = stream.size() - pos;
    if (left == 0) {
      p.end = SessionEnd::idle;
      return p;
    }
    if (left < kFrameHeaderSize) {
      p.end = SessionEnd::mid_frame;
      return p;
    }
    FrameHeader h;
    uint32_t total = 0;
    if (common::DecodeFrameHeader(stream.data() + pos, kFrameHeaderSize, &h, &total) !=
        FrameDecodeResult::Complete) {
      p.end = SessionEnd::closed;
      return p;
    }
    if (left < total) {
      p.end = SessionEnd::mid_frame;
      return p;
    }
    const std::span<const uint8_t> payload =
        stream.subspan(pos + kFrameHeaderSize, h.payload_length);
    pos += total;
    if (h.version != common::kFrameVersion || h.reserved != 0) {
      p.replies.push_back({h.type, h.request_id, kStatusMismatch});
      p.end = SessionEnd::closed;
      return p;
    }
    if (h.type < common::kMinMessageType || h.type > common::kMaxMessageType) {
      p.replies.push_back({h.type, h.request_id, kStatusUnsupported});
      continue;
    }
    p.replies.push_back({h.type, h.request_id, ExpectedStatus(role, h.type, payload)});
  }
}

std::string MakeMarker(Rng& rng) {
  static const char kChars[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::string marker = "Q";  // never a digit first: it must not read as a number
  while (marker.size() < 10) marker += kChars[rng.Below(sizeof kChars - 1)];
  return marker;
}

Bytes StructuredPayload(Rng& rng, uint16_t type, const std::string& marker, size_t size) {
  Bytes out;
  const size_t m = marker.size();
  switch (type) {
    case 5:
    case 13:
      AppendString(out, MarkedText(rng, marker, Clamp(size > 2 ? size - 2 : 0, m, kMaxString)));
      break;
    case 12:
      common::AppendLe32(out, static_cast<uint32_t>(rng.Next()));
      AppendString(out, MarkedText(rng, marker, Clamp(size > 6 ? size - 6 : 0, m, kMaxString)));
      break;
    case 9: {
      const std::string user = marker + "-user", password = marker + "-password";
      const size_t fixed = 6 + user.size() + password.size();
      AppendString(out,
                   MarkedText(rng, marker, Clamp(size > fixed ? size - fixed : 0, m, kMaxString)));
      AppendString(out, user);
      AppendString(out, password);
      break;
    }
    case 14:
      out.push_back(rng.Percent(50) ? 1 : rng.Byte());
      common::AppendLe32(out, static_cast<uint32_t>(rng.Next()));
      common::AppendLe32(out, rng.Percent(50) ? 0 : static_cast<uint32_t>(rng.Next()));
      break;
    default:
      break;
  }
  if (out.size() < size) AppendFiller(rng, out, size, marker);
  return out;
}

Bytes RawHeader(uint32_t frame_length, uint8_t version, uint8_t reserved, uint16_t type,
                uint32_t request_id, uint32_t generation, uint32_t payload_length) {
  Bytes out;
  common::AppendLe32(out, frame_length);
  out.push_back(version);
  out.push_back(reserved);
  common::AppendLe16(out, type);
  common::AppendLe32(out, request_id);
  common::AppendLe32(out, generation);
  common::AppendLe32(out, payload_length);
  return out;
}

Bytes RequestFrame(uint16_t type, uint32_t request_id, std::span<const uint8_t> payload) {
  Bytes out = RawHeader(static_cast<uint32_t>(payload.size()) + 16, common::kFrameVersion, 0, type,
                        request_id, 0, static_cast<uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<HostileCase> BoundaryCases(Rng& rng, const std::string& marker) {
  std::vector<HostileCase> cases;
  auto add = [&](std::string name, Bytes bytes) {
    cases.push_back({std::move(name), std::move(bytes)});
  };
  auto header_only = [&](const char* what, uint32_t frame_length, uint32_t payload_length) {
    add(std::string(what) + " frame_length=" + std::to_string(frame_length) +
            " payload_length=" + std::to_string(payload_length),
        RawHeader(frame_length, 6, 0, 2, 7, 0, payload_length));
  };
  for (uint32_t fl : {0u, 1u, 15u}) header_only("short", fl, 0);
  header_only("minimum", 16, 0);
  header_only("mismatch", 17, 0);
  header_only("mismatch", 16, 1);
  header_only("over-long", 0xFFFC, 0xFFEC);
  for (uint32_t fl : {0xFFFDu, 0x10000u, 0x7FFFFFFFu, 0xFFFFFFFFu})
    header_only("over-long", fl, fl - 16);
  header_only("wrapping", 15, 0xFFFFFFFF);  // payload_length + 16 wraps to 15
  header_only("wrapping", 0, 0xFFFFFFF0);
  header_only("payload over maximum", kMaxPayload + 17, kMaxPayload + 1);
  {
    Bytes max_ping = RawHeader(kMaxPayload + 16, 6, 0, 2, 8, 0, kMaxPayload);
    AppendFiller(rng, max_ping, max_ping.size() + kMaxPayload, marker);
    add("ping with the largest payload", std::move(max_ping));
  }
  for (const auto& [version, reserved] : std::initializer_list<std::pair<uint8_t, uint8_t>>{
           {0, 0}, {5, 0}, {7, 0}, {0xFF, 0}, {6, 1}, {6, 6}, {6, 0xFF}, {0, 6}}) {
    add("version " + std::to_string(version) + " reserved " + std::to_string(reserved),
        RawHeader(16, version, reserved, 1, 9, 0, 0));
  }
  for (uint16_t type : std::initializer_list<uint16_t>{0, 1, 14, 15, 0x00FF, 0x0100, 0x0101, 0x7FFF,
                                                       0x8000, 0xFFFF}) {
    add("type " + std::to_string(type), RequestFrame(type, 1000u + type));
  }
  for (uint32_t id : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    add("request_id " + std::to_string(id), RequestFrame(1, id));
  }
  for (uint32_t generation : {1u, 0xFFFFFFFFu}) {
    add("generation " + std::to_string(generation), RawHeader(16, 6, 0, 2, 11, generation, 0));
  }
  for (uint16_t type = 1; type <= 14; ++type) {
    add("type " + std::to_string(type) + " empty payload", RequestFrame(type, 20u + type));
    add("type " + std::to_string(type) + " one byte", RequestFrame(type, 40u + type, Bytes{0xFF}));
  }
  // Strings at their limit and one past it, with enough bytes behind them.
  for (uint16_t type : std::initializer_list<uint16_t>{5, 9, 12, 13}) {
    for (uint32_t length : {kMaxString, kMaxString + 1, 0xFFFFu}) {
      Bytes payload;
      if (type == 12) common::AppendLe32(payload, 7);
      common::AppendLe16(payload, static_cast<uint16_t>(length));
      const std::string text = MarkedText(rng, marker, std::min(length, kMaxString));
      payload.insert(payload.end(), text.begin(), text.end());
      if (type == 9) {
        AppendString(payload, marker + "-u");
        AppendString(payload, marker + "-p");
      }
      add("type " + std::to_string(type) + " string length " + std::to_string(length),
          RequestFrame(type, 60u + type, payload));
    }
  }
  {
    Bytes short_report = {1, 0, 0, 0, 0, 0, 0, 0};
    add("report of 8 bytes", RequestFrame(14, 70, short_report));
    short_report.push_back(0);
    add("report of 9 bytes", RequestFrame(14, 71, short_report));
  }
  // A hello cut at every header offset, a start_wireguard cut inside its payload.
  const Bytes hello = RequestFrame(1, 80);
  for (size_t cut = 1; cut < hello.size(); ++cut) {
    add("hello cut at " + std::to_string(cut),
        Bytes(hello.begin(), hello.begin() + static_cast<ptrdiff_t>(cut)));
  }
  const Bytes start = RequestFrame(5, 81, StructuredPayload(rng, 5, marker, 600));
  for (size_t cut : {21u, 22u, 23u, 300u, 619u}) {
    add("start_wireguard cut at " + std::to_string(cut),
        Bytes(start.begin(), start.begin() + static_cast<ptrdiff_t>(cut)));
  }
  // Lengths that lie: fewer bytes follow than announced, or more.
  {
    Bytes fewer = RawHeader(116, 6, 0, 5, 82, 0, 100);
    AppendFiller(rng, fewer, fewer.size() + 50, marker);
    add("payload_length 100, 50 bytes follow", std::move(fewer));
    Bytes more = RawHeader(26, 6, 0, 2, 83, 0, 10);
    AppendFiller(rng, more, more.size() + 30, marker);
    add("payload_length 10, 30 bytes follow", std::move(more));
    Bytes next_frame = RawHeader(20, 6, 0, 2, 84, 0, 4);
    next_frame.resize(next_frame.size() + 4, 0xAB);
    const Bytes tail = RequestFrame(1, 85);
    next_frame.insert(next_frame.end(), tail.begin(), tail.end());
    add("ping with 4 bytes, then a hello", std::move(next_frame));
  }
  // Frame sequences: everything before a protocol mismatch is answered, nothing after it.
  {
    Bytes seq = RequestFrame(2, 90);
    for (const Bytes& f : {RequestFrame(15, 91), RequestFrame(1, 92),
                           RawHeader(16, 5, 0, 2, 93, 0, 0), RequestFrame(2, 94)}) {
      seq.insert(seq.end(), f.begin(), f.end());
    }
    add("ping, type 15, hello, version 5, ping", std::move(seq));
  }
  return cases;
}

std::vector<HostileCase> MaximumPayloadCases(Rng& rng, const std::string& marker) {
  std::vector<HostileCase> cases;
  std::vector<uint16_t> types;
  for (uint16_t t = 0; t <= 15; ++t) types.push_back(t);
  types.push_back(0xFFFF);
  for (uint16_t type : types) {
    cases.push_back(
        {"type " + std::to_string(type) + " largest payload",
         RequestFrame(type, 200u + type, StructuredPayload(rng, type, marker, kMaxPayload))});
  }
  for (uint16_t type : std::initializer_list<uint16_t>{5, 9, 12, 13}) {
    Bytes payload;
    if (type == 12) common::AppendLe32(payload, 1);
    common::AppendLe16(payload, static_cast<uint16_t>(kMaxString + 1));
    AppendFiller(rng, payload, kMaxPayload, marker);
    cases.push_back({"type " + std::to_string(type) + " largest payload, string too long",
                     RequestFrame(type, 300u + type, payload)});
  }
  return cases;
}

HostileCase RandomCase(Rng& rng, const std::string& marker) {
  const uint32_t kind = rng.Below(100);
  if (kind < 15) {
    Bytes bytes;
    AppendFiller(rng, bytes, 1 + rng.Below(400), marker);
    return {"random bytes (" + std::to_string(bytes.size()) + ")", std::move(bytes)};
  }
  const uint32_t frames = kind < 75 ? 1 : 2 + rng.Below(3);
  HostileCase c;
  c.name = "frames:";
  for (uint32_t i = 0; i < frames; ++i) {
    const uint16_t type = PickType(rng);
    Bytes frame = RequestFrame(type, PickRequestId(rng),
                               StructuredPayload(rng, type, marker, PickPayloadSize(rng)));
    c.name += " type " + std::to_string(type) + " (" + std::to_string(frame.size()) + " bytes";
    if (frames == 1 || rng.Percent(40)) c.name += ", " + Mutate(rng, frame);
    c.name += ")";
    c.bytes.insert(c.bytes.end(), frame.begin(), frame.end());
  }
  return c;
}

std::optional<uint64_t> ParseSeed(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace tovra::testing::hostile
