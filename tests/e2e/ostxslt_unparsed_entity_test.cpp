// End-to-end tests of unparsed-entity-uri() run by the program: the URI of
// an unparsed entity declared in the internal subset, the external subset or
// a parameter entity it reads, made absolute against the document that
// declares it, in the source and in a document() document; and its argument
// count. Outputs are compared with xsltproc's, run on the same files named
// by absolute paths (xsltproc resolves against the name it was given).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";

class UnparsedEntityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("sub/ext.dtd",
                  "<!NOTATION GIF SYSTEM \"gif\">\n"
                  "<!ENTITY inext SYSTEM \"pics/a.gif\" NDATA GIF>\n"
                  "<!ENTITY both SYSTEM \"ext-both.gif\" NDATA GIF>\n"
                  "<!ENTITY % more SYSTEM \"deeper/more.ent\">\n%more;\n");
    folder_.Write("sub/deeper/more.ent", "<!ENTITY inpe SYSTEM \"pe.gif\" NDATA GIF>\n");
    // The internal subset's declaration of "both" binds: it is read first
    // (XML 1.0 §4.2).
    folder_.Write("doc.xml",
                  "<!DOCTYPE doc SYSTEM \"sub/ext.dtd\" [\n"
                  "<!ENTITY inint SYSTEM \"img/b.gif\" NDATA GIF>\n"
                  "<!ENTITY both SYSTEM \"int-both.gif\" NDATA GIF>\n"
                  "<!ENTITY pub PUBLIC \"-//X//Y\" \"../up.gif\" NDATA GIF>\n"
                  "<!ENTITY abs SYSTEM \"http://example.org/x.gif\" NDATA GIF>\n"
                  "<!ENTITY parsed \"text\">\n"
                  "]>\n<doc ref=\"inint\"/>\n");
    folder_.Write("other/o.xml",
                  "<!DOCTYPE o [<!NOTATION GIF SYSTEM \"gif\"><!ENTITY pic SYSTEM \"o.gif\" NDATA GIF>]>\n<o/>\n");
  }

  void ExpectAgreement(const std::string& body) {
    folder_.Write("u.xsl",
                  "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                  "<xsl:output method='text'/><xsl:template match='/'>" +
                      body + "</xsl:template></xsl:stylesheet>");
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "doc.xml", "-xsl", "u.xsl", "-out", "o.txt"}, folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err;
    if (access(kXsltproc, X_OK) != 0) GTEST_SKIP() << "xsltproc is not installed";
    KTProgramResult theirs =
        KTRunProgram(kXsltproc, {"-o", "p.txt", folder_.File("u.xsl"), folder_.File("doc.xml")}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(folder_.Read("o.txt"), folder_.Read("p.txt")) << body;
  }

  KTScratchFolder folder_;
};

TEST_F(UnparsedEntityTest, UrisAreAbsoluteAgainstTheDeclaringDocument) {
  ExpectAgreement(
      "[<xsl:value-of select=\"unparsed-entity-uri('inint')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('inext')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('both')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('inpe')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('pub')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('abs')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('parsed')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('none')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri(doc/@ref)\"/>]");
}

TEST_F(UnparsedEntityTest, TheContextNodesDocumentDeclaresTheEntity) {
  ExpectAgreement(
      "<xsl:for-each select=\"document('other/o.xml')\">"
      "[<xsl:value-of select=\"unparsed-entity-uri('pic')\"/>]"
      "[<xsl:value-of select=\"unparsed-entity-uri('inint')\"/>]</xsl:for-each>"
      "[<xsl:value-of select=\"unparsed-entity-uri('pic')\"/>]");
}

TEST_F(UnparsedEntityTest, TakesExactlyOneArgument) {
  // The error names the function.
  for (const char* call : {"unparsed-entity-uri()", "unparsed-entity-uri('a', 'b')"}) {
    folder_.Write("bad.xsl",
                  std::string("<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                              "<xsl:template match='/'><xsl:value-of select=\"") +
                      call + "\"/></xsl:template></xsl:stylesheet>");
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "doc.xml", "-xsl", "bad.xsl", "-out", "o.txt"}, folder_.Path());
    EXPECT_EQ(ours.status, 1) << call;
    EXPECT_NE(ours.err.find("parameters -> unparsed-entity-uri"), std::string::npos) << call << ": " << ours.err;
  }
}

}  // namespace
