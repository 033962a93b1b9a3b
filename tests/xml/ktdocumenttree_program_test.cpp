// Documents loaded by the program and copied by the identity transform,
// compared with xsltproc's copy: the tree build's shortcut for elements
// whose content is empty or one text (KTParserDriver::BuildPlainElement)
// must give the tree the general build gives, beside every other shape; and
// attributes that the view shows from their pending block read as xsltproc
// reads them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

bool HaveXsltproc() { return std::system("xsltproc --version >/dev/null 2>&1") == 0; }

TEST(DocumentTreeProgramTest, ElementsOfEveryContentShapeCopyAsXsltprocCopiesThem) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const documents[] = {
      // Empty content, one text, blank text, attributes with and without text.
      "<r><a/><b></b><c>t</c><d> </d><e x='1'>t</e><f x='1' y=\"2\"></f><g x=''/></r>",
      // One text holding references, CDATA, a comment or a PI instead of text.
      "<r><a>&lt;&#65;&amp;</a><b><![CDATA[c<]]></b><c><!--m--></c><d><?p q?></d><e>a<![CDATA[b]]>c</e></r>",
      // Plain elements beside and inside elements with more in them.
      "<r>x<a>1</a>y<b><c>2</c><d/></b><e>3<f/>4</e>\n  <g>\u00e9</g>\n</r>",
      // Namespaced names, declarations on plain elements, the root plain.
      "<p:r xmlns:p='urn:p'><p:a xmlns:q='urn:q' q:x='1'>t</p:a><a xmlns='urn:d'>u</a></p:r>",
      "<r x='1'>only</r>",
      "<r/>",
      // A DTD whose defaults and entities reach plain elements.
      "<!DOCTYPE r [<!ATTLIST a d CDATA 'dv'><!ENTITY e 'ent'>]><r><a>&e;</a><a d='given'/><b>&e;&e;</b></r>",
  };
  KTScratchFolder folder;
  folder.Write("id.xsl", kKTIdentityStylesheet);
  for (const char* document : documents) {
    SCOPED_TRACE(document);
    folder.Write("d.xml", document);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "d.xml", "-out", "ours.xml"}, folder.Path());
    ASSERT_EQ(ours.status, 0) << ours.err;
    KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "theirs.xml", "id.xsl", "d.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(KTWithoutDeclaration(folder.Read("ours.xml")), KTWithoutDeclaration(folder.Read("theirs.xml")));
  }
}

// The view shows most attributes straight from their element's pending
// block, making their nodes only when something asks for one (an entity
// expansion through the DTD, here in the middle of the wrap). Names, values,
// order, identity and namespaces read through every path must be what
// xsltproc reads, for the source and for a stylesheet whose own attributes
// hold references to its DTD's entities.
TEST(DocumentTreeProgramTest, AttributesShownFromTheirBlockReadAsXsltprocReadsThem) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const document =
      "<!DOCTYPE r [<!ENTITY e 'ent'><!ATTLIST c d CDATA 'dv'>]>"
      "<r xmlns:p='urn:p'><a x='1' p:y='2' z='3'><b k='v'>t</b><b k='w' j='&#9;u\n'/></a>"
      "<c q='&e;' w='2'><d m='&e;x'/>s</c><c w='4' d='given'/>"
      "<n xmlns:q='urn:q' q:v='5' v='6'><q:o q:v='7'/></n></r>";
  struct Case {
    const char* label;
    const char* body;  // the content of xsl:template match="/"
  };
  const Case cases[] = {
      {"identity", "<xsl:copy-of select='.'/>"},
      {"names and values in order",
       "<xsl:for-each select='//@*'><xsl:value-of select='concat(name(), \"=\", ., \";\")'/></xsl:for-each>"},
      {"name tests", "<xsl:value-of select='count(//@k) + count(//@p:y) * 10 + count(//@q:v) * 100'/>"
                     "<xsl:value-of select='concat(//@z, //a/@*[2], local-name(//@p:y), namespace-uri(//@p:y))'/>"},
      {"identity of attributes",
       "<xsl:for-each select='//b'><xsl:value-of select='generate-id(@k) = generate-id(../b[@k = current()/@k]/@k)'/>"
       "<xsl:value-of select='count(@k | @j | @k)'/></xsl:for-each>"},
      {"copied one by one", "<o><xsl:for-each select='//c'><e><xsl:copy-of select='@*'/><xsl:copy-of select='@w'/>"
                            "</e></xsl:for-each></o>"},
      {"sorted by an attribute", "<xsl:for-each select='//b | //c'><xsl:sort select='@k | @w' order='descending'/>"
                                 "<xsl:value-of select='name()'/></xsl:for-each>"},
      {"parent of an attribute", "<xsl:value-of select='name(//@m/..) = \"d\" and //@m/../../@w = 2'/>"},
  };
  KTScratchFolder folder;
  folder.Write("d.xml", document);
  auto compare = [&folder] {
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "s.xsl", "-xml", "d.xml", "-out", "ours.xml"}, folder.Path());
    ASSERT_EQ(ours.status, 0) << ours.err;
    KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "theirs.xml", "s.xsl", "d.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(KTWithoutDeclaration(folder.Read("ours.xml")), KTWithoutDeclaration(folder.Read("theirs.xml")));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    folder.Write("s.xsl", std::string("<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
                                      "xmlns:p='urn:p' xmlns:q='urn:q'><xsl:template match='/'>") +
                              c.body + "</xsl:template></xsl:stylesheet>");
    compare();
  }
  // The stylesheet's own attributes: values that refer to entities of its
  // DTD, on elements with children after them.
  SCOPED_TRACE("stylesheet attributes with references");
  folder.Write("s.xsl",
               "<!DOCTYPE xsl:stylesheet [<!ENTITY sel 'a/b'><!ENTITY lt2 '&#38;#60;2'>]>"
               "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
               "<xsl:template match='/r'><xsl:for-each select='&sel;'><xsl:if test='position() &lt2;'>"
               "<i k='{@k}'><xsl:value-of select='.'/></i></xsl:if></xsl:for-each></xsl:template>"
               "</xsl:stylesheet>");
  compare();
}

}  // namespace
