// Node items, values (kinds, setters, shared node vectors, document order)
// and the XPath operators.
#include "xpath/ktxpathvalue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ktxpathtest_util.h"
#include "xml/ktxname.h"
#include "xml/ktxpathnode.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(KTXPathNodeItemTest, KindsFollowTheViewNode) {
  KTTestTree tree;
  struct Case {
    int nodeKind;
    int itemKind;
  } cases[] = {
      {kXPathElement, kItemElement},      {kXPathText, kItemText},       {kXPathCData, kItemText},
      {kXPathPI, kItemPI},                {kXPathComment, kItemComment}, {kXPathDoctype, kItemOther},
      {kXPathDoctypeEntity, kItemOther},
  };
  for (const Case& c : cases) {
    KTXPathNode* n = tree.Add(nullptr, c.nodeKind);
    KTXPathNodeItem item(n);
    EXPECT_EQ(item.GetKind(), c.itemKind) << "node kind " << c.nodeKind;
    EXPECT_EQ(item.GetPosition(), 0);
  }
  EXPECT_EQ(KTXPathNodeItem(tree.Root()).GetKind(), kItemRoot);
  KTXPathNodeItem empty(nullptr);
  EXPECT_EQ(empty.GetKind(), kItemNoNode);
  EXPECT_EQ(empty.TreePosition(), -1);
}

TEST(KTXPathNodeItemTest, ParentItem) {
  KTTestTree tree;
  KTXPathNode* a = tree.Element(nullptr, u"a");
  KTXPathNode* id = tree.Attribute(a, u"id", u"1");
  KTXPathNodeItem out(a);
  EXPECT_EQ(KTXPathNodeItem(id).ParentItem(out).GetNode(), a);
  EXPECT_EQ(KTXPathNodeItem(a).ParentItem(out).GetNode(), tree.Root());
  EXPECT_EQ(KTXPathNodeItem(tree.Root()).ParentItem(out).GetKind(), kItemNoNode);
  EXPECT_EQ(KTXPathNodeItem().ParentItem(out).GetKind(), kItemNoNode);
}

TEST(KTXPathNodeItemTest, DocumentOrder) {
  KTTestTree later(7);
  KTTestTree earlier(3);
  KTXPathNode* lateFirst = later.Element(nullptr, u"a");
  KTXPathNode* earlyDeep = earlier.Element(earlier.Element(nullptr, u"x"), u"y");
  // Documents first, whatever the positions.
  EXPECT_TRUE(DocumentOrderLess(KTXPathNodeItem(earlyDeep), KTXPathNodeItem(lateFirst)));
  EXPECT_FALSE(DocumentOrderLess(KTXPathNodeItem(lateFirst), KTXPathNodeItem(earlyDeep)));

  // A namespace node stands after its element and before its attributes.
  KTTestTree tree;
  KTXPathNode* e = tree.Element(nullptr, u"e");
  KTXPathNode* attr = tree.Attribute(e, u"a", u"v");
  KTPrefixMap map;
  static const KTString uri(u"urn:x");
  map[KTString(u"p")] = &uri;
  e->SetMaps(std::make_shared<KTPrefixMap>(map), std::make_shared<KTPrefixMap>(map));
  const auto* namespaces = e->GetNamespaceNodes();
  ASSERT_TRUE(namespaces && !namespaces->empty());
  KTXPathNodeItem ns(namespaces->front().get());
  EXPECT_TRUE(DocumentOrderLess(KTXPathNodeItem(e), ns));
  EXPECT_TRUE(DocumentOrderLess(ns, KTXPathNodeItem(attr)));
  EXPECT_FALSE(DocumentOrderLess(ns, ns));
  EXPECT_FALSE(DocumentOrderLess(KTXPathNodeItem(attr), ns));
  EXPECT_TRUE(DocumentOrderLess(KTXPathNodeItem(), ns));
  EXPECT_FALSE(DocumentOrderLess(ns, KTXPathNodeItem()));
  EXPECT_FALSE(DocumentOrderLess(KTXPathNodeItem(), KTXPathNodeItem()));
}

// The namespace nodes of one element come in one fixed order, the xml
// prefix first and then by prefix, however they lie in memory: sorting them
// from any starting order gives it.
TEST(KTXPathNodeItemTest, NamespaceNodesOfOneElementHaveAFixedOrder) {
  KTTestTree tree;
  KTXPathNode* e = tree.Element(nullptr, u"e");
  static const KTString xmlUri(u"http://www.w3.org/XML/1998/namespace");
  static const KTString a(u"urn:a");
  static const KTString b(u"urn:b");
  static const KTString d(u"urn:d");
  KTPrefixMap map;
  map[KTString(u"b")] = &b;
  map[KTString(u"xml")] = &xmlUri;
  map[KTString(u"")] = &d;
  map[KTString(u"a")] = &a;
  e->SetMaps(std::make_shared<KTPrefixMap>(map), std::make_shared<KTPrefixMap>(map));
  const auto* namespaces = e->GetNamespaceNodes();
  ASSERT_TRUE(namespaces && namespaces->size() == 4);
  KTXPathValue::ItemVector forward;
  for (const auto& node : *namespaces) forward.emplace_back(node.get(), 1);
  KTXPathValue::ItemVector backward(forward.rbegin(), forward.rend());
  for (KTXPathValue::ItemVector* items : {&forward, &backward}) {
    std::stable_sort(items->begin(), items->end(), DocumentOrderLess);
    std::string names;
    for (const KTXPathNodeItem& item : *items) names += U8(KTString(item.GetNode()->GetName())) + ",";
    EXPECT_EQ(names, "xml,,a,b,");
  }
}

// A piece that ends the string's text and is at least half of it shares
// that text; a shorter piece, any other stretch, or text from elsewhere is
// copied, so that a small value never keeps a large text alive. Every piece
// reads as its own text and converts as one.
TEST(KTXPathValueTest, StringPieceSharesOnlyMostOfTheText) {
  const KTXPathValue whole = KTXPathValue::String(KTString(u"alpha,beta,gamma,delta"));
  const std::u16string_view text = whole.StringText();
  const std::u16string_view elsewhere = u"beta,gamma,delta";
  struct Case {
    std::u16string_view piece;
    bool shared;
  } cases[] = {
      {text.substr(6), true},       // "beta,gamma,delta": 16 of 22
      {text.substr(11), true},      // "gamma,delta": exactly half
      {text.substr(12), false},     // "amma,delta": under half
      {text.substr(0, 5), false},   // "alpha"
      {text.substr(0, 16), false},  // a prefix: it does not end the text
      {text.substr(1, 20), false},  // nor does a stretch inside it
      {text.substr(22), false},     // the empty end
      {elsewhere, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(KTString(c.piece)));
    const KTXPathValue piece = KTXPathValue::StringPiece(whole, c.piece);
    EXPECT_EQ(piece.GetKind(), kValueString);
    EXPECT_TRUE(piece.StringText() == c.piece);
    EXPECT_EQ(piece.StringText().data() == c.piece.data(), c.shared);
    EXPECT_EQ(piece.WholeString() == nullptr, c.shared);
    KTString converted;
    EXPECT_TRUE(piece.ToString(&converted).View() == c.piece);
    // A piece of a piece measures against the text it shares.
    const size_t skip = std::min<size_t>(1, c.piece.size());
    const KTXPathValue again = KTXPathValue::StringPiece(piece, piece.StringText().substr(skip));
    EXPECT_TRUE(again.StringText() == c.piece.substr(skip));
  }
  // A value that is not a string has no text to share.
  const KTXPathValue number = KTXPathValue::Number(1);
  const KTXPathValue copied = KTXPathValue::StringPiece(number, text);
  EXPECT_NE(copied.StringText().data(), text.data());
  EXPECT_TRUE(copied.StringText() == text);
}

TEST(KTXPathValueTest, SettersKeepOnlyTheirKind) {
  KTTestTree tree;
  KTXPathValue v = NodeSet({tree.Root()});
  EXPECT_EQ(v.GetKind(), kValueNodeSet);
  v.SetBoolean(true);
  EXPECT_EQ(v.GetKind(), kValueBoolean);
  EXPECT_EQ(v.ItemCount(), 0);
  EXPECT_TRUE(v.GetBoolean());
  v.SetString(KTString(u"abc"));
  EXPECT_FALSE(v.GetBoolean());
  EXPECT_EQ(U8(KTString(v.StringText())), "abc");
  v.SetNumber(2.5);
  EXPECT_EQ(v.GetKind(), kValueNumber);
  KTXPathValue copy = v;
  EXPECT_TRUE(copy.StringText().empty());
  EXPECT_EQ(copy.GetNumber(), 2.5);
  // A setter may be handed the value's own field.
  v.SetNumber(v.GetNumber());
  EXPECT_EQ(v.GetNumber(), 2.5);
  KTXPathValue def;
  EXPECT_EQ(def.GetKind(), kValueNodeSet);
  EXPECT_EQ(def.ItemCount(), 0);
}

TEST(KTXPathValueTest, NodeItemAtOutOfRangeGivesTheEnd) {
  KTTestTree tree;
  KTXPathNode* a = tree.Element(nullptr, u"a");
  KTXPathValue v = NodeSet({tree.Root(), a});
  EXPECT_EQ(v.NodeItemAt(-1), v.ItemsEnd());
  EXPECT_EQ(v.NodeItemAt(2), v.ItemsEnd());
  EXPECT_EQ(v.NodeItemAt(1)->GetNode(), a);
  EXPECT_EQ(KTXPathValue::Number(1).NodeItemAt(0), KTXPathValue::Number(1).ItemsEnd());
}

TEST(KTXPathValueTest, CopiesShareItemsUntilOneChanges) {
  KTTestTree tree;
  KTXPathNode* a = tree.Element(nullptr, u"a");
  KTXPathNode* b = tree.Element(nullptr, u"b");
  KTXPathValue original = NodeSet({b, a});
  KTXPathValue copy = original;
  EXPECT_EQ(&copy.Items(), &original.Items());
  copy.PushItem(KTXPathNodeItem(tree.Root()));
  EXPECT_EQ(original.ItemCount(), 2);
  EXPECT_EQ(copy.ItemCount(), 3);
  KTXPathValue sorted = original;
  sorted.SortDocumentOrder();
  EXPECT_EQ(original.NodeItemAt(0)->GetNode(), b);
  ASSERT_EQ(sorted.ItemCount(), 2);
  EXPECT_EQ(sorted.NodeItemAt(0)->GetNode(), a);
  EXPECT_EQ(sorted.NodeItemAt(0)->GetPosition(), 1);
  EXPECT_EQ(sorted.NodeItemAt(1)->GetPosition(), 2);
  // A single item is numbered too.
  KTXPathValue one = NodeSet({a});
  one.SortDocumentOrder();
  EXPECT_EQ(one.NodeItemAt(0)->GetPosition(), 1);
  EXPECT_EQ(original.FirstInDocumentOrder()->GetNode(), a);
}

// A value that owns its tree keeps it while any copy lives, also a copy
// cleared or reused for other items, and frees it with the last one. The
// tree's one element carries a name no other node holds, so the count of
// interned names tells whether the tree is still there.
TEST(KTXPathValueTest, OwningTreeLivesAsLongAsItsLastCopy) {
  const size_t before = KTXName::GetInternedCount();
  {
    auto root = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
    auto element = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
    element->SetName(u"only-in-this-owned-tree");
    KTXPathNode* elementView = root->AppendChild(std::move(element));
    KTXPathNode* rootView = root.get();
    KTXPathValue owner = KTXPathValue::OwningTree(std::move(root));
    ASSERT_EQ(owner.ItemCount(), 1);
    EXPECT_EQ(owner.NodeItemAt(0)->GetNode(), rootView);
    EXPECT_EQ(owner.NodeItemAt(0)->GetPosition(), 1);
    EXPECT_EQ(KTXName::GetInternedCount(), before + 1);
    KTXPathValue copy = owner;
    KTXPathValue moved = std::move(owner);
    owner.SetNumber(1);
    copy.SetString(KTString(u"other"));
    EXPECT_EQ(KTXName::GetInternedCount(), before + 1);
    EXPECT_EQ(std::u16string_view(elementView->GetName()), u"only-in-this-owned-tree");
    // A value that holds the vector alone and is given other items keeps
    // the tree until it lets the vector go.
    moved.ClearNodeSet();
    EXPECT_EQ(KTXName::GetInternedCount(), before + 1);
    moved.SetNodeSet();
    EXPECT_EQ(KTXName::GetInternedCount(), before);
  }
  EXPECT_EQ(KTXName::GetInternedCount(), before);
}

// Items given to a node-set land in the vector it holds alone when they
// fit, so that an empty result does not leave it without room (the next
// node pushed would allocate again). The items themselves are kept exactly.
TEST(KTXPathValueTest, GivenItemsKeepTheVectorsRoom) {
  KTTestTree tree;
  KTXPathNode* a = tree.Element(nullptr, u"a");
  KTXPathNode* b = tree.Element(nullptr, u"b");
  KTXPathValue value = NodeSet({a, b});
  const KTXPathValue::ItemVector* held = &value.Items();
  value.SetNodeSet(KTXPathValue::ItemVector{});
  EXPECT_EQ(value.ItemCount(), 0);
  EXPECT_EQ(&value.Items(), held);
  EXPECT_GE(value.Items().capacity(), 2u);
  value.SetNodeSet(KTXPathValue::ItemVector{KTXPathNodeItem(b, 7)});
  ASSERT_EQ(value.ItemCount(), 1);
  EXPECT_EQ(value.NodeItemAt(0)->GetNode(), b);
  EXPECT_EQ(value.NodeItemAt(0)->GetPosition(), 7);
  EXPECT_EQ(&value.Items(), held);
  // More items than the room: they are taken as they are.
  KTXPathValue::ItemVector many(64, KTXPathNodeItem(a, 1));
  value.SetNodeSet(std::move(many));
  EXPECT_EQ(value.ItemCount(), 64);
}

// ---- Operators ----

// A fixture document: <r><n>1</n><n>2</n><s>abc</s><z>0</z><big>10</big></r>.
class KTXPathOperatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KTXPathNode* r = tree_.Element(nullptr, u"r");
    one_ = tree_.TextElement(r, u"n", u"1");
    two_ = tree_.TextElement(r, u"n", u"2");
    abc_ = tree_.TextElement(r, u"s", u"abc");
    zero_ = tree_.TextElement(r, u"z", u"0");
    ten_ = tree_.TextElement(r, u"big", u"10");
  }

  // Named operands for the tables.
  KTXPathValue Operand(const std::string& name) {
    if (name == "{}") return KTXPathValue();
    if (name == "{1}") return NodeSet({one_});
    if (name == "{2}") return NodeSet({two_});
    if (name == "{1,2}") return NodeSet({one_, two_});
    if (name == "{abc}") return NodeSet({abc_});
    if (name == "{0}") return NodeSet({zero_});
    if (name == "{10}") return NodeSet({ten_});
    if (name == "{2,10}") return NodeSet({two_, ten_});
    if (name == "true") return KTXPathValue::Boolean(true);
    if (name == "false") return KTXPathValue::Boolean(false);
    if (name == "NaN") return KTXPathValue::Number(kNaN);
    if (name == "Inf") return KTXPathValue::Number(kInf);
    if (name == "-Inf") return KTXPathValue::Number(-kInf);
    if (name[0] == '\'') return KTXPathValue::String(KTString(std::u16string(name.begin() + 1, name.end() - 1)));
    return KTXPathValue::Number(std::stod(name));
  }

  KTTestTree tree_;
  KTXPathNode* one_ = nullptr;
  KTXPathNode* two_ = nullptr;
  KTXPathNode* abc_ = nullptr;
  KTXPathNode* zero_ = nullptr;
  KTXPathNode* ten_ = nullptr;
};

bool Apply(const KTXPathValue& l, const std::string& op, const KTXPathValue& r) {
  if (op == "=") return l.Equals(r);
  if (op == "!=") return l.NotEquals(r);
  if (op == "<") return l.Less(r);
  if (op == "<=") return l.LessOrEqual(r);
  if (op == ">") return l.Greater(r);
  if (op == ">=") return l.GreaterOrEqual(r);
  if (op == "or") return l.Or(r);
  if (op == "and") return l.And(r);
  ADD_FAILURE() << "unknown operator " << op;
  return false;
}

TEST_F(KTXPathOperatorTest, Comparisons) {
  struct Case {
    const char* left;
    const char* op;
    const char* right;
    bool expected;
  } cases[] = {
      // Empty node-sets compare false, except against a boolean (as false).
      {"{}", "=", "{}", false},      {"{}", "!=", "{}", false},       {"{}", "=", "1", false},
      {"{}", "!=", "1", false},      {"{}", "=", "''", false},        {"{}", "!=", "''", false},
      {"{}", "<", "1", false},       {"{}", ">=", "{1}", false},      {"{}", "=", "false", true},
      {"{}", "<", "true", true},     {"true", ">", "{}", true},
      // Existential: a set of 1 and 2 is both = 1 and != 1.
      {"{1,2}", "=", "1", true},     {"{1,2}", "!=", "1", true},      {"{1}", "!=", "1", false},
      {"1", "=", "{1,2}", true},     {"{1,2}", "=", "'2'", true},     {"{1,2}", "!=", "'2'", true},
      {"{1}", "!=", "'1'", false},   {"{1,2}", "=", "{2,10}", true},  {"{1}", "=", "{2,10}", false},
      {"{1}", "!=", "{1}", false},   {"{1}", "!=", "{1,2}", true},    {"{1,2}", "!=", "{1}", true},
      {"{1}", "!=", "{2}", true},
      // Relational over node-sets: smallest and largest numbers decide.
      {"{1,2}", "<", "{2}", true},   {"{2}", "<", "{1,2}", false},    {"{2}", "<=", "{1,2}", true},
      {"{2,10}", ">", "{1,2}", true}, {"{1}", ">", "{2,10}", false},  {"{1}", ">=", "{abc}", false},
      {"{1,2}", "<", "2", true},     {"2", "<", "{1,2}", false},      {"2", ">", "{1,2}", true},
      {"{2,10}", ">", "'5'", true},  {"{2}", ">", "'5'", false},      {"'1.5'", "<", "{1,2}", true},
      // NaN is unequal to everything, itself included, and never ordered.
      {"NaN", "=", "NaN", false},    {"NaN", "!=", "NaN", true},      {"NaN", "!=", "5", true},
      {"NaN", "<", "5", false},      {"NaN", ">=", "NaN", false},     {"'x'", "!=", "5", true},
      {"'x'", "=", "5", false},      {"'x'", "!=", "NaN", true},      {"{1}", "!=", "NaN", true},
      {"{}", "!=", "NaN", false},    {"{abc}", "!=", "5", true},      {"{abc}", "=", "5", false},
      {"{abc}", "<", "5", false},    {"{abc}", ">", "5", false},      {"{abc}", "!=", "{abc}", false},
      // Infinities compare as IEEE 754 infinities.
      {"Inf", "=", "Inf", true},     {"-Inf", "<", "-1e308", true},   {"{10}", "<", "Inf", true},
      // Scalars: booleans first, then numbers, then strings.
      {"'1'", "=", "1", true},       {"'1.0'", "=", "'1'", false},    {"'1.0'", "=", "1", true},
      {"true", "=", "'x'", true},    {"false", "=", "''", true},      {"true", "=", "2", true},
      {"false", "=", "0", true},     {"false", "!=", "NaN", false},   {"{1}", "=", "true", true},
      {"{}", "!=", "true", true},    {"0", "=", "-0", true},          {"'abc'", "=", "'abc'", true},
      {"'abc'", "=", "'ABC'", false}, {"'2'", "<", "'10'", true},     {"true", ">", "false", true},
      {"'a'", "<", "'b'", false},
      // Logical operators.
      {"{}", "or", "'x'", true},     {"{0}", "and", "1", true},       {"0", "or", "NaN", false},
      {"''", "or", "false", false},  {"1", "and", "'0'", true},       {"1", "and", "''", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Apply(Operand(c.left), c.op, Operand(c.right)), c.expected)
        << c.left << " " << c.op << " " << c.right;
  }
}

TEST_F(KTXPathOperatorTest, OperandsAreLeftUnchanged) {
  KTXPathValue left = Operand("{1,2}");
  KTXPathValue right = Operand("'2'");
  EXPECT_TRUE(left.Equals(right));
  EXPECT_DOUBLE_EQ(left.Add(right), 3.0);
  EXPECT_EQ(left.GetKind(), kValueNodeSet);
  EXPECT_EQ(left.ItemCount(), 2);
  EXPECT_EQ(right.GetKind(), kValueString);
}

TEST_F(KTXPathOperatorTest, Arithmetic) {
  struct Case {
    const char* left;
    const char* op;
    const char* right;
    double expected;  // NaN where NaN is expected
  } cases[] = {
      {"1", "div", "0", kInf},    {"-1", "div", "0", -kInf},  {"0", "div", "0", kNaN},
      {"1", "div", "-0", -kInf},  {"5", "mod", "0", kNaN},    {"5.5", "mod", "2", 1.5},
      {"2", "mod", "0.5", 0.0},   {"-7", "mod", "2", -1.0},   {"7", "mod", "-2", 1.0},
      {"5", "mod", "2", 1.0},     {"Inf", "mod", "2", kNaN},  {"5", "mod", "Inf", 5.0},
      {"-2147483648", "mod", "-1", -0.0},
      {"{1,2}", "+", "{10}", 11.0}, {"'3'", "*", "true", 3.0}, {"{abc}", "+", "1", kNaN},
      {"{}", "-", "1", kNaN},     {"'x'", "div", "1", kNaN},  {"1e308", "*", "10", kInf},
  };
  for (const Case& c : cases) {
    KTXPathValue l = Operand(c.left);
    KTXPathValue r = Operand(c.right);
    std::string op = c.op;
    double got = op == "+" ? l.Add(r) : op == "-" ? l.Subtract(r) : op == "*" ? l.Multiply(r)
               : op == "div" ? l.Divide(r) : l.Modulo(r);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(got)) << c.left << " " << op << " " << c.right << " gave " << got;
    } else {
      EXPECT_EQ(got, c.expected) << c.left << " " << op << " " << c.right;
      EXPECT_EQ(std::signbit(got), std::signbit(c.expected)) << c.left << " " << op << " " << c.right;
    }
  }
}

}  // namespace
