#include "common/security/caller_identity_win.h"

#include <gtest/gtest.h>
#include <wtsapi32.h>

#include <thread>

#include "common/ipc/pipe_client_win.h"
#include "common/ipc/pipe_io_win.h"
#include "common/ipc/pipe_names.h"
#include "common/ipc/pipe_security_win.h"
#include "common/ipc/pipe_server_win.h"

namespace tovra::common {
namespace {

TEST(WellKnownSids, SystemTextsMatchTheLiterals) {
  EXPECT_EQ(LocalSystemSidText(), kLocalSystemSidText);
  EXPECT_EQ(AdministratorsSidText(), kAdministratorsSidText);
}

TEST(OwnIdentity, UserAndSessionAreKnown) {
  const std::optional<std::wstring> sid = GetProcessUserSid().sid;
  ASSERT_TRUE(sid);
  EXPECT_EQ(sid->rfind(L"S-1-5-", 0), 0u);
  const SessionLookup session = LookUpProcessSessionId();
  EXPECT_NE(session.session_id, kUnknownSessionId);
  EXPECT_FALSE(session.error);
  EXPECT_EQ(GetProcessSessionId(), session.session_id);

  const ExpectedUser console = GetExpectedUser(true);
  EXPECT_EQ(console.sid, sid);
  EXPECT_FALSE(console.error);
  EXPECT_EQ(console.session_id, GetProcessSessionId());

  const ExpectedUser service = GetExpectedUser(false);
  EXPECT_EQ(service.session_id, ::WTSGetActiveConsoleSessionId());
}

class PipeCaller : public ::testing::Test {
 protected:
  void SetUp() override {
    role_ = L"IdentityTest" + std::to_wstring(::GetCurrentProcessId());
    const std::vector<std::wstring> sids = {GetProcessUserSid().sid.value_or(L"")};
    security_ = std::move(*BuildPipeSecurity(sids).security);
    created_ = CreateServerPipe(*FormatPipeName(role_, 1), security_, true, 1);
    ASSERT_TRUE(created_.pipe);
  }
  std::wstring role_;
  PipeSecurity security_;
  CreatePipeResult created_;
};

TEST_F(PipeCaller, IdentityOfAConnectedClientIsThisProcessAndImpersonationIsReverted) {
  ConnectOptions options;
  options.attempts = 1;
  ConnectResult client = ConnectToServer(role_, 1, options);
  ASSERT_EQ(client.error, Status::ok);
  ASSERT_EQ(AcceptClient(created_.pipe.get(), nullptr, 1000), AcceptResult::connected);
  // Impersonation needs something read from the client first, as in the servers.
  const uint8_t byte = 1;
  uint8_t got = 0;
  ASSERT_TRUE(PipeTransfer(client.pipe.get(), const_cast<uint8_t*>(&byte), 1, 1000,
                           TransferDirection::Write));
  ASSERT_TRUE(PipeTransfer(created_.pipe.get(), &got, 1, 1000, TransferDirection::Read));

  const CallerIdentity id = GetCallerIdentity(created_.pipe.get());
  EXPECT_TRUE(id.valid);
  EXPECT_FALSE(id.error || id.session_error || id.image_error);
  EXPECT_EQ(id.pid, ::GetCurrentProcessId());
  EXPECT_EQ(id.session_id, GetProcessSessionId());
  EXPECT_TRUE(SidsEqual(id.sid, GetProcessUserSid().sid.value_or(L"?")));
  EXPECT_FALSE(id.is_local_system);
  wchar_t own[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, own, MAX_PATH);
  EXPECT_TRUE(EqualsIgnoreCase(FileNameOf(id.image_path), FileNameOf(own)))
      << std::string(id.image_path.begin(), id.image_path.end());

  HANDLE token = nullptr;
  EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST(CallerIdentityFailure, NotAPipeMeansNoIdentityAndSaysWhichCallFailed) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (HANDLE h : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), event.get()}) {
    const CallerIdentity id = GetCallerIdentity(h);
    EXPECT_FALSE(id.valid);
    EXPECT_TRUE(id.sid.empty());
    EXPECT_NE(id.error.code, 0u);
    EXPECT_EQ(id.error.api, L"GetNamedPipeClientProcessId");
  }
}

TEST(TrustedCallerImage, ReadsProgramFilesFromTheEnvironment) {
  wchar_t saved[MAX_PATH] = {};
  const DWORD had = ::GetEnvironmentVariableW(L"ProgramFiles", saved, MAX_PATH);
  ::SetEnvironmentVariableW(L"ProgramFiles", L"C:\\Program Files");
  EXPECT_TRUE(
      IsTrustedCallerImage(L"C:\\Program Files\\Zerka\\ZerkaVPNAgent.exe", kAgentExeName, true));
  EXPECT_FALSE(
      IsTrustedCallerImage(L"C:\\Program Files Evil\\ZerkaVPNAgent.exe", kAgentExeName, true));
  EXPECT_TRUE(
      IsTrustedCallerImage(L"C:\\Program Files Evil\\ZerkaVPNAgent.exe", kAgentExeName, false));
  // A value too long for the 260-character buffer counts as unreadable.
  const std::wstring long_root = L"C:\\" + std::wstring(300, L'p');
  ::SetEnvironmentVariableW(L"ProgramFiles", long_root.c_str());
  EXPECT_FALSE(IsTrustedCallerImage(long_root + L"\\ZerkaVPNAgent.exe", kAgentExeName, true));
  ::SetEnvironmentVariableW(L"ProgramFiles", had ? saved : nullptr);
}

TEST_F(PipeCaller, ImpersonationLastsExactlyAsLongAsItsGuard) {
  ConnectOptions options;
  options.attempts = 1;
  ConnectResult client = ConnectToServer(role_, 1, options);
  ASSERT_EQ(client.error, Status::ok);
  ASSERT_EQ(AcceptClient(created_.pipe.get(), nullptr, 1000), AcceptResult::connected);
  uint8_t byte = 1;
  ASSERT_TRUE(PipeTransfer(client.pipe.get(), &byte, 1, 1000, TransferDirection::Write));
  ASSERT_TRUE(PipeTransfer(created_.pipe.get(), &byte, 1, 1000, TransferDirection::Read));

  HANDLE token = nullptr;
  {
    std::optional<ImpersonationGuard> guard = ImpersonatePipeClient(created_.pipe.get());
    ASSERT_TRUE(guard);
    ASSERT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    ::CloseHandle(token);
    std::optional<ImpersonationGuard> moved = std::move(guard);  // one revert, by `moved`
  }
  EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));

  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_FALSE(ImpersonatePipeClient(event.get())) << "not a pipe: no guard, nothing to revert";
}

// The revert's outcome decides whether the process may go on. Fakes stand in for
// RevertToSelf, which does not fail on demand.
namespace revert_fakes {
int reverts = 0;
DWORD failed_with = 0;
int failures = 0;
BOOL WINAPI Succeeds() {
  ++reverts;
  return TRUE;
}
BOOL WINAPI Fails() {
  ++reverts;
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
void Record(DWORD error) {
  ++failures;
  failed_with = error;
}
}  // namespace revert_fakes

TEST(ImpersonationGuardRevert, AFailedRevertIsHandedOnWithItsErrorAndASuccessfulOneIsNot) {
  namespace f = revert_fakes;
  struct Row {
    ImpersonationGuard::RevertFn revert;
    int failures;
  };
  for (const Row& row : {Row{&f::Succeeds, 0}, Row{&f::Fails, 1}}) {
    f::reverts = f::failures = 0;
    f::failed_with = 0;
    {
      std::optional<ImpersonationGuard> guard(std::in_place, row.revert, &f::Record);
      std::optional<ImpersonationGuard> moved(std::move(guard));
    }
    EXPECT_EQ(f::reverts, 1) << "exactly one revert, also after a move";
    EXPECT_EQ(f::failures, row.failures);
    EXPECT_EQ(f::failed_with, row.failures ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : 0u);
  }
}

TEST(ImpersonationGuardRevertDeathTest, AFailedRevertEndsTheProcessWithAnErrLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(EndProcessAfterFailedRevert(ERROR_ACCESS_DENIED),
              ::testing::ExitedWithCode(ERROR_CANNOT_IMPERSONATE),
              "ERR  impersonation: RevertToSelf failed, ending the process \\(win32=5\\)");
}

}  // namespace
}  // namespace tovra::common
