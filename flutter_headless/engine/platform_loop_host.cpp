// Native stand-in for the Win32 loop, so the engine and the wrapper run under the
// sanitizers too.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform_loop.h"

namespace flutter_headless {

namespace {

class ConditionLoop : public PlatformLoop {
 public:
  explicit ConditionLoop(std::function<void()> run_tasks) : run_tasks_(std::move(run_tasks)) {}

  void Wake() override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      woken_ = true;
    }
    cv_.notify_all();
  }

  void WaitAndDispatch(uint32_t max_wait_ms) override {
    {
      std::unique_lock<std::mutex> hold(mutex_);
      cv_.wait_for(hold, std::chrono::milliseconds(max_wait_ms), [this] { return woken_; });
      woken_ = false;
    }
    run_tasks_();
  }

 private:
  std::function<void()> run_tasks_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
};

}  // namespace

std::unique_ptr<PlatformLoop> CreatePlatformLoop(std::function<void()> run_tasks) {
  return std::make_unique<ConditionLoop>(std::move(run_tasks));
}

}  // namespace flutter_headless
