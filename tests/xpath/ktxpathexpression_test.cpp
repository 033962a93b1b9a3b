// Compiling expressions: modes, restrictions, error positions and copies.
#include "xpath/ktxpathexpression.h"

#include <gtest/gtest.h>

#include <string>

#include "ktxpathtest_util.h"
#include "platform/ktutf8.h"

namespace {

KTString Text(const std::string& utf8) { return KTString(std::u16string_view(KTUtf8ToUtf16(utf8))); }

struct CompileCase {
  const char* text;
  bool ok;
  int errorPosition;  // characters left where the error lies
};

TEST(KTXPathExpressionCompile, WholeTextMustParse) {
  const CompileCase cases[] = {
      {"  child::a[1] | //b  ", true, 0},
      {"", false, 0},
      {"   ", false, 0},
      {"a/b c", false, 3},  // after "/" the text "b c" remained
      // No terminal matched: the whole text remains, the error is at its
      // first character.
      {"1 2", false, 3},
      {"a b", false, 3},
      // A parse that fails outright leaves all its text: the position is
      // still the farthest terminal reached.
      {")", false, 1},
      {"count(a b)", false, 4},
      {"f(a, ", false, 0},
      {"f(a, b]", false, 3},
      {"a[1", false, 1},
      {"//", false, 0},  // the "//" terminal reached the end
      {"NaNa", true, 0},
      {"a ordinal", false, 9},
  };
  for (const CompileCase& c : cases) {
    KTXPathExpression expression;
    expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text(c.text), 0);
    EXPECT_EQ(expression.Compile(true, KTXPathExpression::kModeExpr), c.ok) << c.text;
    EXPECT_EQ(expression.GetErrorPosition(), c.errorPosition) << c.text;
    EXPECT_EQ(expression.GetErrorCode(), 0) << c.text;
    EXPECT_EQ(expression.GetTree() != nullptr, c.ok) << c.text;
    EXPECT_EQ(expression.GetCompileMode(), c.ok ? 3 : 0) << c.text;
  }
}

TEST(KTXPathExpressionCompile, EachCompileReportsItsOwnPosition) {
  KTXPathExpression expression;
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text("a/b/c d"), 0);
  EXPECT_FALSE(expression.Compile(true, 3));
  EXPECT_EQ(expression.GetErrorPosition(), 3);
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text("abcdefgh/ij k"), 0);
  EXPECT_FALSE(expression.Compile(true, 3));
  EXPECT_EQ(expression.GetErrorPosition(), 4);
}

TEST(KTXPathExpressionCompile, ModesWithoutAParserFail) {
  for (int mode : {0, 4}) {
    KTXPathExpression expression;
    expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text("a"), 0);
    EXPECT_FALSE(expression.Compile(true, mode)) << mode;
    EXPECT_EQ(expression.GetCompileMode(), 0);
    EXPECT_EQ(expression.GetTree(), nullptr);
  }
}

TEST(KTXPathExpressionCompile, RestrictionsRefuseVariablesOnlyInKeptTrees) {
  for (int restriction : {1, 2}) {
    KTXPathExpression expression;
    expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text("a[$v]"), restriction);
    EXPECT_FALSE(expression.Compile(true, 3));
    EXPECT_TRUE(expression.RefusedVariable());
    EXPECT_EQ(expression.GetTree(), nullptr);
    EXPECT_TRUE(expression.Compile(false, 3));
    EXPECT_FALSE(expression.RefusedVariable());
    EXPECT_EQ(expression.GetTree(), nullptr);
  }
  KTXPathExpression free;
  free.Init(free.GetNamespaceMap(), free.GetUriList(), Text("a[$v]"), 0);
  EXPECT_TRUE(free.Compile(true, 3));
}

TEST(KTXPathExpressionCompile, LongTokensCompileAndDeepNestingFails) {
  KTXPathExpression expression;
  const std::string literal = "concat('" + std::string(10000, 'x') + "', " + std::string(300, 'n') + ")";
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text(literal), 0);
  EXPECT_TRUE(expression.Compile(true, 3));
  const std::string deep = std::string(5000, '(') + "1" + std::string(5000, ')');
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text(deep), 0);
  EXPECT_FALSE(expression.Compile(true, 3));
  EXPECT_EQ(expression.GetTree(), nullptr);
  EXPECT_GT(expression.GetErrorPosition(), 0);
}

TEST(KTXPathExpressionCompile, TreesDetachAttachAndCopyDeeply) {
  KTXPathExpression expression;
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text("a/b[1]"), 0);
  ASSERT_TRUE(expression.Compile(true, 3));
  const std::string shape = AstShape(expression.GetTree());

  KTXPathExpression copy(expression);
  ASSERT_NE(copy.GetTree(), nullptr);
  EXPECT_NE(copy.GetTree(), expression.GetTree());
  EXPECT_EQ(AstShape(copy.GetTree()), shape);
  EXPECT_EQ(copy.GetRestrictions(), 0);

  KTXPathExpression assigned;
  assigned = expression;
  EXPECT_EQ(AstShape(assigned.GetTree()), shape);
  EXPECT_EQ(assigned.GetText(), expression.GetText());

  std::unique_ptr<KTXPathAstNode> detached(expression.DetachTree());
  EXPECT_EQ(expression.GetTree(), nullptr);
  expression.AttachTree(detached.get(), 3);
  EXPECT_EQ(expression.GetTree(), detached.get());
}

}  // namespace
