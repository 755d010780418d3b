// The wrapper's link to the engine's C API: the binary messenger, the one-shot reply
// to an incoming message, and the registrars.
#include <flutter_messenger.h>
#include <flutter_plugin_registrar.h>

#include <atomic>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "flutter/binary_messenger.h"
#include "flutter/plugin_registrar.h"

namespace flutter {

namespace {

// Answers one incoming message exactly once, from whichever thread calls first. A
// handler that drops its reply gets an empty one sent for it, so Dart never waits
// forever. Holds a reference on the messenger, which outlives the engine: a reply
// arriving after the engine has gone is dropped, not sent into freed memory.
class ReplyManager {
 public:
  ReplyManager(const FlutterDesktopMessageResponseHandle* handle,
               FlutterDesktopMessengerRef messenger)
      : handle_(handle), messenger_(FlutterDesktopMessengerAddRef(messenger)) {}

  ~ReplyManager() {
    if (handle_.load() != nullptr) {
      std::cerr << "Warning: a message was never answered; sending an empty reply" << std::endl;
      SendResponseData(nullptr, 0);
    }
    FlutterDesktopMessengerRelease(messenger_);
  }

  ReplyManager(const ReplyManager&) = delete;
  ReplyManager& operator=(const ReplyManager&) = delete;

  void SendResponseData(const uint8_t* data, size_t size) {
    const FlutterDesktopMessageResponseHandle* handle = handle_.exchange(nullptr);
    if (handle == nullptr) {
      std::cerr << "Error: a message may be answered only once" << std::endl;
      return;
    }
    FlutterDesktopMessengerRef locked = FlutterDesktopMessengerLock(messenger_);
    if (FlutterDesktopMessengerIsAvailable(locked)) {
      FlutterDesktopMessengerSendResponse(locked, handle, data, size);
    }
    FlutterDesktopMessengerUnlock(locked);
  }

 private:
  std::atomic<const FlutterDesktopMessageResponseHandle*> handle_;
  FlutterDesktopMessengerRef messenger_;
};

void ForwardToHandler(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                      void* user_data) {
  auto* handler = static_cast<BinaryMessageHandler*>(user_data);
  auto reply_manager = std::make_shared<ReplyManager>(message->response_handle, messenger);
  BinaryReply reply = [reply_manager](const uint8_t* reply_data, size_t reply_size) {
    reply_manager->SendResponseData(reply_data, reply_size);
  };
  // Nothing may unwind into the engine's C frames; the unanswered reply goes out
  // empty when the last copy of `reply` is gone.
  try {
    (*handler)(message->message, message->message_size, std::move(reply));
  } catch (const std::exception& e) {
    std::cerr << "Exception in the handler of channel " << message->channel << ": " << e.what()
              << std::endl;
  } catch (...) {
    std::cerr << "Exception in the handler of channel " << message->channel << std::endl;
  }
}

void ForwardReply(const uint8_t* data, size_t data_size, void* user_data) {
  std::unique_ptr<BinaryReply> reply(static_cast<BinaryReply*>(user_data));
  try {
    (*reply)(data, data_size);
  } catch (const std::exception& e) {
    std::cerr << "Exception in a reply handler: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "Exception in a reply handler" << std::endl;
  }
}

class BinaryMessengerImpl : public BinaryMessenger {
 public:
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger)
      : messenger_(core_messenger) {}

  ~BinaryMessengerImpl() override {
    // The engine holds pointers into handlers_; withdraw them before they dangle.
    if (FlutterDesktopMessengerIsAvailable(messenger_)) {
      for (const auto& [channel, handler] : handlers_) {
        FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
      }
    }
  }

  BinaryMessengerImpl(const BinaryMessengerImpl&) = delete;
  BinaryMessengerImpl& operator=(const BinaryMessengerImpl&) = delete;

  void Send(const std::string& channel, const uint8_t* message, size_t message_size,
            BinaryReply reply) const override {
    if (!reply) {
      FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
      return;
    }
    auto* captured = new BinaryReply(std::move(reply));
    if (!FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, message_size,
                                              ForwardReply, captured)) {
      delete captured;
    }
  }

  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override {
    if (!handler) {
      handlers_.erase(channel);
      FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
      return;
    }
    // std::map nodes do not move, so the pointer stays valid until erased.
    BinaryMessageHandler& stored = handlers_[channel];
    stored = std::move(handler);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), ForwardToHandler, &stored);
  }

 private:
  FlutterDesktopMessengerRef messenger_;
  std::map<std::string, BinaryMessageHandler> handlers_;
};

}  // namespace

// ---- PluginRegistrar ----

PluginRegistrar::PluginRegistrar(FlutterDesktopPluginRegistrarRef registrar)
    : registrar_(registrar) {
  messenger_ =
      std::make_unique<BinaryMessengerImpl>(FlutterDesktopPluginRegistrarGetMessenger(registrar));
}

PluginRegistrar::~PluginRegistrar() {
  ClearPlugins();
  messenger_.reset();
}

void PluginRegistrar::AddPlugin(std::unique_ptr<Plugin> plugin) {
  plugins_.insert(std::move(plugin));
}

void PluginRegistrar::ClearPlugins() {
  plugins_.clear();
}

// ---- PluginRegistrarManager ----

PluginRegistrarManager::PluginRegistrarManager() = default;

PluginRegistrarManager* PluginRegistrarManager::GetInstance() {
  static PluginRegistrarManager* instance = new PluginRegistrarManager();
  return instance;
}

void PluginRegistrarManager::OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar) {
  // Take the wrapper out of the map before destroying it, so that a plugin touching
  // the manager from its destructor sees a consistent map.
  auto& registrars = GetInstance()->registrars_;
  auto it = registrars.find(registrar);
  if (it == registrars.end()) return;
  std::unique_ptr<PluginRegistrar> wrapper = std::move(it->second);
  registrars.erase(it);
  wrapper.reset();
}

}  // namespace flutter
