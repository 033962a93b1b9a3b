// KTSimpleSelect reads its shapes from compiled trees: which expressions
// are ".", "name", "@name" or name() of the context node, whatever white
// space the text holds, and which are left to the evaluator.
#include "xslt/ktsimpleselect.h"

#include <gtest/gtest.h>

#include "platform/ktutf8.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathexpression.h"

namespace {

struct Compiled {
  KTXPathExpression expression;
  explicit Compiled(const char16_t* text) {
    expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), KTString(text), 0);
    EXPECT_TRUE(expression.Compile(true, KTXPathExpression::kModeExpr));
  }
  const KTXPathAstNode* Tree() const { return expression.GetTree(); }
};

TEST(KTSimpleSelectTest, ShapesComeFromTheTree) {
  const struct {
    const char16_t* text;
    bool simple;
    bool self;
    bool attribute;
  } cases[] = {
      {u".", true, true, false},
      {u" . ", true, true, false},
      {u"item", true, false, false},
      {u"@id", true, false, true},
      {u"@ id", true, false, true},
      {u"and", true, false, false},  // a name test at an operand's place
      {u"..", false, false, false},
      {u"item[1]", false, false, false},
      {u"p:item", false, false, false},
      {u"child::item", false, false, false},
      {u"item/name", false, false, false},
      {u"*", false, false, false},
      {u"node()", false, false, false},
      {u"text()", false, false, false},
      {u"(item)", false, false, false},
      {u"item | @id", false, false, false},
      {u"$v", false, false, false},
  };
  for (const auto& c : cases) {
    Compiled compiled(c.text);
    KTSimpleSelect select;
    EXPECT_EQ(select.Read(compiled.Tree()), c.simple) << KTUtf16ToUtf8(c.text);
    if (!c.simple) continue;
    EXPECT_EQ(select.IsSelf(), c.self);
    EXPECT_EQ(select.IsAttribute(), c.attribute);
  }
  using Function = KTSimpleSelect::ContextFunction;
  const struct {
    const char16_t* text;
    Function function;
  } functions[] = {
      {u"name()", Function::kName},
      {u"name(.)", Function::kName},
      {u" name ( . ) ", Function::kName},
      {u"normalize-space()", Function::kNormalizeSpace},
      {u"normalize-space( . )", Function::kNormalizeSpace},
      {u"name(..)", Function::kNone},
      {u"name(item)", Function::kNone},
      {u"local-name()", Function::kNone},
      {u"name()[1]", Function::kNone},
      {u"p:name()", Function::kNone},
      {u"normalize-space('a')", Function::kNone},
      {u"normalize-space(., .)", Function::kNone},
      {u"p:normalize-space(.)", Function::kNone},
      {u"string(.)", Function::kNone},
  };
  for (const auto& c : functions)
    EXPECT_EQ(KTSimpleSelect::ContextFunctionOf(Compiled(c.text).Tree()), c.function) << KTUtf16ToUtf8(c.text);
  EXPECT_FALSE(KTSimpleSelect().Read(nullptr));
}

}  // namespace
