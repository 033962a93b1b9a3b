// Namespace ids, expanded names and the namespace context over small trees.
#include "xml/ktnamespace.h"

#include <gtest/gtest.h>

#include "platform/ktutf8.h"
#include "xml/ktxnode.h"

namespace {

KTXNode* Add(KTXNode* parent, int kind, const char16_t* name, const char16_t* value = nullptr) {
  auto node = CreateXNode(kind);
  node->SetName(name);
  if (value) node->SetValue(value);
  return parent->AppendChild(std::move(node));
}

std::string Show(const KTQName& q) {
  std::string out("{");
  out.append(KTUtf16ToUtf8(q.ns.Uri().View())).append("}").append(KTUtf16ToUtf8(q.localName.View()));
  return out;
}

TEST(NamespaceId, InterningGivesOneIdPerText) {
  KTNamespaceId a = KTNamespaceId::Intern(u"urn:a");
  EXPECT_EQ(a, KTNamespaceId::Intern(KTString(u"urn:a")));
  EXPECT_NE(a, KTNamespaceId::Intern(u"urn:A"));
  EXPECT_EQ(KTNamespaceId::Intern(u""), KTNamespaceId::None());
  EXPECT_EQ(KTNamespaceId::Intern(nullptr), KTNamespaceId());
  EXPECT_TRUE(NamespaceUriEqual(a, u"urn:a"));
  EXPECT_TRUE(NamespaceUriNotEqual(a, u"urn:b"));

  // Names with the same URI text compare equal; order is by id, then name.
  KTQName x(u"x", KTNamespaceId::Intern(u"urn:a"));
  KTQName y(u"y", a);
  EXPECT_TRUE(QNameEqual(x, x.WithLocalName(u"x")));
  EXPECT_TRUE(QNameLess(x, y));
  EXPECT_FALSE(QNameLess(y, x));
  KTQName other(u"a", KTNamespaceId::Intern(u"urn:other"));
  EXPECT_NE(QNameLess(x, other), QNameLess(other, x));
  EXPECT_EQ(QNameLess(x, other), NamespaceIdLess(x.ns, other.ns));
  EXPECT_TRUE(QNameNotEqual(x, other));
  EXPECT_TRUE(KTStringLess(u"Z", u"a"));
}

TEST(PrefixBinding, LockAndQualifiedNames) {
  KTPrefixBinding b{KTString(u"p"), KTNamespaceId::Intern(u"urn:p"), false};
  EXPECT_EQ(KTUtf16ToUtf8(b.QualifiedName(u"e", false).View()), "p:e");
  EXPECT_TRUE(b.SetPrefix(u""));
  EXPECT_EQ(KTUtf16ToUtf8(b.QualifiedName(u"e", false).View()), "e");
  EXPECT_EQ(KTUtf16ToUtf8(b.QualifiedName(u"e", true).View()), "???:e");
  b.locked = true;
  EXPECT_FALSE(b.SetPrefix(u"q"));
  EXPECT_TRUE(b.prefix.IsEmpty());
}

// <r xmlns="urn:a" xmlns:xml="urn:x"><p:c xmlns:p="urn:b" x="1" p:y="2"><q:e/><d/></p:c></r>
class NamespaceContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc_ = CreateXNode(kXmlDocument);
    root_ = Add(doc_.get(), kElement, u"r");
    Add(root_, kAttribute, u"xmlns", u"urn:a");
    Add(root_, kAttribute, u"xmlns:xml", u"urn:x");
    child_ = Add(root_, kElement, u"p:c");
    Add(child_, kAttribute, u"xmlns:p", u"urn:b");
    x_ = Add(child_, kAttribute, u"x", u"1");
    y_ = Add(child_, kAttribute, u"p:y", u"2");
    grand_ = Add(child_, kElement, u"q:e");
    d_ = Add(child_, kElement, u"d");
  }
  std::unique_ptr<KTXNode> doc_;
  KTXNode *root_, *child_, *x_, *y_, *grand_, *d_;
};

TEST_F(NamespaceContextTest, FreshContextKnowsOnlyXml) {
  KTNamespaceContext ctx;
  KTQName q;
  ctx.ResolveQName(q, u"xml:lang");
  EXPECT_EQ(Show(q), "{http://www.w3.org/XML/1998/namespace}lang");
  ctx.ResolveQName(q, u"a");
  EXPECT_EQ(Show(q), "{}a");
  ctx.ResolveQName(q, u"q:e");  // unbound prefix: no namespace, no error
  EXPECT_EQ(Show(q), "{}e");
  EXPECT_EQ(ctx.Bind(KTString(u"xmlns"), KTNamespaceId::Intern(u"urn:z"), false), nullptr);
}

TEST_F(NamespaceContextTest, DeclarationsInScope) {
  KTNamespaceContext ctx(root_, false);
  KTQName q;
  ctx.ResolveQName(q, u"xml:lang");  // the locked xml prefix ignores xmlns:xml
  EXPECT_EQ(Show(q), "{http://www.w3.org/XML/1998/namespace}lang");
  ctx.GetElementQName(q, root_);
  EXPECT_EQ(Show(q), "{urn:a}r");
  ctx.GetElementQName(q, child_);  // through the cached child context
  EXPECT_EQ(Show(q), "{urn:b}c");
  ctx.GetElementQName(q, x_);  // not an element
  EXPECT_EQ(Show(q), "{}");

  KTNamespaceContext inner(ctx, child_);
  inner.ResolveQName(q, u"p:c");
  EXPECT_EQ(Show(q), "{urn:b}c");
  inner.ResolveQName(q, u"d");
  EXPECT_EQ(Show(q), "{urn:a}d");
  // The original context does not see the child's declarations.
  ctx.ResolveQName(q, u"p:c");
  EXPECT_EQ(Show(q), "{}c");

  std::pair<KTQName, KTQName> pair;
  ctx.GetAttributeQName(pair, x_);
  EXPECT_EQ(Show(pair.first), "{}x");
  EXPECT_EQ(Show(pair.second), "{urn:b}c");
  ctx.GetAttributeQName(pair, y_);
  EXPECT_EQ(Show(pair.first), "{urn:b}y");
  EXPECT_EQ(Show(pair.second), "{}");
  ctx.GetAttributeQName(pair, child_);
  EXPECT_EQ(Show(pair.first), "{}");
}

TEST_F(NamespaceContextTest, AncestorsNearestWins) {
  Add(grand_, kAttribute, u"xmlns", u"urn:inner");
  KTNamespaceContext ctx(grand_, true);
  KTQName q;
  ctx.ResolveQName(q, u"p:z");
  EXPECT_EQ(Show(q), "{urn:b}z");
  ctx.ResolveQName(q, u"z");
  EXPECT_EQ(Show(q), "{urn:inner}z");
  EXPECT_EQ(ctx.GetNode(), grand_);

  // An empty default declaration makes unprefixed names namespace-less.
  Add(d_, kAttribute, u"xmlns", u"");
  KTNamespaceContext undeclared(d_, true);
  undeclared.ResolveQName(q, u"z");
  EXPECT_EQ(Show(q), "{}z");
}

}  // namespace
