// End-to-end tests of descendant, following and preceding steps with an
// element name test, which read a loaded document's list of elements by
// name instead of walking the tree: the source, a document loaded with
// document() and the stylesheet itself, with names in and out of
// namespaces (one namespace under two prefixes, one local name in several
// namespaces), nested elements of one name (ancestors that preceding::
// leaves out), steps limited by a first numeric predicate or a first
// comparison of position() with a number (on every axis), and steps from
// elements, comments, text and processing instructions. Outputs are
// compared with xsltproc's. Steps from attributes are left out: xsltproc
// leaves the parent's descendants out of an attribute's following axis.
// Also the memory the lists take: only the names asked for are listed.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <string>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

bool HaveXsltproc() { return std::system("xsltproc --version >/dev/null 2>&1") == 0; }

// Elements of one local name in no namespace, in urn:a (as p: and as the
// default namespace) and in urn:b, nested in one another, with attributes,
// text, comments and processing instructions between them.
const char* const kSource =
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE r [<!ELEMENT x ANY>]>\n"
    "<r xmlns:p=\"urn:a\" xmlns:q=\"urn:b\">\n"
    "  <x id=\"1\"><x id=\"2\">t<!--c--><p:x id=\"3\"/></x><y id=\"4\"><x id=\"5\"/></y></x>\n"
    "  <s xmlns=\"urn:a\"><x id=\"6\"><x id=\"7\"/></x><q:x id=\"8\"/></s>\n"
    "  <?pi x?><y id=\"9\">text<x id=\"10\" at=\"v\"><x id=\"11\"><x id=\"12\"/></x></x></y>\n"
    "  <p:y id=\"13\"><x id=\"14\"/><p:x id=\"15\"/></p:y><x id=\"16\"/>\n"
    "</r>\n";

const char* const kOther = "<o><x id=\"o1\"><x id=\"o2\"/></x><z><x id=\"o3\"/></z></o>\n";

// Each listed expression, evaluated from every node the driver visits,
// printed as the ids of its nodes (or its value) on a line of its own.
const char* const kStylesheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"\n"
    "    xmlns:a=\"urn:a\" xmlns:p=\"urn:a\" xmlns:b=\"urn:b\">\n"
    "<xsl:output method=\"text\"/>\n"
    "<xsl:template match=\"/\">\n"
    "  <xsl:for-each select=\"//*\">\n"
    "    <xsl:value-of select=\"concat(name(), '|', @id)\"/>:\n"
    "    <xsl:call-template name=\"steps\"/>\n"
    "  </xsl:for-each>\n"
    "  <xsl:for-each select=\"//text()[normalize-space()] | //comment() | //processing-instruction()\">\n"
    "    <xsl:value-of select=\"concat(name(), '|', .)\"/>:\n"
    "    <xsl:call-template name=\"steps\"/>\n"
    "  </xsl:for-each>\n"
    "  <xsl:for-each select=\"document('other.xml')//node()\">\n"
    "    <xsl:value-of select=\"name()\"/>:\n"
    "    <xsl:call-template name=\"steps\"/>\n"
    "  </xsl:for-each>\n"
    "  <xsl:for-each select=\"document('')//xsl:call-template\">\n"
    "    <xsl:value-of select=\"count(preceding::xsl:for-each)\"/>,"
    "<xsl:value-of select=\"count(following::xsl:template)\"/>,"
    "<xsl:value-of select=\"count(ancestor::xsl:template/descendant::xsl:value-of)\"/>\n"
    "  </xsl:for-each>\n"
    "  <xsl:value-of select=\"count(//x)\"/>,<xsl:value-of select=\"count(//a:x)\"/>,"
    "<xsl:value-of select=\"count(//p:x | //b:x)\"/>,<xsl:value-of select=\"count(//nothing)\"/>\n"
    "</xsl:template>\n"
    "<xsl:template name=\"ids\">\n"
    "  <xsl:param name=\"nodes\"/>\n"
    "  <xsl:for-each select=\"$nodes\"><xsl:value-of select=\"@id\"/>;</xsl:for-each>\n"
    "  <xsl:text>/</xsl:text>\n"
    "</xsl:template>\n"
    "<xsl:template name=\"steps\">\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"descendant::x\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"descendant-or-self::x\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\".//x[2]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"descendant::a:x[1]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"descendant::x[last()]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"following::x\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"following::x[2]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"following::p:x[1]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::x\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::x[1]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::x[3]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::a:x[last()]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::b:x | following::b:x\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"../following::y[1]/following::x\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"(ancestor::*|.)/preceding::x\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"(ancestor::*|.)/following::x[1]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"following::x[position() &lt; 3]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::x[position() &lt;= 2]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding-sibling::*[position() &lt; 3]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"following-sibling::*[position() &lt;= 1]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"ancestor::*[position() &lt; 2]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"descendant::x[position() &lt; 1]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"descendant::x[position() &lt; 2.5]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::x[position() &lt; 3][2]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"following::x[@id &gt; 5][position() &lt; 2]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"descendant-or-self::*[position() &lt;= 0]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"preceding::*[position() &lt; 1000000]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"following::x[position() &gt; 2]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"(preceding-sibling::*|following-sibling::*)[position() &lt; 3]\"/></xsl:call-template>\n"
    "  <xsl:call-template name=\"ids\"><xsl:with-param name=\"nodes\" select=\"ancestor-or-self::*[position() &lt;= 2]/@id/..\"/></xsl:call-template>\n"
    "  <xsl:value-of select=\"count(preceding::x) + count(following::x) + count(ancestor::x) + count(descendant::x)\"/>\n"
    "  <xsl:text>&#10;</xsl:text>\n"
    "</xsl:template>\n"
    "</xsl:stylesheet>\n";

TEST(NamedStepsProgramTest, AgreeWithXsltprocInEveryLoadedDocument) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not available";
  KTScratchFolder folder;
  folder.Write("s.xml", kSource);
  folder.Write("other.xml", kOther);
  folder.Write("t.xsl", kStylesheet);
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "t.xsl", "-xml", "s.xml", "-out", "r.out"}, folder.Path());
  ASSERT_EQ(ours.status, 0) << ours.err;
  KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", "t.xsl", "s.xml"}, folder.Path());
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(folder.Read("r.out"), folder.Read("p.out"));
}

// The largest resident size, in kilobytes, of the child processes waited
// for so far.
long ChildrenPeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_maxrss;
}

// A document of 300,000 elements of distinct names: a step by the name x
// lists the one x, not a list for each of the other names, so its run needs
// little more memory than a run that asks for no name (a list per name took
// a fifth more than the whole run).
TEST(NamedStepsProgramTest, ListsOnlyTheNamesAskedFor) {
  KTScratchFolder folder;
  std::string source = "<r>";
  for (int i = 0; i < 300000; ++i) source += "<n" + std::to_string(i) + "/>";
  source += "<x/></r>";
  folder.Write("s.xml", source);
  auto sheet = [](const std::string& select) {
    return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
           "<xsl:output method=\"text\"/><xsl:template match=\"/\"><xsl:value-of select=\"" +
           select + "\"/></xsl:template></xsl:stylesheet>";
  };
  folder.Write("plain.xsl", sheet("count(/r/*)"));
  folder.Write("named.xsl", sheet("count(//x) + count(/r/following::x)"));
  KTProgramResult plain =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "plain.xsl", "-xml", "s.xml", "-out", "p.out"}, folder.Path());
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(folder.Read("p.out"), "300001");
  const long plainPeak = ChildrenPeakKilobytes();
  KTProgramResult named =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "named.xsl", "-xml", "s.xml", "-out", "n.out"}, folder.Path());
  ASSERT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(folder.Read("n.out"), "1");
  // The peak so far is at least the plain run's; a tenth more is room for
  // the list of x and the run's own variation.
  EXPECT_LE(ChildrenPeakKilobytes(), plainPeak + plainPeak / 10);
}

}  // namespace
