#include "common/security/caller_identity.h"

#include <gtest/gtest.h>

#include <vector>

namespace tovra::common {
namespace {

constexpr wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t kUserLower[] = L"s-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t kOtherUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1002";

CallerIdentity Caller(std::wstring sid, uint32_t session, bool valid = true, uint32_t pid = 4242) {
  CallerIdentity id;
  id.pid = pid;
  id.session_id = session;
  id.is_local_system = SidsEqual(sid, kLocalSystemSidText);
  id.sid = std::move(sid);
  id.valid = valid;
  return id;
}

ExpectedUser Console(std::optional<std::wstring> sid, uint32_t session) {
  return ExpectedUser{std::move(sid), session};
}

struct ServiceRow {
  const char* name;
  CallerIdentity caller;
  ExpectedUser expected;
  ServiceCallerVerdict verdict;
};

class ServiceAcceptance : public ::testing::TestWithParam<ServiceRow> {};

TEST_P(ServiceAcceptance, Verdict) {
  EXPECT_EQ(DecideServiceCaller(GetParam().caller, GetParam().expected), GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServiceAcceptance,
    ::testing::Values(ServiceRow{"ConsoleUserSameSession", Caller(kUser, 1), Console(kUser, 1),
                                 ServiceCallerVerdict::accepted},
                      ServiceRow{"SidDiffersOnlyInCase", Caller(kUserLower, 1), Console(kUser, 1),
                                 ServiceCallerVerdict::accepted},
                      ServiceRow{"ConsoleUserOtherSession", Caller(kUser, 2), Console(kUser, 1),
                                 ServiceCallerVerdict::sid_session_mismatch},
                      ServiceRow{"OtherUserSameSession", Caller(kOtherUser, 1), Console(kUser, 1),
                                 ServiceCallerVerdict::sid_session_mismatch},
                      ServiceRow{"SidPrefixOfExpected",
                                 Caller(L"S-1-5-21-1004336348-1177238915-682003330-100", 1),
                                 Console(kUser, 1), ServiceCallerVerdict::sid_session_mismatch},
                      ServiceRow{"LocalSystemInSessionZero", Caller(L"S-1-5-18", 0),
                                 Console(kUser, 1), ServiceCallerVerdict::accepted},
                      ServiceRow{"LocalSystemNobodyAtConsole", Caller(L"S-1-5-18", 0),
                                 Console(std::nullopt, 1), ServiceCallerVerdict::no_expected_user},
                      ServiceRow{"UserNobodyAtConsole", Caller(kUser, 1),
                                 Console(std::nullopt, 0xFFFFFFFF),
                                 ServiceCallerVerdict::no_expected_user},
                      ServiceRow{"EmptyExpectedSidIsNone", Caller(L"", 1), Console(L"", 1),
                                 ServiceCallerVerdict::no_expected_user},
                      ServiceRow{"InvalidIdentityEvenIfSidsMatch", Caller(kUser, 1, false),
                                 Console(kUser, 1), ServiceCallerVerdict::identity_unavailable},
                      ServiceRow{"InvalidLocalSystem", Caller(L"S-1-5-18", 0, false),
                                 Console(kUser, 1), ServiceCallerVerdict::identity_unavailable}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ServiceAcceptanceText, LinesCarryPidAndSessionInDecimal) {
  const CallerIdentity c = Caller(kOtherUser, 3, true, 4294967295u);
  EXPECT_EQ(ServiceCallerLogText(ServiceCallerVerdict::sid_session_mismatch, c),
            L"caller_rejected: sid/session mismatch pid=4294967295 session=3");
  EXPECT_EQ(ServiceCallerLogText(ServiceCallerVerdict::accepted, c),
            L"caller_accepted pid=4294967295 session=3");
  EXPECT_EQ(ServiceCallerLogText(ServiceCallerVerdict::identity_unavailable, c),
            L"caller_rejected: identity unavailable");
  EXPECT_EQ(ServiceCallerLogText(ServiceCallerVerdict::no_expected_user, c),
            L"caller_rejected: no expected user SID");
}

// The re-check before each further request of an admitted Service caller.
struct SessionRow {
  const char* name;
  CallerIdentity caller;  // as admitted
  ExpectedUser current;   // the console now
  bool may_continue;
};

class ServiceSessionRecheck : public ::testing::TestWithParam<SessionRow> {};

TEST_P(ServiceSessionRecheck, Decision) {
  const SessionRow& r = GetParam();
  EXPECT_EQ(ServiceSessionMayContinue(r.caller, r.current), r.may_continue);
  EXPECT_EQ(ServiceCallerNeedsRecheck(r.caller), !r.caller.is_local_system);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServiceSessionRecheck,
    ::testing::Values(
        SessionRow{"ConsoleUnchanged", Caller(kUser, 1), Console(kUser, 1), true},
        SessionRow{"SameUserSidCaseDiffers", Caller(kUserLower, 1), Console(kUser, 1), true},
        SessionRow{"OtherUserAtConsole", Caller(kUser, 1), Console(kOtherUser, 1), false},
        SessionRow{"SameUserNowInOtherSession", Caller(kUser, 1), Console(kUser, 2), false},
        SessionRow{"NobodyAtConsoleAnyMore", Caller(kUser, 1), Console(std::nullopt, 0xFFFFFFFF),
                   false},
        SessionRow{"LocalSystemKeepsItsSession", Caller(L"S-1-5-18", 0), Console(kOtherUser, 2),
                   true},
        SessionRow{"LocalSystemNobodyAtConsole", Caller(L"S-1-5-18", 0),
                   Console(std::nullopt, 0xFFFFFFFF), true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ServiceSessionRecheckText, LineCarriesPidAndSession) {
  EXPECT_EQ(ServiceSessionEndedLogText(Caller(kUser, 3, true, 77)),
            L"caller_dropped: console user or session changed pid=77 session=3");
}

struct AgentRow {
  const char* name;
  CallerIdentity caller;
  std::optional<std::wstring> own_sid;
  uint32_t own_session;
  bool accepted;
};

class AgentAcceptance : public ::testing::TestWithParam<AgentRow> {};

TEST_P(AgentAcceptance, Verdict) {
  const AgentRow& r = GetParam();
  EXPECT_EQ(AgentAcceptsCaller(r.caller, r.own_sid, r.own_session), r.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AgentAcceptance,
    ::testing::Values(AgentRow{"SameUserSameSession", Caller(kUser, 2), kUser, 2, true},
                      AgentRow{"CaseOnlyDifference", Caller(kUserLower, 2), kUser, 2, true},
                      AgentRow{"OtherSession", Caller(kUser, 3), kUser, 2, false},
                      AgentRow{"OtherUser", Caller(kOtherUser, 2), kUser, 2, false},
                      AgentRow{"LocalSystemHasNoStanding", Caller(L"S-1-5-18", 2), kUser, 2, false},
                      AgentRow{"OwnSidUnknown", Caller(kUser, 2), std::nullopt, 2, false},
                      AgentRow{"InvalidIdentity", Caller(kUser, 2, false), kUser, 2, false}),
    [](const auto& row) { return std::string(row.param.name); });

CallerIdentity WithErrors(CallerIdentity c, Win32Error error, Win32Error session_error = {}) {
  c.error = error;
  c.session_error = session_error;
  return c;
}

ExpectedUser ConsoleFailed(std::optional<std::wstring> sid, uint32_t session, Win32Error error) {
  return ExpectedUser{std::move(sid), session, error};
}

// The cause line beside a refusal names the failed call only when one is to
// blame; a refusal that follows from the facts, or an expected user that is
// absent because nobody is logged on, adds nothing.
TEST(RefusalCause, ServiceNamesTheCallBehindTheRefusal) {
  struct Row {
    const char* name;
    CallerIdentity caller;
    ExpectedUser expected;
    std::optional<std::wstring> cause;
  };
  const Win32Error denied_session{5, L"ProcessIdToSessionId"};
  const Row rows[] = {
      {"IdentityUnreadable", WithErrors(Caller(L"", 0, false), {5, L"ImpersonateNamedPipeClient"}),
       Console(kUser, 1), L"caller identity: ImpersonateNamedPipeClient failed (win32=5)"},
      {"NobodyLoggedOn", Caller(kUser, 1),
       ConsoleFailed(std::nullopt, 1, {1008, L"WTSQueryUserToken"}), std::nullopt},
      {"ConsoleSessionEndedMeanwhile", Caller(kUser, 1),
       ConsoleFailed(std::nullopt, 1, {7022, L"WTSQueryUserToken"}), std::nullopt},
      {"NoConsoleSession", Caller(kUser, 1), Console(std::nullopt, kUnknownSessionId),
       std::nullopt},
      {"ConsoleUserUnreadable", Caller(kUser, 1),
       ConsoleFailed(std::nullopt, 1, {1314, L"WTSQueryUserToken"}),
       L"expected user: WTSQueryUserToken failed (win32=1314)"},
      {"CallerSessionUnreadable", WithErrors(Caller(kUser, 0), {}, denied_session),
       Console(kUser, 1), L"caller session: ProcessIdToSessionId failed (win32=5)"},
      {"OtherUserWhateverItsSession", WithErrors(Caller(kOtherUser, 0), {}, denied_session),
       Console(kUser, 1), std::nullopt},
      {"PlainMismatch", Caller(kUser, 2), Console(kUser, 1), std::nullopt},
      {"OwnSessionUnreadableInConsoleMode", Caller(kUser, 1),
       ConsoleFailed(kUser, kUnknownSessionId, {6, L"ProcessIdToSessionId"}),
       L"expected user: ProcessIdToSessionId failed (win32=6)"},
      {"AcceptedNeedsNoCause", WithErrors(Caller(kUser, 1), {}, denied_session), Console(kUser, 1),
       std::nullopt},
  };
  for (const Row& r : rows) {
    const ServiceCallerVerdict verdict = DecideServiceCaller(r.caller, r.expected);
    EXPECT_EQ(ServiceCallerCauseText(verdict, r.caller, r.expected), r.cause) << r.name;
  }
  // A dropped session says why the console user could not be read, with the same rule.
  EXPECT_EQ(ExpectedUserCauseText(rows[4].expected), rows[4].cause);
  EXPECT_EQ(ExpectedUserCauseText(rows[1].expected), std::nullopt);
}

TEST(RefusalCause, AgentNamesTheCallBehindTheRefusal) {
  struct Row {
    const char* name;
    CallerIdentity caller;
    std::optional<std::wstring> own_sid;
    Win32Error own_sid_error;
    std::optional<std::wstring> cause;
  };
  const Row rows[] = {
      // ERROR_NO_TOKEN means "nobody logged on" only for the console user query.
      {"IdentityUnreadable",
       WithErrors(Caller(L"", 0, false), {1008, L"OpenThreadToken"}),
       kUser,
       {},
       L"caller identity: OpenThreadToken failed (win32=1008)"},
      {"OwnSidUnreadable",
       Caller(kUser, 2),
       std::nullopt,
       {5, L"OpenProcessToken"},
       L"agent user SID: OpenProcessToken failed (win32=5)"},
      {"CallerSessionUnreadable",
       WithErrors(Caller(kUser, 0), {}, {6, L"ProcessIdToSessionId"}),
       kUser,
       {},
       L"caller session: ProcessIdToSessionId failed (win32=6)"},
      {"OtherUser",
       WithErrors(Caller(kOtherUser, 0), {}, {6, L"ProcessIdToSessionId"}),
       kUser,
       {},
       std::nullopt},
      {"OtherSession", Caller(kUser, 3), kUser, {}, std::nullopt},
  };
  for (const Row& r : rows) {
    EXPECT_FALSE(AgentAcceptsCaller(r.caller, r.own_sid, 2)) << r.name;
    EXPECT_EQ(AgentCallerCauseText(r.caller, r.own_sid, r.own_sid_error), r.cause) << r.name;
  }
}

TEST(InteractiveUser, LocalSystemAndMissingSidAreNotInteractive) {
  EXPECT_TRUE(IsInteractiveUserCaller(Caller(kUser, 1)));
  EXPECT_FALSE(IsInteractiveUserCaller(Caller(L"S-1-5-18", 0)));
  EXPECT_FALSE(IsInteractiveUserCaller(Caller(L"", 1)));
}

// Trusted roots as the environment of a typical machine gives them.
const std::vector<std::optional<std::wstring>> kRoots = {L"C:\\Program Files",
                                                         L"C:\\Program Files (x86)"};

struct ImageRow {
  const wchar_t* path;
  bool trusted_when_enforced;
};

class TrustedImage : public ::testing::TestWithParam<ImageRow> {};

TEST_P(TrustedImage, EnforcedDecision) {
  EXPECT_EQ(IsTrustedImagePath(GetParam().path, kAgentExeName, true, kRoots),
            GetParam().trusted_when_enforced);
}

TEST_P(TrustedImage, NotEnforcedTrustsEverything) {
  EXPECT_TRUE(IsTrustedImagePath(GetParam().path, kAgentExeName, false, kRoots));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TrustedImage,
    ::testing::Values(ImageRow{L"C:\\Program Files\\Zerka\\ZerkaVPNAgent.exe", true},
                      ImageRow{L"c:\\program files\\zerka\\zerkavpnagent.EXE", true},
                      ImageRow{L"C:\\Program Files (x86)\\Zerka\\ZerkaVPNAgent.exe", true},
                      ImageRow{L"C:\\Program Files/Zerka/ZerkaVPNAgent.exe", true},
                      ImageRow{L"D:\\Zerka\\ZerkaVPNAgent.exe", false},
                      ImageRow{L"C:\\Program Files\\Zerka\\Other.exe", false},
                      ImageRow{L"C:\\Program Files\\Zerka\\ZerkaVPNAgent.exe.bak", false},
                      ImageRow{L"C:\\Program Files\\Zerka\\xZerkaVPNAgent.exe", false},
                      // A sibling folder whose name merely extends the root's text is outside it.
                      ImageRow{L"C:\\Program Files Evil\\ZerkaVPNAgent.exe", false},
                      ImageRow{L"C:\\Program FilesZerkaVPNAgent.exe", false},
                      ImageRow{L"C:\\Program Files (x86)x\\ZerkaVPNAgent.exe", false},
                      ImageRow{L"ZerkaVPNAgent.exe", false}, ImageRow{L"", false}));

TEST(TrustedImageRoots, UnreadableOrEmptyRootsContainNothing) {
  const std::vector<std::optional<std::wstring>> none = {std::nullopt, std::nullopt};
  const std::vector<std::optional<std::wstring>> empty = {std::wstring(), std::nullopt};
  const wchar_t* path = L"C:\\Program Files\\Zerka\\ZerkaVPNAgent.exe";
  EXPECT_FALSE(IsTrustedImagePath(path, kAgentExeName, true, none));
  EXPECT_FALSE(IsTrustedImagePath(path, kAgentExeName, true, empty));
}

TEST(TrustedImageRoots, RootEndingInSeparatorStillMatches) {
  const std::vector<std::optional<std::wstring>> roots = {L"C:\\Program Files\\"};
  EXPECT_TRUE(
      IsTrustedImagePath(L"C:\\Program Files\\Z\\ZerkaVPNAgent.exe", kAgentExeName, true, roots));
  EXPECT_TRUE(IsPathUnderRoot(L"D:\\x", L"D:\\"));
}

TEST(TrustedImageRoots, SecondRootIsConsultedWhenFirstIsUnreadable) {
  const std::vector<std::optional<std::wstring>> roots = {std::nullopt, L"C:\\Program Files (x86)"};
  EXPECT_TRUE(IsTrustedImagePath(L"C:\\Program Files (x86)\\Z\\ZerkaVPNAgent.exe", kAgentExeName,
                                 true, roots));
}

TEST(FileNameOf, LastSeparatorOfEitherKind) {
  EXPECT_EQ(FileNameOf(L"C:\\a/b\\c.exe"), L"c.exe");
  EXPECT_EQ(FileNameOf(L"C:\\a\\b/c.exe"), L"c.exe");
  EXPECT_EQ(FileNameOf(L"c.exe"), L"c.exe");
  EXPECT_EQ(FileNameOf(L"C:\\dir\\"), L"");
}

TEST(SidsEqual, LengthAndAsciiCase) {
  EXPECT_TRUE(SidsEqual(L"S-1-5-18", L"s-1-5-18"));
  EXPECT_FALSE(SidsEqual(L"S-1-5-18", L"S-1-5-180"));
  EXPECT_FALSE(SidsEqual(L"S-1-5-18", L""));
  EXPECT_TRUE(SidsEqual(L"", L""));
  // Only ASCII letters fold: other characters must match exactly.
  EXPECT_FALSE(SidsEqual(L"\u00e9", L"\u00c9"));
}

}  // namespace
}  // namespace tovra::common
