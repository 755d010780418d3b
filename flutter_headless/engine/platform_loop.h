// The platform thread's event loop, the one piece of the engine that differs by
// operating system: a Win32 message loop with a message-only wake-up window on
// Windows (so plugin windows on the same thread get their messages too), a condition
// variable natively.
#ifndef FLUTTER_HEADLESS_ENGINE_PLATFORM_LOOP_H_
#define FLUTTER_HEADLESS_ENGINE_PLATFORM_LOOP_H_

#include <cstdint>
#include <functional>
#include <memory>

namespace flutter_headless {

class PlatformLoop {
 public:
  virtual ~PlatformLoop() = default;
  // Any thread: the next (or current) WaitAndDispatch runs the engine's tasks soon.
  virtual void Wake() = 0;
  // Platform thread: waits up to max_wait_ms for a wake-up or a window message, then
  // dispatches pending window messages and runs pending tasks.
  virtual void WaitAndDispatch(uint32_t max_wait_ms) = 0;
};

// Created on, and used only from, the platform thread (except Wake). `run_tasks`
// runs the engine's queued tasks. Null when the loop cannot be set up.
std::unique_ptr<PlatformLoop> CreatePlatformLoop(std::function<void()> run_tasks);

}  // namespace flutter_headless

#endif  // FLUTTER_HEADLESS_ENGINE_PLATFORM_LOOP_H_
