#include "common/base/win32_error.h"

#include <gtest/gtest.h>

namespace tovra::common {
namespace {

TEST(Win32Error, SaysWhichCallFailedAndWhy) {
  EXPECT_FALSE(Win32Error{});
  EXPECT_TRUE((Win32Error{5, L"CreateNamedPipeW"}));
  EXPECT_EQ(DescribeWin32Error({5, L"CreateNamedPipeW"}), L"CreateNamedPipeW failed (win32=5)");
  EXPECT_EQ(DescribeWin32Error({1314, {}}), L"a system call failed (win32=1314)");
}

}  // namespace
}  // namespace tovra::common
