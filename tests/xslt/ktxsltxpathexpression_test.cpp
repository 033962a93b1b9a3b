// The processor's expression object: documents loaded for document() are
// wrapped once and kept for the run, their whitespace-only text stripped
// only as the stylesheet's xsl:strip-space says (here: none); unbound variable names reach
// the processor.
#include "xslt/ktxsltxpathexpression.h"

#include <gtest/gtest.h>

#include "kttestprocessor.h"

namespace {

TEST(KTXSLTXPathExpressionTest, DocumentsLoadOncePerRunAndKeepTheirText) {
  KTXPathTreeContext context;
  KTTestProcessor processor;
  processor.SetTreeContext(&context);
  processor.AddDocument(u"file:///l.xml", u"<l>\n  <e r='1'/>\n</l>");
  processor.Start();
  KTXSLTXPathExpression* expression = processor.Expression();
  ASSERT_NE(expression, nullptr);
  EXPECT_TRUE(expression->XSLTFunctionsEnabled());

  KTXPathNode* first = expression->LoadDocument(KTString(u"file:///l.xml"));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ViewPicture(first), "/(el(t=\n   ee(ar=1) t=\n))");
  EXPECT_EQ(KTUtf16ToUtf8(KTXPathNode::GetDocumentUri(first)->View()), "file:///l.xml");
  // The same nodes again, so document order and identity hold across calls.
  EXPECT_EQ(expression->LoadDocument(KTString(u"file:///l.xml")), first);
  EXPECT_EQ(processor.Loads(), 1);
  EXPECT_EQ(expression->LoadDocument(KTString(u"file:///missing.xml")), nullptr);

  // A new run has a new expression object; the document is wrapped afresh
  // from the subclass's cache.
  processor.Start();
  KTXPathNode* again = processor.Expression()->LoadDocument(KTString(u"file:///l.xml"));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(ViewPicture(again), "/(el(t=\n   ee(ar=1) t=\n))");
  EXPECT_EQ(processor.Loads(), 1);
}

TEST(KTXSLTXPathExpressionTest, UnknownVariableNamesReachTheProcessor) {
  KTTestProcessor processor;
  processor.Start();
  processor.Expression()->UnknownVariable(KTString(u"later"));
  EXPECT_EQ(processor.UnknownVariableName(), u"later");
  processor.Start();
  EXPECT_TRUE(processor.UnknownVariableName().IsEmpty());
}

}  // namespace
