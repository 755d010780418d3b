// A minimal plugin that uses the wrapper exactly as a real plugin does, with one
// channel per behaviour the engine tests need to observe.
#include <flutter/basic_message_channel.h>
#include <flutter/encodable_value.h>
#include <flutter/plugin_registrar.h>
#include <flutter/standard_message_codec.h>
#include <flutter_plugin_registrar.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#ifdef _WIN32
#include <flutter/plugin_registrar_windows.h>
#define TEST_PLUGIN_EXPORT extern "C" __declspec(dllexport)
using TestRegistrar = flutter::PluginRegistrarWindows;
#else
#define TEST_PLUGIN_EXPORT extern "C"
using TestRegistrar = flutter::PluginRegistrar;
#endif

namespace {

using flutter::BasicMessageChannel;
using flutter::EncodableList;
using flutter::EncodableValue;
using flutter::MessageReply;

std::atomic<int32_t> live_plugins{0};

const flutter::StandardMessageCodec& StandardCodec() {
  return flutter::StandardMessageCodec::GetInstance();
}

class TestPlugin : public flutter::Plugin {
 public:
  explicit TestPlugin(flutter::BinaryMessenger* messenger)
      : messenger_(messenger), platform_thread_(std::this_thread::get_id()) {
    ++live_plugins;
  }
  ~TestPlugin() override {
#ifdef _WIN32
    if (window_) DestroyWindow(window_);
#endif
    --live_plugins;
  }

  void SetUp() {
    Handle("test.echo",
           [this](const EncodableValue& message, const MessageReply<EncodableValue>& reply) {
             reply(EncodableValue(EncodableList{message, EncodableValue(OnPlatformThread())}));
           });
    Handle("test.worker", [](const EncodableValue& message,
                             const MessageReply<EncodableValue>& reply) {
      const int64_t delay_ms = message.LongValue();
      std::thread([reply, delay_ms] {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(delay_ms));  // a slow worker, on request
        reply(EncodableValue(EncodableList{EncodableValue("worker"), EncodableValue(false)}));
      }).detach();
    });
    Handle("test.toDart",
           [this](const EncodableValue& message, const MessageReply<EncodableValue>& reply) {
             BasicMessageChannel<> channel(messenger_, "dart.inbox", &StandardCodec());
             channel.Send(message, [this, reply](const uint8_t* data, size_t size) {
               std::unique_ptr<EncodableValue> answer = StandardCodec().DecodeMessage(data, size);
               reply(EncodableValue(EncodableList{answer ? *answer : EncodableValue("undecodable"),
                                                  EncodableValue(OnPlatformThread())}));
             });
           });
    Handle("test.sendFromWorker",
           [this](const EncodableValue&, const MessageReply<EncodableValue>& reply) {
             flutter::BinaryMessenger* messenger = messenger_;
             std::thread([messenger] {
               BasicMessageChannel<> channel(messenger, "dart.inbox", &StandardCodec());
               channel.Send(EncodableValue("from worker"));
             }).join();
             reply(EncodableValue(true));
           });
    Handle("test.throw", [](const EncodableValue&, const MessageReply<EncodableValue>&) {
      throw std::runtime_error("handler failed");
    });
    Handle("test.drop", [](const EncodableValue&, const MessageReply<EncodableValue>&) {});
    Handle("test.twice", [](const EncodableValue&, const MessageReply<EncodableValue>& reply) {
      reply(EncodableValue(int32_t{1}));
      reply(EncodableValue(int32_t{2}));
    });
#ifdef _WIN32
    // The shape of an event pump: a worker posts to a message-only window, whose
    // procedure (run by the engine's loop on the platform thread) talks to Dart.
    Handle("test.windowEvent",
           [this](const EncodableValue&, const MessageReply<EncodableValue>& reply) {
             if (!window_) window_ = CreateEventWindow();
             HWND window = window_;
             std::thread([window] { PostMessageW(window, WM_USER + 7, 0, 0); }).join();
             reply(EncodableValue(window != nullptr));
           });
#endif
    Handle("test.unregister", [this](const EncodableValue& message,
                                     const MessageReply<EncodableValue>& reply) {
      BasicMessageChannel<> channel(messenger_, std::get<std::string>(message), &StandardCodec());
      channel.SetMessageHandler(nullptr);
      reply(EncodableValue(true));
    });
  }

 private:
  void Handle(const std::string& name, const flutter::MessageHandler<EncodableValue>& handler) {
    // The channel object goes out of scope at once; the handler must not need it.
    BasicMessageChannel<> channel(messenger_, name, &StandardCodec());
    channel.SetMessageHandler(handler);
  }

  bool OnPlatformThread() const {
    return std::this_thread::get_id() == platform_thread_;
  }

#ifdef _WIN32
  static LRESULT CALLBACK EventWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_USER + 7) {
      auto* self = reinterpret_cast<TestPlugin*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      if (self) {
        BasicMessageChannel<> channel(self->messenger_, "dart.inbox", &StandardCodec());
        channel.Send(EncodableValue(EncodableList{EncodableValue("window event"),
                                                  EncodableValue(self->OnPlatformThread())}));
      }
      return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  HWND CreateEventWindow() {
    static const bool registered = [] {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = EventWindowProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"HeadlessTestPluginEvents";
      return RegisterClassW(&wc) != 0;
    }();
    if (!registered) return nullptr;
    HWND hwnd = CreateWindowExW(0, L"HeadlessTestPluginEvents", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
    if (hwnd) SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return hwnd;
  }

  HWND window_ = nullptr;
#endif

  flutter::BinaryMessenger* messenger_;
  std::thread::id platform_thread_;
};

}  // namespace

TEST_PLUGIN_EXPORT void HeadlessTestPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  TestRegistrar* wrapper =
      flutter::PluginRegistrarManager::GetInstance()->GetRegistrar<TestRegistrar>(registrar);
  auto plugin = std::make_unique<TestPlugin>(wrapper->messenger());
  plugin->SetUp();
#ifdef _WIN32
  // Claims one private message so the host can prove delegates are wired.
  wrapper->RegisterTopLevelWindowProcDelegate(
      [](HWND, UINT message, WPARAM wparam, LPARAM) -> std::optional<LRESULT> {
        if (message == WM_APP + 9) return static_cast<LRESULT>(wparam + 1);
        return std::nullopt;
      });
#endif
  wrapper->AddPlugin(std::move(plugin));
}

TEST_PLUGIN_EXPORT int32_t HeadlessTestPluginLiveCount() {
  return live_plugins.load();
}
