// The headless engine behind our flutter_windows.dll: channel handlers of plugins,
// the "Dart" side of channels played by the host, and the platform thread's task
// queue. Portable; the C exports in flutter_windows.cpp are thin calls into it.
//
// Threading: the platform thread is the creating thread. Every handler and reply
// callback runs there, from tasks. SendResponse, SendToDart and Post may be called
// from any thread; they only queue. `mutex_` guards the tables and the queue and is
// never held while calling out.
#ifndef FLUTTER_HEADLESS_ENGINE_ENGINE_H_
#define FLUTTER_HEADLESS_ENGINE_ENGINE_H_

#include <flutter_headless.h>
#include <flutter_messenger.h>
#include <flutter_plugin_registrar.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform_loop.h"

namespace flutter_headless {
class Engine;
}

// Reference counted so that replies held by plugin worker threads can still ask
// whether the engine exists after it is gone. `engine` is null from destruction on;
// it is read and cleared under `lock`, which FlutterDesktopMessengerLock exposes
// (recursive: a client may send while holding it).
struct FlutterDesktopMessenger {
  std::atomic<int32_t> refs{1};
  std::recursive_mutex lock;
  flutter_headless::Engine* engine = nullptr;
};

struct FlutterDesktopMessageResponseHandleTag {
  uint64_t id = 0;
};

// A window procedure delegate, kept as an opaque function pointer so that this
// portable header needs no Win32 types.
struct FlutterHeadlessWindowProcDelegate {
  void (*callback)() = nullptr;
  void* user_data = nullptr;
};

struct FlutterDesktopPluginRegistrar {
  flutter_headless::Engine* engine = nullptr;
  std::string name;
  std::vector<FlutterDesktopOnPluginRegistrarDestroyed> destruction_handlers;
  std::vector<FlutterHeadlessWindowProcDelegate> window_proc_delegates;
};

namespace flutter_headless {

using Bytes = std::vector<uint8_t>;

class Engine {
 public:
  // Null when the platform loop cannot be created.
  static std::unique_ptr<Engine> Create();
  ~Engine();

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  FlutterDesktopMessengerRef messenger() { return messenger_; }
  // The host's handle, passed to Dart handlers.
  void set_handle(FlutterHeadlessEngineRef handle) { handle_ = handle; }
  FlutterDesktopPluginRegistrarRef GetRegistrar(const std::string& name);
  std::vector<FlutterDesktopPluginRegistrarRef> Registrars();

  // ---- plugin side (C API) ----
  void SetPluginHandler(const std::string& channel, FlutterDesktopMessageCallback callback,
                        void* user_data);
  void SendResponse(const FlutterDesktopMessageResponseHandle* handle, const uint8_t* data,
                    size_t size);
  bool SendToDart(const std::string& channel, const uint8_t* data, size_t size,
                  FlutterDesktopBinaryReply reply, void* user_data);

  // ---- host side ----
  void SendToPlugin(const std::string& channel, const uint8_t* data, size_t size,
                    FlutterHeadlessReplyCallback reply, void* user_data);
  // True when the reply arrived within timeout_ms; `reply_out` then holds it.
  bool SendToPluginAndWait(const std::string& channel, const uint8_t* data, size_t size,
                           uint32_t timeout_ms, Bytes* reply_out);
  void SetDartHandler(const char* channel, FlutterHeadlessDartHandler handler, void* user_data);
  bool RespondToPlugin(uint64_t response_id, const uint8_t* data, size_t size);
  int32_t RunLoop(uint32_t timeout_ms);
  void QuitLoop();
  uint32_t OffThreadCallCount() const { return off_thread_calls_.load(); }

  // Runs `done` checks between pumps; true once it holds, false after timeout_ms.
  bool PumpUntil(const std::function<bool()>& done, uint32_t timeout_ms);

  // Any thread: queues a task for the platform thread.
  void Post(std::function<void()> task);

 private:
  Engine();

  struct PluginHandler {
    FlutterDesktopMessageCallback callback = nullptr;
    void* user_data = nullptr;
  };
  struct DartHandler {
    FlutterHeadlessDartHandler handler = nullptr;
    void* user_data = nullptr;
  };
  struct PendingHostReply {
    std::unique_ptr<FlutterDesktopMessageResponseHandle> handle;
    FlutterHeadlessReplyCallback reply = nullptr;
    void* user_data = nullptr;
  };
  struct PendingPluginReply {
    FlutterDesktopBinaryReply reply = nullptr;
    void* user_data = nullptr;
  };

  void RunPendingTasks();
  void DeliverToPlugin(const std::string& channel, const Bytes& message,
                       FlutterHeadlessReplyCallback reply, void* user_data);
  void DeliverToDart(const std::string& channel, const Bytes& message,
                     FlutterDesktopBinaryReply reply, void* user_data);
  void NoteThread();

  const std::thread::id platform_thread_;
  FlutterHeadlessEngineRef handle_ = nullptr;
  std::unique_ptr<PlatformLoop> loop_;
  FlutterDesktopMessenger* messenger_;
  std::atomic<uint32_t> off_thread_calls_{0};
  std::atomic<bool> quit_{false};

  std::mutex mutex_;
  bool shut_down_ = false;
  std::deque<std::function<void()>> tasks_;
  std::map<std::string, PluginHandler> plugin_handlers_;
  std::map<std::string, DartHandler> dart_handlers_;
  DartHandler default_dart_handler_;
  std::map<uint64_t, PendingHostReply> pending_host_replies_;
  std::map<uint64_t, PendingPluginReply> pending_plugin_replies_;
  uint64_t next_id_ = 1;
  std::map<std::string, std::unique_ptr<FlutterDesktopPluginRegistrar>> registrars_;
};

}  // namespace flutter_headless

// The handle the host holds is the engine itself.
struct FlutterHeadlessEngine {
  std::unique_ptr<flutter_headless::Engine> engine;
};

#endif  // FLUTTER_HEADLESS_ENGINE_ENGINE_H_
