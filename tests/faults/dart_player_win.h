// Plays Dart against the real plugin DLL through the headless embedding, for the
// fault suite and the load benchmark: host calls sent at once or one by one, their
// replies sorted into "a value" or "an error code", and the onNativeEvent events.
//
// Owned by one thread, which becomes the engine's platform thread; every member is
// called on it. Replies and events are recorded only while it pumps.
#pragma once

#include <windows.h>

#include <flutter_headless.h>

#include <any>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "plugin/pigeon_api.h"
#include "tests/support/plugin_loader_win.h"

namespace tovra::faults {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;
using Clock = std::chrono::steady_clock;

// The error codes a host method may answer with; anything else (or no reply, or
// an empty reply) is a fault.
inline bool IsDocumentedErrorCode(const std::string& code) {
  static const std::set<std::string> codes = {"INTERNAL", "VERSION_MISMATCH", "AGENT_UNAVAILABLE",
                                              "SERVICE_UNAVAILABLE"};
  return codes.count(code) != 0;
}

inline EncodableValue Texts(std::initializer_list<std::string> items) {
  EncodableList list;
  for (const auto& s : items) list.emplace_back(s);
  return EncodableValue(list);
}

template <typename T>
T Custom(const EncodableValue& v) {
  return std::any_cast<T>(static_cast<const std::any&>(std::get<CustomEncodableValue>(v)));
}

// One call's outcome (written on the platform thread only).
struct Reply {
  int replies = 0;
  bool value = false;      // a one-element success list
  EncodableValue result;   // that element
  std::string error_code;  // of a three-element error list
  Clock::time_point sent;
  Clock::time_point answered;

  bool complete() const { return replies == 1 && (value || IsDocumentedErrorCode(error_code)); }
  std::string Describe() const {
    if (replies == 0) return "no reply";
    if (value) return "value";
    return error_code.empty() ? "an empty or undecodable reply" : "error " + error_code;
  }
};

class DartPlayer {
 public:
  // `app_stem` names the app folder (see LayOutAppFolder); `with_agent` puts the
  // Agent beside the plugin.
  DartPlayer(const std::wstring& app_stem, bool with_agent)
      : engine_(FlutterHeadlessEngineCreate()) {
    const tovra::testing::PluginRegisterFn reg =
        tovra::testing::LoadPluginFromAppFolder(app_stem, with_agent);
    if (engine_ && reg) {
      reg(FlutterHeadlessEngineGetRegistrar(engine_, "tovra_windows_vpn"));
      FlutterHeadlessEngineSetDartHandler(engine_, tovra_windows_vpn::kOnNativeEventChannel,
                                          &DartPlayer::OnEvent, this);
    }
    ok_ = engine_ && reg;
  }
  ~DartPlayer() {
    if (engine_) FlutterHeadlessEngineDestroy(engine_);
  }
  DartPlayer(const DartPlayer&) = delete;
  DartPlayer& operator=(const DartPlayer&) = delete;

  bool ok() const { return ok_; }

  // Queues a call; `reply` must stay in place until it is answered or the player
  // is destroyed.
  bool Send(const std::string& method, const EncodableValue& args, Reply* reply) {
    const auto message = tovra_windows_vpn::PigeonCodec().EncodeMessage(args);
    const std::string channel = std::string(tovra_windows_vpn::kHostChannelPrefix) + method;
    reply->sent = Clock::now();
    return FlutterHeadlessEngineSendToPlugin(engine_, channel.c_str(), message->data(),
                                             message->size(), &DartPlayer::Record, reply);
  }

  // A call and its reply; `replies` stays 0 when none came within `limit`.
  Reply Call(const std::string& method, const EncodableValue& args = Texts({}),
             Clock::duration limit = std::chrono::seconds(90)) {
    Reply reply;
    if (Send(method, args, &reply)) PumpUntil([&] { return reply.replies > 0; }, limit);
    return reply;
  }

  // Pumps the platform thread until `done` or the limit; the last `done()`.
  bool PumpUntil(const std::function<bool()>& done, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline) FlutterHeadlessEngineRunLoop(engine_, 20);
    return done();
  }

  const std::vector<std::string>& events() const { return events_; }
  bool SawEventsInOrder(const std::vector<std::string>& wanted, size_t from) const {
    size_t next = 0;
    for (size_t i = from; i < events_.size() && next < wanted.size(); ++i) {
      if (events_[i] == wanted[next]) ++next;
    }
    return next == wanted.size();
  }

 private:
  static void Record(const uint8_t* data, size_t size, void* user) {
    auto* reply = static_cast<Reply*>(user);
    ++reply->replies;
    reply->answered = Clock::now();
    if (data == nullptr) return;
    const auto decoded = tovra_windows_vpn::PigeonCodec().DecodeMessage(data, size);
    const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
    if (list == nullptr) return;
    if (list->size() == 1) {
      reply->value = true;
      reply->result = (*list)[0];
    } else if (list->size() == 3) {
      if (const auto* code = std::get_if<std::string>(&(*list)[0])) reply->error_code = *code;
    }
  }

  static void OnEvent(FlutterHeadlessEngineRef engine, const char*, const uint8_t* message,
                      size_t size, uint64_t response_id, void* user) {
    auto* self = static_cast<DartPlayer*>(user);
    const auto decoded = tovra_windows_vpn::PigeonCodec().DecodeMessage(message, size);
    const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
    if (list != nullptr && !list->empty()) {
      self->events_.push_back(Custom<tovra_windows_vpn::TovraNativeEvent>(list->at(0)).type);
    }
    const auto ok = tovra_windows_vpn::PigeonCodec().EncodeMessage(EncodableValue(EncodableList{}));
    FlutterHeadlessEngineRespondToPlugin(engine, response_id, ok->data(), ok->size());
  }

  FlutterHeadlessEngineRef engine_ = nullptr;
  bool ok_ = false;
  std::vector<std::string> events_;
};

}  // namespace tovra::faults
