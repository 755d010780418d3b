#include "common/ipc/pipe_security_win.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "common/security/caller_identity_win.h"
#include "common/ipc/pipe_names.h"
#include "common/ipc/pipe_owner_win.h"
#include "common/ipc/pipe_server_win.h"
#include "tests/support/stderr_capture_win.h"

namespace tovra::common {
namespace {

using tovra::testing::CountOccurrences;
using tovra::testing::StderrCapture;

std::wstring UniquePipeName() {
  static int counter = 0;
  return *FormatPipeName(L"SecurityTest" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                             std::to_wstring(++counter),
                         1);
}

struct DaclEntry {
  BYTE type;
  ACCESS_MASK mask;
  std::wstring sid;
};

// The DACL of a live kernel object, as its entries and as SDDL text.
struct ReadBackDacl {
  std::vector<DaclEntry> entries;
  std::wstring sddl;
};

ReadBackDacl ReadDacl(HANDLE object) {
  ReadBackDacl out;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_EQ(::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
  UniqueLocal owned_sd(sd);
  if (dacl == nullptr) return out;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    wchar_t* text = nullptr;
    ::ConvertSidToStringSidW(&allowed->SidStart, &text);
    UniqueLocal owned_text(text);
    out.entries.push_back({allowed->Header.AceType, allowed->Mask, text ? text : L""});
  }
  wchar_t* sddl = nullptr;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    out.sddl = sddl;
    ::LocalFree(sddl);
  }
  return out;
}

TEST(PipeSecurity, CreatedPipeHoldsExactlyTheAdmittedSids) {
  const std::wstring user = GetProcessUserSid().sid.value_or(L"");
  ASSERT_FALSE(user.empty());
  const std::vector<std::wstring> sids = {LocalSystemSidText(), AdministratorsSidText(), user};
  std::optional<PipeSecurity> security = BuildPipeSecurity(sids).security;
  ASSERT_TRUE(security);
  EXPECT_EQ(security->entry_count(), 3u);
  CreatePipeResult created = CreateServerPipe(UniquePipeName(), *security, true, 2);
  ASSERT_TRUE(created.pipe) << created.error.code;

  const ReadBackDacl dacl = ReadDacl(created.pipe.get());
  ASSERT_EQ(dacl.entries.size(), 3u) << std::string(dacl.sddl.begin(), dacl.sddl.end());
  for (size_t i = 0; i < sids.size(); ++i) {
    EXPECT_EQ(dacl.entries[i].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(dacl.entries[i].mask, 0x0012019Fu);
    EXPECT_EQ(dacl.entries[i].sid, sids[i]);
  }
  EXPECT_EQ(dacl.sddl, L"D:(A;;0x12019f;;;SY)(A;;0x12019f;;;BA)(A;;0x12019f;;;" + user + L")");
}

// What the converter itself answers for `text`, read the same way the builder does.
Win32Error ConverterError(const wchar_t* text) {
  PSID sid = nullptr;
  if (::ConvertStringSidToSidW(text, &sid)) {
    ::LocalFree(sid);
    return {};
  }
  return {::GetLastError(), L"ConvertStringSidToSidW"};
}

TEST(PipeSecurity, MalformedSidIsSkippedWithOneWarning) {
  const Win32Error expected = ConverterError(L"S-1-5-not-a-sid");
  ASSERT_TRUE(expected);
  StderrCapture log;
  const std::vector<std::wstring> sids = {L"S-1-5-not-a-sid", AdministratorsSidText()};
  PipeSecurityResult built = BuildPipeSecurity(sids);
  ASSERT_TRUE(built.security);
  EXPECT_FALSE(built.error) << "a skipped SID is not why a built descriptor failed";
  EXPECT_EQ(built.security->entry_count(), 1u);
  CreatePipeResult created = CreateServerPipe(UniquePipeName(), *built.security, true, 2);
  ASSERT_TRUE(created.pipe);
  const ReadBackDacl dacl = ReadDacl(created.pipe.get());
  ASSERT_EQ(dacl.entries.size(), 1u);
  EXPECT_EQ(dacl.entries[0].sid, L"S-1-5-32-544");
  EXPECT_EQ(CountOccurrences(log.Text(), "WARN PipeSecurity: bad SID string skipped\r\n"), 1u)
      << log.Text();
}

TEST(PipeSecurity, NothingWhenNoSidConvertsAndTheConvertersErrorSaysWhy) {
  StderrCapture log;
  struct Row {
    std::vector<std::wstring> sids;
    Win32Error error;  // empty: no system call was asked
  };
  const Row rows[] = {
      {{L"garbage"}, ConverterError(L"garbage")},
      {{L""}, {}},
      {{L"garbage", L""}, ConverterError(L"garbage")},
      {{}, {}},
  };
  for (const Row& row : rows) {
    const PipeSecurityResult built = BuildPipeSecurity(row.sids);
    EXPECT_FALSE(built.security) << row.sids.size();
    EXPECT_EQ(built.error, row.error) << built.error.code;
  }
  EXPECT_EQ(CountOccurrences(log.Text(), "WARN PipeSecurity: bad SID string skipped"), 4u);
}

// An owner that cannot be read is never trusted, and the client can say why.
TEST(PipeOwner, AHandleWhoseOwnerCannotBeReadIsUntrustedWithTheFailingCall) {
  const SidLookup owner = GetPipeOwnerSid(nullptr);
  EXPECT_FALSE(owner.sid);
  EXPECT_NE(owner.error.code, 0u);
  EXPECT_EQ(owner.error.api, L"GetSecurityInfo");
  const ServerPipeVerdict verdict = IsTrustedServerPipe(nullptr);
  EXPECT_FALSE(verdict.trusted);
  EXPECT_EQ(verdict.error, owner.error);
}

TEST(PipeSecurity, AttributesPointAtTheDescriptorAndSurviveAMove) {
  const std::vector<std::wstring> sids = {LocalSystemSidText()};
  std::optional<PipeSecurity> built = BuildPipeSecurity(sids).security;
  ASSERT_TRUE(built);
  PipeSecurity moved = std::move(*built);
  SECURITY_ATTRIBUTES* sa = moved.attributes();
  EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_FALSE(sa->bInheritHandle);
  ASSERT_NE(sa->lpSecurityDescriptor, nullptr);
  EXPECT_TRUE(::IsValidSecurityDescriptor(sa->lpSecurityDescriptor));
  CreatePipeResult created = CreateServerPipe(UniquePipeName(), moved, true, 2);
  EXPECT_TRUE(created.pipe);
}

}  // namespace
}  // namespace tovra::common
