// The URL stream (class 2) and the delegating stream (class 5): whole-resource
// reads, the write block and its growth, PUT on Close, seeks and their gaps,
// the failures that keep a stream open, and the remembered folders.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "ktnettestserver.h"
#include "net/ktdelegatorstream.h"
#include "net/kturlrequest.h"
#include "net/kturlstream.h"
#include "platform/ktutf8.h"
#include "streams/ystream.h"
#include "ktallocationcount.h"
#include "core/kterrorlogger.h"

namespace {

std::u16string U(const std::string& s) { return KTUtf8ToUtf16(s); }

std::string ReadAll(YStream& stream) {
  std::string out;
  char buffer[777];
  for (;;) {
    uint32_t n = sizeof buffer;
    if (stream.Read(buffer, n) != 0 || n == 0) break;
    out.append(buffer, n);
  }
  return out;
}

int WriteBytes(YStream& stream, const std::string& bytes) {
  uint32_t n = static_cast<uint32_t>(bytes.size());
  return stream.Write(bytes.data(), n);
}

struct StreamServers {
  KTTempDir dir;
  KTTestServer http, ftp, ftpAnonymous;
  bool ok = false;
  std::string root;
  StreamServers() {
    root = dir.Path() + "/root";
    KTWriteFileBytes(root + "/lines.txt", "ab\r\ncd\n\xE9");
    ok = http.Start("http", {"--root", root}) &&
         ftp.Start("ftp", {"--root", root, "--user", "sue:pw"}) &&
         ftpAnonymous.Start("ftp", {"--root", root});
  }
  std::u16string Http(const std::string& path) const {
    return U("http://127.0.0.1:" + std::to_string(http.Port()) + path);
  }
};

StreamServers* gServers = nullptr;

class StreamServersEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    delete gServers;
    gServers = nullptr;
  }
};
const auto* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new StreamServersEnvironment);

class UrlStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gServers) gServers = new StreamServers;
    ASSERT_TRUE(gServers->ok) << "the local servers did not start";
    s = gServers;
  }
  StreamServers* s = nullptr;
};

TEST(UrlStreamLocalTest, WriteBlockGrowsInSteps) {
  struct Case {
    std::vector<size_t> writes;
    long capacity;
  } cases[] = {
      {{}, 65536},
      {{65536}, 65536},
      {{65536, 1}, 131072},
      {{200000}, 262144},
  };
  // Nothing listens at the URL: the sends on Close fail and are logged.
  std::u16string url = U("http://127.0.0.1:" + std::to_string(KTClosedPort()) + "/x");
  for (const Case& c : cases) {
    KTUrlStreamImpl stream;
    ASSERT_EQ(stream.Open(url.c_str(), kStreamModeWrite), 0);
    for (size_t n : c.writes) EXPECT_EQ(WriteBytes(stream, std::string(n, 'x')), 0);
    EXPECT_EQ(stream.GetSize(), c.capacity);
  }
}

TEST(UrlStreamLocalTest, ManySmallWritesTakeLinearWork) {
  // 64 MiB in 4 KiB pieces. A block that grows by a fixed step is copied
  // whole at every step: a new block of all it holds each 64 KiB, 32 GiB
  // allocated and copied for 64 MiB, quadratic in the size. One that doubles
  // allocates (and copies) less than four times what is written, a few
  // times over.
  std::u16string url = U("http://127.0.0.1:" + std::to_string(KTClosedPort()) + "/x");
  std::string piece(4096, 'x');
  KTUrlStreamImpl stream;
  ASSERT_EQ(stream.Open(url.c_str(), kStreamModeWrite), 0);
  const size_t total = size_t{64} << 20;
  {
    KTAllocationCounter allocations;
    for (size_t done = 0; done < total; done += piece.size())
      ASSERT_EQ(WriteBytes(stream, piece), 0);
    EXPECT_LT(allocations.Bytes(), 4 * total);
    EXPECT_LE(allocations.Count(), 16u);
  }
  EXPECT_EQ(stream.GetSize(), static_cast<long>(total));
  // The moved end still reads back as zeros, not as whatever the block held.
  ASSERT_TRUE(stream.Seek(10));
  ASSERT_TRUE(stream.Seek(20));
  uint32_t n = 20;
  char back[20];
  ASSERT_EQ(stream.Read(back, n), 0);
  EXPECT_EQ(std::string(back, n), std::string(10, 'x') + std::string(10, '\0'));
  // Nothing listens at the URL: the send when the stream goes fails and is logged.
}

TEST(UrlStreamLocalTest, ModesAndSeeksOfAClosedOrWritingStream) {
  KTUrlStreamImpl stream;
  char16_t c;
  uint32_t n = 4;
  char buffer[4];
  EXPECT_EQ(stream.Read(buffer, n), 12);
  EXPECT_FALSE(stream.ReadChar(c));
  EXPECT_FALSE(stream.Seek(0));
  EXPECT_EQ(stream.GetSize(), -1);
  EXPECT_EQ(stream.GetName(nullptr, 0), -1);
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(stream.Open(u"", kStreamModeRead), 2);
  EXPECT_EQ(stream.Open(u"http://h.test/x", kStreamModeAppend), 50);
  EXPECT_EQ(stream.Open(u"http://h.test/x", kStreamModeReadWrite), 50);
  EXPECT_EQ(stream.GetSize(), -1) << "a refused open leaves the stream closed";
}

TEST_F(UrlStreamTest, ReadModeServesTheFetchedResource) {
  KTUrlStreamImpl stream;
  ASSERT_EQ(stream.Open(s->Http("/files/lines.txt").c_str(), kStreamModeRead), 0);
  EXPECT_EQ(stream.Open(s->Http("/files/lines.txt").c_str(), kStreamModeRead), 4);
  EXPECT_EQ(stream.GetSize(), 8);
  char16_t line[16];
  uint32_t count = 15;
  ASSERT_EQ(stream.ReadLine(line, count), 0);
  EXPECT_EQ(std::u16string(line), u"ab");
  count = 15;
  ASSERT_EQ(stream.ReadLine(line, count), 0);
  EXPECT_EQ(std::u16string(line), u"cd");
  char16_t c;
  ASSERT_TRUE(stream.ReadChar(c));
  EXPECT_EQ(c, u'\u00E9');
  EXPECT_FALSE(stream.ReadChar(c));
  EXPECT_FALSE(stream.Seek(-3));
  EXPECT_FALSE(stream.Seek(-4));
  EXPECT_FALSE(stream.Seek(8));
  EXPECT_TRUE(stream.Seek(4));
  EXPECT_EQ(ReadAll(stream), "cd\n\xE9");
  EXPECT_EQ(WriteBytes(stream, "x"), 12);
  EXPECT_EQ(stream.Close(), 0);

  KTUrlStreamImpl missing;
  EXPECT_EQ(missing.Open(s->Http("/files/none.txt").c_str(), kStreamModeRead), 2);
  EXPECT_EQ(missing.GetSize(), -1);
}

TEST_F(UrlStreamTest, CloseSendsWhatWasWrittenWithPut) {
  std::string bytes = KTPatternBytes(100 * 1024);
  {
    KTUrlStreamImpl stream;
    ASSERT_EQ(stream.Open(s->Http("/up/stream.bin").c_str(), kStreamModeWrite), 0);
    EXPECT_EQ(WriteBytes(stream, bytes.substr(0, 1000)), 0);
    EXPECT_EQ(WriteBytes(stream, bytes.substr(1000)), 0);
    uint32_t n = 10;
    char back[10];
    ASSERT_EQ(stream.Read(back, n), 0);
    EXPECT_EQ(std::string(back, n), bytes.substr(0, 10));
    uint32_t count = 5;
    char16_t line[6];
    EXPECT_EQ(stream.ReadLine(line, count), 12);
    EXPECT_EQ(stream.Close(), 0);
  }
  EXPECT_EQ(KTReadFileBytes(s->root + "/put/stream.bin"), bytes);

  // Open and Close at once sends an empty body.
  {
    KTUrlStreamImpl stream;
    ASSERT_EQ(stream.Open(s->Http("/up/empty.bin").c_str(), kStreamModeWrite), 0);
    EXPECT_EQ(stream.Close(), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(s->root + "/put/empty.bin"));
  EXPECT_EQ(KTReadFileBytes(s->root + "/put/empty.bin"), "");
}

TEST_F(UrlStreamTest, MovedEndSendsZerosNotStaleBytes) {
  KTUrlStreamImpl stream;
  ASSERT_EQ(stream.Open(s->Http("/up/gap.bin").c_str(), kStreamModeWrite), 0);
  EXPECT_EQ(WriteBytes(stream, "secret-bytes"), 0);
  EXPECT_TRUE(stream.Seek(-3));  // discards what was written
  EXPECT_EQ(WriteBytes(stream, "ab"), 0);
  EXPECT_TRUE(stream.Seek(6));  // moves the end over the discarded bytes
  EXPECT_FALSE(stream.Seek(65536));
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(KTReadFileBytes(s->root + "/put/gap.bin"), std::string("ab\0\0\0\0", 6));

  KTUrlStreamImpl whole;
  ASSERT_EQ(whole.Open(s->Http("/up/whole.bin").c_str(), kStreamModeWrite), 0);
  EXPECT_TRUE(whole.Seek(-4));
  EXPECT_EQ(whole.Close(), 0);
  EXPECT_EQ(KTReadFileBytes(s->root + "/put/whole.bin"), std::string(65536, '\0'));
}

TEST_F(UrlStreamTest, FailedSendKeepsTheStreamWriting) {
  KTUrlStreamImpl stream;
  std::u16string url = U("http://127.0.0.1:" + std::to_string(KTClosedPort()) + "/x");
  ASSERT_EQ(stream.Open(url.c_str(), kStreamModeWrite), 0);
  EXPECT_EQ(WriteBytes(stream, "data"), 0);
  EXPECT_EQ(stream.Close(), 29);
  EXPECT_EQ(stream.GetSize(), 65536);
  uint32_t n = 10;
  char back[10];
  ASSERT_EQ(stream.Read(back, n), 0);
  EXPECT_EQ(std::string(back, n), "data");
  EXPECT_EQ(stream.Close(), 29) << "a second Close sends again";
  // Leaving the scope destroys a stream whose send fails: logged, not thrown.
}

std::string loggedLines;
void KeepLoggedLine(const std::string& line) { loggedLines += line; }

// A stream destroyed with data it cannot send reports it where the run's
// errors go, instead of losing it silently.
TEST(UrlStreamLocalTest, FailedUploadInTheDestructorIsReported) {
  SetLogSink(&KeepLoggedLine);
  loggedLines.clear();
  {
    KTUrlStreamImpl stream;
    std::u16string url = U("http://127.0.0.1:" + std::to_string(KTClosedPort()) + "/x");
    ASSERT_EQ(stream.Open(url.c_str(), kStreamModeWrite), 0);
    EXPECT_EQ(WriteBytes(stream, "data"), 0);
  }
  SetLogSink(nullptr);
  EXPECT_NE(loggedLines.find("The URL stream's data could not be sent"), std::string::npos) << loggedLines;
}

TEST_F(UrlStreamTest, FtpUploadThroughTheStreamComparesByteForByte) {
  std::string bytes = KTPatternBytes(100 * 1024);
  std::string base = "ftp://127.0.0.1:" + std::to_string(s->ftp.Port());
  KTUrlStreamImpl stream;
  ASSERT_EQ(stream.Open(U(base + "/ftp-up.bin").c_str(), kStreamModeWrite), 0);
  EXPECT_EQ(WriteBytes(stream, bytes), 0);
  // The stream brings no credentials of its own and no prompt can be shown.
  EXPECT_EQ(stream.Close(), 29);
  // A fetch with credentials from the same server leaves them in the cache,
  // where the next send finds them.
  KTWriteFileBytes(s->root + "/small.txt", "s");
  KTUrlRequest login(u"sue", u"pw");
  ASSERT_TRUE(login.Read(KTString(U(base + "/small.txt").c_str())));
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(KTReadFileBytes(s->root + "/ftp-up.bin"), bytes);

  // Without a login: an anonymous server takes it at once.
  std::string reversed(bytes.rbegin(), bytes.rend());
  KTUrlStreamImpl anonymous;
  ASSERT_EQ(anonymous.Open(U("ftp://127.0.0.1:" + std::to_string(s->ftpAnonymous.Port()) +
                             "/anon-up.bin").c_str(),
                           kStreamModeWrite),
            0);
  for (size_t at = 0; at < reversed.size(); at += 1000)
    EXPECT_EQ(WriteBytes(anonymous, reversed.substr(at, 1000)), 0);
  EXPECT_EQ(anonymous.Close(), 0);
  EXPECT_EQ(KTReadFileBytes(s->root + "/anon-up.bin"), reversed);
}

class DelegatorTest : public UrlStreamTest {};

TEST_F(DelegatorTest, NeverOpenedStreamAnswers) {
  KTDelegatorStreamImpl stream;
  char buffer[4];
  uint32_t n = 4;
  char16_t c;
  EXPECT_EQ(stream.Read(buffer, n), 6);
  EXPECT_EQ(stream.Write(buffer, n), 6);
  EXPECT_EQ(stream.WriteChar(u'x'), 6);
  EXPECT_EQ(stream.ReadLine(&c, n), 12);
  EXPECT_FALSE(stream.ReadChar(c));
  EXPECT_FALSE(stream.Seek(0));
  EXPECT_EQ(stream.GetSize(), -1);
  EXPECT_EQ(stream.GetName(nullptr, 0), -1);
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(stream.Open(u"", kStreamModeRead), 13);
  EXPECT_EQ(stream.Open(nullptr, kStreamModeRead), 13);
}

TEST_F(DelegatorTest, UrlsAndFilesThroughTheirStreamsAndRememberedFolders) {
  KTTempDir dir;
  KTWriteFileBytes(dir.Path() + "/data/a.xml", "<a/>");
  KTWriteFileBytes(dir.Path() + "/data/b.xml", "<b/>");

  KTDelegatorStreamImpl url;
  ASSERT_EQ(url.Open(s->Http("/files/lines.txt").c_str(), kStreamModeRead), 0);
  EXPECT_EQ(url.GetSize(), 8);
  EXPECT_EQ(url.Open(s->Http("/files/lines.txt").c_str(), kStreamModeRead), 4)
      << "an open stream keeps its inner stream";
  EXPECT_EQ(ReadAll(url), "ab\r\ncd\n\xE9");
  EXPECT_EQ(url.Close(), 0);

  KTDelegatorStreamImpl failed;
  EXPECT_EQ(failed.Open(s->Http("/files/none.xml").c_str(), kStreamModeRead),
            static_cast<int>(0x80004005u));
  EXPECT_EQ(failed.Open(s->Http("/x").c_str(), kStreamModeAppend), static_cast<int>(0x80004005u));
  EXPECT_EQ(failed.GetSize(), -1);

  KTDelegatorStreamImpl file;
  ASSERT_EQ(file.Open(U(dir.Path() + "/data/a.xml").c_str(), kStreamModeRead), 0);
  EXPECT_EQ(ReadAll(file), "<a/>");
  EXPECT_EQ(file.Close(), 0);
  // A relative name is looked for in the remembered folders first.
  KTDelegatorStreamImpl relative;
  ASSERT_EQ(relative.Open(u"b.xml", kStreamModeRead), 0);
  EXPECT_EQ(ReadAll(relative), "<b/>");
  EXPECT_EQ(relative.Close(), 0);
  // A name from the root is a full name: opened as it is, not searched.
  KTDelegatorStreamImpl rooted;
  EXPECT_EQ(rooted.Open(u"/b.xml", kStreamModeRead), static_cast<int>(0x80004005u));
  // A relative name found in no remembered folder is opened as it is.
  KTDelegatorStreamImpl nowhere;
  EXPECT_EQ(nowhere.Open(u"no-such-file-here.xml", kStreamModeRead),
            static_cast<int>(0x80004005u));
}

TEST_F(DelegatorTest, FailedSendKeepsTheInnerStream) {
  KTDelegatorStreamImpl stream;
  std::u16string url = U("http://127.0.0.1:" + std::to_string(KTClosedPort()) + "/x");
  ASSERT_EQ(stream.Open(url.c_str(), kStreamModeWrite), 0);
  EXPECT_EQ(WriteBytes(stream, "data"), 0);
  EXPECT_EQ(stream.Close(), 29);
  EXPECT_EQ(stream.GetSize(), 65536);
  EXPECT_EQ(stream.Close(), 29);
}

TEST(StreamRegistryTest, UrlAndDelegatingClassesAreCreatedById) {
  // What the front end calls to make sure of classes 2 and 5; calling it when
  // they are registered already changes nothing.
  RegisterNetStreamFactories();
  RegisterNetStreamFactories();
  std::unique_ptr<YStream> url(CreateStreamById(kStreamClassUrl));
  std::unique_ptr<YStream> delegator(CreateStreamById(kStreamClassDelegator));
  EXPECT_NE(dynamic_cast<KTUrlStreamImpl*>(url.get()), nullptr);
  EXPECT_NE(dynamic_cast<KTDelegatorStreamImpl*>(delegator.get()), nullptr);
}

}  // namespace
