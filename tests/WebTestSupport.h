// Helpers shared by the web upload package tests: a fresh working directory
// per test, whole-file reads and writes, and the system's base64 decoder as
// an independent reference.
#ifndef WEBTESTSUPPORT_H
#define WEBTESTSUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// Runs each test in a new empty directory and returns to the old one after.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldDir_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "webpkg-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(oldDir_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::filesystem::path oldDir_;
  std::filesystem::path dir_;
};

inline std::string readWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeWholeFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Decodes text with coreutils "base64 -d"; false when the tool refused it.
inline bool coreutilsDecode(const std::string &text, std::string *bytes) {
  writeWholeFile("reference.b64", text);
  if (std::system("base64 -d reference.b64 > reference.bin 2> /dev/null") != 0) {
    return false;
  }
  *bytes = readWholeFile("reference.bin");
  return true;
}

// Encodes bytes with coreutils "base64", in its default lines of 76
// characters ended by LF.
inline std::string coreutilsEncode(const std::string &bytes) {
  writeWholeFile("reference.bin", bytes);
  if (std::system("base64 reference.bin > reference.b64") != 0) {
    return "";
  }
  return readWholeFile("reference.b64");
}

#endif
