// The output file is replaced only by Commit: a writer that is abandoned on
// the way (an error, an exception) leaves the target and its folder as they
// were.
#include "app/ktoutputfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
  std::filesystem::create_symlink("loop.txt", Path("loop.txt"));
  const struct {
    std::string target;
    std::string message;  // how the reason starts
  } cases[] = {
      {Path("folder"), "Is a directory"},
      {Path("loop.txt"), "Too many levels of symbolic links"},
      // The folder is named, not the file, which need not exist.
      {Path("missing/r.txt"), "No new file can be made in the folder " + Path("missing") + ": "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    KTOutputFile file(Name(c.target));
    KTLoadStatus status;
    EXPECT_FALSE(file.Open(status));
    EXPECT_TRUE(status.HasError());
    EXPECT_EQ(KTUtf16ToUtf8(status.GetMessage().View()).rfind(c.message, 0), 0u)
        << KTUtf16ToUtf8(status.GetMessage().View());
  }
  EXPECT_EQ(Files(), (std::set<std::string>{"folder", "loop.txt"}));
}

// A folder that lets no file be made refuses the new file though the target
// itself is writable; the reason names the folder (root may write anywhere).
TEST_F(KTOutputFileTest, AReadOnlyFolderIsNamedInTheReason) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into any folder";
  std::filesystem::create_directory(Path("ro"));
  Write(Path("ro/r.txt"), "old");
  std::filesystem::permissions(Path("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  KTOutputFile file(Name(Path("ro/r.txt")));
  KTLoadStatus status;
  EXPECT_FALSE(file.Open(status));
  std::filesystem::permissions(Path("ro"), std::filesystem::perms::owner_all);
  EXPECT_EQ(KTUtf16ToUtf8(status.GetMessage().View()),
            "No new file can be made in the folder " + Path("ro") + ": Permission denied");
  EXPECT_EQ(Read(Path("ro/r.txt")), "old");
}

// A symbolic link stays a link: the file it leads to gets the result, and is
// made when the link leads to no file yet (relative links read from the
// link's folder, a chain of links, an absolute link).
TEST_F(KTOutputFileTest, ALinkToNoFileYetMakesThatFile) {
  std::filesystem::create_directory(Path("sub"));
  std::filesystem::create_directory(Path("to"));
  std::filesystem::create_symlink("../to/made.txt", Path("sub/relative.txt"));
  std::filesystem::create_symlink("sub/relative.txt", Path("chain.txt"));
  std::filesystem::create_symlink(Path("to/absolute.txt"), Path("absolute.txt"));
  const struct {
    std::string link;
    std::string file;
  } cases[] = {
      {Path("sub/relative.txt"), Path("to/made.txt")},
      {Path("absolute.txt"), Path("to/absolute.txt")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    KTOutputFile file(Name(c.link));
    KTLoadStatus status;
    ASSERT_TRUE(file.Open(status)) << KTUtf16ToUtf8(status.GetMessage().View());
    Write(KTUtf16ToUtf8(file.WritePath().View()), c.file);
    ASSERT_TRUE(file.Commit(status));
    EXPECT_TRUE(std::filesystem::is_symlink(c.link));
    EXPECT_EQ(Read(c.file), c.file);
  }
  // Through two links in a row, to no file yet.
  std::filesystem::remove(Path("to/made.txt"));
  KTOutputFile file(Name(Path("chain.txt")));
  KTLoadStatus status;
  ASSERT_TRUE(file.Open(status)) << KTUtf16ToUtf8(status.GetMessage().View());
  Write(KTUtf16ToUtf8(file.WritePath().View()), "chained");
  ASSERT_TRUE(file.Commit(status));
  EXPECT_TRUE(std::filesystem::is_symlink(Path("chain.txt")));
  EXPECT_TRUE(std::filesystem::is_symlink(Path("sub/relative.txt")));
  EXPECT_EQ(Read(Path("to/made.txt")), "chained");
  EXPECT_EQ(Files(), (std::set<std::string>{"absolute.txt", "chain.txt", "sub", "to"}));
}

// The replaced file keeps its owner and group, as a file written in place
// would: root replacing another user's file gives it back to that user.
TEST_F(KTOutputFileTest, TheReplacedFileKeepsItsOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a file another user owns";
  const std::string target = Path("r.txt");
  Write(target, "old");
  ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  KTOutputFile file(Name(target));
  KTLoadStatus status;
  ASSERT_TRUE(file.Open(status));
  Write(KTUtf16ToUtf8(file.WritePath().View()), "new");
  ASSERT_TRUE(file.Commit(status));
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_gid, 65534u);
  EXPECT_EQ(Read(target), "new");
}

}  // namespace
