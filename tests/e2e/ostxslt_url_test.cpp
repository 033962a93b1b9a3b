// End-to-end tests of the program on URLs: a user name and password in a URL
// show nowhere in what it prints, the transfer deadline and body cap end a
// run against servers that never finish, and file URLs on another host are
// refused. Each case starts its own local server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ktnettestserver.h"
#include "ktprogramrunner.h"
#include "platform/inet/ktinetdefs.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

const char* const kSource = "<doc><a>one</a><a>two</a></doc>\n";

const char* const kStylesheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:output method=\"text\"/>\n"
    "<xsl:template match=\"/\"><xsl:value-of select=\"count(//a)\"/></xsl:template>\n"
    "</xsl:stylesheet>\n";

// The same with a missing select attribute on line 3.
const char* const kBrokenStylesheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:output method=\"text\"/>\n"
    "<xsl:template match=\"/\"><xsl:value-of/></xsl:template>\n"
    "</xsl:stylesheet>\n";

// Sets an environment variable for the programs that one test runs.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() { unsetenv(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
};

class ProgramUrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("d.xml", kSource);
    folder_.Write("s.xsl", kStylesheet);
    folder_.Write("broken.xsl", kBrokenStylesheet);
    ASSERT_TRUE(server_.Start("http", {"--root", folder_.Path()}));
    host_ = "127.0.0.1:" + std::to_string(server_.Port());
  }
  KTProgramResult Run(const std::vector<std::string>& arguments) {
    return KTRunProgram(OSTXSLT_PROGRAM, arguments, folder_.Path());
  }

  KTScratchFolder folder_;
  KTTestServer server_;
  std::string host_;
};

TEST_F(ProgramUrlTest, CredentialsInAUrlArePrintedNowhere) {
  std::string closed = "127.0.0.1:" + std::to_string(KTClosedPort());
  struct Case {
    std::string xml;
    std::string xsl;
    std::string errHolds;  // the document, named without its credentials
  } cases[] = {
      {"http://alice:s3cret@" + host_ + "/files/missing.xml", "s.xsl",
       "Failed to load http://" + host_ + "/files/missing.xml\n"},
      {"http://alice:s3cret@" + closed + "/files/d.xml", "s.xsl",
       "Failed to load http://" + closed + "/files/d.xml\n"},
      {"d.xml", "http://alice:s3cret@" + host_ + "/files/broken.xsl",
       "Error in http://" + host_ + "/files/broken.xsl at line 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml + " " + c.xsl);
    KTProgramResult result = Run({"-xml", c.xml, "-xsl", c.xsl, "-out", "o.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.errHolds), std::string::npos) << result.err;
    for (const std::string& printed : {result.out, result.err}) {
      EXPECT_EQ(printed.find("s3cret"), std::string::npos) << printed;
      EXPECT_EQ(printed.find("alice"), std::string::npos) << printed;
    }
  }
  // A URL that the stylesheet names is shown masked where it fails.
  folder_.Write("document.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:template match=\"/\"><xsl:copy-of select=\"document('http://alice:s3cret@" +
                    host_ + "/files/missing.xml')\"/></xsl:template>\n"
                "</xsl:stylesheet>\n");
  KTProgramResult named = Run({"-xml", "d.xml", "-xsl", "document.xsl", "-out", "o.txt"});
  EXPECT_NE(named.err.find("Failed to load http://***@" + host_ + "/files/missing.xml\n"), std::string::npos)
      << named.err;
  EXPECT_EQ(named.err.find("s3cret"), std::string::npos) << named.err;
  EXPECT_EQ(named.err.find("alice"), std::string::npos) << named.err;

  // The credentials are no part of the transfer: the document loads.
  KTProgramResult loaded =
      Run({"-xml", "http://alice:s3cret@" + host_ + "/files/d.xml", "-xsl", "s.xsl", "-out", "o.txt"});
  EXPECT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_EQ(folder_.Read("o.txt"), "2");
}

TEST_F(ProgramUrlTest, CredentialsInDtdAndEntityUrlsArePrintedNowhere) {
  // System identifiers are quoted in warnings and refusals as written, and a
  // DTD or entity read from a URL names its place by that URL: each shows the
  // credentials masked.
  const std::string secret = "http://alice:s3cret@" + host_;
  const std::string masked = "http://***@" + host_;
  folder_.Write("twice.dtd", "<!ELEMENT doc ANY>\n<!ELEMENT doc ANY>\n<!ENTITY e \"text\">\n");
  folder_.Write("broken.dtd", "<!ELEMENT doc ANY>\n<!ELEMENT doc ANY\n");
  folder_.Write("broken.ent", "<x>unclosed");
  folder_.Write("nodtd.xml", "<!DOCTYPE doc SYSTEM \"" + secret + "/files/missing.dtd\">\n<doc>&e;</doc>\n");
  struct Case {
    std::string doctype;  // the DOCTYPE of the source
    std::string body;
    int status;
    std::string errHolds;
  } cases[] = {
      {"<!DOCTYPE doc SYSTEM \"" + secret + "/files/missing.dtd\">", "<doc>&e;</doc>", 0,
       "external DTD subset \"" + masked + "/files/missing.dtd\""},
      {"<!DOCTYPE doc SYSTEM \"" + secret + "/files/twice.dtd\">", "<doc>&e;</doc>", 0,
       "Warning: " + masked + "/files/twice.dtd, line 2, column 1: "},
      {"<!DOCTYPE doc SYSTEM \"" + secret + "/files/broken.dtd\">", "<doc/>", 1,
       "is not well-formed: " + masked + "/files/broken.dtd, line 3"},
      {"<!DOCTYPE doc [<!ENTITY x SYSTEM \"" + secret + "/files/broken.ent\">]>", "<doc>&x;</doc>", 1,
       "(\"" + masked + "/files/broken.ent\") is not well-formed: " + masked + "/files/broken.ent, line 1"},
      {"<!DOCTYPE doc [<!ENTITY % p SYSTEM \"" + secret + "/status/404\"> %p;]>", "<doc/>", 0,
       "external parameter entity \"" + masked + "/status/404\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doctype);
    folder_.Write("dtd.xml", c.doctype + "\n" + c.body + "\n");
    KTProgramResult result = Run({"-xml", "dtd.xml", "-xsl", "s.xsl", "-out", "o.txt"});
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE(result.err.find(c.errHolds), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("s3cret"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("alice"), std::string::npos) << result.err;
  }
  // A document() document named with credentials: its own name and its
  // DTD's in the warnings. The stylesheet's xsl:message is its own text and
  // is shown as written.
  folder_.Write("document.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:template match=\"/\"><xsl:copy-of select=\"document('" + secret +
                    "/files/nodtd.xml')\"/><xsl:message>" + secret + "/as-written</xsl:message>"
                    "</xsl:template>\n</xsl:stylesheet>\n");
  KTProgramResult named = Run({"-xml", "d.xml", "-xsl", "document.xsl", "-out", "o.txt"});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_NE(named.err.find("\"" + masked + "/files/missing.dtd\" declared in " + masked + "/files/nodtd.xml"),
            std::string::npos)
      << named.err;
  EXPECT_NE(named.err.find("&e; in " + masked + "/files/nodtd.xml"), std::string::npos) << named.err;
  std::string others = named.err;
  size_t message = others.find(secret + "/as-written\n");
  ASSERT_NE(message, std::string::npos) << named.err;
  others.erase(message, secret.size() + std::string("/as-written\n").size());
  EXPECT_EQ(others.find("s3cret"), std::string::npos) << named.err;
  EXPECT_EQ(others.find("alice"), std::string::npos) << named.err;
}

TEST_F(ProgramUrlTest, ServersThatNeverFinishAreEndedByTheLimits) {
  {
    // One byte every 0.9 s for ever passes the low-speed guard.
    ScopedVariable deadline(kInetDeadlineVariable, "2");
    KTProgramResult result = Run({"-xml", "http://" + host_ + "/trickle", "-xsl", "s.xsl", "-out", "o.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("did not end within the limit of 2 seconds"), std::string::npos) << result.err;
  }
  {
    ScopedVariable cap(kInetMaxBytesVariable, "1048576");
    KTProgramResult result = Run({"-xml", "http://" + host_ + "/endless", "-xsl", "s.xsl", "-out", "o.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("larger than the limit of 1048576 bytes"), std::string::npos) << result.err;
  }
  EXPECT_FALSE(folder_.Exists("o.txt"));
}

TEST_F(ProgramUrlTest, ALimitIsShortenedButNeverLifted) {
  // The limits guard against endless transfers: an override may only shorten
  // them, so a huge or malformed value leaves the default cap in force and a
  // small document loads as ever.
  for (const char* value : {"99999999999999999999", "-5", "0", "1e9", "12abc"}) {
    SCOPED_TRACE(value);
    ScopedVariable cap(kInetMaxBytesVariable, value);
    KTProgramResult result = Run({"-xml", "http://" + host_ + "/files/d.xml", "-xsl", "s.xsl", "-out", "o.txt"});
    EXPECT_EQ(result.status, 0) << result.err;
  }
  ScopedVariable tiny(kInetMaxBytesVariable, "10");
  KTProgramResult result = Run({"-xml", "http://" + host_ + "/files/d.xml", "-xsl", "s.xsl", "-out", "o.txt"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("larger than the limit of 10 bytes"), std::string::npos) << result.err;
}

TEST_F(ProgramUrlTest, FileUrlsReadOnlyThisMachinesFiles) {
  std::string path = folder_.File("d.xml");
  // "file:/path" is the short form of "file:///path" (RFC 8089).
  for (const std::string& url : {"file://" + path, "file://localhost" + path, "file:" + path, "FILE:" + path}) {
    SCOPED_TRACE(url);
    KTProgramResult result = Run({"-xml", url, "-xsl", "s.xsl", "-out", "o.txt"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(folder_.Read("o.txt"), "2");
  }
  KTProgramResult shortStylesheet = Run({"-xml", path, "-xsl", "file:" + folder_.File("s.xsl"), "-out", "o.txt"});
  EXPECT_EQ(shortStylesheet.status, 0) << shortStylesheet.err;
  EXPECT_EQ(folder_.Read("o.txt"), "2");
  KTProgramResult other = Run({"-xml", "file://otherhost" + path, "-xsl", "s.xsl", "-out", "other.txt"});
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("Failed to load file://otherhost" + path + "\n"), std::string::npos) << other.err;
  EXPECT_NE(other.err.find("names the host \"otherhost\""), std::string::npos) << other.err;
  EXPECT_FALSE(folder_.Exists("other.txt"));
}

}  // namespace
