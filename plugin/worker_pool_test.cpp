#include "plugin/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tovra_windows_vpn {
namespace {

using namespace std::chrono_literals;

// A count that tests wait on, with a deadline.
class Counter {
 public:
  void Add() {
    std::lock_guard lock(mutex_);
    ++value_;
    changed_.notify_all();
  }
  bool WaitFor(int at_least, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return value_ >= at_least; });
  }
  int value() {
    std::lock_guard lock(mutex_);
    return value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};

// Opens once; tasks blocked on it wait until then.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

WorkerPool::ThreadStarter CountingStarter(std::atomic<int>& starts) {
  return [&starts](std::function<void()> entry) {
    ++starts;
    std::thread(std::move(entry)).detach();
    return true;
  };
}

TEST(WorkerPool, EveryTaskRunsOnceOnAFewReusedThreads) {
  std::atomic<int> starts{0};
  WorkerPool pool(3, CountingStarter(starts));
  constexpr int kTasks = 200;
  std::vector<std::atomic<int>> runs(kTasks);
  std::atomic<int> cancelled{0};
  Counter done;
  std::vector<std::thread> submitters;
  for (int s = 0; s < 4; ++s) {
    submitters.emplace_back([&, s] {
      for (int i = s; i < kTasks; i += 4) {
        EXPECT_TRUE(pool.Submit([&, i](bool was_cancelled) {
          if (was_cancelled) ++cancelled;
          ++runs[i];
          done.Add();
        }));
      }
    });
  }
  for (auto& t : submitters) t.join();
  ASSERT_TRUE(done.WaitFor(kTasks));
  for (int i = 0; i < kTasks; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
  EXPECT_EQ(cancelled.load(), 0);
  EXPECT_LE(starts.load(), 3) << "threads are reused, never more than the limit";
  EXPECT_GE(starts.load(), 1);
}

TEST(WorkerPool, ShutdownCancelsQueuedTasksWithoutWaitingForTheRunningOne) {
  WorkerPool pool(1);
  Gate gate;
  Counter started, finished;
  std::atomic<bool> running_cancelled{true};
  ASSERT_TRUE(pool.Submit([&](bool cancelled) {
    running_cancelled = cancelled;
    started.Add();
    gate.Wait();
    finished.Add();
  }));
  ASSERT_TRUE(started.WaitFor(1));
  std::vector<std::thread::id> cancel_threads;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(pool.Submit([&](bool cancelled) {
      EXPECT_TRUE(cancelled);
      cancel_threads.push_back(std::this_thread::get_id());
    }));
  }
  pool.Shutdown();  // returns although a task is still running
  EXPECT_EQ(finished.value(), 0);
  ASSERT_EQ(cancel_threads.size(), 3u);
  for (auto id : cancel_threads) EXPECT_EQ(id, std::this_thread::get_id());

  bool late_cancelled = false;
  EXPECT_FALSE(pool.Submit([&](bool cancelled) { late_cancelled = cancelled; }));
  EXPECT_TRUE(late_cancelled) << "a task submitted after shutdown is answered at once";

  gate.Open();
  ASSERT_TRUE(finished.WaitFor(1)) << "the running task finishes on its own";
  EXPECT_FALSE(running_cancelled.load());
}

TEST(WorkerPool, NoThreadMeansTheTaskIsCancelledOnTheCaller) {
  WorkerPool pool(2, [](std::function<void()>) -> bool { throw std::runtime_error("no threads"); });
  std::thread::id where;
  bool cancelled = false;
  EXPECT_FALSE(pool.Submit([&](bool c) {
    cancelled = c;
    where = std::this_thread::get_id();
  }));
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(where, std::this_thread::get_id());
  EXPECT_EQ(pool.threads(), 0u);
}

TEST(WorkerPool, ATaskThatThrowsDoesNotEndItsWorker) {
  std::atomic<int> starts{0};
  WorkerPool pool(1, CountingStarter(starts));
  Counter done;
  ASSERT_TRUE(pool.Submit([&](bool) {
    done.Add();
    throw std::runtime_error("escaped");
  }));
  ASSERT_TRUE(done.WaitFor(1));
  ASSERT_TRUE(pool.Submit([&](bool) { done.Add(); }));
  ASSERT_TRUE(done.WaitFor(2));
  EXPECT_EQ(starts.load(), 1);
}

TEST(WorkerPool, WorkersEndAfterShutdownAndDropWhatTheyHeld) {
  auto held = std::make_shared<int>(7);
  std::weak_ptr<int> watch = held;
  {
    WorkerPool pool(2);
    Counter done;
    ASSERT_TRUE(pool.Submit([&done, held = std::move(held)](bool) { done.Add(); }));
    ASSERT_TRUE(done.WaitFor(1));
    pool.Shutdown();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (pool.threads() != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    EXPECT_EQ(pool.threads(), 0u);
  }
  EXPECT_TRUE(watch.expired()) << "a finished task's captures are released";
}

}  // namespace
}  // namespace tovra_windows_vpn
