// Documents loaded by the program and copied by the identity transform,
// compared with xsltproc's copy: the tree build's shortcut for elements
// whose content is empty or one text (KTParserDriver::BuildPlainElement)
// must give the tree the general build gives, beside every other shape.
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

}  // namespace
