// Owners of Win32 resources. Every handle, LocalAlloc block, service handle,
// registry key and allocated SID in the programs is held by one of these, so no
// path can leak it. Move-only; all are safe to destroy when empty.
#pragma once

#include <windows.h>
#include <combaseapi.h>

#include <optional>
#include <utility>

#include "common/log/log.h"

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

  [[nodiscard]] static bool IsValid(T v) { return Traits::IsValid(v); }
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
  [[nodiscard]] static bool IsValid(T v) { return v != T{}; }
  static void Free(T v) { FreeFn(v); }
};

// Kernel handles: empty is NULL, and INVALID_HANDLE_VALUE (what CreateFileW and
// CreateNamedPipeW return on failure) is never closed either.
struct KernelHandleTraits {
  static HANDLE Empty() { return nullptr; }
  [[nodiscard]] static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Free(HANDLE h) { ::CloseHandle(h); }
};

namespace detail {
inline void FreeLocal(void* p) {
  ::LocalFree(static_cast<HLOCAL>(p));
}
inline void FreeServiceHandle(SC_HANDLE h) {
  ::CloseServiceHandle(h);
}
inline void FreeRegKey(HKEY k) {
  ::RegCloseKey(k);
}
inline void FreeSid(PSID sid) {
  ::FreeSid(sid);
}
inline void FreeCoTaskMem(wchar_t* p) {
  ::CoTaskMemFree(p);
}
}  // namespace detail

using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;
using UniqueLocal =
    UniqueResource<void*, ZeroIsEmpty<void*, detail::FreeLocal>>;  // LocalAlloc memory
using UniqueServiceHandle =
    UniqueResource<SC_HANDLE, ZeroIsEmpty<SC_HANDLE, detail::FreeServiceHandle>>;
using UniqueRegKey = UniqueResource<HKEY, ZeroIsEmpty<HKEY, detail::FreeRegKey>>;
using UniqueAllocatedSid =
    UniqueResource<PSID, ZeroIsEmpty<PSID, detail::FreeSid>>;  // AllocateAndInitializeSid
using UniqueCoTaskString = UniqueResource<wchar_t*, ZeroIsEmpty<wchar_t*, detail::FreeCoTaskMem>>;

// A thread that could not drop a client's identity must not go on: it would serve
// the next request, and every later client, with that client's rights. Logs an ERR
// line and ends the process at once; nothing can catch or undo it.
[[noreturn]] inline void EndProcessAfterFailedRevert(DWORD error) {
  LogWin32(LogLevel::Error, L"impersonation: RevertToSelf failed, ending the process", error);
  ::TerminateProcess(::GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
  for (;;) ::ExitProcess(ERROR_CANNOT_IMPERSONATE);  // TerminateProcess on ourselves never returns
}

// The impersonation of one client by the calling thread, reverted when the guard
// goes out of scope, on every path. Only ImpersonatePipeClient makes an active one,
// so no code can revert what it never impersonated or forget to revert what it did.
// A failed revert ends the process (through `on_failed_revert`, which must not
// return; tests pass a recorder). Move-only; a moved-from guard reverts nothing.
class ImpersonationGuard {
 public:
  using RevertFn = BOOL(WINAPI*)();
  using FailedRevertFn = void (*)(DWORD error);

  explicit ImpersonationGuard(RevertFn revert = &::RevertToSelf,
                              FailedRevertFn on_failed_revert = &EndProcessAfterFailedRevert)
      : revert_(revert), on_failed_revert_(on_failed_revert) {}
  ImpersonationGuard(ImpersonationGuard&& o) noexcept
      : revert_(std::exchange(o.revert_, nullptr)), on_failed_revert_(o.on_failed_revert_) {}
  ImpersonationGuard& operator=(ImpersonationGuard&&) = delete;
  ImpersonationGuard(const ImpersonationGuard&) = delete;
  ImpersonationGuard& operator=(const ImpersonationGuard&) = delete;
  ~ImpersonationGuard() {
    if (revert_ == nullptr) return;
    if (!revert_()) {
      const DWORD error = ::GetLastError();
      on_failed_revert_(error);
    }
  }

 private:
  RevertFn revert_;
  FailedRevertFn on_failed_revert_;
};

// Impersonates the client of `pipe` on the calling thread; the guard is the only
// way back. Nothing when the impersonation failed (the thread is unchanged;
// GetLastError() still holds ImpersonateNamedPipeClient's error).
[[nodiscard]] inline std::optional<ImpersonationGuard> ImpersonatePipeClient(HANDLE pipe) {
  if (!::ImpersonateNamedPipeClient(pipe)) return std::nullopt;
  return std::optional<ImpersonationGuard>(std::in_place);
}

}  // namespace tovra::common
