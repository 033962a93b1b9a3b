// The output file through the program: an existing file is replaced whole or
// left as it was (a write that fails, a run that stops), -out may name the
// source, and the replaced file keeps its permission bits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

// A text result of about 24 KB: 600 lines of 40 characters, well past the
// 1 KB file size limit below and past one 4 KB write.
const char* const kLongResult =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:output method=\"text\"/>\n"
    "<xsl:template match=\"/\"><xsl:call-template name=\"line\"><xsl:with-param name=\"n\" select=\"600\"/>"
    "</xsl:call-template></xsl:template>\n"
    "<xsl:template name=\"line\"><xsl:param name=\"n\"/><xsl:if test=\"$n &gt; 0\">"
    "<xsl:value-of select=\"concat(/doc, ' ', $n)\"/><xsl:text>&#10;</xsl:text>"
    "<xsl:call-template name=\"line\"><xsl:with-param name=\"n\" select=\"$n - 1\"/></xsl:call-template>"
    "</xsl:if></xsl:template>\n"
    "</xsl:stylesheet>\n";

const char* const kSource = "<doc>0123456789012345678901234567890</doc>\n";
const char* const kOldOutput = "the previous result\n";

class OutputFileTest : public ::testing::Test {
 protected:
  KTProgramResult Run(const std::vector<std::string>& arguments) {
    return KTRunProgram(OSTXSLT_PROGRAM, arguments, folder_.Path());
  }
  // The program run by bash after the given shell commands (a file size
  // limit, a signal ignored), which it inherits.
  KTProgramResult RunAfter(const std::string& commands, const std::vector<std::string>& arguments) {
    std::vector<std::string> line = {"-c", commands + "; exec \"$0\" \"$@\"", OSTXSLT_PROGRAM};
    line.insert(line.end(), arguments.begin(), arguments.end());
    return KTRunProgram("/bin/bash", line, folder_.Path());
  }
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.Path()))
      names.insert(entry.path().filename().string());
    return names;
  }
  mode_t Mode(const std::string& name) const {
    struct stat info {};
    EXPECT_EQ(::stat(folder_.File(name).c_str(), &info), 0) << name;
    return info.st_mode & 07777;
  }
  // xsltproc's result of the same files, computed now.
  std::string XsltprocResult(const std::string& xsl, const std::string& xml) {
    KTProgramResult peer = KTRunProgram("/usr/bin/xsltproc", {"-o", "peer.out", xsl, xml}, folder_.Path());
    EXPECT_EQ(peer.status, 0) << peer.err;
    std::string result = folder_.Read("peer.out");
    std::filesystem::remove(folder_.File("peer.out"));
    return result;
  }

  KTScratchFolder folder_;
};

// With a file size limit smaller than the result, writing fails part way;
// whether the process ignores SIGXFSZ or not, the program reports it and the
// file it was to replace keeps every byte.
TEST_F(OutputFileTest, AWriteThatFailsLeavesTheExistingFileAsItWas) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl", kLongResult);
  const std::string expected = XsltprocResult("s.xsl", "d.xml");
  ASSERT_GT(expected.size(), 20000u);
  for (const char* commands : {"ulimit -f 1", "trap '' XFSZ; ulimit -f 1"}) {
    SCOPED_TRACE(commands);
    folder_.Write("r.txt", kOldOutput);
    const std::set<std::string> before = Files();
    KTProgramResult result = RunAfter(commands, {"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.txt"});
    EXPECT_EQ(result.status, 1);
    const std::string head = "Error writing to file r.txt\n";
    ASSERT_EQ(result.err.rfind(head, 0), 0u) << result.err;
    EXPECT_GT(result.err.size(), head.size() + 1);  // the reason
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(folder_.Read("r.txt"), kOldOutput);
    EXPECT_EQ(Files(), before);  // nothing left behind
  }
  // Without the limit the same run replaces the file.
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.txt"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(folder_.Read("r.txt"), expected);
}

// A run that stops after the result has begun writes nothing: the old file
// stays, and no other file is made.
TEST_F(OutputFileTest, ARunThatStopsPartWayLeavesTheExistingFileAsItWas) {
  folder_.Write("d.xml", kSource);
  const std::string open =
      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
      "<xsl:template match=\"/\"><out><xsl:copy-of select=\"doc\"/>";
  const std::string close = "</out></xsl:template>\n";
  const struct {
    const char* name;
    std::string stylesheet;
  } cases[] = {
      {"terminating message", open + "<xsl:message terminate=\"yes\">stop</xsl:message>" + close},
      {"error while running", open + "<xsl:value-of select=\"$undeclared\"/>" + close},
      {"template stack overflow", open + "<xsl:call-template name=\"again\"/>" + close +
                                      "<xsl:template name=\"again\"><x><xsl:call-template name=\"again\"/></x>"
                                      "</xsl:template>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stylesheet = c.stylesheet + "</xsl:stylesheet>\n";
    folder_.Write("s.xsl", stylesheet);
    folder_.Write("r.xml", kOldOutput);
    const std::set<std::string> before = Files();
    KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(folder_.Read("r.xml"), kOldOutput);
    EXPECT_EQ(Files(), before);
  }
}

TEST_F(OutputFileTest, TheOutputMayReplaceTheSource) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl", kLongResult);
  const std::string expected = XsltprocResult("s.xsl", "d.xml");
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "d.xml"});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "\nd.xml\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(folder_.Read("d.xml"), expected);
  EXPECT_EQ(Files(), (std::set<std::string>{"d.xml", "s.xsl"}));
}

// The replaced file keeps its permission bits; a new one gets those of any
// file the user makes (0666 less the umask); a symbolic link stays a link to
// the file that gets the result.
TEST_F(OutputFileTest, TheReplacedFileKeepsItsModeAndLinksStayLinks) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl", kLongResult);
  const std::string expected = XsltprocResult("s.xsl", "d.xml");

  folder_.Write("kept.txt", kOldOutput);
  ASSERT_EQ(::chmod(folder_.File("kept.txt").c_str(), 0604), 0);
  KTProgramResult kept = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "kept.txt"});
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(folder_.Read("kept.txt"), expected);
  EXPECT_EQ(Mode("kept.txt"), 0604u);

  // A file its owner cannot write is not replaced (root writes any file).
  if (::geteuid() != 0) {
    folder_.Write("readonly.txt", kOldOutput);
    ASSERT_EQ(::chmod(folder_.File("readonly.txt").c_str(), 0444), 0);
    KTProgramResult refused = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "readonly.txt"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("Error writing to file readonly.txt\n", 0), 0u) << refused.err;
    EXPECT_EQ(folder_.Read("readonly.txt"), kOldOutput);
  }

  const mode_t mask = ::umask(0);
  ::umask(mask);
  KTProgramResult made = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "new.txt"});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(Mode("new.txt"), 0666u & ~mask);

  folder_.Write("target/linked.txt", kOldOutput);
  std::filesystem::create_symlink("target/linked.txt", folder_.File("link.txt"));
  KTProgramResult linked = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "link.txt"});
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(std::filesystem::is_symlink(folder_.File("link.txt")));
  EXPECT_EQ(folder_.Read("target/linked.txt"), expected);
  EXPECT_EQ(std::filesystem::directory_iterator(folder_.File("target"))->path().filename(), "linked.txt");

  // A device is written in place, never replaced.
  KTProgramResult device = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "/dev/null"});
  EXPECT_EQ(device.status, 0) << device.err;
  struct stat info {};
  ASSERT_EQ(::stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

}  // namespace
