// Stylesheets of several documents inside the processor: GetDocument's
// resolution and cache, FindStylesheetElement, and the include resolution
// of the stylesheet executor's first step (copies in place of each
// xsl:include, loaded once per URL, compiled, carrying their document's URI;
// xsl:import elements of included stylesheets moved after the top
// stylesheet's own imports) with its errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kttestprocessor.h"
#include "xslt/ktxslterror.h"

namespace {

std::string U8(const char16_t* text) { return KTUtf16ToUtf8(std::u16string_view(text)); }

constexpr const char16_t* kMainUri = u"file:///s/main.xsl";

std::u16string Sheet(const std::u16string& body) { return TestStylesheet(body); }

class IncludesTest : public KTFirstStepTest {
 protected:
  // Prepares the stylesheet (loaded from kMainUri) and runs the first step,
  // in which the stylesheet element resolves its includes.
  void Run(const std::u16string& stylesheet) { KTFirstStepTest::Run(stylesheet, kMainUri); }
  KTXPathNode* StylesheetElement() { return processor_.FindStylesheetElement(stylesheet_.view.get()); }

  // The top-level elements as "name" or "name(attribute value)".
  std::vector<std::string> TopLevel() {
    std::vector<std::string> names;
    for (const auto& child : StylesheetElement()->Children()) {
      if (child->GetKind() != kXPathElement) continue;
      std::string text = U8(child->GetName());
      for (const auto& attribute : child->Children())
        if (attribute->GetKind() == kXPathAttribute) text += "(" + U8(attribute->GetValue()) + ")";
      names.push_back(text);
    }
    return names;
  }

  KTXSLTError ErrorOf(const std::u16string& stylesheet) {
    try {
      Run(stylesheet);
    } catch (const KTXSLTError& e) {
      return e;
    }
    ADD_FAILURE() << "no error";
    return KTXSLTError(0, nullptr);
  }
};

TEST_F(IncludesTest, IncludedElementsTakeThePlaceOfEachInclude) {
  processor_.AddDocument(u"file:///s/inc.xsl", Sheet(u"<xsl:template match='t'/><xsl:key name='k' match='*' use='.'/>"));
  Run(Sheet(u"<xsl:include href='inc.xsl'/><xsl:param name='p'/><xsl:include href='/s/inc.xsl'/>"));
  // Relative and absolute names of one file: loaded once, copied twice.
  EXPECT_EQ(processor_.Loads(), 1);
  EXPECT_EQ(TopLevel(), (std::vector<std::string>{"xsl:template(t)", "xsl:key(k)(*)(.)", "xsl:param(p)",
                                                  "xsl:template(t)", "xsl:key(k)(*)(.)"}));
  for (const auto& child : StylesheetElement()->Children()) {
    if (child->GetKind() != kXPathElement) continue;
    // Every copy is compiled where it stands and keeps its own document.
    EXPECT_NE(processor_.FindDeclaration(child.get()), nullptr);
    const KTString* uri = KTXPathNode::GetDocumentUri(child.get());
    ASSERT_NE(uri, nullptr);
    EXPECT_EQ(U8(uri->c_str()), U8(child->GetName()) == "xsl:param" ? "file:///s/main.xsl" : "file:///s/inc.xsl");
  }
}

TEST_F(IncludesTest, NestedIncludesResolveRelativeToTheirOwnDocument) {
  processor_.AddDocument(u"file:///s/sub/a.xsl",
                         Sheet(u"<xsl:import href='low.xsl'/><xsl:include href='b.xsl'/><xsl:template name='a'/>"));
  processor_.AddDocument(u"file:///s/sub/b.xsl", Sheet(u"<xsl:template name='b'/>"));
  processor_.AddDocument(u"file:///s/sub/low.xsl", Sheet(u"<xsl:template name='low'/>"));
  processor_.AddDocument(u"file:///s/first.xsl", Sheet(u"<xsl:template name='first'/>"));
  Run(Sheet(u"<xsl:import href='first.xsl'/><xsl:include href='sub/a.xsl'/><xsl:template name='main'/>"));
  // The included import follows the top stylesheet's own; its href stays
  // relative to the document it came from.
  EXPECT_EQ(TopLevel(), (std::vector<std::string>{"xsl:import(first.xsl)", "xsl:import(low.xsl)", "xsl:template(b)",
                                                  "xsl:template(a)", "xsl:template(main)"}));
  KTXPathNode* moved = nullptr;
  for (const auto& child : StylesheetElement()->Children())
    if (child->GetKind() == kXPathElement && moved == nullptr && processor_.ElementIdOf(child.get()) == kXSLTImport &&
        U8(child->GetChild(0)->GetValue()) == "low.xsl")
      moved = child.get();
  ASSERT_NE(moved, nullptr);
  EXPECT_NE(processor_.FindDeclaration(moved), nullptr);
  EXPECT_EQ(U8(KTXPathNode::GetDocumentUri(moved)->c_str()), "file:///s/sub/a.xsl");
}

TEST_F(IncludesTest, GetDocumentResolvesLoadsOnceAndStripsByItsRule) {
  Run(Sheet(u""));
  processor_.AddDocument(u"file:///s/d.xml", u"<d> <xsl:text xmlns:xsl='http://www.w3.org/1999/XSL/Transform'> "
                                             u"</xsl:text> </d>");
  const KTString base(kMainUri);
  KTXPathNode* root = processor_.GetDocument(&base, KTString(u"d.xml"), true);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(processor_.GetDocument(&base, KTString(u"file:///s/d.xml"), false), root);
  EXPECT_EQ(processor_.Loads(), 1);
  // The stylesheet walk kept xsl:text's white space only.
  KTXPathNode* d = root->GetChild(root->FirstChildOfKind(kXPathElement));
  ASSERT_EQ(d->GetChildCount(), 1);
  KTXPathNode* text = d->GetChild(0);
  ASSERT_GT(text->GetChildCount(), 0);
  EXPECT_EQ(text->GetChild(text->GetChildCount() - 1)->GetKind(), kXPathText);
  // The document walk keeps whitespace-only text where no xsl:strip-space
  // names its parent.
  processor_.AddDocument(u"file:///s/e.xml", u"<e> <f/> </e>");
  KTXPathNode* e = processor_.GetDocument(&base, KTString(u"e.xml"), false);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->GetChild(e->FirstChildOfKind(kXPathElement))->GetChildCount(), 3);
  EXPECT_EQ(processor_.GetDocument(&base, KTString(u"none.xml"), true), nullptr);
}

TEST_F(IncludesTest, FindStylesheetElement) {
  struct Case {
    const char16_t* text;
    const char* expected;
  } cases[] = {
      {u"<!--c--><?p x?><xsl:transform version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'/>",
       "xsl:transform"},
      {u"<html xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xsl:version='1.0'/>", "html"},
  };
  for (const Case& c : cases) {
    KTTestDocument document = ParseTestDocument(context_, c.text);
    ASSERT_TRUE(document.view);
    EXPECT_EQ(U8(processor_.FindStylesheetElement(document.view.get())->GetName()), c.expected);
  }
  auto emptyOwned = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  KTXPathNode& empty = *emptyOwned;
  EXPECT_EQ(processor_.FindStylesheetElement(&empty), &empty);
}

TEST_F(IncludesTest, AStylesheetDocumentHasAStylesheetOrASimplifiedOneAsItsElement) {
  const struct {
    const char16_t* text;
    bool accepted;
  } cases[] = {
      {u"<!--c--><xsl:transform version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'/>", true},
      {u"<html xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xsl:version='2.0'/>", true},
      // An old namespace, a version attribute in no namespace, no element.
      {u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/XSL/Transform/1.0'/>", false},
      {u"<html version='1.0'/>", false},
      {u"<xsl:template xmlns:xsl='http://www.w3.org/1999/XSL/Transform' match='/'/>", false},
  };
  for (const auto& c : cases) {
    KTTestDocument document = ParseTestDocument(context_, c.text);
    ASSERT_TRUE(document.view);
    try {
      processor_.CheckStylesheetDocument(document.view.get());
      EXPECT_TRUE(c.accepted) << U8(c.text);
    } catch (KTXSLTError& e) {
      EXPECT_FALSE(c.accepted) << U8(c.text);
      EXPECT_EQ(e.GetCode(), 38);
      EXPECT_EQ(U8(e.GetMessage()).rfind("Not a stylesheet: ", 0), 0u) << U8(e.GetMessage());
    }
  }
  auto emptyOwned = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  KTXPathNode& empty = *emptyOwned;
  EXPECT_THROW(processor_.CheckStylesheetDocument(&empty), KTXSLTError);
}

TEST_F(IncludesTest, ASimplifiedModuleIsATemplateRuleForTheRoot) {
  // XSLT 1.0 §2.3: the literal result element stands in a template rule
  // for "/" of a stylesheet of its xsl:version.
  Run(Sheet(u""));
  processor_.AddDocument(u"file:///s/lre.xsl",
                         u"<!--c--><html xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xsl:version='1.1'>"
                         u"<xsl:value-of select='1'/></html>");
  const KTString base(kMainUri);
  KTXPathNode* root = processor_.GetDocument(&base, KTString(u"lre.xsl"), true);
  ASSERT_NE(root, nullptr);
  KTXPathNode* stylesheet = processor_.FindStylesheetElement(root);
  ASSERT_NE(stylesheet, root);
  EXPECT_EQ(U8(stylesheet->GetName()), "xsl:stylesheet");
  EXPECT_EQ(U8(stylesheet->GetChild(0)->GetName()), "version");
  EXPECT_EQ(U8(stylesheet->GetChild(0)->GetValue()), "1.1");
  KTXPathNode* rule = stylesheet->GetChild(1);
  EXPECT_EQ(U8(rule->GetName()), "xsl:template");
  EXPECT_EQ(U8(rule->GetChild(0)->GetName()), "match");
  EXPECT_EQ(U8(rule->GetChild(0)->GetValue()), "/");
  KTXPathNode* html = rule->GetChild(1);
  EXPECT_EQ(U8(html->GetName()), "html");
  EXPECT_EQ(html->GetParent(), rule);
  EXPECT_EQ(U8(KTXPathNode::GetDocumentUri(html)->c_str()), "file:///s/lre.xsl");
  processor_.CheckStylesheetDocument(root);
}

TEST_F(IncludesTest, ErrorsNameTheirNode) {
  processor_.AddDocument(u"file:///s/self.xsl", Sheet(u"<xsl:include href='self.xsl'/>"));
  processor_.AddDocument(u"file:///s/x.xsl", Sheet(u""));
  processor_.AddDocument(kMainUri, Sheet(u"<xsl:include href='main.xsl'/>"));
  struct Case {
    std::u16string stylesheet;
    int code;
    const char* node;
  } cases[] = {
      {Sheet(u"<xsl:include href='none.xsl'/>"), 44, "href"},
      {Sheet(u"<xsl:include href='main.xsl'/>"), 45, "xsl:include"},
      {Sheet(u"<xsl:include href='self.xsl'/>"), 45, "xsl:include"},
      {Sheet(u"<xsl:template name='t'/><xsl:import href='x.xsl'/>"), 49, "xsl:import"},
  };
  for (const Case& c : cases) {
    KTXSLTError error = ErrorOf(c.stylesheet);
    EXPECT_EQ(error.GetCode(), c.code) << U8(c.stylesheet.c_str());
    ASSERT_NE(error.GetNode(), nullptr);
    EXPECT_EQ(U8(error.GetNode()->GetName()), c.node);
  }
}

TEST_F(IncludesTest, AnIncludeChainIsBoundedInDepth) {
  // main includes c1, c1 includes c2, ...: each a different document. A
  // chain of kMaxIncludeDepth stylesheets (main among them) resolves; one
  // more is refused at the deepest include's href, before its load.
  const size_t limit = KTXSLTProcessor::kMaxIncludeDepth;
  auto name = [](size_t n) { return u"c" + KTUtf8ToUtf16(std::to_string(n)) + u".xsl"; };
  for (size_t length : {limit, limit + 1}) {
    KTTestProcessor processor;
    processor.SetTreeContext(&context_);
    for (size_t n = 1; n + 1 < length; ++n)
      processor.AddDocument(u"file:///s/" + name(n), Sheet(u"<xsl:include href='" + name(n + 1) + u"'/>"));
    processor.AddDocument(u"file:///s/" + name(length - 1), Sheet(u"<xsl:template name='last'/>"));
    KTTestDocument stylesheet = ParseTestDocument(context_, Sheet(u"<xsl:include href='c1.xsl'/>").c_str(), kMainUri);
    KTTestDocument source = ParseTestDocument(context_, u"<doc/>");
    ASSERT_TRUE(stylesheet.view && source.view);
    processor.Prepare(stylesheet.view.get(), source.view.get());
    if (length == limit) {
      EXPECT_NO_THROW(processor.Step());
      EXPECT_EQ(processor.Loads(), static_cast<int>(limit - 1));
      continue;
    }
    try {
      processor.Step();
      ADD_FAILURE() << "a chain of " << length << " stylesheets was accepted";
    } catch (const KTXSLTError& e) {
      EXPECT_EQ(e.GetCode(), 44);
      ASSERT_NE(e.GetNode(), nullptr);
      EXPECT_EQ(U8(e.GetNode()->GetName()), "href");
      EXPECT_EQ(processor.Loads(), static_cast<int>(limit - 1));
    }
  }
}

TEST(WithoutDotSegmentsTest, OneNamePerFile) {
  struct Case {
    const char16_t* in;
    const char* out;
  } cases[] = {
      {u"/a/b.xml", "/a/b.xml"},       {u"/a/./b.xml", "/a/b.xml"},    {u"/a/c/../b.xml", "/a/b.xml"},
      {u"/a//b.xml", "/a/b.xml"},      {u"/../a/b.xml", "/a/b.xml"},   {u"/a/..", "/"},
      {u"a/./b.xml", "a/./b.xml"},     {u"http://h/a/../b", "http://h/a/../b"}, {u"", ""},
      {u"/a/.b/..c", "/a/.b/..c"},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(KTXSLTProcessor::WithoutDotSegments(KTString(c.in)).c_str()), c.out) << U8(c.in);
}

}  // namespace
