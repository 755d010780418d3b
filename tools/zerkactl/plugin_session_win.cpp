#include "tools/zerkactl/plugin_session_win.h"

#include <windows.h>

#include <flutter_headless.h>

#include <chrono>
#include <iostream>
#include <ostream>

#include "common/base/secure_zero.h"
#include "common/text/text.h"
#include "plugin/pigeon_api.h"

namespace tovra::tools {

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
using tovra_windows_vpn::PigeonCodec;

constexpr uint32_t kCallTimeoutMs = 90000;
constexpr char kPluginName[] = "tovra_windows_vpn";

std::wstring DefaultPluginPath() {
  wchar_t self[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  const size_t cut = path.find_last_of(L"\\/");
  return (cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1)) +
         L"tovra_windows_vpn_plugin.dll";
}

class WindowsPluginSession final : public PluginSession {
 public:
  WindowsPluginSession(FlutterHeadlessEngineRef engine) : engine_(engine) {
    FlutterHeadlessEngineSetDartHandler(engine_, tovra_windows_vpn::kOnNativeEventChannel,
                                        &WindowsPluginSession::OnEvent, this);
  }
  ~WindowsPluginSession() override { FlutterHeadlessEngineDestroy(engine_); }

  PluginReply Call(const std::string& method, const EncodableList& args) override {
    PluginReply out;
    auto message = PigeonCodec().EncodeMessage(EncodableValue(args));
    const std::string channel = std::string(tovra_windows_vpn::kHostChannelPrefix) + method;
    uint8_t* reply = nullptr;
    size_t reply_size = 0;
    const bool answered = FlutterHeadlessEngineSendToPluginAndWait(
        engine_, channel.c_str(), message->data(), message->size(), kCallTimeoutMs, &reply,
        &reply_size);
    common::SecureZero(*message);  // may hold a configuration or a password
    if (!answered || reply == nullptr) {
      if (reply) FlutterHeadlessFree(reply);
      return out;
    }
    auto decoded = PigeonCodec().DecodeMessage(reply, reply_size);
    FlutterHeadlessFree(reply);
    const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
    if (list == nullptr) return out;
    if (list->size() == 1) {
      out.kind = PluginReply::Kind::value;
      out.value = (*list)[0];
    } else if (list->size() >= 2) {
      out.kind = PluginReply::Kind::error;
      if (const auto* code = std::get_if<std::string>(&(*list)[0])) out.code = *code;
      if (const auto* text = std::get_if<std::string>(&(*list)[1])) out.message = *text;
    }
    return out;
  }

  void PumpEvents(
      uint32_t ms,
      const std::function<void(const tovra_windows_vpn::TovraNativeEvent&)>& on_event) override {
    on_event_ = &on_event;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      FlutterHeadlessEngineRunLoop(engine_,
                                   static_cast<uint32_t>(std::min<int64_t>(left.count(), 200)));
    }
    on_event_ = nullptr;
  }

 private:
  static void OnEvent(FlutterHeadlessEngineRef engine, const char*, const uint8_t* message,
                      size_t size, uint64_t response_id, void* user) {
    auto* self = static_cast<WindowsPluginSession*>(user);
    auto decoded = PigeonCodec().DecodeMessage(message, size);
    const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
    if (list && !list->empty() && self->on_event_) {
      if (const auto* custom = std::get_if<flutter::CustomEncodableValue>(&(*list)[0])) {
        const std::any& a = *custom;
        if (a.type() == typeid(tovra_windows_vpn::TovraNativeEvent)) {
          (*self->on_event_)(std::any_cast<tovra_windows_vpn::TovraNativeEvent>(a));
        }
      }
    }
    const auto ok = PigeonCodec().EncodeMessage(EncodableValue(EncodableList{}));
    FlutterHeadlessEngineRespondToPlugin(engine, response_id, ok->data(), ok->size());
  }

  FlutterHeadlessEngineRef engine_;
  const std::function<void(const tovra_windows_vpn::TovraNativeEvent&)>* on_event_ = nullptr;
};

std::unique_ptr<PluginSession> OpenSession(const std::string& plugin_path, std::ostream& err) {
  const std::wstring path =
      plugin_path.empty() ? DefaultPluginPath() : common::Utf8ToWide(plugin_path);
  // Loaded for the life of the process: the plugin's worker threads may outlive
  // the engine by a moment.
  HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    const DWORD error = ::GetLastError();
    err << "zerkactl: cannot load the plugin \"" << common::WideToUtf8(path)
        << "\" (win32=" << error << ")\n";
    return nullptr;
  }
  using RegisterFn = void (*)(FlutterDesktopPluginRegistrarRef);
  auto reg = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(
      ::GetProcAddress(module, "TovraWindowsVpnPluginCApiRegisterWithRegistrar")));
  if (reg == nullptr) {
    err << "zerkactl: \"" << common::WideToUtf8(path) << "\" is not the VPN plugin\n";
    return nullptr;
  }
  FlutterHeadlessEngineRef engine = FlutterHeadlessEngineCreate();
  if (engine == nullptr) {
    err << "zerkactl: the headless engine could not start\n";
    return nullptr;
  }
  reg(FlutterHeadlessEngineGetRegistrar(engine, kPluginName));
  return std::make_unique<WindowsPluginSession>(engine);
}

std::string ConsolePrompt(const std::string& prompt) {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = ::GetConsoleMode(in, &mode) != FALSE;
  const bool secret = prompt.find("password") != std::string::npos;
  std::cerr << prompt << std::flush;
  if (console && secret) ::SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::string line;
  std::getline(std::cin, line);
  if (console && secret) {
    ::SetConsoleMode(in, mode);
    std::cerr << '\n';
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void InstallWindowsPluginHost() {
  SetPluginSessionFactory(&OpenSession);
  SetSecretPrompt(&ConsolePrompt);
}

}  // namespace tovra::tools
