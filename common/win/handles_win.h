// Owners of Win32 resources. Every handle, LocalAlloc block, service handle,
// registry key and allocated SID in the programs is held by one of these, so no
// path can leak it. Move-only; all are safe to destroy when empty.
#pragma once

#include <windows.h>
#include <combaseapi.h>

#include <utility>

namespace tovra::common {

// Owner of a kernel handle; both NULL and INVALID_HANDLE_VALUE mean "none".
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  bool valid() const { return IsValid(h_); }
  explicit operator bool() const { return valid(); }
  HANDLE get() const { return h_; }
  HANDLE release() { return std::exchange(h_, nullptr); }
  void reset(HANDLE h = nullptr) {
    if (IsValid(h_)) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// Generic owner for pointer-like resources with a free function.
template <typename T, auto Free>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T v) : v_(v) {}
  UniqueResource(UniqueResource&& o) noexcept : v_(o.release()) {}
  UniqueResource& operator=(UniqueResource&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  explicit operator bool() const { return v_ != T{}; }
  T get() const { return v_; }
  T* put() {
    reset();
    return &v_;
  }
  T release() { return std::exchange(v_, T{}); }
  void reset(T v = T{}) {
    if (v_ != T{}) Free(v_);
    v_ = v;
  }

 private:
  T v_{};
};

namespace detail {
inline void FreeLocal(void* p) { ::LocalFree(static_cast<HLOCAL>(p)); }
inline void FreeServiceHandle(SC_HANDLE h) { ::CloseServiceHandle(h); }
inline void FreeRegKey(HKEY k) { ::RegCloseKey(k); }
inline void FreeSid(PSID sid) { ::FreeSid(sid); }
inline void FreeCoTaskMem(wchar_t* p) { ::CoTaskMemFree(p); }
}  // namespace detail

using UniqueLocal = UniqueResource<void*, detail::FreeLocal>;           // LocalAlloc memory
using UniqueServiceHandle = UniqueResource<SC_HANDLE, detail::FreeServiceHandle>;
using UniqueRegKey = UniqueResource<HKEY, detail::FreeRegKey>;
using UniqueAllocatedSid = UniqueResource<PSID, detail::FreeSid>;       // AllocateAndInitializeSid
using UniqueCoTaskString = UniqueResource<wchar_t*, detail::FreeCoTaskMem>;

// Reverts the calling thread's impersonation when it goes out of scope, on every
// path. Construct it right after a successful impersonation call.
class ImpersonationGuard {
 public:
  ImpersonationGuard() = default;
  ImpersonationGuard(const ImpersonationGuard&) = delete;
  ImpersonationGuard& operator=(const ImpersonationGuard&) = delete;
  ~ImpersonationGuard() { ::RevertToSelf(); }
};

}  // namespace tovra::common
