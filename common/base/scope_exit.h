// Runs a callable when the scope ends unless Release() was called first: the
// roll-back-unless-committed pattern.
#pragma once

#include <utility>

namespace tovra::common {

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (armed_) f_();
  }
  void Release() { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};

}  // namespace tovra::common
