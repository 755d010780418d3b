#include "service/service_rules.h"

#include "common/security/caller_identity.h"
#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/text/text.h"

namespace tovra::service {

using common::Bytes;
using common::MessageType;
using common::PayloadWriter;
using common::Status;

bool IsConsoleSwitch(std::wstring_view first_argument) {
  return common::EqualsIgnoreCase(first_argument, kConsoleSwitch);
}

uint64_t UptimeSeconds(uint64_t start_tick_ms, uint64_t now_tick_ms) {
  return now_tick_ms >= start_tick_ms ? (now_tick_ms - start_tick_ms) / 1000 : 0;
}

Bytes BuildHelloReply(std::string_view generation_id) {
  PayloadWriter w;
  w.WriteU16(ToWire(Status::ok));
  w.WriteHelloInfo(common::MakeServiceHelloInfo());
  w.WriteString(generation_id);
  return w.Take();
}

Bytes BuildHealthReply(std::string_view generation_id, uint64_t uptime_seconds) {
  common::ServiceHealthRecord record;
  record.hello_info = common::MakeServiceHelloInfo();
  record.generation_id.assign(generation_id);
  record.uptime_seconds = uptime_seconds;
  PayloadWriter w;
  w.WriteU16(ToWire(Status::ok));
  w.WriteServiceHealth(record);
  return w.Take();
}

std::wstring ServiceStartingText(std::string_view generation_id, uint32_t generation_number) {
  return L"service starting generation=" + common::Utf8ToWide(generation_id) + L" gen_num=" +
         common::FormatHex32(generation_number);
}

}  // namespace tovra::service
