// Who is on the other end of a pipe, and whether a server may serve it.
//
// The Win32 half (caller_identity_win.h) only gathers facts into CallerIdentity and
// ExpectedUser; every decision about them is made here, as pure functions, so each
// row of the acceptance rules can be exercised with made-up identities.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/base/win32_error.h"

namespace tovra::common {

inline constexpr std::wstring_view kLocalSystemSidText = L"S-1-5-18";
inline constexpr std::wstring_view kAdministratorsSidText = L"S-1-5-32-544";
// The Agent program: started from the plugin's folder, trusted by the Service.
inline constexpr std::wstring_view kAgentExeName = L"ZerkaVPNAgent.exe";
inline constexpr uint32_t kUnknownSessionId = 0xFFFFFFFF;

struct CallerIdentity {
  uint32_t pid = 0;
  uint32_t session_id = 0;  // 0 when it could not be determined
  std::wstring sid;         // token user SID text, "S-1-5-21-..."
  std::wstring image_path;  // empty when it could not be read
  bool is_local_system = false;
  // pid, impersonation, thread token and user SID were all obtained.
  bool valid = false;
  Win32Error error{};          // why `valid` is false
  Win32Error session_error{};  // why `session_id` is 0 although the identity is valid
  Win32Error image_error{};    // why `image_path` is empty although the identity is valid
};

// The user the Service serves: whoever is logged on at the console (in console
// mode, the Service's own user and session).
struct ExpectedUser {
  std::optional<std::wstring> sid;
  uint32_t session_id = kUnknownSessionId;
  // The lookup that left `sid` (or, in console mode, the session) unknown. With
  // nobody logged on at the console this is the token query's own answer; see
  // MeansNobodyLoggedOn.
  Win32Error error{};
};

// A failed query for the console user's token that only says nobody is logged on
// there (or that the session ended meanwhile): the normal "no expected user".
[[nodiscard]] bool MeansNobodyLoggedOn(const Win32Error& error);

// Ordinal, case-insensitive equality. Case is folded for ASCII letters only: SID
// texts are ASCII, and for paths any other difference counts as a mismatch, which
// can only make a trust check fail.
[[nodiscard]] bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);
bool StartsWithIgnoreCase(std::wstring_view text, std::wstring_view prefix);
[[nodiscard]] inline bool SidsEqual(std::wstring_view a, std::wstring_view b) {
  return EqualsIgnoreCase(a, b);
}

enum class ServiceCallerVerdict {
  accepted,
  identity_unavailable,
  no_expected_user,
  sid_session_mismatch,
};

// The Service serves a valid caller when a console user is known and the caller is
// either LocalSystem (any session) or that user in that session. The expected user
// is tested first, so with nobody at the console LocalSystem is refused too.
ServiceCallerVerdict DecideServiceCaller(const CallerIdentity& caller,
                                         const ExpectedUser& expected);

// The WARN line for a refusal, or the INFO line for an acceptance.
std::wstring ServiceCallerLogText(ServiceCallerVerdict verdict, const CallerIdentity& caller);

// The WARN line that goes beside a refusal when a failed system call is behind
// it: the identity could not be read, the console user could not be read for a
// reason other than nobody being there, or the caller's session could not be
// read. Nothing when the refusal follows from the facts themselves.
[[nodiscard]] std::optional<std::wstring> ServiceCallerCauseText(ServiceCallerVerdict verdict,
                                                                 const CallerIdentity& caller,
                                                                 const ExpectedUser& expected);

// Before each further request of an admitted caller. A LocalSystem caller was
// admitted whatever the console and keeps its session. Anyone else was admitted as
// the console's user in the console's session and keeps the session only while
// `current` (the expected user read now) still names that user and session: after
// a switch of console user the previous user's open link must not keep the
// machine-wide tunnel in that user's hands. The client reconnects through its
// normal path and is admitted, or refused, afresh.
[[nodiscard]] inline bool ServiceCallerNeedsRecheck(const CallerIdentity& caller) {
  return !caller.is_local_system;
}
bool ServiceSessionMayContinue(const CallerIdentity& caller, const ExpectedUser& current);
// The WARN line when a session ends because the console changed.
std::wstring ServiceSessionEndedLogText(const CallerIdentity& caller);
// Beside it, when the console user could not be read for a reason other than
// nobody being there.
[[nodiscard]] std::optional<std::wstring> ExpectedUserCauseText(const ExpectedUser& expected);

// The Agent serves only its own user in its own session; LocalSystem has no
// special standing there.
[[nodiscard]] bool AgentAcceptsCaller(const CallerIdentity& caller,
                                      const std::optional<std::wstring>& own_sid,
                                      uint32_t own_session_id);
// The WARN line beside an Agent refusal when a failed system call is behind it:
// the caller's identity, the Agent's own user SID (`own_sid_error` says why
// `own_sid` is missing), or the session of a caller whose SID matched.
[[nodiscard]] std::optional<std::wstring> AgentCallerCauseText(
    const CallerIdentity& caller, const std::optional<std::wstring>& own_sid,
    const Win32Error& own_sid_error);

// Staging needs a real interactive user on top of acceptance.
[[nodiscard]] inline bool IsInteractiveUserCaller(const CallerIdentity& caller) {
  return !caller.is_local_system && !caller.sid.empty();
}

// The part of a path after its last backslash or slash (the whole path when none).
std::wstring_view FileNameOf(std::wstring_view path);

// True when `path` lies inside the folder `root`: `root` is a case-insensitive
// prefix and a separator follows it (or ends it). "C:\Program Files Evil\x" is not
// inside "C:\Program Files". An empty root contains nothing.
[[nodiscard]] bool IsPathUnderRoot(std::wstring_view path, std::wstring_view root);

// The decision of IsTrustedCallerImage given the trusted roots it read (an absent
// root is a variable that could not be read). Without `enforce` everything passes.
[[nodiscard]] bool IsTrustedImagePath(std::wstring_view image_path,
                                      std::wstring_view expected_file_name, bool enforce,
                                      std::span<const std::optional<std::wstring>> trusted_roots);

}  // namespace tovra::common
