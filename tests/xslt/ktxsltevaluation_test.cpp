// Expression evaluation through the processor: -param values in the first
// frame, variables seen through the frames' binding layers and the global
// maps, compiled trees reused across stylesheet nodes, and the errors an
// expression raises (codes 1, 6 and 46 with the XPath error form).
#include <gtest/gtest.h>

#include <string>

#include "platform/ktworkcount.h"

#include "kttestprocessor.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktxslterror.h"

namespace {

std::string U8(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

std::string Text(const KTXPathValue& value) { return U8(KTXPathFunctionLibrary::ToString(value)); }

class EvaluationTest : public ::testing::Test {
 protected:
  void SetUp() override { processor_.SetTreeContext(&context_); }

  // Prepares a run of the stylesheet over the source; the first frame is
  // pushed and the command-line parameters are evaluated.
  void Prepare(const char16_t* stylesheet, const char16_t* source) {
    stylesheet_ = ParseTestDocument(context_, stylesheet);
    source_ = ParseTestDocument(context_, source);
    ASSERT_TRUE(stylesheet_.view && source_.view);
    processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  }

  KTXPathNode* DocumentElement() { return stylesheet_.view->GetChild(stylesheet_.view->FirstChildOfKind(kXPathElement)); }

  // The text compiled for the node, as the stylesheet compile does.
  const KTCompiledExpression& Compiled(const char16_t* text, KTXPathNode* node = nullptr, int restrictions = 0) {
    return *processor_.PrecompileExpression(node ? node : DocumentElement(), KTString(text), restrictions);
  }

  // The text's value in the first frame's context.
  std::string Value(const char16_t* text, KTXPathNode* node = nullptr) {
    KTExecFrame* top = processor_.TopFrame();
    KTXPathValue result;
    try {
      top->EvaluateExpression(node ? node : DocumentElement(), Compiled(text, node), &top->NodeList(), &result,
                              true);
    } catch (KTXSLTError& e) {
      return "error " + KTUtf16ToUtf8(e.GetMessage());
    }
    return Text(result);
  }

  int Count(const char16_t* text, KTXPathNode* node) {
    KTExecFrame* top = processor_.TopFrame();
    KTXPathValue result;
    top->EvaluateExpression(node, Compiled(text, node), &top->NodeList(), &result, true);
    return result.ItemCount();
  }

  KTXSLTError ErrorOf(const char16_t* text, int restrictions = 0) {
    KTExecFrame* top = processor_.TopFrame();
    KTXPathValue result;
    try {
      processor_.CompileExpression(Compiled(text, nullptr, restrictions),
                                   {.stylesheetNode = DocumentElement(),
                                    .contextValue = &top->NodeList(),
                                    .position = 1,
                                    .variables = top,
                                    .allowFragment = true},
                                   &result);
    } catch (KTXSLTError& e) {
      return e;
    }
    ADD_FAILURE() << "no error for " << KTUtf16ToUtf8(text);
    return KTXSLTError(0, nullptr);
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
};

constexpr const char16_t* kXhtmlStylesheet =
    u"<html xmlns='http://www.w3.org/1999/xhtml' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' "
    u"xsl:version='1.0'><body/></html>";
constexpr const char16_t* kItems = u"<doc><item>a</item><item>b</item></doc>";

TEST_F(EvaluationTest, ParametersReachTheFirstFrame) {
  const struct {
    const char16_t* option;
    const char* name;
    const char* value;
  } cases[] = {
      {u"a=1", "a", "1"},
      {u"s='x'", "s", "x"},
      {u"b=c=d", "b", "false"},  // the expression c=d compares two empty node-sets
      // Unprefixed names are in no namespace, though the stylesheet's default
      // namespace is XHTML.
      {u"n=/doc/item[2]", "n", "b"},
      {u"m=1\n+\r\n2", "m", "3"},  // line ends count as spaces
      {u"t=/doc/item[1] = 'a'", "t", "true"},
      {u"c=count(/doc/item)", "c", "2"},
      {u"n=99", "n", "b"},  // the first parameter of a name wins
  };
  for (const auto& c : cases) processor_.AddParameter(c.option);
  Prepare(kXhtmlStylesheet, kItems);
  const KTBindingScope* withParams = processor_.TopFrame()->WithParams();
  ASSERT_NE(withParams, nullptr);
  for (const auto& c : cases) {
    const KTBindingRecord* record = withParams->FindOwn(KTString(KTUtf8ToUtf16(c.name).c_str()));
    ASSERT_NE(record, nullptr) << c.name;
    EXPECT_EQ(Text(record->value), c.value) << c.name;
    EXPECT_EQ(record->nameNode, nullptr);
  }
  EXPECT_EQ(withParams->Own().size(), 7u);
  EXPECT_EQ(withParams->FindOwn(KTString(u"a"))->value.GetKind(), kValueNumber);
  EXPECT_EQ(withParams->FindOwn(KTString(u"n"))->value.ItemCount(), 1);
  // Stylesheet expressions follow the same rule.
  EXPECT_EQ(Value(u"count(/doc/item)"), "2");
}

TEST_F(EvaluationTest, ParameterThatDoesNotEvaluateStopsTheStart) {
  const struct {
    const char16_t* option;
    int code;
    const char16_t* message;
  } cases[] = {
      {u"p=1 +", 6, u"Invalid XPath expression"},
      {u"p=$nothing", 1, u"Error in XPath expression, Invalid variable reference"},
      {u"p=count(1)", 1, u"Error in XPath expression, Not a node set -> count"},
  };
  for (const auto& c : cases) {
    KTTestProcessor processor;
    processor.SetTreeContext(&context_);
    processor.AddParameter(c.option);
    KTTestDocument stylesheet = ParseTestDocument(context_, kXhtmlStylesheet);
    KTTestDocument source = ParseTestDocument(context_, kItems);
    try {
      processor.Prepare(stylesheet.view.get(), source.view.get());
      ADD_FAILURE() << "no error for " << KTUtf16ToUtf8(c.option);
    } catch (KTXSLTError& e) {
      EXPECT_EQ(e.GetCode(), c.code) << KTUtf16ToUtf8(c.option);
      EXPECT_EQ(std::u16string(e.GetMessage()), c.message) << KTUtf16ToUtf8(c.option);
      // The text came from the command line: the error names the option,
      // not a stylesheet node.
      EXPECT_EQ(e.GetNode(), nullptr);
      EXPECT_EQ(e.GetOrigin(), KTString(u"-param ") + KTString(c.option));
    }
    // The record of the failed evaluation keeps its text.
    KTEvaluationRecord last;
    EXPECT_EQ(processor.LastEvaluation(last).text, KTString(c.option + 2));
  }
}

TEST_F(EvaluationTest, VariablesComeFromFramesThenGlobals) {
  Prepare(kXhtmlStylesheet, kItems);
  KTBindingRecord global;
  global.value.SetString(KTString(u"global"));
  processor_.GlobalVariables()->emplace(KTString(u"g"), global);
  processor_.GlobalVariables()->emplace(KTString(u"x"), global);
  KTBindingRecord parameter;
  parameter.value.SetString(KTString(u"param"));
  processor_.GlobalParameters()->emplace(KTString(u"gp"), parameter);

  KTExecFrame* first = processor_.TopFrame();
  KTBindingRecord local;
  local.value.SetString(KTString(u"local"));
  first->OwnVariables().Bind(KTString(u"x"), local);
  first->OwnParameters().Bind(KTString(u"x"), parameter);
  first->OwnParameters().Bind(KTString(u"p"), parameter);
  EXPECT_EQ(Value(u"$x"), "local");   // a local variable hides the parameter and the global
  EXPECT_EQ(Value(u"$p"), "param");
  EXPECT_EQ(Value(u"$g"), "global");
  EXPECT_EQ(Value(u"$gp"), "param");
  EXPECT_EQ(Value(u"concat($x, '-', $g)"), "local-global");

  // A child frame sees its parent's bindings, and its own on top.
  auto child = std::make_unique<KTExecFrame>(first, first->ResultParent());
  child->OwnVariables().Bind(KTString(u"y"), global);
  child->SetNodeToRun(DocumentElement());
  processor_.PushFrame(std::move(child));
  EXPECT_EQ(Value(u"$x"), "local");
  EXPECT_EQ(Value(u"$y"), "global");
}

TEST_F(EvaluationTest, NodeListsAndPositions) {
  Prepare(kXhtmlStylesheet, kItems);
  KTExecFrame* first = processor_.TopFrame();
  ASSERT_TRUE(first->SelectNodeList(DocumentElement(), Compiled(u"/doc/item"), false));
  EXPECT_EQ(first->NodeList().ItemCount(), 2);
  EXPECT_EQ(first->ContextPosition(), 1);
  EXPECT_EQ(Value(u"."), "a");
  EXPECT_EQ(Value(u"../item[2]"), "b");
  EXPECT_EQ(Value(u"position()"), "1");
  EXPECT_EQ(Value(u"last()"), "2");
  first->SetContextPosition(2);
  EXPECT_EQ(Value(u"."), "b");
  EXPECT_EQ(Value(u"position() = last()"), "true");
  // current() is the context node of the instruction.
  EXPECT_EQ(Value(u"string(current())"), "b");
  // Selecting nothing leaves position 0.
  ASSERT_TRUE(first->SelectNodeList(DocumentElement(), Compiled(u"/doc/none"), false));
  EXPECT_EQ(first->ContextPosition(), 0);
  EXPECT_EQ(first->NodeList().ItemCount(), 0);
}

// A named descendant step from many context nodes, each deeper than the
// last, reads the source's list of elements by name from each: the check
// that a context node is reached from the root along content nodes climbs
// each ancestor once for the whole step, so the work grows linearly with
// the depth.
TEST_F(EvaluationTest, NamedStepsFromNestedContextsClimbEachAncestorOnce) {
  auto work = [&](int depth) {
    std::u16string source;
    for (int i = 0; i < depth; ++i) source += u"<s><b><x/></b>";
    for (int i = 0; i < depth; ++i) source += u"</s>";
    Prepare(kXhtmlStylesheet, source.c_str());
    const uint64_t before = KTWorkCount::Total();
    EXPECT_EQ(Value(u"count(//b/descendant::x)"), std::to_string(depth));
    return KTWorkCount::Total() - before;
  };
  const uint64_t small = work(200);
  const uint64_t large = work(800);
  // Four times the depth: about four times the work, sixteen if each
  // context node climbed to the root.
  EXPECT_LT(large, small * 6) << small << " " << large;
}

TEST_F(EvaluationTest, WholeListAsContextWithPositionMinusOne) {
  Prepare(kXhtmlStylesheet, kItems);
  KTExecFrame* first = processor_.TopFrame();
  ASSERT_TRUE(first->SelectNodeList(DocumentElement(), Compiled(u"/doc/item"), false));
  KTXPathValue result;
  processor_.CompileExpression(
      Compiled(u"text()"),
      {.stylesheetNode = DocumentElement(), .contextValue = &first->NodeList(), .position = -1, .allowFragment = true},
      &result);
  EXPECT_EQ(result.ItemCount(), 2);
  KTEvaluationRecord last;
  processor_.LastEvaluation(last);
  EXPECT_EQ(last.contextPosition, -1);
  EXPECT_EQ(last.contextSize, 2);
  EXPECT_EQ(last.resultSize, 2);
}

TEST_F(EvaluationTest, OneTextCompiledOnceTakesEachPlacesPrefixes) {
  Prepare(u"<r xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xsl:version='1.0'>"
          u"<a xmlns:p='urn:one'/><b xmlns:p='urn:two'/></r>",
          u"<doc xmlns:x='urn:one' xmlns:y='urn:two'><x:i/><y:i/><y:i/></doc>");
  KTXPathNode* r = DocumentElement();
  KTXPathNode* a = r->GetChild(r->FirstChildOfKind(kXPathElement));
  KTXPathNode* b = a->GetNextSibling();
  EXPECT_EQ(Count(u"/doc/p:i", a), 1);
  EXPECT_EQ(Count(u"/doc/p:i", b), 2);
  // A prefix bound at neither place.
  KTXSLTError e = ErrorOf(u"/doc/q:i");
  EXPECT_EQ(e.GetCode(), 1);
  EXPECT_EQ(std::u16string(e.GetMessage()), u"Error in XPath expression, Invalid prefix");
}

TEST_F(EvaluationTest, ErrorsOfExpressionsAndPatterns) {
  Prepare(kXhtmlStylesheet, kItems);
  const struct {
    const char16_t* text;
    int restrictions;
    int code;
    const char16_t* message;
  } cases[] = {
      {u"1 +", 0, 6, u"Invalid XPath expression"},
      {u"", 0, 6, u"Invalid XPath expression"},
      {u"/doc/item[$v]", 1, 46, u"Variables and parameters cannot be used in patterns"},
      {u"$v", 0, 1, u"Error in XPath expression, Invalid variable reference"},
      {u"substring('a')", 0, 1, u"Error in XPath expression, Too few parameters -> substring"},
      {u"string-length('a', 'b')", 0, 1, u"Error in XPath expression, Too many parameters -> string-length"},
      {u"frobnicate()", 0, 1, u"Error in XPath expression, Unknown XPath function"},
  };
  for (const auto& c : cases) {
    KTXSLTError e = ErrorOf(c.text, c.restrictions);
    EXPECT_EQ(e.GetCode(), c.code) << KTUtf16ToUtf8(c.text);
    EXPECT_EQ(std::u16string(e.GetMessage()), c.message) << KTUtf16ToUtf8(c.text);
    EXPECT_EQ(e.GetNode(), DocumentElement());
  }
  // The same text as an expression (not a pattern) is compiled apart.
  EXPECT_EQ(ErrorOf(u"/doc/item[$v]").GetCode(), 1);
  // A variable read as an operand or an argument fails as one evaluated on
  // its own does, marked at its "$".
  const struct {
    const char16_t* text;
    int offset;
    const char16_t* message;
  } operands[] = {
      {u"1 + $v", 4, u"Error in XPath expression, Invalid variable reference"},
      {u"$v = 1", 0, u"Error in XPath expression, Invalid variable reference"},
      {u"'a' != $v", 7, u"Error in XPath expression, Invalid variable reference"},
      {u"concat('a', $v)", 12, u"Error in XPath expression, Invalid variable reference"},
      {u"string-length($q:v)", 14, u"Error in XPath expression, Invalid prefix"},
      {u"1 < $q:v", 4, u"Error in XPath expression, Invalid prefix"},
  };
  for (const auto& c : operands) {
    KTXSLTError e = ErrorOf(c.text);
    EXPECT_EQ(e.GetCode(), 1) << KTUtf16ToUtf8(c.text);
    EXPECT_EQ(std::u16string(e.GetMessage()), c.message) << KTUtf16ToUtf8(c.text);
    EXPECT_EQ(e.GetExpressionOffset(), c.offset) << KTUtf16ToUtf8(c.text);
  }
}

class TestExecutor : public KTInstructionExecutor {
 public:
  using KTInstructionExecutor::KTInstructionExecutor;
  bool Start() override { return true; }
};

TEST_F(EvaluationTest, TestsConvertToBoolean) {
  Prepare(kXhtmlStylesheet, kItems);
  TestExecutor executor(&processor_);
  KTExecFrame* first = processor_.TopFrame();
  const struct {
    const char16_t* text;
    bool value;
  } cases[] = {{u"/doc/item", true}, {u"/doc/none", false}, {u"0", false}, {u"'0'", true}, {u"1 = 1", true}};
  for (const auto& c : cases)
    EXPECT_EQ(executor.EvaluateTest(DocumentElement(), &first->NodeList(), 1, Compiled(c.text), first), c.value)
        << KTUtf16ToUtf8(c.text);
}

}  // namespace

namespace {

TEST_F(EvaluationTest, DocumentsKeepTheirIdentityAndTheirOwnRoot) {
  processor_.AddDocument(u"file:///l.xml", u"<l><e r='1'/><e r='2'/></l>");
  Prepare(kXhtmlStylesheet, kItems);
  EXPECT_EQ(Value(u"count(document('file:///l.xml')//e)"), "2");
  // Two calls give the same nodes: their union holds each once.
  EXPECT_EQ(Value(u"count(document('file:///l.xml')//e | document('file:///l.xml')//e)"), "2");
  EXPECT_EQ(processor_.Loads(), 1);
  // A document that cannot be loaded gives an empty node-set.
  EXPECT_EQ(Value(u"count(document('file:///missing.xml'))"), "0");
  // With a node of that document as context, '/' is its root.
  KTExecFrame* first = processor_.TopFrame();
  ASSERT_TRUE(first->SelectNodeList(DocumentElement(), Compiled(u"document('file:///l.xml')//e"), false));
  EXPECT_EQ(Value(u"count(/l)"), "1");
  EXPECT_EQ(Value(u"count(/doc)"), "0");
}

}  // namespace

namespace {

// Every expression, value template and pattern is compiled when the
// stylesheet is, also where nothing runs: asking for its text again after
// Prepare parses nothing (the compile shares equal texts), and a syntax
// error anywhere stops Prepare.
TEST_F(EvaluationTest, TheStylesheetCompileCompilesEveryText) {
  Prepare(u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
          u"<xsl:param name='p'/>"
          u"<xsl:template match='/'/>"
          u"<xsl:template match='never'><xsl:if test='$p and false()'><o a='{concat($p, 1)}'/></xsl:if>"
          u"<xsl:for-each select='item[$p]'><xsl:sort select='string($p)'/></xsl:for-each>"
          u"<xsl:number count='item[$p]'/></xsl:template></xsl:stylesheet>",
          kItems);
  for (const char16_t* text : {u"$p and false()", u"concat($p, 1)", u"item[$p]", u"string($p)"}) {
    const uint64_t before = KTXPathExpression::CompileCount();
    EXPECT_NE(Compiled(text).tree, nullptr) << KTUtf16ToUtf8(text);
    EXPECT_EQ(KTXPathExpression::CompileCount(), before) << KTUtf16ToUtf8(text);
  }
  const uint64_t before = KTXPathExpression::CompileCount();
  EXPECT_NE(Compiled(u"string($q)").tree, nullptr);
  EXPECT_EQ(KTXPathExpression::CompileCount(), before + 1);
  try {
    Prepare(u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
            u"<xsl:template match='/'/><xsl:template match='never'><o a='{1 +}'/></xsl:template>"
            u"</xsl:stylesheet>",
            kItems);
    ADD_FAILURE() << "no error for {1 +}";
  } catch (const KTXSLTError& error) {
    EXPECT_EQ(error.GetCode(), KTXSLTError::kInvalidXPathExpression);
    ASSERT_NE(error.GetNode(), nullptr);
    EXPECT_EQ(U8(error.GetNode()->GetName()), "a");
  }
}

}  // namespace
