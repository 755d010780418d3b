#include "agent/service_link_win.h"

#include "common/log/log.h"
#include "common/ipc/messages.h"
#include "common/base/secure_zero.h"
#include "common/text/text.h"

namespace tovra::agent {

using common::Status;
using common::ToWire;

ServiceLink::ServiceLink(Connector connector)
    : client_(common::ProtocolClientConfig{
          std::move(connector),
          kAgentIoTimeoutMs,
          common::kServiceHelloRules,
          L"service pipe owner not trusted -> fail closed",
          ProtocolMismatchLine,
          GenerationChangedLine,
      }) {}

std::wstring ServiceLinkOpenVpnStager::Stage(uint32_t stage_key, std::span<const uint8_t> profile,
                                             uint16_t& result) {
  result = ToWire(StageResult::failed);
  if (link_ == nullptr || profile.empty()) return {};
  // The profile travels in self-wiping storage sized once.
  common::SecretPayloadWriter w;
  const std::string_view text(reinterpret_cast<const char*>(profile.data()), profile.size());
  w.Reserve(sizeof(uint32_t) + common::WireStringSize(text));
  w.WriteU32(stage_key);
  if (!w.WriteString(text)) return {};
  ServiceLink::Result reply =
      link_->Request(ToWire(common::MessageType::stage_openvpn_config), w.bytes().span());
  if (!reply.ok) {
    result = ToWire(MapStageRequestFailure(reply.status));
    return {};
  }
  common::PayloadReader r(reply.body);
  std::string staged_path;
  uint16_t stage_result = 0;
  if (!r.ReadString(staged_path) || !r.ReadU16(stage_result)) return {};
  if (!staged_path.empty()) {
    result = ToWire(StageResult::staged);
    return common::Utf8ToWide(staged_path);
  }
  result = ToWire(MapStageResultCode(stage_result));
  return {};
}

void ServiceLinkOpenVpnStager::Unstage(const std::wstring& staged_path) {
  if (link_ == nullptr || staged_path.empty()) return;
  common::PayloadWriter w;
  if (!w.WriteString(common::WideToUtf8(staged_path))) return;
  // Nothing to do about a failed unstage: the Service sweeps stale profiles.
  static_cast<void>(link_->Request(ToWire(common::MessageType::unstage_openvpn_config), w.bytes()));
}

}  // namespace tovra::agent
