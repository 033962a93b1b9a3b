// The built-in files live inside the program: a program over this library,
// copied alone into an empty folder and run from "/", serves them all and
// opens none of the files they were generated from (checked with strace when
// it is at hand and allowed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string RunCommand(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class SelfContained : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ost-selfcontained-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    program_ = folder_ / "probe";
    fs::copy_file(OST_STREAMS_PROBE, program_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path folder_;
  fs::path program_;
};

TEST_F(SelfContained, ServesItsFilesFromInsideItself) {
  const std::string output = RunCommand("cd / && '" + program_.string() + "'");
  EXPECT_NE(output.find("registered 1 6 7 8\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Blocks.txt 0 3048\n"), std::string::npos) << output;
  EXPECT_NE(output.find("UnicodeData.txt 0 789557\n"), std::string::npos) << output;
  EXPECT_NE(output.find("xhtml1-transitional.dtd 0 "), std::string::npos) << output;
  EXPECT_NE(output.find("category Lu Lo\n"), std::string::npos) << output;
  EXPECT_NE(output.find("block GreekandCoptic\n"), std::string::npos) << output;
}

TEST_F(SelfContained, OpensNoneOfTheSourceFiles) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  const fs::path log = folder_ / "trace.log";
  const std::string output =
      RunCommand("cd / && strace -f -e trace=%file -o '" + log.string() + "' '" + program_.string() + "' 2>/dev/null");
  if (output.find("category") == std::string::npos) GTEST_SKIP() << "strace cannot trace here";
  const std::string trace = Slurp(log);
  ASSERT_NE(trace.find("execve"), std::string::npos);
  for (const char* name : {"resources", "locks.txt", "nicodedata.txt", ".dtd", ".ent", "gra_", ".rtf"}) {
    EXPECT_EQ(trace.find(name), std::string::npos) << name << " in\n" << trace;
  }
}

}  // namespace
