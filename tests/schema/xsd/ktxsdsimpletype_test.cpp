// XML Schema simple types (restriction with facets, list, union) and
// attribute declarations with their checked defaults.
#include <string>

#include "ktxsdtest_util.h"

namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const KTDatatype* SimpleType(LoadedSchema& s, const char16_t* local, const char16_t* ns = u"") {
  auto it = s.model->SimpleTypes().find(KTQName(local, KTNamespaceId::Intern(ns)));
  return it == s.model->SimpleTypes().end() ? nullptr : it->second->datatype.Get();
}

int Check(const KTDatatype* d, const char16_t* value) { return d ? d->CheckValue(KTString(value), false, false) : -1; }

TEST(XsdSimpleType, FacetsListsAndUnionsCheckValues) {
  LoadedSchema s({Xsd(u"<xs:simpleType name='code'><xs:restriction base='xs:string'>"
                      u"<xs:pattern value='[A-Z]{2}\\d'/><xs:length value='3'/></xs:restriction></xs:simpleType>"
                      u"<xs:simpleType name='color'><xs:restriction base='xs:token'>"
                      u"<xs:enumeration value='red'/><xs:enumeration value='green'/></xs:restriction></xs:simpleType>"
                      u"<xs:simpleType name='ints'><xs:list itemType='xs:int'/></xs:simpleType>"
                      u"<xs:simpleType name='colors'><xs:list><xs:simpleType><xs:restriction base='color'/>"
                      u"</xs:simpleType></xs:list></xs:simpleType>"
                      u"<xs:simpleType name='intOrDate'><xs:union memberTypes='xs:int xs:date'/></xs:simpleType>"
                      u"<xs:simpleType name='mixed'><xs:union memberTypes='color'><xs:simpleType>"
                      u"<xs:restriction base='xs:int'><xs:maxInclusive value='10'/></xs:restriction>"
                      u"</xs:simpleType></xs:union></xs:simpleType>"
                      u"<xs:element name='e' type='code'/>")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  struct Case {
    const char16_t* type;
    const char16_t* value;
    int code;
  } cases[] = {
      {u"code", u"AB1", 0},         {u"code", u"ab1", 4},     {u"code", u"AB12", 4},
      {u"color", u"red", 0},        {u"color", u" green ", 0}, {u"color", u"blue", 4},
      {u"ints", u"1 2  3", 0},      {u"ints", u"1 x", 1},     {u"colors", u"red green", 0},
      {u"colors", u"red blue", 4},  {u"intOrDate", u"5", 0},  {u"intOrDate", u"2003-01-31", 0},
      {u"intOrDate", u"x", 1},      {u"mixed", u"green", 0},  {u"mixed", u"7", 0},
      {u"mixed", u"11", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.type) + " " + U8(c.value));
    EXPECT_EQ(Check(SimpleType(s, c.type), c.value) == 0, c.code == 0);
    if (c.code != 0) {
      EXPECT_NE(Check(SimpleType(s, c.type), c.value), 0);
    }
  }
  EXPECT_EQ(SimpleType(s, u"intOrDate")->GetTypeId(), kDtInt);
  EXPECT_EQ(SimpleType(s, u"intOrDate")->CountChain(), 2);
  // An element of a named simple type shares its datatype.
  EXPECT_EQ(s.Element(u"e")->GetDatatype().Get(), SimpleType(s, u"code"));
}

TEST(XsdSimpleType, DerivedTypesLeaveTheirBaseUnchanged) {
  LoadedSchema s({Xsd(u"<xs:simpleType name='base'><xs:restriction base='xs:string'><xs:maxLength value='5'/>"
                      u"</xs:restriction></xs:simpleType>"
                      u"<xs:simpleType name='derived'><xs:restriction base='base'><xs:maxLength value='2'/>"
                      u"<xs:pattern value='a*'/></xs:restriction></xs:simpleType>"
                      u"<xs:simpleType name='baseList'><xs:list itemType='base'/></xs:simpleType>"
                      u"<xs:simpleType name='baseOrInt'><xs:union memberTypes='base xs:int'/></xs:simpleType>"
                      u"<xs:element name='e' type='base'/>")});
  ASSERT_TRUE(s.result) << s.Error();
  const KTDatatype* base = SimpleType(s, u"base");
  ASSERT_TRUE(base);
  EXPECT_EQ(base->GetFacets().size(), 1u);
  EXPECT_FALSE(base->IsList());
  EXPECT_FALSE(base->GetMemberType());
  EXPECT_EQ(Check(base, u"abcd"), 0);
  EXPECT_EQ(Check(SimpleType(s, u"derived"), u"abcd"), 4);
  EXPECT_EQ(Check(SimpleType(s, u"derived"), u"aa"), 0);
  EXPECT_EQ(Check(SimpleType(s, u"baseList"), u"abc abcde"), 0);
  EXPECT_TRUE(SimpleType(s, u"baseList")->IsList());
}

TEST(XsdSimpleType, ForwardChainOfFiveSettles) {
  LoadedSchema s({Xsd(u"<xs:element name='e' type='t1' default='3'/>"
                      u"<xs:simpleType name='t1'><xs:restriction base='t2'/></xs:simpleType>"
                      u"<xs:simpleType name='t2'><xs:restriction base='t3'/></xs:simpleType>"
                      u"<xs:simpleType name='t3'><xs:restriction base='t4'/></xs:simpleType>"
                      u"<xs:simpleType name='t4'><xs:restriction base='t5'/></xs:simpleType>"
                      u"<xs:simpleType name='t5'><xs:restriction base='xs:int'><xs:maxInclusive value='10'/>"
                      u"</xs:restriction></xs:simpleType>")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  for (const char16_t* t : {u"t1", u"t2", u"t3", u"t4"}) {
    SCOPED_TRACE(U8(t));
    EXPECT_EQ(SimpleType(s, t)->GetTypeId(), kDtInt);
    EXPECT_EQ(Check(SimpleType(s, t), u"11"), 4);
  }
  EXPECT_EQ(Check(s.Element(u"e")->GetDatatype().Get(), u"11"), 4);
  EXPECT_EQ(U8(s.Element(u"e")->valueText_.c_str()), "3");
}

TEST(XsdSimpleType, UnionBombLoadsInBoundedTime) {
  // U(k) is the union of U(k-1) with itself: 2^k members at level k. The
  // member count is bounded, so 30 levels end with a recorded problem.
  auto levels = [](int n) {
    std::u16string body = u"<xs:simpleType name='U0'><xs:restriction base='xs:int'/></xs:simpleType>";
    for (int k = 1; k <= n; ++k) {
      std::u16string name = U16("U" + std::to_string(k)), below = U16("U" + std::to_string(k - 1));
      body += u"<xs:simpleType name='" + name + u"'><xs:union memberTypes='" + below + u" " + below +
              u"'/></xs:simpleType>";
    }
    return body + u"<xs:element name='e' type='U" + U16(std::to_string(n)) + u"'/>";
  };
  LoadedSchema bomb({Xsd(levels(30))});
  EXPECT_FALSE(bomb.result);
  EXPECT_EQ(bomb.Error(), 7537);
  EXPECT_EQ(bomb.Context(), "- a union of more than 1000 member types");
  EXPECT_EQ(bomb.ErrorNode(), "memberTypes");
  LoadedSchema nine({Xsd(levels(9))});
  EXPECT_TRUE(nine.result) << nine.Error();
  EXPECT_EQ(SimpleType(nine, u"U9")->CountChain(), 512);
  EXPECT_EQ(Check(SimpleType(nine, u"U9"), u"42"), 0);
}

TEST(XsdSimpleType, Problems) {
  struct Case {
    const char16_t* body;
    int id;
    const char* node;
    const char* context;
  } cases[] = {
      {u"<xs:simpleType name='s'><xs:restriction base='xs:string'><xs:pattern value='[a-'/>"
       u"</xs:restriction></xs:simpleType>",
       7547, "value", nullptr},
      {u"<xs:simpleType name='s'><xs:restriction base='xs:string'><xs:maxLength value='x'/>"
       u"</xs:restriction></xs:simpleType>",
       7587, "value", "string"},
      {u"<xs:simpleType name='s'><xs:restriction base='xs:string'><xs:maxLength fixed='true' value='2'/>"
       u"</xs:restriction></xs:simpleType>",
       7536, "fixed", "- expected: (id | value)"},
      {u"<xs:simpleType name='s'><xs:restriction/></xs:simpleType>", 7563, "xs:restriction", "base"},
      {u"<xs:simpleType name='s'><xs:restriction><xs:simpleType><xs:annotation/></xs:simpleType>"
       u"<xs:maxLength value='2'/></xs:restriction></xs:simpleType>",
       7536, "xs:maxLength", "- a facet needs a base type"},
      {u"<xs:simpleType name='b' final='restriction'><xs:restriction base='xs:int'/></xs:simpleType>"
       u"<xs:simpleType name='s'><xs:restriction base='b'/></xs:simpleType>",
       7549, "base", "restriction"},
      {u"<xs:simpleType name='b' final='#all'><xs:restriction base='xs:int'/></xs:simpleType>"
       u"<xs:simpleType name='s'><xs:list itemType='b'/></xs:simpleType>",
       7549, "itemType", "extension restriction list union"},
      {u"<xs:simpleType name='s' final='list bogus'><xs:restriction base='xs:int'/></xs:simpleType>", 7536, "final",
       "- expected: (#all | List of (extension | list | restriction | union) )"},
      {u"<xs:simpleType name='a:s'/>", 7548, "xs:simpleType", "a:s"},
      {u"<xs:simpleType name='s'><xs:other/></xs:simpleType>", 7536, "xs:other",
       "- expected: (xs:annotation | xs:list | xs:restriction | xs:union)"},
      {u"<xs:simpleType name='s'><xs:restriction base='xs:nothing'/></xs:simpleType>", 7537, "base", ""},
      {u"<xs:simpleType name='s'><xs:restriction base='missing'/></xs:simpleType>", 7537, "base", ""},
      {u"<xs:element name='e' default='abc'><xs:simpleType><xs:restriction base='xs:string'>"
       u"<xs:maxLength value='2'/></xs:restriction></xs:simpleType></xs:element>",
       7590, "default", "maxLength=\"2\""},
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
  // The pattern's compile error names the expected rule and the offset.
  LoadedSchema pattern({Xsd(u"<xs:simpleType name='s'><xs:restriction base='xs:string'><xs:pattern value='(a'/>"
                            u"</xs:restriction></xs:simpleType>")});
  EXPECT_NE(pattern.Context().find(" expected at position 2"), std::string::npos) << pattern.Context();
  // final="#all" is spelled out; two maxLength facets keep the second.
  LoadedSchema final({Xsd(u"<xs:simpleType name='s' final='#all'><xs:restriction base='xs:string'>"
                          u"<xs:maxLength value='5'/><xs:maxLength value='7'/></xs:restriction></xs:simpleType>"
                          u"<xs:element name='z'/>")});
  ASSERT_TRUE(final.result) << final.Error();
  auto& record = *final.model->SimpleTypes().begin()->second;
  EXPECT_EQ(U8(record.finalText.c_str()), "extension restriction list union");
  EXPECT_EQ(Check(record.datatype.Get(), u"abcdefg"), 0);
  EXPECT_EQ(Check(record.datatype.Get(), u"abcdefgh"), 4);
}

TEST(XsdSimpleType, RefusedElementDefaultIsNotSupplied) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "refused-default.xml"));
  EXPECT_EQ(w.model->GetErrorId(), 7590);
  EXPECT_EQ(Outline(w.Root()), "@xsi:noNamespaceSchemaLocation=refused-default.xsd code()");
}

TEST(XsdAttribute, GlobalDeclarations) {
  LoadedSchema s({Xsd(u"<xs:attribute name='cur' type='xs:string' default='EUR'/>"
                      u"<xs:attribute name='key' type='xs:ID'/>"
                      u"<xs:attribute name='tone' fixed='red'><xs:annotation><xs:documentation>Tone"
                      u"</xs:documentation></xs:annotation><xs:simpleType><xs:restriction base='xs:token'>"
                      u"<xs:enumeration value='red'/><xs:enumeration value='blue'/></xs:restriction>"
                      u"</xs:simpleType></xs:attribute>"
                      u"<xs:attribute name='n' type='xs:int' use='required'/>"
                      u"<xs:element name='z'/>",
                      u"targetNamespace='urn:a' attributeFormDefault='unqualified'")});
  ASSERT_TRUE(s.result) << s.Error() << " " << s.Context();
  auto find = [&](const char16_t* local) {
    return s.model->FindGlobalAttribute(KTQName(local, KTNamespaceId::Intern(u"urn:a")));
  };
  ASSERT_TRUE(find(u"cur"));
  EXPECT_EQ(U8(find(u"cur")->defaultText.c_str()), "EUR");
  EXPECT_TRUE(find(u"cur")->implied);
  EXPECT_TRUE(find(u"key")->id);
  EXPECT_TRUE(find(u"tone")->fixed && find(u"tone")->enumerated);
  EXPECT_EQ(find(u"tone")->enumeratedValues.size(), 2u);
  EXPECT_EQ(U8(find(u"tone")->description.c_str()), "Tone");
  EXPECT_TRUE(find(u"n")->required && !find(u"n")->implied);
  EXPECT_EQ(s.model->GlobalAttributes().size(), 4u);  // passes do not add copies
}

TEST(XsdAttribute, Problems) {
  struct Case {
    const char16_t* body;
    int id;
    const char* node;
    const char* context;
  } cases[] = {
      {u"<xs:attribute name='a' type='xs:int' default='x'/>", 7587, "default", "int"},
      {u"<xs:attribute name='a' default='abc'><xs:simpleType><xs:restriction base='xs:string'>"
       u"<xs:maxLength value='2'/></xs:restriction></xs:simpleType></xs:attribute>",
       7590, "default", "maxLength=\"2\""},
      {u"<xs:attribute name='a' type='xs:unsignedByte' fixed='256'/>", 7588, "fixed", "unsignedByte"},
      {u"<xs:attribute name='a' default='1' fixed='1'/>", 7541, "xs:attribute", ""},
      {u"<xs:attribute name='a' default='1' use='required'/>", 7542, "xs:attribute", ""},
      // An empty default is a default like any other.
      {u"<xs:attribute name='a' default='' fixed=''/>", 7541, "xs:attribute", ""},
      {u"<xs:attribute name='a' default='' use='required'/>", 7542, "xs:attribute", ""},
      {u"<xs:attribute name='a' type='xs:int' default=''/>", 7587, "default", "int"},
      {u"<xs:attribute name='a' use='sometimes'/>", 7537, "use", "- expected: (optional | prohibited | required)"},
      {u"<xs:attribute name='a' ref='b'/>", 7540, "xs:attribute", ""},
      {u"<xs:attribute name='a:b'/>", 7548, "xs:attribute", "a:b"},
      {u"<xs:attribute name='a' type='xs:int'><xs:simpleType/></xs:attribute>", 7536, "xs:simpleType",
       "- only one of type or simpleType may be used"},
      {u"<xs:attribute name='a' form='yes'/>", 7536, "form", "- expected: (qualified | unqualified)"},
      {u"<xs:attribute name='a' other='1'/>", 7536, "other",
       "- expected: (default | fixed | form | id | name | ref | type | use)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.body));
    LoadedSchema s({Xsd(std::u16string(c.body) + u"<xs:element name='z'/>")});
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.Error(), c.id);
    EXPECT_EQ(s.ErrorNode(), c.node);
    EXPECT_EQ(s.Context(), c.context);
  }
  // A refused default is not stored: nothing could supply it.
  LoadedSchema refused({Xsd(u"<xs:attribute name='a' type='xs:int' default='x'/><xs:element name='z'/>")});
  EXPECT_FALSE(refused.model->FindGlobalAttribute(KTQName(u"a", KTNamespaceId::None())));
}

}  // namespace

namespace {

// default="" and fixed="" supply empty attributes; an attribute without
// either gets none, and one the document gives keeps its value.
TEST(XsdAttribute, EmptyDefaultsReachTheView) {
  EXPECT_EQ(ProbeXPath("empty-default.xml",
                       "concat(count(a/@*),'|',count(a/@b),'[',a/@b,']',a/@c,'|',count(a/@d),'[',a/@d,']',"
                       "count(a/@e),'|',a/@f)"),
            "5|1[]x|1[]0|v");
}

TEST(XsdAttribute, ReferencedGlobalDefaultIsQualifiedInTheView) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "qualified-attribute.xml"));
  ASSERT_EQ(w.model->GetErrorId(), kSchemaNoError) << U8(w.model->GetError().contextText.c_str());
  EXPECT_EQ(ProbeXPath("qualified-attribute.xml",
                       "concat(*/@*[local-name()='cur' and namespace-uri()='urn:a'],'|',*/@local,'|',*/*)"),
            "EUR|L|0");
}

}  // namespace
