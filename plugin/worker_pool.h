// A small pool of reusable worker threads for the host methods, so a call does not
// pay for a new thread.
//
// Every submitted task is invoked exactly once: run on a worker thread, or
// cancelled (its `cancelled` argument true) when it cannot be run: at once on the
// submitting thread when no worker exists and none can be started, or on the
// thread that calls Shutdown for a task still queued then. A task must not throw;
// one that does is stopped at the worker's entry and the worker goes on.
//
// Threads are detached and share the pool's state, so Shutdown never waits for a
// running task: a worker busy in a long request finishes it on its own and then
// ends. Submit and Shutdown may be called from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace tovra_windows_vpn {

// A move-only callable `void(bool cancelled)`, so a task can own a SecretBuffer.
class PoolTask {
 public:
  PoolTask() = default;
  template <typename F>
  PoolTask(F f)  // NOLINT: implicit, as std::function is
      : impl_(std::make_unique<Model<F>>(std::move(f))) {}
  PoolTask(PoolTask&&) noexcept = default;
  PoolTask& operator=(PoolTask&&) noexcept = default;

  explicit operator bool() const { return impl_ != nullptr; }
  void operator()(bool cancelled) { impl_->Call(cancelled); }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual void Call(bool cancelled) = 0;
  };
  template <typename F>
  struct Model final : Concept {
    explicit Model(F f) : fn(std::move(f)) {}
    void Call(bool cancelled) override { fn(cancelled); }
    F fn;
  };
  std::unique_ptr<Concept> impl_;
};

class WorkerPool {
 public:
  // Starts `entry` on a new detached thread; false when no thread could be started.
  using ThreadStarter = std::function<bool(std::function<void()> entry)>;

  static constexpr size_t kDefaultMaxThreads = 4;

  explicit WorkerPool(size_t max_threads = kDefaultMaxThreads, ThreadStarter starter = {});
  ~WorkerPool();  // Shutdown
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`, starting a worker when none is idle and the limit allows. False
  // when the task was cancelled instead (no worker could be started, or the pool
  // is shut down); it has then already been invoked with `cancelled` true.
  [[nodiscard]] bool Submit(PoolTask task);

  // Cancels the queued tasks on this thread and lets the workers end once their
  // current task is done. Does not wait for them. Idempotent.
  void Shutdown();

  // Workers alive now (running, idle or about to end).
  size_t threads();

 private:
  struct State;
  // A worker thread's entry: nothing escapes it.
  static void WorkerLoop(const std::shared_ptr<State>& state) noexcept;

  std::shared_ptr<State> state_;
};

}  // namespace tovra_windows_vpn
