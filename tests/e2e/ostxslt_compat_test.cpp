// End-to-end tests of what XSLT 1.0 has the processor let pass, run by the
// program: forwards-compatible mode (unknown attributes and top-level
// elements ignored, unknown instructions and extension elements running
// their xsl:fallback children or failing when instantiated without one) and
// xsl:attribute instructions the processor may ignore, with a warning.
// Outputs are compared with xsltproc's where XSLT 1.0 allows one result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";

std::string Sheet(const std::string& version, const std::string& body, const std::string& attributes = "") {
  return "<xsl:stylesheet version='" + version + "' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'" + attributes +
         ">\n" + body + "</xsl:stylesheet>\n";
}

class CompatTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_.Write("d.xml", "<doc n='v'><i>1</i><i>2</i></doc>\n"); }

  KTProgramResult Run(const std::string& stylesheet) {
    folder_.Write("s.xsl", stylesheet);
    return KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "d.xml", "-xsl", "s.xsl", "-out", "o.txt"}, folder_.Path());
  }

  void ExpectAgreement(const std::string& stylesheet) {
    KTProgramResult ours = Run(stylesheet);
    ASSERT_EQ(ours.status, 0) << ours.err << stylesheet;
    if (access(kXsltproc, X_OK) != 0) return;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "p.txt", "s.xsl", "d.xml"}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(KTWithoutDeclaration(folder_.Read("o.txt")), KTWithoutDeclaration(folder_.Read("p.txt"))) << stylesheet;
  }

  // Our run fails, naming `what` in its message, and writes no output.
  void ExpectError(const std::string& stylesheet, const std::string& what) {
    KTProgramResult ours = Run(stylesheet);
    EXPECT_EQ(ours.status, 1) << stylesheet;
    EXPECT_NE(ours.err.find(what), std::string::npos) << ours.err;
    EXPECT_FALSE(folder_.Exists("o.txt"));
  }

  KTScratchFolder folder_;
};

TEST_F(CompatTest, ForwardsCompatibleModeIgnoresWhatItDoesNotKnow) {
  const std::string cases[] = {
      // Unknown attributes of XSLT elements, top level and in templates.
      Sheet("2.0",
            "<xsl:output method='text' new-attr='x'/>\n<xsl:template match='/' also='y'>"
            "<xsl:value-of select='count(//i)' separator=','/><xsl:if test='1' new='1'>c</xsl:if>"
            "<xsl:for-each select='//i' z='1'><xsl:sort select='.' stable='yes'/><xsl:value-of select='.'/>"
            "</xsl:for-each></xsl:template>\n"),
      // An unknown top-level element, with content that would not compile.
      Sheet("2.0",
            "<xsl:output method='text'/>\n<xsl:frob-top><xsl:value-of/></xsl:frob-top>\n"
            "<xsl:template match='/'>a</xsl:template>\n"),
      // Unknown instructions: every xsl:fallback child runs, in order; one
      // that is never instantiated is no error.
      Sheet("2.0",
            "<xsl:output method='text'/>\n<xsl:template match='/'>a<xsl:frob><xsl:fallback>f1</xsl:fallback><x/>"
            "<xsl:fallback>f2<xsl:value-of select='count(//i)'/></xsl:fallback></xsl:frob>b"
            "<xsl:if test='false()'><xsl:frob/></xsl:if>"
            "<xsl:choose><xsl:when test='1'>w</xsl:when><xsl:frob/></xsl:choose></xsl:template>\n"),
      // xsl:version on a literal result element, in a 1.0 stylesheet and
      // as the whole stylesheet.
      Sheet("1.0",
            "<xsl:template match='/'><out xsl:version='2.0'><xsl:value-of select='1' separator=','/>"
            "<xsl:frob><xsl:fallback>fb</xsl:fallback></xsl:frob></out></xsl:template>\n"),
      "<out xsl:version='2.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
      "<xsl:value-of select='count(//i)' separator=','/><xsl:frob><xsl:fallback>fb</xsl:fallback></xsl:frob></out>\n",
      // Extension elements: every xsl:fallback child runs; one never
      // instantiated is no error.
      Sheet("1.0",
            "<xsl:output method='text'/>\n<xsl:template match='/'>a<e:thing><xsl:fallback>f1</xsl:fallback>"
            "<xsl:fallback>f2</xsl:fallback></e:thing><xsl:if test='false()'><e:thing/></xsl:if>b</xsl:template>\n",
            " xmlns:e='urn:ext' extension-element-prefixes='e'"),
  };
  for (const std::string& stylesheet : cases) ExpectAgreement(stylesheet);
}

// XSLT 1.0 §2.5: in forwards-compatible mode an expression that does not
// compile is an error only where its element is instantiated, which here it
// never is, at either place of the same text (xsltproc refuses the
// stylesheet, so the output is checked as XSLT 1.0 gives it).
TEST_F(CompatTest, AnExpressionThatDoesNotCompileWaitsAtEachPlace) {
  const std::string bad = "<xsl:if test='false()'><xsl:value-of select='for $x in //i return $x'/></xsl:if>";
  KTProgramResult ours =
      Run(Sheet("2.0", "<xsl:output method='text'/>\n<xsl:template match='/'>a" + bad + "b" + bad +
                           "<xsl:value-of select='count(//i)'/></xsl:template>\n"));
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(folder_.Read("o.txt"), "ab2");
}

TEST_F(CompatTest, WithoutFallbackAnInstantiatedUnknownElementIsAnError) {
  // XSLT 1.0 §2.5: "if the element has one or more xsl:fallback children,
  // then the content of each of the xsl:fallback children must be
  // instantiated in sequence; otherwise, an error must be signaled"
  // (xsltproc reports it and goes on); §15 says the same of extension
  // elements, where xsltproc fails too.
  ExpectError(Sheet("2.0", "<xsl:output method='text'/>\n<xsl:template match='/'>a<xsl:frob/>b</xsl:template>\n"),
              "xsl:frob");
  ExpectError("<out xsl:version='2.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'><xsl:frob/></out>\n",
              "xsl:frob");
  ExpectError(Sheet("1.0", "<xsl:template match='/'>a<e:thing><x/></e:thing>b</xsl:template>\n",
                    " xmlns:e='urn:ext' extension-element-prefixes='e'"),
              "e:thing");
  // A literal result element's xsl:extension-element-prefixes counts too.
  ExpectError(Sheet("1.0", "<xsl:template match='/'><r xmlns:e='urn:ext' xsl:extension-element-prefixes='e'>"
                           "<e:thing/></r></xsl:template>\n"),
              "e:thing");
}

TEST_F(CompatTest, IgnoredAttributeInstructionsWarnWithTheirPlace) {
  // XSLT 1.0 §7.1.3 lets the processor ignore an attribute added after
  // children or to a node that is not an element, one named xmlns, and the
  // nodes other than text that xsl:attribute's content makes; copied
  // attributes are added alike. Each ignored
  // instruction is named with its place, once however often it runs; the
  // output is what xsltproc makes of the stylesheet without them (xsltproc
  // stops at them).
  const struct {
    const char* instruction;
    const char* warning;
  } ignored[] = {
      {"<xsl:attribute name='late'>1</xsl:attribute>", "\"late\" is ignored: its element has children already"},
      {"<xsl:attribute name='{\"xmlns\"}'>2</xsl:attribute>", "\"xmlns\" is ignored: xmlns is not an attribute name"},
      {"<xsl:comment><xsl:attribute name='inside'/>c</xsl:comment>",
       "\"inside\" is ignored: it is not added to an element"},
      {"<xsl:for-each select='//i'><xsl:attribute name='top'/></xsl:for-each>",
       "\"top\" is ignored: it is not added to an element"},
  };
  std::string with = Sheet("1.0", "<xsl:template match='/'>\n<r a='0'>text\n" + std::string(ignored[0].instruction) +
                                      "</r>\n<s>" + ignored[1].instruction + "</s>\n" + ignored[2].instruction +
                                      "\n" + ignored[3].instruction + "\n<t><xsl:attribute name='mixed'>a<x/>b" +
                                      "</xsl:attribute></t>\n</xsl:template>\n");
  std::string without = Sheet("1.0",
                              "<xsl:template match='/'>\n<r a='0'>text\n</r>\n<s/>\n<xsl:comment>c</xsl:comment>\n\n"
                              "<t><xsl:attribute name='mixed'>ab</xsl:attribute></t>\n</xsl:template>\n");
  KTProgramResult ours = Run(with);
  ASSERT_EQ(ours.status, 0) << ours.err;
  const std::string place = "Warning: in " + folder_.File("s.xsl") + " at line ";
  for (int i = 0; i < 4; ++i) {
    std::string line = place + std::to_string(i + 4) + " character ";
    std::string warning = std::string("xsl:attribute named ") + ignored[i].warning;
    size_t at = ours.err.find(warning);
    ASSERT_NE(at, std::string::npos) << warning << "\n" << ours.err;
    size_t lineStart = ours.err.rfind('\n', at);
    EXPECT_EQ(ours.err.compare(lineStart == std::string::npos ? 0 : lineStart + 1, line.size(), line), 0)
        << line << "\n" << ours.err;
    EXPECT_EQ(ours.err.find(warning, at + warning.size()), std::string::npos) << "warned twice\n" << ours.err;
  }
  EXPECT_NE(ours.err.find("\"mixed\": the nodes other than text that its content made are ignored"),
            std::string::npos)
      << ours.err;
  std::string output = folder_.Read("o.txt");
  // Attributes that xsl:copy and xsl:copy-of would add in such places.
  KTProgramResult copies =
      Run(Sheet("1.0", "<xsl:template match='/'>\n<r>t<xsl:copy-of select='doc/i'/>\n"
                       "<xsl:copy-of select='doc/@n'/>\n<xsl:for-each select='doc/@n'><xsl:copy/></xsl:for-each>"
                       "</r>\n</xsl:template>\n"));
  ASSERT_EQ(copies.status, 0) << copies.err;
  EXPECT_NE(copies.err.find(place + "4 character 1: xsl:copy-of of the attribute \"n\" is ignored: its element "
                                    "has children already"),
            std::string::npos)
      << copies.err;
  EXPECT_NE(copies.err.find(place + "5 character 31: xsl:copy of the attribute \"n\" is ignored"), std::string::npos)
      << copies.err;
  if (access(kXsltproc, X_OK) != 0) return;
  folder_.Write("without.xsl", without);
  KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "p.txt", "without.xsl", "d.xml"}, folder_.Path());
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(KTWithoutDeclaration(output), KTWithoutDeclaration(folder_.Read("p.txt")));
}

}  // namespace
