// End-to-end tests of xsl:number counting and of the html output method,
// run by the program and compared with xsltproc's output for the same files:
// count and from patterns that name variables (at every level, with the
// variable changing between runs of one xsl:number), attribute and
// namespace nodes as the node numbered, HTML elements without content
// written by the html method, and UTF-16 output named with a byte order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";
constexpr const char* kXmllint = "/usr/bin/xmllint";

// No whitespace-only text, so stripping the source changes nothing.
const char* const kSource =
    "<r xmlns:p=\"u1\"><s t=\"a\"><i t=\"a\"/><i t=\"b\"/><i t=\"a\" xmlns:p=\"u2\"><i t=\"b\"/><i t=\"a\"/></i></s>"
    "<s t=\"b\"><i t=\"b\" x=\"1\"/><i t=\"a\"/></s></r>\n";

std::string Stylesheet(const std::string& output, const std::string& body) {
  return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n<xsl:output " +
         output + "/>\n<xsl:template match=\"/\">" + body + "</xsl:template>\n</xsl:stylesheet>\n";
}

class NumberingOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_.Write("src.xml", kSource); }

  static bool HaveXsltproc() { return access(kXsltproc, X_OK) == 0; }

  void ExpectAgreement(const std::string& stylesheet) {
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "out.txt"}, folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err << stylesheet;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "xp.txt", "sheet.xsl", "src.xml"}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(folder_.Read("out.txt"), folder_.Read("xp.txt")) << stylesheet;
  }

  KTScratchFolder folder_;
};

TEST_F(NumberingOutputTest, CountAndFromPatternsSeeTheVariablesInScope) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  // One xsl:number runs with a different $t for each element, so a set
  // made for one value must not serve the next.
  ExpectAgreement(Stylesheet(
      "method=\"text\"",
      "<xsl:for-each select=\"//*[@t]\"><xsl:variable name=\"t\" select=\"@t\"/>"
      "<xsl:number count=\"*[@t = $t]\"/>,"
      "<xsl:number level=\"multiple\" count=\"*[@t = $t]\" format=\"1.1\"/>,"
      "<xsl:number level=\"any\" count=\"*[@t = $t]\"/>,"
      "<xsl:for-each select=\"self::i\"><xsl:number level=\"any\" count=\"i\" from=\"s[@t = $t]\"/></xsl:for-each>,"
      "<xsl:for-each select=\"self::i\"><xsl:number level=\"multiple\" count=\"*\" from=\"s[@t = $t]\"/></xsl:for-each>;"
      "</xsl:for-each>"));
  // Patterns of several steps, and ones that start at the root, select the
  // ancestors they number from farther up.
  ExpectAgreement(Stylesheet(
      "method=\"text\"",
      "<xsl:for-each select=\"//i\"><xsl:variable name=\"t\" select=\"string(@t)\"/>"
      "<xsl:number count=\"s/i[@t = $t]\"/>,"
      "<xsl:number level=\"multiple\" count=\"r/s[@t = $t] | i/i[@t = $t] | /r\" format=\"1.a\"/>,"
      "<xsl:number level=\"multiple\" count=\"r//i[@t != $t] | s\"/>,"
      "<xsl:number count=\"@t[. = $t]\"/>;"
      "</xsl:for-each>"));
  // Values that stay the same over several runs (a string, a number, a
  // node-set evaluated anew each time) and then change: a set made for the
  // old values must not serve the new ones.
  ExpectAgreement(Stylesheet(
      "method=\"text\"",
      "<xsl:variable name=\"type\" select=\"'a'\"/>"
      "<xsl:for-each select=\"//i\"><xsl:variable name=\"s\" select=\"ancestor::s\"/>"
      "<xsl:variable name=\"k\" select=\"count(ancestor::i) + 1\"/>"
      "<xsl:number level=\"any\" count=\"i[@t = $type]\"/>,"
      "<xsl:number level=\"any\" count=\"i[count(ancestor::s | $s) = 1]\"/>,"
      "<xsl:number count=\"i[count(ancestor::s | $s) = 1 and @t != $type]\"/>,"
      "<xsl:number level=\"any\" count=\"*[count(ancestor::*) = $k + 1]\" from=\"s[count(. | $s) = 1]\"/>;"
      "</xsl:for-each>"));
}

TEST_F(NumberingOutputTest, CountAndFromPatternsMayCallKey) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  // key() is refused only in the definition of a key, not in the patterns
  // of xsl:number, with or without variables.
  ExpectAgreement(
      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
      "<xsl:output method=\"text\"/><xsl:key name=\"k\" match=\"i\" use=\"@t\"/>\n"
      "<xsl:template match=\"/\"><xsl:for-each select=\"//i\"><xsl:variable name=\"t\" select=\"string(@t)\"/>"
      "<xsl:number level=\"any\" count=\"key('k', 'a')\"/>,"
      "<xsl:number count=\"i[count(key('k', @t)) &gt; 3]\"/>,"
      "<xsl:number level=\"multiple\" count=\"*[count(. | key('k', $t)) = count(key('k', $t))]\" from=\"key('k', 'none')\"/>;"
      "</xsl:for-each></xsl:template>\n</xsl:stylesheet>\n");
}

TEST_F(NumberingOutputTest, AttributeAndNamespaceNodesAreNumberedAfterTheirElement) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  ExpectAgreement(Stylesheet(
      "method=\"text\"",
      "<xsl:for-each select=\"//*\"><xsl:variable name=\"t\" select=\"@t\"/>"
      "<xsl:for-each select=\"@x\"><xsl:number level=\"any\" count=\"*\"/>/"
      "<xsl:number level=\"any\" count=\"*[@t = $t]\"/>/<xsl:number level=\"multiple\" count=\"*\"/>;</xsl:for-each>"
      "<xsl:for-each select=\"namespace::p\"><xsl:number level=\"any\" count=\"*\"/>/"
      "<xsl:number count=\"*[@t = $t]\"/>;</xsl:for-each>"
      "</xsl:for-each>"));
}

// XSLT 1.0 §7.7: the root node is in the ancestor-or-self axis of every
// node and matches the pattern "/". Level single goes up to it and numbers
// it 1 (no preceding siblings); level multiple lists it first among the
// ancestors; level any counts it once. xsltproc leaves the root out of
// single and multiple (it gives nothing there), which the recommendation
// does not allow, so those answers are asserted as it has them; level any
// is compared with xsltproc.
TEST_F(NumberingOutputTest, TheRootPatternCountsTheRootNode) {
  const struct {
    const char* select;
    const char* number;
    const char* expected;  // null: compared with xsltproc
  } cases[] = {
      {"/", "count=\"/\"", "[1]"},
      {"//s", "count=\"/\"", "[1][1]"},
      {"/r/s[2]/i[2]", "level=\"multiple\" count=\"/\"", "[1]"},
      {"/r/s[2]/i[2]", "level=\"multiple\" count=\"/|*\"", "[1.1.2.2]"},
      {"/r/s[2]", "level=\"multiple\" count=\"/|s\" format=\"(1)\"", "[(1.2)]"},
      {"//s", "count=\"/\" from=\"r\"", "[][]"},
      {"/ | //i", "level=\"any\" count=\"/\"", nullptr},
      {"/ | //i", "level=\"any\" count=\"/|i\"", nullptr},
  };
  for (const auto& c : cases) {
    const std::string stylesheet = Stylesheet(
        "method=\"text\"", std::string("<xsl:for-each select=\"") + c.select + "\">[<xsl:number " + c.number +
                               "/>]</xsl:for-each>");
    SCOPED_TRACE(stylesheet);
    if (!c.expected) {
      if (HaveXsltproc()) ExpectAgreement(stylesheet);
      continue;
    }
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "out.txt"}, folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(folder_.Read("out.txt"), c.expected);
  }
}

TEST_F(NumberingOutputTest, DecimalTokensInOtherScriptsAndGroupingSeparators) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  // Tokens ending in a digit one of another script (Arabic-Indic,
  // Devanagari, Thai) with that script's zeros before it, and grouping
  // separators of one character outside ASCII, beyond the basic plane, or
  // empty.
  ExpectAgreement(Stylesheet(
      "method=\"text\" encoding=\"UTF-8\"",
      "<xsl:number value=\"1234567\" format=\"&#x661;\"/>;"
      "<xsl:number value=\"7\" format=\"&#x660;&#x660;&#x661;\"/>;"
      "<xsl:number value=\"0\" format=\"&#x966;&#x967;\"/>;"
      "<xsl:number value=\"905\" format=\"&#xE51;\"/>;"
      "<xsl:number value=\"3\" format=\"21\"/>;"
      "<xsl:number value=\"1234567\" format=\"&#x661;\" grouping-separator=\"&#x66C;\" grouping-size=\"3\"/>;"
      "<xsl:number value=\"1234567\" grouping-separator=\"&#x2019;\" grouping-size=\"3\"/>;"
      "<xsl:number value=\"1234567\" grouping-separator=\"&#x1D7D8;\" grouping-size=\"2\"/>;"
      "<xsl:number value=\"1234567\" grouping-separator=\"\" grouping-size=\"3\"/>;"
      "<xsl:number value=\"1234567\" grouping-separator=\"ab\" grouping-size=\"3\"/>"));
}

TEST_F(NumberingOutputTest, HtmlElementsWithoutContentKeepTheirEndTag) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  // Empty elements of HTML (br, hr, img) are start tags alone; every other
  // element, known to HTML or not, gets its end tag.
  ExpectAgreement(Stylesheet("method=\"html\" indent=\"no\"",
                             "<html><body><p/><div/><div><span/><br/><foo/><td/><hr/><img src=\"a\"/></div>"
                             "<table><tr><td/></tr></table><p>x<b/></p></body></html>"));
  ExpectAgreement(Stylesheet("", "<html/>"));
}

// A name that states the byte order ("UTF-16BE") gets its bytes in that
// order and no byte-order mark (RFC 2781 §3.3), so that the declaration and
// the bytes agree: xmllint reads our file and xsltproc's to the same
// canonical text.
TEST_F(NumberingOutputTest, Utf16NamedWithAByteOrderIsWrittenInThatOrder) {
  if (!HaveXsltproc() || access(kXmllint, X_OK) != 0) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  for (const std::string name : {"UTF-16BE", "utf-16be", "UTF-16LE", "UTF-16"}) {
    folder_.Write("sheet.xsl", Stylesheet("encoding=\"" + name + "\"", "<o a=\"&#xE9;\">&#x1F600;<i/></o>"));
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "out.xml"}, folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err << name;
    ASSERT_EQ(KTRunProgram(kXsltproc, {"-o", "xp.xml", "sheet.xsl", "src.xml"}, folder_.Path()).status, 0);
    KTProgramResult oursRead = KTRunProgram(kXmllint, {"--c14n", "out.xml"}, folder_.Path());
    EXPECT_EQ(oursRead.status, 0) << oursRead.err << name;
    EXPECT_EQ(oursRead.out, KTRunProgram(kXmllint, {"--c14n", "xp.xml"}, folder_.Path()).out) << name;
    if (name == "UTF-16BE") {
      EXPECT_EQ(folder_.Read("out.xml").substr(0, 4), std::string("\0<\0?", 4));
    }
  }
}

}  // namespace
