#include "common/ipc/generation.h"

#include <gtest/gtest.h>

namespace tovra::common {
namespace {

TEST(Generation, ValueChoice) {
  EXPECT_EQ(ChooseGenerationValue(0xABCDEF01u, 5), 0xABCDEF01u);
  EXPECT_EQ(ChooseGenerationValue(0u, 5), 1u) << "0 is never a generation";
  EXPECT_EQ(ChooseGenerationValue(std::nullopt, 0x1234567890ull), 0x34567890u);
  EXPECT_EQ(ChooseGenerationValue(std::nullopt, 0x100000000ull), 1u);
}

TEST(Generation, IdText) {
  EXPECT_EQ(FormatGenerationId(4242, 0xDEADBEEF), "4242-0xDEADBEEF");
  EXPECT_EQ(FormatGenerationId(0, 1), "0-0x00000001");
  EXPECT_EQ(FormatGenerationId(4294967295u, 0xFFFFFFFF), "4294967295-0xFFFFFFFF");
}

}  // namespace
}  // namespace tovra::common
