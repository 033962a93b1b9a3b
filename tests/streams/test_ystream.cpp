// The stream factories and the line-reading rule shared by the streams.
#include "streams/ystream.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/ktclassfactory.h"
#include "streamtesthelpers.h"
#include "streams/ktbuiltinstream.h"
#include "streams/ktfilestream.h"
#include "streams/ktmemorystream.h"

namespace {

TEST(StreamFactories, CreateEachClassOfThisLibraryById) {
  std::unique_ptr<YStream> file(CreateStreamById(kStreamClassFile));
  std::unique_ptr<YStream> memory(CreateStreamById(kStreamClassMemory));
  std::unique_ptr<YStream> appFolder(CreateStreamById(kStreamClassAppFolder));
  std::unique_ptr<YStream> builtin(CreateStreamById(kStreamClassBuiltin));
  EXPECT_NE(dynamic_cast<KTFileStreamImpl*>(file.get()), nullptr);
  EXPECT_NE(dynamic_cast<KTMemoryStreamImpl*>(memory.get()), nullptr);
  EXPECT_NE(dynamic_cast<KTAppFolderStreamImpl*>(appFolder.get()), nullptr);
  EXPECT_NE(dynamic_cast<KTBuiltinStreamImpl*>(builtin.get()), nullptr);

  // Unused ids give no stream, not a failure.
  EXPECT_EQ(CreateStreamById(3), nullptr);
  EXPECT_EQ(CreateStreamById(4), nullptr);
  EXPECT_EQ(CreateStreamById(-1), nullptr);
}

// A stream class of a higher library hands in its prototype maker; when the
// factories are registered already the maker runs at once.
class KTProbeStream : public KTMemoryStreamImpl {};
bool probeRegistered = false;
void* CreateProbeStream() { return static_cast<YStream*>(new KTProbeStream()); }
void MakeProbePrototype() {
  if (!probeRegistered) probeRegistered = GetClassFactoryRegistry()->Register(kStreamClassDelegator, &CreateProbeStream);
}

TEST(StreamFactories, PrototypeMakerOfAHigherLibraryRegistersItsClass) {
  delete CreateStreamById(kStreamClassBuiltin);  // the factories are registered now
  SetStreamPrototypeMaker(kStreamClassDelegator, &MakeProbePrototype);
  EXPECT_TRUE(probeRegistered);
  std::unique_ptr<YStream> stream(CreateStreamById(kStreamClassDelegator));
  EXPECT_NE(dynamic_cast<KTProbeStream*>(stream.get()), nullptr);
}

struct LineCase {
  const char* name;
  std::string bytes;
  uint32_t count;
  std::vector<std::u16string> lines;  // up to and including the first empty one
};

class ReadLineRule : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReadLineRule, SplitsLines) {
  const LineCase& c = GetParam();
  const std::u16string name = u"memory:lines-" + std::u16string(c.name, c.name + std::char_traits<char>::length(c.name));
  WriteScratch(name, c.bytes);
  KTMemoryStreamImpl stream;
  ASSERT_EQ(stream.Open(name.c_str(), kStreamModeRead), kStreamOk);
  EXPECT_EQ(ReadLines(stream, c.count), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadLineRule,
    ::testing::Values(
        LineCase{"crlf", "ab\r\ncd", 1023, {u"ab", u"cd", u""}},
        LineCase{"lf", "ab\ncd\n", 1023, {u"ab", u"cd", u""}},
        LineCase{"count-limit", "abcdef\n", 3, {u"abc", u"def", u""}},
        LineCase{"count-zero", "ab\n", 0, {u""}},
        // After a lone CR the next character begins the next line.
        LineCase{"lone-cr", "ab\rcd\r", 1023, {u"ab", u"cd", u""}},
        LineCase{"cr-cr-lf", "a\r\r\nb", 1023, {u"a", u""}},
        LineCase{"crlf-after-limit", "abc\r\nd", 3, {u"abc", u""}},
        LineCase{"cr-at-end", "ab\r", 1023, {u"ab", u""}},
        LineCase{"crlf-across-limit", "ab\r\ncd", 3, {u"ab", u"cd", u""}},
        LineCase{"lf-at-limit", "abc\ndef", 3, {u"abc", u""}},
        LineCase{"latin1", "a\xE9\r\n", 1023, {u"a\u00E9", u""}},
        LineCase{"empty", "", 1023, {u""}}),
    [](const ::testing::TestParamInfo<LineCase>& info) {
      std::string n = info.param.name;
      for (char& ch : n)
        if (ch == '-') ch = '_';
      return n;
    });

TEST(ReadLineRule, CountZeroReadsNothing) {
  WriteScratch(u"memory:lines-count-zero-then", "ab\n");
  KTMemoryStreamImpl stream;
  ASSERT_EQ(stream.Open(u"memory:lines-count-zero-then", kStreamModeRead), kStreamOk);
  char16_t buffer[8];
  uint32_t n = 0;
  ASSERT_EQ(stream.ReadLine(buffer, n), kStreamOk);
  EXPECT_EQ(n, 0u);
  n = 7;
  ASSERT_EQ(stream.ReadLine(buffer, n), kStreamOk);
  EXPECT_EQ(std::u16string(buffer, n), u"ab");
}

}  // namespace
