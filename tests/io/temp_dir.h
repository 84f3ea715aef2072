// A fresh directory under the system's temporary directory for one test, removed with
// everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace YrTest {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A random name, taken only if nobody has it: create_directory reports whether it made
    // the directory, so two tests never share one.
    std::random_device seed;
    std::mt19937_64 random((static_cast<uint64_t>(seed()) << 32) ^ seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts && mDir.empty(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "yr-io-%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
      std::error_code error;
      if (std::filesystem::create_directory(base / name, error)) mDir = base / name;
    }
    ASSERT_FALSE(mDir.empty()) << "no fresh directory under " << base;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!mDir.empty()) std::filesystem::remove_all(mDir, ignored);
  }

  // Absolute path of name inside the directory, with '/' separators (which both systems
  // take) and no backslash, so that the library reads it as one whole name.
  std::string At(const std::string& name) const { return (mDir / name).generic_string(); }

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
