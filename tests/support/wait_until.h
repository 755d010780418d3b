// Waiting in tests for what they observe, with a deadline, instead of for time.
#pragma once

#include <chrono>
#include <thread>

namespace tovra::testing {

// Polls `condition` every `poll` until it holds or `timeout` has passed; the
// result of the last check, so a caller asserts on it.
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition&& condition, std::chrono::milliseconds timeout,
                             std::chrono::milliseconds poll = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(poll);
  }
}

}  // namespace tovra::testing
