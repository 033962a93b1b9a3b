// The XDR schema loader: through a document that names its schema with an
// "x-schema:" namespace, and called directly on schema documents.
#include <gtest/gtest.h>

#include <string>

#include "ktschematest_util.h"

namespace {

std::string S(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

TEST(XdrLoader, XSchemaNamespaceDeclaresTheDocumentsElementsAndTheirDefaults) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kData + "xdr/r.xml"));
  EXPECT_EQ(w.model->GetErrorId(), kSchemaNoError);
  KTXPathNode* root = w.Root();
  ASSERT_NE(root, nullptr);
  // Defaults: the top-level AttributeType's on every item (an explicit value
  // wins), the local one on note.
  EXPECT_EQ(Outline(root), "item(@kind=plain )item(@kind=special )note(@lang=en )");
  KTElementType* r = w.model->FindElement(KTQName(KTString(u"r"), KTNamespaceId::Intern(u"x-schema:r.xdr")));
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->GetParticles().size(), 2u);
  EXPECT_EQ(r->GetParticles()[0].maxOccurs, -1);
  EXPECT_EQ(r->GetParticles()[1].minOccurs, 0);
}

// A schema document parsed from text and loaded by a fresh model.
struct XdrLoad {
  Wrapped doc;
  std::unique_ptr<KTSchemaModel> model;
  bool ok = false;

  explicit XdrLoad(const std::u16string& body, const char16_t* schemaOpen = nullptr) {
    std::u16string text = schemaOpen ? schemaOpen
                                     : u"<Schema xmlns='urn:schemas-microsoft-com:xml-data' "
                                       u"xmlns:dt='urn:schemas-microsoft-com:datatypes'>";
    text += body + u"</Schema>";
    if (!doc.FromText(text.c_str())) return;
    model = std::make_unique<KTSchemaModel>(&doc.manager);
    model->SetWarningStream(nullptr);
    model->SetSchemaKind(kSchemaXdrData);
    ok = model->LoadXdrSchema(doc.document);
  }
  KTElementType* Type(const char16_t* name) { return model->FindElement(KTQName(KTString(name), KTNamespaceId())); }
  int Id() const { return model->GetErrorId(); }
  std::string Context() const { return S(model->GetError().contextText); }
  std::string NodeName() const {
    return model->GetError().node ? U8(model->GetError().node->GetName()) : std::string("(none)");
  }
};

TEST(XdrLoader, ReportsWhatASchemaGetsWrong) {
  struct Case {
    const char16_t* body;
    int id;
    const char* context;
    const char* node;
  } cases[] = {
      {u"<ElementType name='a' content='empty'/>", kSchemaNoError, "", "(none)"},
      {u"", kSchemaNoElements, "", "Schema"},
      {u"<ElementType name='a'/>", 7543, "a", "ElementType"},
      {u"<ElementType name='a'><group/></ElementType>", 7543, "", "group"},
      {u"<ElementType name='a' content='empty'><element type='a'/></ElementType>", 7576, "a", "ElementType"},
      {u"<ElementType name='a' content='textOnly'><element type='a'/></ElementType>", 7575, "a", "ElementType"},
      {u"<ElementType name='a' dt:type='int'><element type='a'/></ElementType>", 7575, "a", "ElementType"},
      {u"<ElementType name='a' content='full'/>", 7537, "- expected (empty | textOnly | eltOnly | mixed)", "content"},
      {u"<ElementType name='a' content='eltOnly'><element type='a' maxOccurs='2'/></ElementType>", 7537,
       "- expected (1 | *)", "maxOccurs"},
      {u"<ElementType name='a' content='eltOnly'><element type='b'/></ElementType>", 7517, "b", "element"},
      {u"<ElementType name='a' content='eltOnly'><element/></ElementType>", 7538, "", "element"},
      {u"<ElementType name='a' content='empty'/><ElementType name='a' content='empty'/>", 7512, "a", "ElementType"},
      {u"<ElementType name='a' content='empty'><attribute type='x'/></ElementType><AttributeType name='x'/>", 7520,
       "x", "attribute"},
      {u"<AttributeType name='x' dt:type='nosuch'/>", 7537, "", "dt:type"},
      {u"<AttributeType name='x' required='maybe'/>", 7537, "- expected (yes | no)", "required"},
      {u"<ElementType name='a' content='empty' size='3'/>", 7536,
       "- expected attribute: (name | model | dt:type | dt:minLength | dt:maxLength | content | order)", "size"},
      {u"<ElementType name='a' content='empty'><x:other xmlns:x='urn:x'/></ElementType>", kSchemaNoError, "",
       "(none)"},
      {u"<ElementType name='a' content='empty'><other/></ElementType>", 7536,
       "- expected: (attribute | AttributeType | datatype | description | element | group)", "other"},
      {u"<ElementType name='a' content='empty'/><Other/>", 7536,
       "- expected: (ElementType | AttributeType | description)", "Other"},
      // 7503 passes unrecorded when the strict option is off.
      {u"<ElementType name='a' content='eltOnly'><group order='many'><element type='a'/></group></ElementType>",
       kSchemaNoError, "", "(none)"},
  };
  for (const Case& c : cases) {
    XdrLoad load(c.body);
    ASSERT_TRUE(load.model) << S(KTString(c.body));
    EXPECT_EQ(load.Id(), c.id) << S(KTString(c.body));
    EXPECT_EQ(load.Context(), c.context) << S(KTString(c.body));
    EXPECT_EQ(load.NodeName(), c.node) << S(KTString(c.body));
    EXPECT_EQ(load.ok, c.id == kSchemaNoError) << S(KTString(c.body));
  }
}

TEST(XdrLoader, SchemaElementAndItsNamespaces) {
  // Only the schema namespace declared: 7592 names the datatypes namespace.
  XdrLoad noTypes(u"<ElementType name='a' content='empty'/>",
                  u"<Schema xmlns='urn:schemas-microsoft-com:xml-data'>");
  EXPECT_EQ(noTypes.Id(), 7592);
  EXPECT_EQ(noTypes.Context(), "urn:schemas-microsoft-com:datatypes");
  EXPECT_EQ(noTypes.Type(u"a"), nullptr);
  // A Schema element of another namespace: the expected name uses the
  // prefix the schema bound to the XDR namespace.
  XdrLoad other(u"", u"<Schema xmlns='urn:other' xmlns:s='urn:schemas-microsoft-com:xml-data' "
                     u"xmlns:t='urn:schemas-microsoft-com:datatypes'>");
  EXPECT_EQ(other.Id(), 7536);
  EXPECT_EQ(other.Context(), "- expected: s:Schema");
  // A document whose element is no Schema loads nothing and reports nothing.
  Wrapped doc;
  ASSERT_TRUE(doc.FromText(u"<Other xmlns='urn:schemas-microsoft-com:xml-data'/>"));
  KTSchemaModel model(&doc.manager);
  EXPECT_TRUE(model.LoadXdrSchema(doc.document));
  EXPECT_EQ(model.GetErrorId(), kSchemaNoError);
  EXPECT_TRUE(model.Elements().empty());
}

TEST(XdrLoader, ContentFlagsAndParticles) {
  XdrLoad load(
      u"<ElementType order='one' content='eltOnly' name='a'><element type='b'/><element type='c'/></ElementType>"
      u"<ElementType name='b' content='mixed'/><ElementType name='c' content='textOnly'/>"
      u"<ElementType name='d' order='many' content='eltOnly'><element type='b' minOccurs='0' maxOccurs='*'/>"
      u"<group order='one' maxOccurs='*'><element type='b'/><element type='c'/></group></ElementType>");
  ASSERT_TRUE(load.ok) << load.Id() << " " << load.Context();
  KTElementType* a = load.Type(u"a");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->IsChoice());
  EXPECT_FALSE(a->IsSequence());
  ASSERT_EQ(a->GetParticles().size(), 2u);
  EXPECT_EQ(a->GetParticles()[1].child, load.Type(u"c"));
  EXPECT_EQ(a->GetParticles()[1].minOccurs, 1);
  EXPECT_EQ(a->GetParticles()[1].maxOccurs, 1);
  EXPECT_TRUE(load.Type(u"b")->IsSequence());  // mixed keeps what the name set
  EXPECT_TRUE(load.Type(u"b")->IsMixed());
  EXPECT_FALSE(load.Type(u"c")->IsSequence());
  KTElementType* d = load.Type(u"d");
  EXPECT_TRUE(d->IsAll());
  ASSERT_EQ(d->GetParticles().size(), 2u);
  EXPECT_EQ(d->GetParticles()[0].minOccurs, 0);
  EXPECT_EQ(d->GetParticles()[0].maxOccurs, -1);
  KTElementType* group = d->GetParticles()[1].child;
  EXPECT_TRUE(group->IsGroup());
  EXPECT_TRUE(group->IsChoice());
  EXPECT_EQ(d->GetParticles()[1].maxOccurs, -1);
  EXPECT_EQ(group->GetParticles().size(), 2u);
}

TEST(XdrLoader, AttributeTypesAndReferences) {
  XdrLoad load(
      u"<AttributeType name='x' default='top'/>"
      u"<AttributeType name='ref' dt:type='idref' required='yes'/>"
      u"<ElementType name='a' content='empty'>"
      u"  <attribute type='x'/><attribute type='ref'/>"
      u"</ElementType>"
      u"<ElementType name='b' content='empty'>"
      u"  <AttributeType name='x' default='local' dt:values=\"a 'b c' d\"/>"
      u"  <attribute default='mine' type='x' required='yes'/>"
      u"</ElementType>");
  ASSERT_TRUE(load.ok) << load.Id() << " " << load.Context();
  KTAttributeDecl* ax = load.Type(u"a")->FindAttribute(KTQName(KTString(u"x"), KTNamespaceId()));
  ASSERT_NE(ax, nullptr);
  EXPECT_EQ(S(ax->defaultText), "top");
  EXPECT_TRUE(ax->implied);
  KTAttributeDecl* ref = load.Type(u"a")->FindAttribute(KTQName(KTString(u"ref"), KTNamespaceId()));
  ASSERT_NE(ref, nullptr);
  EXPECT_TRUE(ref->idref);
  EXPECT_TRUE(ref->required);
  EXPECT_FALSE(ref->implied);
  // The local AttributeType shadows the top-level one; the reference's own
  // default, written before its type, wins over the copied one.
  KTAttributeDecl* bx = load.Type(u"b")->FindAttribute(KTQName(KTString(u"x"), KTNamespaceId()));
  ASSERT_NE(bx, nullptr);
  EXPECT_EQ(S(bx->defaultText), "mine");
  EXPECT_TRUE(bx->required);
  EXPECT_TRUE(bx->enumerated);
  ASSERT_EQ(bx->enumeratedValues.size(), 3u);
  EXPECT_EQ(S(bx->enumeratedValues[1]), "'b c'");
}

// A default written empty is a default (an empty attribute); one not
// written is none, also through a reference that adds no default of its own.
TEST(XdrLoader, EmptyDefaultIsADefault) {
  XdrLoad load(
      u"<AttributeType name='e' default=''/>"
      u"<AttributeType name='n'/>"
      u"<ElementType name='a' content='empty'><attribute type='e'/><attribute type='n'/></ElementType>"
      u"<ElementType name='b' content='empty'><attribute type='n' default=''/></ElementType>");
  ASSERT_TRUE(load.ok) << load.Id() << " " << load.Context();
  struct Case {
    const char16_t* element;
    const char16_t* attribute;
    bool hasDefault;
  } cases[] = {{u"a", u"e", true}, {u"a", u"n", false}, {u"b", u"n", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(S(KTString(c.element)) + "/@" + S(KTString(c.attribute)));
    KTAttributeDecl* decl = load.Type(c.element)->FindAttribute(KTQName(KTString(c.attribute), KTNamespaceId()));
    ASSERT_NE(decl, nullptr);
    EXPECT_EQ(decl->hasDefault, c.hasDefault);
    EXPECT_TRUE(decl->defaultText.IsEmpty());
  }
}

TEST(XdrLoader, DatatypesFollowTheSchemasPrefix) {
  XdrLoad load(u"<ElementType name='n' t:type='int' t:maxLength='3'/>"
               u"<ElementType name='e' t:values='red green' t:type='string'/>",
               u"<Schema xmlns='urn:schemas-microsoft-com:xml-data' xmlns:t='urn:schemas-microsoft-com:datatypes'>");
  ASSERT_TRUE(load.ok) << load.Id() << " " << load.Context();
  KTElementType* n = load.Type(u"n");
  ASSERT_TRUE(n->GetDatatype().IsValid());
  EXPECT_EQ(n->GetDatatype()->GetTypeId(), static_cast<uint32_t>(kDtInt));
  EXPECT_TRUE(n->IsTextOnly());
  // dt:values made an enumeration first; dt:type then replaced only its type.
  KTElementType* e = load.Type(u"e");
  ASSERT_TRUE(e->GetDatatype().IsValid());
  EXPECT_EQ(e->GetDatatype()->GetTypeId(), static_cast<uint32_t>(kDtString));
  EXPECT_NE(e->GetDatatype()->FindFacet(KTString(u"enumeration")), nullptr);
  EXPECT_EQ(e->GetDatatype()->CheckValue(KTString(u"green"), false, false), kDatatypeValid);
  EXPECT_NE(e->GetDatatype()->CheckValue(KTString(u"blue"), false, false), kDatatypeValid);
  XdrLoad values(u"<ElementType name='v' dt:values='red green'/>");
  ASSERT_TRUE(values.ok) << values.Id() << " " << values.Context();
  KTDatatypeRef v = values.Type(u"v")->GetDatatype();
  ASSERT_TRUE(v.IsValid());
  EXPECT_EQ(v->GetTypeId(), static_cast<uint32_t>(kDtXdrEnumeration));
  EXPECT_EQ(v->CheckValue(KTString(u"red"), false, false), kDatatypeValid);
  EXPECT_NE(v->CheckValue(KTString(u"red green"), false, false), kDatatypeValid);
}

}  // namespace
