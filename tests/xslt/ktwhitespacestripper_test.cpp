// The whitespace stripper over parsed stylesheets and documents: which text
// nodes go under each rule, adjacent removals, text joined with CDATA
// sections, deep and wide trees.
#include "xslt/ktwhitespacestripper.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ktxslttest_util.h"
#include "xslt/ktspacerules.h"

namespace {

// The name tests of `strip` and `preserve` (preserve declared later, both of
// one precedence), resolved at the document element of `doc`.
KTSpaceRules RulesFor(const KTXPathNode* element, const char16_t* strip, const char16_t* preserve = nullptr) {
  KTSpaceRules rules;
  for (auto [list, strips] : {std::pair{strip, true}, std::pair{preserve, false}}) {
    if (!list) continue;
    std::vector<KTSpaceRules::NameTest> tests;
    EXPECT_EQ(KTSpaceRules::ParseNameTests(element, list, tests), KTSpaceRules::ParseResult::kParsed);
    rules.Add(tests, strips, 1);
  }
  return rules;
}

struct StripCase {
  const char16_t* text;
  bool stylesheet;
  const char16_t* strip;     // document rule: the xsl:strip-space list
  const char16_t* preserve;  // document rule: the xsl:preserve-space list
  const char* picture;       // of the document element after stripping
};

const StripCase kCases[] = {
    // Spaces, tabs and line ends go; a no-break space stays.
    {u"<a> \t\r\n<b/>\u00a0</a>", false, u"*", nullptr, "ea(eb t=\u00a0)"},
    // Without xsl:strip-space a source keeps every text node; runs are
    // still joined.
    {u"<a> <b/> <![CDATA[ ]]> </a>", false, nullptr, nullptr, "ea(t=  eb t=   )"},
    // ... at every depth: a lone CDATA section becomes text, and a run below
    // an element whose one child is an element is joined too.
    {u"<a><b><![CDATA[x]]></b><c><d>y<![CDATA[z]]></d></c><e>w</e></a>", false, nullptr, nullptr,
     "ea(eb(t=x) ec(ed(t=yz)) ee(t=w))"},
    // Adjacent whitespace-only text nodes (split by a comment, then the
    // comment's own neighbours) all go.
    {u"<a> <!--c-->  <b/>  x  </a>", false, u"*", nullptr, "ea(c eb t=  x  )"},
    // Text and CDATA sections side by side are one text node, judged whole.
    {u"<a><![CDATA[ ]]> <b/></a>", false, u"*", nullptr, "ea(eb)"},
    {u"<a>x<![CDATA[<y>]]>z<b/><![CDATA[w]]></a>", false, u"*", nullptr, "ea(t=x<y>z eb t=w)"},
    {u"<a><![CDATA[]]><b/> <![CDATA[ v ]]></a>", false, u"*", nullptr, "ea(eb t=  v )"},
    // Only the named parents lose their whitespace; a better preserve-space
    // test keeps it.
    {u"<a> <b> </b> <c> </c></a>", false, u"b", nullptr, "ea(t=  eb t=  ec(t= ))"},
    {u"<a> <b> </b> <c> </c></a>", false, u"*", u"b", "ea(eb(t= ) ec)"},
    {u"<a> <b> </b></a>", false, u"b", u"*", "ea(t=  eb)"},
    // prefix:* and prefixed QNames test the namespace, not the prefix.
    {u"<a xmlns:p='urn:p' xmlns:q='urn:p'><q:b> </q:b><c> </c><p:c> </p:c></a>", false, u"p:*", nullptr,
     "ea(nxmlns:p nxmlns:q eq:b ec(t= ) ep:c)"},
    {u"<a xmlns:p='urn:p'><p:c> </p:c><c> </c></a>", false, u"p:c", nullptr, "ea(nxmlns:p ep:c ec(t= ))"},
    // xml:space="preserve" protects the subtree; a nearer "default" turns
    // it off again, and any other value leaves the ancestor's in force.
    {u"<a xml:space='preserve'> <b> </b></a>", false, u"*", nullptr, "ea(axml:space=preserve t=  eb(t= ))"},
    {u"<a xml:space='preserve'> <b xml:space='default'> <c> </c></b><d xml:space='x'> </d></a>", false, u"*",
     nullptr, "ea(axml:space=preserve t=  eb(axml:space=default ec) ed(axml:space=x t= ))"},
    {u"<xsl:text xmlns:xsl='http://www.w3.org/1999/XSL/Transform'> <![CDATA[ ]]></xsl:text>", true, nullptr,
     nullptr, "exsl:text(nxmlns:xsl t=  )"},
    // In a stylesheet xsl:text keeps its whitespace; xsl:value-of and literal
    // result elements do not.
    {u"<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
     u"<xsl:template> <xsl:text> </xsl:text> <xsl:value-of> </xsl:value-of> <p> </p> </xsl:template>"
     u"</xsl:stylesheet>",
     true, nullptr, nullptr, "exsl:stylesheet(nxmlns:xsl exsl:template(exsl:text(t= ) exsl:value-of ep))"},
    // xml:space="preserve" in a stylesheet keeps the text around
    // instructions, down to a nearer xml:space="default".
    {u"<s xmlns:xsl='http://www.w3.org/1999/XSL/Transform'><p xml:space='preserve'> <xsl:value-of/> "
     u"<q xml:space='default'> </q></p> </s>",
     true, nullptr, nullptr, "es(nxmlns:xsl ep(axml:space=preserve t=  exsl:value-of t=  eq(axml:space=default)))"},
    // An element named text outside the XSLT namespace is not xsl:text; one
    // in the XSLT namespace under another prefix is.
    {u"<s xmlns:t='http://www.w3.org/1999/XSL/Transform'><text> </text><t:text> </t:text></s>", true, nullptr,
     nullptr, "es(nxmlns:t etext et:text(t= ))"},
    // The document rule strips xsl:text too.
    {u"<s xmlns:t='http://www.w3.org/1999/XSL/Transform'><t:text> </t:text></s>", false, u"*", nullptr,
     "es(nxmlns:t et:text)"},
};

TEST(KTWhitespaceStripperTest, RemovesWhitespaceOnlyTextByRule) {
  for (const StripCase& c : kCases) {
    KTXPathTreeContext context;
    KTTestDocument doc = ParseTestDocument(context, c.text);
    ASSERT_TRUE(doc.view) << KTUtf16ToUtf8(c.text);
    KTXPathNode* element = doc.view->GetChild(doc.view->FirstChildOfKind(kXPathElement));
    KTSpaceRules rules = RulesFor(element, c.strip, c.preserve);
    KTWhitespaceStripper stripper;
    bool done = c.stylesheet ? stripper.StripStylesheet(doc.view.get()) : stripper.StripDocument(doc.view.get(), &rules);
    EXPECT_TRUE(done);
    EXPECT_EQ(ViewPicture(element), c.picture) << KTUtf16ToUtf8(c.text);
  }
}

// Which test wins for an element name: import precedence, then priority
// (QName over prefix:* over *), then the later declaration.
TEST(KTSpaceRulesTest, ConflictsResolveByPrecedencePriorityAndOrder) {
  using Test = KTSpaceRules::NameTest;
  auto any = [] { return Test{}; };
  auto ns = [](const char16_t* uri) { return Test{Test::kAnyLocalName, KTString(uri), KTString()}; };
  auto name = [](const char16_t* uri, const char16_t* local) { return Test{Test::kName, KTString(uri), KTString(local)}; };
  struct Declaration {
    Test test;
    bool strip;
    int precedence;
  };
  struct Case {
    std::vector<Declaration> declarations;
    const char16_t* uri;
    const char16_t* local;
    bool strips;
  };
  const std::vector<Case> cases = {
      {{}, u"", u"b", false},
      {{{any(), true, 1}}, u"urn:x", u"b", true},
      {{{any(), true, 1}, {name(u"", u"b"), false, 1}}, u"", u"b", false},
      {{{any(), true, 1}, {name(u"", u"b"), false, 1}}, u"urn:x", u"b", true},
      {{{name(u"", u"b"), true, 1}, {any(), false, 2}}, u"", u"b", false},
      {{{any(), false, 2}, {name(u"", u"b"), true, 1}}, u"", u"b", false},
      {{{name(u"", u"b"), true, 1}, {name(u"", u"b"), false, 1}}, u"", u"b", false},
      {{{name(u"", u"b"), false, 1}, {name(u"", u"b"), true, 1}}, u"", u"b", true},
      {{{ns(u"urn:p"), true, 1}, {any(), false, 1}}, u"urn:p", u"c", true},
      {{{ns(u"urn:p"), true, 1}, {name(u"urn:p", u"c"), false, 1}}, u"urn:p", u"c", false},
      {{{ns(u"urn:p"), true, 1}, {name(u"urn:p", u"c"), false, 1}}, u"urn:p", u"d", true},
      {{{ns(u"urn:p"), true, 2}, {name(u"urn:p", u"c"), false, 1}}, u"urn:p", u"c", true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    KTSpaceRules rules;
    for (const Declaration& d : cases[i].declarations) rules.Add({d.test}, d.strip, d.precedence);
    EXPECT_EQ(rules.Strips(cases[i].uri, cases[i].local), cases[i].strips) << "case " << i;
  }
}

TEST(KTSpaceRulesTest, NameTestsParseAndResolvePrefixes) {
  KTXPathTreeContext context;
  KTTestDocument doc = ParseTestDocument(context, u"<s xmlns:p='urn:p' xmlns='urn:default'/>");
  ASSERT_TRUE(doc.view);
  const KTXPathNode* s = doc.view->GetChild(doc.view->FirstChildOfKind(kXPathElement));
  using Result = KTSpaceRules::ParseResult;
  std::vector<KTSpaceRules::NameTest> tests;
  ASSERT_EQ(KTSpaceRules::ParseNameTests(s, u" *\tp:*\n p:a  b ", tests), Result::kParsed);
  ASSERT_EQ(tests.size(), 4u);
  EXPECT_EQ(tests[0].kind, KTSpaceRules::NameTest::kAnyName);
  EXPECT_EQ(tests[1].kind, KTSpaceRules::NameTest::kAnyLocalName);
  EXPECT_EQ(tests[1].uri, KTString(u"urn:p"));
  EXPECT_EQ(tests[2].uri, KTString(u"urn:p"));
  EXPECT_EQ(tests[2].local, KTString(u"a"));
  // An unprefixed name is in no namespace, whatever the default namespace.
  EXPECT_TRUE(tests[3].uri.IsEmpty());
  for (const char16_t* bad : {u"1a", u"*:a", u"p:", u"a:b:c", u":*", u"p:*x"}) {
    tests.clear();
    EXPECT_EQ(KTSpaceRules::ParseNameTests(s, bad, tests), Result::kNotNameTest) << KTUtf16ToUtf8(bad);
  }
  tests.clear();
  EXPECT_EQ(KTSpaceRules::ParseNameTests(s, u"q:a", tests), Result::kUndefinedPrefix);
  tests.clear();
  EXPECT_EQ(KTSpaceRules::ParseNameTests(s, u"q:*", tests), Result::kUndefinedPrefix);
}

TEST(KTWhitespaceStripperTest, KeptNodesStayInDocumentOrder) {
  // The list is rewritten in place: texts go, runs with CDATA sections
  // join, and what is kept closes up.
  KTXPathTreeContext context;
  KTTestDocument doc =
      ParseTestDocument(context, u"<a> <b/><![CDATA[ ]]> <c/> x<![CDATA[y]]>z <d/> </a>");
  ASSERT_TRUE(doc.view);
  KTXPathNode* a = doc.view->GetChild(0);
  KTSpaceRules rules = RulesFor(a, u"*");
  KTWhitespaceStripper().StripDocument(doc.view.get(), &rules);
  EXPECT_EQ(ViewPicture(a), "ea(eb ec t= xyz  ed)");
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
  KTSpaceRules rules = RulesFor(a, u"a");
  KTWhitespaceStripper().StripDocument(a->GetChild(0), &rules);
  EXPECT_EQ(ViewPicture(a), "ea(eb)");
}

// Every node of a view in document order: kind, name, value, position and
// place among its siblings.
std::string OrderPicture(const KTXPathNode* root) {
  std::string out;
  for (const KTXPathNode* n = root; n; n = n->NextInDocumentOrder(true)) {
    out += std::to_string(n->GetKind()) + KTUtf16ToUtf8(n->GetName()) + "=" + KTUtf16ToUtf8(n->GetValue()) + "@" +
           std::to_string(n->GetPosition()) + "#" + std::to_string(n->GetIndexInParent()) + " ";
  }
  return out;
}

// A stylesheet module wrapped as one leaves out the whitespace-only texts
// that stripping removes on their own; stripped, it is the view of the
// same module wrapped plainly and stripped, positions and sibling places
// included.
TEST(KTWhitespaceStripperTest, StylesheetWrapLeavesOutWhatStrippingRemoves) {
  const char16_t* kTexts[] = {
      u"<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>\n  <xsl:template match='a'>\n"
      u"    <xsl:text> </xsl:text>\n    <xsl:value-of select='.'/>\t<p>  </p> <q> x </q>\n  </xsl:template>\n"
      u"</xsl:stylesheet>",
      // xml:space: preserve below, default again further down, another value
      // leaving the ancestor's in force.
      u"<s xml:space='preserve'> <a> <b xml:space='default'> <c> </c> </b> <d xml:space='x'> </d></a> </s>",
      // Text beside CDATA sections and other texts is joined first, then
      // judged; a comment or an element between keeps them apart.
      u"<s> <![CDATA[ ]]> <a><![CDATA[]]> </a> <b> <!--c--> </b><c> <?p?> <![CDATA[x]]></c> </s>",
      // An element in the XSLT namespace under another prefix, and one named
      // text outside it.
      u"<s xmlns:t='http://www.w3.org/1999/XSL/Transform'> <t:text> </t:text> <text> </text> </s>",
      // Line ends written as CR LF, and a character reference that writes a
      // space.
      u"<s> <a>\r\n</a> <b>&#32;</b> \r\n <c/> </s>",
  };
  for (const char16_t* text : kTexts) {
    KTXPathTreeContext plainContext;
    KTTestDocument plain = ParseTestDocument(plainContext, text);
    ASSERT_TRUE(plain.view) << KTUtf16ToUtf8(text);
    KTWhitespaceStripper().StripStylesheet(plain.view.get());

    KTXPathTreeContext moduleContext;
    KTTestDocument module = ParseTestDocument(moduleContext, text);
    ASSERT_TRUE(module.view);
    module.view = moduleContext.WrapTree(module.tree.get(), nullptr, false, nullptr, true);
    ASSERT_TRUE(module.view);
    KTWhitespaceStripper().StripStylesheet(module.view.get());
    EXPECT_EQ(OrderPicture(module.view.get()), OrderPicture(plain.view.get())) << KTUtf16ToUtf8(text);
  }
}

// A deep chain and a wide element: the walk keeps no call-stack frame per
// level, and one element's many removals or joins compact its child list
// once.
TEST(KTWhitespaceStripperTest, DeepAndWideTrees) {
  constexpr int kDepth = 100000;
  auto rootOwned = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  KTXPathNode& root = *rootOwned;
  KTXPathNode* at = &root;
  for (int i = 0; i < kDepth; ++i) {
    if (at != &root) at->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathText))->SetValue(u" ");
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
  KTSpaceRules rules = RulesFor(&root, u"*");
  KTWhitespaceStripper().StripDocument(&root, &rules);
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
