// Evaluating expressions over the XPath view of a loaded fixture: every axis
// with its proximity positions, node tests, predicates, unions, variables,
// operators, the pattern restriction and the fragment guard.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ktloadtest_util.h"
#include "ktxpathtest_util.h"
#include "xml/ktdocloader.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathevalcontext.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathnodetest.h"

namespace {

// The fixture axes.xml, loaded once: a PI before the document type
// declaration, then doc(a1(b1 b2 comment c1(b3)) a2(b4 p:b pi)).
class XPathFixture {
 public:
  XPathFixture() {
    KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
    KTLoadStatus status;
    const std::u16string path = KTUtf8ToUtf16(std::string(OST_TEST_DATA) + "/xpath/axes.xml");
    document_.reset(loader.LoadFromUrl(path.c_str(), status));
    if (document_)
      view_ = context_.WrapTree(document_.get(), nullptr, false, path.c_str());
    namespaces_[KTString(u"p")] = context_.InternUri(u"urn:p");
  }
  KTXPathNode* Root() const { return view_.get(); }
  KTXPathTreeContext& Context() { return context_; }
  const KTPrefixMap& Namespaces() const { return namespaces_; }

 private:
  std::unique_ptr<KTXNode> document_;
  KTXPathTreeContext context_;
  std::unique_ptr<KTXPathNode> view_;
  KTPrefixMap namespaces_;
};

XPathFixture& Fixture() {
  static XPathFixture* fixture = new XPathFixture();
  return *fixture;
}

// One word per node: an element's id (its name without one), "@name=value",
// 'text', #comment, pi:target, ns:prefix, / for the root.
std::string Describe(const KTXPathNode* node) {
  switch (node->GetKind()) {
    case kXPathRoot:
      return "/";
    case kXPathElement:
      for (const auto& child : node->Children()) {
        if (child->GetKind() == kXPathAttribute && std::u16string_view(child->GetName()) == u"id")
          return KTUtf16ToUtf8(child->GetValue());
      }
      return KTUtf16ToUtf8(node->GetName());
    case kXPathAttribute:
      return "@" + KTUtf16ToUtf8(node->GetName()) + "=" + KTUtf16ToUtf8(node->GetValue());
    case kXPathText:
    case kXPathCData:
      return "'" + KTUtf16ToUtf8(node->GetValue()) + "'";
    case kXPathComment:
      return "#comment";
    case kXPathPI:
      return "pi:" + KTUtf16ToUtf8(node->GetName());
    case kXPathNamespace:
      return "ns:" + KTUtf16ToUtf8(node->GetName());
    default:
      return "?";
  }
}

std::string Describe(const KTXPathValue& value) {
  KTString text;
  switch (value.GetKind()) {
    case kValueBoolean:
      return value.GetBoolean() ? "true" : "false";
    case kValueNumber:
    case kValueString:
      return KTUtf16ToUtf8(value.ToString(&text).View());
    default:
      break;
  }
  std::string out;
  for (const KTXPathNodeItem& item : value.Items()) {
    if (!out.empty())
      out += " ";
    out += Describe(item.GetNode());
  }
  return out;
}

struct Outcome {
  bool ok = false;
  std::string value;  // or "error N"
  KTXPathValue raw;
  int errorPosition = 0;
  std::string errorSubject;
  int errorMark = 0;
};

Outcome Eval(const std::string& text, int restrictions = 0, const KTXPathExpression::VariableMap* variables = nullptr,
             bool allowFragments = true) {
  XPathFixture& fixture = Fixture();
  KTXPathExpression expression;
  expression.Init(&fixture.Namespaces(), &fixture.Context().GetUriTable(), KTString(KTUtf8ToUtf16(text).c_str()),
                  restrictions);
  Outcome outcome;
  if (!expression.Compile(true, KTXPathExpression::kModeExpr)) {
    outcome.value = "compile error";
    return outcome;
  }
  if (variables)
    expression.SetVariables(*variables);
  outcome.ok =
      expression.Evaluate(fixture.Root(), fixture.Root(), &outcome.raw, nullptr, 1, 1, allowFragments);
  outcome.value = outcome.ok ? Describe(outcome.raw) : "error " + std::to_string(expression.GetErrorCode());
  outcome.errorPosition = expression.GetErrorPosition();
  outcome.errorSubject = KTUtf16ToUtf8(expression.GetErrorSubject().c_str());
  outcome.errorMark = expression.GetErrorMark();
  return outcome;
}

struct EvalCase {
  const char* expression;
  const char* expected;
};

void RunTable(const std::vector<EvalCase>& cases) {
  ASSERT_NE(Fixture().Root(), nullptr);
  for (const EvalCase& c : cases)
    EXPECT_EQ(Eval(c.expression).value, c.expected) << c.expression;
}

TEST(XPathEvaluate, ForwardAxes) {
  RunTable({
      {"/", "/"},
      {"/node()", "pi:first doc"},
      {"/doc/a", "a1 a2"},
      {"/doc/a/node()", "b1 b2 #comment c1 b4 pb pi:pi"},
      {"/doc/a/*", "b1 b2 c1 b4 pb"},
      {"/doc/a/b/text()", "'one' 'two' 'four'"},
      {"/doc/descendant::b", "b1 b2 b3 b4"},
      {"//b", "b1 b2 b3 b4"},
      {"//p:b", "pb"},
      {"//p:*", "pb"},
      {"/doc/a[1]/descendant-or-self::*", "a1 b1 b2 c1 b3"},
      {"//*/descendant::b", "b1 b2 b3 b4"},
      {"/doc/a/@n", "@n=1 @n=2"},
      {"/doc/@*", "@id=doc"},
      {"/doc/a/@n/descendant-or-self::node()", "@n=1 @n=2"},
      {"/doc/a/attribute::node()", "@id=a1 @n=1 @id=a2 @n=2"},
      {"//b[@id='b2']/following::*", "c1 b3 a2 b4 pb"},
      {"//c/following::node()", "a2 b4 'four' pb 'five' pi:pi"},
      {"/doc/a[1]/@n/following::*", "b1 b2 c1 b3 a2 b4 pb"},
      {"/doc/a/b/following::b", "b2 b3 b4"},
      {"/processing-instruction()/following::node()[1]", "doc"},
      {"/doc/a[1]/b[1]/following-sibling::*", "b2 c1"},
      {"/doc/a[1]/b[1]/following-sibling::*[2]", "c1"},
      {"/doc/a/*/following-sibling::node()", "b2 #comment c1 pb pi:pi"},
      {"/doc/a/@n/following-sibling::node()", ""},
      {"//c/self::c", "c1"},
      {"//*/self::c", "c1"},
      {"/doc/a/@n/self::node()", "@n=1 @n=2"},
      {"/doc/a/@n/self::n", ""},
      // The prefix xml needs no binding.
      {"//@xml:lang/..", "c1"},
      {"//*[@xml:lang = 'en']", "c1"},
  });
}

TEST(XPathEvaluate, ReverseAxesCountFromTheNearestNode) {
  RunTable({
      {"//b[@id='b3']/ancestor::*", "doc a1 c1"},
      {"//b[@id='b3']/ancestor::*[1]", "c1"},
      {"//b[@id='b3']/ancestor::*[3]", "doc"},
      {"//b[@id='b3']/ancestor::node()", "/ doc a1 c1"},
      {"//b[@id='b3']/text()/ancestor::node()[1]", "b3"},
      {"//c/ancestor-or-self::*", "doc a1 c1"},
      {"//c/ancestor-or-self::*[1]", "c1"},
      {"//b/ancestor-or-self::a", "a1 a2"},
      {"//b/ancestor::*", "doc a1 c1 a2"},
      {"//b[@id='b4']/preceding::*", "a1 b1 b2 c1 b3"},
      {"//b[@id='b4']/preceding::*[1]", "b3"},
      {"//b[@id='b4']/preceding::b[2]", "b2"},
      {"//b[@id='b4']/preceding::node()[2]", "b3"},
      {"/doc/a[2]/@n/preceding::*", "a1 b1 b2 c1 b3"},
      {"//b/preceding::c", "c1"},
      {"/doc/a[1]/c/preceding-sibling::*", "b1 b2"},
      {"/doc/a[1]/c/preceding-sibling::*[1]", "b2"},
      {"/doc/a[1]/c/preceding-sibling::node()[1]", "#comment"},
      {"/doc/a/*/preceding-sibling::b", "b1 b2 b4"},
      {"//b/..", "a1 c1 a2"},
      {"/doc/a/@n/..", "a1 a2"},
      {"/doc/a/@n/parent::a", "a1 a2"},
      {"/..", ""},
      {"/doc/..", "/"},
  });
}

TEST(XPathEvaluate, NamespaceAxis) {
  Outcome all = Eval("/doc/namespace::*");
  ASSERT_TRUE(all.ok);
  std::vector<std::string> names;
  for (const KTXPathNodeItem& item : all.raw.Items())
    names.push_back(Describe(item.GetNode()));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ns:p", "ns:xml"}));
  // A name test compares the prefix the source declared.
  EXPECT_EQ(Eval("/doc/namespace::p").value, "ns:p");
  EXPECT_EQ(Eval("/doc/namespace::q").value, "");
  EXPECT_EQ(Eval("/doc/namespace::node()/..").value, "doc");
  EXPECT_EQ(Eval("/doc/namespace::p/following-sibling::node()").value, "");
  // Namespace nodes of the elements below count too, each its own node.
  EXPECT_EQ(Eval("//namespace::p").raw.ItemCount(), 9);
  EXPECT_EQ(Eval("/doc/namespace::p/following::*[1]").value, "a1");
  // ancestor-or-self::node() of a namespace node starts with the node itself.
  EXPECT_EQ(Eval("/doc/namespace::p/ancestor-or-self::node()").value, "/ doc ns:p");
  EXPECT_EQ(Eval("/doc/namespace::p/ancestor-or-self::node()[1]").value, "ns:p");
  // descendant-or-self of a namespace node is the node alone.
  EXPECT_EQ(Eval("/doc/namespace::p/descendant-or-self::node()").value, "ns:p");
  EXPECT_EQ(Eval("/doc/namespace::p//.").value, "ns:p");
  EXPECT_EQ(Eval("count(/doc/namespace::*/descendant-or-self::node())").value,
            Eval("count(/doc/namespace::*)").value);
}

TEST(XPathEvaluate, NodeTests) {
  RunTable({
      {"//comment()", "#comment"},
      {"//processing-instruction()", "pi:first pi:pi"},
      {"//processing-instruction('pi')", "pi:pi"},
      {"//processing-instruction(\"none\")", ""},
      {"//text()[. = 'five']", "'five'"},
      {"/doc/a/node()[2]", "b2 pb"},
      {"/doc/a/b/self::node()", "b1 b2 b4"},
      {"//NaN", ""},
      {"/descendant::node()[1]", "pi:first"},
  });
}

TEST(XPathEvaluate, PredicatesAndUnions) {
  RunTable({
      {"/doc/a/b[2]", "b2"},
      {"//b[2]", "b2"},
      {"(//b)[2]", "b2"},
      {"(//b)[4]", "b4"},
      {"//b[1]", "b1 b3 b4"},
      {"/doc/a/*[2][1]", "b2 pb"},
      {"/doc/a/*[1][2]", ""},
      {"/doc/a[b='four']", "a2"},
      {"//b[.='three']", "b3"},
      {"//b[@ref]", "b4"},
      {"//*[@id = //b/@ref]", "b1"},
      {"/doc/a[1.5]", ""},
      {"/doc/a['x']", "a1 a2"},
      {"/doc/a['']", ""},
      {"/doc/a[c][b]", "a1"},
      {"//c | //b[1] | /doc", "doc b1 c1 b3 b4"},
      {"//b | //b", "b1 b2 b3 b4"},
      {"(//b | /doc/a)[3]", "b2"},
      {"//a[2]//b | //a[1]/c/b", "b3 b4"},
      {"(/doc/a)//b", "b1 b2 b3 b4"},
  });
}

TEST(XPathEvaluate, Operators) {
  RunTable({
      {"1 = 1 = 1", "true"},
      {"1 - 2 - 3", "-4"},
      {"8 div 2 div 2", "2"},
      {"5.5 mod 2", "1.5"},
      {"2 mod 0.5", "0"},
      {"- - 3", "3"},
      {"-'a'", "NaN"},
      {"'abc' mod 2", "NaN"},
      {"1 div 0", "Infinity"},
      {"//b = 'four'", "true"},
      {"//b != 'four'", "true"},
      {"//b > 3", "false"},
      {"//x = //x", "false"},
      {"/doc/a/@n < /doc/a/@n", "true"},
      {"1 < 2 > 0", "true"},
      {"12. + .5", "12.5"},
      {"'1' = 1", "true"},
  });
}

TEST(XPathEvaluate, OrAndAndDecideOnTheLeftOperand) {
  EXPECT_EQ(Eval("1 or $undefined").value, "true");
  EXPECT_EQ(Eval("0 and $undefined").value, "false");
  EXPECT_EQ(Eval("0 or $undefined").value, "error 6");
  EXPECT_EQ(Eval("1 and //b and 0").value, "false");
}

TEST(XPathEvaluate, ErrorsCarryCodesAndPositions) {
  struct ErrorCase {
    const char* expression;
    int code;
    int position;  // characters left where the error lies
  };
  const ErrorCase cases[] = {
      {"//q:b", 1, 3},       {"/doc/q:*", 1, 3},   {"$none", 6, 4},    {"//b | 1", 4, 1},
      {"(1)[1]", 4, 3},      {"1/a", 4, 1},        {"Count(//b)", 9, 10},  {"q:f()", 1, 5},
      // inside operands that are operators again
      {"(1 + (2 * (//b | 1))) = 3", 4, 8}, {"((1 - $none) + 2) * 3", 6, 14},
  };
  for (const ErrorCase& c : cases) {
    Outcome outcome = Eval(c.expression);
    EXPECT_FALSE(outcome.ok) << c.expression;
    EXPECT_EQ(outcome.value, "error " + std::to_string(c.code)) << c.expression;
    EXPECT_EQ(outcome.errorPosition, c.position) << c.expression;
  }
}

// What an error names for its message, and where the message marks it
// (characters left): a function or variable as written, from its start.
TEST(XPathEvaluate, ErrorsNameTheirSubjectAndMarkItsStart) {
  const struct {
    const char* expression;
    const char* subject;
    int mark;
  } cases[] = {
      {"1 + Count(//b)", "Count()", 10},
      {"q:f()", "q:f()", 5},
      {"p:f(1)", "p:f(): extension functions are not supported", 6},
      {"concat('a', $none)", "$none", 6},
      {"$q:v", "$q:v", 4},
      {"//q:b", "q:b", 3},
      {"2 + count(1)", "", 8},
      {"((1 - 2) + (2 * Count(1))) = 3", "Count()", 14},
  };
  for (const auto& c : cases) {
    Outcome outcome = Eval(c.expression);
    EXPECT_FALSE(outcome.ok) << c.expression;
    EXPECT_EQ(outcome.errorSubject, c.subject) << c.expression;
    EXPECT_EQ(outcome.errorMark, c.mark) << c.expression;
  }
  // A later evaluation that succeeds leaves no subject behind.
  KTXPathExpression expression;
  XPathFixture& fixture = Fixture();
  expression.Init(&fixture.Namespaces(), &fixture.Context().GetUriTable(), KTString(u"$none"), 0);
  ASSERT_TRUE(expression.Compile(true, KTXPathExpression::kModeExpr));
  KTXPathValue result;
  EXPECT_FALSE(expression.Evaluate(fixture.Root(), fixture.Root(), &result, nullptr, 1, 1, true));
  EXPECT_EQ(KTUtf16ToUtf8(expression.GetErrorSubject().c_str()), "$none");
  KTXPathExpression::VariableMap variables;
  variables[KTString(u"none")] = KTXPathValue();
  expression.SetVariables(variables);
  EXPECT_TRUE(expression.Evaluate(fixture.Root(), fixture.Root(), &result, nullptr, 1, 1, true));
  EXPECT_TRUE(expression.GetErrorSubject().IsEmpty());
  EXPECT_EQ(expression.GetErrorMark(), 0);
}

TEST(XPathEvaluate, Variables) {
  KTXPathExpression::VariableMap variables;
  Outcome a2 = Eval("/doc/a[2]");
  variables[KTString(u"v")] = a2.raw;
  KTXPathValue two;
  two.SetNumber(2);
  variables[KTString(u"n")] = two;
  KTXPathValue four;
  four.SetString(KTString(u"four"));
  variables[KTString(u"s")] = four;
  variables[KTString(u"urn:p:q")] = two;
  variables[KTString(u"all")] = Eval("//b | //c").raw;
  const EvalCase cases[] = {
      {"$v/b", "b4"},       {"/doc/a[$n]", "a2"},     {"//b[. = $s]", "b4"}, {"$n * $n", "4"},
      {"$p:q", "2"},        {"$all[2]", "b2"},        {"$all[last]", ""},    {"$v//b | $all[1]", "b1 b4"},
      {"$undefined", "error 6"},
      // A prefix bound nowhere is an error, not the unprefixed $n.
      {"$unbound:n", "error 1"},  {"$unbound:n + 1", "error 1"},
  };
  for (const EvalCase& c : cases)
    EXPECT_EQ(Eval(c.expression, 0, &variables).value, c.expected) << c.expression;
}

TEST(XPathEvaluate, PatternsAllowOnlyChildAndAttributeAxes) {
  const EvalCase cases[] = {
      {"parent::a", "error 12"},
      {"descendant-or-self::b", "error 12"},
      {"ancestor::doc", "error 12"},
      {"doc/a[parent::doc]", "a1 a2"},
      {"doc//b", "b1 b2 b3 b4"},
      {"//b[ancestor::c]", "b3"},
      // After "//" a child step is walked as descendants, with or without
      // predicates, but an axis written there is still checked.
      {"//b", "b1 b2 b3 b4"},
      {"//b[@ref]", "b4"},
      {"//b[1]", "b1 b3 b4"},
      {"//descendant::b", "error 12"},
      {"//a[ancestor::doc]/b[not(@ref)][2]", "b2"},
      {"doc/a[c[b]/parent::a]", "a1"},
      {"doc/a/@n", "@n=1 @n=2"},
      {"doc/..", "error 12"},
      // "." is self::node(); in a predicate it is the node under test.
      {".", "error 12"},
      {"doc/a/.", "error 12"},
      {"doc/a[./@n = 2]", "a2"},
  };
  for (const EvalCase& c : cases)
    EXPECT_EQ(Eval(c.expression, KTXPathExpression::kRestrictPattern).value, c.expected) << c.expression;
}

TEST(XPathEvaluate, ResultTreeFragmentsPassOnlyWhole) {
  // A root built by the processor, holding one element.
  auto fragment = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  auto element = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
  element->SetName(u"x");
  fragment->AppendChild(std::move(element));
  KTXPathExpression::VariableMap variables;
  KTXPathValue value;
  value.PushItem(KTXPathNodeItem(fragment.get(), 1));
  variables[KTString(u"rtf")] = value;
  EXPECT_EQ(Eval("$rtf", 0, &variables, true).value, "/");
  EXPECT_EQ(Eval("$rtf", 0, &variables, false).value, "error 11");
  EXPECT_EQ(Eval("$rtf/x", 0, &variables).value, "error 11");
  EXPECT_EQ(Eval("$rtf//x", 0, &variables).value, "error 11");
  EXPECT_EQ(Eval("$rtf[1]", 0, &variables).value, "error 11");
  // A default attribute or any other node of a document is no fragment.
  variables[KTString(u"node")] = Eval("/doc/a[1]/@n").raw;
  EXPECT_EQ(Eval("$node/..", 0, &variables, false).value, "a1");
}

TEST(XPathEvaluate, DeepExpressionsEvaluate) {
  const int depth = KTXPathParser::kMaxNesting - 1;
  EXPECT_EQ(Eval(std::string(depth, '(') + "1" + std::string(depth, ')')).value, "1");
  std::string predicates = "/doc";
  for (int i = 0; i < 300; ++i)
    predicates += "[self::node()";
  predicates += std::string(300, ']');
  EXPECT_EQ(Eval(predicates).value, "doc");
}

// position() and last() inside predicates count along the axis: from the
// nearest node on reverse axes, over the nodes the predicate filters.
TEST(XPathEvaluate, PositionAndLastFollowTheAxis) {
  RunTable({
      {"//b[position() = last()]", "b2 b3 b4"},
      {"//b[@id='b3']/ancestor::*[last()]", "doc"},
      {"//b[@id='b3']/ancestor-or-self::*[position() = 2]", "c1"},
      {"//b/self::node()[position() > 1]", ""},
      {"count(//b/self::node()[position() = last()])", "4"},
      {"//b[@id='b4']/preceding::*[position() < 3]", "c1 b3"},
      {"//b[@id='b4']/preceding::*[last()]", "a1"},
      {"/doc/a[1]/c/preceding-sibling::*[last()]", "b1"},
      {"/doc/a[1]/b[1]/following-sibling::node()[last()]", "c1"},
      {"//b[last() - 1]", "b1"},
      {"/doc/a/*[2][position() = 1]", "b2 pb"},
      {"/doc/a/*[position() > 1][1]", "b2 pb"},
      {"(//b)[last()]", "b4"},
      {"(//b)[position() = 2 or position() = last()]", "b2 b4"},
      {"count(//b[@id='b3']/ancestor::*)", "3"},
      {"name(//b[@id='b3']/ancestor::*)", "doc"},
      {"count(//namespace::*)", "18"},
  });
  // Arguments see the caller's position and size.
  XPathFixture& fixture = Fixture();
  KTXPathExpression expression;
  expression.Init(&fixture.Namespaces(), &fixture.Context().GetUriTable(), KTString(u"concat(position(), '/', last())"),
                  0);
  ASSERT_TRUE(expression.Compile(true, KTXPathExpression::kModeExpr));
  KTXPathValue value;
  ASSERT_TRUE(expression.Evaluate(fixture.Root(), fixture.Root(), &value, nullptr, 3, 7, true));
  EXPECT_EQ(Describe(value), "3/7");
}

// The evaluation context itself ----------------------------------------------

TEST(KTXPathEvalContext, StepsAndCommits) {
  XPathFixture& fixture = Fixture();
  KTXPathEvalContext context;
  // From an empty node-set a step finds nothing and the commit says so.
  EXPECT_TRUE(context.EvaluateStep());
  EXPECT_FALSE(context.CommitValueSlots());
  EXPECT_EQ(context.GetNodeSetSize(), 0);
  // An unknown axis code leaves the slots alone.
  context.SetCurrentItem(KTXPathNodeItem(fixture.Root(), 1));
  context.SetAxis(13);
  EXPECT_FALSE(context.EvaluateStep());
  EXPECT_EQ(context.Other().ItemCount(), 0);
  // Each node is added once.
  KTXPathEvalContext::SeenSet seen;
  EXPECT_FALSE(context.AddResultNode(KTXPathNodeItem(fixture.Root(), 1), seen));
  EXPECT_TRUE(context.AddResultNode(KTXPathNodeItem(fixture.Root(), 2), seen));
  EXPECT_EQ(context.Other().ItemCount(), 1);
  EXPECT_TRUE(context.CommitValueSlots());
  EXPECT_EQ(context.GetNodeSetSize(), 1);
  // A copy keeps the fixed context size.
  context.SetContextSize(7);
  KTXPathEvalContext copy = context;
  EXPECT_EQ(copy.GetContextSize(), 7);
  EXPECT_EQ(copy.Current().ItemCount(), 1);
}

TEST(KTXPathEvalContext, DescendantOfTheRootSkipsDeclarations) {
  KTXPathEvalContext context;
  context.SetCurrentItem(KTXPathNodeItem(Fixture().Root(), 1));
  context.SetAxis(kAxisDescendant);
  ASSERT_TRUE(context.EvaluateStep());
  context.CommitValueSlots();
  int position = 0;
  for (const KTXPathNodeItem& item : context.Current().Items()) {
    EXPECT_NE(item.GetKind(), kItemAttribute);
    EXPECT_NE(item.GetKind(), kItemOther);
    EXPECT_EQ(item.GetPosition(), ++position);
  }
  EXPECT_EQ(position, 17);
}

// Node tests -------------------------------------------------------------------

TEST(KTXPathNodeTest, KindAndNameTests) {
  KTTestTree tree;
  KTXPathNode* element = tree.Element(nullptr, u"p:b");
  KTXPathNode* plain = tree.Element(nullptr, u"b");
  KTXPathNode* attribute = tree.Attribute(element, u"a", u"v");
  KTXPathNode* cdata = tree.Add(element, kXPathCData, nullptr, u"c");
  KTXPathNode* text = tree.Text(element, u"t");
  KTXPathNode* pi = tree.Add(element, kXPathPI, u"x", u"");
  KTXPathNode* otherPi = tree.Add(element, kXPathPI, u"y", u"");
  const KTString uri(u"urn:u");
  const KTString sameText(u"urn:u");
  element->SetNamespaceUri(&uri);
  auto item = [](KTXPathNode* node) { return KTXPathNodeItem(node, 1); };

  EXPECT_TRUE(KTTextTest().Test(item(cdata)));
  EXPECT_TRUE(KTTextTest().Test(item(text)));
  EXPECT_TRUE(KTAttributeOfElementTest().Test(item(attribute)));
  auto detachedOwned = std::make_unique<KTXPathNode>(nullptr, kXPathAttribute);
  KTXPathNode& detached = *detachedOwned;
  EXPECT_FALSE(KTAttributeOfElementTest().Test(item(&detached)));
  EXPECT_FALSE(KTDeclarationTest().Test(item(tree.Root())));
  EXPECT_FALSE(KTDeclarationTest().Test(item(element)));
  EXPECT_TRUE(KTNamespaceUriTest(nullptr).Test(item(plain)));
  EXPECT_FALSE(KTNamespaceUriTest(nullptr).Test(item(element)));
  EXPECT_TRUE(KTNamespaceUriTest(&uri).Test(item(element)));
  EXPECT_FALSE(KTNamespaceUriTest(&sameText).Test(item(element)));
  EXPECT_TRUE(KTLocalNameTest(KTString(u"b")).Test(item(element)));
  EXPECT_TRUE(KTLocalNameTest(KTString(u"b")).Test(item(plain)));
  KTXPathNode* reversed = tree.Element(nullptr, u"b:a");
  EXPECT_FALSE(KTLocalNameTest(KTString(u"b")).Test(item(reversed)));
  // A name that starts or ends like the test but is longer or shorter.
  EXPECT_FALSE(KTLocalNameTest(KTString(u"b")).Test(item(tree.Element(nullptr, u"bb"))));
  EXPECT_FALSE(KTLocalNameTest(KTString(u"bb")).Test(item(tree.Element(nullptr, u"b"))));
  EXPECT_FALSE(KTLocalNameTest(KTString(u"b")).Test(item(tree.Element(nullptr, u"a:bc"))));
  EXPECT_TRUE(KTLocalNameTest(KTString(u"bc")).Test(item(tree.Element(nullptr, u"a:bc"))));
  EXPECT_TRUE(KTPITargetTest(KTString()).Test(item(pi)));
  EXPECT_TRUE(KTPITargetTest(KTString(u"x")).Test(item(pi)));
  EXPECT_FALSE(KTPITargetTest(KTString(u"x")).Test(item(otherPi)));
  EXPECT_FALSE(KTAnyOfTest({}).Test(item(pi)));
  EXPECT_TRUE(KTAllOfTest({}).Test(item(pi)));
  EXPECT_TRUE(KTStringValueTest(KTString(u"v")).Test(item(attribute)));
}

TEST(KTXPathNodeTest, DeclarationsAndNodeSets) {
  // The fixture's document type declaration and the declaration inside it.
  KTXPathNode* root = Fixture().Root();
  const KTXPathNode* doctype = nullptr;
  for (const auto& child : root->Children()) {
    if (child->GetKind() == kXPathDoctype)
      doctype = child.get();
  }
  ASSERT_NE(doctype, nullptr);
  EXPECT_TRUE(KTDeclarationTest().Test(KTXPathNodeItem(const_cast<KTXPathNode*>(doctype), 1)));
  if (doctype->GetChildCount() > 0) {
    EXPECT_TRUE(KTDeclarationTest().Test(KTXPathNodeItem(doctype->GetChild(0), 1)));
  }

  KTXPathNodeItem rootItem(root, 1);
  KTAncestorSet ancestors(rootItem);
  EXPECT_TRUE(ancestors.Contains(rootItem));
  Outcome b3 = Eval("//b[@id='b3']");
  const KTXPathNodeItem leaf = b3.raw.Items()[0];
  EXPECT_FALSE(ancestors.Contains(leaf));
  KTDescendantSet none(KTXPathNodeItem(leaf.GetNode()->GetChild(0), 1));
  EXPECT_FALSE(none.Contains(leaf));
  KTDescendantSet below(Eval("/doc/a[1]").raw.Items()[0]);
  EXPECT_TRUE(below.Contains(leaf));
  EXPECT_FALSE(below.Contains(Eval("/doc/a[2]/b").raw.Items()[0]));
  KTAncestorSet above(leaf);
  EXPECT_TRUE(above.Contains(Eval("/doc/a[1]").raw.Items()[0]));
  EXPECT_TRUE(above.Contains(rootItem));
}

}  // namespace
