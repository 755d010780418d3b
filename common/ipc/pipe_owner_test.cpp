#include "common/ipc/pipe_owner.h"

#include <gtest/gtest.h>

namespace tovra::common {
namespace {

TEST(PipeOwner, TrustTable) {
  const std::wstring own_user = L"S-1-5-21-1111-2222-3333-1001";
  const std::wstring own_default_owner = L"S-1-5-21-1111-2222-3333-513";
  const std::vector<std::wstring> own = {own_user, own_default_owner};
  struct Case {
    const char* name;
    std::optional<std::wstring> owner;
    bool trusted;
  };
  const Case cases[] = {
      {"LocalSystem", L"S-1-5-18", true},
      {"Administrators", L"S-1-5-32-544", true},
      {"own user", own_user, true},
      {"own user, other case", L"s-1-5-21-1111-2222-3333-1001", true},
      {"own default owner", own_default_owner, true},
      {"another user", L"S-1-5-21-1111-2222-3333-1002", false},
      {"a prefix of the own user", L"S-1-5-21-1111-2222-3333-100", false},
      {"Users group", L"S-1-5-32-545", false},
      {"Everyone", L"S-1-1-0", false},
      {"no owner", std::nullopt, false},
      {"empty owner", L"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsTrustedPipeOwner(c.owner, own), c.trusted) << c.name;
  EXPECT_FALSE(IsTrustedPipeOwner(own_user, {})) << "without own owners only the system is trusted";
  const std::vector<std::wstring> empty_own = {L""};
  EXPECT_FALSE(IsTrustedPipeOwner(std::wstring(), empty_own));
}

}  // namespace
}  // namespace tovra::common
