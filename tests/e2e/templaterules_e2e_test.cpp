// End-to-end tests of template rules: the built program runs stylesheets
// whose output depends on which rule each node gets (built-in rules,
// priorities, modes, the identity transform's pattern), and its output file
// is compared with xsltproc's output of the same stylesheet and source.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

std::string Stylesheet(const std::string& method, const std::string& body) {
  return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
         "<xsl:output method=\"" + method + "\"/>\n" + body + "\n</xsl:stylesheet>\n";
}

bool HaveXsltproc() { return std::system("xsltproc --version >/dev/null 2>&1") == 0; }

struct RuleCase {
  const char* name;
  std::string method;
  std::string body;
  std::string source;
  const char* expected;  // exact output where the issue names it, else null
};

class TemplateRulesProgramTest : public ::testing::Test {
 protected:
  // Our program's output file for the case.
  std::string Ours(const RuleCase& c) {
    folder_.Write("s.xsl", Stylesheet(c.method, c.body));
    folder_.Write("d.xml", c.source);
    KTProgramResult result =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "s.xsl", "-xml", "d.xml", "-out", "r.out"}, folder_.Path());
    EXPECT_EQ(result.status, 0) << c.name << "\n" << result.err;
    return folder_.Read("r.out");
  }
  std::string Xsltproc(const RuleCase& c) {
    KTProgramResult result = KTRunProgram("/bin/sh", {"-c", "xsltproc s.xsl d.xml"}, folder_.Path());
    return result.out;
  }

  KTScratchFolder folder_;
};

TEST_F(TemplateRulesProgramTest, RulesAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const RuleCase cases[] = {
      {"empty stylesheet", "text", "", "<r><a>x</a><b y=\"1\">z</b></r>", "xz"},
      {"priority and position", "text",
       "<xsl:template match=\"r\"><xsl:apply-templates/></xsl:template>\n"
       "<xsl:template match=\"*\">[*]</xsl:template>\n<xsl:template match=\"a\">[a]</xsl:template>",
       "<r><a/><b/></r>", "[a][*]"},
      {"built-in rules keep their mode", "text",
       "<xsl:template match=\"/\"><xsl:apply-templates mode=\"a\"/></xsl:template>\n"
       "<xsl:template match=\"x\" mode=\"a\">[xa]<xsl:apply-templates mode=\"b\"/></xsl:template>\n"
       "<xsl:template match=\"y\" mode=\"b\">[yb]</xsl:template>\n"
       "<xsl:template match=\"z\" mode=\"a\">[za]</xsl:template>\n"
       "<xsl:template match=\"z\" mode=\"b\">[zb]</xsl:template>",
       "<r><x><q><y/></q></x><z/></r>", "[xa][yb][za]"},
      {"patterns and conflicts", "text",
       "<xsl:template match=\"/\">(<xsl:apply-templates select=\"//node()|//@*\"/>)</xsl:template>\n"
       "<xsl:template match=\"a/b\">[ab]</xsl:template>\n"
       "<xsl:template match=\"b[@k]\" priority=\"1\">[bk]</xsl:template>\n"
       "<xsl:template match=\"@k\">[k=<xsl:value-of select=\".\"/>]</xsl:template>\n"
       "<xsl:template match=\"text()\">[t=<xsl:value-of select=\".\"/>]</xsl:template>\n"
       "<xsl:template match=\"comment()|processing-instruction()\">[cp]</xsl:template>",
       "<r><a><b/><b k=\"1\">x</b></a><!--c--><?p q?><b>y</b></r>", nullptr},
  };
  for (const RuleCase& c : cases) {
    std::string ours = Ours(c);
    EXPECT_EQ(ours, Xsltproc(c)) << c.name;
    if (c.expected) {
      EXPECT_EQ(ours, c.expected) << c.name;
    }
  }
}

}  // namespace
