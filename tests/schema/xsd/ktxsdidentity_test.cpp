// Identity constraints of XML Schema element declarations: the records the
// loader keeps and the reports it makes.
#include "ktxsdtest_util.h"
#include "schema/xsd/ktidentityconstraint.h"

namespace {

const KTIdentityConstraint* Constraint(LoadedSchema& s, const char16_t* local, const char16_t* ns = u"") {
  auto& set = s.model->IdentityConstraints();
  auto it = set.find(KTQName(local, KTNamespaceId::Intern(ns)));
  return it == set.end() ? nullptr : it->second.get();
}

TEST(XsdIdentity, KeysAndKeyrefsAreKeptWithTheirDeclarations) {
  LoadedSchema s({Xsd(u"<xs:element name='order'><xs:complexType><xs:sequence>"
                      u"<xs:element name='item' maxOccurs='unbounded'/></xs:sequence></xs:complexType>"
                      u"<xs:key name='k'><xs:annotation/><xs:selector xpath='.//a | b/c'/>"
                      u"<xs:field xpath='a/@b'/><xs:field xpath=' @ id '/></xs:key>"
                      u"<xs:keyref name='r' refer='tns:k'><xs:selector xpath='item'/><xs:field xpath='@ref'/>"
                      u"</xs:keyref>"
                      u"<xs:unique name='u' xmlns:p='urn:p'><xs:selector xpath='p:item' xmlns:q='urn:q'/>"
                      u"<xs:field xpath='q:*'/></xs:unique>"
                      u"</xs:element>",
                      u"xmlns:tns='urn:x' targetNamespace='urn:x'")});
  EXPECT_EQ(s.Error(), kSchemaNoError) << s.Context();
  const KTIdentityConstraint* k = Constraint(s, u"k", u"urn:x");
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->kind, KTIdentityConstraint::kKey);
  EXPECT_EQ(k->selector.GetCompileMode(), KTXPathExpression::kModeSelector);
  EXPECT_NE(k->selector.GetTree(), nullptr);
  ASSERT_EQ(k->fields.size(), 2u);
  EXPECT_EQ(k->fields[0].GetCompileMode(), KTXPathExpression::kModeField);
  EXPECT_EQ(U8(k->fields[1].GetText().c_str()), "@id");  // white space removed
  const KTIdentityConstraint* r = Constraint(s, u"r", u"urn:x");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, KTIdentityConstraint::kKeyref);
  EXPECT_TRUE(QNameEqual(r->refer, KTQName(u"k", KTNamespaceId::Intern(u"urn:x"))));
  // Prefixes in the paths are those in scope where each path is written.
  const KTIdentityConstraint* u = Constraint(s, u"u", u"urn:x");
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->kind, KTIdentityConstraint::kUnique);
  EXPECT_EQ(u->selector.GetNamespaceMap()->count(KTString(u"q")), 1u);
  EXPECT_EQ(u->fields[0].GetNamespaceMap()->count(KTString(u"q")), 0u);
  EXPECT_EQ(u->fields[0].GetNamespaceMap()->count(KTString(u"p")), 1u);
  KTElementType* order = s.Element(u"order", u"urn:x");
  ASSERT_NE(order, nullptr);
  ASSERT_EQ(order->identityConstraints_.size(), 3u);
  EXPECT_EQ(order->identityConstraints_[0], k);
  EXPECT_EQ(order->identityConstraints_[2], u);
}

TEST(XsdIdentity, Problems) {
  struct Case {
    const char16_t* body;
    int id;
    const char* node;
    const char* context;
  } cases[] = {
      {u"<xs:element name='a'><xs:key name='k'><xs:selector xpath='x'/><xs:field xpath='a/'/></xs:key>"
       u"</xs:element>",
       7546, "xpath", ""},
      {u"<xs:element name='a'><xs:key name='k'><xs:selector xpath='a/@b'/></xs:key></xs:element>", 7546, "xpath",
       ""},
      {u"<xs:element name='a'><xs:unique name='k'><xs:selector xpath='x[1]'/></xs:unique></xs:element>", 7546,
       "xpath", ""},
      {u"<xs:element name='a'><xs:key name='k'><xs:other/></xs:key></xs:element>", 7536, "xs:other",
       "- expected: (xs:annotation | xs:selector | xs:field)"},
      {u"<xs:element name='a'><xs:key name='k'/></xs:element><xs:element name='b'><xs:unique name='k'/>"
       u"</xs:element>",
       7545, "xs:unique", "k"},
      {u"<xs:element name='a'><xs:key/><xs:keyref/></xs:element>", 7545, "xs:keyref", ""},
  };
  for (const Case& c : cases) {
    LoadedSchema s({Xsd(c.body)});
    EXPECT_EQ(s.Error(), c.id) << U8(c.body);
    EXPECT_EQ(s.ErrorNode(), c.node) << U8(c.body);
    EXPECT_EQ(s.Context(), c.context) << U8(c.body);
    EXPECT_FALSE(s.result) << U8(c.body);
  }
  // A constraint whose path does not compile is stored all the same, listed
  // by its element; the second of a name is not.
  LoadedSchema bad({Xsd(u"<xs:element name='a'><xs:key name='k'><xs:selector xpath='.'/>"
                        u"<xs:field xpath='a/'/></xs:key><xs:key name='k'/></xs:element>")});
  const KTIdentityConstraint* k = Constraint(bad, u"k");
  ASSERT_NE(k, nullptr);
  ASSERT_EQ(k->fields.size(), 1u);
  EXPECT_EQ(k->fields[0].GetTree(), nullptr);
  ASSERT_NE(bad.Element(u"a"), nullptr);
  EXPECT_EQ(bad.Element(u"a")->identityConstraints_.size(), 1u);
}

TEST(XsdIdentity, ReferPrefixComesFromTheEnclosingElement) {
  LoadedSchema s({Xsd(u"<xs:element name='a' xmlns:e='urn:e'><xs:keyref name='r1' refer='e:k'/>"
                      u"<xs:keyref name='r2' refer='f:k' xmlns:f='urn:f'/></xs:element>")});
  const KTIdentityConstraint* r1 = Constraint(s, u"r1");
  const KTIdentityConstraint* r2 = Constraint(s, u"r2");
  ASSERT_NE(r1, nullptr);
  ASSERT_NE(r2, nullptr);
  EXPECT_EQ(r1->refer.ns, KTNamespaceId::Intern(u"urn:e"));
  EXPECT_NE(r2->refer.ns, KTNamespaceId::Intern(u"urn:f"));
}

}  // namespace
