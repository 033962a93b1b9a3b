// Template rules: default priorities, the direct match against evaluation
// of the same pattern, registration with the split of union patterns and
// its errors, ordering, the built-in rules and the indexed lookup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kttestprocessor.h"
#include "ktxslttest_util.h"
#include "xpath/ktxpathexpression.h"
#include "xslt/ktcompiledtemplate.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/kttemplatepattern.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"

namespace {

std::string U8(const KTString& text) { return KTUtf16ToUtf8(text.View()); }

// A pattern text compiled as the rule list compiles it; the tree is null
// when the text does not compile.
class Compiled {
 public:
  Compiled(const char16_t* text, const KTPrefixMap* namespaces) {
    static const KTPrefixMap kNone;
    expression_.Init(namespaces ? namespaces : &kNone, expression_.GetUriList(), KTString(text),
                     KTXPathExpression::kRestrictPattern);
    compiled_ = expression_.Compile(true, KTXPathExpression::kModeExpr);
  }
  const KTXPathAstNode* GetTree() const { return compiled_ ? expression_.GetTree() : nullptr; }

 private:
  KTXPathExpression expression_;
  bool compiled_ = false;
};

const char16_t* kSource =
    u"<?xml version='1.0'?>\n"
    u"<r xmlns:p='urn:p'><a x='1' p:x='2'><b>t1</b><a><b y='3'/></a></a>"
    u"<!--c--><?p d?><?q e?><p:e p:x='4'><b/>t2</p:e><c><a><c><b/></c></a></c></r>";

class TemplateRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    processor_.SetTreeContext(&context_);
    source_ = ParseTestDocument(context_, kSource);
    ASSERT_TRUE(source_.view);
  }

  // Loads a stylesheet and registers its templates as the stylesheet
  // executor does, after the built-in rules.
  void Register(const std::u16string& body) {
    std::u16string text = u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
                          u"xmlns:p='urn:p' xmlns:q='urn:q'>" +
                          body + u"</xsl:stylesheet>";
    stylesheet_ = ParseTestDocument(context_, text.c_str());
    ASSERT_TRUE(stylesheet_.view);
    processor_.Prepare(stylesheet_.view.get(), source_.view.get());
    processor_.RegisterTemplatesOf(StylesheetElement(), 0);
    processor_.SortTemplateRules();
  }

  KTXPathNode* StylesheetElement() {
    KTXPathNode* root = stylesheet_.view.get();
    return root->GetChild(root->FirstChildOfKind(kXPathElement));
  }

  // Every node of the source, attributes included, in document order (the
  // XML declaration aside: no axis reaches it).
  std::vector<KTXPathNode*> AllNodes() {
    std::vector<KTXPathNode*> nodes;
    for (KTXPathNode* n = source_.view.get(); n; n = n->NextInDocumentOrder(true)) {
      bool declaration = n->GetKind() >= kXPathXmlDecl || (n->GetParent() && n->GetParent()->GetKind() >= kXPathXmlDecl);
      if (!declaration) nodes.push_back(n);
    }
    return nodes;
  }

  // Each pattern is read for a direct match, which must pick out exactly
  // the nodes its evaluation over the source selects.
  void ExpectDirectMatchesEvaluation(std::initializer_list<const char16_t*> patterns) {
    std::vector<KTXPathNode*> nodes = AllNodes();
    for (const char16_t* text : patterns) {
      KTTemplatePattern pattern;
      const KTPrefixMap* namespaces = KTXPathNode::GetNodeNamespaceMap(StylesheetElement());
      pattern.Read(Compiled(text, namespaces).GetTree(), namespaces);
      KTXPathValue selected;
      processor_.MatchesPattern(
          &selected,
          *processor_.PrecompileExpression(StylesheetElement(), KTString(text), KTXPathExpression::kRestrictPattern),
          source_.view.get(), StylesheetElement(), false);
      std::string expected, direct;
      for (KTXPathNode* node : nodes) {
        bool in = false;
        for (const KTXPathNodeItem& item : selected.Items()) in = in || item.GetNode() == node;
        expected += in ? '1' : '0';
        if (pattern.IsDirect()) direct += pattern.Matches(node) ? '1' : '0';
      }
      EXPECT_TRUE(pattern.IsDirect()) << U8(KTString(text));
      EXPECT_EQ(direct, expected) << U8(KTString(text));
      if (std::u16string_view(text) != u"@text()") {
        EXPECT_NE(expected.find('1'), std::string::npos) << "selects nothing: " << U8(KTString(text));
      }
    }
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument source_;
  KTTestDocument stylesheet_;
};

TEST(TemplatePattern, DefaultPriorities) {
  KTPrefixMap namespaces;
  KTString uri(u"urn:p");
  namespaces.emplace(KTString(u"p"), &uri);
  struct Case {
    const char16_t* pattern;
    double priority;
  } cases[] = {
      {u"a", 0},
      {u" a ", 0},
      {u"p:a", 0},
      {u"child::a", 0},
      {u"@x", 0},
      {u"attribute::p:x", 0},
      {u"processing-instruction('x')", 0},
      {u"processing-instruction( \"x\" )", 0},
      {u"idx", 0},
      {u"keys", 0},
      {u"p:*", -0.25},
      {u"@p:*", -0.25},
      {u"*", -0.5},
      {u"@*", -0.5},
      {u"attribute::*", -0.5},
      {u"text()", -0.5},
      {u"node()", -0.5},
      {u"comment()", -0.5},
      {u"processing-instruction()", -0.5},
      {u"@node()", -0.5},
      {u"a/b", 0.5},
      {u"a//b", 0.5},
      {u"/", 0.5},
      {u"/a", 0.5},
      {u"//a", 0.5},
      {u"a[1]", 0.5},
      {u"*[@x]", 0.5},
      {u"id('x')", 0.5},
      {u"id ('x')", 0.5},
      {u"key('k', 'v')", 0.5},
      {u"key('k','v')/a", 0.5},
  };
  for (const Case& c : cases) {
    KTTemplatePattern pattern;
    pattern.Read(Compiled(c.pattern, &namespaces).GetTree(), &namespaces);
    EXPECT_TRUE(pattern.IsUnderstood()) << U8(KTString(c.pattern));
    EXPECT_EQ(pattern.DefaultPriority(), c.priority) << U8(KTString(c.pattern));
  }
  // Texts outside the pattern syntax get 0.5; their evaluation reports them.
  for (const char16_t* text : {u"a/", u"q:a", u"a[", u"count(a)", u"descendant::a", u"(a)", u"a/.."}) {
    KTTemplatePattern pattern;
    pattern.Read(Compiled(text, &namespaces).GetTree(), &namespaces);
    EXPECT_FALSE(pattern.IsUnderstood()) << U8(KTString(text));
    EXPECT_EQ(pattern.DefaultPriority(), 0.5);
  }
}

// The direct match from the tested node gives the nodes the pattern
// selects when it is evaluated from the root and every other node but
// attributes: attributes and all other kinds alike.
TEST_F(TemplateRulesTest, DirectMatchEqualsEvaluation) {
  Register(u"");
  ExpectDirectMatchesEvaluation({
      u"a",        u"*",       u"@*",        u"@x",        u"text()",   u"node()",     u"comment()",
      u"processing-instruction()",           u"processing-instruction('p')",         u"/",
      u"a/b",      u"a//b",    u"/r/a",      u"//b",       u"r//a/@x",  u"p:*",       u"p:e",
      u"@p:x",     u"@p:*",    u"b/text()",  u"r/*/b",     u"/*",       u"*//a//b",    u"c//c/b",
      u"/r//c/a/c/b",          u"//a/b/@y",  u"attribute::node()",      u"child::node()", u"@text()",
      u"/r//a//b"});
}

// Names whose prefix or local part begins like, equals or extends the
// name a step tests: only the local part and the namespace decide.
TEST_F(TemplateRulesTest, NameTestsReadTheLocalPartOfPrefixedNames) {
  source_ = ParseTestDocument(context_,
                              u"<r xmlns:a='urn:p' xmlns:ab='urn:q'><a a:a='1' ab='2' ab:b='3'><ab/><a:a/>"
                              u"<a:ab/><ab:a/><ab:ab/><aa/><b/></a><ab:b/></r>");
  ASSERT_TRUE(source_.view);
  Register(u"");
  ExpectDirectMatchesEvaluation({u"a", u"ab", u"aa", u"p:a", u"p:ab", u"q:a", u"q:ab", u"q:b", u"b",
                                 u"@ab", u"@p:a", u"@q:b", u"a/ab", u"a/p:a", u"r/q:b"});
}

// Patterns with predicates or id()/key() are matched by membership in the
// set their evaluation selects, once per document.
TEST_F(TemplateRulesTest, PatternsWithPredicatesMatchThroughEvaluation) {
  Register(u"<xsl:template match=\"a[@x='1']\"/><xsl:template match='b[2]'/><xsl:template match='*[@p:x]/b'/>");
  std::vector<KTXPathNode*> elements;
  for (KTXPathNode* n : AllNodes())
    if (n->GetKind() == kXPathElement) elements.push_back(n);
  for (const auto& rule : processor_.TemplateRules()) {
    if (rule->ImportPrecedence() < 0) continue;
    EXPECT_FALSE(rule->Pattern().IsDirect());
    std::string picks;
    for (KTXPathNode* e : elements) picks += rule->Matches(e) ? '1' : '0';
    // Elements in document order: r a b a b p:e b c a c b.
    if (rule->Match() == u"a[@x='1']") { EXPECT_EQ(picks, "01000000000"); }
    if (rule->Match() == u"*[@p:x]/b") { EXPECT_EQ(picks, "00100010000"); }
    // The second b child of its parent: none in this document.
    if (rule->Match() == u"b[2]") { EXPECT_EQ(picks, "00000000000"); }
  }
}

// Patterns of steps joined by '/' are evaluated only from the ancestors
// that could select a node; the result equals the evaluation from every
// node, positional predicates included.
TEST_F(TemplateRulesTest, NarrowedEvaluationEqualsFullEvaluation) {
  const char16_t* patterns[] = {u"b[1]",   u"*[last()]", u"a/b[1]",     u"@x[.='1']", u"a[b]/@x",
                                u"r/*[2]", u"text()[1]", u"*[2]/b[1]", u"c//b[1]",  u"node()[3]"};
  std::u16string templates;
  for (const char16_t* text : patterns) templates += u"<xsl:template match=\"" + std::u16string(text) + u"\"/>";
  Register(templates);
  std::vector<KTXPathNode*> nodes = AllNodes();
  int checked = 0;
  for (const auto& rule : processor_.TemplateRules()) {
    if (rule->ImportPrecedence() < 0) continue;
    KTXPathValue selected;
    processor_.MatchesPattern(&selected, *rule->MatchExpression(), source_.view.get(), StylesheetElement(), false);
    std::string expected, got;
    for (KTXPathNode* node : nodes) {
      bool in = false;
      for (const KTXPathNodeItem& item : selected.Items()) in = in || item.GetNode() == node;
      expected += in ? '1' : '0';
      got += rule->Matches(node) ? '1' : '0';
    }
    EXPECT_EQ(got, expected) << U8(rule->Match());
    EXPECT_NE(expected.find('1'), std::string::npos) << U8(rule->Match());
    ++checked;
  }
  EXPECT_EQ(checked, 10);
}

TEST_F(TemplateRulesTest, UnionPatternsGiveOneRulePerAlternative) {
  struct Case {
    const char16_t* match;
    std::vector<std::string> rules;
  } cases[] = {
      {u" a | b ", {"a ", " b"}},
      {u"a[@x='|']|b", {"a[@x='|']", "b"}},
      {u"a[b[1]|c]|d", {"a[b[1]|c]", "d"}},
      {u"id('a|b')", {"id('a|b')"}},
      {u"&#13;&#10;&#9;a|&#9;b&#9;", {"a", "\tb"}},
  };
  for (const Case& c : cases) {
    Register(u"<xsl:template match=\"" + std::u16string(c.match) + u"\"/>");
    std::vector<std::pair<int, std::string>> rules;
    for (const auto& rule : processor_.TemplateRules())
      if (rule->ImportPrecedence() >= 0) rules.emplace_back(rule->DeclarationPosition(), U8(rule->Match()));
    std::sort(rules.begin(), rules.end());
    std::vector<std::string> texts;
    for (size_t i = 0; i < rules.size(); ++i) {
      texts.push_back(rules[i].second);
      if (i) { EXPECT_EQ(rules[i].first, rules[i - 1].first + 1); }
    }
    EXPECT_EQ(texts, c.rules) << U8(KTString(c.match));
  }
}

TEST_F(TemplateRulesTest, RegistrationErrors) {
  struct Case {
    const char16_t* templates;
    int code;
  } cases[] = {
      {u"<xsl:template match='a|'/>", 6},
      {u"<xsl:template name='t' match='a'/><xsl:template name='t' match='b'/>", 11},
      {u"<xsl:template name='p:t'/><xsl:template name='q:u'/><xsl:template name='p:t'/>", 11},
      {u"<xsl:template mode='m' name='t'/>", 16},
      // A mode is a QName: its prefix must be declared (XSLT 1.0 §2.4).
      {u"<xsl:template match='a' mode='z:m'/>", 10},
      {u"<xsl:template match='a' priority='x'/>", 31},
      {u"<xsl:template match='a' priority='1e9'/>", 31},
      // Patterns matched by evaluation are compiled when they are
      // registered.
      {u"<xsl:template match='a[@x=]'/>", 6},
      {u"<xsl:template match='a[@x=$v]'/>", 46},
      // Patterns keep to the pattern grammar (XSLT 1.0 §5.2) whether they
      // are matched directly or by evaluation: 6 for a shape outside it, 1
      // (XPath kind 12) for an axis other than child or attribute.
      {u"<xsl:template match='a||b'/>", 6},
      {u"<xsl:template match='|a'/>", 6},
      {u"<xsl:template match='(a|b)'/>", 6},
      {u"<xsl:template match='(a)[1]'/>", 6},
      {u"<xsl:template match='1'/>", 6},
      {u"<xsl:template match='-a'/>", 6},
      {u"<xsl:template match='a = 1'/>", 6},
      {u"<xsl:template match='id(@x)'/>", 6},
      {u"<xsl:template match=\"key('k')\"/>", 6},
      {u"<xsl:template match=\"key('k', 'v')[1]\"/>", 6},
      {u"<xsl:template match='a/..'/>", 1},
      {u"<xsl:template match='a/.'/>", 1},
      {u"<xsl:template match='namespace::*'/>", 1},
      {u"<xsl:template match='b|descendant::a'/>", 1},
  };
  for (const Case& c : cases) {
    try {
      Register(c.templates);
      ADD_FAILURE() << "no error for " << U8(KTString(c.templates));
    } catch (const KTXSLTError& error) {
      EXPECT_EQ(error.GetCode(), c.code) << U8(KTString(c.templates));
      EXPECT_NE(error.GetNode(), nullptr);
    }
  }
  // Alternatives of one named template share its name; the same name in
  // two namespaces is two names.
  Register(u"<xsl:template name='t' match='a|b'/><xsl:template name='p:t'/><xsl:template name='q:t'/>");
  int named = 0;
  for (const auto& rule : processor_.TemplateRules()) named += rule->Name().IsEmpty() ? 0 : 1;
  EXPECT_EQ(named, 4);
}

TEST_F(TemplateRulesTest, ModesAndNamesAreExpanded) {
  Register(u"<xsl:template match='a' mode='p:m' name='p:n'/><xsl:template match='a' mode='y:m2' xmlns:y='urn:p'/>"
           u"<xsl:template match='a' mode='m' xmlns='urn:default'/><xsl:template match='a' priority='-2.5'/>");
  std::vector<std::string> modes;
  for (const auto& rule : processor_.TemplateRules()) {
    if (rule->ImportPrecedence() < 0) continue;
    modes.push_back(U8(rule->Mode()));
    if (rule->Mode() == u"urn:p:m") { EXPECT_EQ(U8(rule->Name()), "urn:p:n"); }
    if (rule->Mode().IsEmpty()) { EXPECT_EQ(rule->Priority(), -2.5); }
  }
  std::sort(modes.begin(), modes.end());
  EXPECT_EQ(modes, (std::vector<std::string>{"", "m", "urn:p:m", "urn:p:m2"}));
}

// Higher import precedence first, then higher priority, then the later
// declaration; the built-in rules come last.
TEST_F(TemplateRulesTest, RulesAreOrderedForConflictResolution) {
  Register(u"<xsl:template match='a' priority='1'/><xsl:template match='*'/><xsl:template match='b'/>"
           u"<xsl:template match='a'/><xsl:template match='c' priority='1'/>");
  std::vector<std::string> order;
  for (const auto& rule : processor_.TemplateRules())
    order.push_back(U8(rule->Match()) + (rule->ImportPrecedence() < 0 ? "!" : ""));
  ASSERT_EQ(order.size(), 17u);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 5),
            (std::vector<std::string>{"c", "a", "a", "b", "*"}));
  EXPECT_EQ(processor_.TemplateRules()[1]->Priority(), 1);
  for (size_t i = 5; i < order.size(); ++i) { EXPECT_EQ(order[i].back(), '!'); }
}

// The built-in rules: twelve rules, for the default mode and for "?".
TEST_F(TemplateRulesTest, BuiltinRulesServeEveryKindInEveryMode) {
  Register(u"");
  ASSERT_EQ(processor_.TemplateRules().size(), 12u);
  KTTemplateRuleIndex& index = processor_.TemplateIndex();
  for (const char16_t* mode : {u"", u"m"}) {
    for (KTXPathNode* node : AllNodes()) {
      int found = index.Find(node, KTString(mode));
      // The built-in rule for namespace nodes does nothing: there is none.
      if (node->GetKind() == kXPathNamespace) {
        EXPECT_EQ(found, KTTemplateRuleIndex::kNotFound);
        continue;
      }
      ASSERT_NE(found, KTTemplateRuleIndex::kNotFound) << ViewPicture(node);
      const KTCompiledTemplate& rule = *processor_.TemplateRules()[found];
      EXPECT_EQ(U8(rule.Mode()), *mode ? "?" : "");
      std::string expected;
      switch (node->GetKind()) {
        case kXPathRoot: expected = "/"; break;
        case kXPathElement: expected = "*"; break;
        case kXPathText:
        case kXPathCData: expected = "text()"; break;
        case kXPathAttribute: expected = "@*"; break;
        case kXPathPI: expected = "processing-instruction()"; break;
        case kXPathComment: expected = "comment()"; break;
      }
      EXPECT_EQ(U8(rule.Match()), expected);
    }
  }
}

// A lookup tests the rules that can match the node's name or kind, not the
// whole list.
TEST_F(TemplateRulesTest, LookupIsIndexedByNameAndKind) {
  std::u16string templates;
  for (int i = 0; i < 200; ++i) templates += u"<xsl:template match='e" + KTUtf8ToUtf16(std::to_string(i)) + u"'/>";
  templates += u"<xsl:template match='b'/>";
  Register(templates);
  KTTemplateRuleIndex& index = processor_.TemplateIndex();
  std::vector<KTXPathNode*> nodes = AllNodes();
  long long before = index.Tests();
  for (KTXPathNode* node : nodes) {
    if (node->GetKind() == kXPathNamespace) continue;
    ASSERT_NE(index.Find(node, KTString()), KTTemplateRuleIndex::kNotFound);
  }
  // At most the named rule and the built-in rule of the node's kind each.
  EXPECT_LE(index.Tests() - before, static_cast<long long>(2 * nodes.size()));
}

// An executor that only serves the lookups.
class LookupExecutor : public KTInstructionExecutor {
 public:
  explicit LookupExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor) {}
  bool Start() override { return true; }
};

// Rules of an imported stylesheet (registered first, lower precedence)
// serve apply-imports and lose named-template and match conflicts.
// The indexed lookup finds what a walk down the sorted rule list finds: the
// first rule at or after `from` of the mode (or, for a named mode, of the
// built-in rules' "?") whose pattern matches, for rules keyed by name, by
// kind and by neither, in the default mode, a named mode and one without
// rules.
TEST_F(TemplateRulesTest, LookupFindsTheFirstMatchingRuleInListOrder) {
  Register(u"<xsl:template match='a'/><xsl:template match='b|@x' mode='m'/><xsl:template match='*' mode='m'/>"
           u"<xsl:template match='node()' priority='-3'/><xsl:template match='a/b'/><xsl:template match='text()'/>"
           u"<xsl:template match='p:*'/><xsl:template match='@*' mode='m' priority='2'/>"
           u"<xsl:template match='c//b' mode='m'/><xsl:template match='b[1]'/><xsl:template match='comment()' mode='m'/>");
  KTTemplateRuleIndex& index = processor_.TemplateIndex();
  const auto& rules = processor_.TemplateRules();
  const int count = static_cast<int>(rules.size());
  for (const KTString& mode : {KTString(), KTString(u"m"), KTString(u"none")}) {
    for (KTXPathNode* node : AllNodes()) {
      for (int from : {0, 1, 3, count / 2, count - 1}) {
        int expected = KTTemplateRuleIndex::kNotFound;
        for (int at = from; at < count && expected == KTTemplateRuleIndex::kNotFound; ++at) {
          const KTString& ruleMode = rules[at]->Mode();
          bool inMode = ruleMode == mode || (!mode.IsEmpty() && ruleMode == KTTemplateRuleIndex::AnyModeMarker());
          if (inMode && rules[at]->Matches(node)) expected = at;
        }
        EXPECT_EQ(index.Find(node, mode, from), expected)
            << U8(mode) << " " << KTUtf16ToUtf8(node->GetName()) << " kind " << node->GetKind() << " from " << from;
      }
    }
  }
}

TEST_F(TemplateRulesTest, ImportPrecedenceDecidesNamedAndImportedRules) {
  Register(u"<xsl:template name='t' match='b'/><xsl:template match='b' mode='m'/>");
  KTTestDocument main = ParseTestDocument(
      context_, u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                u"<xsl:template name='t' match='b' priority='-9'/><xsl:template match='*' mode='m'/>"
                u"</xsl:stylesheet>");
  ASSERT_TRUE(main.view);
  processor_.AdvanceImportPrecedence();
  // The main stylesheet (precedence 1) imports the first one (0), as the
  // stylesheet executor records it.
  processor_.SetImportSubtreeStart(1, 0);
  KTXPathNode* mainElement = main.view->GetChild(main.view->FirstChildOfKind(kXPathElement));
  processor_.RegisterTemplatesOf(mainElement, 0);
  processor_.SortTemplateRules();

  LookupExecutor lookup(&processor_);
  const auto& rules = processor_.TemplateRules();
  int named = lookup.FindNamedTemplate(KTString(u"t"));
  ASSERT_NE(named, KTExecFrame::kNoTemplate);
  EXPECT_EQ(rules[named]->ImportPrecedence(), 1);
  EXPECT_EQ(lookup.FindNamedTemplate(KTString(u"none")), KTExecFrame::kNoTemplate);

  // b in mode m: the main stylesheet's * rule wins over the imported b rule
  // (precedence before priority); apply-imports from it finds the b rule,
  // and from that rule the built-in rule of mode "?".
  KTXPathNode* b = nullptr;
  for (KTXPathNode* node : AllNodes())
    if (!b && node->GetKind() == kXPathElement && std::u16string_view(node->GetName()) == u"b") b = node;
  ASSERT_TRUE(b);
  KTExecFrame frame(&processor_);
  int found = lookup.FindTemplateRule(KTXPathNodeItem(b), &frame, KTString(u"m"));
  ASSERT_NE(found, KTExecFrame::kNoTemplate);
  EXPECT_EQ(U8(rules[found]->Match()), "*");
  EXPECT_EQ(lookup.FindImportedTemplateRule(KTXPathNodeItem(b), &frame, KTString(u"m")), KTExecFrame::kNoTemplate);
  frame.SetCurrentTemplate(found, rules[found].get());
  int imported = lookup.FindImportedTemplateRule(KTXPathNodeItem(b), &frame, KTString(u"m"));
  ASSERT_NE(imported, KTExecFrame::kNoTemplate);
  EXPECT_EQ(U8(rules[imported]->Match()), "b");
  EXPECT_EQ(rules[imported]->ImportPrecedence(), 0);
  frame.SetCurrentTemplate(imported, rules[imported].get());
  int builtin = lookup.FindImportedTemplateRule(KTXPathNodeItem(b), &frame, KTString(u"m"));
  ASSERT_NE(builtin, KTExecFrame::kNoTemplate);
  EXPECT_EQ(U8(rules[builtin]->Mode()), "?");
}

}  // namespace
