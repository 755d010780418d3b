// The C exports of our flutter_windows.dll: the engine API subset the client wrapper
// calls, and the host functions of flutter_headless.h. Every export tolerates null
// handles and never lets an exception out.
#include <flutter_headless.h>
#include <flutter_messenger.h>
#include <flutter_plugin_registrar.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "engine.h"

using flutter_headless::Engine;

namespace {

Engine* EngineOf(FlutterHeadlessEngineRef ref) {
  return ref ? ref->engine.get() : nullptr;
}

}  // namespace

extern "C" {

// ---- messenger ----

FLUTTER_EXPORT bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger,
                                                const char* channel, const uint8_t* message,
                                                const size_t message_size) {
  return FlutterDesktopMessengerSendWithReply(messenger, channel, message, message_size, nullptr,
                                              nullptr);
}

FLUTTER_EXPORT bool FlutterDesktopMessengerSendWithReply(
    FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* message,
    const size_t message_size, const FlutterDesktopBinaryReply reply, void* user_data) {
  if (!messenger || !channel || (!message && message_size > 0)) return false;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  if (!messenger->engine) return false;
  try {
    return messenger->engine->SendToDart(channel, message, message_size, reply, user_data);
  } catch (...) {
    return false;
  }
}

FLUTTER_EXPORT void FlutterDesktopMessengerSendResponse(
    FlutterDesktopMessengerRef messenger, const FlutterDesktopMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length) {
  if (!messenger || !handle || (!data && data_length > 0)) return;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  if (!messenger->engine) return;
  try {
    messenger->engine->SendResponse(handle, data, data_length);
  } catch (...) {
  }
}

FLUTTER_EXPORT void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger,
                                                       const char* channel,
                                                       FlutterDesktopMessageCallback callback,
                                                       void* user_data) {
  if (!messenger || !channel) return;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  if (!messenger->engine) return;
  try {
    messenger->engine->SetPluginHandler(channel, callback, user_data);
  } catch (...) {
  }
}

FLUTTER_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  if (messenger) messenger->refs.fetch_add(1);
  return messenger;
}

FLUTTER_EXPORT void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  if (messenger && messenger->refs.fetch_sub(1) == 1) {
    delete messenger;
  }
}

FLUTTER_EXPORT bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  if (!messenger) return false;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  return messenger->engine != nullptr;
}

FLUTTER_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  if (messenger) messenger->lock.lock();
  return messenger;
}

FLUTTER_EXPORT void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
  if (messenger) messenger->lock.unlock();
}

// ---- registrar ----

FLUTTER_EXPORT FlutterDesktopMessengerRef
FlutterDesktopPluginRegistrarGetMessenger(FlutterDesktopPluginRegistrarRef registrar) {
  return registrar && registrar->engine ? registrar->engine->messenger() : nullptr;
}

FLUTTER_EXPORT void FlutterDesktopPluginRegistrarSetDestructionHandler(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopOnPluginRegistrarDestroyed callback) {
  if (!registrar || !callback) return;
  for (FlutterDesktopOnPluginRegistrarDestroyed existing : registrar->destruction_handlers) {
    if (existing == callback) return;
  }
  registrar->destruction_handlers.push_back(callback);
}

// ---- host ----

FLUTTER_EXPORT FlutterHeadlessEngineRef FlutterHeadlessEngineCreate(void) {
  try {
    std::unique_ptr<Engine> engine = Engine::Create();
    if (!engine) return nullptr;
    auto* handle = new FlutterHeadlessEngine{std::move(engine)};
    handle->engine->set_handle(handle);
    return handle;
  } catch (...) {
    return nullptr;
  }
}

FLUTTER_EXPORT void FlutterHeadlessEngineDestroy(FlutterHeadlessEngineRef engine) {
  delete engine;
}

FLUTTER_EXPORT FlutterDesktopPluginRegistrarRef
FlutterHeadlessEngineGetRegistrar(FlutterHeadlessEngineRef engine, const char* plugin_name) {
  if (!EngineOf(engine) || !plugin_name) return nullptr;
  try {
    return EngineOf(engine)->GetRegistrar(plugin_name);
  } catch (...) {
    return nullptr;
  }
}

FLUTTER_EXPORT bool FlutterHeadlessEngineSendToPlugin(FlutterHeadlessEngineRef engine,
                                                      const char* channel, const uint8_t* message,
                                                      size_t message_size,
                                                      FlutterHeadlessReplyCallback reply,
                                                      void* user_data) {
  if (!EngineOf(engine) || !channel || (!message && message_size > 0)) return false;
  try {
    EngineOf(engine)->SendToPlugin(channel, message, message_size, reply, user_data);
    return true;
  } catch (...) {
    return false;
  }
}

FLUTTER_EXPORT bool FlutterHeadlessEngineSendToPluginAndWait(
    FlutterHeadlessEngineRef engine, const char* channel, const uint8_t* message,
    size_t message_size, uint32_t timeout_ms, uint8_t** reply, size_t* reply_size) {
  if (!EngineOf(engine) || !channel || (!message && message_size > 0) || !reply || !reply_size)
    return false;
  *reply = nullptr;
  *reply_size = 0;
  try {
    flutter_headless::Bytes bytes;
    if (!EngineOf(engine)->SendToPluginAndWait(channel, message, message_size, timeout_ms, &bytes))
      return false;
    if (!bytes.empty()) {
      auto* copy = static_cast<uint8_t*>(std::malloc(bytes.size()));
      if (!copy) return false;
      std::memcpy(copy, bytes.data(), bytes.size());
      *reply = copy;
      *reply_size = bytes.size();
    }
    return true;
  } catch (...) {
    return false;
  }
}

FLUTTER_EXPORT void FlutterHeadlessFree(void* buffer) {
  std::free(buffer);
}

FLUTTER_EXPORT void FlutterHeadlessEngineSetDartHandler(FlutterHeadlessEngineRef engine,
                                                        const char* channel,
                                                        FlutterHeadlessDartHandler handler,
                                                        void* user_data) {
  if (!EngineOf(engine)) return;
  try {
    EngineOf(engine)->SetDartHandler(channel, handler, user_data);
  } catch (...) {
  }
}

FLUTTER_EXPORT bool FlutterHeadlessEngineRespondToPlugin(FlutterHeadlessEngineRef engine,
                                                         uint64_t response_id, const uint8_t* data,
                                                         size_t data_size) {
  if (!EngineOf(engine) || (!data && data_size > 0)) return false;
  try {
    return EngineOf(engine)->RespondToPlugin(response_id, data, data_size);
  } catch (...) {
    return false;
  }
}

FLUTTER_EXPORT int32_t FlutterHeadlessEngineRunLoop(FlutterHeadlessEngineRef engine,
                                                    uint32_t timeout_ms) {
  if (!EngineOf(engine)) return 0;
  return EngineOf(engine)->RunLoop(timeout_ms);
}

FLUTTER_EXPORT void FlutterHeadlessEngineQuitLoop(FlutterHeadlessEngineRef engine) {
  if (EngineOf(engine)) EngineOf(engine)->QuitLoop();
}

FLUTTER_EXPORT uint32_t FlutterHeadlessEngineOffThreadCallCount(FlutterHeadlessEngineRef engine) {
  return EngineOf(engine) ? EngineOf(engine)->OffThreadCallCount() : 0;
}

}  // extern "C"
