// Waiting in tests for what they observe, with a deadline, instead of for time.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace tovra::testing {

// Polls `condition` until it holds or `timeout` has passed; the result of the
// last check, so a caller asserts on it. The pauses start at a millisecond and
// double up to `poll`: a quick condition is seen at once, and a long wait costs
// few checks (under Wine a check that asks the service manager or the registry
// is a round of calls between processes).
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition&& condition, std::chrono::milliseconds timeout,
                             std::chrono::milliseconds poll = std::chrono::milliseconds(100)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::min(std::chrono::milliseconds(1), poll);
  for (;;) {
    if (condition()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, poll);
  }
}

}  // namespace tovra::testing
