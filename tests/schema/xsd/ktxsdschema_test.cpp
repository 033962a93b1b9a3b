// The XML Schema load entry and its passes, the schema element with
// include, import and redefine, element declarations, type names and
// notations.
#include <new>

#include "core/ktexcept.h"
#include "ktallocationcount.h"
#include "ktxsdtest_util.h"

namespace {

TEST(XsdElement, DefaultTextReachesTheXPathView) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "price.xml"));
  EXPECT_EQ(w.model->GetErrorId(), kSchemaNoError);
  EXPECT_EQ(Outline(w.Root()), "@xsi:noNamespaceSchemaLocation=price.xsd price([0])price([12.5])note([n/a])");
  EXPECT_EQ(ProbeXPath("price.xml", "concat(r/price[1],'|',r/price[2],'|',r/note)"), "0|12.5|n/a");
  EXPECT_EQ(ProbeXPath("price.xml", "sum(r/price)"), "12.5");
}

TEST(XsdElement, TopLevelDeclarations) {
  LoadedSchema s({Xsd(u"<xs:element name='any'/>"
                      u"<xs:element name='n' type='xs:int' default='5' block='#all' final='#all' nillable='true'/>"
                      u"<xs:element name='t' type='tns:nothing-yet-and-never'/>",
                      u"xmlns:tns='urn:x' targetNamespace='urn:x'")});
  // The reference to an undefined type asks for a later pass, which reports it.
  EXPECT_EQ(s.Error(), 7537);
  EXPECT_EQ(s.ErrorNode(), "type");
  EXPECT_GE(s.model->GetCurrentPass(), 2);
  KTElementType* any = s.Element(u"any", u"urn:x");
  ASSERT_TRUE(any);
  EXPECT_TRUE(any->IsAny() && any->IsMixed() && any->contentRead_);
  EXPECT_FALSE(any->GetDatatype().IsValid());
  KTElementType* n = s.Element(u"n", u"urn:x");
  ASSERT_TRUE(n);
  EXPECT_EQ(n->GetDatatypeId(), kDtInt);
  EXPECT_TRUE(n->IsTextOnly());
  EXPECT_EQ(U8(n->valueText_.c_str()), "5");
  EXPECT_EQ(U8(n->blockText_.c_str()), "extension restriction substitution");
  EXPECT_EQ(U8(n->finalText_.c_str()), "extension restriction");
  EXPECT_TRUE(n->nillable_);
}

// Problems of element declarations: id, node and context of the kept one.
TEST(XsdElement, Problems) {
  struct Case {
    const char16_t* body;
    int id;
    const char* node;
    const char* context;
  } cases[] = {
      {u"<xs:element name='a:b'/>", 7548, "xs:element", "a:b"},
      {u"<xs:element name='a' maxOccurs='2'/>", 7536, "maxOccurs", nullptr},
      {u"<xs:element name='a' type='xs:int' default='1' fixed='1'/>", 7541, "xs:element", ""},
      {u"<xs:element name='a' type='xs:int' default='x'/>", 7587, "default", "int"},
      {u"<xs:element name='a' type='xs:byte' fixed='300'/>", 7588, "fixed", "byte"},
      {u"<xs:element name='a' type='xs:notAType'/>", 7537, "type", ""},
      {u"<xs:element name='a' form='Qualified'/>", 7536, "form", "- expected: (qualified | unqualified)"},
      {u"<xs:element name='a' abstract='yes'/>", 7536, "abstract", "- expected: (true | false)"},
      {u"<xs:element name='a' block='extension bogus'/>", 7536, "block",
       "- expected: (#all | List of (extension | restriction | substitution) )"},
      {u"<xs:element/>", 7563, "xs:element", "name or ref"},
      {u"<xs:element name='a' color='red'/>", 7536, "color", nullptr},
      {u"<xs:element name='a'><xs:bogus/></xs:element>", 7536, "xs:bogus",
       "- expected: (xs:annotation | xs:simpleType | xs:complexType | xs:unique | xs:key | xs:keyref)"},
      {u"<xs:element name='a' type='xs:int'/><xs:element name='a' type='xs:string'/>", 7512, "xs:element", "a"},
      {u"<xs:element name='m' type='xs:int' substitutionGroup='nowhere'/>", 7596, "xs:schema", "nowhere"},
      {u"<xs:element name='m' substitutionGroup='nowhere'/>", 7517, "xs:element", "m"},
      {u"<xs:element name='a' type='xs:int'><xs:complexType/></xs:element>", 7536, "xs:complexType",
       "- only one of type, simpleType, or complexType may be used"},
      {u"<xs:simpleType name='s'/><xs:complexType name='c'/>", 7506, "", ""},
  };
  for (const Case& c : cases) {
    LoadedSchema s({Xsd(c.body)});
    SCOPED_TRACE(U8(c.body));
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.Error(), c.id);
    if (*c.node) {
      EXPECT_EQ(s.ErrorNode(), c.node);
    }
    if (c.context) {
      EXPECT_EQ(s.Context(), c.context);
    }
  }
}

TEST(XsdElement, RefusedDefaultIsSuppliedNowhere) {
  LoadedSchema s({Xsd(u"<xs:element name='a' type='xs:int' default='x'/>")});
  EXPECT_EQ(s.Error(), 7587);
  ASSERT_TRUE(s.Element(u"a"));
  EXPECT_TRUE(s.Element(u"a")->valueText_.IsEmpty());
  std::vector<KTAttributeDecl*> attributes;
  const KTString* text = nullptr;
  EXPECT_FALSE(s.Element(u"a")->CollectDefaultAttributes(attributes, text));
}

TEST(XsdElement, ReferenceNeverDeclared) {
  // A reference declares the global element empty; the passes end with 7517.
  LoadedSchema s({Xsd(u"<xs:element name='a'/>"), Xsd(u"<xs:element name='b' substitutionGroup='a'/>")});
  EXPECT_TRUE(s.result) << s.Error();
  ASSERT_TRUE(s.Element(u"a"));
  EXPECT_TRUE(s.Element(u"a")->IsSubstitutionGroupHead());
}

TEST(XsdPasses, ForwardReferencesSettle) {
  // b names its head before the head is declared: the second pass settles it.
  LoadedSchema one({Xsd(u"<xs:element name='b' substitutionGroup='h'/><xs:element name='h' type='xs:date'/>")});
  EXPECT_TRUE(one.result) << one.Error();
  EXPECT_EQ(one.Element(u"b")->GetDatatypeId(), kDtDate);
  EXPECT_EQ(one.model->GetCurrentPass(), 2);

  // A chain of five forward references settles one link per pass.
  LoadedSchema five({Xsd(u"<xs:element name='e1' substitutionGroup='e2'/>"
                         u"<xs:element name='e2' substitutionGroup='e3'/>"
                         u"<xs:element name='e3' substitutionGroup='e4'/>"
                         u"<xs:element name='e4' substitutionGroup='e5'/>"
                         u"<xs:element name='e5' substitutionGroup='e6'/>"
                         u"<xs:element name='e6' type='xs:decimal'/>")});
  EXPECT_TRUE(five.result) << five.Error() << " " << five.Context();
  for (const char16_t* name : {u"e1", u"e2", u"e3", u"e4", u"e5"}) {
    SCOPED_TRACE(U8(name));
    ASSERT_TRUE(five.Element(name));
    EXPECT_EQ(five.Element(name)->GetDatatypeId(), kDtDecimal);
    EXPECT_TRUE(five.Element(name)->IsTextOnly());
  }
  EXPECT_EQ(five.model->GetCurrentPass(), 6);
}

TEST(XsdPasses, LongChainsSettleAndCyclesNameWhatIsLeft) {
  // 40 forward links settle one per pass: passes go on while each settles
  // something, however many that takes.
  std::u16string body;
  for (int i = 1; i <= 40; ++i) {
    std::string a = std::to_string(i), b = std::to_string(i + 1);
    body += u"<xs:element name='e" + std::u16string(a.begin(), a.end()) + u"' substitutionGroup='e" +
            std::u16string(b.begin(), b.end()) + u"'/>";
  }
  body += u"<xs:element name='e41' type='xs:int'/>";
  LoadedSchema s({Xsd(body)});
  EXPECT_TRUE(s.result) << s.Error() << " " << s.Context();
  ASSERT_TRUE(s.Element(u"e1"));
  EXPECT_EQ(s.Element(u"e1")->GetDatatypeId(), kDtInt);
  EXPECT_EQ(s.model->GetCurrentPass(), 41);

  // Heads that name one another never settle: once a pass settles nothing
  // more, the next is the last and the message names what is left.
  LoadedSchema cycle({Xsd(u"<xs:element name='c1' substitutionGroup='c2'/>"
                          u"<xs:element name='c2' substitutionGroup='c3'/>"
                          u"<xs:element name='c3' substitutionGroup='c1'/>"
                          u"<xs:element name='ok' type='xs:int'/>")});
  EXPECT_FALSE(cycle.result);
  EXPECT_EQ(cycle.Error(), 7537);
  EXPECT_EQ(cycle.Context(), "- definitions that do not settle: c1, c2, c3");
  EXPECT_LE(cycle.model->GetCurrentPass(), 4);
}

TEST(XsdSchema, IncludeTakesTheTargetNamespaceAndCyclesLoadOnce) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "include.xml"));
  EXPECT_EQ(w.model->GetErrorId(), kSchemaNoError) << U8(w.model->GetError().contextText.c_str());
  EXPECT_TRUE(w.model->FindElement(KTQName(u"order", KTNamespaceId::Intern(u"urn:t"))));
  EXPECT_TRUE(w.model->FindElement(KTQName(u"item", KTNamespaceId::Intern(u"urn:t"))));
  EXPECT_FALSE(w.model->FindElement(KTQName(u"item", KTNamespaceId::None())));
}

TEST(XsdSchema, SchemaElementProblems) {
  struct Case {
    std::u16string text;
    int id;
    const char* node;
    const char* context;
  } cases[] = {
      {u"<schema xmlns='http://www.w3.org/2001/XMLSchema'><element name='a'/></schema>", 7544, "schema", ""},
      {u"<x:schema xmlns:x='urn:other' xmlns:xs='http://www.w3.org/2001/XMLSchema'/>", 7536, "x:schema",
       "- expected: xs:schema"},
      {u"<schema xmlns='urn:other'/>", 7592, "schema", "http://www.w3.org/2001/XMLSchema"},
      {Xsd(u"<xs:element name='a'/>", u"elementFormDefault='Qualified'"), 7536, "elementFormDefault",
       "- expected: (qualified | unqualified)"},
      {Xsd(u"<xs:element name='a'/>", u"blockDefault='extension wrong'"), 7536, "blockDefault", nullptr},
      {Xsd(u"<xs:include/><xs:element name='a'/>"), 7563, "xs:include", "schemaLocation"},
      {Xsd(u"<xs:include schemaLocation='x.xsd' other='1'/>"), 7536, "xs:schema",
       "- expected: (id | schemaLocation)"},
      {Xsd(u"<xs:wrong/>"), 7536, "xs:wrong", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.text.c_str()));
    LoadedSchema s({c.text});
    EXPECT_EQ(s.Error(), c.id);
    EXPECT_EQ(s.ErrorNode(), c.node);
    if (c.context) {
      EXPECT_EQ(s.Context(), c.context);
    }
  }
  // An included document must name the includer's target namespace.
  std::string otherFile = kXsdData + "include-other.xsd";
  LoadedSchema includeOther({Xsd(u"<xs:include schemaLocation='" +
                                     std::u16string(otherFile.begin(), otherFile.end()) +
                                     u"'/><xs:element name='a'/>",
                                 u"targetNamespace='urn:t'")});
  EXPECT_EQ(includeOther.Error(), 7593);
  EXPECT_EQ(includeOther.Context(), "urn:t");
  std::string missing = kXsdData + "no-such-file.xsd";
  LoadedSchema includeMissing({Xsd(u"<xs:include schemaLocation='" +
                                   std::u16string(missing.begin(), missing.end()) + u"'/><xs:element name='a'/>")});
  EXPECT_EQ(includeMissing.Error(), 7509);
  EXPECT_EQ(includeMissing.ErrorNode(), "xs:include");
  // blockDefault with two good words is stored whole and applies to elements.
  LoadedSchema good({Xsd(u"<xs:element name='a'/>", u"blockDefault='extension restriction'")});
  EXPECT_TRUE(good.result);
  EXPECT_EQ(U8(good.Element(u"a")->blockText_.c_str()), "extension restriction");
  // A document element with another local name loads nothing.
  LoadedSchema other({u"<other/>"});
  EXPECT_EQ(other.Error(), 7506);
}

TEST(XsdSchema, ImportWithoutLocationUsesTheOtherRoots) {
  LoadedSchema s({Xsd(u"<xs:import namespace='urn:b'/><xs:element name='a' substitutionGroup='b:h'/>",
                      u"xmlns:b='urn:b' targetNamespace='urn:a'"),
                  Xsd(u"<xs:element name='h' type='xs:boolean'/>", u"targetNamespace='urn:b'")});
  EXPECT_TRUE(s.result) << s.Error() << " " << s.Context();
  ASSERT_TRUE(s.Element(u"a", u"urn:a"));
  EXPECT_EQ(s.Element(u"a", u"urn:a")->GetDatatypeId(), kDtBoolean);
  EXPECT_TRUE(s.Element(u"h", u"urn:b")->IsSubstitutionGroupHead());
}

TEST(XsdNotation, ValuesAndProblems) {
  LoadedSchema s({Xsd(u"<xs:notation name='gif' public='image/gif'/>"
                      u"<xs:notation name='view' public='v' system='viewer.exe' x:y='ignored' xmlns:x='urn:x'/>"
                      u"<xs:element name='a'/>")});
  EXPECT_TRUE(s.result) << s.Error();
  ASSERT_TRUE(s.model->FindNotation(KTString(u"gif")));
  EXPECT_EQ(U8(s.model->FindNotation(KTString(u"gif"))->value.c_str()), "PUBLIC \"image/gif\"");
  EXPECT_EQ(U8(s.model->FindNotation(KTString(u"view"))->value.c_str()), "PUBLIC \"v\" \"viewer.exe\"");
  struct Case {
    const char16_t* body;
    int id;
    const char* context;
  } cases[] = {
      {u"<xs:notation name='n' system='s'/>", 7563, "public"},
      {u"<xs:notation/>", 7563, "name"},
      {u"<xs:notation name='a:b' public='p'/>", 7548, "a:b"},
      {u"<xs:notation name='n' public='p' other='1'/>", 7536, "- expected: (id | name | public | system)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.body));
    LoadedSchema bad({Xsd(c.body)});
    EXPECT_EQ(bad.Error(), c.id);
    EXPECT_EQ(bad.Context(), c.context);
  }
}

}  // namespace

namespace {

TEST(XsdSchema, ImportedDocumentHasItsOwnNamespaceAndDefaults) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kXsdData + "import.xml"));
  ASSERT_EQ(w.model->GetErrorId(), kSchemaNoError) << U8(w.model->GetError().contextText.c_str());
  EXPECT_EQ(Outline(w.Root()), "@xsi:schemaLocation=urn:a import-a.xsd a:part(size([10]))a:count([2])");
  EXPECT_EQ(ProbeXPath("import.xml", "sum(//*[not(*)])"), "12");
}

}  // namespace

namespace {

// Memory that runs out while the schema loads, the imported document's load
// among it, ends the load with std::bad_alloc (or a string block's
// out-of-memory error); it is never passed off as a schema problem. Every
// allocation of the load is refused in turn: a load that gets past the
// refusal must come out as it does with memory to spare.
TEST(XsdSchema, MemoryThatRunsOutWhileAnImportedDocumentLoadsIsNoSchemaProblem) {
  const KTString path(std::u16string_view(KTUtf8ToUtf16(kXsdData + "import.xml")));
  std::string expected;
  {
    Wrapped w;
    ASSERT_TRUE(w.FromFile(kXsdData + "import.xml"));
    EXPECT_EQ(w.model->GetErrorId(), kSchemaNoError);
    expected = Outline(w.Root());
  }
  size_t exhausted = 0;
  for (size_t n = 0;; ++n) {
    Wrapped w;
    KTLoadStatus status;
    w.document = w.manager.LoadDocument(path, status, nullptr, nullptr, nullptr, kNoGrammarId);
    ASSERT_TRUE(w.document);
    bool threw = false, refused = false;
    {
      KTAllocationRefusal refusal(n);
      try {
        w.Wrap();
      } catch (const std::bad_alloc&) {
        threw = true;
      } catch (const KTExcept& error) {
        threw = error.GetCode() == KTExcept::kNoMemory;
        if (!threw) ADD_FAILURE() << "allocation " << n << ": error " << error.GetCode();
      }
      refused = refusal.Refused();
    }
    if (!refused) break;  // past the load's last allocation
    if (threw) {
      ++exhausted;
      continue;
    }
    ASSERT_EQ(w.model->GetErrorId(), kSchemaNoError)
        << "allocation " << n << " refused: " << U8(w.model->GetError().contextText.c_str());
    EXPECT_EQ(Outline(w.Root()), expected) << "allocation " << n << " refused";
  }
  EXPECT_GT(exhausted, 0u);
}

// A document that cannot be had for a reason other than memory stays a
// schema problem, named by its location.
TEST(XsdSchema, AnImportThatCannotBeReadIsASchemaProblem) {
  const std::string malformed = kXsdData + "import-malformed.xsd";
  const std::string cases[] = {kXsdData + "no-such-import.xsd", malformed};
  for (const std::string& location : cases) {
    const std::u16string where = KTUtf8ToUtf16(location);
    LoadedSchema s({Xsd(u"<xs:import namespace='urn:b' schemaLocation='" + where +
                        u"'/><xs:element name='a' type='xs:int' default='1'/>")});
    EXPECT_EQ(s.Error(), kSchemaLoadFailed) << location;
    EXPECT_EQ(s.Context(), location);
  }
}

}  // namespace
