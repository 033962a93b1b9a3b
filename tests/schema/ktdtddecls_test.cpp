// Element and attribute-list declarations of DTDs: content models, the
// attribute declarations and the defaults they give documents, compared
// with xmllint on real DTDs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ktschematest_util.h"
#include "schema/ktdtdwalker.h"

namespace {

namespace fs = std::filesystem;

std::string Text(const KTString& s) { return KTUtf16ToUtf8(s.View()); }
std::string Text(const char16_t* s) { return KTUtf16ToUtf8(s ? s : u""); }

// Every element of the view in document order as
// "name{namespace}[a=1 b=2]", attributes sorted by name.
std::string AttributeOutline(const KTXPathNode* root) {
  std::string out;
  for (const KTXPathNode* n = root; n; n = n->NextInDocumentOrder(true)) {
    if (n->GetKind() != kXPathElement) continue;
    std::vector<std::string> attributes;
    for (int i = 0; i < n->GetChildCount(); ++i) {
      const KTXPathNode* a = n->GetChild(i);
      if (a->GetKind() == kXPathAttribute) attributes.push_back(Text(a->GetName()) + "=" + Text(a->GetValue()));
    }
    std::sort(attributes.begin(), attributes.end());
    const KTString* uri = n->GetNamespaceUri();
    out.append(Text(n->GetName())).append("{").append(uri ? Text(*uri) : "").append("}[");
    for (size_t i = 0; i < attributes.size(); ++i) out.append(i ? " " : "").append(attributes[i]);
    out += "]\n";
  }
  return out;
}

// A DTD text in a file of its own, walked into a fresh model.
struct DtdFile {
  Wrapped w;
  std::unique_ptr<KTSchemaModel> model;
  bool Load(const std::string& dtd, const std::string& name) {
    fs::path dir = OwnTempDir() / "dtddecls";
    fs::create_directories(dir);
    std::string path = (dir / name).string();
    std::ofstream(path) << dtd;
    KTLoadStatus status;
    w.document = w.manager.LoadDocument(KTString(std::u16string_view(KTUtf8ToUtf16(path))), status, nullptr, nullptr,
                                        nullptr, kNoGrammarId);
    if (!w.document) {
      ADD_FAILURE() << dtd << ": " << StatusMessage(status);
      return false;
    }
    model = std::make_unique<KTSchemaModel>(&w.manager);
    model->SetWarningStream(nullptr);
    model->LoadDtdPasses(w.document);
    return true;
  }
  KTElementType* Element(const char16_t* name) { return model->FindElement(KTQName(name, KTNamespaceId::None())); }
  // The kept problem, or else the first declaration warned about (7500:
  // neither): a validity problem is a warning and the walk goes on.
  int Problem() const {
    if (model->GetErrorId() != kSchemaNoError) return model->GetErrorId();
    const auto& warnings = model->GetDeclarationWarnings();
    return warnings.empty() ? kSchemaNoError : warnings.front().id;
  }
};

// The content model of an element type as text: "seq(b c{0,-1})" and so on.
std::string Model(KTElementType* t, int depth = 0) {
  if (!t) return "(none)";
  std::string out;
  if (t->IsEmpty()) out += "empty ";
  if (t->IsAny()) out += "any ";
  if (t->IsMixed()) out += "mixed ";
  if (t->IsTextOnly()) out += "text ";
  out += t->IsSequence() ? "seq(" : t->IsChoice() ? "choice(" : "(";
  bool first = true;
  for (KTParticle& p : t->GetParticles()) {
    if (!first) out += " ";
    first = false;
    if (p.child->IsGroup()) {
      out.append(depth < 8 ? Model(p.child, depth + 1) : std::string("..."));
    } else {
      out += Text(p.child->GetName().localName);
    }
    if (p.minOccurs != 1 || p.maxOccurs != 1) {
      out.append("{").append(std::to_string(p.minOccurs)).append(",").append(std::to_string(p.maxOccurs)).append("}");
    }
  }
  return out + ")";
}

// Every particle names the element type the model holds for that name,
// however often the name is met: in one pass, and in a second pass that
// declares every element type anew (a reference to an entity declared
// later), whose particles must not name the types of the first.
TEST(DtdDeclarations, ParticlesNameTheElementTypesOfTheModel) {
  const char* dtds[] = {
      "<!ELEMENT a (b, c, (b | c)*)>\n<!ELEMENT b (c?)>\n<!ELEMENT z (a, b, c)>",
      "<!ELEMENT a (b, c, (b | c)*)>\n<!ELEMENT b (c?)>\n<!ELEMENT z (a, b, %later;)>\n<!ENTITY % later 'c'>",
      "<!ENTITY % x ''>\n<!ELEMENT a %x; (b, c)*>\n<!ELEMENT y %x; (b, c)*>\n<!ELEMENT z %x; (a | %later;)>\n"
      "<!ENTITY % later 'y'>",
  };
  int n = 0;
  for (const char* dtd : dtds) {
    DtdFile f;
    ASSERT_TRUE(f.Load(dtd, "particles" + std::to_string(n++) + ".dtd"));
    int particles = 0;
    std::vector<KTElementType*> work;
    for (auto& [name, type] : f.model->Elements()) work.push_back(type.get());
    while (!work.empty()) {
      KTElementType* t = work.back();
      work.pop_back();
      for (KTParticle& p : t->GetParticles()) {
        if (p.child->IsGroup()) {
          work.push_back(p.child);
          continue;
        }
        ++particles;
        EXPECT_EQ(p.child, f.Element(p.child->GetName().localName.c_str()))
            << dtd << ": " << Text(p.child->GetName().localName);
      }
    }
    EXPECT_GE(particles, 5) << dtd;
  }
}

TEST(DtdDeclarations, ContentModels) {
  struct Case {
    const char* dtd;
    const char16_t* element;
    const char* model;
    int problem;
  } cases[] = {
      {"<!ELEMENT a (b, c)>", u"a", "seq(b c)", 7500},
      {"<!ELEMENT a (b, c)*>", u"a", "seq(seq(b c){0,-1})", 7500},
      {"<!ELEMENT a (b | (c, d)+)>", u"a", "choice(b seq(c d){1,-1})", 7500},
      {"<!ELEMENT a (#PCDATA | b)*>", u"a", "mixed (b)", 7500},
      {"<!ELEMENT a EMPTY>", u"a", "empty ()", 7500},
      {"<!ELEMENT a ANY>", u"a", "any mixed ()", 7500},
      {"<!ELEMENT a (#PCDATA)>", u"a", "text ()", 7500},
      {"<!ELEMENT a (b?, c+, d*)>", u"a", "seq(b{0,1} c{1,-1} d{0,-1})", 7500},
      {"<!ENTITY % e 'EMPTY'><!ELEMENT a %e;>", u"a", "empty ()", 7500},
      {"<!ENTITY % bc 'b | c'><!ELEMENT a (%bc; | d)>", u"a", "choice(b c d)", 7500},
      {"<!ENTITY % m '(#PCDATA | b)*'><!ELEMENT a %m;>", u"a", "mixed (b)", 7500},
      {"<!ENTITY % n 'a'><!ELEMENT %n; (b)>", u"a", "seq(b)", 7500},
      {"<!ENTITY % x ''><!ELEMENT a %x; (b, %bc;)><!ENTITY % bc 'c'>", u"a", "seq(b c)", 7500},
      // Declarations whose references expand to the same content model
      // each get it whole, however the first one was read.
      {"<!ENTITY % x ''><!ENTITY % m '#PCDATA | b'><!ELEMENT a %x; (%m;)*><!ELEMENT z %x; (%m;)*>", u"z",
       "mixed (b)", 7500},
      {"<!ENTITY % x ''><!ELEMENT a %x; (b, c)*><!ELEMENT z %x; (b, c)*>", u"z", "seq(seq(b c){0,-1})", 7500},
      {"<!ENTITY % x ''><!ELEMENT a %x; (b | (c, d)+)><!ELEMENT z %x; (b | (c, d)+)><!ELEMENT y %x; (b | (c, d)+)>",
       u"y", "choice(b seq(c d){1,-1})", 7500},
      {"<!ELEMENT a %x; (b, %bc;)><!ELEMENT z %x; (b, %bc;)><!ENTITY % x ''><!ENTITY % bc 'c'>", u"z", "seq(b c)",
       7500},
      {"<!ENTITY % x ''><!ELEMENT a %x; (b)><!ELEMENT a %x; (b)><!ELEMENT z %x; (b)>", u"z", "seq(b)", 7512},
      {"<!ELEMENT a (b)><!ELEMENT a (c)>", u"a", "seq(b)", 7512},
      // The declarations after one declared twice are still read.
      {"<!ELEMENT a (b)><!ELEMENT a (c)><!ELEMENT a EMPTY><!ELEMENT z (b)>", u"z", "seq(b)", 7512},
      {"<!ATTLIST a x CDATA #IMPLIED><!ELEMENT a (b)>", u"a", "seq(b)", 7500},
      {"<!ENTITY % n 'a b'><!ELEMENT %n; (b)>", u"a", "(none)", 7523},
      {"<!ELEMENT a (b, %never;)>", u"a", "seq(b)", 7522},
      {"<!ENTITY % g '(c, d)'><!ELEMENT a (#PCDATA | b | %g;)*>", u"a", "mixed (b)", 7510},
      // Each reference between declarations stands for whole declarations
      // (WFC: PE Between Declarations): joined values that would form one
      // declaration are refused; a reference inside such a value is followed.
      {"<!ENTITY % p '<!ELEMENT a '><!ENTITY % q 'ANY>'>%p;%q;", u"a", "(none)", 7523},
      {"<!ENTITY % p '<!ELEMENT a ANY>'><!ENTITY % q '&#37;p;'>%p;%q;", u"a", "any mixed ()", 7512},
      // Parameter entities that lead back to themselves are refused.
      {"<!ENTITY % g '(x, &#37;g;)'><!ELEMENT a %g;>", u"a", "seq(x)", 7523},
      {"<!ENTITY % g 'x | &#37;g;'><!ELEMENT a (%g;)>", u"a", "choice(x)", 7523},
  };
  int n = 0;
  for (const Case& c : cases) {
    DtdFile f;
    ASSERT_TRUE(f.Load(c.dtd, "model" + std::to_string(n++) + ".dtd"));
    EXPECT_EQ(Model(f.Element(c.element)), c.model) << c.dtd;
    EXPECT_EQ(f.Problem(), c.problem) << c.dtd;
  }
  // Names of a content model exist as declarations whose parent is the type.
  DtdFile f;
  ASSERT_TRUE(f.Load("<!ELEMENT a (b, c)>", "parents.dtd"));
  ASSERT_NE(f.Element(u"b"), nullptr);
  EXPECT_EQ(f.Element(u"b")->GetParent(), f.Element(u"a"));
}

TEST(DtdDeclarations, AttributeLists) {
  struct Case {
    const char* dtd;
    const char* attributes;  // name:default, in list order
    int problem;
  } cases[] = {
      {"<!ATTLIST e a CDATA #IMPLIED b CDATA 'x'>", "a: b:x", 7500},
      {"<!ATTLIST e a CDATA 'first'><!ATTLIST e a CDATA 'second'>", "a:first", 7500},
      // Validity problems warn; the declaration and those after it count.
      {"<!ATTLIST e a (x|y) 'z'><!ATTLIST e b CDATA 'after'>", "a:z b:after", 7569},
      {"<!ATTLIST e i ID #FIXED 'v' b CDATA 'after'>", "i:v b:after", 7527},
      {"<!ATTLIST e i ID #IMPLIED j ID #IMPLIED b CDATA 'after'>", "i: j: b:after", 7526},
      {"<!ATTLIST e n NOTATION (gif) #IMPLIED b CDATA 'after'>", "n: b:after", 7584},
      {"<!ATTLIST e n NOTATION (gif) #IMPLIED><!NOTATION gif SYSTEM 'gif'>", "n:", 7500},
      {"<!ENTITY % t 'NMTOKENS'><!ATTLIST e a %t; ' x  y '>", "a:x y", 7500},
      {"<!ENTITY % defs 'a CDATA \"1\" b CDATA \"2\"'><!ATTLIST e %defs; c CDATA '3'>", "a:1 b:2 c:3", 7500},
      {"<!ENTITY % rest 'CDATA \"r\"'><!ATTLIST e a %rest;>", "a:r", 7500},
      {"<!ENTITY % en 'e'><!ATTLIST %en; a CDATA 'v'>", "a:v", 7500},
      {"<!ATTLIST e a CDATA 'tab\tand&#x20;ref &amp; &lt;'>", "a:tab and ref & <", 7500},
      {"<!ATTLIST e a (x|y) 'y'>", "a:y", 7500},
      // References inside entity values expand to any depth (XML 1.0 §4.4.5);
      // a recursive entity ends with a problem.
      {"<!ENTITY a 'x'><!ENTITY b '[&a;]'><!ENTITY c '&b;&#38;#60;&b;'><!ATTLIST e a CDATA '&b;' b CDATA '&c;'>",
       "a:[x] b:[x]<[x]", 7500},
      {"<!ENTITY a '(&b;)'><!ENTITY b '&a;'><!ATTLIST e a CDATA '&a;'>", "a:(&a;", 7524},
      {"<!ENTITY % d 'a CDATA \"x\" &#37;d;'><!ATTLIST e %d;>", "a:x", 7523},
  };
  int n = 0;
  for (const Case& c : cases) {
    DtdFile f;
    ASSERT_TRUE(f.Load(c.dtd, "attlist" + std::to_string(n++) + ".dtd"));
    KTElementType* e = f.Element(u"e");
    ASSERT_NE(e, nullptr) << c.dtd;
    std::string list;
    for (const KTAttributeDecl& a : e->GetAttributeList()) {
      list.append(list.empty() ? "" : " ").append(Text(a.name.localName)).append(":").append(Text(a.defaultText));
    }
    EXPECT_EQ(list, c.attributes) << c.dtd;
    EXPECT_EQ(f.Problem(), c.problem) << c.dtd;
  }
  DtdFile f;
  ASSERT_TRUE(f.Load("<!ENTITY % t 'NMTOKENS'><!ATTLIST e a %t; #IMPLIED b (x|y) #REQUIRED>", "flags.dtd"));
  const KTAttributeDecl* a = f.Element(u"e")->FindAttribute(KTQName(u"a", KTNamespaceId::None()));
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->nmtokens && a->implied);
  const KTAttributeDecl* b = f.Element(u"e")->FindAttribute(KTQName(u"b", KTNamespaceId::None()));
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(b->enumerated && b->required);
  EXPECT_EQ(b->enumeratedValues.size(), 2u);
}

// Many definitions of one element: the first of each name stays binding and
// a second ID is still warned about, found without a search of the element's list
// per definition (a list search made this quadratic in the definitions).
TEST(DtdDeclarations, ManyDefinitionsOfOneElement) {
  constexpr int kCount = 20000;
  std::string dtd = "<!ATTLIST e id ID #IMPLIED>\n";
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < kCount; ++i) {
      dtd += "<!ATTLIST e a" + std::to_string(i) + " CDATA '" + (round ? "later" : std::to_string(i)) + "'>\n";
    }
  }
  DtdFile f;
  ASSERT_TRUE(f.Load(dtd, "many.dtd"));
  EXPECT_EQ(f.Problem(), 7500);
  KTElementType* e = f.Element(u"e");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->GetAttributeList().size(), static_cast<size_t>(kCount + 1));
  EXPECT_EQ(Text(e->GetAttributeList().back().defaultText), std::to_string(kCount - 1));

  DtdFile second;
  ASSERT_TRUE(second.Load(dtd + "<!ATTLIST e id ID #REQUIRED other ID #IMPLIED>", "many-ids.dtd"));
  EXPECT_EQ(second.Problem(), 7526);
}

// Many defaults on one element: each appears once, in declaration order
// after the element's own attributes, and an attribute given in the document
// wins; no scan of the defaults already added per default.
TEST(DtdDeclarations, ManyDefaultsOnOneElement) {
  constexpr int kCount = 20000;
  std::u16string text = u"<!DOCTYPE r [";
  for (int i = 0; i < kCount; ++i) {
    text += KTUtf8ToUtf16("<!ATTLIST r a" + std::to_string(i) + " CDATA 'd" + std::to_string(i) + "'>");
  }
  text += u"]><r a5='own'/>";
  Wrapped w;
  ASSERT_TRUE(w.FromText(text.c_str()));
  KTXPathNode* r = w.Root();
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->GetChildCount(), kCount);
  EXPECT_EQ(Text(r->GetChild(0)->GetName()), "a5");
  EXPECT_EQ(Text(r->GetChild(0)->GetValue()), "own");
  EXPECT_EQ(Text(r->GetChild(1)->GetName()), "a0");
  EXPECT_EQ(Text(r->GetChild(kCount - 1)->GetName()), "a" + std::to_string(kCount - 1));
  EXPECT_EQ(Text(r->GetChild(kCount - 1)->GetValue()), "d" + std::to_string(kCount - 1));
}

// Parameter entities whose values name the one below twice (through
// character references, so nothing is expanded when they are declared) end
// with a problem instead of an exponential reading.
TEST(DtdDeclarations, DoublingParameterEntitiesEndWithAProblem) {
  std::string groups = "<!ENTITY % g0 'x'>", definitions = "<!ENTITY % d0 'a CDATA \"v\"'>";
  for (int i = 1; i <= 40; ++i) {
    std::string below = std::to_string(i - 1);
    groups += "<!ENTITY % g" + std::to_string(i) + " '&#37;g" + below + "; | &#37;g" + below + ";'>";
    definitions += "<!ENTITY % d" + std::to_string(i) + " '&#37;d" + below + "; &#37;d" + below + ";'>";
  }
  struct Case {
    std::string dtd;
  } cases[] = {{groups + "<!ELEMENT e (%g40;)>"}, {definitions + "<!ATTLIST e %d40;>"}};
  int n = 0;
  for (const Case& c : cases) {
    DtdFile f;
    ASSERT_TRUE(f.Load(c.dtd, "doubling" + std::to_string(n++) + ".dtd"));
    EXPECT_EQ(f.model->GetErrorId(), 7524) << c.dtd.substr(0, 60);
  }
}

// General entities that multiply their text inside an attribute default stop
// at the document's expansion budget with a problem.
TEST(DtdDeclarations, ExplodingEntityInADefaultEndsWithAProblem) {
  std::string dtd = "<!ENTITY l0 'lol'>";
  for (int i = 1; i <= 9; ++i) {
    std::string below = "&l" + std::to_string(i - 1) + ";";
    dtd += "<!ENTITY l" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) dtd += below;
    dtd += "'>";
  }
  dtd += "<!ATTLIST e a CDATA '&l9;'>";
  DtdFile f;
  ASSERT_TRUE(f.Load(dtd, "exploding.dtd"));
  EXPECT_EQ(f.model->GetErrorId(), 7524);
  KTElementType* e = f.Element(u"e");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(e->GetAttributeList().size(), 1u);
  EXPECT_LE(e->GetAttributeList().back().defaultText.GetLength(), f.model->GetExpansionBudget());
}

TEST(DtdDeclarations, DocumentsGetTheirDefaults) {
  struct Case {
    const char* file;
    const char* outline;
  } cases[] = {
      // External default; the internal subset's declaration wins; ANY still
      // gives a declared child its defaults; #FIXED; a prefixed name as
      // written; a defaulted xmlns binds the element's namespace.
      {"defaults.xml",
       "r{}[]\nitem{}[kind=plain]\nspecial{}[kind=own]\nwrap{}[fixed=always kind=inner]\nitem{}[kind=plain]\n"
       "x:item{urn:x}[k=a]\nitem{}[kind=given]\nns{urn:default}[]\nin{urn:default}[]\n"},
  };
  for (const Case& c : cases) {
    Wrapped w;
    ASSERT_TRUE(w.FromFile(kData + c.file));
    EXPECT_EQ(AttributeOutline(w.Root()), c.outline) << c.file;
    EXPECT_EQ(w.model->GetErrorId(), 7500) << c.file;
  }
}

// The view's elements and attributes against xmllint's --dtdattr output of
// the same document, read without its DTD.
void CompareWithXmllint(const std::string& path) {
  std::string reference = (OwnTempDir() / "dtdattr-reference.xml").string();
  std::string command = "xmllint --nonet --noent --dtdattr --dropdtd --output '" + reference + "' '" + path + "' 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  Wrapped expected;
  ASSERT_TRUE(expected.FromFile(reference));
  Wrapped actual;
  ASSERT_TRUE(actual.FromFile(path));
  EXPECT_EQ(AttributeOutline(actual.Root()), AttributeOutline(expected.Root())) << path;
  EXPECT_EQ(actual.model->GetErrorId(), 7500) << path;
  EXPECT_FALSE(actual.model->Elements().empty()) << path;
}

TEST(DtdDeclarations, InstalledDocumentsGetTheDefaultsXmllintGives) {
  // Internal subsets of real documents; freedesktop.org.xml's DTD binds the
  // default namespace through a #FIXED xmlns default.
  int tested = 0;
  for (const char* path : {"/usr/share/mime/packages/freedesktop.org.xml", "/usr/share/xml/iso-codes/iso_3166-1.xml"}) {
    if (!fs::exists(path)) continue;
    ++tested;
    CompareWithXmllint(path);
  }
  if (tested == 0) GTEST_SKIP() << "neither shared-mime-info nor iso-codes is installed";
}

TEST(DtdDeclarations, DocBookArticleGetsTheDefaultsXmllintGives) {
  const char* dtd = "/usr/share/xml/docbook/schema/dtd/4.5/docbookx.dtd";
  if (!fs::exists(dtd)) GTEST_SKIP() << "docbook-xml is not installed";
  fs::path dir = OwnTempDir() / "docbook";
  fs::create_directories(dir);
  std::string path = (dir / "article.xml").string();
  std::ofstream(path) << "<?xml version='1.0'?>\n"
                         "<!DOCTYPE article PUBLIC '-//OASIS//DTD DocBook XML V4.5//EN' '"
                      << dtd
                      << "'>\n"
                         "<article lang='en'><title>A small article</title>\n"
                         "<section id='s1'><title>One</title>\n"
                         "<para>Text with <emphasis>stress</emphasis>, a <ulink url='http://x/'>link</ulink> "
                         "and &mdash; an entity.</para>\n"
                         "<programlisting>code</programlisting><literallayout>lines</literallayout>\n"
                         "<orderedlist><listitem><para>item</para></listitem></orderedlist>\n"
                         "<table frame='all'><title>T</title><tgroup cols='1'><tbody><row><entry>e</entry></row>"
                         "</tbody></tgroup></table>\n"
                         "<screen>s</screen><address>a</address><synopsis>x</synopsis>\n"
                         "</section></article>\n";
  CompareWithXmllint(path);
}

// Sections nested in included ones, each body parsed without its nested
// sections, including bodies where "<![" and "]]>" stand in a comment, a
// literal or a processing instruction and the whole body is read instead.
TEST(DtdDeclarations, NestedSectionsGiveTheDefaultsXmllintGives) {
  fs::path dir = OwnTempDir() / "nested-sections";
  fs::create_directories(dir);
  std::ofstream((dir / "nested.dtd").string()) << "<!ENTITY % on \"INCLUDE\">\n<!ENTITY % off \"IGNORE\">\n"
                                                  "<!ELEMENT doc (a*)>\n<!ELEMENT a (#PCDATA)>\n"
                                                  "<![ %on; [\n  <!ATTLIST a before CDATA \"before\">\n"
                                                  "  <![%off;[ <!ATTLIST a before CDATA \"ignored\"> junk <!ELEMENT ]]>\n"
                                                  "  <![\tINCLUDE\t[\n    <!ATTLIST a n1 CDATA \"nested\">\n"
                                                  "    <![%on;[<!ATTLIST a n2 CDATA \"deeper\">"
                                                  "<![INCLUDE[<!ATTLIST a n3 NMTOKENS \"  x   y \">]]>]]>\n"
                                                  "    <!ENTITY close \"]]]\">\n  ]]>\n"
                                                  "  <!ATTLIST a after CDATA \"after &close;\">\n]]>\n"
                                                  "<![INCLUDE[\n  <!-- a comment that holds <![ and ]]> -->\n"
                                                  "  <![INCLUDE[ <!ATTLIST a c1 CDATA \"comment\"> ]]>\n]]>\n"
                                                  "<![INCLUDE[\n  <!ENTITY lit \"<![CDATA[x]]>\">\n"
                                                  "  <![INCLUDE[ <!ATTLIST a l1 CDATA \"literal\"> ]]>\n]]>\n"
                                                  "<![INCLUDE[\n  <?pi <![ ]]> ?>\n"
                                                  "  <![INCLUDE[ <!ATTLIST a p1 CDATA \"pi\"> ]]>\n]]>\n";
  std::string path = (dir / "doc.xml").string();
  std::ofstream(path) << "<?xml version=\"1.0\"?>\n<!DOCTYPE doc SYSTEM \"nested.dtd\">\n"
                         "<doc><a>1</a><a n1=\"given\">2</a></doc>\n";
  CompareWithXmllint(path);
}

// The first definition of an attribute binds, whether it comes from a
// parameter entity of definitions, one of a type and default, or is
// written out; the ones after it are passed over, element by element.
TEST(DtdDeclarations, FirstAttributeDefinitionsGiveTheDefaultsXmllintGives) {
  fs::path dir = OwnTempDir() / "first-definitions";
  fs::create_directories(dir);
  std::ofstream((dir / "first.dtd").string())
      << "<!ENTITY % common \"id ID #IMPLIED role CDATA 'common'\">\n<!ENTITY % typed \"CDATA 'typed'\">\n"
         "<!ELEMENT doc (a|b)*>\n<!ELEMENT a EMPTY>\n<!ELEMENT b EMPTY>\n"
         "<!ATTLIST a %common; kind CDATA 'a1'>\n<!ATTLIST a role CDATA 'again' kind CDATA 'a2' more CDATA 'm'>\n"
         "<!ATTLIST b kind CDATA 'b1' %common;>\n<!ATTLIST b t1 %typed; role CDATA 'late'>\n"
         "<!ATTLIST b t1 CDATA 'second' t2 %typed;>\n";
  std::string path = (dir / "doc.xml").string();
  std::ofstream(path) << "<?xml version=\"1.0\"?>\n<!DOCTYPE doc SYSTEM \"first.dtd\">\n"
                         "<doc><a/><b/><a role=\"given\"/></doc>\n";
  CompareWithXmllint(path);
}

// Entity values cut out of their declarations: quotes inside the literal,
// character references at its ends, parameter references inside it and
// around it, and entities that stand for a section keyword, an attribute
// type or an enumeration.
TEST(DtdDeclarations, EntityValuesGiveTheDefaultsXmllintGives) {
  fs::path dir = OwnTempDir() / "entity-values";
  fs::create_directories(dir);
  std::ofstream((dir / "values.dtd").string())
      << "<!ENTITY % sp \" \">\n<!ENTITY % kw \"INCLUDE\">\n<!ENTITY % tok \" CDATA \">\n"
         "<!ENTITY % kinds \"(one|two|three)\">\n<!ENTITY % name \"a\">\n"
         "<!ENTITY quoted '\"x\"'>\n<!ENTITY apos \"'\">\n<!ENTITY edge \"&#32;e&#32;\">\n"
         "<!ENTITY qref \"&#34;\">\n<!ENTITY viape \"a%sp;b\">\n<!ENTITY % both '\"'>\n"
         "<!ENTITY empty \"\">\n<!ENTITY first \"1\">\n<!ENTITY first \"2\">\n"
         "<!ELEMENT doc (a*)>\n<!ELEMENT a EMPTY>\n"
         "<![ %kw; [\n<!ATTLIST %name; q CDATA \"&quoted;\" p CDATA \"&apos;\" e CDATA \"[&edge;]\"\n"
         "  r CDATA \"&qref;\" v CDATA \"&viape;\" z CDATA \"[&empty;]\" f CDATA \"&first;\"\n"
         "  k %kinds; \"two\" t %tok; \"&edge;|\">\n]]>\n";
  std::string path = (dir / "doc.xml").string();
  std::ofstream(path) << "<?xml version=\"1.0\"?>\n<!DOCTYPE doc SYSTEM \"values.dtd\">\n"
                         "<doc><a/><a k=\"one\"/></doc>\n";
  CompareWithXmllint(path);
}

TEST(DtdDeclarations, XhtmlDocumentIsInTheXhtmlNamespaceThroughItsDtd) {
  fs::path lib = "/usr/share/xml/w3c-sgml-lib/schema/dtd";
  fs::path dtd = lib / "REC-xhtml1-20020801/xhtml1-transitional.dtd";
  if (!fs::exists(dtd)) GTEST_SKIP() << "w3c-sgml-lib is not installed";
  // The DTD with its three entity sets beside it.
  fs::path dir = OwnTempDir() / "xhtml";
  fs::create_directories(dir);
  fs::copy_file(dtd, dir / dtd.filename(), fs::copy_options::overwrite_existing);
  for (const char* set : {"xhtml-lat1.ent", "xhtml-special.ent", "xhtml-symbol.ent"}) {
    fs::copy_file(lib / "REC-xhtml-modularization-20100729" / set, dir / set, fs::copy_options::overwrite_existing);
  }
  std::string path = (dir / "page.xml").string();
  std::ofstream(path) << "<?xml version='1.0'?>\n"
                         "<!DOCTYPE html PUBLIC '-//W3C//DTD XHTML 1.0 Transitional//EN' '"
                      << (dir / dtd.filename()).string()
                      << "'>\n"
                         "<html><head><title>T&eacute;st</title><script>x()</script></head>\n"
                         "<body><p>Caf&eacute; &mdash; <a href='#x'>link</a></p>"
                         "<form action='f'><input type='text' name='n'/></form>\n"
                         "<table><tr><td>c</td></tr></table><br/><pre>p</pre></body></html>\n";
  CompareWithXmllint(path);
  Wrapped w;
  ASSERT_TRUE(w.FromFile(path));
  ASSERT_NE(w.Root(), nullptr);
  EXPECT_EQ(Text(w.Root()->GetName()), "html");
  ASSERT_NE(w.Root()->GetNamespaceUri(), nullptr);
  EXPECT_EQ(Text(*w.Root()->GetNamespaceUri()), "http://www.w3.org/1999/xhtml");
}

}  // namespace
