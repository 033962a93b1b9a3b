// Invariant operands: which operands the compile marks, that a marked one runs
// once per evaluation (counted work, not time) and keeps nothing for the next,
// and that answers agree with xsltproc's, computed when the test runs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ktloadtest_util.h"
#include "ktscaling_util.h"
#include "ktxpathtest_util.h"
#include "ktxpathxsltproc_util.h"
#include "xml/ktdocloader.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathexpression.h"

namespace {

// The text of a subtree: its tokens and character runs in order.
std::string TextOf(const KTXPathAstNode* node) {
  if (node->GetKind() == kAstToken || node->GetKind() == kAstCharacterRun)
    return U8(node->Token());
  std::string text;
  for (int i = 0; i < node->ChildCount(); ++i)
    text += TextOf(node->ChildAt(i));
  return text;
}

// The operands of the compiled text that took a slot, in slot order: the
// text of each (without spaces), "~" added when it follows the context
// node's document.
std::string MarkedOperands(const std::string& text) {
  KTXPathExpression expression;
  const KTPrefixMap noPrefixes;
  const KTXPathExpression::UriList noUris;
  expression.Init(&noPrefixes, &noUris, KTString(KTUtf8ToUtf16(text).c_str()), 0);
  if (!expression.Compile(true, KTXPathExpression::kModeExpr))
    return "compile error";
  std::vector<std::pair<int, std::string>> marked;
  std::vector<const KTXPathAstNode*> work{expression.GetTree()};
  while (!work.empty()) {
    const KTXPathAstNode* node = work.back();
    work.pop_back();
    if (node->InvariantSlot() >= 0)
      marked.emplace_back(node->InvariantSlot(), TextOf(node) + (node->InvariantPerDocument() ? "~" : ""));
    for (int i = 0; i < node->ChildCount(); ++i)
      work.push_back(node->ChildAt(i));
  }
  std::sort(marked.begin(), marked.end());
  std::string out;
  for (const auto& [slot, operand] : marked)
    out += (out.empty() ? "" : " | ") + operand;
  return out;
}

TEST(InvariantOperands, MarksWhatNoCandidateChanges) {
  const struct {
    const char* text;
    const char* marked;
  } cases[] = {
      // Absolute paths, and functions of them, are the same for every g of
      // one document: "/" is the root of the context node's document.
      {"//g[x/@v = //g[1]/x/@v]", "//g[1]/x/@v~"},
      {"//g[count(//x) = 2]", "count(//x)=2~"},
      {"//g[//h]", "//h~"},
      {"//g[name(/*) = 'g']", "name(/*)='g'~"},
      {"//g[$v/x = x]", "$v/x"},
      {"//g[x = (//h | //k)[2]]", "(//h|//k)[2]~"},
      {"//g[- sum(//x/@n) < 0]", "-sum(//x/@n)<0~"},
      // Inside a marked operand, what its own predicates repeat is marked
      // again.
      {"//g[count(//x[. = //y]) = 2]", "count(//x[.=//y])=2~ | //y~"},
      // Every predicate of the expression is read, wherever it stands.
      {"//g[x = //h][y = //k]", "//h~ | //k~"},
      {"count(//g[x = //h]) + count(//k[y = $v/z])", "//h~ | $v/z"},
      {"(//g)[x = //h]/k[y = //m]", "//h~ | //m~"},
      // key() and id() look in the context node's document.
      {"//g[key('k', 'a')]", "key('k','a')~"},
      {"//g[x = id('a b')/@v]", "id('a b')/@v~"},
      // The context node, position and size, the functions that default to
      // the context node, current() and document() run every time.
      {"//g[x = string()]", ""},
      {"//g[position() = last()]", ""},
      {"//g[name() = 'g']", ""},
      {"//g[@r = current()/@id]", ""},
      {"//g[//h[@r = current()/@id]]", ""},
      {"//g[document('a.xml')]", ""},
      {"//g[lang('en')]", ""},
      // Literals, numbers and variables cost no more to run than to replay;
      // an expression outside any predicate runs once anyway.
      {"//g[x = 'a'][2][$v]", ""},
      {"count(//g) + count(//h)", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MarkedOperands(c.text), c.marked) << c.text;
}

// A document of n groups, each holding three x with a value attribute.
class GroupTree {
 public:
  explicit GroupTree(int groups) {
    KTXPathNode* root = tree_.Element(nullptr, u"root");
    for (int i = 0; i < groups; ++i) {
      KTXPathNode* g = tree_.Element(root, u"g");
      tree_.Attribute(g, u"id", KTUtf8ToUtf16(std::to_string(i)).c_str());
      for (int j = 0; j < 3; ++j) {
        KTXPathNode* x = tree_.Element(g, u"x");
        tree_.Attribute(x, u"v", KTUtf8ToUtf16(std::to_string((i * 3 + j) % 7)).c_str());
      }
    }
  }
  KTXPathNode* Root() const { return tree_.Root(); }

 private:
  KTTestTree tree_;
};

std::string Evaluate(KTXPathExpression& expression, KTXPathNode* root) {
  KTXPathValue value;
  if (!expression.Evaluate(root, root, &value, nullptr, 1, 1, true))
    return "error " + std::to_string(expression.GetErrorCode());
  KTString text;
  return U8(value.ToString(&text));
}

std::string Evaluate(const std::string& text, KTXPathNode* root,
                     const KTXPathExpression::VariableMap& variables = {}) {
  KTXPathExpression expression;
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), KTString(KTUtf8ToUtf16(text).c_str()), 0);
  if (!expression.Compile(true, KTXPathExpression::kModeExpr))
    return "compile error";
  expression.SetVariables(variables);
  return Evaluate(expression, root);
}

TEST(InvariantOperands, RunOncePerEvaluation) {
  // The predicate inside the operand runs for every g it reaches (each run
  // counted): once over all groups when the operand runs once, once per
  // group and candidate when it runs for every candidate.
  const std::string text = "count(//g[x/@v = //g[position() = 1]/x/@v])";
  const GroupTree small(200);
  const GroupTree large(1600);
  std::string answer;
  EXPECT_TRUE(GrowsLinearly([&](int scale) { answer = Evaluate(text, (scale == 1 ? small : large).Root()); }, 400));
  // The groups holding one of the values 0, 1 and 2 of the first group.
  int holding = 0;
  for (int i = 0; i < 1600; ++i)
    holding += (i * 3) % 7 <= 2 || (i * 3 + 1) % 7 <= 2 || (i * 3 + 2) % 7 <= 2;
  EXPECT_EQ(answer, std::to_string(holding));
  // The whole costs what the operand costs once, plus what the rest costs
  // with the operand's value at hand in a variable, plus the one step that
  // counts the operand's run.
  const std::string operandText = "//g[position() = 1]/x/@v";
  KTXPathExpression::VariableMap variables;
  KTXPathExpression operand;
  operand.Init(operand.GetNamespaceMap(), operand.GetUriList(), KTString(KTUtf8ToUtf16(operandText).c_str()), 0);
  ASSERT_TRUE(operand.Compile(true, KTXPathExpression::kModeExpr));
  const uint64_t once = CountedSteps([&] {
    ASSERT_TRUE(operand.Evaluate(small.Root(), small.Root(), &variables[KTString(u"first")], nullptr, 1, 1, true));
  });
  const uint64_t rest = CountedSteps([&] { Evaluate("count(//g[x/@v = $first])", small.Root(), variables); });
  const uint64_t whole = CountedSteps([&] { Evaluate(text, small.Root()); });
  EXPECT_EQ(whole, once + rest + 1) << "the operand " << operandText << " costs " << once;
}

TEST(InvariantOperands, EvaluationsKeepNothingOfEachOther) {
  // One compiled tree, evaluated with other variables and over other
  // documents: each evaluation computes its operands afresh.
  const GroupTree three(3);
  const GroupTree five(5);
  KTXPathExpression expression;
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(),
                  KTString(u"count(//g[x/@v = $pick/x/@v][count(//g) > 3])"), 0);
  ASSERT_TRUE(expression.Compile(true, KTXPathExpression::kModeExpr));
  auto pick = [&](const GroupTree& tree, const char* path) {
    KTXPathValue value;
    KTXPathExpression select;
    select.Init(select.GetNamespaceMap(), select.GetUriList(), KTString(KTUtf8ToUtf16(path).c_str()), 0);
    EXPECT_TRUE(select.Compile(true, KTXPathExpression::kModeExpr));
    EXPECT_TRUE(select.Evaluate(tree.Root(), tree.Root(), &value, nullptr, 1, 1, true));
    KTXPathExpression::VariableMap variables;
    variables[KTString(u"pick")] = value;
    expression.SetVariables(variables);
  };
  // Values: g0 0 1 2, g1 3 4 5, g2 6 0 1, g3 2 3 4, g4 5 6 0.
  pick(five, "/root/g[1]");
  EXPECT_EQ(Evaluate(expression, five.Root()), "4");
  pick(five, "/root/g[2]");
  EXPECT_EQ(Evaluate(expression, five.Root()), "3");
  EXPECT_EQ(Evaluate(expression, three.Root()), "0");
  pick(three, "/root/g[3]");
  EXPECT_EQ(Evaluate(expression, five.Root()), "3");
}

TEST(InvariantOperands, ErrorsStayWhereTheyWere) {
  const GroupTree tree(3);
  KTXPathValue number;
  number.SetNumber(1);
  const KTXPathExpression::VariableMap variables{{KTString(u"n"), number}};
  EXPECT_EQ(Evaluate("count(//g[x = count(1)])", tree.Root(), variables), "error 4");
  EXPECT_EQ(Evaluate("count(//g[x = $undefined/x])", tree.Root(), variables), "error 6");
  EXPECT_EQ(Evaluate("count(//g[x = $n/x])", tree.Root(), variables), "error 4");
  // The right operand of "or" is not run once the left one decides.
  EXPECT_EQ(Evaluate("count(//g[true() or count(1)])", tree.Root(), variables), "3");
}

TEST(InvariantOperands, AgreeWithXsltproc) {
  const auto folder = std::filesystem::temp_directory_path() / ("ktxpathinvariant_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string source = (folder / "groups.xml").string();
  std::ofstream(source) << "<root><g id='1'><x v='a'/><x v='b'/></g><g id='2'><x v='c'/></g>"
                           "<g id='3'><x v='b'/><h/></g><h ref='2'>t</h><h ref='3'>u</h></root>";
  const std::vector<std::string> expressions = {
      "count(//g[x/@v = //g[1]/x/@v])",
      "count(//g[x/@v != //g[last()]/x/@v])",
      "count(//g[@id = //h[@ref = //g[x/@v = 'b']/@id]/@ref])",
      "count(//g[count(//x[@v = //g[2]/x/@v]) = 1])",
      "count(//g[position() = last() - count(/root/h)])",
      "count(//g[concat('x', string-length(/root/h)) = 'x1'])",
      "count(//g[(//x | //h)[3]/@v = x/@v])",
      "count(//g[- count(//x) < 0][not(//nothing)])",
      "count(//g[//h[@ref = //g[last()]/@id]])",
      "//g[name(/*) = 'root'][2]/@id",
      "count(//g[generate-id(/root) = generate-id(..)])",
      "count(//x[../@id = //h[1]/@ref])",
      "count(//*[name() = name(//h[1])])",
      "count(//g[x][string(//h[2]/@ref) = @id])",
  };
  const std::vector<std::string> reference = XsltprocValues(expressions, source);
  if (reference.empty()) {
    std::filesystem::remove_all(folder);
    GTEST_SKIP() << "xsltproc is not available";
  }
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  const std::u16string path = KTUtf8ToUtf16(source);
  std::unique_ptr<KTXNode> document(loader.LoadFromUrl(path.c_str(), status));
  ASSERT_TRUE(document) << StatusMessage(status);
  KTXPathTreeContext context;
  std::unique_ptr<KTXPathNode> view = context.WrapTree(document.get(), nullptr, false, path.c_str());
  for (size_t i = 0; i < expressions.size(); ++i) {
    KTXPathExpression expression;
    const KTPrefixMap noPrefixes;
    expression.Init(&noPrefixes, &context.GetUriTable(), KTString(KTUtf8ToUtf16(expressions[i]).c_str()), 0);
    expression.EnableXSLTFunctions(true);
    ASSERT_TRUE(expression.Compile(true, KTXPathExpression::kModeExpr)) << expressions[i];
    EXPECT_EQ(Evaluate(expression, view.get()), reference[i]) << expressions[i];
  }
  std::filesystem::remove_all(folder);
}

// A node keeps its slot in 16 bits: the operands past the last slot run
// every time, and every operand still gives its own value. Each operand
// below names g 1, but the last two name g 2, so only g 2 meets two of them;
// a slot shared or cut short would give one operand another's value.
TEST(InvariantOperands, OperandsPastTheLastSlotKeepTheirValues) {
  const auto folder = std::filesystem::temp_directory_path() / ("ktxpathinvslots_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string source = (folder / "g.xml").string();
  std::ofstream(source) << "<root><g id='1'/><g id='2'/><g id='3'/></root>";
  const std::vector<std::string> reference =
      XsltprocValues({"count(//g[(@id = /root/g[2]/@id) + (@id = /root/g[2]/@id) = 2])"}, source);
  if (reference.empty()) {
    std::filesystem::remove_all(folder);
    GTEST_SKIP() << "xsltproc is not available";
  }
  const int operands = KTXPathAstNode::kMaxInvariantSlot + 3;
  std::string text = "count(//g[";
  for (int i = 0; i < operands; ++i)
    text += std::string(i == 0 ? "" : " + ") + "(@id = /root/g[" + (i >= operands - 2 ? "2" : "1") + "]/@id)";
  text += " = 2])";
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  const std::u16string path = KTUtf8ToUtf16(source);
  std::unique_ptr<KTXNode> document(loader.LoadFromUrl(path.c_str(), status));
  ASSERT_TRUE(document) << StatusMessage(status);
  KTXPathTreeContext context;
  std::unique_ptr<KTXPathNode> view = context.WrapTree(document.get(), nullptr, false, path.c_str());
  KTXPathExpression expression;
  const KTPrefixMap noPrefixes;
  expression.Init(&noPrefixes, &context.GetUriTable(), KTString(KTUtf8ToUtf16(text).c_str()), 0);
  ASSERT_TRUE(expression.Compile(true, KTXPathExpression::kModeExpr));
  EXPECT_EQ(Evaluate(expression, view.get()), reference[0]);
  std::filesystem::remove_all(folder);
}

}  // namespace
