// The schema-language dispatcher: finding a document's schema reference,
// telling the language of a schema document, and the load it leads to.
#include <gtest/gtest.h>

#include <string>

#include "ktschematest_util.h"
#include "schema/ktschemaloader.h"

namespace {

std::string Text(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

std::string Joined(const std::vector<KTString>& list) {
  std::string out;
  for (const KTString& s : list) out.append("[").append(Text(s)).append("]");
  return out;
}

TEST(SchemaLoader, FindsTheSchemaReference) {
  struct Case {
    const char16_t* text;
    int kind;
    const char* namespaces;
    const char* locations;
  } cases[] = {
      {u"<r/>", kSchemaNone, "", ""},
      {u"<?xml version='1.0' encoding='UTF-8'?><!-- c --><?pi data?><r a='1' bb='22'>t<x y='3'>u</x><!-- d --></r>",
       kSchemaNone, "", ""},
      // Names that may hold a reference and hold none, deep down.
      {u"<r><a><b xmlns:p='urn:p' p:c='1'/><d aVeryLongAttributeName='x'>t</d></a></r>", kSchemaNone, "", ""},
      {u"<r><a><b>t</b><c><d xsi:noNamespaceSchemaLocation='deep.xsd'/></c></a></r>", kSchemaXsd, "[]",
       "[deep.xsd]"},
      {u"<!DOCTYPE r SYSTEM 'a.dtd'><r/>", kSchemaDtd, "[]", "[a.dtd]"},
      {u"<!DOCTYPE r PUBLIC '-//X//DTD R//EN' \"b c.dtd\"><r/>", kSchemaDtd, "[-//X//DTD R//EN]", "[b c.dtd]"},
      {u"<!DOCTYPE r [<!ENTITY e 'x'>]><r/>", kSchemaDtd, "", ""},
      {u"<r xmlns='x-schema: s.xdr'/>", kSchemaXdrData, "[]", "[s.xdr]"},
      {u"<r xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xsi:noNamespaceSchemaLocation='s.xsd'/>",
       kSchemaXsd, "[]", "[s.xsd]"},
      {u"<r><in xsi:schemaLocation='urn:a a.xsd  urn:b \"b b.xsd\"'/></r>", kSchemaXsd, "[urn:a][urn:b]",
       "[a.xsd][\"b b.xsd\"]"},
      {u"<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'/>", kSchemaXsd, "[http://www.w3.org/2001/XMLSchema]",
       ""},
      {u"<schema xmlns='http://www.w3.org/1999/XMLSchema'/>", kSchemaXsd1999, "[http://www.w3.org/1999/XMLSchema]",
       ""},
      {u"<s:schema xmlns:s='http://www.w3.org/2000/10/XMLSchema'/>", kSchemaXsd2000,
       "[http://www.w3.org/2000/10/XMLSchema]", ""},
      // include and import name the schemas of a schema, not the document's.
      {u"<r><xs:include schemaLocation='x.xsd'/></r>", kSchemaNone, "", ""},
      // A stylesheet's literal result elements are not searched.
      {u"<xsl:stylesheet xmlns:xsl='http://www.w3.org/1999/XSL/Transform' version='1.0'><xsl:template "
       u"match='/'><out xsi:noNamespaceSchemaLocation='out.xsd'/></xsl:template></xsl:stylesheet>",
       kSchemaNone, "", ""},
      // Outside the XSLT element the search goes on.
      {u"<r><x:t xmlns:x='http://www.w3.org/1999/XSL/Transform'><a noNamespaceSchemaLocation='no.xsd'/></x:t>"
       u"<b noNamespaceSchemaLocation='yes.xsd'/></r>",
       kSchemaXsd, "[]", "[yes.xsd]"},
  };
  for (const Case& c : cases) {
    Wrapped w;
    ASSERT_TRUE(w.FromText(c.text)) << Text(KTString(c.text));
    std::vector<KTString> namespaces, locations;
    KTXNode* reference = nullptr;
    int kind = FindSchemaReference(*w.model, w.document, reference, namespaces, locations, false);
    EXPECT_EQ(kind, c.kind) << Text(KTString(c.text));
    EXPECT_EQ(Joined(namespaces), c.namespaces) << Text(KTString(c.text));
    EXPECT_EQ(Joined(locations), c.locations) << Text(KTString(c.text));

    // The same straight after the parse, where elements keep their
    // attributes pending (ktxnode.h): they are read in place, and stay so.
    auto parsed = CreateXNode(kXmlDocument);
    KTParserDriver driver;
    KTLoadStatus status;
    ASSERT_TRUE(driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), false, true, true) &&
                driver.Parse(c.text, KTStrLen(c.text), status, parsed.get(), nullptr, true));
    KTXNode* root = parsed->GetFirstMadeChild();
    while (root && root->GetKind() != kElement) root = root->GetNextSibling();
    ASSERT_TRUE(root);
    const bool pending = static_cast<KTXContainerNode*>(root)->GetPendingAttributes() != nullptr;
    KTSchemaModel model;
    int64_t size = 0;
    kind = FindSchemaReference(model, parsed.get(), reference, namespaces, locations, false, &size);
    // A search that finds nothing has passed every node and knows the text
    // size of the document (the expansion budget's measure).
    EXPECT_EQ(size, kind == kSchemaNone ? KTSchemaModel::TextSizeOf(parsed.get()) : -1) << Text(KTString(c.text));
    EXPECT_EQ(kind, c.kind) << Text(KTString(c.text));
    EXPECT_EQ(Joined(namespaces), c.namespaces) << Text(KTString(c.text));
    EXPECT_EQ(Joined(locations), c.locations) << Text(KTString(c.text));
    EXPECT_EQ(static_cast<KTXContainerNode*>(root)->GetPendingAttributes() != nullptr, pending);
    // Without the size asked for, the same finding.
    EXPECT_EQ(FindSchemaReference(model, parsed.get(), reference, namespaces, locations, false), c.kind)
        << Text(KTString(c.text));
    EXPECT_EQ(Joined(namespaces), c.namespaces) << Text(KTString(c.text));
    EXPECT_EQ(Joined(locations), c.locations) << Text(KTString(c.text));
  }
}

TEST(SchemaLoader, ClassifiesSchemaDocuments) {
  struct Case {
    const char16_t* text;
    int kind;
    int problem;
  } cases[] = {
      {u"<DCD><ElementDef/></DCD>", kSchemaDcd, 7500},
      {u"<Schema xmlns='urn:schemas-microsoft-com:xml-data'><ElementType name='a'/></Schema>", kSchemaXdrData, 7500},
      {u"<Schema><ElementType name='a'/></Schema>", kSchemaXdrData, 7500},
      {u"<Schema><xs:element name='a'/></Schema>", kSchemaNone, 7532},
      {u"<xs:schema xmlns:xs='http://www.w3.org/2001/XMLSchema'/>", kSchemaXsd, 7500},
      {u"<schema><element name='a'/></schema>", kSchemaXsd, 7500},
      {u"<schema xmlns='http://www.w3.org/1999/XMLSchema'/>", kSchemaXsd1999, 7500},
      {u"<schema xmlns='http://www.w3.org/2000/10/XMLSchema'/>", kSchemaXsd2000, 7500},
      {u"<schema><elementType name='a'/></schema>", kSchemaNone, 7533},
      {u"<schema><ElementType name='a'/></schema>", kSchemaNone, 7532},
      {u"<other/>", kSchemaNone, 7500},
  };
  for (const Case& c : cases) {
    Wrapped w;
    ASSERT_TRUE(w.FromText(c.text));
    KTSchemaModel model(&w.manager);
    EXPECT_EQ(ClassifySchemaDocument(model, w.document), c.kind) << Text(KTString(c.text));
    EXPECT_EQ(model.GetErrorId(), c.problem) << Text(KTString(c.text));
  }
}

TEST(SchemaLoader, PrefixEntitiesForSchemaDtds) {
  KTSchemaModel model;
  SetSchemaPrefixEntities(model, KTString(u"xs"));
  EXPECT_EQ(Text(model.FindParameterEntity(KTString(u"p"))->value), "xs:");
  EXPECT_EQ(Text(model.FindParameterEntity(KTString(u"s"))->value), ":xs");
  EXPECT_TRUE(model.FindParameterEntity(KTString(u"p"))->predeclared);
  EXPECT_TRUE(model.IsTwoPassMode());
}

TEST(SchemaLoader, LoadsWhatTheReferenceNames) {
  struct Case {
    const char* file;
    int kind;
    int problem;
  } cases[] = {
      {"sections.xml", kSchemaDtd, 7500},
      {"external-entity.xml", kSchemaDtd, 7509},
      {"old-schema-user.xml", kSchemaXsd2000, 7535},
  };
  for (const Case& c : cases) {
    Wrapped w;
    ASSERT_TRUE(w.FromFile(kData + c.file));
    EXPECT_EQ(w.model->GetSchemaKind(), c.kind) << c.file;
    EXPECT_EQ(w.model->GetErrorId(), c.problem) << c.file;
  }
  struct TextCase {
    const char16_t* text;
    int problem;
  } texts[] = {
      {u"<r/>", 7529},
      {u"<r xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' xsi:noNamespaceSchemaLocation='/no/such.xsd'/>",
       7509},
      // A schema document itself: no document is held for the namespace.
      {u"<schema xmlns='http://www.w3.org/2000/10/XMLSchema'/>", 7531},
      {u"<r xsi:schemaLocation='urn:unknown'/>", 7531},
  };
  for (const TextCase& c : texts) {
    Wrapped w;
    ASSERT_TRUE(w.FromText(c.text));
    EXPECT_EQ(w.model->GetErrorId(), c.problem) << Text(KTString(c.text));
  }
}

}  // namespace
