// The output file is replaced only by Commit: a writer that is abandoned on
// the way (an error, an exception) leaves the target and its folder as they
// were.
#include "app/ktoutputfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/ktutf8.h"
#include "xml/ktloadstatus.h"

namespace {

class KTOutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "ktoutputfile-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Path(const std::string& name) const { return folder_ + "/" + name; }
  void Write(const std::string& path, const std::string& bytes) const { std::ofstream(path, std::ios::binary) << bytes; }
  std::string Read(const std::string& path) const {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) names.insert(entry.path().filename());
    return names;
  }
  static KTString Name(const std::string& path) { return KTString(std::u16string_view(KTUtf8ToUtf16(path))); }

  std::string folder_;
};

TEST_F(KTOutputFileTest, OnlyCommitReplacesTheTarget) {
  const std::string target = Path("r.txt");
  Write(target, "old");
  // Abandoned after writing, by an exception.
  try {
    KTOutputFile file(Name(target));
    KTLoadStatus status;
    ASSERT_TRUE(file.Open(status));
    const std::string written = KTUtf16ToUtf8(file.WritePath().View());
    EXPECT_NE(written, target);
    EXPECT_EQ(std::filesystem::path(written).parent_path(), folder_);
    Write(written, "new");
    throw std::runtime_error("stop");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(Read(target), "old");
  EXPECT_EQ(Files(), std::set<std::string>{"r.txt"});

  KTOutputFile file(Name(target));
  KTLoadStatus status;
  ASSERT_TRUE(file.Open(status));
  Write(KTUtf16ToUtf8(file.WritePath().View()), "new");
  ASSERT_TRUE(file.Commit(status));
  EXPECT_EQ(Read(target), "new");
  EXPECT_EQ(Files(), std::set<std::string>{"r.txt"});
}

TEST_F(KTOutputFileTest, TargetsThatCannotBeReplacedAreRefused) {
  std::filesystem::create_directory(Path("folder"));
  for (const std::string& target : {Path("folder"), Path("missing/r.txt")}) {
    SCOPED_TRACE(target);
    KTOutputFile file(Name(target));
    KTLoadStatus status;
    EXPECT_FALSE(file.Open(status));
    EXPECT_TRUE(status.HasError());
    EXPECT_FALSE(status.GetMessage().IsEmpty());
  }
  EXPECT_EQ(Files(), std::set<std::string>{"folder"});
}

}  // namespace
