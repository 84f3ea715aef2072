// A fresh directory under the system's temporary directory for one test, removed with
// everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace YrTest {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "yr-io-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    mDir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(mDir, ignored);
  }

  // Absolute path of name inside the directory, with '/' separators.
  std::string At(const std::string& name) const { return (mDir / name).string(); }

  void WriteText(const std::string& name, const std::string& text) const {
    std::ofstream out(At(name), std::ios::binary);
    out << text;
  }
  std::string ReadText(const std::string& name) const {
    std::ifstream in(At(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::filesystem::path mDir;
};

}  // namespace YrTest
