// XML Schema complex types, particles and model groups, wildcards and
// attribute groups, and the defaults they give instance documents.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ktxsdtest_util.h"

namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

KTComplexTypeDef* ComplexType(LoadedSchema& s, const char16_t* local, const char16_t* ns = u"") {
  auto it = s.model->ComplexTypes().find(KTQName(local, KTNamespaceId::Intern(ns)));
  return it == s.model->ComplexTypes().end() ? nullptr : it->second.get();
}

// The names of the element declarations reachable through a content model,
// in particle order, groups flattened.
std::string Particles(KTElementType* type) {
  std::string out;
  for (KTParticle& p : type->GetParticles()) {
    if (p.child->IsGroup()) {
      out += "(" + Particles(p.child) + ")";
    } else {
      out += U8(p.child->GetName().localName.c_str()) + " ";
    }
  }
  return out;
}

TEST(XsdComplexType, ExtensionWithAttributeGroupGivesEveryDefault) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "order.xml"));
  EXPECT_EQ(w.model->GetErrorId(), kSchemaNoError) << U8(w.model->GetError().contextText.c_str());
  EXPECT_EQ(ProbeXPath("order.xml", "concat(order/@cur,'|',order/@prio,'|',order/price)"), "EUR|3|0");
}

TEST(XsdSchema, IncludedDocumentKeepsItsOwnFormDefault) {
  // include-main.xsd is qualified; include-part.xsd (included, no form
  // default) declares its local qty unqualified.
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "include.xml"));
  EXPECT_EQ(w.model->GetErrorId(), kSchemaNoError) << U8(w.model->GetError().contextText.c_str());
  EXPECT_EQ(Outline(w.Root()), "@xsi:schemaLocation=urn:t include-main.xsd t:id([7])t:item(qty([1]))");
  KTElementType* item = w.model->FindElement(KTQName(u"item", KTNamespaceId::Intern(u"urn:t")));
  ASSERT_TRUE(item);
  EXPECT_TRUE(item->FindChildElementDecl(KTQName(u"qty", KTNamespaceId::None())));
  KTElementType* order = w.model->FindElement(KTQName(u"order", KTNamespaceId::Intern(u"urn:t")));
  EXPECT_TRUE(order->FindChildElementDecl(KTQName(u"id", KTNamespaceId::Intern(u"urn:t"))));
}

TEST(XsdComplexType, DerivationCopiesRestrictsAndLinks) {
  LoadedSchema s({Xsd(u"<xs:group name='g'><xs:sequence><xs:element name='x'/></xs:sequence></xs:group>"
                      u"<xs:complexType name='B'><xs:sequence><xs:element name='a' type='xs:int' default='1'/>"
                      u"<xs:group ref='g'/></xs:sequence><xs:attribute name='k' default='v'/></xs:complexType>"
                      u"<xs:complexType name='E'><xs:complexContent><xs:extension base='B'><xs:sequence>"
                      u"<xs:element name='b'/><xs:group ref='g' maxOccurs='unbounded'/></xs:sequence>"
                      u"</xs:extension></xs:complexContent></xs:complexType>"
                      u"<xs:complexType name='R'><xs:complexContent><xs:restriction base='B'><xs:sequence>"
                      u"<xs:element name='c'/></xs:sequence><xs:attribute name='k' default='w'/></xs:restriction>"
                      u"</xs:complexContent></xs:complexType>"
                      u"<xs:element name='e' type='E'/>")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  KTComplexTypeDef* b = ComplexType(s, u"B");
  KTComplexTypeDef* e = ComplexType(s, u"E");
  KTComplexTypeDef* r = ComplexType(s, u"R");
  ASSERT_TRUE(b && e && r);
  EXPECT_EQ(Particles(&b->contentModel), "(a ((x )))");
  // Extension: a deep copy of the base with the own particles after it.
  EXPECT_EQ(Particles(&e->contentModel), "(a ((x )))(b ((x )))");
  EXPECT_EQ(e->baseRecord, b);
  KTElementType* copiedA = e->contentModel.FindChildElementDecl(KTQName(u"a", KTNamespaceId::None()));
  KTElementType* baseA = b->contentModel.FindChildElementDecl(KTQName(u"a", KTNamespaceId::None()));
  ASSERT_TRUE(copiedA && baseA);
  EXPECT_NE(copiedA, baseA);
  EXPECT_EQ(U8(copiedA->valueText_.c_str()), "1");
  // Group references point at the stored definition, in base and copy alike.
  KTElementType* g = s.model->Groups().begin()->second.get();
  EXPECT_EQ(b->contentModel.GetParticles()[0].child->GetParticles()[1].child, g);
  EXPECT_EQ(e->contentModel.GetParticles()[1].child->GetParticles()[1].child, g);
  EXPECT_EQ(e->contentModel.GetParticles()[1].child->GetParticles()[1].maxOccurs, -1);
  // Restriction: the content is reset, attributes kept and redeclared.
  EXPECT_EQ(Particles(&r->contentModel), "(c )");
  ASSERT_EQ(r->contentModel.GetAttributeList().size(), 1u);
  EXPECT_EQ(U8(r->contentModel.GetAttributeList().front().defaultText.c_str()), "w");
  // An element of the type sees its content through the link.
  EXPECT_EQ(s.Element(u"e")->GetComplexTypeLink(), e);
  EXPECT_TRUE(s.Element(u"e")->FindChildElementDecl(KTQName(u"b", KTNamespaceId::None())));
}

TEST(XsdComplexType, ContentForms) {
  LoadedSchema s({Xsd(u"<xs:complexType name='empty'/>"
                      u"<xs:complexType name='mixed' mixed='1'/>"
                      u"<xs:complexType name='text'><xs:simpleContent><xs:extension base='xs:decimal'>"
                      u"<xs:attribute name='unit' default='kg'/></xs:extension></xs:simpleContent></xs:complexType>"
                      u"<xs:complexType name='short'><xs:simpleContent><xs:restriction base='text'>"
                      u"<xs:maxInclusive value='10'/></xs:restriction></xs:simpleContent></xs:complexType>"
                      u"<xs:complexType name='anyR'><xs:complexContent><xs:restriction base='xs:anyType'/>"
                      u"</xs:complexContent></xs:complexType>"
                      u"<xs:complexType name='anyE'><xs:complexContent><xs:extension base='xs:anyType'/>"
                      u"</xs:complexContent></xs:complexType>"
                      u"<xs:complexType name='wild'><xs:sequence><xs:any namespace='##other' processContents='lax'/>"
                      u"</xs:sequence><xs:anyAttribute processContents='skip'/></xs:complexType>"
                      u"<xs:complexType name='blocked' block='#all' final='restriction extension'/>"
                      u"<xs:element name='w' type='short' default='5'/>")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  KTElementType& empty = ComplexType(s, u"empty")->contentModel;
  EXPECT_TRUE(empty.IsEmpty() && !empty.IsSequence() && !empty.IsTextOnly());
  KTElementType& mixed = ComplexType(s, u"mixed")->contentModel;
  EXPECT_TRUE(mixed.IsMixed() && !mixed.IsEmpty());
  KTElementType& text = ComplexType(s, u"text")->contentModel;
  EXPECT_TRUE(text.IsTextOnly());
  EXPECT_EQ(text.GetDatatypeId(), kDtDecimal);
  KTElementType& shortType = ComplexType(s, u"short")->contentModel;
  EXPECT_EQ(shortType.GetDatatype()->CheckValue(KTString(u"11"), false, false), 4);
  EXPECT_EQ(text.GetDatatype()->CheckValue(KTString(u"11"), false, false), 0);  // the base is unchanged
  EXPECT_EQ(shortType.GetAttributeList().size(), 1u);
  KTElementType& anyR = ComplexType(s, u"anyR")->contentModel;
  EXPECT_TRUE(anyR.IsMixed() && anyR.HasNoParticles());
  EXPECT_EQ(U8(anyR.attributeWildcard_.c_str()), "##any");
  KTElementType& anyE = ComplexType(s, u"anyE")->contentModel;
  ASSERT_EQ(anyE.GetParticles().size(), 1u);
  EXPECT_TRUE(anyE.GetParticles()[0].child->IsAny());
  KTElementType* wildcard = ComplexType(s, u"wild")->contentModel.GetParticles()[0].child->GetParticles()[0].child;
  EXPECT_EQ(U8(wildcard->elementWildcard_.c_str()), "##other");
  EXPECT_EQ(wildcard->elementWildcardProcess_, 0);
  EXPECT_EQ(ComplexType(s, u"wild")->contentModel.attributeWildcardProcess_, 1);
  EXPECT_EQ(U8(ComplexType(s, u"blocked")->blockText.c_str()), "extension restriction");
  EXPECT_EQ(U8(ComplexType(s, u"blocked")->finalText.c_str()), "restriction extension");
}

TEST(XsdParticle, Occurrences) {
  LoadedSchema s({Xsd(u"<xs:complexType name='t'><xs:sequence>"
                      u"<xs:element name='a' maxOccurs='2' minOccurs='3'/>"
                      u"<xs:element name='b' minOccurs='3' maxOccurs='2'/>"
                      u"<xs:element name='c' minOccurs='x'/>"
                      u"<xs:element name='d' maxOccurs='4294967295'/>"
                      u"<xs:sequence maxOccurs='unbounded' minOccurs='5'><xs:choice maxOccurs='unbounded'>"
                      u"<xs:element name='e'/></xs:choice></xs:sequence>"
                      u"<xs:any/></xs:sequence></xs:complexType><xs:element name='z'/>")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  std::vector<KTParticle>& p = ComplexType(s, u"t")->contentModel.GetParticles()[0].child->GetParticles();
  ASSERT_EQ(p.size(), 6u);
  EXPECT_EQ(p[0].minOccurs, 3);
  EXPECT_EQ(p[0].maxOccurs, 3);
  EXPECT_EQ(p[1].minOccurs, 3);
  EXPECT_EQ(p[1].maxOccurs, 2);
  EXPECT_EQ(p[2].minOccurs, 1);
  EXPECT_EQ(p[3].maxOccurs, -1);
  EXPECT_EQ(p[4].minOccurs, 5);
  EXPECT_EQ(p[4].maxOccurs, -1);
  EXPECT_EQ(p[4].child->GetParticles()[0].maxOccurs, -1);
  EXPECT_EQ(p[5].minOccurs, 1);
  EXPECT_EQ(p[5].maxOccurs, 1);
}

TEST(XsdComplexType, DeepExtensionChainLoads) {
  // 1,000 types each extending the one before: every level copies its base
  // once, and every type ends with the first level's content.
  std::u16string body = u"<xs:complexType name='T0'><xs:sequence><xs:element name='v' type='xs:int' default='4'/>"
                        u"</xs:sequence><xs:attribute name='at' default='x'/></xs:complexType>";
  for (int i = 1; i <= 1000; ++i) {
    body += u"<xs:complexType name='T" + U16(std::to_string(i)) +
            u"'><xs:complexContent><xs:extension base='T" + U16(std::to_string(i - 1)) +
            u"'/></xs:complexContent></xs:complexType>";
  }
  body += u"<xs:element name='e' type='T1000'/>";
  LoadedSchema s({Xsd(body)});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  EXPECT_EQ(s.model->GetCurrentPass(), 1);
  KTElementType* e = s.Element(u"e");
  KTElementType* v = e->FindChildElementDecl(KTQName(u"v", KTNamespaceId::None()));
  ASSERT_TRUE(v);
  EXPECT_EQ(U8(v->valueText_.c_str()), "4");
  EXPECT_EQ(e->GetAttributeList().size(), 1u);
}

TEST(XsdComplexType, CyclesRecordTheirProblem) {
  struct Case {
    const char16_t* body;
    int id;
    const char* node;
    const char* context;
  } cases[] = {
      {u"<xs:complexType name='A'><xs:complexContent><xs:extension base='B'/></xs:complexContent></xs:complexType>"
       u"<xs:complexType name='B'><xs:complexContent><xs:extension base='A'/></xs:complexContent></xs:complexType>",
       7537, "base", "- circular derivation of A"},
      {u"<xs:complexType name='A'><xs:complexContent><xs:restriction base='A'/></xs:complexContent>"
       u"</xs:complexType>",
       7537, "base", "- circular derivation of A"},
      {u"<xs:group name='g'><xs:sequence><xs:element name='a'/><xs:group ref='g'/></xs:sequence></xs:group>", 7519,
       "xs:group", "g"},
      {u"<xs:attributeGroup name='ag'><xs:attribute name='a'/><xs:attributeGroup ref='ag'/></xs:attributeGroup>",
       7519, "xs:attributeGroup", "ag"},
      {u"<xs:attributeGroup name='a1'><xs:attributeGroup ref='a2'/></xs:attributeGroup>"
       u"<xs:attributeGroup name='a2'><xs:attributeGroup ref='a1'/></xs:attributeGroup>",
       7519, "xs:attributeGroup", "a1"},
      // Through three groups, one of them with an attribute of its own:
      // the cycle is named, not taken for an attribute declared twice.
      {u"<xs:attributeGroup name='a1'><xs:attributeGroup ref='a2'/><xs:attribute name='a' default='1'/>"
       u"</xs:attributeGroup><xs:attributeGroup name='a2'><xs:attributeGroup ref='a3'/></xs:attributeGroup>"
       u"<xs:attributeGroup name='a3'><xs:attributeGroup ref='a1'/></xs:attributeGroup>"
       u"<xs:complexType name='t'><xs:attributeGroup ref='a1'/></xs:complexType>",
       7519, "xs:attributeGroup", "a1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.body));
    LoadedSchema s({Xsd(std::u16string(c.body) + u"<xs:element name='z'/>")});
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.Error(), c.id);
    EXPECT_EQ(s.ErrorNode(), c.node);
    if (c.context) {
      EXPECT_EQ(s.Context(), c.context);
    }
  }
}

TEST(XsdAttributeGroup, ReferencesCopyAttributes) {
  LoadedSchema s({Xsd(u"<xs:complexType name='t'><xs:attribute name='a' default='own'/>"
                      u"<xs:attributeGroup ref='outer'/><xs:attribute ref='g'/></xs:complexType>"
                      u"<xs:attributeGroup name='outer'><xs:attribute name='b' default='2'/>"
                      u"<xs:attributeGroup ref='inner'/><xs:anyAttribute/></xs:attributeGroup>"
                      u"<xs:attributeGroup name='inner'><xs:attribute name='a' default='group'/>"
                      u"</xs:attributeGroup>"
                      u"<xs:attribute name='g' type='xs:int' default='9'/>"
                      u"<xs:element name='z'/>")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  KTElementType& t = ComplexType(s, u"t")->contentModel;
  std::string attributes;
  for (const KTAttributeDecl& a : t.GetAttributeList()) {
    attributes += U8(a.name.localName.c_str()) + "=" + U8(a.defaultText.c_str()) + " ";
  }
  // The group's a replaces the type's own; the referenced global g comes last.
  EXPECT_EQ(attributes, "a=group b=2 g=9 ");
  EXPECT_TRUE(t.attributeWildcard_.IsEmpty());  // a group's wildcard is not brought in
}

TEST(XsdAttributeGroup, LargeGroupsMergeByName) {
  // A group of 3,000 attributes named by 60 types and by a second group
  // that redeclares one of them: each type ends with every name once, in
  // order, the later declaration replacing the earlier.
  std::u16string body = u"<xs:attributeGroup name='big'>";
  for (int i = 0; i < 3000; ++i) body += u"<xs:attribute name='a" + U16(std::to_string(i)) + u"' default='x'/>";
  body += u"</xs:attributeGroup><xs:attributeGroup name='late'><xs:attribute name='a7' default='late'/>"
          u"<xs:attribute name='extra'/></xs:attributeGroup>";
  for (int i = 0; i < 60; ++i) {
    body += u"<xs:complexType name='t" + U16(std::to_string(i)) +
            u"'><xs:attributeGroup ref='big'/><xs:attributeGroup ref='late'/></xs:complexType>";
  }
  LoadedSchema s({Xsd(body + u"<xs:element name='z'/>")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  for (const char16_t* name : {u"t0", u"t59"}) {
    std::list<KTAttributeDecl>& list = ComplexType(s, name)->contentModel.GetAttributeList();
    ASSERT_EQ(list.size(), 3001u);
    auto it = list.begin();
    EXPECT_EQ(U8(it->name.localName.c_str()), "a0");
    std::advance(it, 7);
    EXPECT_EQ(U8(it->name.localName.c_str()) + "=" + U8(it->defaultText.c_str()), "a7=late");
    EXPECT_EQ(U8(list.back().name.localName.c_str()), "extra");
  }
}

TEST(XsdComplexType, Problems) {
  struct Case {
    const char16_t* body;
    int id;
    const char* node;
    const char* context;
  } cases[] = {
      {u"<xs:complexType name='a:b'/>", 7548, "xs:complexType", "a:b"},
      {u"<xs:complexType name='t' mixed='yes'/>", 7536, "mixed", "- expected: (true | false)"},
      {u"<xs:complexType name='t' block='extension other'/>", 7536, "block",
       "- expected: (#all | List of (extension | restriction) )"},
      {u"<xs:complexType name='t' xmlns='urn:d'/>", 7536, "xmlns",
       "- expected: (abstract | block | final | id | mixed | name)"},
      {u"<xs:complexType name='t'><xs:sequence/><xs:simpleContent/></xs:complexType>", 7536, "xs:simpleContent",
       "- expected: (xs:annotation | xs:simpleContent | xs:complexContent | xs:group | xs:all | xs:choice | "
       "xs:sequence | xs:attribute | xs:attributeGroup | xs:anyAttribute)"},
      {u"<xs:complexType name='t'><xs:simpleContent><xs:extension base='xs:decimal'><xs:maxLength value='2'/>"
       u"</xs:extension></xs:simpleContent></xs:complexType>",
       7536, "xs:maxLength", "- facets are only allowed inside simpleContent/restriction"},
      {u"<xs:complexType name='t'><xs:simpleContent><xs:restriction base='xs:decimal'/></xs:simpleContent>"
       u"</xs:complexType>",
       7537, "base",
       "- you must use a complexType instead of 'xs:decimal', because a simpleContent/restriction can't be based on "
       "a simpleType"},
      {u"<xs:complexType name='b'><xs:sequence><xs:element name='x'/></xs:sequence></xs:complexType>"
       u"<xs:complexType name='t'><xs:simpleContent><xs:extension base='b'/></xs:simpleContent></xs:complexType>",
       7536, "base", "- simpleContent can not have a base that is a complexType with complexContent"},
      {u"<xs:complexType name='b' final='extension restriction'/><xs:complexType name='t'><xs:complexContent>"
       u"<xs:extension base='b'/></xs:complexContent></xs:complexType>",
       7549, "base", "extension restriction"},
      {u"<xs:complexType name='t'><xs:complexContent><xs:extension base='missing'/></xs:complexContent>"
       u"</xs:complexType>",
       7537, "base", ""},
      {u"<xs:complexType name='t'><xs:sequence><xs:group ref='missing'/></xs:sequence></xs:complexType>", 7518, "ref",
       "missing"},
      {u"<xs:complexType name='t'><xs:attributeGroup ref='missing'/></xs:complexType>", 7521, "xs:attributeGroup",
       "missing"},
      {u"<xs:complexType name='t'><xs:attribute ref='missing'/></xs:complexType>", 7520, "ref", "missing"},
      {u"<xs:complexType name='t'><xs:sequence><xs:element name='a' type='xs:int'/>"
       u"<xs:element name='a' type='xs:date'/></xs:sequence></xs:complexType>",
       7513, "xs:element", "a"},
      {u"<xs:complexType name='t'><xs:attribute name='a'/><xs:attribute name='a'/></xs:complexType>", 7514,
       "xs:attribute", "a"},
      {u"<xs:complexType name='t'><xs:sequence><xs:element name='a' maxOccurs='many'/></xs:sequence>"
       u"</xs:complexType>",
       7537, "maxOccurs", "- expected: nonNegativeInteger or 'unbounded'"},
      {u"<xs:complexType name='t'><xs:all><xs:element name='a' maxOccurs='unbounded'/></xs:all></xs:complexType>",
       7537, "maxOccurs", "- expected: 0 or 1 (maxOccurs inside an 'all' group is limited to these values)"},
      {u"<xs:complexType name='t'><xs:sequence><xs:element name='a' substitutionGroup='z'/></xs:sequence>"
       u"</xs:complexType>",
       7595, "substitutionGroup", ""},
      {u"<xs:complexType name='t'><xs:sequence><xs:other/></xs:sequence></xs:complexType>", 7536, "xs:other",
       "- expected: (xs:annotation | xs:element | xs:group | xs:all | xs:choice | xs:sequence | xs:any)"},
      {u"<xs:complexType name='t'><xs:anyAttribute maxOccurs='2'/></xs:complexType>", 7536, "maxOccurs",
       "- expected: (id | namespace | processContents)"},
      {u"<xs:complexType name='t'><xs:sequence><xs:any processContents='Lax'/></xs:sequence></xs:complexType>", 7536,
       "processContents", "- expected: (skip | lax | strict)"},
      {u"<xs:attributeGroup/>", 7540, "xs:attributeGroup", ""},
      {u"<xs:complexType name='t'><xs:sequence><xs:group name='g' ref='h'/></xs:sequence></xs:complexType>", 7540,
       "xs:group", ""},
      {u"<xs:complexType name='t'><xs:simpleContent><xs:restriction base='b'><xs:pattern value='[x'/>"
       u"</xs:restriction></xs:simpleContent></xs:complexType>"
       u"<xs:complexType name='b'><xs:simpleContent><xs:extension base='xs:string'/></xs:simpleContent>"
       u"</xs:complexType>",
       7547, "xs:pattern", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.body));
    LoadedSchema s({Xsd(std::u16string(c.body) + u"<xs:element name='z'/>")});
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.Error(), c.id);
    EXPECT_EQ(s.ErrorNode(), c.node);
    if (c.context) {
      EXPECT_EQ(s.Context(), c.context);
    }
  }
}

}  // namespace

namespace {

TEST(XsdSchema, RedefineReplacesWithWhatItNames) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "redefine.xml"));
  ASSERT_EQ(w.model->GetErrorId(), kSchemaNoError) << U8(w.model->GetError().contextText.c_str());
  KTElementType* r = w.model->FindElement(KTQName(u"r", KTNamespaceId::None()));
  ASSERT_TRUE(r);
  // T is the redefined T (a, then b); g holds the old g's x, then y; ag has p and q.
  EXPECT_EQ(Particles(r), "(a )(b )(((((x ))y )))");
  EXPECT_EQ(ProbeXPath("redefine.xml", "concat(r/@p,'|',r/@q)"), "1|2");
}

}  // namespace

namespace {

TEST(XsdComplexType, WildcardChildrenGetTheirGlobalDeclaration) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "wildcard.xml"));
  ASSERT_EQ(w.model->GetErrorId(), kSchemaNoError) << U8(w.model->GetError().contextText.c_str());
  EXPECT_EQ(Outline(w.Root()), "@xsi:noNamespaceSchemaLocation=wildcard.xsd qty([1])box(qty([1]))skipped(qty())");
}

}  // namespace

namespace {

TEST(XsdComplexType, DefaultsReachTheTransformation) {
  // The program loads the source with its schema: the stylesheet sees the
  // defaulted attributes and text.
  std::string out = std::string(OST_BUILD_DIR) + "/ktxsd_order_out.txt";
  std::remove(out.c_str());
  std::string command = std::string(OST_BUILD_DIR) + "/src/app/ostxslt -xml '" + kXsdData + "order.xml' -xsl '" +
                        kXsdData + "order-text.xsl' -out '" + out + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  FILE* f = std::fopen(out.c_str(), "rb");
  ASSERT_TRUE(f);
  char buffer[256] = {};
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  std::remove(out.c_str());
  EXPECT_EQ(std::string(buffer, n), "EUR|3|0");
}

}  // namespace
