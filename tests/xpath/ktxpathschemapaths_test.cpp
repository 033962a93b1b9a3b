// Identity-constraint paths: the selector and field grammars, their trees,
// and compile modes 1 and 2 of the compiled expression.
#include "xpath/ktxpathschemapaths.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/ktutf8.h"
#include "xpath/ktxpathexpression.h"

namespace {

KTString Text(const std::string& utf8) { return KTString(std::u16string_view(KTUtf8ToUtf16(utf8))); }

// kind[children] with tokens written as "text" and character runs as 'text'.
std::string Shape(const KTXPathAstNode* node) {
  const char* quote = node->GetKind() == kAstToken ? "\"" : node->GetKind() == kAstCharacterRun ? "'" : nullptr;
  if (quote) return std::string(quote).append(KTUtf16ToUtf8(node->Token().View())).append(quote);
  std::string out = std::to_string(node->GetKind());
  if (node->ChildCount() == 0) return out;
  out += "[";
  for (int i = 0; i < node->ChildCount(); ++i) {
    if (i) out += " ";
    out += Shape(node->ChildAt(i));
  }
  return out + "]";
}

struct PathCase {
  const char* text;
  bool field;     // compiles as a field path (mode 1)
  bool selector;  // compiles as a selector path (mode 2)
};

TEST(KTXPathSchemaPaths, CompileModesAcceptTheirGrammarsOnly) {
  const PathCase cases[] = {
      {".", true, true},
      {".//a | b/c", true, true},
      {"a/@b", true, false},
      {"@id", true, false},
      {"x/@p:*", true, false},
      {"a/", false, false},
      {"a//b", false, false},
      {"/a", false, false},
      {"*", true, true},
      {"p:*", true, true},
      {"p:a", true, true},
      {"p :a", true, true},
      {"p : *", true, true},
      {"p: a", false, false},
      {"a / b", true, true},
      {"a/\tb", false, false},
      {"a/@b/@c", false, false},
      {"a[1]", false, false},
      {"child::a", false, false},
      {"..", false, false},
      {"./a", true, true},
      {"1a", false, false},
      {"-a", false, false},
      {"\xC3\xA9t\xC3\xA9", true, true},                        // U+00E9
      {".//\xD0\x97\xD0\xB0\xD0\xBA\xD0\xB0\xD0\xB7", true, true},  // Cyrillic name
      {"a\xC3\x97" "b", false, false},                           // U+00D7 ends a name
      {"a|", false, false},
      {"", false, false},
  };
  for (const PathCase& c : cases) {
    for (int mode : {KTXPathExpression::kModeField, KTXPathExpression::kModeSelector}) {
      bool expected = mode == KTXPathExpression::kModeField ? c.field : c.selector;
      KTXPathExpression expression;
      expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text(c.text), 0);
      bool ok = mode == KTXPathExpression::kModeField ? expression.CompileField(true)
                                                      : expression.CompileSelector(true);
      EXPECT_EQ(ok, expected) << c.text << " mode " << mode;
      EXPECT_EQ(expression.GetTree() != nullptr, expected) << c.text << " mode " << mode;
      EXPECT_EQ(expression.GetCompileMode(), expected ? mode : KTXPathExpression::kModeNone) << c.text;
    }
  }
}

TEST(KTXPathSchemaPaths, TreesFollowTheProductions) {
  struct ShapeCase {
    bool field;
    const char* text;
    const char* shape;
  };
  const ShapeCase cases[] = {
      {true, "a/@b", "1[2[7[8[13[15[22[18['a']]]]] \"/\"] 10[11[\"@\" 13[15[22[18['b']]]]]]]]"},
      {true, ".", "1[2[10[8[\".\"]]]]"},
      {true, ".//a | p:*",
       "1[2[5[\".//\"] 10[8[13[15[22[18['a']]]]]]] 3[\"|\" 2[10[8[13[17[18['p'] \":\" \"*\"]]]]]]]"},
      {false, ".//p:a/*", "27[28[31[\".//\"] 33[37[38[43[44[41['p']] \":\"] 45[41['a']]]]] 34[\"/\" 33[37[\"*\"]]]]]"},
      {false, "./a", "27[28[33[\".\"] 34[\"/\" 33[37[38[45[41['a']]]]]]]]"},
  };
  for (const ShapeCase& c : cases) {
    KTString text = Text(c.text);
    const char16_t* pos = text.c_str();
    KTXPathNodeHolder tree;
    ASSERT_TRUE(c.field ? ParseFieldPath(tree, pos) : ParseSelectorPath(tree, pos)) << c.text;
    EXPECT_EQ(*pos, u'\0') << c.text;
    EXPECT_EQ(Shape(tree.get()), c.shape) << c.text;
  }
}

TEST(KTXPathSchemaPaths, LeftoverTextIsTheErrorPosition) {
  // The selector grammar has no attribute step: "/@b" is left over.
  KTXPathExpression expression;
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text("a/@b"), 0);
  EXPECT_FALSE(expression.CompileSelector(true));
  EXPECT_EQ(expression.GetErrorPosition(), 3);
  // A failing parse leaves the position where it was and no tree.
  KTString text = Text("@a");
  const char16_t* pos = text.c_str();
  KTXPathNodeHolder tree;
  EXPECT_FALSE(ParseSelectorPath(tree, pos));
  EXPECT_EQ(pos, text.c_str());
  EXPECT_EQ(tree, nullptr);
}

TEST(KTXPathSchemaPaths, CopiesKeepTheCompiledTree) {
  KTXPathExpression expression;
  expression.Init(expression.GetNamespaceMap(), expression.GetUriList(), Text(".//a | b"), 0);
  ASSERT_TRUE(expression.CompileSelector(true));
  KTXPathExpression copy;
  copy = expression;
  ASSERT_NE(copy.GetTree(), nullptr);
  EXPECT_NE(copy.GetTree(), expression.GetTree());
  EXPECT_EQ(Shape(copy.GetTree()), Shape(expression.GetTree()));
  EXPECT_EQ(copy.GetCompileMode(), KTXPathExpression::kModeSelector);
}

}  // namespace
