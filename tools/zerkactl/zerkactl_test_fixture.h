// Test fixture for zerkactl: a scratch folder per test, files written byte for
// byte, and the whole dispatcher run in memory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/zerkactl/zerkactl.h"

namespace tovra::tools {

class ZerkactlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() /
        ("zerkactl_test_" +
         std::string(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Writes `bytes` to a file in the scratch folder; its path as UTF-8.
  std::string File(const std::string& name, const std::string& bytes) {
    const std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const auto u8 = p.u8string();
    return std::string(u8.begin(), u8.end());
  }

  // Runs through the whole dispatcher, as the program does.
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return RunZerkactl(args, out_, err_);
  }

  std::filesystem::path dir_;
  std::ostringstream out_, err_;
};

}  // namespace tovra::tools
