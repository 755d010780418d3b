// Owners of Win32 resources. Every handle, LocalAlloc block, service handle,
// registry key and allocated SID in the programs is held by one of these, so no
// path can leak it. Move-only; all are safe to destroy when empty.
#pragma once

#include <windows.h>
#include <combaseapi.h>

#include <utility>

namespace tovra::common {

// One owner template for every kind of resource. `Traits` says what "empty" is
// (NULL for most handles, INVALID_HANDLE_VALUE for some: a policy, not a guess),
// which values are live, and how to free one.
template <typename T, typename Traits>
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

  static bool IsValid(T v) { return Traits::IsValid(v); }
  bool valid() const { return Traits::IsValid(v_); }
  explicit operator bool() const { return valid(); }
  T get() const { return v_; }
  // For out-parameters: frees the current value first.
  T* put() {
    reset();
    return &v_;
  }
  T release() { return std::exchange(v_, Traits::Empty()); }
  // Frees the current value without disturbing the thread's last error, so
  // `owner.reset(CreateX(...)); GetLastError()` reads CreateX's error.
  void reset(T v = Traits::Empty()) {
    if (Traits::IsValid(v_)) {
      const DWORD error = ::GetLastError();
      Traits::Free(v_);
      ::SetLastError(error);
    }
    v_ = v;
  }

 private:
  T v_ = Traits::Empty();
};

// Traits for resources whose empty value is the zero value of their type.
template <typename T, auto FreeFn>
struct ZeroIsEmpty {
  static T Empty() { return T{}; }
  static bool IsValid(T v) { return v != T{}; }
  static void Free(T v) { FreeFn(v); }
};

// Kernel handles: empty is NULL, and INVALID_HANDLE_VALUE (what CreateFileW and
// CreateNamedPipeW return on failure) is never closed either.
struct KernelHandleTraits {
  static HANDLE Empty() { return nullptr; }
  static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Free(HANDLE h) { ::CloseHandle(h); }
};

namespace detail {
inline void FreeLocal(void* p) { ::LocalFree(static_cast<HLOCAL>(p)); }
inline void FreeServiceHandle(SC_HANDLE h) { ::CloseServiceHandle(h); }
inline void FreeRegKey(HKEY k) { ::RegCloseKey(k); }
inline void FreeSid(PSID sid) { ::FreeSid(sid); }
inline void FreeCoTaskMem(wchar_t* p) { ::CoTaskMemFree(p); }
}  // namespace detail

using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;
using UniqueLocal = UniqueResource<void*, ZeroIsEmpty<void*, detail::FreeLocal>>;  // LocalAlloc memory
using UniqueServiceHandle = UniqueResource<SC_HANDLE, ZeroIsEmpty<SC_HANDLE, detail::FreeServiceHandle>>;
using UniqueRegKey = UniqueResource<HKEY, ZeroIsEmpty<HKEY, detail::FreeRegKey>>;
using UniqueAllocatedSid = UniqueResource<PSID, ZeroIsEmpty<PSID, detail::FreeSid>>;  // AllocateAndInitializeSid
using UniqueCoTaskString = UniqueResource<wchar_t*, ZeroIsEmpty<wchar_t*, detail::FreeCoTaskMem>>;

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
