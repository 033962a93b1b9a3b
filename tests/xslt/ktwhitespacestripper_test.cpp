// The whitespace stripper over parsed stylesheets and documents: which text
// nodes go under each rule, adjacent removals, text joined with CDATA
// sections, deep and wide trees.
#include "xslt/ktwhitespacestripper.h"

#include <gtest/gtest.h>

#include <string>

#include "ktxslttest_util.h"

namespace {

struct StripCase {
  const char16_t* text;
  bool stylesheet;
  const char* picture;  // of the document element after stripping
};

const StripCase kCases[] = {
    // Spaces, tabs and line ends go; a no-break space stays.
    {u"<a> \t\r\n<b/>\u00a0</a>", false, "ea(eb t=\u00a0)"},
    // Adjacent whitespace-only text nodes (split by a comment, then the
    // comment's own neighbours) all go.
    {u"<a> <!--c-->  <b/>  x  </a>", false, "ea(c eb t=  x  )"},
    // Text and CDATA sections side by side are one text node, judged whole.
    {u"<a><![CDATA[ ]]> <b/></a>", false, "ea(eb)"},
    {u"<a>x<![CDATA[<y>]]>z<b/><![CDATA[w]]></a>", false, "ea(t=x<y>z eb t=w)"},
    {u"<a><![CDATA[]]><b/> <![CDATA[ v ]]></a>", false, "ea(eb t=  v )"},
    {u"<xsl:text xmlns:xsl='http://www.w3.org/1999/XSL/Transform'> <![CDATA[ ]]></xsl:text>", true,
     "exsl:text(nxmlns:xsl t=  )"},
    // xml:space="preserve" does not protect source whitespace.
    {u"<a xml:space='preserve'> <b> </b></a>", false, "ea(axml:space=preserve eb)"},
    // In a stylesheet xsl:text keeps its whitespace; xsl:value-of and literal
    // result elements do not.
    {u"<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
     u"<xsl:template> <xsl:text> </xsl:text> <xsl:value-of> </xsl:value-of> <p> </p> </xsl:template>"
     u"</xsl:stylesheet>",
     true,
     "exsl:stylesheet(nxmlns:xsl exsl:template(exsl:text(t= ) exsl:value-of ep))"},
    // An element named text outside the XSLT namespace is not xsl:text; one
    // in the XSLT namespace under another prefix is.
    {u"<s xmlns:t='http://www.w3.org/1999/XSL/Transform'><text> </text><t:text> </t:text></s>", true,
     "es(nxmlns:t etext et:text(t= ))"},
    // The document rule strips xsl:text too.
    {u"<s xmlns:t='http://www.w3.org/1999/XSL/Transform'><t:text> </t:text></s>", false,
     "es(nxmlns:t et:text)"},
};

TEST(KTWhitespaceStripperTest, RemovesWhitespaceOnlyTextByRule) {
  for (const StripCase& c : kCases) {
    KTXPathTreeContext context;
    KTTestDocument doc = ParseTestDocument(context, c.text);
    ASSERT_TRUE(doc.view) << KTUtf16ToUtf8(c.text);
    KTWhitespaceStripper stripper;
    bool done = c.stylesheet ? stripper.StripStylesheet(doc.view.get()) : stripper.StripDocument(doc.view.get());
    EXPECT_TRUE(done);
    KTXPathNode* element = doc.view->GetChild(doc.view->FirstChildOfKind(kXPathElement));
    EXPECT_EQ(ViewPicture(element), c.picture) << KTUtf16ToUtf8(c.text);
  }
}

TEST(KTWhitespaceStripperTest, KeptNodesStayInDocumentOrder) {
  KTXPathTreeContext context;
  KTTestDocument doc = ParseTestDocument(context, u"<a> <b/> <c/> x <d/> </a>");
  ASSERT_TRUE(doc.view);
  KTWhitespaceStripper().StripDocument(doc.view.get());
  KTXPathNode* a = doc.view->GetChild(0);
  ASSERT_EQ(a->GetChildCount(), 4);
  for (int i = 0; i < a->GetChildCount(); ++i) {
    EXPECT_EQ(a->GetChild(i)->GetIndexInParent(), i);
    EXPECT_EQ(a->GetChild(i)->GetParent(), a);
    EXPECT_EQ(a->GetChild(i)->GetDocumentNumber(), a->GetDocumentNumber());
    if (i) {
      EXPECT_LT(a->GetChild(i - 1)->GetPosition(), a->GetChild(i)->GetPosition());
    }
  }
  EXPECT_EQ(a->GetChild(3)->GetNextSibling(), nullptr);
}

TEST(KTWhitespaceStripperTest, StrippingATextNodeItselfRemovesItFromItsParent) {
  KTXPathTreeContext context;
  KTTestDocument doc = ParseTestDocument(context, u"<a> <b/></a>");
  ASSERT_TRUE(doc.view);
  KTXPathNode* a = doc.view->GetChild(0);
  KTWhitespaceStripper().StripDocument(a->GetChild(0));
  EXPECT_EQ(ViewPicture(a), "ea(eb)");
}

// A deep chain and a wide element: the walk keeps no call-stack frame per
// level, and one element's many removals or joins compact its child list
// once.
TEST(KTWhitespaceStripperTest, DeepAndWideTrees) {
  constexpr int kDepth = 100000;
  KTXPathNode root(nullptr, kXPathRoot);
  KTXPathNode* at = &root;
  for (int i = 0; i < kDepth; ++i) {
    at->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathText))->SetValue(u" ");
    at = at->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathElement));
  }
  constexpr int kWidth = 200000;
  for (int i = 0; i < kWidth; ++i) {
    if (i % 2)
      at->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathText))->SetValue(u"\n");
    else
      at->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathComment));
  }
  // A run of many character-data nodes becomes one text node in one pass.
  KTXPathNode* run = at->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathElement));
  for (int i = 0; i < kWidth; ++i) {
    run->AppendChild(std::make_unique<KTXPathNode>(nullptr, i % 2 ? kXPathCData : kXPathText))->SetValue(u"x");
  }
  KTWhitespaceStripper().StripDocument(&root);
  EXPECT_EQ(at->GetChildCount(), kWidth / 2 + 1);
  ASSERT_EQ(run->GetChildCount(), 1);
  EXPECT_EQ(run->GetChild(0)->GetKind(), kXPathText);
  EXPECT_EQ(KTString(run->GetChild(0)->GetValue()).GetLength(), kWidth);
  int depth = 0;
  for (KTXPathNode* n = &root; n->GetChildCount() > 0 && n->GetChild(0)->GetKind() == kXPathElement;
       n = n->GetChild(0))
    ++depth;
  EXPECT_EQ(depth, kDepth);
}

}  // namespace
