// The XPath parser: lexical productions, tree shapes of the grammar
// productions, disambiguation, farthest-terminal positions and nesting.
#include "xpath/ktxpathparser.h"

#include <gtest/gtest.h>

#include <string>

#include "ktxpathtest_util.h"
#include "platform/ktutf8.h"

namespace {

struct ParseOutcome {
  bool ok = false;
  KTXPathNodeHolder tree;
  std::u16string rest;  // text left after the parse
  int minRemaining = 0;
  int minRemainingAfterToken = 0;
};

template <class Method>
ParseOutcome ParseWith(Method method, const std::u16string& text) {
  KTXPathParser parser;
  ParseOutcome outcome;
  KTXPathParser::Pos pos = text.c_str();
  outcome.ok = (parser.*method)(outcome.tree, pos);
  outcome.rest = pos;
  outcome.minRemaining = parser.GetMinRemainingLength();
  outcome.minRemainingAfterToken = parser.GetMinRemainingAfterToken();
  return outcome;
}

ParseOutcome RunExpr(const std::string& text) { return ParseWith(&KTXPathParser::ParseExpr, KTUtf8ToUtf16(text)); }

// The subtree under the chain of one-child operator levels of an Expr: the
// PathExpr (135) or the first level that has an operator.
const KTXPathAstNode* Core(const KTXPathAstNode* expr) {
  const KTXPathAstNode* node = expr;
  while (node && node->GetKind() != kAstPathExpr && node->ChildCount() == 1 &&
         (node->GetKind() == kAstExpr || (node->GetKind() >= kAstOrExpr && node->GetKind() <= kAstUnionExpr)))
    node = node->ChildAt(0);
  return node;
}

// Lexical productions --------------------------------------------------------

struct NameCase {
  const char* text;
  bool ok;
  const char* rest;
};

TEST(KTXPathParser, NCNames) {
  const NameCase cases[] = {
      {"a.b-c_d", true, ""},
      {"1a", false, "1a"},
      {"-a", false, "-a"},
      {"a:b", true, ":b"},
      {"\xC3\xA9", true, ""},                       // é
      {"\xE4\xB8\xAD\xE6\x96\x87", true, ""},       // CJK
      {"col\xC2\xB7lecci\xC3\xB3", true, ""},       // extender U+00B7 inside
      {"\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87", true, ""},  // Devanagari
      {"a\xCC\x81x", true, ""},                     // combining acute accent
      {"\xF0\x90\x80\x80z", true, ""},              // U+10000, a surrogate pair
      {"\xC2\xB7x", false, "\xC2\xB7x"},            // an extender cannot start a name
      {" a", false, " a"},
  };
  for (const NameCase& c : cases) {
    ParseOutcome r = ParseWith(&KTXPathParser::ParseNCName, KTUtf8ToUtf16(c.text));
    EXPECT_EQ(r.ok, c.ok) << c.text;
    EXPECT_EQ(KTUtf16ToUtf8(r.rest), c.rest) << c.text;
  }
}

TEST(KTXPathParser, QNames) {
  ParseOutcome r = ParseWith(&KTXPathParser::ParseQName, u"p:local");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(AstShape(r.tree.get()), "156(177(178(c:p) t::) 179(c:local))");
  r = ParseWith(&KTXPathParser::ParseQName, u"local");
  EXPECT_EQ(AstShape(r.tree.get()), "156(c:local)");
  r = ParseWith(&KTXPathParser::ParseQName, u"p :local");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.rest, u"");
  for (const char16_t* text : {u"p:", u"p:1", u"p: x"}) {
    r = ParseWith(&KTXPathParser::ParseQName, text);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.rest, text);
  }
}

TEST(KTXPathParser, Numbers) {
  const NameCase cases[] = {
      {"0", true, ""},   {"12.", true, ""}, {"12.5", true, ""}, {".5", true, ""},   {"1e3", true, "e3"},
      {".", false, "."}, {"-1", false, "-1"}, {"NaN", false, "NaN"}, {" 7", true, ""},
  };
  for (const NameCase& c : cases) {
    ParseOutcome r = ParseWith(&KTXPathParser::ParseNumber, KTUtf8ToUtf16(c.text));
    EXPECT_EQ(r.ok, c.ok) << c.text;
    EXPECT_EQ(KTUtf16ToUtf8(r.rest), c.rest) << c.text;
  }
  ParseOutcome r = ParseWith(&KTXPathParser::ParseNumber, u"12.5");
  EXPECT_EQ(AstShape(r.tree.get()), "145(167(168(c:12) 169(t:. 168(c:5))))");
  r = ParseWith(&KTXPathParser::ParseNumber, u".5");
  EXPECT_EQ(AstShape(r.tree.get()), "145(170(t:. 168(c:5)))");
}

TEST(KTXPathParser, Literals) {
  ParseOutcome r = ParseWith(&KTXPathParser::ParseLiteral, u"'it''s'");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(AstShape(r.tree.get()), "88(163(t:' c:it t:'))");
  EXPECT_EQ(r.rest, u"'s'");
  r = ParseWith(&KTXPathParser::ParseLiteral, u"\"\"");
  EXPECT_EQ(AstShape(r.tree.get()), "88(160(t:\" t:\"))");
  r = ParseWith(&KTXPathParser::ParseLiteral, u"\" a\\n'b \"");
  EXPECT_EQ(AstShape(r.tree.get()), "88(160(t:\" c: a\\n'b  t:\"))");
  r = ParseWith(&KTXPathParser::ParseLiteral, u"'open");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.rest, u"'open");
}

// Grammar productions -------------------------------------------------------

struct ShapeCase {
  const char* text;
  const char* rest;   // what ParseExpr leaves
  const char* shape;  // of Core(tree)
};

TEST(KTXPathParser, TreeShapes) {
  const ShapeCase cases[] = {
      {"/", "", "135(50(52(53(t:/))))"},
      {"//", "/", "135(50(52(53(t:/))))"},
      {"a//b", "",
       "135(50(51(57(60(68 89(156(c:a)))) "
       "56(59(t://) 57(60(68 89(156(c:b))))))))"},
      {"//a", "", "135(50(52(55(t:// 51(57(60(68 89(156(c:a)))))))))"},
      {"@x", "", "135(50(51(57(60(68(t:@) 89(156(c:x)))))))"},
      {"child::x", "",
       "135(50(51(57(60(65(66(t:child) t:::) 89(156(c:x)))))))"},
      {"child", "", "135(50(51(57(60(68 89(156(c:child)))))))"},
      {"..", "", "135(50(51(57(64(t:..)))))"},
      {"f()", "", "135(138(141(146(147(156(c:f)) t:( t:)))))"},
      {"$x/y", "",
       "135(140(138(141(143(t:$ 156(c:x)))) t:/ "
       "51(57(60(68 89(156(c:y)))))))"},
      // An operator level without an operator makes no node, nor a unary
      // level without a minus sign: the additive level holds the unions.
      {"1+2", "",
       "113(133(135(138(141(145(167(168(c:1))))))) "
       "121(c:+ 133(135(138(141(145(167(168(c:2)))))))))"},
      {"a | b", "",
       "133(135(50(51(57(60(68 89(156(c:a))))))) "
       "136(t:| 135(50(51(57(60(68 89(156(c:b)))))))))"},
      {"text()", "", "135(50(51(57(60(68 86(83(t:text) t:( t:)))))))"},
      {"processing-instruction('x')", "",
       "135(50(51(57(60(68 82(t:processing-instruction t:( 88(163(t:' c:x t:')) t:)))))))"},
      {"processing-instruction()", "",
       "135(50(51(57(60(68 86(83(t:processing-instruction) t:( t:)))))))"},
      {"p:*", "", "135(50(51(57(60(68 89(153(154(c:p) t:: t:*)))))))"},
      {"x[1]", "",
       "135(50(51(57(60(68 89(156(c:x)) "
       "63(t:[ 91(93(133(135(138(141(145(167(168(c:1))))))))) t:]))))))"},
  };
  for (const ShapeCase& c : cases) {
    ParseOutcome r = RunExpr(c.text);
    ASSERT_TRUE(r.ok) << c.text;
    EXPECT_EQ(KTUtf16ToUtf8(r.rest), c.rest) << c.text;
    EXPECT_EQ(AstShape(Core(r.tree.get())), c.shape) << c.text;
  }
}

// A node that starts with a terminal starts where the terminal does: error
// positions and carets of patterns and expressions are taken from such nodes.
TEST(KTXPathParser, NodesStartAtTheirFirstTerminal) {
  struct PositionCase {
    const char* text;
    int kind;
    int offset;  // of the node's first character in the text
  };
  const PositionCase cases[] = {
      {"(1)", kAstParenthesizedExpr, 0},
      {"1 + ( 2 )", kAstParenthesizedExpr, 4},
      {"a[ 2 ]", kAstPredicate, 1},
      {"(a) [1]", kAstFilterPredicate, 4},
      {" @y", kAstAbbreviatedAxisSpecifier, 1},
      {"a/  ..", kAstAbbreviatedStep, 4},
      {"a/ child::x", kAstNamedAxis, 3},
      {"a/ child::x", kAstAxisName, 3},
      {"a = \"q\"", kAstDoubleQuotedLiteral, 4},
      {"a = 'q'", kAstSingleQuotedLiteral, 4},
      {"a/ text ( )", kAstNodeTypeTest, 3},
      {"a/ processing-instruction('p')", kAstProcessingInstructionTest, 3},
      {" //a", kAstAbbreviatedAbsoluteLocationPath, 1},
      {"  /", kAstRootLocationPath, 2},
      {"@ *", kAstNameTest, 2},
      {"  bc", kAstNameTest, 2},
      {"@ bc", kAstQName, 2},
      {"child::  p:b", kAstNameTest, 9},
      {"a or b", kAstOrOperand, 2},
      {"a  and b", kAstAndOperand, 3},
      {"a | b", kAstUnionOperand, 2},
      {"f(1 , 2)", kAstArgumentTail, 4},
      {"1 + - 2", kAstNegation, 4},
      {"1 != 2", kAstEqualityOperand, 2},
      {"1 >= 2", kAstRelationalOperator, 2},
      {" $v / a", kAstFilterChildPath, 1},
      {"(a)//b", kAstFilterDescendantPath, 0},
  };
  for (const PositionCase& c : cases) {
    ParseOutcome r = RunExpr(c.text);
    ASSERT_TRUE(r.ok) << c.text;
    const KTXPathAstNode* node = KTXPathParser::FindNodeOfKind(r.tree.get(), c.kind);
    ASSERT_NE(node, nullptr) << c.text;
    const int length = static_cast<int>(std::string(c.text).size());
    EXPECT_EQ(length - node->SourcePosition(), c.offset) << c.text << " kind " << c.kind;
  }
}

// Trees share the nodes of their brackets and separators: freeing one tree
// leaves the others whole.
TEST(KTXPathParser, FreeingATreeLeavesOthersWhole) {
  const std::string text = "f(a)[1]/@b | (//c)[.. = 'x']";
  ParseOutcome first = RunExpr(text);
  ParseOutcome second = RunExpr(text);
  ASSERT_TRUE(first.ok && second.ok);
  const std::string shape = AstShape(second.tree.get());
  EXPECT_EQ(AstShape(first.tree.get()), shape);
  first.tree.reset();
  EXPECT_EQ(AstShape(second.tree.get()), shape);
  KTXPathNodeHolder copy(second.tree->CloneSubtree());
  second.tree.reset();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(AstShape(copy.get()), shape);
}

// Kinds that must appear (pre-order search) and what is left over.
struct KindCase {
  const char* text;
  int kind;
  const char* subtree;  // shape of the first node of the kind, or "" when it must be absent
  const char* rest;
};

TEST(KTXPathParser, Disambiguation) {
  const KindCase cases[] = {
      // "*" is a name test at an operand's place and the operator between.
      {"* * *", kAstMultiplicativeOperand,
       "126(127(t:* 133(135(50(51(57(60(68 89(t:*)))))))))", ""},
      // Operator names are names at an operand's place.
      {"div div div", kAstDivOperand,
       "129(t:div 133(135(50(51(57(60(68 89(156(c:div)))))))))", ""},
      {"and and or", kAstOrOperand, "", ""},
      {"and and or", kAstAndOperand, nullptr, ""},
      // XPath 1.0 §3.7: names are read whole, and a name is an operator
      // only when it is exactly one; a longer name ends the expression.
      {"a ordinal", kAstOrOperand, "", " ordinal"},
      {"a andy", kAstAndOperand, "", " andy"},
      {"5 mod2", kAstModOperand, "", " mod2"},
      {"6 div3", kAstDivOperand, "", " div3"},
      {"1 or-2", kAstOrOperand, "", " or-2"},
      {"a mod b", kAstModOperand, nullptr, ""},
      {"order", kAstOrOperand, "", ""},
      // A name before "(" is a function call, unless it is exactly a node
      // type.
      {"count(a)", kAstFunctionCall, nullptr, ""},
      {"node-set(x)", kAstFunctionCall, nullptr, ""},
      {"nodes()", kAstFunctionCall, nullptr, ""},
      {"text-of(1)", kAstFunctionCall, nullptr, ""},
      {"comment-count()", kAstFunctionCall, nullptr, ""},
      {"p:node-set(x)", kAstFunctionCall, nullptr, ""},
      {"node()", kAstNodeTypeTest, nullptr, ""},
      {"comment ( )", kAstNodeTypeTest, nullptr, ""},
      {"commentary", kAstNodeTypeTest, "", ""},
      // A name before "::" is an axis name.
      {"ancestor-or-self::a", kAstAxisName, "66(t:ancestor-or-self)", ""},
      {"descendant::a", kAstAxisName, "66(t:descendant)", ""},
      {"following-sibling :: a", kAstAxisName, "66(t:following-sibling)", ""},
      // NaN is a name, never a number.
      {"NaN", kAstNumber, "", ""},
      {"NaNa", kAstNameTest, "89(156(c:NaNa))", ""},
      // Whitespace around a QName's colon; none after "$".
      {"a :b", kAstQNamePrefix, "177(178(c:a) t::)", ""},
      {"1 - -2", kAstNegation, nullptr, ""},
      {"-a|b", kAstNegation, nullptr, ""},
      {"($x)[1]", kAstFilterPredicate, nullptr, ""},
      {"$x//y", kAstFilterDescendantPath, nullptr, ""},
      {"f(1, 2)", kAstArguments, nullptr, ""},
  };
  for (const KindCase& c : cases) {
    ParseOutcome r = RunExpr(c.text);
    ASSERT_TRUE(r.ok) << c.text;
    EXPECT_EQ(KTUtf16ToUtf8(r.rest), c.rest) << c.text;
    KTXPathAstNode* found = KTXPathParser::FindNodeOfKind(r.tree.get(), c.kind);
    if (c.subtree && *c.subtree == 0) {
      EXPECT_EQ(found, nullptr) << c.text;
    } else {
      ASSERT_NE(found, nullptr) << c.text;
      if (c.subtree) {
        EXPECT_EQ(AstShape(found), c.subtree) << c.text;
      }
    }
  }
  // f(1, 2): one argument and one argument tail.
  ParseOutcome r = RunExpr("f(1, 2)");
  const KTXPathAstNode* args = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstArguments);
  ASSERT_EQ(args->ChildCount(), 2);
  EXPECT_EQ(args->ChildAt(0)->GetKind(), kAstArgument);
  EXPECT_EQ(args->ChildAt(1)->GetKind(), kAstArgumentTail);
  // -a|b negates the union.
  r = RunExpr("-a|b");
  const KTXPathAstNode* negation = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstNegation);
  EXPECT_EQ(negation->ChildAt(1)->GetKind(), kAstUnionExpr);
  EXPECT_EQ(negation->ChildAt(1)->ChildCount(), 2);
}

TEST(KTXPathParser, OperatorLevelsAreFlat) {
  ParseOutcome r = RunExpr("1 - 2 - 3");
  const KTXPathAstNode* additive = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstAdditiveExpr);
  ASSERT_EQ(additive->ChildCount(), 3);
  EXPECT_EQ(additive->ChildAt(1)->GetKind(), kAstAdditiveOperand);
  EXPECT_EQ(additive->ChildAt(2)->GetKind(), kAstAdditiveOperand);
  r = RunExpr("a = b != c");
  const KTXPathAstNode* equality = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstEqualityExpr);
  ASSERT_EQ(equality->ChildCount(), 3);
  EXPECT_EQ(AstShape(equality->ChildAt(2)->ChildAt(0)), "110(t:!=)");
  r = RunExpr("a<=b>c");
  const KTXPathAstNode* relational = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstRelationalExpr);
  ASSERT_EQ(relational->ChildCount(), 3);
  EXPECT_EQ(AstShape(relational->ChildAt(1)->ChildAt(0)), "115(t:<=)");
  EXPECT_EQ(AstShape(relational->ChildAt(2)->ChildAt(0)), "115(t:>)");
}

// The or, and, equality, relational, additive and multiplicative levels
// make a node only where an operator follows their head, the unary level
// only for a minus sign: an operand alone goes from the Expr node straight
// to its union level.
TEST(KTXPathParser, OperatorLevelsWithoutAnOperatorMakeNoNode) {
  ParseOutcome r = RunExpr("@id");
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.tree->ChildCount(), 1);
  EXPECT_EQ(r.tree->FirstChild()->GetKind(), kAstUnionExpr);
  for (int kind : {kAstOrExpr, kAstAndExpr, kAstEqualityExpr, kAstRelationalExpr, kAstAdditiveExpr,
                   kAstMultiplicativeExpr, kAstUnaryExpr})
    EXPECT_EQ(KTXPathParser::FindNodeOfKind(r.tree.get(), kind), nullptr) << kind;
  // An operator keeps its level, and only its own.
  r = RunExpr("a or b = 1");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.tree->FirstChild()->GetKind(), kAstOrExpr);
  EXPECT_EQ(r.tree->FirstChild()->ChildCount(), 2);
  const KTXPathAstNode* equality = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstEqualityExpr);
  ASSERT_NE(equality, nullptr);
  EXPECT_EQ(equality->ChildCount(), 2);
  EXPECT_EQ(KTXPathParser::FindNodeOfKind(r.tree.get(), kAstAndExpr), nullptr);
  EXPECT_EQ(KTXPathParser::FindNodeOfKind(r.tree.get(), kAstRelationalExpr), nullptr);
  // A minus sign keeps its unary level.
  r = RunExpr("-a");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.tree->FirstChild()->GetKind(), kAstUnaryExpr);
  EXPECT_EQ(r.tree->FirstChild()->FirstChild()->GetKind(), kAstNegation);
}

// Expressions that use several operator levels at once, with operators
// after white space, operators that fail for want of an operand and words
// that only begin with an operator name: the whole tree, what is left and
// the farthest positions (error markers are placed from them) are those of
// a descent through every level.
TEST(KTXPathParser, OperatorLevelsTogether) {
  struct LevelCase {
    const char* text;
    const char* rest;
    int minRemaining;
    int minRemainingAfterToken;
    const char* shape;
  };
  const LevelCase cases[] = {
      {"a or b and c = d < e + f * g", "", 2, 0,
       "93(101(133(135(50(51(57(60(68 89(156(c:a)))))))) 103(t:or 102(133(135(50(51(57(60(68 "
       "89(156(c:b)))))))) 106(t:and 105(133(135(50(51(57(60(68 89(156(c:c)))))))) 109(110(t:=) "
       "108(133(135(50(51(57(60(68 89(156(c:d)))))))) 114(115(t:<) 113(133(135(50(51(57(60(68 "
       "89(156(c:e)))))))) 121(c:+ 120(133(135(50(51(57(60(68 89(156(c:f)))))))) 126(127(t:* "
       "133(135(50(51(57(60(68 89(156(c:g))))))))))))))))))))))"},
      {"1*2+3", "", 3, 0,
       "93(113(120(133(135(138(141(145(167(168(c:1))))))) 126(127(t:* "
       "133(135(138(141(145(167(168(c:2)))))))))) 121(c:+ 133(135(138(141(145(167(168(c:3))))))))))"},
      {"a\n*\tb div c mod d - -e", "", 1, 0,
       "93(113(120(133(135(50(51(57(60(68 89(156(c:a)))))))) 126(127(t:* 133(135(50(51(57(60(68 "
       "89(156(c:b)))))))))) 126(129(t:div 133(135(50(51(57(60(68 89(156(c:c)))))))))) 126(131(t:mod "
       "133(135(50(51(57(60(68 89(156(c:d))))))))))) 121(c:- 125(134(t:- 133(135(50(51(57(60(68 "
       "89(156(c:e)))))))))))))"},
      {"a div b", "", 2, 0,
       "93(120(133(135(50(51(57(60(68 89(156(c:a)))))))) 126(129(t:div 133(135(50(51(57(60(68 "
       "89(156(c:b))))))))))))"},
      {"a mod b", "", 2, 0,
       "93(120(133(135(50(51(57(60(68 89(156(c:a)))))))) 126(131(t:mod 133(135(50(51(57(60(68 "
       "89(156(c:b))))))))))))"},
      {"x=1 or y!=2 and z>=3", "", 1, 0,
       "93(101(105(133(135(50(51(57(60(68 89(156(c:x)))))))) 109(110(t:=) "
       "133(135(138(141(145(167(168(c:1))))))))) 103(t:or 102(105(133(135(50(51(57(60(68 89(156(c:y)))))))) "
       "109(110(t:!=) 133(135(138(141(145(167(168(c:2))))))))) 106(t:and 108(133(135(50(51(57(60(68 "
       "89(156(c:z)))))))) 114(115(t:>=) 133(135(138(141(145(167(168(c:3))))))))))))))"},
      {"a - b", "", KTXPathParser::kNoTerminalMatched, 0,
       "93(113(133(135(50(51(57(60(68 89(156(c:a)))))))) 121(c:- 133(135(50(51(57(60(68 "
       "89(156(c:b)))))))))))"},
      {"a -b", "", KTXPathParser::kNoTerminalMatched, 0,
       "93(113(133(135(50(51(57(60(68 89(156(c:a)))))))) 121(c:- 133(135(50(51(57(60(68 "
       "89(156(c:b)))))))))))"},
      {"a-b", "", KTXPathParser::kNoTerminalMatched, 0,
       "93(133(135(50(51(57(60(68 89(156(c:a-b)))))))))"},
      {"$a and", " and", 0, 0,
       "93(133(135(138(141(143(t:$ 156(c:a)))))))"},
      {"1 + 2 | b", "", 2, 0,
       "93(113(133(135(138(141(145(167(168(c:1))))))) 121(c:+ 133(135(138(141(145(167(168(c:2)))))) 136(t:| "
       "135(50(51(57(60(68 89(156(c:b))))))))))))"},
      {"f(a or b, c * d)[. > 1]", "", 0, 0,
       "93(133(135(138(141(146(147(156(c:f)) t:( 148(149(93(101(133(135(50(51(57(60(68 89(156(c:a)))))))) "
       "103(t:or 133(135(50(51(57(60(68 89(156(c:b)))))))))))) 150(t:, 149(93(120(133(135(50(51(57(60(68 "
       "89(156(c:c)))))))) 126(127(t:* 133(135(50(51(57(60(68 89(156(c:d))))))))))))))) t:))) 142(63(t:[ "
       "91(93(108(133(135(50(51(57(64(t:.)))))) 114(115(t:>) 133(135(138(141(145(167(168(c:1))))))))))) "
       "t:]))))))"},
      {"a dive", " dive", KTXPathParser::kNoTerminalMatched, 5,
       "93(133(135(50(51(57(60(68 89(156(c:a)))))))))"},
      {"a mode", " mode", KTXPathParser::kNoTerminalMatched, 5,
       "93(133(135(50(51(57(60(68 89(156(c:a)))))))))"},
      {"a or", " or", 0, 0,
       "93(133(135(50(51(57(60(68 89(156(c:a)))))))))"},
      {"(1+2)*3", "", 1, 0,
       "93(120(133(135(138(141(144(t:( 93(113(133(135(138(141(145(167(168(c:1))))))) 121(c:+ "
       "133(135(138(141(145(167(168(c:2)))))))))) t:)))))) 126(127(t:* "
       "133(135(138(141(145(167(168(c:3)))))))))))"},
      {"-1 - -2", "", 1, 0,
       "93(113(125(134(t:- 133(135(138(141(145(167(168(c:1))))))))) 121(c:- 125(134(t:- "
       "133(135(138(141(145(167(168(c:2))))))))))))"},
      {"a = b = c", "", 2, 0,
       "93(105(133(135(50(51(57(60(68 89(156(c:a)))))))) 109(110(t:=) 133(135(50(51(57(60(68 "
       "89(156(c:b))))))))) 109(110(t:=) 133(135(50(51(57(60(68 89(156(c:c)))))))))))"},
      {"1 < 2 > 3 <= 4 >= 5", "", 2, 0,
       "93(108(133(135(138(141(145(167(168(c:1))))))) 114(115(t:<) 133(135(138(141(145(167(168(c:2)))))))) "
       "114(115(t:>) 133(135(138(141(145(167(168(c:3)))))))) 114(115(t:<=) "
       "133(135(138(141(145(167(168(c:4)))))))) 114(115(t:>=) 133(135(138(141(145(167(168(c:5))))))))))"},
      {"a and b or c and d", "", 2, 0,
       "93(101(102(133(135(50(51(57(60(68 89(156(c:a)))))))) 106(t:and 133(135(50(51(57(60(68 "
       "89(156(c:b)))))))))) 103(t:or 102(133(135(50(51(57(60(68 89(156(c:c)))))))) 106(t:and "
       "133(135(50(51(57(60(68 89(156(c:d)))))))))))))"},
      {"a * b * c + d * e", "", 2, 0,
       "93(113(120(133(135(50(51(57(60(68 89(156(c:a)))))))) 126(127(t:* 133(135(50(51(57(60(68 "
       "89(156(c:b)))))))))) 126(127(t:* 133(135(50(51(57(60(68 89(156(c:c))))))))))) 121(c:+ "
       "120(133(135(50(51(57(60(68 89(156(c:d)))))))) 126(127(t:* 133(135(50(51(57(60(68 "
       "89(156(c:e))))))))))))))"},
      {"a | b = c | d", "", 2, 0,
       "93(105(133(135(50(51(57(60(68 89(156(c:a))))))) 136(t:| 135(50(51(57(60(68 89(156(c:b))))))))) "
       "109(110(t:=) 133(135(50(51(57(60(68 89(156(c:c))))))) 136(t:| 135(50(51(57(60(68 "
       "89(156(c:d))))))))))))"},
      {"a or b or", " or", 0, 0,
       "93(101(133(135(50(51(57(60(68 89(156(c:a)))))))) 103(t:or 133(135(50(51(57(60(68 "
       "89(156(c:b)))))))))))"},
      {"x =", " =", 0, 0,
       "93(133(135(50(51(57(60(68 89(156(c:x)))))))))"},
  };
  for (const LevelCase& c : cases) {
    ParseOutcome r = RunExpr(c.text);
    ASSERT_TRUE(r.ok) << c.text;
    EXPECT_EQ(KTUtf16ToUtf8(r.rest), c.rest) << c.text;
    EXPECT_EQ(r.minRemaining, c.minRemaining) << c.text;
    EXPECT_EQ(r.minRemainingAfterToken, c.minRemainingAfterToken) << c.text;
    EXPECT_EQ(AstShape(r.tree.get()), c.shape) << c.text;
  }
}

TEST(KTXPathParser, FailuresRestoreThePosition) {
  for (const char* text : {"", "   ", ")", "[1]", "@", "$", "'x", "children::a", "$ x"}) {
    ParseOutcome r = RunExpr(text);
    EXPECT_FALSE(r.ok) << text;
    EXPECT_EQ(KTUtf16ToUtf8(r.rest), text);
    EXPECT_EQ(r.tree, nullptr);
  }
  // An Expr ends before what it cannot take.
  const std::pair<const char*, const char*> partial[] = {
      {"a[1", "[1"}, {"f(", "("}, {"a[", "["}, {"$x/", "/"}, {"1 +", " +"}, {"a b", " b"}, {"a]", "]"},
  };
  for (auto [text, rest] : partial) {
    ParseOutcome r = RunExpr(text);
    EXPECT_TRUE(r.ok) << text;
    EXPECT_EQ(KTUtf16ToUtf8(r.rest), rest) << text;
  }
  EXPECT_FALSE(RunExpr("(1").ok);
}

TEST(KTXPathParser, FarthestTerminal) {
  EXPECT_EQ(RunExpr("a/b").minRemaining, 1);
  EXPECT_EQ(RunExpr("ab").minRemaining, KTXPathParser::kNoTerminalMatched);
  EXPECT_EQ(RunExpr("f(a, b]").minRemaining, 3);
}

TEST(KTXPathParser, FindNodeOfKindSearchesInPreOrder) {
  ParseOutcome r = RunExpr("a[b]/c");
  EXPECT_EQ(KTXPathParser::FindNodeOfKind(r.tree.get(), kAstExpr), r.tree.get());
  KTXPathAstNode* first = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstQName);
  EXPECT_EQ(std::u16string(first->ChildAt(0)->TokenText()), u"a");
  KTXPathAstNode* predicate = KTXPathParser::FindNodeOfKind(r.tree.get(), kAstPredicate);
  KTXPathAstNode* inner = KTXPathParser::FindNodeOfKind(predicate, kAstQName);
  EXPECT_EQ(std::u16string(inner->ChildAt(0)->TokenText()), u"b");
  EXPECT_EQ(KTXPathParser::FindNodeOfKind(r.tree.get(), kAstFunctionCall), nullptr);
}

TEST(KTXPathParser, NameTestSpans) {
  std::map<int, int> spans;
  KTXPathParser parser;
  parser.SetSpanMap(&spans);
  const std::u16string text = u"a/@bc | x:*";
  KTXPathParser::Pos pos = text.c_str();
  KTXPathNodeHolder tree;
  ASSERT_TRUE(parser.ParseExpr(tree, pos));
  EXPECT_EQ(spans, (std::map<int, int>{{0, 1}, {2, 3}, {7, 4}}));
}

TEST(KTXPathParser, LongTokensAndDeepNesting) {
  std::string literal(10002, 'q');
  literal.front() = literal.back() = '\'';
  ParseOutcome r = RunExpr(literal);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(KTXPathParser::FindNodeOfKind(r.tree.get(), kAstCharacterRun)->TokenLength(), 10000);
  const std::string name(300, 'n');
  r = RunExpr(name + "/" + name);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.rest, u"");
  EXPECT_EQ(KTXPathParser::FindNodeOfKind(r.tree.get(), kAstCharacterRun)->TokenLength(), 300);

  const int allowed = KTXPathParser::kMaxNesting - 1;
  r = RunExpr(std::string(allowed, '(') + "1" + std::string(allowed, ')'));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.rest, u"");

  KTXPathParser parser;
  const std::u16string deep = KTUtf8ToUtf16(std::string(5000, '(') + "1" + std::string(5000, ')'));
  KTXPathParser::Pos pos = deep.c_str();
  KTXPathNodeHolder tree;
  EXPECT_FALSE(parser.ParseExpr(tree, pos));
  EXPECT_TRUE(parser.NestingExceeded());
  EXPECT_EQ(pos, deep.c_str());

  KTXPathParser minus;
  std::u16string negations;
  for (int i = 0; i < 5000; ++i)
    negations += u"- ";
  negations += u"1";
  pos = negations.c_str();
  EXPECT_FALSE(minus.ParseExpr(tree, pos));
  EXPECT_TRUE(minus.NestingExceeded());
}

// The farthest token of any kind (names, digits and the additive operator
// as well as terminals), where an error message marks a failed parse; the
// farthest terminal stays what it was.
TEST(KTXPathParser, FarthestTokenOfAnyKind) {
  const struct {
    const char* text;
    int afterTerminal;
    int afterToken;
  } cases[] = {
      {"count(1 +)", 4, 1},
      {"1 + (2", 1, 0},
      {"a/b", 1, 0},
      {"ab", KTXPathParser::kNoTerminalMatched, 0},
      {"a[@b = ]", 2, 2},
      // Names that are no function call, axis or wildcard after all: the
      // attempts still count the tokens they read.
      {"p:", 0, 0},
      {"p :", 0, 0},
      {"a:b:c", 3, 2},
      {"child", 0, 0},
      {"ancestor-or-self", 0, 0},
      {"f (1", 1, 0},
      {"x:*", 0, 0},
      {"x:*y", 1, 1},
      {"p:q(", 0, 0},
      {"text", 0, 0},
      {"text(", 0, 0},
      {"1.", 0, 0},
      {".", 0, 0},
      {"..", 0, 0},
  };
  for (const auto& c : cases) {
    ParseOutcome outcome = RunExpr(c.text);
    EXPECT_EQ(outcome.minRemaining, c.afterTerminal) << c.text;
    EXPECT_EQ(outcome.minRemainingAfterToken, c.afterToken) << c.text;
  }
}

}  // namespace
