#include "common/ipc/pipe_names.h"

#include <gtest/gtest.h>

namespace tovra::common {
namespace {

struct NameCase {
  std::wstring_view role;
  uint32_t session;
  std::optional<std::wstring> pipe;
  std::optional<std::wstring> mutex;
};

class PipeNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(PipeNames, FormsBothNamesOrNeither) {
  const NameCase& c = GetParam();
  EXPECT_EQ(FormatPipeName(c.role, c.session), c.pipe);
  EXPECT_EQ(FormatAgentMutexName(c.session), c.mutex);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, PipeNames,
    ::testing::Values(NameCase{kServicePipeRole, 1, L"\\\\.\\pipe\\ZERKA.VPN.Service.1",
                               L"Local\\ZERKA.VPN.Agent.1"},
                      NameCase{kAgentPipeRole, 0, L"\\\\.\\pipe\\ZERKA.VPN.Agent.0",
                               L"Local\\ZERKA.VPN.Agent.0"},
                      NameCase{kAgentPipeRole, 65535, L"\\\\.\\pipe\\ZERKA.VPN.Agent.65535",
                               L"Local\\ZERKA.VPN.Agent.65535"},
                      NameCase{kServicePipeRole, 65536, std::nullopt, std::nullopt},
                      NameCase{kServicePipeRole, 0xFFFFFFFF, std::nullopt, std::nullopt}));

TEST(PipeNamesLimits, NameThatWouldOverflowItsBufferIsRefused) {
  // 127 characters fit a 128-character buffer with its terminator; 128 do not.
  const std::wstring prefix = L"\\\\.\\pipe\\ZERKA.VPN.";
  const size_t room = kPipeNameCapacity - 1 - prefix.size() - 2;  // ".1"
  EXPECT_TRUE(FormatPipeName(std::wstring(room, L'r'), 1));
  EXPECT_FALSE(FormatPipeName(std::wstring(room + 1, L'r'), 1));
}

}  // namespace
}  // namespace tovra::common
