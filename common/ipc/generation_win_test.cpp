#include <gtest/gtest.h>

#include <windows.h>

#include <regex>

#include "common/ipc/generation.h"

namespace tovra::common {
namespace {

TEST(GenerationWin, DrawsNonZeroDistinctValues) {
  const uint32_t a = DrawGenerationValue();
  const uint32_t b = DrawGenerationValue();
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);  // 2^-32 chance of a false failure
}

TEST(GenerationWin, IdCarriesThisProcessId) {
  const std::string id = MakeGenerationId(0x00ABCDEF);
  EXPECT_EQ(id, std::to_string(::GetCurrentProcessId()) + "-0x00ABCDEF");
  EXPECT_TRUE(std::regex_match(MakeGenerationId(DrawGenerationValue()),
                               std::regex("[0-9]+-0x[0-9A-F]{8}")));
}

}  // namespace
}  // namespace tovra::common
