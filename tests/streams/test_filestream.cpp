// The file stream over real files in a fresh temporary folder: open modes and
// refusals, folder creation, byte-wise reading and writing, seeking, sizes and
// names, and the file-time query.
#include "streams/ktfilestream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/ktutf8.h"
#include "streamtesthelpers.h"

namespace {

namespace fs = std::filesystem;

class FileStream : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ost-filestream-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::u16string Path(const std::string& relative) const { return KTUtf8ToUtf16((folder_ / relative).string()); }

  void Put(const std::string& relative, const std::string& bytes) const {
    std::ofstream(folder_ / relative, std::ios::binary) << bytes;
  }

  std::string Get(const std::string& relative) const {
    std::ifstream in(folder_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path folder_;
};

TEST_F(FileStream, OpenRefusals) {
  Put("present.txt", "x");
  fs::create_directory(folder_ / "folder");
  const std::u16string longName = Path(std::string(600, 'n'));
  struct Case {
    std::u16string name;
    bool nullName;
    int mode;
    int expected;
  } cases[] = {
      {u"", true, kStreamModeRead, kStreamInvalidData},
      {u"", false, kStreamModeRead, kStreamInvalidData},
      {Path("present.txt"), false, kStreamModeNone, kStreamNotFound},
      {Path("present.txt"), false, 5, kStreamNotFound},
      {Path("present.txt"), false, 9, kStreamNotFound},
      {Path("missing.txt"), false, kStreamModeRead, kStreamNotFound},
      {Path("missing.txt"), false, kStreamModeReadWrite, kStreamNotFound},  // update needs the file
      {Path("folder"), false, kStreamModeRead, kStreamNotFound},
      {longName, false, kStreamModeWrite, kStreamNotFound},  // refused, never cut
  };
  for (const Case& c : cases) {
    KTFileStreamImpl stream;
    EXPECT_EQ(stream.Open(c.nullName ? nullptr : c.name.c_str(), c.mode), c.expected)
        << KTUtf16ToUtf8(c.name) << " mode " << c.mode;
  }
  std::error_code ignored;
  EXPECT_FALSE(fs::exists(KTUtf16ToUtf8(longName), ignored));
}

TEST_F(FileStream, FailedOpenLeavesTheStreamReadyAndASecondOpenIsRefused) {
  Put("a.txt", "a");
  KTFileStreamImpl stream;
  EXPECT_EQ(stream.Open(Path("missing.txt").c_str(), kStreamModeRead), kStreamNotFound);
  ASSERT_EQ(stream.Open(Path("a.txt").c_str(), kStreamModeRead), kStreamOk);
  EXPECT_EQ(stream.Open(Path("a.txt").c_str(), kStreamModeRead), kStreamAlreadyOpen);
  EXPECT_EQ(stream.Close(), kStreamOk);
  EXPECT_EQ(stream.Open(Path("a.txt").c_str(), kStreamModeRead), kStreamOk);
}

TEST_F(FileStream, WritingCreatesTheMissingFolders) {
  {
    KTFileStreamImpl stream;
    ASSERT_EQ(stream.Open(Path("out/sub/a.xml").c_str(), kStreamModeWrite), kStreamOk);
    uint32_t size = 3;
    ASSERT_EQ(stream.Write("abc", size), kStreamOk);
  }
  EXPECT_EQ(Get("out/sub/a.xml"), "abc");

  // A name that ends in a separator makes the whole path folders, then fails.
  KTFileStreamImpl stream;
  EXPECT_EQ(stream.Open(Path("x/y/").c_str(), kStreamModeWrite), kStreamNotFound);
  EXPECT_TRUE(fs::is_directory(folder_ / "x" / "y"));

  // Only writing creates folders.
  EXPECT_EQ(stream.Open(Path("r/a.txt").c_str(), kStreamModeAppend), kStreamNotFound);
  EXPECT_FALSE(fs::exists(folder_ / "r"));
}

TEST_F(FileStream, RelativeNamesCreateTheirFirstFolderToo) {
  const fs::path previous = fs::current_path();
  fs::current_path(folder_);
  KTFileStreamImpl stream;
  const int result = stream.Open(u"rel/sub/a.txt", kStreamModeWrite);
  stream.Close();
  fs::current_path(previous);
  EXPECT_EQ(result, kStreamOk);
  EXPECT_TRUE(fs::exists(folder_ / "rel" / "sub" / "a.txt"));
}

TEST_F(FileStream, ReadsBytesAsCharactersAndLines) {
  Put("latin1.txt", "a\xE9\r\nb\rc");
  KTFileStreamImpl stream;
  ASSERT_EQ(stream.Open(Path("latin1.txt").c_str(), kStreamModeRead), kStreamOk);
  EXPECT_EQ(ReadLines(stream, 1023), (std::vector<std::u16string>{u"a\u00E9", u"b", u"c", u""}));
  char16_t c = 0;
  EXPECT_FALSE(stream.ReadChar(c));  // at the end
  EXPECT_EQ(c, 0xFFFF);
  char buffer[8];
  uint32_t size = 8;
  EXPECT_EQ(stream.Read(buffer, size), kStreamOk);
  EXPECT_EQ(size, 0u);

  ASSERT_TRUE(stream.Seek(1));
  ASSERT_TRUE(stream.ReadChar(c));
  EXPECT_EQ(c, u'\u00E9');
  size = 8;
  EXPECT_EQ(stream.Read(buffer, size), kStreamOk);
  EXPECT_EQ(std::string(buffer, size), "\r\nb\rc");
  EXPECT_FALSE(stream.Seek(-1));
}

TEST_F(FileStream, OperationsOutsideTheirModes) {
  Put("m.txt", "abc");
  for (int mode : {kStreamModeWrite, kStreamModeAppend}) {
    KTFileStreamImpl stream;
    ASSERT_EQ(stream.Open(Path("m.txt").c_str(), mode), kStreamOk);
    char buffer[4];
    uint32_t size = 4;
    EXPECT_EQ(stream.Read(buffer, size), kStreamInvalidAccess);
    EXPECT_EQ(size, 4u);
    char16_t line[4];
    uint32_t count = 3;
    EXPECT_EQ(stream.ReadLine(line, count), kStreamInvalidAccess);
    char16_t c;
    EXPECT_FALSE(stream.ReadChar(c));
  }
  KTFileStreamImpl reader;
  ASSERT_EQ(reader.Open(Path("m.txt").c_str(), kStreamModeRead), kStreamOk);
  uint32_t size = 1;
  EXPECT_EQ(reader.Write("x", size), kStreamInvalidAccess);
  EXPECT_EQ(reader.WriteChar(u'x'), kStreamInvalidAccess);

  KTFileStreamImpl closed;
  EXPECT_TRUE(closed.Seek(5));  // nothing to move
  EXPECT_EQ(closed.Read(&size, size), kStreamInvalidAccess);
}

TEST_F(FileStream, WriteAppendAndUpdate) {
  {
    KTFileStreamImpl stream;
    ASSERT_EQ(stream.Open(Path("w.bin").c_str(), kStreamModeWrite), kStreamOk);
    ASSERT_EQ(stream.WriteChar(u'\u20AC'), kStreamOk);
    uint32_t size = 2;
    ASSERT_EQ(stream.Write("ab", size), kStreamOk);
    EXPECT_EQ(size, 2u);
  }
  EXPECT_EQ(Get("w.bin"), "\xAC\x20" "ab");
  {
    KTFileStreamImpl stream;
    ASSERT_EQ(stream.Open(Path("w.bin").c_str(), kStreamModeAppend), kStreamOk);
    uint32_t size = 2;
    ASSERT_EQ(stream.Write("cd", size), kStreamOk);
  }
  EXPECT_EQ(Get("w.bin"), "\xAC\x20" "abcd");

  // Update mode keeps the file and switches between reading and writing.
  Put("u.txt", "abcdef");
  KTFileStreamImpl stream;
  ASSERT_EQ(stream.Open(Path("u.txt").c_str(), kStreamModeReadWrite), kStreamOk);
  char buffer[8];
  uint32_t size = 2;
  ASSERT_EQ(stream.Read(buffer, size), kStreamOk);
  size = 2;
  ASSERT_EQ(stream.Write("XY", size), kStreamOk);
  char16_t c;
  ASSERT_TRUE(stream.ReadChar(c));
  EXPECT_EQ(c, u'e');
  ASSERT_TRUE(stream.Seek(0));
  size = 8;
  ASSERT_EQ(stream.Read(buffer, size), kStreamOk);
  EXPECT_EQ(std::string(buffer, size), "abXYef");
}

TEST_F(FileStream, SizeAndNameOutliveClose) {
  Put("sized.txt", "12345");
  const std::u16string name = Path("sized.txt");
  KTFileStreamImpl stream;
  EXPECT_EQ(stream.GetSize(), -1);  // no name yet
  ASSERT_EQ(stream.Open(name.c_str(), kStreamModeRead), kStreamOk);
  stream.Close();
  EXPECT_EQ(stream.GetSize(), 5);

  char16_t buffer[600];
  EXPECT_EQ(stream.GetName(buffer, 600), static_cast<int>(name.size()));
  EXPECT_EQ(std::u16string(buffer), name);
  // A short buffer still ends in a terminator; the result is the whole length.
  buffer[2] = u'#';
  EXPECT_EQ(stream.GetName(buffer, 3), static_cast<int>(name.size()));
  EXPECT_EQ(std::u16string(buffer), name.substr(0, 2));
  EXPECT_EQ(stream.GetName(buffer, 0), static_cast<int>(name.size()));

  EXPECT_EQ(stream.Open(Path("gone.txt").c_str(), kStreamModeRead), kStreamNotFound);
  EXPECT_EQ(stream.GetSize(), -1);
}

TEST_F(FileStream, FileModifiedTime) {
  Put("dated.txt", "x");
  const std::string path = (folder_ / "dated.txt").string();
  struct utimbuf times = {1000000000, 1234567890};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);

  time_t modified = 42;
  EXPECT_TRUE(GetFileModifiedTime(KTUtf8ToUtf16(path).c_str(), modified));
  EXPECT_EQ(modified, 1234567890);

  modified = 42;
  EXPECT_FALSE(GetFileModifiedTime(u"", modified));
  EXPECT_FALSE(GetFileModifiedTime(nullptr, modified));
  EXPECT_FALSE(GetFileModifiedTime(Path("none.txt").c_str(), modified));
  EXPECT_FALSE(GetFileModifiedTime(u"http://example.org/a.xml", modified));
  EXPECT_EQ(modified, 42);
}

}  // namespace
