// End-to-end tests of top-level declarations and of numbering run by the
// program: top-level elements that XSLT 1.0 has the processor ignore (foreign
// ones, unknown XSLT ones in forwards-compatible mode, in the principal
// stylesheet and in included ones), decimal formats told apart by expanded
// name, and xsl:number on large values. Every case has one answer under
// XSLT 1.0; the text output is compared with xsltproc's for the same files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";

#define XSLNS "xmlns:xsl='http://www.w3.org/1999/XSL/Transform'"

struct Case {
  const char* name;
  const char* stylesheet;
  // Further files beside the stylesheet (included stylesheets), name and text.
  std::vector<std::pair<const char*, const char*>> files;
};

class DeclarationsTest : public ::testing::Test {
 protected:
  static bool HaveXsltproc() { return access(kXsltproc, X_OK) == 0; }

  void ExpectAgreement(const Case& c) {
    folder_.Write("s.xsl", c.stylesheet);
    folder_.Write("d.xml", "<doc><item>1</item><item>2</item></doc>\n");
    for (const auto& [name, text] : c.files) folder_.Write(name, text);
    KTProgramResult ours = KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "d.xml", "-xsl", "s.xsl", "-out", "o.txt"},
                                        folder_.Path());
    ASSERT_EQ(ours.status, 0) << c.name << ": " << ours.err;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "p.txt", "s.xsl", "d.xml"}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << c.name << ": " << theirs.err;
    EXPECT_EQ(folder_.Read("o.txt"), folder_.Read("p.txt")) << c.name;
  }

  // For XML results: both outputs are reduced by xsltproc to their expanded
  // names, attributes (sorted) and text, so that the prefixes each processor
  // picks do not count.
  void ExpectSameNames(const std::string& stylesheet,
                       const std::vector<std::pair<const char*, const char*>>& files = {}) {
    static const char* const kDump =
        "<xsl:stylesheet version='1.0' " XSLNS "><xsl:output method='text'/>"
        "<xsl:template match='*'>[{<xsl:value-of select='namespace-uri()'/>}<xsl:value-of select='local-name()'/>"
        "<xsl:for-each select='@*'><xsl:sort select='concat(namespace-uri(), \" \", local-name())'/>"
        " {<xsl:value-of select='namespace-uri()'/>}<xsl:value-of select='local-name()'/>="
        "<xsl:value-of select='.'/></xsl:for-each><xsl:apply-templates/>]</xsl:template>"
        "</xsl:stylesheet>";
    folder_.Write("s.xsl", stylesheet);
    folder_.Write("dump.xsl", kDump);
    folder_.Write("d.xml", "<doc/>\n");
    for (const auto& [name, text] : files) folder_.Write(name, text);
    KTProgramResult ours = KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "d.xml", "-xsl", "s.xsl", "-out", "o.xml"},
                                        folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "p.xml", "s.xsl", "d.xml"}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    KTProgramResult a = KTRunProgram(kXsltproc, {"dump.xsl", "o.xml"}, folder_.Path());
    KTProgramResult b = KTRunProgram(kXsltproc, {"dump.xsl", "p.xml"}, folder_.Path());
    ASSERT_EQ(a.status, 0) << a.err << folder_.Read("o.xml");
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out) << folder_.Read("o.xml");
  }

  KTScratchFolder folder_;
};

TEST_F(DeclarationsTest, IgnoredTopLevelElementsAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const std::vector<Case> cases = {
      {"XSLT elements inside a foreign top-level element are neither checked nor run",
       "<xsl:stylesheet version='1.0' " XSLNS " xmlns:x='urn:x'>"
       "<xsl:output method='text'/>"
       "<xsl:template match='/'>Hello <xsl:value-of select='count(//item)'/></xsl:template>"
       "<x:ignore><xsl:template match='/'>wrong</xsl:template><xsl:param name='p'/>"
       "<xsl:when test='1'/><xsl:sort/>text</x:ignore>"
       "</xsl:stylesheet>",
       {}},
      {"an unknown XSLT top-level element in forwards-compatible mode is ignored with its content",
       "<xsl:stylesheet version='2.0' " XSLNS " xmlns:t='urn:t'>"
       "<xsl:output method='text'/>"
       "<xsl:template match='/'><xsl:value-of select=\"function-available('t:f')\"/></xsl:template>"
       "<xsl:function name='t:f'><xsl:param name='x'/><xsl:sequence select='$x'/></xsl:function>"
       "</xsl:stylesheet>",
       {}},
      {"attributes unknown to XSLT 1.0 are ignored in forwards-compatible mode",
       "<xsl:stylesheet version='2.0' " XSLNS " xpath-default-namespace='urn:x'>"
       "<xsl:output method='text' html-version='5'/>"
       "<xsl:template name='empty'/>"
       "<xsl:template match='/' as='xs:string'><xsl:apply-templates select='doc' name='empty'/>"
       "<xsl:value-of select='1' separator=','/><xsl:text separator=','>ok</xsl:text></xsl:template>"
       "</xsl:stylesheet>",
       {}},
      {"a foreign top-level element of an included stylesheet is ignored",
       "<xsl:stylesheet version='1.0' " XSLNS ">"
       "<xsl:include href='inc.xsl'/>"
       "<xsl:output method='text'/>"
       "<xsl:template match='/'><xsl:value-of select='$v'/></xsl:template>"
       "</xsl:stylesheet>",
       {{"inc.xsl",
         "<xsl:stylesheet version='1.0' " XSLNS " xmlns:f='urn:f' extension-element-prefixes='f'>"
         "<f:function name='f:g'><xsl:param name='n'/><f:result select='$n'/></f:function>"
         "<xsl:variable name='v' select='2'/>"
         "</xsl:stylesheet>"}}},
  };
  for (const Case& c : cases) ExpectAgreement(c);
}

TEST_F(DeclarationsTest, AlphabeticNumberingOfLargeValuesAgreesWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  // Values around the 32-bit limit and up to 2^53 are numbered in full.
  ExpectAgreement({"alphabetic numbering",
                   "<xsl:stylesheet version='1.0' " XSLNS ">"
                   "<xsl:output method='text'/>"
                   "<xsl:template match='/'>"
                   "<xsl:for-each select='(//node())[1]'>"
                   "<xsl:number format='a' value='1'/>,<xsl:number format='a' value='702'/>,"
                   "<xsl:number format='a' value='703'/>,<xsl:number format='A' value='2147483647'/>,"
                   "<xsl:number format='a' value='2147483648'/>,<xsl:number format='a' value='8031810176'/>,"
                   "<xsl:number format='A' value='9007199254740992'/>,<xsl:number format='a' value='3.51'/>"
                   "</xsl:for-each>"
                   "</xsl:template>"
                   "</xsl:stylesheet>",
                   {}});
}

TEST_F(DeclarationsTest, NamespaceAliasesRenameByNamespaceNotByPrefix) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  // Aliased: the no-namespace default, and urn:a under either prefix.
  // Not aliased: an unprefixed element under another default namespace, a
  // prefix of an aliased namespace rebound to another URI, and unprefixed
  // attributes.
  ExpectSameNames(
      "<xsl:stylesheet version='1.0' " XSLNS " xmlns:a='urn:a' xmlns:r='urn:r'>"
      "<xsl:namespace-alias stylesheet-prefix='a' result-prefix='r'/>"
      "<xsl:namespace-alias stylesheet-prefix='#default' result-prefix='r'/>"
      "<xsl:template match='/'>"
      "<root><b:x xmlns:b='urn:a' b:at='1'><a:y a:z='2' plain='3'/></b:x>"
      "<o xmlns='urn:other'><p/></o><a:q xmlns:a='urn:not-a'/></root>"
      "</xsl:template>"
      "</xsl:stylesheet>");
  // A result prefix of #default with no default namespace in scope of the
  // alias: the elements land in no namespace.
  ExpectSameNames(
      "<xsl:stylesheet version='1.0' " XSLNS " xmlns:h='urn:h'>"
      "<xsl:namespace-alias stylesheet-prefix='h' result-prefix='#default'/>"
      "<xsl:template match='/'><h:page><h:part/></h:page></xsl:template>"
      "</xsl:stylesheet>");
  // Aliases of one namespace in an imported and in the importing stylesheet:
  // the importing one's, of higher import precedence, is used.
  ExpectSameNames(
      "<xsl:stylesheet version='1.0' " XSLNS " xmlns:a='urn:a' xmlns:r='urn:r2'>"
      "<xsl:import href='imp.xsl'/>"
      "<xsl:namespace-alias stylesheet-prefix='a' result-prefix='r'/>"
      "<xsl:template match='/'><a:x/></xsl:template>"
      "</xsl:stylesheet>",
      {{"imp.xsl",
        "<xsl:stylesheet version='1.0' " XSLNS " xmlns:a='urn:a' xmlns:r='urn:r1'>"
        "<xsl:namespace-alias stylesheet-prefix='a' result-prefix='r'/>"
        "</xsl:stylesheet>"}});
  // An alias declared in an included stylesheet, resolved there: urn:a goes
  // to that stylesheet's default namespace, prefixed attributes included
  // (they keep the namespace under some prefix), in the templates of both.
  ExpectSameNames(
      "<xsl:stylesheet version='1.0' " XSLNS " xmlns:p='urn:a' xmlns='urn:main'>"
      "<xsl:include href='inc.xsl'/>"
      "<xsl:template match='/'><top><p:e p:at='1' plain='2'/><xsl:apply-templates/></top></xsl:template>"
      "</xsl:stylesheet>",
      {{"inc.xsl",
        "<xsl:stylesheet version='1.0' " XSLNS " xmlns:z='urn:a' xmlns:p='urn:p' xmlns='urn:inc'>"
        "<xsl:namespace-alias stylesheet-prefix='z' result-prefix='#default'/>"
        "<xsl:template match='doc'><z:f z:b='3'/><p:g/><h/></xsl:template>"
        "</xsl:stylesheet>"}});
}

}  // namespace

// Top-level bindings are visible in every module (XSLT 1.0 §11.4), whatever
// order the modules' declarations run in; and an xsl:fallback met outside an
// element performing fallback does nothing (XSLT 1.0 §15).
TEST_F(DeclarationsTest, BindingsAcrossModulesAndPlainFallbackAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const std::vector<Case> cases = {
      {"an imported module's variable refers to a parameter only its importer declares",
       "<xsl:stylesheet version='1.0' " XSLNS ">"
       "<xsl:import href='imp.xsl'/>"
       "<xsl:output method='text'/>"
       "<xsl:param name='base' select=\"'B'\"/>"
       "<xsl:variable name='mid' select='2'/>"
       "<xsl:template match='/'><xsl:value-of select='$derived'/></xsl:template>"
       "</xsl:stylesheet>",
       {{"imp.xsl",
         "<xsl:stylesheet version='1.0' " XSLNS ">"
         "<xsl:variable name='derived' select=\"concat($base, '-', $mid)\"/>"
         "</xsl:stylesheet>"},
        {"mid.xsl",
         "<xsl:stylesheet version='1.0' " XSLNS ">"
         "<xsl:import href='imp.xsl'/>"
         "<xsl:variable name='mid' select='count(//item)'/>"
         "</xsl:stylesheet>"}}},
      {"two levels of imports refer to the outermost and the middle module",
       "<xsl:stylesheet version='1.0' " XSLNS ">"
       "<xsl:import href='mid.xsl'/>"
       "<xsl:output method='text'/>"
       "<xsl:param name='base' select=\"'B'\"/>"
       "<xsl:template match='/'><xsl:value-of select='$derived'/></xsl:template>"
       "</xsl:stylesheet>",
       {{"imp.xsl",
         "<xsl:stylesheet version='1.0' " XSLNS ">"
         "<xsl:variable name='derived' select=\"concat($base, '-', $mid)\"/>"
         "</xsl:stylesheet>"},
        {"mid.xsl",
         "<xsl:stylesheet version='1.0' " XSLNS ">"
         "<xsl:import href='imp.xsl'/>"
         "<xsl:variable name='mid' select='count(//item)'/>"
         "</xsl:stylesheet>"}}},
      {"a customization layer overrides a parameter that the imported module's other bindings use",
       "<xsl:stylesheet version='1.0' " XSLNS ">"
       "<xsl:import href='base.xsl'/>"
       "<xsl:output method='text'/>"
       "<xsl:param name='font' select=\"'DejaVu'\"/>"
       "<xsl:template match='/'><xsl:value-of select=\"concat($fontset, ' ', $early, ' ', $size)\"/></xsl:template>"
       "</xsl:stylesheet>",
       {{"base.xsl",
         "<xsl:stylesheet version='1.0' " XSLNS ">"
         "<xsl:import href='sizes.xsl'/>"
         "<xsl:param name='font' select=\"'serif'\"/>"
         "<xsl:param name='fontset' select=\"concat($font, ',Symbol')\"/>"
         "<xsl:variable name='early' select=\"concat($late, '!')\"/>"
         "<xsl:variable name='late'><xsl:value-of select='$fontset'/>/<xsl:value-of select='$size'/></xsl:variable>"
         "<xsl:param name='size' select='12'/>"
         "</xsl:stylesheet>"},
        {"sizes.xsl",
         "<xsl:stylesheet version='1.0' " XSLNS ">"
         "<xsl:param name='size' select='10'/>"
         "<xsl:variable name='unused' select='$font'/>"
         "</xsl:stylesheet>"}}},
      {"xsl:fallback in a known instruction, a literal element and a template does nothing",
       "<xsl:stylesheet version='1.0' " XSLNS "><xsl:output method='text'/>"
       "<xsl:template match='/'><xsl:if test='1'><xsl:fallback>no</xsl:fallback>yes</xsl:if>"
       "<r><xsl:fallback>no</xsl:fallback></r><xsl:fallback>no</xsl:fallback>.</xsl:template>"
       "</xsl:stylesheet>",
       {}},
  };
  for (const Case& c : cases) ExpectAgreement(c);
}

// A result tree fragment lives as long as some binding holds its value:
// bound again on every pass of a loop, passed down through parameters of
// recursive calls, kept in a global, held by a variable after the loop that
// built the others has gone on. A layer with many bindings (past the point
// where a layer indexes its names) finds each one.
TEST_F(DeclarationsTest, FragmentsAndManyBindingsAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const std::vector<Case> cases = {
      {"a fragment bound anew on each pass, copied and read as a string",
       "<xsl:stylesheet version='1.0' " XSLNS "><xsl:output method='xml' omit-xml-declaration='yes'/>"
       "<xsl:variable name='g'><g a='1'>global<xsl:value-of select='count(//item)'/></g></xsl:variable>"
       "<xsl:template match='/'><out><xsl:for-each select='//item'>"
       "<xsl:variable name='f'><x n='{.}'><y><xsl:value-of select='. * 10'/></y></x></xsl:variable>"
       "<xsl:copy-of select='$f'/>[<xsl:value-of select='$f'/>]</xsl:for-each>"
       "<xsl:copy-of select='$g'/></out></xsl:template>"
       "</xsl:stylesheet>",
       {}},
      {"fragments passed down a recursion and back up as copies",
       "<xsl:stylesheet version='1.0' " XSLNS "><xsl:output method='xml' omit-xml-declaration='yes'/>"
       "<xsl:template name='down'><xsl:param name='n'/><xsl:param name='acc'/>"
       "<xsl:choose><xsl:when test='$n &gt; 0'><xsl:call-template name='down'>"
       "<xsl:with-param name='n' select='$n - 1'/>"
       "<xsl:with-param name='acc'><a d='{$n}'><xsl:copy-of select='$acc'/></a></xsl:with-param>"
       "</xsl:call-template></xsl:when><xsl:otherwise><xsl:copy-of select='$acc'/>"
       "<s><xsl:value-of select='string-length($acc)'/></s></xsl:otherwise></xsl:choose></xsl:template>"
       "<xsl:template match='/'><out><xsl:variable name='kept'><k>kept</k></xsl:variable>"
       "<xsl:call-template name='down'><xsl:with-param name='n' select='6'/>"
       "<xsl:with-param name='acc'><start/></xsl:with-param></xsl:call-template>"
       "<xsl:for-each select='//item'><xsl:variable name='t'><t><xsl:value-of select='.'/></t></xsl:variable>"
       "<xsl:value-of select='$t'/></xsl:for-each><xsl:copy-of select='$kept'/></out></xsl:template>"
       "</xsl:stylesheet>",
       {}},
      {"twelve parameters of one template, each read back",
       "<xsl:stylesheet version='1.0' " XSLNS "><xsl:output method='text'/>"
       "<xsl:template name='t'><xsl:param name='p1'/><xsl:param name='p2'/><xsl:param name='p3'/>"
       "<xsl:param name='p4'/><xsl:param name='p5'/><xsl:param name='p6'/><xsl:param name='p7'/>"
       "<xsl:param name='p8'/><xsl:param name='p9'/><xsl:param name='p10'/><xsl:param name='p11'/>"
       "<xsl:param name='p12' select='12'/>"
       "<xsl:value-of select='concat($p1,$p2,$p3,$p4,$p5,$p6,$p7,$p8,$p9,$p10,$p11,$p12)'/></xsl:template>"
       "<xsl:template match='/'><xsl:call-template name='t'>"
       "<xsl:with-param name='p1' select='1'/><xsl:with-param name='p2' select='2'/>"
       "<xsl:with-param name='p3' select='3'/><xsl:with-param name='p4' select='4'/>"
       "<xsl:with-param name='p5' select='5'/><xsl:with-param name='p6' select='6'/>"
       "<xsl:with-param name='p7' select='7'/><xsl:with-param name='p8' select='8'/>"
       "<xsl:with-param name='p9' select='9'/><xsl:with-param name='p10' select='10'/>"
       "<xsl:with-param name='p11'>eleven</xsl:with-param></xsl:call-template></xsl:template>"
       "</xsl:stylesheet>",
       {}},
  };
  for (const Case& c : cases) ExpectAgreement(c);
}
