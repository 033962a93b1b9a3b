// Memory files and the memory stream: scratch files, built-in files adopted on
// first read, open modes, positions, seeking and growth.
#include "streams/ktmemorystream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/kterrorlogger.h"
#include "platform/ktutf8.h"
#include "streamtesthelpers.h"

namespace {

std::string ReadAll(KTMemoryStreamImpl& stream) {
  std::string out;
  char chunk[7];
  for (;;) {
    uint32_t size = sizeof chunk;
    if (stream.Read(chunk, size) != kStreamOk || size == 0) break;
    out.append(chunk, size);
  }
  return out;
}

std::string Contents(const char16_t* name) {
  KTMemoryStreamImpl stream;
  if (stream.Open(name, kStreamModeRead) != kStreamOk) return "<not found>";
  return ReadAll(stream);
}

TEST(MemoryStream, ScratchFileKeepsWhatWasWritten) {
  {
    KTMemoryStreamImpl writer;
    ASSERT_EQ(writer.Open(u"memory:a", kStreamModeWrite), kStreamOk);
    uint32_t size = 10;
    ASSERT_EQ(writer.Write("0123456789", size), kStreamOk);
    EXPECT_EQ(size, 10u);
  }  // deleting the stream closes it; the file stays
  KTMemoryStreamImpl reader;
  ASSERT_EQ(reader.Open(u"memory:a", kStreamModeRead), kStreamOk);
  EXPECT_EQ(reader.GetSize(), 10);
  EXPECT_EQ(ReadAll(reader), "0123456789");
  uint32_t size = 4;
  char buffer[4];
  EXPECT_EQ(reader.Read(buffer, size), kStreamOk);
  EXPECT_EQ(size, 0u);  // at the end: success with nothing read
}

TEST(MemoryStream, OpenRefusals) {
  const std::u16string longName = u"memory:" + std::u16string(kStreamMaxName - 7 + 1, u'x');
  const std::u16string longestName = u"memory:" + std::u16string(kStreamMaxName - 7, u'y');
  struct Case {
    const char16_t* name;
    int mode;
    int expected;
  } cases[] = {
      {nullptr, kStreamModeRead, kStreamNotFound},
      {u"", kStreamModeWrite, kStreamNotFound},
      {u"memory:never-written", kStreamModeRead, kStreamNotFound},  // reading never creates
      {u"MEMORY:a", kStreamModeWrite, kStreamNotFound},             // the prefix is case-sensitive
      {u"scratch", kStreamModeWrite, kStreamNotFound},
      {u"no-such-built-in-file.txt", kStreamModeRead, kStreamNotFound},
      {longName.c_str(), kStreamModeWrite, kStreamNotFound},  // refused, not cut
      {longestName.c_str(), kStreamModeWrite, kStreamOk},
      {u"memory:mode-0", kStreamModeNone, kStreamNotFound},
      {u"memory:mode-5", 5, kStreamNotFound},
  };
  for (const Case& c : cases) {
    KTMemoryStreamImpl stream;
    EXPECT_EQ(stream.Open(c.name, c.mode), c.expected) << (c.name ? KTUtf16ToUtf8(c.name) : "null");
  }
}

TEST(MemoryStream, OpenOnAnOpenStreamLeavesItAsItWas) {
  WriteScratch(u"memory:reopen", "abc");
  KTMemoryStreamImpl stream;
  ASSERT_EQ(stream.Open(u"memory:reopen", kStreamModeRead), kStreamOk);
  char16_t c = 0;
  ASSERT_TRUE(stream.ReadChar(c));
  EXPECT_EQ(stream.Open(u"memory:other", kStreamModeWrite), kStreamAlreadyOpen);
  ASSERT_TRUE(stream.ReadChar(c));
  EXPECT_EQ(c, u'b');
  EXPECT_EQ(stream.Close(), kStreamOk);
  EXPECT_EQ(stream.Close(), kStreamOk);  // closing a closed stream is allowed
  EXPECT_EQ(stream.Open(u"memory:reopen", kStreamModeRead), kStreamOk);
}

TEST(MemoryStream, ModesDecideWhereReadingAndWritingStart) {
  WriteScratch(u"memory:overwrite", "abcdef");
  WriteScratch(u"memory:append", "abcdef");
  WriteScratch(u"memory:update", "abcdef");
  {
    KTMemoryStreamImpl stream;
    ASSERT_EQ(stream.Open(u"memory:overwrite", kStreamModeWrite), kStreamOk);
    uint32_t size = 3;
    ASSERT_EQ(stream.Write("XYZ", size), kStreamOk);
    // Mode 2 reads from the start, including what was just written; it reads no lines.
    EXPECT_EQ(ReadAll(stream), "XYZdef");
    char16_t line[8];
    uint32_t count = 7;
    EXPECT_EQ(stream.ReadLine(line, count), kStreamInvalidAccess);
  }
  {
    KTMemoryStreamImpl stream;
    ASSERT_EQ(stream.Open(u"memory:append", kStreamModeAppend), kStreamOk);
    uint32_t size = 2;
    ASSERT_EQ(stream.Write("gh", size), kStreamOk);
    char16_t c;
    EXPECT_FALSE(stream.ReadChar(c));
    char buffer[4];
    size = 4;
    EXPECT_EQ(stream.Read(buffer, size), kStreamInvalidAccess);
  }
  {
    KTMemoryStreamImpl stream;
    ASSERT_EQ(stream.Open(u"memory:update", kStreamModeReadWrite), kStreamOk);
    ASSERT_EQ(stream.WriteChar(u'\u20AC'), kStreamOk);  // at the end, low byte first
    EXPECT_EQ(ReadAll(stream), std::string("abcdef\xAC\x20"));
  }
  EXPECT_EQ(Contents(u"memory:overwrite"), "XYZdef");
  EXPECT_EQ(Contents(u"memory:append"), "abcdefgh");

  KTMemoryStreamImpl reader;
  ASSERT_EQ(reader.Open(u"memory:overwrite", kStreamModeRead), kStreamOk);
  uint32_t size = 1;
  EXPECT_EQ(reader.Write("!", size), kStreamInvalidAccess);
  EXPECT_EQ(reader.WriteChar(u'!'), kStreamInvalidAccess);
}

TEST(MemoryStream, NotOpen) {
  KTMemoryStreamImpl stream;
  char buffer[4];
  uint32_t size = 4;
  EXPECT_EQ(stream.Read(buffer, size), kStreamInvalidAccess);
  EXPECT_EQ(stream.Write(buffer, size), kStreamInvalidAccess);
  char16_t c;
  EXPECT_FALSE(stream.ReadChar(c));
  EXPECT_FALSE(stream.Seek(0));
  EXPECT_EQ(stream.GetSize(), -1);
  char16_t name[4] = {u'q', u'q', u'q', 0};
  EXPECT_EQ(stream.GetName(name, 4), -1);
  EXPECT_EQ(name[0], u'q');  // the buffer is not touched
}

TEST(MemoryStream, Seek) {
  WriteScratch(u"memory:seek", "abcdef");
  struct Case {
    int mode;
    int32_t position;
    bool accepted;
    int expectedReadChar;  // the next character read, -1 for none, 0 when not checked
  } cases[] = {
      {kStreamModeRead, kMemorySeekReadEnd, true, -1},
      {kStreamModeRead, kMemorySeekReadStart, true, 'a'},
      {kStreamModeRead, 3, true, 'd'},
      {kStreamModeRead, 5, true, 'f'},
      {kStreamModeRead, 6, false, 'a'},  // the size itself is refused
      {kStreamModeRead, -5, false, 'a'},
      {kStreamModeRead, kMemorySeekWriteStart, false, 'a'},
      {kStreamModeWrite, kMemorySeekReadEnd, true, -1},
      {kStreamModeWrite, 4, true, 'a'},  // moves the write position only
      {kStreamModeAppend, 0, false, 0},  // mode 3 cannot seek
      {kStreamModeAppend, kMemorySeekWriteEnd, false, 0},
      {kStreamModeReadWrite, 2, true, 'c'},
      {kStreamModeReadWrite, kMemorySeekReadStart, false, 'a'},
  };
  for (const Case& c : cases) {
    KTMemoryStreamImpl stream;
    ASSERT_EQ(stream.Open(u"memory:seek", c.mode), kStreamOk);
    EXPECT_EQ(stream.Seek(c.position), c.accepted) << "mode " << c.mode << " position " << c.position;
    if (c.expectedReadChar != 0) {
      char16_t ch = 0;
      const bool read = stream.ReadChar(ch);
      EXPECT_EQ(read ? static_cast<int>(ch) : -1, c.expectedReadChar) << "mode " << c.mode << " position " << c.position;
    }
  }
}

TEST(MemoryStream, SeekMovesTheWritePosition) {
  WriteScratch(u"memory:seek-write", "abcdef");
  KTMemoryStreamImpl stream;
  ASSERT_EQ(stream.Open(u"memory:seek-write", kStreamModeWrite), kStreamOk);
  uint32_t size = 1;
  ASSERT_TRUE(stream.Seek(kMemorySeekWriteEnd));
  ASSERT_EQ(stream.Write("g", size), kStreamOk);
  ASSERT_TRUE(stream.Seek(2));
  ASSERT_EQ(stream.Write("C", size), kStreamOk);
  ASSERT_TRUE(stream.Seek(kMemorySeekWriteStart));
  ASSERT_EQ(stream.Write("A", size), kStreamOk);
  EXPECT_EQ(stream.GetSize(), 7);
  EXPECT_EQ(ReadAll(stream), "AbCdefg");

  KTMemoryStreamImpl update;
  ASSERT_EQ(update.Open(u"memory:seek-write", kStreamModeReadWrite), kStreamOk);
  ASSERT_TRUE(update.Seek(1));  // both positions
  ASSERT_EQ(update.Write("B", size), kStreamOk);
  EXPECT_EQ(ReadAll(update), "BCdefg");
}

TEST(MemoryStream, BuiltInFileIsAdoptedOnceUnderTheNameAskedFor) {
  // Changing the adopted memory file shows that a second opening reuses it
  // rather than decoding again; another spelling of the name is another file.
  {
    KTMemoryStreamImpl stream;
    ASSERT_EQ(stream.Open(u"dcd.dtd", kStreamModeRead), kStreamOk);
    char16_t c;
    ASSERT_TRUE(stream.ReadChar(c));
    EXPECT_EQ(c, u'<');
  }
  {
    KTMemoryStreamImpl stream;
    ASSERT_EQ(stream.Open(u"dcd.dtd", kStreamModeReadWrite), kStreamOk);
    ASSERT_TRUE(stream.Seek(0));
    uint32_t size = 1;
    ASSERT_EQ(stream.Write("!", size), kStreamOk);
  }
  EXPECT_EQ(Contents(u"dcd.dtd")[0], '!');
  EXPECT_EQ(Contents(u"DCD.dtd")[0], '<');
  // Writing never creates a memory file of a built-in file's name.
  KTMemoryStreamImpl writer;
  EXPECT_EQ(writer.Open(u"part2.dtd", kStreamModeWrite), kStreamNotFound);
}

TEST(MemoryFile, GrowthStepsOf64KiBAndAtLeastDoubling) {
  struct Case {
    int32_t capacity;
    int64_t needed;
    int32_t expected;
  } cases[] = {
      {65536, 65536, 65536},    // fits: no growth
      {65536, 65537, 131072},   // one byte more
      {65536, 200000, 262144},  // several steps at once
      {655360, 655361, 1310720},
      {0, 1, 65536},
  };
  for (const Case& c : cases) {
    KTMemoryFile file(u"memory:growth", std::unique_ptr<char[]>(new char[c.capacity + 1]), c.capacity, 0);
    ASSERT_TRUE(file.Reserve(c.needed));
    EXPECT_EQ(file.GetCapacity(), c.expected) << c.capacity << " + " << c.needed;
  }
  KTMemoryFile file(u"memory:growth", std::unique_ptr<char[]>(new char[16]), 16, 0);
  EXPECT_FALSE(file.Reserve(int64_t{1} << 32));  // beyond a 32-bit size
  EXPECT_EQ(file.GetCapacity(), 16);
}

TEST(MemoryStream, ManySmallWritesKeepEveryByte) {
  KTMemoryStreamImpl stream;
  ASSERT_EQ(stream.Open(u"memory:many-writes", kStreamModeReadWrite), kStreamOk);
  constexpr int kCount = 300000;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(stream.WriteChar(static_cast<char16_t>(i)), kStreamOk);
  }
  EXPECT_EQ(stream.GetSize(), 2 * kCount);
  std::string all = ReadAll(stream);
  ASSERT_EQ(all.size(), 2u * kCount);
  for (int i = 0; i < kCount; i += 9973) {
    EXPECT_EQ(static_cast<unsigned char>(all[2 * i]), i & 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(all[2 * i + 1]), (i >> 8) & 0xFF);
  }
}

}  // namespace

namespace {

void OpenAfterTeardown() {
  try {
    GetMemoryFileList();
  } catch (const KTComError& e) {
    std::_Exit(e.Error() == kKTErrorUnexpected ? 3 : 4);
  }
  std::_Exit(5);
}

}  // namespace

// FreeMemoryFiles ends the list at exit: a use after it fails with the
// registry's "already destroyed" error instead of reaching freed records.
TEST(MemoryFileListDeathTest, UseAfterFreeMemoryFilesRaisesUnexpected) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atexit(OpenAfterTeardown);
        KTMemoryStreamImpl stream;
        EXPECT_EQ(stream.Open(u"memory:teardown", kStreamModeWrite), kStreamOk);
        std::exit(0);
      },
      ::testing::ExitedWithCode(3), "");
  EXPECT_EXIT(
      {
        GetMemoryFileList();
        FreeMemoryFiles();
        FreeMemoryFiles();
        OpenAfterTeardown();
      },
      ::testing::ExitedWithCode(3), "");
}
