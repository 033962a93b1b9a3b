// The built-in-file stream, the program-folder stream and the program folder.
#include "streams/ktbuiltinstream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/ktutf8.h"
#include "streams/ktprogramfolder.h"
#include "streamtesthelpers.h"

namespace {

TEST(BuiltinStream, ReadsAnEmbeddedFileByName) {
  KTBuiltinStreamImpl stream;
  ASSERT_EQ(stream.Open(u"Blocks.txt", kStreamModeRead), kStreamOk);
  EXPECT_EQ(stream.GetSize(), 3048);
  char16_t name[8] = {u'q', 0};
  EXPECT_EQ(stream.GetName(name, 8), -1);
  EXPECT_EQ(name[0], u'q');
  std::vector<std::u16string> first = ReadLines(stream, 1023, 2);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], u"0000;007F;BasicLatin");
  EXPECT_EQ(first[1], u"0080;00FF;Latin-1Supplement");

  EXPECT_EQ(stream.Open(u"Blocks.txt", kStreamModeRead), kStreamAlreadyOpen);
  stream.Close();
  EXPECT_EQ(stream.Open(u"gra_xsl.txt", kStreamModeRead), kStreamNotFound);
  EXPECT_EQ(stream.Open(u"resources/blocks.txt", kStreamModeRead), kStreamNotFound);
}

TEST(BuiltinStream, ServesScratchFilesLikeTheMemoryStream) {
  {
    KTBuiltinStreamImpl writer;
    ASSERT_EQ(writer.Open(u"memory:builtin-scratch", kStreamModeWrite), kStreamOk);
    uint32_t size = 5;
    ASSERT_EQ(writer.Write("a\r\nbc", size), kStreamOk);
  }
  KTBuiltinStreamImpl reader;
  ASSERT_EQ(reader.Open(u"memory:builtin-scratch", kStreamModeRead), kStreamOk);
  EXPECT_EQ(ReadLines(reader, 1023), (std::vector<std::u16string>{u"a", u"bc", u""}));
}

TEST(ProgramFolder, FolderOfAPath) {
  struct Case {
    const char16_t* path;
    bool strip;
    const char16_t* expected;
  } cases[] = {
      {u"/opt/Tools/Proc/prog", false, u"/opt/Tools/Proc/"},  // case kept
      {u"/opt/Tools/Proc/prog", true, u"/opt/Tools/Proc/"},
      {u"/src/Release/prog", true, u"/src/"},
      {u"/src/ServerRelease/prog", true, u"/src/"},
      {u"/src/Release/prog", false, u"/src/Release/"},
      {u"/src/ServerRelease/prog", false, u"/src/ServerRelease/"},
      {u"/release/x/y/prog", true, u"/"},  // the first occurrence counts
      {u"/a/serverrelease/release/prog", true, u"/a/serverrelease/"},
      {u"/src/releases/prog", true, u"/src/releases/"},  // only a folder of that very name
      {u"/src/prerelease/prog", true, u"/src/prerelease/"},
      {u"prog", true, u"prog"},
      {u"/prog", true, u"/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgramFolderOfPath(KTString(c.path), c.strip), KTString(c.expected))
        << KTUtf16ToUtf8(c.path) << (c.strip ? " stripped" : "");
  }
}

TEST(ProgramFolder, IsTheFolderOfTheRunningExecutable) {
  const KTString folder = GetProgramFolder(false);
  const std::string expected = std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(KTUtf16ToUtf8(folder.View()), expected);
}

TEST(AppFolderStream, OpensTheFileNameInTheProgramFolder) {
  const std::string fileName = "appfolder-probe-" + std::to_string(::getpid()) + ".txt";
  const std::u16string name16 = KTUtf8ToUtf16(fileName);
  const std::u16string expectedPath = std::u16string(GetProgramFolder(true).View()) + name16;
  {
    KTAppFolderStreamImpl writer;
    ASSERT_EQ(writer.Open((u"/some/where/else/" + name16).c_str(), kStreamModeWrite), kStreamOk);
    uint32_t size = 6;
    ASSERT_EQ(writer.Write("probe\n", size), kStreamOk);
  }
  for (const std::u16string& name : {u"c:\\data\\" + name16, u"data/" + name16, name16}) {
    KTAppFolderStreamImpl reader;
    ASSERT_EQ(reader.Open(name.c_str(), kStreamModeRead), kStreamOk) << KTUtf16ToUtf8(name);
    EXPECT_EQ(ReadLines(reader, 1023), (std::vector<std::u16string>{u"probe", u""}));
    char16_t path[4096];
    EXPECT_EQ(reader.GetName(path, 4096), static_cast<int>(expectedPath.size()));
    EXPECT_EQ(std::u16string(path), expectedPath);
    EXPECT_EQ(reader.Open(name.c_str(), kStreamModeRead), kStreamAlreadyOpen);
  }
  std::remove(KTUtf16ToUtf8(expectedPath).c_str());

  // No file name: the folder itself, which the file stream does not open.
  KTAppFolderStreamImpl stream;
  EXPECT_EQ(stream.Open(u"some/folder/", kStreamModeRead), kStreamNotFound);
  EXPECT_EQ(stream.Open(nullptr, kStreamModeRead), kStreamNotFound);
}

}  // namespace
