// Running the vizmira command from tests: its exit status and output, in a folder of the
// test's own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vt {

struct CliRun {
  int status;
  std::string out;  // stdout and stderr together
};

inline CliRun Vizmira(const std::string& args) {
  const std::string cmd = std::string(VIZMIRA_CLI) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  const int st = pclose(p);
  return CliRun{WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("vizmira-cli-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string P(const std::string& name) const { return (dir / name).string(); }
  std::string Bytes(const std::string& name) const {
    std::ifstream f(P(name), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  std::filesystem::path dir;
};

}  // namespace vt
