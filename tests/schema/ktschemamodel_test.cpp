// The schema model: predefined entities, problem recording, declaration
// lookups, entity declarations read from an internal subset, and entity
// expansion with its budget.
#include "schema/ktschemamodel.h"

#include <gtest/gtest.h>


#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnode.h"
#include "ktscaling_util.h"

namespace {

std::string U8(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

const KTGrammarCache& Grammars() {
  static KTGrammarCache* cache = [] {
    auto* c = new KTGrammarCache();
    c->LoadGrammar(KTGrammarCache::kXml, false);
    return c;
  }();
  return *cache;
}

std::unique_ptr<KTXNode> Parse(const char16_t* text) {
  auto doc = CreateXNode(kXmlDocument);
  KTParserDriver driver;
  KTLoadStatus status;
  if (!driver.Init(Grammars().FindGrammar(KTGrammarCache::kXml), true, true, true) ||
      !driver.Parse(text, KTStrLen(text), status, doc.get(), nullptr, true)) {
    ADD_FAILURE() << KTUtf16ToUtf8(status.GetMessage().View());
    return nullptr;
  }
  return doc;
}

std::unique_ptr<KTXNode> Node(int kind, const char16_t* name) {
  auto n = CreateXNode(kind);
  n->SetName(name);
  return n;
}

TEST(SchemaModel, FreshModel) {
  KTSchemaModel model;
  EXPECT_EQ(model.GetSchemaKind(), kSchemaNone);
  EXPECT_EQ(model.GetErrorId(), kSchemaNoError);
  EXPECT_EQ(model.GetCurrentPass(), 1);
  struct {
    const char16_t* name;
    const char* value;
  } predefined[] = {{u"lt", "&#60;"}, {u"gt", ">"}, {u"amp", "&#38;"}, {u"apos", "'"}, {u"quot", "\""}};
  for (const auto& e : predefined) {
    KTEntityDecl* d = model.FindGeneralEntity(KTString(e.name));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(U8(d->value), e.value);
  }
  EXPECT_EQ(model.DeclareGeneralEntity(KTString(u"amp")), model.FindGeneralEntity(KTString(u"amp")));
  EXPECT_EQ(model.GeneralEntities().size(), 5u);
  EXPECT_EQ(model.FindParameterEntity(KTString(u"lt")), nullptr);
  EXPECT_NE(model.GetTreeContext(), nullptr);
}

// Entities are found by a view of a name as by the name itself, each in
// its own set, and the sets keep KTString's code-unit order (prefixes
// first, units above U+7FFF last).
TEST(SchemaModel, EntitiesFoundByViewInCodeUnitOrder) {
  KTSchemaModel model;
  const char16_t* names[] = {u"a", u"ab", u"a\u00e9", u"a\uffee", u"\u4e2d", u"Z", u"ltx"};
  for (const char16_t* name : names) model.DeclareGeneralEntity(KTString(name));
  model.DeclareParameterEntity(KTString(u"p"));
  for (const char16_t* name : names) {
    EXPECT_EQ(model.FindEntity(std::u16string_view(name), false), model.FindGeneralEntity(KTString(name)));
    EXPECT_NE(model.FindEntity(std::u16string_view(name), false), nullptr);
    EXPECT_EQ(model.FindEntity(std::u16string_view(name), true), nullptr);
  }
  EXPECT_EQ(model.FindEntity(u"p", true), model.FindParameterEntity(KTString(u"p")));
  EXPECT_EQ(model.FindEntity(u"p", false), nullptr);
  EXPECT_EQ(model.FindEntity(std::u16string_view(u"ltx", 2), false), model.FindGeneralEntity(KTString(u"lt")));
  EXPECT_EQ(model.FindEntity(u"", false), nullptr);
  const KTString* previous = nullptr;
  for (const auto& [name, record] : model.GeneralEntities()) {
    if (previous) {
      EXPECT_LT(KTStrCmp(previous->c_str(), name.c_str()), 0) << U8(name);
    }
    previous = &name;
  }
}

TEST(SchemaModel, ReportErrorKeepsTheMostRelevantProblem) {
  // doc(a(a1(a11), a2), b)
  auto doc = Node(kXmlDocument, nullptr);
  KTXNode* a = doc->AppendChild(Node(kElement, u"a"));
  KTXNode* a1 = a->AppendChild(Node(kElement, u"a1"));
  KTXNode* a11 = a1->AppendChild(Node(kElement, u"a11"));
  KTXNode* a2 = a->AppendChild(Node(kElement, u"a2"));
  KTXNode* b = doc->AppendChild(Node(kElement, u"b"));
  auto other = Node(kXmlDocument, nullptr);

  struct Step {
    int id;
    KTXNode* node;
    int keptAfter;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"first report is recorded", {{7529, nullptr, 7529}}},
      {"a node-less report after one with a node is dropped", {{7524, a1, 7524}, {7509, nullptr, 7524}}},
      {"inside the kept node replaces", {{7524, a1, 7524}, {7536, a11, 7536}}},
      {"the kept node's ancestor is dropped", {{7524, a1, 7524}, {7536, a, 7524}}},
      {"the same node is dropped", {{7524, a1, 7524}, {7536, a1, 7524}}},
      {"later in document order replaces", {{7524, a11, 7524}, {7536, a2, 7536}}},
      {"earlier in document order is dropped", {{7524, b, 7524}, {7536, a11, 7524}}},
      {"a high id never replaces a low one", {{7524, a1, 7524}, {7587, a11, 7524}}},
      {"another document replaces", {{7524, a1, 7524}, {7536, other.get(), 7536}}},
  };
  for (const Case& c : cases) {
    KTSchemaModel model;
    for (const Step& s : c.steps) {
      EXPECT_FALSE(model.ReportError(s.id, s.node, nullptr, KTString(u"ctx")));
      EXPECT_EQ(model.GetErrorId(), s.keptAfter) << c.what;
    }
  }
  KTSchemaModel lenient;
  EXPECT_TRUE(lenient.ReportError(kSchemaUnsupported, a, nullptr, KTString()));
  EXPECT_EQ(lenient.GetErrorId(), kSchemaNoError);
  KTSchemaModel strict(nullptr, nullptr, {.strict = true});
  EXPECT_FALSE(strict.ReportError(kSchemaUnsupported, a, nullptr, KTString()));
  EXPECT_EQ(strict.GetErrorId(), kSchemaUnsupported);

  KTSchemaModel model;
  model.ReportError(7588, a11, nullptr, KTString());
  ASSERT_EQ(model.GetError().ancestorPath.size(), 4u);
  EXPECT_EQ(model.GetError().ancestorPath.back(), doc.get());
}

// Problems reported in document order under one parent: which sibling comes
// first is decided without walking the whole child list each time.
TEST(SchemaModel, ReportErrorOrdersSiblingsInLinearTime) {
  auto doc = Node(kXmlDocument, nullptr);
  KTXNode* root = doc->AppendChild(Node(kElement, u"r"));
  constexpr int kCount = 100000;
  std::vector<KTXNode*> children;
  for (int i = 0; i < kCount; ++i) children.push_back(root->AppendChild(Node(kElement, u"c")));

  const struct {
    int kept, reported;
    bool replaces;
  } cases[] = {{0, 1, true}, {1, 0, false}, {0, kCount - 1, true}, {kCount - 1, 0, false},
               {kCount - 2, kCount - 1, true}, {kCount - 1, kCount - 2, false}};
  for (const auto& c : cases) {
    KTSchemaModel model;
    model.ReportError(7524, children[c.kept], nullptr, KTString());
    model.ReportError(7536, children[c.reported], nullptr, KTString());
    EXPECT_EQ(model.GetErrorId(), c.replaces ? 7536 : 7524) << c.kept << " then " << c.reported;
  }

  KTSchemaModel model;
  for (KTXNode* child : children) model.ReportError(7524, child, nullptr, KTString());
  EXPECT_EQ(model.GetError().node, children.back());
  // The same reports over an eighth of the children walk about an eighth of
  // the siblings: at least one step for each report after the first.
  EXPECT_TRUE(GrowsLinearly(
      [&](int scale) {
        KTSchemaModel counted;
        const int count = kCount / 8 * scale;
        for (int i = 0; i < count; ++i) counted.ReportError(7524, children[i], nullptr, KTString());
      },
      kCount / 8 - 1));
}

TEST(SchemaModel, ElementLookupsByKind) {
  KTSchemaModel model;
  KTQName prefixed(u"e", KTNamespaceId::Intern(u"urn:p"));
  model.SetSchemaKind(kSchemaDtd);
  KTElementType* e = model.DeclareElement(KTQName(u"e", KTNamespaceId::None()));
  EXPECT_EQ(model.FindElement(prefixed), e);  // a DTD keys elements by local name
  EXPECT_EQ(model.DeclareElement(prefixed), e);
  model.SetSchemaKind(kSchemaXsd);
  EXPECT_EQ(model.FindElement(prefixed), nullptr);
  EXPECT_EQ(model.FindElementPosition(prefixed), model.Elements().end());
}

TEST(SchemaModel, ElementTypesAndDefaults) {
  KTSchemaModel model;
  model.SetSchemaKind(kSchemaXsd);
  KTNamespaceId none;
  // r: (a, (b | c)*) with a substitution-group head b and member -> middle -> b.
  KTElementType* r = model.DeclareElement(KTQName(u"r", none));
  KTElementType* a = model.DeclareElement(KTQName(u"a", none));
  KTElementType* b = model.DeclareElement(KTQName(u"b", none));
  KTElementType* c = model.DeclareElement(KTQName(u"c", none));
  KTElementType* middle = model.DeclareElement(KTQName(u"middle", none));
  KTElementType* member = model.DeclareElement(KTQName(u"member", none));
  b->substitutionHeadFlag_ = true;
  middle->SetSubstitutionGroupHead(KTQName(u"b", none));
  member->SetSubstitutionGroupHead(KTQName(u"middle", none));
  KTElementType* seq = r->CreateAnonymousChild();
  seq->group_ = true;
  KTElementType* choice = r->CreateAnonymousChild();
  choice->group_ = true;
  r->AddParticle({a});
  r->AddParticle({choice});
  choice->AddParticle({b});
  choice->AddParticle({c});
  EXPECT_EQ(r->FindChildElementDecl(KTQName(u"c", none)), c);
  EXPECT_EQ(r->FindChildElementDecl(KTQName(u"d", none)), nullptr);
  EXPECT_EQ(r->FindChildElementDecl(KTQName(u"member", none)), member);
  // A chain that loops back on itself ends the search.
  b->SetSubstitutionGroupHead(KTQName(u"member", none));
  middle->SetSubstitutionGroupHead(KTQName(u"member", none));
  EXPECT_EQ(r->FindChildElementDecl(KTQName(u"middle", none)), nullptr);
  EXPECT_TRUE(r->ContainsParticle(c));
  EXPECT_FALSE(a->ContainsParticle(c));
  EXPECT_EQ(c->GetParent(), choice);

  // Defaults: a later declaration of an attribute replaces the earlier one.
  KTAttributeDecl decl;
  decl.name = KTQName(u"x", none);
  decl.SetDefault(u"1");
  a->AddAttribute(decl);
  decl.SetDefault(u"2");
  a->AddAttribute(decl);
  ASSERT_EQ(a->GetAttributeList().size(), 1u);
  std::vector<KTDefaultAttribute> defaults;
  KTString text;
  bool hasText = true;
  EXPECT_TRUE(model.CollectDefaults(a, defaults, text, hasText));
  ASSERT_EQ(defaults.size(), 1u);
  EXPECT_EQ(U8(defaults[0].value), "2");
  EXPECT_FALSE(hasText);
  // An empty default is a default; a declaration without one gives none.
  KTAttributeDecl empty, plain;
  empty.name = KTQName(u"y", none);
  empty.SetDefault(u"");
  plain.name = KTQName(u"z", none);
  a->AddAttribute(empty);
  a->AddAttribute(plain);
  EXPECT_TRUE(model.CollectDefaults(a, defaults, text, hasText));
  ASSERT_EQ(defaults.size(), 2u);
  EXPECT_EQ(U8(defaults[1].name.localName), "y");
  EXPECT_TRUE(defaults[1].value.IsEmpty());
  c->textOnly_ = true;
  c->fixedText_ = u"fixed";
  EXPECT_TRUE(model.CollectDefaults(c, defaults, text, hasText));
  EXPECT_TRUE(hasText);
  EXPECT_EQ(U8(text), "fixed");
  EXPECT_FALSE(model.CollectDefaults(b, defaults, text, hasText));
  b->valueText_ = u"late";  // the empty answer is cached
  b->mixed_ = true;
  EXPECT_FALSE(model.CollectDefaults(b, defaults, text, hasText));

  // A deep copy points its particles at its own compositors.
  KTElementType copy(*r);
  ASSERT_EQ(copy.GetParticles().size(), 2u);
  EXPECT_EQ(copy.GetParticles()[0].child, a);
  EXPECT_NE(copy.GetParticles()[1].child, choice);
  EXPECT_EQ(copy.GetParticles()[1].child->GetParent(), &copy);
  EXPECT_EQ(copy.FindChildElementDecl(KTQName(u"c", none)), c);
}

TEST(SchemaModel, EntityDeclarationsFromTheInternalSubset) {
  auto doc = Parse(
      u"<!DOCTYPE r [\n"
      u"<!ENTITY early \"[%later;|&general;]\">\n"
      u"<!ENTITY % later 'L'>\n"
      u"<!ENTITY later 'L'>\n"
      u"<!ENTITY later 'ignored: the first declaration in a pass wins'>\n"
      u"<!ENTITY amp 'not taken'>\n"
      u"<!ENTITY gt 'taken'>\n"
      u"<!ENTITY % pe 'x'>\n"
      u"<!ENTITY chars '&#60;&#x41;'>\n"
      u"<!ENTITY ext SYSTEM 'ext.xml'>\n"
      u"<!ENTITY long 'a  very\tlong value that goes on and on past fifty characters'>\n"
      u"<!NOTATION gif SYSTEM 'image/gif'>\n"
      u"]><r/>");
  ASSERT_TRUE(doc);
  KTSchemaModel model;
  EXPECT_TRUE(model.LoadSchema(doc.get(), true));
  EXPECT_EQ(model.GetErrorId(), kSchemaNoError);
  EXPECT_EQ(model.GetSchemaKind(), kSchemaDtd);
  EXPECT_EQ(model.GetCurrentPass(), 2);  // "%later;" was met before its declaration
  auto value = [&](const char16_t* name) { return U8(model.FindGeneralEntity(KTString(name))->value); };
  // Parameter references expand when the entity is declared; general ones
  // are left for the place where the entity is used.
  EXPECT_EQ(value(u"early"), "[L|&general;]");  // trimmed parameter values
  EXPECT_EQ(value(u"later"), "L");
  EXPECT_EQ(value(u"amp"), "&#38;");
  EXPECT_EQ(value(u"gt"), "taken");
  EXPECT_EQ(value(u"chars"), "<A");
  KTEntityDecl* pe = model.FindParameterEntity(KTString(u"pe"));
  ASSERT_NE(pe, nullptr);
  EXPECT_EQ(U8(pe->value), " x ");
  EXPECT_TRUE(pe->parameter);
  EXPECT_TRUE(model.FindGeneralEntity(KTString(u"ext"))->external);
  EXPECT_EQ(U8(model.FindGeneralEntity(KTString(u"ext"))->value), "SYSTEM 'ext.xml'");
  ASSERT_NE(model.FindNotation(KTString(u"gif")), nullptr);
  EXPECT_EQ(U8(model.FindNotation(KTString(u"gif"))->value), "SYSTEM 'image/gif'");
  EXPECT_EQ(U8(model.FindGeneralEntity(KTString(u"long"))->Describe()),
            "'long' (a very long value that goes on and on pa...)");
  KTEntityDecl e(KTString(u"e"));
  e.value = u"(a|b)";
  EXPECT_EQ(U8(e.Describe()), "'e' ((a|b))");

  // An internal subset handed to the constructor is read at once.
  KTChildIterator it;
  doc->FirstChildOfKind(it, kDoctype);
  ASSERT_FALSE(it.IsEnd());
  KTSchemaModel fromSubset(nullptr, it.Node());
  ASSERT_NE(fromSubset.FindGeneralEntity(KTString(u"later")), nullptr);
  EXPECT_EQ(U8(fromSubset.FindGeneralEntity(KTString(u"later"))->value), "L");

  // No DOCTYPE: no schema.
  auto plain = Parse(u"<r/>");
  KTSchemaModel none;
  EXPECT_FALSE(none.LoadSchema(plain.get(), true));
  EXPECT_EQ(none.GetErrorId(), kSchemaNotFound);
}

TEST(SchemaModel, ExpandsReferences) {
  KTSchemaModel model;
  model.DeclareGeneralEntity(KTString(u"e"))->value = u"<b>x</b>";
  model.DeclareParameterEntity(KTString(u"p"))->value = u" P ";
  struct Case {
    const char16_t* text;
    bool parameterRefs;
    const char* out;
    bool result;
    int kept;
  } cases[] = {
      {u"&lt;&#65;&#x42;&e;", false, "&#60;&#65;&#x42;<b>x</b>", true, 7500},
      {u"a&undeclared;b", false, "a&undeclared;b", false, 7522},  // kept as written, recorded
      {u"tail &name", false, "tail &name", false, 7585},
      {u"&name rest &e;", false, "&name rest <b>x</b>", false, 7585},
      {u"%p;&e;% x", true, " P &e;% x", true, 7500},
      {u"%p;", false, "%p;", true, 7500},
      {u"%undeclared;", true, "", true, 7500},  // pass 1: asks for another pass
  };
  for (const Case& c : cases) {
    KTSchemaModel m;
    m.DeclareGeneralEntity(KTString(u"e"))->value = u"<b>x</b>";
    m.DeclareParameterEntity(KTString(u"p"))->value = u" P ";
    KTString out;
    EXPECT_EQ(m.ExpandEntityReferences(nullptr, c.text, out, c.parameterRefs, false, false), c.result)
        << KTUtf16ToUtf8(c.text);
    EXPECT_EQ(U8(out), c.out) << KTUtf16ToUtf8(c.text);
    EXPECT_EQ(m.GetErrorId(), c.kept) << KTUtf16ToUtf8(c.text);
    // The result becomes a view node's own value: its block stays near its
    // length (a large fixed step made every short text cost 32 KB).
    EXPECT_LE(out.GetCapacity(), 2 * out.GetLength() + 64) << KTUtf16ToUtf8(c.text);
  }
  KTSchemaModel pass2;
  pass2.SetPasses(2, 2);
  KTString out;
  EXPECT_FALSE(pass2.ExpandEntityReferences(nullptr, u"%gone;&gone;", out, true, false, false));
  EXPECT_EQ(U8(out), "%gone;&gone;");  // the general reference is not looked at
  EXPECT_EQ(pass2.GetErrorId(), kSchemaUndeclaredEntity);

  EXPECT_TRUE(model.ExpandReferences(nullptr, u"&lt;&#65;&#x42;", out));
  EXPECT_EQ(U8(out), "<AB");
  EXPECT_TRUE(model.ExpandReferences(nullptr, u"plain", out));
  EXPECT_EQ(U8(out), "plain");
}

TEST(SchemaModel, ExpansionStopsAtTheBudget) {
  KTSchemaModel model;
  KTString big;
  for (int i = 0; i < 1024; ++i) big += u"0123456789abcdef";  // 16K characters
  model.DeclareGeneralEntity(KTString(u"big"))->value = big;
  auto doc = Parse(u"<r/>");
  model.SetExpansionBudgetFor(doc.get());
  EXPECT_EQ(model.GetExpansionBudget(), KTSchemaModel::kMaxEntityExpansionChars);
  KTString text;
  for (int i = 0; i < 300; ++i) text += u"&big;";  // 4.8M characters asked for
  KTString out;
  EXPECT_FALSE(model.ExpandEntityReferences(nullptr, text, out, false, false, false));
  EXPECT_EQ(model.GetErrorId(), kSchemaExpansionFailed);
  EXPECT_LE(model.GetExpandedChars(), KTSchemaModel::kMaxEntityExpansionChars);
  // The rest of the text is kept as written, nothing silently lost.
  int expanded = static_cast<int>(model.GetExpandedChars() / big.GetLength());
  EXPECT_EQ(out.GetLength(), expanded * big.GetLength() + (300 - expanded) * 5);
}

// A document's budget waits for its entities to pass the least budget:
// only then is the document sized, and the budget is the one its size
// gives, as if it had been sized at once.
TEST(SchemaModel, DocumentIsSizedWhenItsEntitiesPassTheLeastBudget) {
  const std::u16string text = u"<r>" + std::u16string(600000, u'x') + u"</r>";
  auto doc = Parse(text.c_str());
  ASSERT_TRUE(doc);
  const int64_t budget = KTSchemaModel::TextSizeOf(doc.get()) * KTSchemaModel::kExpansionPerDocumentFactor;
  KTString big;
  for (int i = 0; i < 1024; ++i) big += u"0123456789abcdef";  // 16K characters
  const int64_t floor = KTSchemaModel::kMaxEntityExpansionChars;
  ASSERT_GT(budget, floor + 2 * big.GetLength());
  const int past = static_cast<int>(budget / big.GetLength()) + 1;
  struct Case {
    int references;
    bool expanded;  // all of them
  } cases[] = {{100, true}, {static_cast<int>(floor / big.GetLength()) + 1, true}, {past - 1, true}, {past, false}};
  for (const Case& c : cases) {
    KTSchemaModel model;
    model.DeclareGeneralEntity(KTString(u"big"))->value = big;
    model.SetExpansionBudgetWhenNeeded(doc.get());
    EXPECT_EQ(model.GetExpansionBudget(), floor);
    KTString refs;
    for (int i = 0; i < c.references; ++i) refs += u"&big;";
    KTString out;
    EXPECT_EQ(model.ExpandEntityReferences(nullptr, refs, out, false, false, false), c.expanded) << c.references;
    const int64_t asked = int64_t{c.references} * big.GetLength();
    EXPECT_EQ(model.GetExpansionBudget(), asked > floor ? budget : floor) << c.references;
    EXPECT_EQ(model.GetExpandedChars(), c.expanded ? asked : (c.references - 1) * int64_t{big.GetLength()})
        << c.references;
    EXPECT_EQ(model.GetErrorId(), c.expanded ? kSchemaNoError : kSchemaExpansionFailed) << c.references;
  }
}

// The budget counts the names and values of every node, the attributes an
// element keeps pending (ktxnode.h) as much as attribute nodes, and makes
// no node for them.
TEST(SchemaModel, ExpansionBudgetCountsPendingAttributes) {
  // 2,000 elements with one 250-character attribute each: past the floor of
  // the budget, so the attributes' share shows in it.
  std::u16string value(250, u'v');
  std::u16string text = u"<r>";
  for (int i = 0; i < 2000; ++i) text += u"<e a='" + value + u"'/>";
  text += u"</r>";
  auto doc = Parse(text.c_str());
  ASSERT_TRUE(doc);
  const auto* first = static_cast<const KTXContainerNode*>(doc->GetFirstChild()->GetFirstMadeChild());
  ASSERT_TRUE(first->GetPendingAttributes());
  // r, then per element: e, a and the value.
  const int64_t size = 1 + 2000 * (1 + 1 + 250);
  ASSERT_GT(size * KTSchemaModel::kExpansionPerDocumentFactor, KTSchemaModel::kMaxEntityExpansionChars);
  KTSchemaModel model;
  model.SetExpansionBudgetFor(doc.get());
  EXPECT_EQ(model.GetExpansionBudget(), size * KTSchemaModel::kExpansionPerDocumentFactor);
  EXPECT_TRUE(first->GetPendingAttributes());
  // With the attribute nodes made, the same budget.
  for (KTXNode* e = doc->GetFirstChild()->GetFirstChild(); e; e = e->GetNextSibling()) e->GetFirstChild();
  ASSERT_FALSE(first->GetPendingAttributes());
  model.SetExpansionBudgetFor(doc.get());
  EXPECT_EQ(model.GetExpansionBudget(), size * KTSchemaModel::kExpansionPerDocumentFactor);
}

}  // namespace
