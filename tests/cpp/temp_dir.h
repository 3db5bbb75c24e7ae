// A fresh directory for one test's files, removed with its contents afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace corvane {

struct temp_dir {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("corvane_" + std::to_string(::getpid()) + "_" +
       testing::UnitTest::GetInstance()->current_test_info()->name());

  temp_dir() { std::filesystem::remove_all(path), std::filesystem::create_directories(path); }
  ~temp_dir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace corvane
