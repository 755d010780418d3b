#include "plugin/worker_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace tovra_windows_vpn {

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<PoolTask> queue;
  size_t max_threads = 0;
  size_t threads = 0;
  size_t idle = 0;
  bool stopped = false;
  ThreadStarter starter;
};

namespace {

bool StartDetachedThread(std::function<void()> entry) {
  try {
    std::thread(std::move(entry)).detach();
    return true;
  } catch (...) {
    return false;
  }
}

void CancelAll(std::deque<PoolTask>& tasks) noexcept {
  for (PoolTask& task : tasks) {
    try {
      task(true);
    } catch (...) {
      // A task must not throw; one that does still counts as answered.
    }
  }
  tasks.clear();
}

}  // namespace

WorkerPool::WorkerPool(size_t max_threads, ThreadStarter starter)
    : state_(std::make_shared<State>()) {
  state_->max_threads = max_threads == 0 ? 1 : max_threads;
  state_->starter = starter ? std::move(starter) : ThreadStarter(&StartDetachedThread);
}

WorkerPool::~WorkerPool() {
  Shutdown();
}

bool WorkerPool::Submit(PoolTask task) {
  bool start_worker = false;
  {
    std::unique_lock lock(state_->mutex);
    if (!state_->stopped) {
      state_->queue.push_back(std::move(task));
      if (state_->idle < state_->queue.size() && state_->threads < state_->max_threads) {
        ++state_->threads;  // reserved before the start, so a concurrent Submit sees it
        start_worker = true;
      } else {
        state_->wake.notify_one();
        return true;
      }
    }
  }
  if (!start_worker) {
    task(true);
    return false;
  }
  bool started = false;
  try {
    started = state_->starter([state = state_] { WorkerLoop(state); });
  } catch (...) {
    started = false;
  }
  if (started) return true;

  // No new worker. The queue is still served when another worker lives; otherwise
  // nothing would ever run what it holds.
  std::deque<PoolTask> orphaned;
  {
    std::lock_guard lock(state_->mutex);
    --state_->threads;
    if (state_->threads == 0) orphaned.swap(state_->queue);
  }
  if (orphaned.empty()) {
    state_->wake.notify_one();
    return true;
  }
  CancelAll(orphaned);
  return false;
}

void WorkerPool::Shutdown() {
  std::deque<PoolTask> queued;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopped) return;
    state_->stopped = true;
    queued.swap(state_->queue);
  }
  state_->wake.notify_all();
  CancelAll(queued);
}

size_t WorkerPool::threads() {
  std::lock_guard lock(state_->mutex);
  return state_->threads;
}

void WorkerPool::WorkerLoop(const std::shared_ptr<State>& state) noexcept {
  std::unique_lock lock(state->mutex);
  for (;;) {
    ++state->idle;
    state->wake.wait(lock, [&] { return state->stopped || !state->queue.empty(); });
    --state->idle;
    if (state->queue.empty()) break;  // stopped
    PoolTask task = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    try {
      task(false);
    } catch (...) {
      // A task answers its own failures; this only keeps the worker alive.
    }
    task = PoolTask();  // what it owns (a secret, the client) goes before the next wait
    lock.lock();
  }
  --state->threads;
}

}  // namespace tovra_windows_vpn
