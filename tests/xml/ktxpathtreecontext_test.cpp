// The tree context over parsed documents: document-order numbering,
// namespace resolution, defaults and entity fragments (through a scripted
// stand-in for the schema model), and the namespace-scope cache.
#include "xml/ktxpathtreecontext.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktschemaservices.h"
#include "xml/ktxnode.h"
#include "ktscaling_util.h"

namespace {

const KTGrammarCache& Grammars() {
  static KTGrammarCache* cache = [] {
    auto* c = new KTGrammarCache();
    c->LoadGrammar(KTGrammarCache::kXml, false);
    return c;
  }();
  return *cache;
}

std::unique_ptr<KTXNode> ParseInto(std::unique_ptr<KTXNode> target, const char16_t* text, const char16_t* rule) {
  KTParserDriver driver;
  if (!driver.Init(Grammars().FindGrammar(KTGrammarCache::kXml), true, true, true)) return nullptr;
  KTLoadStatus status;
  if (!driver.Parse(text, KTStrLen(text), status, target.get(), rule, true)) return nullptr;
  return target;
}

std::unique_ptr<KTXNode> Parse(const char16_t* text) { return ParseInto(CreateXNode(kXmlDocument), text, nullptr); }

std::string U8(const char16_t* s) { return KTUtf16ToUtf8(s); }
std::string Uri(const KTXPathNode* n) { return n->GetNamespaceUri() ? U8(*n->GetNamespaceUri()) : "-"; }

// A compact picture of a view: kind letter, name, value, children.
std::string Picture(const KTXPathNode* n) {
  static const char* kLetters = "/etanpcx";
  std::string out;
  int k = n->GetKind();
  out += k < 8 ? kLetters[k] : '?';
  if (*n->GetName()) out += U8(n->GetName());
  if (k == kXPathText || k == kXPathAttribute || k == kXPathNamespace) {
    out += '=';
    out += U8(n->GetValue());
  }
  if (n->GetChildCount()) {
    out += "(";
    for (int i = 0; i < n->GetChildCount(); ++i) {
      if (i) out += " ";
      out += Picture(n->GetChild(i));
    }
    out += ")";
  }
  return out;
}

// A scripted stand-in for the schema model.
class FakeSchema : public KTSchemaServices {
 public:
  std::function<KTString(const char16_t*)> expand = [](const char16_t* t) { return KTString(t); };
  std::map<std::u16string, std::vector<KTDefaultAttribute>> defaults;  // by element local name
  std::map<std::u16string, KTString> defaultTexts;
  std::vector<int> problems;
  int loads = 0;

  bool LoadSchema(KTXNode*, bool) override {
    ++loads;
    return false;
  }
  int GetErrorId() const override { return 7529; }
  bool ExpandContentReferences(KTXNode*, const char16_t* text, KTString& out) override {
    out = expand(text);
    return true;
  }
  std::unique_ptr<KTXNode> ParseFragment(const char16_t* text, const char16_t* rule, KTXNode*) override {
    return ParseInto(CreateXNode(kElement), text, rule);
  }
  KTElementType* FindElement(const KTQName& name) override {
    std::u16string key(name.localName.View());
    if (!defaults.count(key) && !defaultTexts.count(key)) return nullptr;
    return reinterpret_cast<KTElementType*>(Key(key));
  }
  KTElementType* FindChildElementDecl(KTElementType*, const KTQName& name) override { return FindElement(name); }
  bool CollectDefaults(KTElementType* decl, std::vector<KTDefaultAttribute>& attributes, KTString& text,
                       bool& hasText) override {
    const std::u16string& key = *reinterpret_cast<std::u16string*>(decl);
    attributes = defaults[key];
    hasText = defaultTexts.count(key) > 0;
    if (hasText) text = defaultTexts[key];
    return !attributes.empty() || hasText;
  }
  bool ReportViewProblem(int id, KTXNode*, const KTString&) override {
    problems.push_back(id);
    return false;
  }

 private:
  std::u16string* Key(const std::u16string& key) {
    keys_.push_back(std::make_unique<std::u16string>(key));
    return keys_.back().get();
  }
  std::vector<std::unique_ptr<std::u16string>> keys_;
};

TEST(TreeContext, NumbersNodesInDocumentOrder) {
  auto doc1 = Parse(u"<r a='1'><!--c--><e>t<f/></e><?p x?></r>");
  auto doc2 = Parse(u"<s/>");
  ASSERT_TRUE(doc1 && doc2);
  KTXPathTreeContext context;
  FakeSchema schema;
  auto view1 = context.WrapTree(doc1.get(), &schema, true, u"file:///one.xml");
  auto view2 = context.WrapTree(doc2.get(), &schema, true, nullptr);
  EXPECT_EQ(schema.loads, 2);
  EXPECT_EQ(Picture(view1.get()), "/(er(aa=1 x ee(t=t ef) pp))");
  EXPECT_EQ(view2->GetDocumentNumber(), view1->GetDocumentNumber() + 1);
  EXPECT_EQ(KTXPathTreeContext::GetDocumentCounter(), view2->GetDocumentNumber());

  EXPECT_EQ(view1->GetPosition(), 1);
  EXPECT_EQ(view1->GetChild(0)->GetPosition(), 2);
  int last = 0;
  int count = 0;
  for (KTXPathNode* n = view1.get(); n; n = n->NextInDocumentOrder(true)) {
    EXPECT_GT(n->GetPosition(), last);
    EXPECT_EQ(n->GetDocumentNumber(), view1->GetDocumentNumber());
    last = n->GetPosition();
    ++count;
  }
  EXPECT_EQ(count, 8);
  ASSERT_NE(KTXPathNode::GetDocumentUri(view1->GetChild(0)->GetChild(0)), nullptr);
  EXPECT_EQ(U8(*KTXPathNode::GetDocumentUri(view1->GetChild(0)->GetChild(0))), "file:///one.xml");
  EXPECT_EQ(KTXPathNode::GetDocumentUri(view2.get()), nullptr);
}

TEST(TreeContext, ResolvesNamespaces) {
  auto doc = Parse(
      u"<r xmlns='urn:a' xmlns:xml='urn:bad' q:at='1' xmlns:q='urn:q' plain='2'>"
      u"<q:c xmlns:q='urn:q2'><d xmlns=''><e u:f='3'/></d></q:c><g/></r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  KTXPathNode* r = view->GetChild(0);
  EXPECT_EQ(Uri(r), "urn:a");
  // Attributes wrapped before the declaration are resolved again by it.
  KTXPathNode* at = nullptr;
  KTXPathNode* plain = nullptr;
  for (int i = 0; i < r->GetChildCount(); ++i) {
    if (U8(r->GetChild(i)->GetName()) == "q:at") at = r->GetChild(i);
    if (U8(r->GetChild(i)->GetName()) == "plain") plain = r->GetChild(i);
  }
  ASSERT_TRUE(at && plain);
  EXPECT_EQ(Uri(at), "urn:q");
  EXPECT_EQ(Uri(plain), "-");  // unprefixed attributes never get a namespace
  KTXPathNode* c = r->GetChild(r->FirstChildOfKind(kXPathElement));
  EXPECT_EQ(Uri(c), "urn:q2");
  KTXPathNode* d = c->GetChild(c->FirstChildOfKind(kXPathElement));
  EXPECT_EQ(Uri(d), "-");  // the default namespace undeclared
  KTXPathNode* e = d->GetChild(d->FirstChildOfKind(kXPathElement));
  EXPECT_EQ(Uri(e), "-");
  EXPECT_EQ(Uri(e->GetChild(0)), "-");  // unbound prefix: no namespace, no error
  KTXPathNode* g = r->GetChild(r->GetChildCount() - 1);
  EXPECT_EQ(Uri(g), "urn:a");
  EXPECT_FALSE(g->OwnsMaps());

  // Namespace nodes: xml stays bound to its own namespace; the undeclared
  // default gives no node.
  auto names = [](KTXPathNode* n) {
    std::string out;
    for (const auto& ns : *n->GetNamespaceNodes()) out += U8(ns->GetName()) + "=" + U8(ns->GetValue()) + " ";
    return out;
  };
  EXPECT_EQ(names(r), "xml=http://www.w3.org/XML/1998/namespace =urn:a q=urn:q ");
  EXPECT_EQ(names(e), "xml=http://www.w3.org/XML/1998/namespace q=urn:q2 ");
  EXPECT_EQ(context.GetUriTable()[0]->View(), u"http://www.w3.org/XML/1998/namespace");
  EXPECT_EQ(context.InternUri(u"urn:q"), at->GetNamespaceUri());
}

// Element names in document order under maps that change and change back:
// each takes its prefix's binding where it stands, however the prefixes and
// maps of the elements before it went.
TEST(TreeContext, ResolvesPrefixesOfElementsInTurn) {
  auto doc = Parse(
      u"<p:a xmlns:p='u1' xmlns:q='u2'><p:b/><q:c/><p:d xmlns:p='u3'><p:e/><q:f/><g/></p:d>"
      u"<p:h/><i/><q:j xmlns='u4'><k/><p:l/></q:j><m/><p:n/></p:a>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  std::string seen;
  for (KTXPathNode* n = view.get(); n; n = n->NextInDocumentOrder(true)) {
    if (n->GetKind() == kXPathElement) seen += U8(n->GetName()) + "=" + Uri(n) + " ";
  }
  EXPECT_EQ(seen,
            "p:a=u1 p:b=u1 q:c=u2 p:d=u3 p:e=u3 q:f=u2 g=- p:h=u1 i=- q:j=u2 k=u4 p:l=u1 m=- p:n=u1 ");
}

// Many declarations on one element: each binds in the element's own maps
// without leaking into its parent's or a sibling's, and the attributes
// written before or after them are resolved. A copy of the maps per
// declaration, or the attributes resolved again after each, made this
// quadratic (a minute for a 700 KB document).
TEST(TreeContext, ManyDeclarationsOnOneElement) {
  constexpr int kCount = 20000;
  auto text = [](int count) {
    std::u16string text = u"<top xmlns:q='urn:q'><r p0:first='x'";
    for (int i = 0; i < count; ++i) {
      text += u" xmlns:p" + KTUtf8ToUtf16(std::to_string(i)) + u"='urn:" + KTUtf8ToUtf16(std::to_string(i)) + u"'";
    }
    return text + u" p7:last='y' q:z='z'><c/></r><s/></top>";
  };
  auto doc = Parse(text(kCount).c_str());
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  // Wrapping an eighth of the declarations copies and reads about an eighth
  // of the map entries and children: the element's children are read at
  // least once.
  auto small = Parse(text(kCount / 8).c_str());
  ASSERT_TRUE(small);
  EXPECT_TRUE(GrowsLinearly(
      [&](int scale) {
        KTXPathTreeContext counted;
        counted.WrapTree(scale == 1 ? small.get() : doc.get(), &schema, true, nullptr);
      },
      kCount / 8));
  KTXPathNode* top = view->GetChild(0);
  KTXPathNode* r = top->GetChild(top->FirstChildOfKind(kXPathElement));
  std::map<std::string, std::string> uris;
  for (int i = 0; i < r->GetChildCount(); ++i) {
    if (r->GetChild(i)->GetKind() == kXPathAttribute) uris[U8(r->GetChild(i)->GetName())] = Uri(r->GetChild(i));
  }
  EXPECT_EQ(uris, (std::map<std::string, std::string>{{"p0:first", "urn:0"}, {"p7:last", "urn:7"}, {"q:z", "urn:q"}}));
  KTXPathNode* c = r->GetChild(r->FirstChildOfKind(kXPathElement));
  EXPECT_FALSE(c->OwnsMaps());
  EXPECT_EQ(c->GetNamespaceNodes()->size(), static_cast<size_t>(kCount + 2));
  KTXPathNode* s = top->GetChild(top->GetChildCount() - 1);
  EXPECT_EQ(s->GetNamespaceNodes()->size(), 2u);  // q and xml only
  EXPECT_EQ(top->GetNamespaceNodes()->size(), 2u);
}

// XML 1.0 §2.11: the view reads CR LF and a lone CR as LF in every text it
// shows, while a CR written as a character reference stays.
// Result trees are built by hand, not parsed, so nothing bounds their depth:
// a tree 100,000 levels deep wraps and frees without recursion.
TEST(TreeContext, DeepHandBuiltTreeWrapsAndFrees) {
  constexpr int kDepth = 100000;
  auto doc = CreateXNode(kXmlDocument);
  KTXNode* at = doc.get();
  for (int i = 0; i < kDepth; ++i) {
    KTXNode* e = at->AppendChild(CreateXNode(kElement));
    e->SetName(i % 2 ? u"p:b" : u"a");
    if (i == 0) {
      KTXNode* ns = e->AppendChild(CreateXNode(kAttribute));
      ns->SetName(u"xmlns:p");
      ns->SetValue(u"urn:p");
    }
    at = e;
  }
  at->AppendChild(CreateXNode(kText))->SetValue(u"deep");
  KTXPathTreeContext context;
  FakeSchema schema;
  std::unique_ptr<KTXPathNode> view = context.WrapTree(doc.get(), &schema, false, nullptr);
  ASSERT_NE(view, nullptr);
  int depth = 0;
  const KTXPathNode* n = view.get();
  while (n->GetChildCount() > 0) {
    n = n->GetChild(n->GetChildCount() - 1);
    ++depth;
  }
  EXPECT_EQ(depth, kDepth + 1);  // the elements and the text
  EXPECT_EQ(U8(n->GetValue()), "deep");
  EXPECT_EQ(Uri(n->GetParent()), "urn:p");  // the innermost element is p:b
  view.reset();
  doc.reset();
}

TEST(TreeContext, LineEndsReadAsLineFeeds) {
  auto doc = Parse(u"<r>a\r\nb\rc&#13;<x>one\r\ntwo</x><![CDATA[d\r\ne]]><?p f\r\ng?><!--h\ri--></r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  std::vector<std::string> values;
  for (KTXPathNode* n = view.get(); n; n = n->NextInDocumentOrder(true)) {
    if (n->GetKind() != kXPathRoot && n->GetKind() != kXPathElement) values.push_back(U8(n->GetValue()));
  }
  EXPECT_EQ(values, (std::vector<std::string>{"a\nb\nc\r", "one\ntwo", "d\ne", "f\ng", "h\ni"}));
}

// A document without declarations has its texts' references resolved by
// the view itself (SetNextEntitiesPredefined), after its line ends are
// normalised: each text shows the characters the references stand for,
// once, and nothing of a text is lost or left past its end.
TEST(TreeContext, PredefinedReferencesResolveInTexts) {
  struct Case {
    const char16_t* document;
    const char* shown;
  };
  const Case cases[] = {
      {u"<r>a &amp; b</r>", "a & b"},
      {u"<r>&lt;x&gt;&quot;&apos;</r>", "<x>\"'"},
      {u"<r>x&#65;&#x42;&#x1F600;y</r>", "xAB\xF0\x9F\x98\x80y"},
      {u"<r>one\r\ntwo &amp;\rthree\r\n</r>", "one\ntwo &\nthree\n"},
      {u"<r>&amp;lt;&amp;#38;</r>", "&lt;&#38;"},
      {u"<r>&#13;&amp;\r\n</r>", "\r&\n"},
      {u"<r>&amp;<e/>tail &gt;\r\n</r>", "&|tail >\n"},
  };
  for (const Case& c : cases) {
    auto doc = Parse(c.document);
    ASSERT_TRUE(doc) << c.shown;
    KTXPathTreeContext context;
    FakeSchema schema;
    context.SetNextEntitiesPredefined();
    auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
    std::string texts;
    for (KTXPathNode* n = view.get(); n; n = n->NextInDocumentOrder(true)) {
      if (n->GetKind() != kXPathText) continue;
      if (!texts.empty()) texts += '|';
      texts += U8(n->GetValue());
    }
    EXPECT_EQ(texts, c.shown) << c.shown;
  }
}

TEST(TreeContext, ElementValueBecomesTextChild) {
  auto doc = CreateXNode(kXmlDocument);
  KTXNode* e = doc->AppendChild(CreateXNode(kElement));
  e->SetName(u"e");
  e->SetValue(u"held");
  KTXNode* empty = doc->AppendChild(CreateXNode(kElement));
  empty->SetName(u"empty");
  KTXPathTreeContext context;
  FakeSchema schema;
  auto view = context.WrapTree(doc.get(), &schema, false, nullptr);
  EXPECT_EQ(Picture(view.get()), "/(ee(t=held) eempty)");
  EXPECT_EQ(view->GetChild(0)->GetChild(0)->GetXNode(), e);
  EXPECT_EQ(view->GetChild(0)->GetChild(0)->GetPosition(), 3);
}

TEST(TreeContext, SuppliesDefaults) {
  auto doc = Parse(u"<r xmlns:p='urn:p'><e a='given'/><e>text</e><f/><g/></r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  KTNamespaceId none;
  schema.defaults[u"e"] = {{KTQName(u"a", none), KTString(u"dflt")}, {KTQName(u"b", none), KTString(u"2")}};
  schema.defaultTexts[u"e"] = KTString(u"deftext");
  schema.defaults[u"f"] = {{KTQName(u"xmlns:d", none), KTString(u"urn:d")},
                           {KTQName(u"d:x", none), KTString(u"1")},
                           {KTQName(u"p:y", none), KTString(u"2")}};
  schema.defaults[u"g"] = {{KTQName(u"z", KTNamespaceId::Intern(u"urn:p")), KTString(u"3")},
                           {KTQName(u"w", KTNamespaceId::Intern(u"urn:new")), KTString(u"4")}};
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  EXPECT_EQ(Picture(view.get()),
            "/(er(nxmlns:p=urn:p "
            "ee(aa=given ab=2 t=deftext) "
            "ee(aa=dflt ab=2 t=text) "
            "ef(nxmlns:d=urn:d ad:x=1 ap:y=2) "
            "eg(ap:z=3 ans0:w=4)))");
  KTXPathNode* r = view->GetChild(0);
  KTXPathNode* f = r->GetChild(3);
  // The defaulted declaration binds d, which the defaulted d:x then uses.
  EXPECT_EQ(Uri(f->GetChild(1)), "urn:d");
  EXPECT_EQ(Uri(f->GetChild(2)), "urn:p");
  KTXPathNode* g = r->GetChild(4);
  EXPECT_EQ(Uri(g->GetChild(1)), "urn:new");
  ASSERT_NE(g->GetElementNamespaceMap(), nullptr);
  EXPECT_EQ(g->GetElementNamespaceMap()->count(KTString(u"ns0")), 1u);
  // Defaults are numbered after the element's own attributes, before content.
  KTXPathNode* e1 = r->GetChild(1);
  EXPECT_LT(e1->GetChild(0)->GetPosition(), e1->GetChild(1)->GetPosition());
  EXPECT_LT(e1->GetChild(1)->GetPosition(), e1->GetChild(2)->GetPosition());
  KTXPathNode* e2 = r->GetChild(2);
  EXPECT_LT(e2->GetChild(0)->GetPosition(), e2->GetChild(1)->GetPosition());
}

// A model whose declarations depend on the parent's declaration and on the
// namespace, as XML Schema's local declarations do: each element is declared
// by its path ("/r/a/e", a namespace written as "{urn}name"), defaults an
// attribute "at" to that path, and only declarations of elements named "a"
// type their attribute "id" as ID.
class NestedSchema : public FakeSchema {
 public:
  KTElementType* FindElement(const KTQName& name) override { return Declaration(u"/" + Step(name)); }
  KTElementType* FindChildElementDecl(KTElementType* parent, const KTQName& name) override {
    return Declaration(PathOf(parent) + u"/" + Step(name));
  }
  bool CollectDefaults(KTElementType* decl, std::vector<KTDefaultAttribute>& attributes, KTString& text,
                       bool& hasText) override {
    attributes = {{KTQName(u"at", KTNamespaceId()), KTString(PathOf(decl).c_str())}};
    hasText = false;
    return true;
  }
  bool IsIdAttribute(KTElementType* decl, const KTQName& name) override {
    return PathOf(decl).ends_with(u"/a") && name.localName.View() == u"id";
  }

 private:
  static std::u16string Step(const KTQName& name) {
    std::u16string step(name.localName.View());
    return name.ns.IsNone() ? step : u"{" + std::u16string(name.ns.Uri().View()) + u"}" + step;
  }
  static const std::u16string& PathOf(KTElementType* decl) { return *reinterpret_cast<std::u16string*>(decl); }
  KTElementType* Declaration(const std::u16string& path) {
    auto& held = paths_[path];
    if (!held) held = std::make_unique<std::u16string>(path);
    return reinterpret_cast<KTElementType*>(held.get());
  }
  std::map<std::u16string, std::unique_ptr<std::u16string>> paths_;
};

// Declarations are found per parent declaration and expanded name, however
// often one name repeats under different parents and in different namespaces.
TEST(TreeContext, DeclarationsFollowParentAndNamespace) {
  auto doc = Parse(
      u"<r xmlns:p='urn:p' xmlns:q='urn:q'><a id='1'><e/><e/></a><b id='2'><e/><p:e/><q:e/><e/></b><a id='3'><e/></a>"
      u"<p:e/><q:e/><e/></r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  NestedSchema schema;
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  std::vector<std::string> paths;
  std::vector<std::string> ids;
  for (KTXPathNode* n = view.get(); n; n = n->NextInDocumentOrder(true)) {
    if (n->GetKind() != kXPathAttribute) continue;
    if (U8(n->GetName()) == "at") paths.push_back(U8(n->GetValue()));
    if (n->IsIdAttribute()) ids.push_back(U8(n->GetValue()));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/r", "/r/a", "/r/a/e", "/r/a/e", "/r/b", "/r/b/e", "/r/b/{urn:p}e",
                                             "/r/b/{urn:q}e", "/r/b/e", "/r/a", "/r/a/e", "/r/{urn:p}e", "/r/{urn:q}e",
                                             "/r/e"}));
  EXPECT_EQ(ids, (std::vector<std::string>{"1", "3"}));
}

TEST(TreeContext, SplicesEntityFragments) {
  auto doc = Parse(u"<r>a &e; b <i x='&e;'/></r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  schema.expand = [](const char16_t* t) {
    KTString s(t);
    s.Replace(u"&e;", u"<b>x</b>&#38;");
    return s;
  };
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  EXPECT_EQ(Picture(view.get()), "/(er(t=a  eb(t=x) t=& b  ei(ax=<b>x</b>&)))");
  KTXPathNode* r = view->GetChild(0);
  EXPECT_TRUE(r->GetChild(1)->IsFromEntity());
  EXPECT_FALSE(r->GetChild(3)->IsFromEntity());
  EXPECT_TRUE(schema.problems.empty());
  int last = 0;
  for (KTXPathNode* n = view.get(); n; n = n->NextInDocumentOrder(true)) {
    EXPECT_GT(n->GetPosition(), last);
    last = n->GetPosition();
  }
}

TEST(TreeContext, NormalizesAttributeValues) {
  auto doc = Parse(u"<r a='x&#9;y\r\n z\tq' b='&e;' c='plain'/>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  schema.expand = [](const char16_t* t) {
    KTString s(t);
    s.Replace(u"&e;", u"1\n2&#10;3");
    return s;
  };
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  KTXPathNode* r = view->GetChild(0);
  ASSERT_EQ(r->GetChildCount(), 3);
  // Literal white space becomes spaces; character references keep theirs.
  EXPECT_EQ(U8(r->GetChild(0)->GetValue()), "x\ty  z q");
  EXPECT_EQ(U8(r->GetChild(1)->GetValue()), "1 2\n3");
  EXPECT_EQ(U8(r->GetChild(2)->GetValue()), "plain");
  EXPECT_FALSE(r->GetChild(2)->HasOwnValue());
}

// A reference, a CR or a tab is found wherever it stands in a text or an
// attribute value: the values are scanned a block of units at a time, so the
// table puts each one at the start, on both sides of a block's end and in the
// tail after the last whole block.
TEST(TreeContext, FindsReferencesAndLineEndsAtEveryPlace) {
  struct Case {
    std::u16string written;  // put at `at` in a run of 'x'
    std::string shown;       // what the view shows in its place
  };
  const Case cases[] = {{u"&e;", "E"}, {u"\r\n", "\n"}, {u"\r", "\n"}, {u"&#13;", "\r"}, {u"\t", "\t"}};
  // Texts of every length up to 28 units: short ones, and the parts of
  // longer ones past their last whole block of eight, are read otherwise.
  for (int length : {0, 1, 2, 3, 4, 5, 8, 11, 16, 23}) {
    for (int at = 0; at <= length; ++at) {
      for (const Case& c : cases) {
        std::u16string before(at, u'x');
        std::u16string after(length - at, u'y');
        std::u16string value = before + c.written + after;
        std::u16string text = u"<r a='" + value + u"'>" + value + u"<i>" + value + u"</i></r>";
        auto doc = Parse(text.c_str());
        ASSERT_TRUE(doc);
        KTXPathTreeContext context;
        FakeSchema schema;
        schema.expand = [](const char16_t* t) {
          KTString s(t);
          s.Replace(u"&e;", u"E");
          return s;
        };
        auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
        const std::string expect = std::string(at, 'x') + c.shown + std::string(length - at, 'y');
        // An attribute value turns each white-space character into a space
        // (XML 1.0 §3.3.3); a character reference keeps what it names.
        std::string attribute = expect;
        if (c.written != u"&#13;") {
          for (char& ch : attribute)
            if (ch == '\t' || ch == '\n') ch = ' ';
        }
        if (c.written == u"&#13;") attribute = std::string(at, 'x') + "\r" + std::string(length - at, 'y');
        const std::string where = "case " + U8(c.written.c_str()) + " at " + std::to_string(at) + " of " +
                                  std::to_string(length);
        KTXPathNode* r = view->GetChild(0);
        ASSERT_EQ(r->GetChildCount(), 3) << where;
        EXPECT_EQ(U8(r->GetChild(0)->GetValue()), attribute) << where;
        EXPECT_EQ(U8(r->GetChild(1)->GetValue()), expect) << where;
        EXPECT_EQ(U8(r->GetChild(2)->GetChild(0)->GetValue()), expect) << where;
      }
    }
  }
}

// A namespace declaration written with an entity reference declares the
// expanded text.
TEST(TreeContext, ExpandsEntitiesInNamespaceDeclarations) {
  auto doc = Parse(u"<p:r xmlns:p='&u;' xmlns='&u;'><e/></p:r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  schema.expand = [](const char16_t* t) {
    KTString s(t);
    s.Replace(u"&u;", u"urn:x");
    return s;
  };
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  KTXPathNode* r = view->GetChild(0);
  ASSERT_TRUE(r->GetNamespaceUri());
  EXPECT_EQ(U8(r->GetNamespaceUri()->c_str()), "urn:x");
  KTXPathNode* e = r->GetChild(r->GetChildCount() - 1);
  ASSERT_EQ(e->GetKind(), kXPathElement);
  ASSERT_TRUE(e->GetNamespaceUri());
  EXPECT_EQ(U8(e->GetNamespaceUri()->c_str()), "urn:x");
}

TEST(TreeContext, RefusesEntityCyclesAndDeepNesting) {
  KTXPathTreeContext context;
  {
    // An entity whose text leads back to itself.
    auto doc = Parse(u"<r>&e;</r>");
    FakeSchema schema;
    schema.expand = [](const char16_t* t) {
      KTString s(t);
      s.Replace(u"&e;", u"<b>&e;</b>");
      return s;
    };
    auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
    EXPECT_EQ(Picture(view.get()), "/(er(eb(t=&e;)))");
    EXPECT_EQ(schema.problems, std::vector<int>{7524});
  }
  {
    // Each level different, nesting without end: stopped by depth.
    auto doc = Parse(u"<r>&e;</r>");
    FakeSchema schema;
    int level = 0;
    schema.expand = [&level](const char16_t* t) {
      KTString s(t);
      KTString replacement;
      replacement.Format(u"<b>%d&e;</b>", ++level);
      s.Replace(u"&e;", replacement);
      return s;
    };
    auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
    int depth = 0;
    for (KTXPathNode* n = view->GetChild(0); n->GetChildCount(); n = n->GetChild(n->GetChildCount() - 1)) ++depth;
    EXPECT_EQ(depth, KTXPathTreeContext::kMaxEntitySpliceDepth + 1);
    EXPECT_EQ(schema.problems, std::vector<int>{7524});
  }
  {
    // Each fragment itself deep: stopped by the depth of the view.
    auto doc = Parse(u"<r>&e;</r>");
    FakeSchema schema;
    int level = 0;
    schema.expand = [&level](const char16_t*) {
      KTString s;
      s.Format(u"%d", ++level);
      for (int i = 0; i < 1500; ++i) s += u"<a>";
      s += u"&e;";
      for (int i = 0; i < 1500; ++i) s += u"</a>";
      return s;
    };
    auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
    int depth = 0;
    for (KTXPathNode* n = view->GetChild(0); n->GetChildCount(); n = n->GetChild(n->GetChildCount() - 1)) ++depth;
    EXPECT_GE(depth, KTXPathTreeContext::kMaxSpliceWrapDepth);
    EXPECT_LT(depth, KTXPathTreeContext::kMaxSpliceWrapDepth + 1600);
    EXPECT_EQ(schema.problems, std::vector<int>{7524});
  }
}

TEST(TreeContext, WrapsDocumentsAsDeepAsTheParserAllows) {
  constexpr int kDepth = 1600;  // near the parser's nesting limit
  std::u16string text;
  for (int i = 0; i < kDepth; ++i) text += u"<a>";
  text += u"&e;";
  for (int i = 0; i < kDepth; ++i) text += u"</a>";
  auto doc = Parse(text.c_str());
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  FakeSchema schema;
  schema.expand = [](const char16_t*) { return KTString(u"<b><c/></b>"); };
  auto view = context.WrapTree(doc.get(), &schema, true, nullptr);
  int depth = 0;
  for (KTXPathNode* n = view.get(); n->GetChildCount(); n = n->GetChild(0)) ++depth;
  EXPECT_EQ(depth, kDepth + 2);  // the fragment spliced at the bottom
}

TEST(TreeContext, NamespaceScopes) {
  auto doc = Parse(u"<a xmlns:p='urn:1' xmlns='urn:d'><b xmlns:p='urn:2'><c/></b><z xmlns:p='urn:3'/></a>");
  ASSERT_TRUE(doc);
  KTXNode* a = doc->GetFirstChild();
  while (a->GetKind() != kElement) a = a->GetNextSibling();
  KTChildIterator it;
  a->FirstChildOfKind(it, kElement);
  KTXNode* b = it.Node();
  b->FirstChildOfKind(it, kElement);
  KTXNode* c = it.Node();
  KTXPathTreeContext context;
  const KTPrefixMap& scope = context.GetNamespaceScope(c);
  ASSERT_EQ(scope.size(), 3u);
  EXPECT_EQ(U8(*scope.at(KTString(u"p"))), "urn:2");
  EXPECT_EQ(U8(*scope.at(KTString(u""))), "urn:d");
  EXPECT_EQ(scope.at(KTString(u"xml")), context.GetUriTable()[0].get());
  EXPECT_EQ(&context.GetNamespaceScope(c), &scope);

  EXPECT_TRUE(context.BuildNamespaceScopes(doc.get()));
  const KTPrefixMap& all = context.GetNamespaceScope(doc.get());
  EXPECT_EQ(U8(*all.at(KTString(u"p"))), "urn:3");  // the last declaration of a prefix wins
  context.ClearNamespaceScopes();
  EXPECT_EQ(context.GetNamespaceScope(doc.get()).size(), 1u);
}

}  // namespace

namespace {

// Attributes shown from their element's pending block: the wrap makes no
// attribute node, and asking a view for its document node makes them all
// (fields as the loader gives them) while every view of the block, and a
// copy of one, still reads its own entry.
TEST(TreeContext, ShowsAttributesFromThePendingBlockUntilANodeIsAsked) {
  auto doc = Parse(u"<r><a x='1' y='22'><b/></a></r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  auto view = context.WrapTree(doc.get(), nullptr, false, nullptr);
  EXPECT_EQ(Picture(view.get()), "/(er(ea(ax=1 ay=22 eb)))");
  KTXNode* r = doc->GetFirstMadeChild();
  auto* a = static_cast<KTXContainerNode*>(r->GetFirstMadeChild());
  ASSERT_NE(a->GetPendingAttributes(), nullptr);
  KTXPathNode* aView = view->GetChild(0)->GetChild(0);
  KTXPathNode* x = aView->GetChild(0);
  KTXPathNode* y = aView->GetChild(1);
  auto copyOwned = std::make_unique<KTXPathNode>(*y, false, nullptr);
  KTXPathNode& copy = *copyOwned;
  KTXNode* yNode = y->GetXNode();
  EXPECT_EQ(a->GetPendingAttributes(), nullptr);
  ASSERT_NE(yNode, nullptr);
  EXPECT_EQ(yNode->GetKind(), kAttribute);
  EXPECT_EQ(U8(yNode->GetName()), "y");
  EXPECT_EQ(U8(yNode->GetValue()), "22");
  EXPECT_EQ(yNode->GetParent(), a);
  EXPECT_EQ(yNode->GetStartOffset(), 12);
  EXPECT_EQ(x->GetXNode(), a->GetFirstChild());
  EXPECT_EQ(a->GetFirstChild()->GetNextSibling(), yNode);
  EXPECT_EQ(a->GetChildCount(), 3);
  EXPECT_EQ(U8(x->GetValue()), "1");
  EXPECT_EQ(U8(copy.GetName()), "y");
  EXPECT_EQ(U8(copy.GetValue()), "22");
  EXPECT_EQ(copy.GetXNode(), yNode);
}

// A wrapped document's texts and shown attributes are made as leaves,
// without room for children or maps: a leaf refuses a child and leaves
// the tree as it was, while its copies and every other node take children.
TEST(TreeContext, TextsAndShownAttributesAreLeaves) {
  auto doc = Parse(u"<r a='1' b='&amp;'>t<e>u</e>&amp;v<!--c--><f x='2'/></r>");
  ASSERT_TRUE(doc);
  KTXPathTreeContext context;
  auto view = context.WrapTree(doc.get(), nullptr, false, nullptr);
  const std::string picture = Picture(view.get());
  EXPECT_EQ(picture, "/(er(aa=1 ab=&amp; t=t ee(t=u) t=&amp;v x ef(ax=2)))");
  int leaves = 0;
  for (KTXPathNode* n = view.get(); n; n = n->NextInDocumentOrder(true)) {
    const int kind = n->GetKind();
    const bool expected = kind == kXPathText || kind == kXPathAttribute;
    EXPECT_EQ(n->IsLeaf(), expected) << "kind " << kind << " at " << n->GetPosition();
    if (!n->IsLeaf()) continue;
    ++leaves;
    EXPECT_EQ(n->GetChildCount(), 0);
    EXPECT_EQ(n->Children().begin(), n->Children().end());
    EXPECT_EQ(n->OwnElementMap(), nullptr);
    EXPECT_FALSE(n->OwnsMaps());
    EXPECT_TRUE(n->ReleaseChildren().empty());
    EXPECT_THROW(n->SetMaps(std::make_shared<KTPrefixMap>(), nullptr), KTXTreeException);
    EXPECT_EQ(n->OwnElementMap(), nullptr);
    auto child = std::make_unique<KTXPathNode>(nullptr, kXPathText);
    EXPECT_THROW(n->AppendChild(std::move(child)), KTXTreeException);
    EXPECT_THROW(n->InsertChild(0, std::make_unique<KTXPathNode>(nullptr, kXPathText)), KTXTreeException);
    // A copy is a whole node: it takes a child.
    auto copy = std::make_unique<KTXPathNode>(*n, true, nullptr);
    EXPECT_FALSE(copy->IsLeaf());
    EXPECT_EQ(U8(copy->GetValue()), U8(n->GetValue()));
    if (kind == kXPathAttribute) copy->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathText));
    if (kind == kXPathText) copy->AppendChild(std::make_unique<KTXPathNode>(nullptr, kXPathComment));
    EXPECT_EQ(copy->GetChildCount(), 1);
  }
  EXPECT_EQ(leaves, 6);
  EXPECT_EQ(Picture(view.get()), picture);
  // Namespaces still resolve through a leaf's parents.
  auto nsDoc = Parse(u"<p:r xmlns:p='urn:p' p:a='1'>t</p:r>");
  ASSERT_TRUE(nsDoc);
  auto nsView = context.WrapTree(nsDoc.get(), nullptr, false, nullptr);
  KTXPathNode* r = nsView->GetChild(0);
  KTXPathNode* text = r->GetChild(r->GetChildCount() - 1);
  ASSERT_EQ(text->GetKind(), kXPathText);
  EXPECT_TRUE(text->IsLeaf());
  EXPECT_EQ(text->GetElementNamespaceMap(), r->GetElementNamespaceMap());
  EXPECT_EQ(Uri(r), "urn:p");
}

}  // namespace
