#include "common/security/caller_identity.h"

#include "common/log/log.h"

namespace tovra::common {

namespace {

wchar_t FoldAscii(wchar_t c) {
  return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
}

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// What WTSQueryUserToken answers when no user is logged on at the console, and
// when the console session ended between reading its id and asking for its user.
constexpr uint32_t kErrorNoToken = 1008;
constexpr uint32_t kErrorSessionNotFound = 7022;

std::optional<std::wstring> Cause(std::wstring_view subject, const Win32Error& error) {
  if (!error) return std::nullopt;
  return std::wstring(subject) + L": " + DescribeWin32Error(error);
}

std::optional<std::wstring> ExpectedUserCause(const ExpectedUser& expected) {
  if (MeansNobodyLoggedOn(expected.error)) return std::nullopt;
  return Cause(L"expected user", expected.error);
}

}  // namespace

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && StartsWithIgnoreCase(a, b);
}

bool StartsWithIgnoreCase(std::wstring_view text, std::wstring_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

ServiceCallerVerdict DecideServiceCaller(const CallerIdentity& caller,
                                         const ExpectedUser& expected) {
  if (!caller.valid) return ServiceCallerVerdict::identity_unavailable;
  if (!expected.sid || expected.sid->empty()) return ServiceCallerVerdict::no_expected_user;
  if (caller.is_local_system) return ServiceCallerVerdict::accepted;
  if (SidsEqual(caller.sid, *expected.sid) && caller.session_id == expected.session_id) {
    return ServiceCallerVerdict::accepted;
  }
  return ServiceCallerVerdict::sid_session_mismatch;
}

bool MeansNobodyLoggedOn(const Win32Error& error) {
  return error.code == kErrorNoToken || error.code == kErrorSessionNotFound;
}

std::wstring ServiceCallerLogText(ServiceCallerVerdict verdict, const CallerIdentity& caller) {
  const std::wstring who =
      L"pid=" + FormatDecimal(caller.pid) + L" session=" + FormatDecimal(caller.session_id);
  switch (verdict) {
    case ServiceCallerVerdict::accepted:
      return L"caller_accepted " + who;
    case ServiceCallerVerdict::identity_unavailable:
      return L"caller_rejected: identity unavailable";
    case ServiceCallerVerdict::no_expected_user:
      return L"caller_rejected: no expected user SID";
    case ServiceCallerVerdict::sid_session_mismatch:
      return L"caller_rejected: sid/session mismatch " + who;
  }
  return L"caller_rejected";
}

std::optional<std::wstring> ServiceCallerCauseText(ServiceCallerVerdict verdict,
                                                   const CallerIdentity& caller,
                                                   const ExpectedUser& expected) {
  switch (verdict) {
    case ServiceCallerVerdict::accepted:
      return std::nullopt;
    case ServiceCallerVerdict::identity_unavailable:
      return Cause(L"caller identity", caller.error);
    case ServiceCallerVerdict::no_expected_user:
      return ExpectedUserCause(expected);
    case ServiceCallerVerdict::sid_session_mismatch:
      // The caller's unread session (0) is to blame only when its SID matched.
      if (expected.sid && SidsEqual(caller.sid, *expected.sid) && caller.session_error) {
        return Cause(L"caller session", caller.session_error);
      }
      return ExpectedUserCause(expected);
  }
  return std::nullopt;
}

bool ServiceSessionMayContinue(const CallerIdentity& caller, const ExpectedUser& current) {
  if (!ServiceCallerNeedsRecheck(caller)) return true;
  return DecideServiceCaller(caller, current) == ServiceCallerVerdict::accepted;
}

std::wstring ServiceSessionEndedLogText(const CallerIdentity& caller) {
  return L"caller_dropped: console user or session changed pid=" + FormatDecimal(caller.pid) +
         L" session=" + FormatDecimal(caller.session_id);
}

std::optional<std::wstring> ExpectedUserCauseText(const ExpectedUser& expected) {
  return ExpectedUserCause(expected);
}

bool AgentAcceptsCaller(const CallerIdentity& caller, const std::optional<std::wstring>& own_sid,
                        uint32_t own_session_id) {
  return caller.valid && own_sid && !own_sid->empty() && SidsEqual(caller.sid, *own_sid) &&
         caller.session_id == own_session_id;
}

std::optional<std::wstring> AgentCallerCauseText(const CallerIdentity& caller,
                                                 const std::optional<std::wstring>& own_sid,
                                                 const Win32Error& own_sid_error) {
  if (!caller.valid) return Cause(L"caller identity", caller.error);
  if (!own_sid) return Cause(L"agent user SID", own_sid_error);
  if (SidsEqual(caller.sid, *own_sid)) return Cause(L"caller session", caller.session_error);
  return std::nullopt;
}

std::wstring_view FileNameOf(std::wstring_view path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

bool IsPathUnderRoot(std::wstring_view path, std::wstring_view root) {
  if (root.empty() || !StartsWithIgnoreCase(path, root)) return false;
  if (IsSeparator(root.back())) return true;
  return path.size() > root.size() && IsSeparator(path[root.size()]);
}

bool IsTrustedImagePath(std::wstring_view image_path, std::wstring_view expected_file_name,
                        bool enforce, std::span<const std::optional<std::wstring>> trusted_roots) {
  if (!enforce) return true;
  if (image_path.empty()) return false;
  if (!EqualsIgnoreCase(FileNameOf(image_path), expected_file_name)) return false;
  for (const auto& root : trusted_roots) {
    if (root && IsPathUnderRoot(image_path, *root)) return true;
  }
  return false;
}

}  // namespace tovra::common
