// The internet layer over local servers: URL cracking, HTTP and HTTPS answers
// and failures with their error numbers, FTP login, transfers and commands,
// gopher and file URLs, and the limits that keep a transfer from hanging or
// filling memory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ktnettestserver.h"
#include "platform/inet/ktinternetsession.h"
#include "platform/ktutf8.h"

namespace {

std::u16string U(const std::string& s) { return KTUtf8ToUtf16(s); }

std::string ReadAll(KTStdioFile& file) {
  std::string out;
  char buffer[1000];
  while (unsigned n = file.Read(buffer, sizeof buffer)) out.append(buffer, n);
  return out;
}

// Restores the process-wide limits after a test that shortens them.
struct LimitsGuard {
  KTInternetLimits saved = KTGetInternetLimits();
  ~LimitsGuard() { KTGetInternetLimits() = saved; }
};

TEST(ParseURLTest, CracksServiceServerObjectAndPort) {
  struct Case {
    const char* url;
    uint32_t service;
    const char* server;
    const char* object;
    uint16_t port;
  } cases[] = {
      {"http://example.org/a/b.xml", kInetServiceHttp, "example.org", "/a/b.xml", 80},
      {"HTTPS://h:8443/x?y=1#frag", kInetServiceHttps, "h", "/x?y=1", 8443},
      {"ftp://user:pw@ftp.h/dir/f.xml", kInetServiceFtp, "ftp.h", "/dir/f.xml", 21},
      {"gopher://g.h/0/doc", kInetServiceGopher, "g.h", "/0/doc", 70},
      {"http://h", kInetServiceHttp, "h", "/", 80},
      {"http://h/a b\\c d.xml", kInetServiceHttp, "h", "/a%20b/c%20d.xml", 80},
      {"http://h/\xC3\xA9t\xC3\xA9", kInetServiceHttp, "h", "/%C3%A9t%C3%A9", 80},
      {"http://h/a/../b", kInetServiceHttp, "h", "/b", 80},
      {"  http://h/trimmed  ", kInetServiceHttp, "h", "/trimmed", 80},
      {"file:///tmp/a%20b.xml", kInetServiceFile, "", "/tmp/a%20b.xml", 0},
      {"file://localhost/tmp/x", kInetServiceFile, "localhost", "/tmp/x", 0},
      {"mailto:someone@h", kInetServiceMailto, "", "someone@h", 0},
      {"news:comp.text.xml", kInetServiceNews, "", "comp.text.xml", 0},
      {"telnet://h:23/", kInetServiceUnknown, "h", "/", 23},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    uint32_t service = 0;
    std::u16string server, object;
    uint16_t port = 1;
    ASSERT_TRUE(ParseURL(U(c.url).c_str(), service, server, object, port));
    EXPECT_EQ(service, c.service);
    EXPECT_EQ(server, U(c.server));
    EXPECT_EQ(object, U(c.object));
    EXPECT_EQ(port, c.port);
  }
}

TEST(ParseURLTest, RefusesWhatCannotBeCracked) {
  for (const char* url : {"", "no scheme here", "c:\\data\\a.xml", "http://", "http://h:99999/",
                          "urn:isbn:123", "1http://h/"}) {
    SCOPED_TRACE(url);
    uint32_t service = 7;
    std::u16string server, object;
    uint16_t port = 0;
    EXPECT_FALSE(ParseURL(U(url).c_str(), service, server, object, port));
    EXPECT_EQ(service, kInetServiceUnknown);
  }
  uint32_t service = 7;
  std::u16string server, object;
  uint16_t port = 0;
  EXPECT_FALSE(ParseURL(nullptr, service, server, object, port));
  EXPECT_EQ(service, kInetServiceUnknown);
}

TEST(ParseURLTest, LongURLIsKeptWhole) {
  std::string path(100000, 'p');
  uint32_t service;
  std::u16string server, object;
  uint16_t port;
  ASSERT_TRUE(ParseURL(U("http://h/" + path).c_str(), service, server, object, port));
  EXPECT_EQ(object.size(), path.size() + 1);
}

TEST(InternetHelpersTest, UnescapeDecodesUtf8AndKeepsBrokenEscapes) {
  EXPECT_EQ(KTInternetUnescape(u"a%20b%C3%A9%zz%4"), u"a b\u00E9%zz%4");
  EXPECT_EQ(KTInternetUnescape(u"%"), u"%");
}

TEST(InternetHelpersTest, FtpListingFormats) {
  std::string listing =
      "total 3\r\n"
      "drwxr-xr-x   2 owner group        4096 Jan 01 12:00 sub dir\r\n"
      "-rw-r--r--   1 owner group         120 Jan 01  2020 a.xml\r\n"
      "lrwxrwxrwx   1 owner group           5 Jan 01 12:00 link -> a.xml\r\n"
      "drwxr-xr-x   2 owner group        4096 Jan 01 12:00 .\r\n"
      "01-01-20  12:00PM       <DIR>          dosdir\r\n"
      "01-01-20  12:00PM                  120 dos file.txt\r\n"
      "garbage\r\n";
  auto entries = KTParseFtpListing(listing);
  std::vector<std::pair<std::u16string, bool>> expected = {
      {u"sub dir", true}, {u"a.xml", false}, {u"link", false},
      {u"dosdir", true},  {u"dos file.txt", false}};
  EXPECT_EQ(entries, expected);
}

TEST(InternetErrorTest, MessagesNameTheFault) {
  KTInternetException timeout(5, kInetErrorTimeout, u"after 1 s");
  EXPECT_EQ(timeout.GetErrorText(), u"The operation timed out (after 1 s)");
  KTInternetException extended(5, kInetErrorExtended, u"550 No such file");
  EXPECT_EQ(extended.GetErrorText(), u"550 No such file");
  char16_t small[8];
  unsigned help = 9;
  EXPECT_TRUE(timeout.GetErrorMessage(small, 8, &help));
  EXPECT_EQ(std::u16string(small), u"The ope");
  EXPECT_EQ(help, 0u);
}

class HttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new KTTempDir;
    KTWriteFileBytes(dir_->Path() + "/root/doc.xml", "<doc>hello</doc>");
    KTWriteFileBytes(dir_->Path() + "/root/big.bin", KTPatternBytes(300000));
    server_ = new KTTestServer;
    started_ = server_->Start("http", {"--root", dir_->Path() + "/root", "--log",
                                       dir_->Path() + "/log"});
  }
  static void TearDownTestSuite() {
    delete server_;
    delete dir_;
  }
  void SetUp() override { ASSERT_TRUE(started_) << "the local HTTP server did not start"; }

  static std::u16string Url(const std::string& path) {
    return U("http://127.0.0.1:" + std::to_string(server_->Port()) + path);
  }

  static KTTempDir* dir_;
  static KTTestServer* server_;
  static bool started_;
};
KTTempDir* HttpTest::dir_;
KTTestServer* HttpTest::server_;
bool HttpTest::started_;

TEST_F(HttpTest, RequestReturnsStatusAndBody) {
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  struct Case {
    const char* path;
    uint32_t status;
    std::string body;
  } cases[] = {
      {"/files/doc.xml", 200, "<doc>hello</doc>"},
      {"/files/missing.xml", 404, "not found"},
      {"/status/500", 500, "body of 500"},
      {"/files/big.bin", 200, KTPatternBytes(300000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto request = connection->OpenRequest(u"GET", U(c.path).c_str(), nullptr, 1, nullptr,
                                           u"HTTP/1.1", 0);
    uint32_t status = 0;
    EXPECT_FALSE(request->QueryInfoStatusCode(status)) << "no status before sending";
    EXPECT_TRUE(request->SendRequest());
    ASSERT_TRUE(request->QueryInfoStatusCode(status));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(request->GetLength(), c.body.size());
    EXPECT_EQ(ReadAll(*request), c.body);
    EXPECT_EQ(request->GetLength(), 0u);
  }
}

TEST_F(HttpTest, GetFollowsRedirectsButNotForever) {
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  auto request = connection->OpenRequest(u"GET", u"/redirect/files/doc.xml");
  request->SendRequest();
  uint32_t status = 0;
  ASSERT_TRUE(request->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(ReadAll(*request), "<doc>hello</doc>");

  auto loop = connection->OpenRequest(u"GET", u"/loop");
  try {
    loop->SendRequest();
    FAIL() << "a redirect loop ended";
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorRedirectFailed);
  }
}

TEST_F(HttpTest, CredentialsSetOnTheConnectionServeTheNextSend) {
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  auto request = connection->OpenRequest(u"GET", u"/auth/al\u00EFce/s3cr\u00E9t/doc.xml");
  request->SendRequest();
  uint32_t status = 0;
  ASSERT_TRUE(request->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 401u);
  // Non-ASCII names go as UTF-8, whole.
  std::string user = "al\xC3\xAF" "ce", password = "s3cr\xC3\xA9t";
  ASSERT_TRUE(connection->SetOption(kInetOptionUsername, user.data(), user.size()));
  ASSERT_TRUE(connection->SetOption(kInetOptionPassword, password.data(), password.size()));
  EXPECT_FALSE(connection->SetOption(999, "x", 1));
  request->SendRequest();
  ASSERT_TRUE(request->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(ReadAll(*request), "<doc>hello</doc>");
}

TEST_F(HttpTest, PutSendsTheBodyAndHeaders) {
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  auto request = connection->OpenRequest(u"PUT", u"/up/put-body.bin");
  EXPECT_TRUE(request->AddRequestHeaders(u"Content-Type: text/xml\r\nX-A: 1\r\n"));
  EXPECT_FALSE(request->AddRequestHeaders(u"X-A: 2", kHttpAddReqFlagAddIfNew));
  EXPECT_FALSE(request->AddRequestHeaders(u"no header line"));
  std::string body = KTPatternBytes(5000);
  request->SendRequest(nullptr, body.data(), static_cast<uint32_t>(body.size()));
  uint32_t status = 0;
  ASSERT_TRUE(request->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 201u);
  EXPECT_EQ(ReadAll(*request), "stored 5000");
  EXPECT_EQ(KTReadFileBytes(dir_->Path() + "/root/put/put-body.bin"), body);
}

TEST_F(HttpTest, OpenURLGivesAnHttpFileWhateverTheStatus) {
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto file = session.OpenURL(Url("/status/404").c_str(), 1, kInetFlagTransferBinary);
  auto* http = dynamic_cast<KTHttpFile*>(file.get());
  ASSERT_NE(http, nullptr);
  uint32_t status = 0;
  ASSERT_TRUE(http->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 404u);
  EXPECT_EQ(ReadAll(*file), "body of 404");
}

TEST_F(HttpTest, ResponseLargerThanTheLimitFails) {
  LimitsGuard guard;
  KTGetInternetLimits().maxResponseBytes = 1000;
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  auto request = connection->OpenRequest(u"GET", u"/files/big.bin");
  try {
    request->SendRequest();
    FAIL() << "a body past the limit was taken";
  } catch (const KTInternetException& e) {
    EXPECT_NE(e.GetErrorText().find(u"larger than the limit of 1000 bytes"), std::u16string::npos);
  }
}

TEST_F(HttpTest, StalledServerIsAbandonedByTheLowSpeedLimit) {
  LimitsGuard guard;
  KTGetInternetLimits().lowSpeedSeconds = 1;
  KTGetInternetLimits().lowSpeedBytes = 1000;
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  auto request = connection->OpenRequest(u"GET", u"/stall");
  // Without the limit the transfer would wait for ever; the timeout error
  // shows that the limit ended it.
  try {
    request->SendRequest();
    FAIL() << "a stalled transfer succeeded";
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorTimeout);
  }
}

TEST_F(HttpTest, TricklingServerIsEndedByTheDeadline) {
  // One byte every 0.9 s passes the low-speed guard (1 byte/s over a
  // minute), which stays as it is: only the deadline can end the transfer.
  LimitsGuard guard;
  KTGetInternetLimits().deadlineSeconds = 2;
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  auto request = connection->OpenRequest(u"GET", u"/trickle");
  try {
    request->SendRequest();
    FAIL() << "a never-ending transfer succeeded";
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorTimeout);
    EXPECT_NE(e.GetErrorText().find(u"did not end within the limit of 2 seconds"),
              std::u16string::npos)
        << KTUtf16ToUtf8(e.GetErrorText());
  }
}

TEST_F(HttpTest, EndlessChunkedBodyStopsAtTheCap) {
  // A chunked body announces no length, so only the bytes as they come can
  // be held against the cap; reading stops with the block that passes it.
  constexpr uint64_t kCap = 1 << 20;
  // The most body bytes libcurl hands over at once (CURL_MAX_WRITE_SIZE).
  constexpr uint64_t kCurlWriteBlock = 16 * 1024;
  LimitsGuard guard;
  KTGetInternetLimits().maxResponseBytes = kCap;
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", server_->Port());
  auto request = connection->OpenRequest(u"GET", u"/endless");
  try {
    request->SendRequest();
    FAIL() << "an endless body was taken";
  } catch (const KTInternetException& e) {
    EXPECT_NE(e.GetErrorText().find(u"larger than the limit of 1048576 bytes"), std::u16string::npos)
        << KTUtf16ToUtf8(e.GetErrorText());
  }
  EXPECT_GT(request->GetBodyBytesReceived(), kCap);
  EXPECT_LE(request->GetBodyBytesReceived(), kCap + kCurlWriteBlock);
  EXPECT_EQ(request->GetLength(), 0u) << "no part of a refused body is kept";
}

TEST(InternetFailureTest, ServerThatNeverAnswersIsAbandoned) {
  // A socket that listens but never accepts: the connection is made by the
  // system, the request goes out, and no answer ever comes.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(s, 4), 0);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  int port = ntohs(addr.sin_port);

  LimitsGuard guard;
  KTGetInternetLimits().lowSpeedSeconds = 1;
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  auto connection = session.GetHttpConnection(u"127.0.0.1", port);
  auto request = connection->OpenRequest(u"GET", u"/");
  try {
    request->SendRequest();
    ADD_FAILURE() << "a silent server answered";
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorTimeout);
  }
  try {
    session.GetFtpConnection(u"127.0.0.1", nullptr, nullptr, port);
    ADD_FAILURE() << "a silent FTP server let us log in";
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorTimeout);
  }
  close(s);
}

TEST(InternetFailureTest, NetworkFailuresCarryTheirErrorNumbers) {
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);
  int closed = KTClosedPort();
  auto connection = session.GetHttpConnection(u"127.0.0.1", closed);
  auto request = connection->OpenRequest(u"GET", u"/");
  try {
    request->SendRequest();
    FAIL();
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorCannotConnect);
    EXPECT_EQ(e.GetContext(), 1u);
  }
  uint32_t status = 7;
  EXPECT_FALSE(request->QueryInfoStatusCode(status));
  EXPECT_EQ(status, 7u);

  for (const char16_t* url : {u"mailto:a@b", u"telnet://h/", u"not a url"}) {
    EXPECT_THROW(session.OpenURL(url), KTInternetException);
  }
}

TEST(InternetFileTest, FileURLReadsTheLocalFile) {
  KTTempDir dir;
  std::string bytes = KTPatternBytes(3000);
  KTWriteFileBytes(dir.Path() + "/a b.bin", bytes);
  KTInternetSession session;
  auto file = session.OpenURL(U("file://" + dir.Path() + "/a%20b.bin").c_str(), 1,
                              kInetFlagTransferBinary);
  EXPECT_EQ(file->GetLength(), bytes.size());
  EXPECT_EQ(ReadAll(*file), bytes);
  // "%00" must not cut the name short and open the file before it, nor cut
  // the message short.
  try {
    session.OpenURL(U("file://" + dir.Path() + "/a b.bin%00.txt").c_str());
    FAIL() << "a name with a NUL was opened";
  } catch (const KTFileException& e) {
    EXPECT_NE(e.GetErrorText().find(u"a b.bin%00.txt: "), std::u16string::npos);
    EXPECT_EQ(e.GetErrorText().find(u'\0'), std::u16string::npos);
  }
  try {
    session.OpenURL(U("file://" + dir.Path() + "/missing.bin").c_str());
    FAIL();
  } catch (const KTFileException& e) {
    EXPECT_NE(e.GetErrorText().find(u"missing.bin"), std::u16string::npos);
  }
}

TEST(InternetFileTest, FileURLOnAnotherHostIsRefused) {
  KTTempDir dir;
  KTWriteFileBytes(dir.Path() + "/x.xml", "<x/>");
  KTInternetSession session;
  for (const std::string host : {"", "localhost", "LocalHost"}) {
    SCOPED_TRACE(host);
    auto file = session.OpenURL(U("file://" + host + dir.Path() + "/x.xml").c_str());
    EXPECT_EQ(ReadAll(*file), "<x/>");
  }
  // The path exists here, which must not matter: the URL names another
  // machine's file. A user name and password before the host do not show.
  for (const std::string host : {"otherhost", "localhost.example", "127.0.0.1", "user:secret@otherhost"}) {
    SCOPED_TRACE(host);
    try {
      session.OpenURL(U("file://" + host + dir.Path() + "/x.xml").c_str());
      ADD_FAILURE() << "a file URL on another host was read";
    } catch (const KTInternetException& e) {
      EXPECT_EQ(e.GetErrorCode(), kInetErrorInvalidUrl);
      std::string text = KTUtf16ToUtf8(e.GetErrorText());
      EXPECT_NE(text.find("names the host"), std::string::npos) << text;
      EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    }
  }
}

TEST(HttpsTest, CertificateIsCheckedAgainstTheConfiguredAuthority) {
  KTTempDir dir;
  KTWriteFileBytes(dir.Path() + "/root/doc.xml", "<secure/>");
  KTTestServer server;
  ASSERT_TRUE(server.Start("https", {"--root", dir.Path() + "/root", "--dir", dir.Path()}));
  std::u16string url = U("https://127.0.0.1:" + std::to_string(server.Port()) + "/files/doc.xml");
  KTInternetSession session(nullptr, 1, kInetOpenTypeDirect);

  setenv(kInetCaBundleVariable, (dir.Path() + "/cert.pem").c_str(), 1);
  auto file = session.OpenURL(url.c_str());
  EXPECT_EQ(ReadAll(*file), "<secure/>");

  // Through a connection as the URL request does it.
  auto connection = session.GetHttpConnection(u"127.0.0.1", server.Port());
  auto request = connection->OpenRequest(u"GET", u"/files/doc.xml", nullptr, 1, nullptr, nullptr,
                                         kInetFlagSecure);
  request->SendRequest();
  EXPECT_EQ(ReadAll(*request), "<secure/>");

  unsetenv(kInetCaBundleVariable);
  setenv(kInetCaBundleVariable, (dir.Path() + "/root/doc.xml").c_str(), 1);
  try {
    session.OpenURL(url.c_str());
    FAIL() << "an unknown certificate was trusted";
  } catch (const KTInternetException& e) {
    EXPECT_TRUE(e.GetErrorCode() == kInetErrorInvalidCa ||
                e.GetErrorCode() == kInetErrorSecurityChannel)
        << e.GetErrorCode();
  }
  unsetenv(kInetCaBundleVariable);
}

TEST(GopherTest, GopherURLReturnsTheItem) {
  KTTempDir dir;
  std::string bytes = KTPatternBytes(4000);
  KTWriteFileBytes(dir.Path() + "/root/item.bin", bytes);
  KTTestServer server;
  ASSERT_TRUE(server.Start("gopher", {"--root", dir.Path() + "/root"}));
  KTInternetSession session;
  auto file = session.OpenURL(
      U("gopher://127.0.0.1:" + std::to_string(server.Port()) + "/9/item.bin").c_str());
  auto* gopher = dynamic_cast<KTGopherFile*>(file.get());
  ASSERT_NE(gopher, nullptr);
  EXPECT_EQ(gopher->GetLocator().GetLength(), 0u) << "a URL open gives an empty locator";
  EXPECT_EQ(gopher->GetFilePath(), u"/9/item.bin");
  EXPECT_EQ(ReadAll(*file), bytes);
}

class FtpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new KTTempDir;
    KTWriteFileBytes(dir_->Path() + "/root/doc.xml", "<ftp/>");
    KTWriteFileBytes(dir_->Path() + "/root/sub/inner.xml", "<inner/>");
    server_ = new KTTestServer;
    started_ = server_->Start("ftp", {"--root", dir_->Path() + "/root", "--user", "bob:pw1",
                                      "--log", dir_->Path() + "/log"});
  }
  static void TearDownTestSuite() {
    delete server_;
    delete dir_;
  }
  void SetUp() override { ASSERT_TRUE(started_) << "the local FTP server did not start"; }

  static KTTempDir* dir_;
  static KTTestServer* server_;
  static bool started_;
};
KTTempDir* FtpTest::dir_;
KTTestServer* FtpTest::server_;
bool FtpTest::started_;

TEST_F(FtpTest, RefusedLoginThrowsWhenConnecting) {
  KTInternetSession session;
  try {
    session.GetFtpConnection(u"127.0.0.1", u"bob", u"wrong", server_->Port());
    FAIL() << "a wrong password was accepted";
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorLoginFailure);
  }
  try {
    session.GetFtpConnection(u"127.0.0.1", nullptr, nullptr, KTClosedPort());
    FAIL();
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorCannotConnect);
  }
}

TEST_F(FtpTest, DownloadUploadAndCommandsOnOneLogin) {
  KTInternetSession session;
  int loginsBefore = KTCountLogLines(dir_->Path() + "/log", "LOGIN");
  auto connection = session.GetFtpConnection(u"127.0.0.1", u"bob", u"pw1", server_->Port());
  auto file = connection->OpenFile(u"/doc.xml");
  EXPECT_EQ(ReadAll(*file), "<ftp/>");
  EXPECT_EQ(ReadAll(*connection->OpenFile(u"sub/inner.xml")), "<inner/>");

  std::string bytes = KTPatternBytes(100 * 1024);
  {
    auto up = connection->OpenFile(u"/new dir/up.bin", kGenericWrite);
    EXPECT_THROW(up->Read(nullptr, 0), KTInternetException);
    ASSERT_TRUE(connection->CreateDirectory(u"/new dir"));
    up->Write(bytes.data(), 60000);
    up->Flush();
    up->Write(bytes.data() + 60000, static_cast<unsigned>(bytes.size() - 60000));
    up->Close();  // sends what came after the Flush
  }
  EXPECT_EQ(KTReadFileBytes(dir_->Path() + "/root/new dir/up.bin"), bytes);
  // Everything so far ran on the login made when connecting.
  EXPECT_EQ(KTCountLogLines(dir_->Path() + "/log", "LOGIN"), loginsBefore + 1);

  try {
    connection->OpenFile(u"/missing.xml");
    FAIL();
  } catch (const KTInternetException& e) {
    EXPECT_EQ(e.GetErrorCode(), kInetErrorExtended);
    EXPECT_EQ(e.GetErrorText().substr(0, 3), u"550");
  }

  KTFtpFileFind find(connection.get());
  ASSERT_TRUE(find.FindFile(u"/"));
  std::vector<std::pair<std::u16string, bool>> seen;
  bool more = true;
  while (more) {
    more = find.FindNextFile();
    seen.emplace_back(find.GetFileName(), find.MatchesMask(kFileAttributeDirectory));
  }
  std::sort(seen.begin(), seen.end());
  std::vector<std::pair<std::u16string, bool>> expected = {
      {u"doc.xml", false}, {u"new dir", true}, {u"sub", true}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(find.GetFileURL(), u"ftp://127.0.0.1/sub");

  EXPECT_FALSE(connection->Remove(u"/no-such-file"));
  EXPECT_EQ(KTInternetGetLastError(), kInetErrorExtended);
  EXPECT_EQ(KTInternetGetLastResponseInfo().substr(0, 3), u"550");
  EXPECT_FALSE(connection->Remove(u"/x\r\nDELE doc.xml"));
  EXPECT_THROW(connection->OpenFile(u"/x\r\nDELE doc.xml"), KTInternetException);
  EXPECT_TRUE(std::filesystem::exists(dir_->Path() + "/root/doc.xml"));
  EXPECT_TRUE(connection->Remove(u"/new dir/up.bin"));
  EXPECT_TRUE(connection->RemoveDirectory(u"/new dir"));
  EXPECT_FALSE(std::filesystem::exists(dir_->Path() + "/root/new dir"));
}

TEST_F(FtpTest, DestructorOfAFileWhoseSendFailsDoesNotThrow) {
  KTInternetSession session;
  auto connection = session.GetFtpConnection(u"127.0.0.1", u"bob", u"pw1", server_->Port());
  auto up = connection->OpenFile(u"/no-such-dir/x.bin", kGenericWrite);
  up->Write("abc", 3);
  EXPECT_THROW(up->Flush(), KTInternetException);
  up.reset();  // logs and goes on
}

}  // namespace
