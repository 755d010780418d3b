// The test app's runner: where a Flutter app creates its engine and window, this
// program creates a headless engine, registers the plugins through the generated
// registrant exactly as a Flutter app does, then plays Dart: it calls host
// methods over the plugin's channels and prints each reply. It knows the plugin
// only as Dart does: channel names and the order of the custom types.
//
// Exit code: 0 when the plugin reached the Service (getServiceHealth answered
// "up"), 1 when it did not, 2 when the engine or the registration failed.
#include <windows.h>

#include <flutter/plugin_registry.h>
#include <flutter/standard_codec_serializer.h>
#include <flutter/standard_message_codec.h>
#include <flutter_headless.h>

#include <any>
#include <cstdio>
#include <string>
#include <vector>

#include "flutter/generated_plugin_registrant.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;

// The engine's registry, as FlutterEngine offers it to RegisterPlugins.
class HeadlessRegistry : public flutter::PluginRegistry {
 public:
  explicit HeadlessRegistry(FlutterHeadlessEngineRef engine) : engine_(engine) {}
  FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(const std::string& name) override {
    return FlutterHeadlessEngineGetRegistrar(engine_, name.c_str());
  }

 private:
  FlutterHeadlessEngineRef engine_;
};

// Custom types in the Pigeon definition's declaration order, from type byte 129.
constexpr const char* kCustomTypes[] = {
    "TovraComponentState",  "TovraNativeErrorKind",     "TovraTriState",
    "TovraOpenVpnState",    "TovraOpenVpnErrorKind",    "TovraVersionInfo",
    "TovraNativeHealth",    "TovraAgentHealth",         "TovraServiceHealth",
    "TovraWireGuardStatus", "TovraOpenVpnCapabilities", "TovraOpenVpnStatus",
    "TovraNativeEvent"};
constexpr uint8_t kFirstCustom = 129;
constexpr uint8_t kFirstClass = 134;
constexpr uint8_t kServiceHealth = 137;

struct Custom {
  uint8_t type;
  EncodableValue value;
};

// Reads every custom type as its type byte and nested value; writes only
// standard values (the runner sends strings).
class GenericPigeonSerializer : public flutter::StandardCodecSerializer {
 protected:
  EncodableValue ReadValueOfType(uint8_t type, flutter::ByteStreamReader* stream) const override {
    if (type >= kFirstCustom && type < kFirstCustom + std::size(kCustomTypes)) {
      return flutter::CustomEncodableValue(Custom{type, ReadValue(stream)});
    }
    return flutter::StandardCodecSerializer::ReadValueOfType(type, stream);
  }
};

const flutter::StandardMessageCodec& Codec() {
  static GenericPigeonSerializer serializer;
  return flutter::StandardMessageCodec::GetInstance(&serializer);
}

std::string Show(const EncodableValue& v) {
  if (v.IsNull()) return "null";
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (const auto* i = std::get_if<int32_t>(&v)) return std::to_string(*i);
  if (const auto* l = std::get_if<int64_t>(&v)) return std::to_string(*l);
  if (const auto* s = std::get_if<std::string>(&v)) return "\"" + *s + "\"";
  if (const auto* list = std::get_if<EncodableList>(&v)) {
    std::string out = "[";
    for (size_t i = 0; i < list->size(); ++i) out += (i ? ", " : "") + Show((*list)[i]);
    return out + "]";
  }
  if (const auto* custom = std::get_if<flutter::CustomEncodableValue>(&v)) {
    const auto* c = std::any_cast<Custom>(&static_cast<const std::any&>(*custom));
    if (c == nullptr) return "?";
    const std::string name = kCustomTypes[c->type - kFirstCustom];
    return c->type < kFirstClass ? name + "(" + Show(c->value) + ")" : name + Show(c->value);
  }
  return "?";
}

// Calls a host method; the decoded reply, or null when none came.
EncodableValue Call(FlutterHeadlessEngineRef engine, const std::string& method,
                    const EncodableList& args = {}) {
  const std::string channel =
      "dev.flutter.pigeon.tovra_windows_vpn.TovraWindowsVpnHostApi." + method;
  const auto message = Codec().EncodeMessage(EncodableValue(args));
  uint8_t* reply = nullptr;
  size_t size = 0;
  EncodableValue out;
  if (FlutterHeadlessEngineSendToPluginAndWait(engine, channel.c_str(), message->data(),
                                               message->size(), 120000, &reply, &size) &&
      reply != nullptr) {
    if (auto decoded = Codec().DecodeMessage(reply, size)) out = *decoded;
    FlutterHeadlessFree(reply);
  }
  std::printf("  %s -> %s\n", method.c_str(), Show(out).c_str());
  std::fflush(stdout);
  return out;
}

std::string Narrow(const std::wstring& w) {
  std::string out;
  for (wchar_t c : w) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, n);
}

void ListBundle() {
  std::wstring dir = ModulePath(nullptr);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  std::printf("bundle %s\n", Narrow(dir).c_str());
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((dir + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      std::printf("  %s\n", Narrow(data.cFileName).c_str());
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

}  // namespace

int wmain() {
  ListBundle();
  FlutterHeadlessEngineRef engine = FlutterHeadlessEngineCreate();
  if (engine == nullptr) {
    std::printf("no engine\n");
    return 2;
  }
  HeadlessRegistry registry(engine);
  RegisterPlugins(&registry);
  const HMODULE plugin = ::GetModuleHandleW(L"tovra_windows_vpn_plugin.dll");
  if (plugin == nullptr) {
    std::printf("the plugin DLL is not loaded\n");
    FlutterHeadlessEngineDestroy(engine);
    return 2;
  }
  std::printf("registered TovraWindowsVpnPluginCApi from %s\n", Narrow(ModulePath(plugin)).c_str());
  std::printf("calls as Dart:\n");

  Call(engine, "isAvailable");
  Call(engine, "getAgentHealth");
  const EncodableValue service = Call(engine, "getServiceHealth");
  Call(engine, "wireGuardStatus");
  Call(engine, "getOpenVpnCapabilities");
  Call(engine, "getHealth");
  FlutterHeadlessEngineDestroy(engine);

  // Success: [TovraServiceHealth[TovraComponentState(2), ...]].
  bool reached = false;
  if (const auto* list = std::get_if<EncodableList>(&service); list && list->size() == 1) {
    if (const auto* custom = std::get_if<flutter::CustomEncodableValue>(&(*list)[0])) {
      const auto* health = std::any_cast<Custom>(&static_cast<const std::any&>(*custom));
      const auto* fields = health ? std::get_if<EncodableList>(&health->value) : nullptr;
      if (health && health->type == kServiceHealth && fields && !fields->empty()) {
        const auto* first = std::get_if<flutter::CustomEncodableValue>(&(*fields)[0]);
        const auto* state =
            first ? std::any_cast<Custom>(&static_cast<const std::any&>(*first)) : nullptr;
        reached = state && state->value == EncodableValue(int32_t{2});
      }
    }
  }
  std::printf(reached ? "the plugin reached the Service\n"
                      : "the plugin did not reach the Service\n");
  return reached ? 0 : 1;
}
