#include "engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

namespace flutter_headless {

namespace {

Bytes CopyBytes(const uint8_t* data, size_t size) {
  if (!data || size == 0) return {};
  return Bytes(data, data + size);
}

// An empty message travels as (NULL, 0), as the embedding API promises.
const uint8_t* DataOrNull(const Bytes& bytes) {
  return bytes.empty() ? nullptr : bytes.data();
}

}  // namespace

std::unique_ptr<Engine> Engine::Create() {
  std::unique_ptr<Engine> engine(new Engine());
  engine->loop_ = CreatePlatformLoop([raw = engine.get()] { raw->RunPendingTasks(); });
  if (!engine->loop_) return nullptr;
  return engine;
}

Engine::Engine()
    : platform_thread_(std::this_thread::get_id()), messenger_(new FlutterDesktopMessenger()) {
  messenger_->engine = this;
}

Engine::~Engine() {
  // Plugins go first, while their messenger still works (a plugin may withdraw its
  // handlers or answer pending messages as it goes).
  for (FlutterDesktopPluginRegistrarRef registrar : Registrars()) {
    const std::vector<FlutterDesktopOnPluginRegistrarDestroyed> handlers =
        registrar->destruction_handlers;
    for (FlutterDesktopOnPluginRegistrarDestroyed handler : handlers) {
      handler(registrar);
    }
  }
  {
    std::lock_guard<std::recursive_mutex> hold(messenger_->lock);
    messenger_->engine = nullptr;
  }
  std::deque<std::function<void()>> dropped_tasks;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    shut_down_ = true;
    dropped_tasks.swap(tasks_);
    plugin_handlers_.clear();
    dart_handlers_.clear();
    pending_host_replies_.clear();
    pending_plugin_replies_.clear();
  }
  dropped_tasks.clear();
  loop_.reset();
  if (messenger_->refs.fetch_sub(1) == 1) {
    delete messenger_;
  }
}

FlutterDesktopPluginRegistrarRef Engine::GetRegistrar(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto& slot = registrars_[name];
  if (!slot) {
    slot = std::make_unique<FlutterDesktopPluginRegistrar>();
    slot->engine = this;
    slot->name = name;
  }
  return slot.get();
}

std::vector<FlutterDesktopPluginRegistrarRef> Engine::Registrars() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<FlutterDesktopPluginRegistrarRef> result;
  for (auto& [name, registrar] : registrars_) result.push_back(registrar.get());
  return result;
}

void Engine::NoteThread() {
  if (std::this_thread::get_id() != platform_thread_) {
    off_thread_calls_.fetch_add(1);
  }
}

void Engine::Post(std::function<void()> task) {
  // Waking under the lock: once shut_down_ is set, no thread can still be about to
  // touch the loop that the destructor is going to free.
  std::lock_guard<std::mutex> hold(mutex_);
  if (shut_down_) return;
  tasks_.push_back(std::move(task));
  loop_->Wake();
}

void Engine::RunPendingTasks() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      task();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "flutter_headless: task failed: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "flutter_headless: task failed\n");
    }
  }
}

// ---- plugin side ----

void Engine::SetPluginHandler(const std::string& channel, FlutterDesktopMessageCallback callback,
                              void* user_data) {
  NoteThread();
  std::lock_guard<std::mutex> hold(mutex_);
  if (callback) {
    plugin_handlers_[channel] = PluginHandler{callback, user_data};
  } else {
    plugin_handlers_.erase(channel);
  }
}

void Engine::SendResponse(const FlutterDesktopMessageResponseHandle* handle, const uint8_t* data,
                          size_t size) {
  if (!handle) return;
  PendingHostReply pending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = pending_host_replies_.find(handle->id);
    if (it == pending_host_replies_.end() || it->second.handle.get() != handle) {
      std::fprintf(
          stderr, "flutter_headless: response to an unknown or already answered message ignored\n");
      return;
    }
    pending = std::move(it->second);
    pending_host_replies_.erase(it);
  }
  if (!pending.reply) return;
  Post([reply = pending.reply, user_data = pending.user_data, bytes = CopyBytes(data, size)] {
    reply(DataOrNull(bytes), bytes.size(), user_data);
  });
}

bool Engine::SendToDart(const std::string& channel, const uint8_t* data, size_t size,
                        FlutterDesktopBinaryReply reply, void* user_data) {
  NoteThread();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (shut_down_) return false;
  }
  Post([this, channel, bytes = CopyBytes(data, size), reply, user_data] {
    DeliverToDart(channel, bytes, reply, user_data);
  });
  return true;
}

void Engine::DeliverToDart(const std::string& channel, const Bytes& message,
                           FlutterDesktopBinaryReply reply, void* user_data) {
  DartHandler handler;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = dart_handlers_.find(channel);
    handler = it != dart_handlers_.end() ? it->second : default_dart_handler_;
    if (handler.handler) {
      id = next_id_++;
      pending_plugin_replies_[id] = PendingPluginReply{reply, user_data};
    }
  }
  if (!handler.handler) {
    // Dart has no listener: the sender sees an empty reply, as with a real engine.
    if (reply) reply(nullptr, 0, user_data);
    return;
  }
  handler.handler(handle_, channel.c_str(), DataOrNull(message), message.size(), id,
                  handler.user_data);
}

// ---- host side ----

void Engine::SendToPlugin(const std::string& channel, const uint8_t* data, size_t size,
                          FlutterHeadlessReplyCallback reply, void* user_data) {
  Post([this, channel, bytes = CopyBytes(data, size), reply, user_data] {
    DeliverToPlugin(channel, bytes, reply, user_data);
  });
}

void Engine::DeliverToPlugin(const std::string& channel, const Bytes& message,
                             FlutterHeadlessReplyCallback reply, void* user_data) {
  PluginHandler handler;
  const FlutterDesktopMessageResponseHandle* handle = nullptr;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = plugin_handlers_.find(channel);
    if (it != plugin_handlers_.end()) {
      handler = it->second;
      const uint64_t id = next_id_++;
      auto owned = std::make_unique<FlutterDesktopMessageResponseHandle>();
      owned->id = id;
      handle = owned.get();
      pending_host_replies_[id] = PendingHostReply{std::move(owned), reply, user_data};
    }
  }
  if (!handler.callback) {
    if (reply) reply(nullptr, 0, user_data);
    return;
  }
  FlutterDesktopMessage desktop_message = {};
  desktop_message.struct_size = sizeof(desktop_message);
  desktop_message.channel = channel.c_str();
  desktop_message.message = DataOrNull(message);
  desktop_message.message_size = message.size();
  desktop_message.response_handle = handle;
  handler.callback(messenger_, &desktop_message, handler.user_data);
}

bool Engine::SendToPluginAndWait(const std::string& channel, const uint8_t* data, size_t size,
                                 uint32_t timeout_ms, Bytes* reply_out) {
  // Shared with the reply callback, which may still run after a timeout.
  struct Waiter {
    bool done = false;
    Bytes reply;
  };
  auto waiter = std::make_shared<Waiter>();
  auto* token = new std::shared_ptr<Waiter>(waiter);
  SendToPlugin(
      channel, data, size,
      [](const uint8_t* reply, size_t reply_size, void* user) {
        std::unique_ptr<std::shared_ptr<Waiter>> held(static_cast<std::shared_ptr<Waiter>*>(user));
        (*held)->reply = CopyBytes(reply, reply_size);
        (*held)->done = true;
      },
      token);
  // Replies run on this thread, so `done` needs no lock.
  if (!PumpUntil([&] { return waiter->done; }, timeout_ms)) return false;
  *reply_out = std::move(waiter->reply);
  return true;
}

void Engine::SetDartHandler(const char* channel, FlutterHeadlessDartHandler handler,
                            void* user_data) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!channel) {
    default_dart_handler_ = DartHandler{handler, user_data};
  } else if (handler) {
    dart_handlers_[channel] = DartHandler{handler, user_data};
  } else {
    dart_handlers_.erase(channel);
  }
}

bool Engine::RespondToPlugin(uint64_t response_id, const uint8_t* data, size_t size) {
  PendingPluginReply pending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = pending_plugin_replies_.find(response_id);
    if (it == pending_plugin_replies_.end()) return false;
    pending = it->second;
    pending_plugin_replies_.erase(it);
  }
  if (pending.reply) {
    Post([pending, bytes = CopyBytes(data, size)] {
      pending.reply(DataOrNull(bytes), bytes.size(), pending.user_data);
    });
  }
  return true;
}

bool Engine::PumpUntil(const std::function<bool()>& done, uint32_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (done()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    loop_->WaitAndDispatch(static_cast<uint32_t>(std::min<int64_t>(left + 1, 50)));
  }
}

int32_t Engine::RunLoop(uint32_t timeout_ms) {
  return PumpUntil([this] { return quit_.exchange(false); }, timeout_ms) ? 1 : 0;
}

void Engine::QuitLoop() {
  quit_.store(true);
  std::lock_guard<std::mutex> hold(mutex_);
  if (!shut_down_) loop_->Wake();
}

}  // namespace flutter_headless
