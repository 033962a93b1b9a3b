// The DTD walk: passes, parameter-entity references between declarations,
// conditional sections, the external subset, and hostile DTDs that must end
// with a recorded problem.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

#include "ktschematest_util.h"
#include "platform/ktworkcount.h"
#include "schema/ktdtdwalker.h"
#include "schema/ktschemaloader.h"
#include "xml/ktxdoctype.h"

namespace {

std::string Text(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

std::string EntityValue(KTSchemaModel& model, const char16_t* name) {
  KTEntityDecl* e = model.FindGeneralEntity(KTString(name));
  return e ? Text(e->value) : "(undeclared)";
}

// Writes `dtd` to `path` and loads it into `w` as an external subset; false
// (with the loader's message) when it does not load.
::testing::AssertionResult LoadDtdFile(Wrapped& w, const std::filesystem::path& path, const std::string& dtd) {
  std::ofstream(path.string()) << dtd;
  KTLoadStatus status;
  w.document = w.manager.LoadDocument(KTString(std::u16string_view(KTUtf8ToUtf16(path.string()))), status, nullptr,
                                      nullptr, nullptr, kNoGrammarId);
  if (w.document == nullptr) return ::testing::AssertionFailure() << StatusMessage(status);
  return ::testing::AssertionSuccess();
}

TEST(DtdWalker, InternalSubsetReadsParameterEntitiesInTwoPasses) {
  struct Case {
    const char16_t* text;
    const char* outline;
    int problem;
    bool refused;  // a fatal error of the document (XML 1.0 §5.1)
  } cases[] = {
      // A parameter entity that declares a general entity, used before its
      // own declaration (found on the second pass) and after it.
      {u"<!DOCTYPE r [%d;<!ENTITY % d \"<!ENTITY e 'E'>\">%d;]><r>&e;</r>", "[E]", 7500, false},
      // Two references in one text each stand for whole declarations: one
      // begun in the first and ended in the second is refused.
      {u"<!DOCTYPE r [<!ENTITY % a \"<!ENTITY e \"><!ENTITY % b \"'AB'>\">%a;%b;]><r>&e;</r>", "[&e;]", 7522, true},
      {u"<!DOCTYPE r [<!ENTITY % a \"<!ENTITY e 'A'>\"><!ENTITY % b \"<!ENTITY f 'B'>\">%a; %b;]><r>&e;&f;</r>", "[AB]",
       7500, false},
      // Never declared: the second pass records it.
      {u"<!DOCTYPE r [%nope;<!ENTITY e 'E'>]><r>&e;</r>", "[E]", 7522, false},
      // A parameter entity that reaches itself through character references.
      {u"<!DOCTYPE r [<!ENTITY % a '&#37;b;'><!ENTITY % b '&#37;a;'><!ENTITY e 'E'>%a;]><r>&e;</r>", "[E]", 7523, true},
      // A DOCTYPE without declarations is no fault.
      {u"<!DOCTYPE r><r>x</r>", "[x]", 7508, false},
  };
  for (const Case& c : cases) {
    Wrapped w;
    ASSERT_TRUE(w.FromText(c.text));
    EXPECT_EQ(Outline(w.Root()), c.outline) << Text(KTString(c.text));
    EXPECT_EQ(w.model->GetErrorId(), c.problem) << Text(KTString(c.text));
    EXPECT_EQ(w.model->GetSchemaKind(), kSchemaDtd);
    KTString why;
    EXPECT_EQ(w.model->DocumentRefused(why), c.refused) << Text(KTString(c.text)) << ": " << Text(why);
  }
}

TEST(DtdWalker, ExternalSubsetWithConditionalSections) {
  Wrapped w;
  ASSERT_TRUE(w.FromFile(kData + "sections.xml"));
  // Relative to the document; the sections' keywords come from parameter
  // entities; an ignored section nested in an included one stays ignored.
  EXPECT_EQ(Outline(w.Root()), "[included|nested]");
  EXPECT_EQ(w.model->GetErrorId(), 7500);
  EXPECT_TRUE(w.model->IsDoctypeSeen());
  EXPECT_EQ(Text(w.model->GetDoctypeName()), "r");
}

TEST(DtdWalker, InternalSubsetIsReadWhenTheExternalOneIsMissing) {
  Wrapped w;
  w.warnings = tmpfile();
  ASSERT_TRUE(w.FromFile(kData + "missing-subset.xml"));
  EXPECT_EQ(Outline(w.Root()), "[Offline: ]p([inside & ]i([out]))");
  EXPECT_EQ(w.model->GetErrorId(), 7509);
  EXPECT_EQ(Text(w.model->GetError().contextText), "dtd/no-such-subset.dtd");
  // One warning line names the document, the id and the context.
  rewind(w.warnings);
  char line[512] = {};
  ASSERT_NE(fgets(line, sizeof line, w.warnings), nullptr);
  std::string warning(line);
  EXPECT_NE(warning.find("7509"), std::string::npos) << warning;
  EXPECT_NE(warning.find("missing-subset.xml"), std::string::npos) << warning;
  EXPECT_NE(warning.find("dtd/no-such-subset.dtd"), std::string::npos) << warning;
  EXPECT_EQ(fgets(line, sizeof line, w.warnings), nullptr);
  fclose(w.warnings);
}

TEST(DtdWalker, LongDtdPathsAreNotCut) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-long";
  for (int i = 0; i < 6; ++i) dir /= std::string(60, static_cast<char>('a' + i));
  std::filesystem::create_directories(dir);
  std::ofstream((dir / "long.dtd").string()) << "<!ENTITY e 'far away'>";
  std::string path = (dir / "doc.xml").string();
  ASSERT_GT(path.size(), 300u);
  std::ofstream(path) << "<!DOCTYPE r SYSTEM '" << (dir / "long.dtd").string() << "'><r>&e;</r>";
  Wrapped w;
  ASSERT_TRUE(w.FromFile(path));
  EXPECT_EQ(Outline(w.Root()), "[far away]");
  EXPECT_EQ(w.model->GetErrorId(), 7500);
}

TEST(DtdWalker, ConditionalSectionKeywords) {
  // Conditional sections stand only in external DTDs: walk DTD texts parsed
  // in the DTD grammar.
  struct Case {
    const char* dtd;
    const char* e;
    int problem;
  } cases[] = {
      {"<![INCLUDE[<!ENTITY e 'in'>]]>", "in", 7500},
      {"<![IGNORE[<![INCLUDE[<!ENTITY e 'in'>]]>]]><!ENTITY e 'out'>", "out", 7500},
      {"<!ENTITY % k 'INCLUDE'><![%k;[<!ENTITY e 'in'>]]>", "in", 7500},
      {"<![%k;[<!ENTITY e 'in'>]]><!ENTITY % k 'INCLUDE'>", "in", 7500},  // declared later: second pass
      {"<!ENTITY % k '  INCLUDE\n'><![%k;[<!ENTITY e 'in'>]]>", "in", 7500},
      {"<!ENTITY % k ' IGNORE '><![%k;[<!ENTITY e 'in'>]]><!ENTITY e 'out'>", "out", 7500},
      {"<!ENTITY % k 'MAYBE'><![%k;[<!ENTITY e 'in'>]]>", "(undeclared)", 7523},
      {"<!ENTITY % k 'IN CLUDE'><![%k;[<!ENTITY e 'in'>]]>", "(undeclared)", 7523},
      {"<![include[<!ENTITY e 'in'>]]>", "(undeclared)", 7525},
      {"<![%never;[<!ENTITY e 'in'>]]>", "(undeclared)", 7522},
  };
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-sections";
  std::filesystem::create_directories(dir);
  int n = 0;
  for (const Case& c : cases) {
    Wrapped w;
    ASSERT_TRUE(LoadDtdFile(w, dir / ("case" + std::to_string(n++) + ".dtd"), c.dtd)) << c.dtd;
    KTSchemaModel model(&w.manager);
    model.SetWarningStream(nullptr);
    model.LoadDtdPasses(w.document);
    EXPECT_EQ(EntityValue(model, u"e"), c.e) << c.dtd;
    EXPECT_EQ(model.GetErrorId(), c.problem) << c.dtd;
  }
}

// An external parameter entity both walked as declarations and used inside
// an entity value: the value holds the entity's text, whichever use comes
// first.
TEST(DtdWalker, ExternalParameterEntityOfDeclarationsGivesItsTextToValues) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-external-text";
  std::filesystem::create_directories(dir);
  std::ofstream((dir / "m.ent").string()) << "<!ENTITY inner 'I'>";
  struct Case {
    const char* dtd;
  } cases[] = {
      {"<!ENTITY % m SYSTEM 'm.ent'>\n%m;\n<!ENTITY g \"[%m;]\">"},
      {"<!ENTITY % m SYSTEM 'm.ent'>\n<!ENTITY g \"[%m;]\">\n%m;"},
      {"<!ENTITY % m SYSTEM 'm.ent'>\n%m;\n<!ENTITY g \"[%m;]\">\n<!ENTITY h \"(%m;)\">"},
  };
  int n = 0;
  for (const Case& c : cases) {
    Wrapped w;
    ASSERT_TRUE(LoadDtdFile(w, dir / ("case" + std::to_string(n++) + ".dtd"), c.dtd)) << c.dtd;
    KTSchemaModel model(&w.manager);
    model.SetWarningStream(nullptr);
    model.LoadDtdPasses(w.document);
    EXPECT_EQ(EntityValue(model, u"inner"), "I") << c.dtd;
    EXPECT_EQ(EntityValue(model, u"g"), "[<!ENTITY inner 'I'>]") << c.dtd;
  }
}

// Two parse trees alike node for node: kind, name, value, source offsets
// and what the declaration nodes keep besides.
// A Text node's text is the one the walk reads of it (`model`'s DtdTextOf:
// a section node ParseSectionBody made keeps none of its own).
::testing::AssertionResult SameTree(const KTXNode* a, const KTXNode* b, const KTSchemaModel* model = nullptr) {
  auto text = [](const char16_t* s) { return std::u16string(s ? s : u""); };
  auto value = [&](const KTXNode* n) {
    return model && n->GetKind() == kText ? std::u16string(model->DtdTextOf(n)) : text(n->GetValue());
  };
  for (const KTXNode *x = a, *y = b; x || y;) {
    if (!x || !y) return ::testing::AssertionFailure() << "one tree has more nodes";
    bool same = x->GetKind() == y->GetKind() && text(x->GetName()) == text(y->GetName()) &&
                value(x) == value(y) && x->GetStartOffset() == y->GetStartOffset() &&
                x->GetEndOffset() == y->GetEndOffset() && x->GetChildCount() == y->GetChildCount();
    if (same && x->GetKind() == kDoctypeAttlist) {
      same = static_cast<const KTDoctypeAttlistNode*>(x)->GetPart() ==
             static_cast<const KTDoctypeAttlistNode*>(y)->GetPart();
    }
    if (same && x->GetKind() == kDoctypeElement) {
      auto* ex = static_cast<const KTDoctypeElementNode*>(x);
      auto* ey = static_cast<const KTDoctypeElementNode*>(y);
      same = ex->GetContentType(false) == ey->GetContentType(false) && ex->GetOccurrence() == ey->GetOccurrence();
    }
    if (!same) {
      return ::testing::AssertionFailure() << "node " << Text(KTString(x->GetName())) << " [" << x->GetStartOffset()
                                           << ", " << x->GetEndOffset() << ") against "
                                           << Text(KTString(y->GetName())) << " [" << y->GetStartOffset() << ", "
                                           << y->GetEndOffset() << ")";
    }
    auto next = [](const KTXNode* n, const KTXNode* root) -> const KTXNode* {
      if (n->GetFirstChild()) return n->GetFirstChild();
      for (; n && n != root; n = n->GetParent()) {
        if (n->GetNextSibling()) return n->GetNextSibling();
      }
      return nullptr;
    };
    x = next(x, a);
    y = next(y, b);
  }
  return ::testing::AssertionSuccess();
}

// The body of an included section is parsed without reading the sections
// nested in it again: the tree must be the one the whole body parses to
// (offsets and all, for the places of messages), or none where a part
// between nested sections does not parse alone and the whole body is read.
// The sections nested in a section node made that way are known to it, and
// the body of each gives that same tree again.
TEST(DtdWalker, SectionBodyParsesAsTheWholeBody) {
  struct Case {
    const char16_t* body;
    bool split;  // parsed part by part
  } cases[] = {
      {u"<!ELEMENT a (b, c)*>\n<!ATTLIST a x CDATA 'd'>", true},
      {u"<!ELEMENT a EMPTY> <![%on;[ <!ATTLIST a x ID #IMPLIED> ]]>\n<!-- c --> <![IGNORE[ junk <!ELEMENT ]]>%p;", true},
      {u"<![ INCLUDE [<!ENTITY e 'x'><![\tIGNORE\t[ <![ a ]]> ]]> <!ATTLIST a y CDATA 'z'>]]><![INCLUDE[]]>", true},
      {u"\r\n<!ENTITY lit \"]]]\">\r\n<![INCLUDE[\r\n<!ELEMENT a (#PCDATA|b)*>\r\n]]>\r\n<?pi data?>\r\n", true},
      {u"%a;<![%k;[%b;<![%k;[<!ELEMENT a ANY>]]>]]>%c; %d;", true},
      // "<![" and "]]>" that the grammar matches as sections where the
      // whole body reads them inside a comment, a literal or an instruction.
      {u"<!-- holds <![ and ]]> --><![INCLUDE[<!ELEMENT a ANY>]]>", false},
      {u"<!ENTITY lit \"<![CDATA[x]]>\"><![INCLUDE[<!ELEMENT a ANY>]]>", false},
      {u"<?pi <![ ]]> ?><!ELEMENT a ANY>", false},
      // Sections whose keyword is not a plain name: left to the grammar.
      {u"<![[ <!ELEMENT a ANY> ]]>", false},
      {u"<![INCL\u00c9[ <!ELEMENT a ANY> ]]>", false},
      {u"<![ %k [ <!ELEMENT a ANY> ]]>", false},
      // Comments made without the grammar, between blanks, declarations
      // and sections; and those left to it (empty, not ASCII).
      {u"<!-- a --><!ELEMENT a EMPTY>  <!--b-->\n<![INCLUDE[<!-- in -->]]><!--\tc\r\n-->", true},
      {u"  \n <!-- a -->  \t <!-- b -->  \n", true},
      {u"%p;<!-- a -->%q;<!-- - -->", true},
      {u"<!---->\n<!-- caf\u00e9 --><!ATTLIST a x CDATA '>'>", true},
      // Entity declarations made without the grammar, and those left to it
      // (an external identifier, a name or value not in ASCII, a reference
      // that does not close, blanks missing).
      {u"<!ENTITY % a.module \"INCLUDE\"><!ENTITY\tb\n'x &#38; &#x3C; &c; %d;'\r\n><!ENTITY % e ''>", true},
      {u"<![%a;[<!ENTITY % f \"(g|h)*\">]]> <!ENTITY % i SYSTEM 'i.ent'> <!ENTITY j \"\">", true},
      {u"<!ENTITY caf\u00e9 'x'><!ENTITY k 'caf\u00e9'><!ENTITY l '&m'>", false},
      {u"<!ENTITY caf\u00e9 'x'><!ENTITY k 'caf\u00e9'><!ENTITY l '%m'>", false},
      {u"<!ENTITY caf\u00e9 'x'><!ENTITY k 'caf\u00e9'><!ENTITY % n 'x' ><!ENTITY o \"'\">", true},
      {u"<!ENTITY %p 'x'>", false},
      {u"<!ENTITY s 'x\u0001'>", false},
      {u"<!-- x\u0001 --><!ELEMENT a ANY>", false},
      {u"<!ENTITY q'x'>", false},
      {u"<!ENTITY r 'x' <!-- c -->", false},
      // Element declarations whose model opens with a reference that more
      // text follows, and attribute-list declarations of references only,
      // made without the grammar; and those left to it.
      {u"<!ELEMENT para %ho; (%para.char.mix; | %para.mix;)*>\n<!ELEMENT\tb\n%ho;\n(#PCDATA) %x; >", true},
      {u"<!ATTLIST title\n\t\t%common.attrib;\n\t\t%title.role.attrib;\n><!ATTLIST t %a;><!ATTLIST u %a;%b; >", true},
      {u"<!ELEMENT a %m;><!ELEMENT b %m; ><!ELEMENT c (%m;)*><!ELEMENT %n; %m; x>", true},
      {u"<!ATTLIST a %b; c CDATA #IMPLIED %d;><!ATTLIST e %f; %g; #IMPLIED><!ATTLIST %h; %i;>", true},
      {u"<!ATTLIST a %b; %c; 'x'><!ATTLIST d %e; %f; #FIXED 'y'>", true},
      // Attribute-list declarations of every kind of definition.
      {u"<!ATTLIST a b CDATA #IMPLIED c ID #REQUIRED\n d IDREF #IMPLIED e IDREFS 'x y' f ENTITY #IMPLIED>", true},
      {u"<!ATTLIST a b ENTITIES #IMPLIED c NMTOKEN \"v\" d NMTOKENS #FIXED 'a &amp; b &#38; &#x3C;' e CDATA ''>", true},
      {u"<!ATTLIST a b (x|y | z.1|-2) 'x' c NOTATION (n1 | n2) #IMPLIED d (%v;|w) #IMPLIED>", true},
      {u"<!ATTLIST a %n; CDATA #IMPLIED %m; %t; #REQUIRED b %t; \"d\" %r;><!ATTLIST e><!ATTLIST f\n>", true},
      {u"<!ATTLIST a\n\t\tclass\t(x\n\t\t|y)\t\t#IMPLIED\n\t\t%common.attrib;\n>", true},
      {u"<!ATTLIST a%b; c CDATA #IMPLIED>", true},
      // Definitions that end before a reference the grammar cannot take as
      // one: the declaration is read as text by the grammar.
      {u"<!ATTLIST a b CDATA 'x' %c; #IMPLIED>", true},
      // Refused by the grammar.
      {u"<!ATTLIST a b CDATAX #IMPLIED>", false},
      {u"<!ATTLIST a b CDATA #IMPLIEDc CDATA #IMPLIED>", false},
      {u"<!ATTLIST a b CDATA 'x<y'>", false},
      {u"<!ATTLIST a b CDATA #FIXED>", false},
      {u"<!ATTLIST a b (x|) #IMPLIED>", false},
      {u"<!ATTLIST a b NOTATION(x) #IMPLIED>", false},
      {u"<!ATTLIST a b caf\u00e9 #IMPLIED>", false},
      {u"<!ELEMENT a %b; caf\u00e9><!ATTLIST a %b;%c;><!ELEMENT d %e;>x>", false},
      {u"<!ELEMENT a %b; (c)", false},
      {u"<!ATTLIST a %b; %c", false},
      // A comment's opening inside a literal or a declaration: the text
      // before it does not parse alone, and the whole body is read.
      {u"<!ENTITY e SYSTEM \"<!-- x -->\"><!-- y -->", false},
      {u"<!ENTITY e \"<!-- x -->\"><!-- y -->", true},
      {u"<!ELEMENT x %y; <!-- c -->", true},
      // An element declaration whose model meets a character not plain
      // before its '>': it and the ones opening inside it are the grammar's.
      {u"<!ELEMENT a %b; x\n<!ELEMENT c %d; y\u00e9>", true},
      {u"<!ELEMENT a %b; x<!ELEMENT c %d; y\u00e9>\n<!ELEMENT e %f; z>", true},
      {u"<!ELEMENT x (y) <!-- c -->", false},
      // Bodies that do not parse either way.
      {u"<!-- a -- b --><!ELEMENT a ANY>", false},
      {u"<!ELEMENT a ANY><!-- a --->", false},
      {u"<!ELEMENT a (b,> <![INCLUDE[<!ELEMENT b ANY>]]>", false},
      {u"<![INCLUDE[<!ELEMENT b ANY>]]> <!ATTLIST b c CDATA>", false},
  };
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-section-body";
  std::filesystem::create_directories(dir);
  Wrapped w;
  ASSERT_TRUE(LoadDtdFile(w, dir / "context.dtd", "<!ELEMENT r EMPTY>"));
  KTSchemaModel model(&w.manager);
  // Every tree is kept to the end, as the walk keeps the ones it reads: the
  // model knows section nodes by address.
  std::deque<std::unique_ptr<KTXNode>> kept;  // its elements stay where they are
  for (const Case& c : cases) {
    const std::u16string_view body(c.body);
    const std::string shown = Text(KTString(body));
    std::unique_ptr<KTXNode>& parts = kept.emplace_back(model.ParseSectionBody(body, w.document));
    std::unique_ptr<KTXNode>& whole = kept.emplace_back(
        model.ParseFragmentOfLength(c.body, static_cast<int>(body.size()), u"extSubsetDecl", w.document));
    ASSERT_EQ(parts != nullptr, c.split) << shown;
    if (!parts) continue;
    ASSERT_NE(whole, nullptr) << shown;
    EXPECT_TRUE(SameTree(parts.get(), whole.get(), &model)) << shown;
    // Each section node made: its body as the walk takes it, parsed with
    // the nested sections it knows and by itself, against the whole.
    for (std::vector<KTXNode*> work{parts.get()}; !work.empty();) {
      KTXNode* at = work.back();
      work.pop_back();
      for (KTXNode* child = at->GetFirstChild(); child; child = child->GetNextSibling()) work.push_back(child);
      const std::vector<KTSchemaModel::SectionRange>* known = model.NestedSectionsOf(at);
      if (at->GetKind() != kText || !known) continue;
      const std::u16string_view text = model.DtdTextOf(at);
      size_t from = text.find(u'[', 3) + 1;
      while (from < text.size() - 3 && std::u16string_view(u" \t\r\n").find(text[from]) != std::u16string_view::npos) ++from;
      const std::u16string_view inner = text.substr(from, text.size() - 3 - from);
      std::vector<KTSchemaModel::SectionRange> rebased;
      for (const auto& r : *known) rebased.push_back({r.begin - from, r.end - from, r.depth});
      std::unique_ptr<KTXNode>& fromKnown = kept.emplace_back(model.ParseSectionBody(inner, at, &rebased));
      std::unique_ptr<KTXNode>& scanned = kept.emplace_back(model.ParseSectionBody(inner, at));
      std::unique_ptr<KTXNode>& innerWhole = kept.emplace_back(
          model.ParseFragmentOfLength(inner.data(), static_cast<int>(inner.size()), u"extSubsetDecl", at));
      if (!innerWhole) {
        // A body that does not parse (an ignored section's) gives no tree.
        EXPECT_EQ(fromKnown, nullptr) << shown << ": " << Text(KTString(text));
        EXPECT_EQ(scanned, nullptr) << shown << ": " << Text(KTString(text));
        continue;
      }
      ASSERT_NE(fromKnown, nullptr) << shown << ": " << Text(KTString(text));
      ASSERT_NE(scanned, nullptr) << shown << ": " << Text(KTString(text));
      EXPECT_TRUE(SameTree(fromKnown.get(), innerWhole.get(), &model)) << shown << ": " << Text(KTString(text));
      EXPECT_TRUE(SameTree(scanned.get(), innerWhole.get(), &model)) << shown << ": " << Text(KTString(text));
    }
  }
}

// Content models read without the grammar give the tree the grammar gives
// (kinds, names, group kinds, occurrences, ranges); the others are left to
// the grammar, and so is every model the grammar refuses.
TEST(DtdWalker, PlainContentModelsReadAsTheGrammarReadsThem) {
  struct Case {
    const char16_t* model;
    bool plain;  // read without the grammar
  } cases[] = {
      {u"(a)", true},
      {u" ( a , b? , c* , d+ )+ ", true},
      {u"(a|(b,c)*|(d|e?)+)?", true},
      {u"(\n\t(title, subtitle?, titleabbrev?)?,\t\t(((calloutlist|glosslist)+,\n\t\t(sect1*|simplesect*))\n\t\t| (sect1+|simplesect+)))", true},
      {u"(((((a)))))*", true},
      {u"(#PCDATA)", true},
      {u"( #PCDATA )*", true},
      {u"( #PCDATA \t\t|footnoteref|xref \n\t| abbrev:x | a.b-c_d )*", true},
      {u"(#PCDATA|a)*  ", true},
      // Left to the grammar: other forms, names or characters.
      {u"EMPTY", false},
      {u"ANY", false},
      {u"(caf\u00e9, b)", false},
      {u"(a, %b;)", false},
      // Refused by the grammar as well.
      {u"(#PCDATA|a)", false},
      {u"(#PCDATA) *", false},
      {u"(a|b,c)", false},
      {u"((a)?, (b|c)+ | d)", false},
      {u"(a,)", false},
      {u"(a b)", false},
      {u"(a)(b)", false},
      {u"(a)**", false},
      {u"((a)", false},
      {u"(#PCDATA|)*", false},
      {u"(#PCDATA|a|#PCDATA)*", false},
      {u"()", false},
  };
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-content-models";
  std::filesystem::create_directories(dir);
  Wrapped w;
  ASSERT_TRUE(LoadDtdFile(w, dir / "context.dtd", "<!ELEMENT r EMPTY>"));
  KTSchemaModel model(&w.manager);
  for (const Case& c : cases) {
    const std::u16string_view text(c.model);
    const std::string shown = Text(KTString(text));
    std::unique_ptr<KTXNode> plain = model.ReadPlainContentModel(text, w.document);
    std::unique_ptr<KTXNode> parsed =
        model.ParseFragmentOfLength(c.model, static_cast<int>(text.size()), u"elementSpecFormatted", w.document);
    EXPECT_EQ(plain != nullptr, c.plain) << shown;
    if (!plain) continue;
    ASSERT_NE(parsed, nullptr) << shown;
    EXPECT_TRUE(SameTree(plain.get(), parsed.get())) << shown;
  }
}

// Attribute definitions (an entity's value) read without the grammar give
// the tree the grammar gives; the others are left to it.
TEST(DtdWalker, PlainAttributeDefinitionsReadAsTheGrammarReadsThem) {
  struct Case {
    const char16_t* text;
    bool plain;  // read without the grammar
  } cases[] = {
      {u"role\t\tCDATA\t\t#IMPLIED", true},
      {u"\n id ID #IMPLIED\n lang CDATA #IMPLIED\n revisionflag (changed|added|deleted|off) #IMPLIED\n", true},
      {u"a NOTATION (n) 'n' b %t; #FIXED \"x &#38; y\" %more; c NMTOKENS ''", true},
      {u"%a; %b; %c;", true},
      {u"%a;", true},
      // Left to the grammar, or refused by it.
      {u"", false},
      {u"   ", false},
      {u"a CDATA", false},
      {u"a CDATA #IMPLIED b", false},
      {u"a CDATA 'x' b", false},
      {u"a CDATA 'caf\u00e9'", false},
      {u"a CDATA #IMPLIED>", false},
  };
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-definitions";
  std::filesystem::create_directories(dir);
  Wrapped w;
  ASSERT_TRUE(LoadDtdFile(w, dir / "context.dtd", "<!ELEMENT r EMPTY>"));
  KTSchemaModel model(&w.manager);
  for (const Case& c : cases) {
    const std::u16string_view text(c.text);
    const std::string shown = Text(KTString(text));
    std::unique_ptr<KTXNode> plain = model.ReadPlainAttlistText(text, w.document);
    std::unique_ptr<KTXNode> parsed =
        model.ParseFragmentOfLength(c.text, static_cast<int>(text.size()), u"attlistText", w.document);
    EXPECT_EQ(plain != nullptr, c.plain) << shown;
    if (!plain) continue;
    ASSERT_NE(parsed, nullptr) << shown;
    EXPECT_TRUE(SameTree(plain.get(), parsed.get())) << shown;
  }
}

TEST(DtdWalker, TwoPassModeForSchemaDtds) {
  // A DTD reached through a schema reference: "p" and "s" are declared
  // before the walk, which counts as the second pass at once.
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-twopass";
  std::filesystem::create_directories(dir);
  Wrapped w;
  ASSERT_TRUE(LoadDtdFile(w, dir / "schema.dtd", "<!ENTITY e '%p;item'><!ENTITY f 'x%s;'>%never;"));
  KTSchemaModel model(&w.manager);
  SetSchemaPrefixEntities(model, KTString(u"xs"));
  EXPECT_FALSE(model.LoadDtdPasses(w.document));
  EXPECT_EQ(EntityValue(model, u"e"), "xs:item");
  EXPECT_EQ(EntityValue(model, u"f"), "x:xs");
  EXPECT_EQ(model.GetErrorId(), 7522);
  EXPECT_EQ(model.GetCurrentPass(), 2);
}

// A value is one token unless it holds a blank or one of ( | , % = < > ' "
// once its character references are resolved: only such a value may name
// a section's keyword or an attribute's type.
TEST(DtdWalker, EntityValueIsOneTokenWithoutSeparators) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-single-token";
  std::filesystem::create_directories(dir);
  const std::string separators = " \t\r\n(|,%=<>'\"";
  std::string dtd;
  std::vector<std::pair<std::string, bool>> expected;
  for (int c : std::initializer_list<int>{0x20, 0x09, 0x0D, 0x0A, '(', '|', ',', '%', '=', '<', '>', '\'', '"', 'x', '-', '.', ':', '#', '&',
                ';', ')', '[', '*', '+', 0xE9}) {
    const std::string name = "t" + std::to_string(c);
    dtd += "<!ENTITY % " + name + " \"a&#" + std::to_string(c) + ";b\">\n";
    expected.emplace_back(name, c > 0x7F || separators.find(static_cast<char>(c)) == std::string::npos);
  }
  Wrapped w;
  ASSERT_TRUE(LoadDtdFile(w, dir / "tokens.dtd", dtd));
  KTSchemaModel model(&w.manager);
  model.SetWarningStream(nullptr);
  model.LoadDtdPasses(w.document);
  for (const auto& [name, single] : expected) {
    KTEntityDecl* e = model.FindParameterEntity(KTString(std::u16string_view(KTUtf8ToUtf16(name))));
    ASSERT_NE(e, nullptr) << name;
    EXPECT_EQ(e->singleToken, single) << name;
  }
}

TEST(DtdWalker, ParameterEntityReferencePattern) {
  for (const char16_t* yes : {u"%a;", u"%_x.y-z:1;", u"%\u00e9t\u00e9;"}) {
    EXPECT_TRUE(IsParameterEntityReference(KTString(yes))) << Text(KTString(yes));
  }
  for (const char16_t* no : {u"%;", u"% a;", u"%a", u"%1a;", u"%a;%b;", u"x%a;", u"%a b;"}) {
    EXPECT_FALSE(IsParameterEntityReference(KTString(no))) << Text(KTString(no));
  }
}

// Element declarations whose model text meets a character not plain before
// any '>' are searched once, not once per declaration opening before it.
TEST(DtdWalker, SectionBodySearchesUnclosedElementModelsOnce) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-unclosed-models";
  std::filesystem::create_directories(dir);
  Wrapped w;
  ASSERT_TRUE(LoadDtdFile(w, dir / "context.dtd", "<!ELEMENT r EMPTY>"));
  KTSchemaModel model(&w.manager);
  std::deque<std::unique_ptr<KTXNode>> kept;  // the model knows section nodes by address
  auto work = [&](int declarations) {
    std::u16string body;
    for (int i = 0; i < declarations; ++i) body += u"<!ELEMENT a %m; x\n";
    body += u"\u00e9>";
    const uint64_t before = KTWorkCount::Total();
    kept.push_back(model.ParseSectionBody(body, w.document));
    EXPECT_NE(kept.back(), nullptr);
    return KTWorkCount::Total() - before;
  };
  const uint64_t once = work(1000);
  const uint64_t twice = work(2000);
  EXPECT_GT(once, 0u);
  EXPECT_LT(twice, 3 * once);
}

// Hostile DTDs end with a recorded problem, in bounded time and memory.
TEST(DtdWalker, HostileDtdsEndWithAProblem) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-hostile";
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream((dir / name).string()) << text;
    return (dir / name).string();
  };

  // Parameter entities whose values double at each level.
  std::string bomb = "<!ENTITY % a0 \"<!ENTITY x 'xxxxxxxxxxxxxxxxxxxxxxxx'>\">\n";
  for (int i = 1; i <= 40; ++i) {
    bomb += "<!ENTITY % a" + std::to_string(i) + " \"%a" + std::to_string(i - 1) + ";%a" + std::to_string(i - 1) +
            ";\">\n";
  }
  bomb += "%a40;\n";
  write("bomb.dtd", bomb);

  // External parameter entities that each use the one below twice: the
  // values are never expanded in one piece, but the walk doubles per level.
  write("walk0.ent", "<!ENTITY x 'x'>");
  for (int i = 1; i <= 40; ++i) {
    std::string below = "%walk" + std::to_string(i - 1) + ";";
    write("walk" + std::to_string(i) + ".ent", below + "<!ENTITY y 'y'>" + below);
  }
  std::string walk;
  for (int i = 0; i <= 40; ++i) {
    walk += "<!ENTITY % walk" + std::to_string(i) + " SYSTEM 'walk" + std::to_string(i) + ".ent'>\n";
  }
  write("walk-bomb.dtd", walk + "%walk40;\n");

  // Conditional sections nested far deeper than any real DTD.
  auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<![INCLUDE[";
    text += "<!ENTITY e 'deep'>";
    for (int i = 0; i < depth; ++i) text += "]]>";
    return text;
  };
  write("nested-10000.dtd", nested(10000));
  write("nested-300.dtd", nested(300));
  write("nested-100.dtd", nested(100));

  struct Case {
    std::string document;  // a DOCTYPE naming the DTD
    const char* outline;
    int problem;
  } cases[] = {
      {"<!DOCTYPE r SYSTEM 'bomb.dtd'><r/>", "", 7524},
      {"<!DOCTYPE r SYSTEM 'walk-bomb.dtd'><r/>", "", 7524},
      {"<!DOCTYPE r SYSTEM 'nested-10000.dtd'><r/>", "", 7509},  // beyond what the parser nests
      {"<!DOCTYPE r SYSTEM 'nested-300.dtd'><r/>", "", 7525},
      {"<!DOCTYPE r SYSTEM 'nested-100.dtd'><r>&e;</r>", "[deep]", 7500},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string path = write("doc" + std::to_string(n++) + ".xml", c.document);
    Wrapped w;
    ASSERT_TRUE(w.FromFile(path));
    EXPECT_EQ(Outline(w.Root()), c.outline) << c.document;
    EXPECT_EQ(w.model->GetErrorId(), c.problem) << c.document << " " << Text(w.model->GetError().contextText);
    EXPECT_LE(w.model->GetExpandedChars(), w.model->GetExpansionBudget()) << c.document;
  }

  // Parameter entities that include each other, and a DTD that names
  // itself: recursion is a fatal error of the document (XML 1.0 §4.1).
  for (const char* file : {"pe-cycle.xml", "self-subset.xml"}) {
    Wrapped w;
    ASSERT_TRUE(w.FromFile(kData + file));
    EXPECT_EQ(w.model->GetErrorId(), 7523) << file;
    KTString why;
    EXPECT_TRUE(w.model->DocumentRefused(why)) << file;
    EXPECT_NE(Text(why).find("refers to itself"), std::string::npos) << Text(why);
  }
}

// A well-formedness error found while the DTD is walked refuses the
// document and names the file, line and column it is at, also inside
// sections and entities whose text was parsed on its own.
TEST(DtdWalker, FatalErrorsNameTheirPlace) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-fatal";
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream((dir / name).string()) << text;
    return (dir / name).string();
  };
  write("joined-a.ent", "<!ENTITY e ");
  write("joined-b.ent", "'AB'>");
  struct Case {
    std::string dtd;
    std::string reason;  // with the place, relative to the folder
  } cases[] = {
      // A section nested in an included one stands at its own place.
      {"<![INCLUDE[\n<!ENTITY e 'E'>\n  <![ INCLUDE [\n <![ BAD [ ]]> ]]>\n]]>",
       "the keyword of a conditional section is \"BAD\", neither INCLUDE nor IGNORE (XML 1.0 §3.4), at case0.dtd, "
       "line 4, column 2"},
      {"<!ENTITY % k 'IN CLUDE'>\n<![%k;[<!ENTITY e 'in'>]]>", "at case1.dtd, line 2, column 1"},
      {"<!ENTITY % a SYSTEM 'joined-a.ent'><!ENTITY % b SYSTEM 'joined-b.ent'>\n%a; %b;",
       "the parameter entity %a; does not hold whole markup declarations where it is referenced: joined-a.ent, line 1, "
       "column 12"},
      {"<!ENTITY % a '<!ENTITY e '>\n<!ENTITY % b \"'AB'>\">\n\n%a;%b;",
       "the parameter entity %a; does not hold whole markup declarations where it is referenced: 'a' ( <!ENTITY e ), "
       "referenced at case3.dtd, line 4, column 1"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string name = "case" + std::to_string(n++);
    write(name + ".dtd", c.dtd);
    std::string document = write(name + ".xml", "<!DOCTYPE r SYSTEM '" + name + ".dtd'><r>&e;</r>");
    Wrapped w;
    ASSERT_TRUE(w.FromFile(document));
    KTString why;
    ASSERT_TRUE(w.model->DocumentRefused(why)) << c.dtd;
    std::string expected = c.reason;
    for (const char* file : {"case", "joined-a"}) {
      size_t at = expected.find(file);
      if (at != std::string::npos) expected.insert(at, dir.string() + "/");
    }
    std::string reason = Text(why);
    ASSERT_FALSE(reason.empty());
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    EXPECT_NE(reason.find(expected), std::string::npos) << reason << "\n" << expected;
  }
}

// An external parameter entity read as text (here for an entity value)
// loses its text declaration, which must have the form XML 1.0 §4.3.1 gives
// it: a malformed one refuses the document.
TEST(DtdWalker, TextDeclarationsOfParameterEntitiesReadAsText) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-textdecl";
  std::filesystem::create_directories(dir);
  struct Case {
    const char* text;
    const char* outline;  // empty: refused
  } cases[] = {
      {"<?xml encoding='UTF-8'?>value", "[<value>]"},
      {"<?xml version=\"1.0\"  encoding=\"ISO-8859-1\" ?>value", "[<value>]"},
      {"<?xml-stylesheet href='x'?>", "[<<?xml-stylesheet href='x'?>>]"},  // a processing instruction stays
      {"<?xml version='1.0'?>value", ""},                                   // no encoding
      {"<?xml encoding='UTF-8' standalone='yes'?>value", ""},
      {"<?xml encoding='UTF-8' version='1.0'?>value", ""},
      {"<?xml version='2.0' encoding='UTF-8'?>value", ""},
      {"<?xml version='1.0'encoding='UTF-8'?>value", ""},
      {"<?xml encoding='8bit'?>value", ""},
      {"<?xml encoding='UTF-8'", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string name = "v" + std::to_string(n++);
    std::ofstream((dir / (name + ".txt")).string()) << c.text;
    std::ofstream((dir / (name + ".dtd")).string())
        << "<!ENTITY % v SYSTEM '" << name << ".txt'>\n<!ENTITY g \"<%v;>\">\n";
    std::string document = (dir / (name + ".xml")).string();
    std::ofstream(document) << "<!DOCTYPE r SYSTEM '" << name << ".dtd'><r>&g;</r>";
    Wrapped w;
    ASSERT_TRUE(w.FromFile(document));
    KTString why;
    bool refused = w.model->DocumentRefused(why);
    EXPECT_EQ(refused, c.outline[0] == 0) << c.text << ": " << Text(why);
    if (refused) {
      EXPECT_NE(Text(why).find("%v;"), std::string::npos) << Text(why);
      EXPECT_NE(Text(why).find((dir / (name + ".txt")).string() + ", "), std::string::npos) << Text(why);
    } else {
      EXPECT_EQ(EntityValue(*w.model, u"g"), std::string(c.outline).substr(1, strlen(c.outline) - 2)) << c.text;
    }
  }
}

// A parameter entity that cannot be read is a warning, not an error; the
// declarations after its reference are not read (XML 1.0 §5.1), and a
// reference to one of them says which entity was not read.
TEST(DtdWalker, UnreadParameterEntityWarnsAndStopsTheDeclarationsAfterIt) {
  std::filesystem::path dir = OwnTempDir() / "dtdwalker-unread";
  std::filesystem::create_directories(dir);
  std::ofstream((dir / "doc.dtd").string()) << "<!ENTITY before 'B'>\n<!ENTITY % p SYSTEM 'nope.ent'>\n%p;\n<!ENTITY after 'A'>\n";
  std::string document = (dir / "doc.xml").string();
  std::ofstream(document) << "<!DOCTYPE r SYSTEM 'doc.dtd'><r>&before;&after;&after;</r>";
  Wrapped w;
  w.warnings = tmpfile();
  ASSERT_TRUE(w.FromFile(document));
  EXPECT_EQ(Outline(w.Root()), "[B&after;&after;]");
  KTString why;
  EXPECT_FALSE(w.model->DocumentRefused(why)) << Text(why);
  rewind(w.warnings);
  std::string lines;
  char line[1024];
  while (fgets(line, sizeof line, w.warnings)) lines += line;
  fclose(w.warnings);
  EXPECT_EQ(lines,
            "Warning: could not read the external parameter entity \"nope.ent\" named in the DTD of " + document +
                ": no such file or directory [7509]\n"
                "Warning: the entity reference &after; in " + document +
                " is left as written: its declaration may be in the external parameter entity %p; (\"nope.ent\"), "
                "which could not be read [7522]\n");
}

}  // namespace
