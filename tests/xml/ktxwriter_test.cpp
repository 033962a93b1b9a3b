// Tests of writing document trees and DTD declarations as text.
#include <gtest/gtest.h>

#include <vector>

#include "ktxtest_util.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"

namespace {

// <?xml version='1.0'?><r><a x="1"/><b>t</b></r> as the parser leaves it
// after the tidy-up.
std::unique_ptr<KTXNode> SmallDocument() {
  auto doc = MakeNode(kXmlDocument);
  KTXNode* tag = AddNode(doc.get(), kXmlTag);
  AddNode(tag, kAttribute, u"version", u"1.0");
  KTXNode* r = AddNode(doc.get(), kElement, u"r");
  KTXNode* a = AddNode(r, kElement, u"a");
  AddNode(a, kAttribute, u"x", u"1");
  KTXNode* b = AddNode(r, kElement, u"b");
  AddNode(b, kText, nullptr, u"t");
  doc->ApplyToSubtree(nullptr, nullptr);
  return doc;
}

struct OptionCase {
  const char* what;
  KTWriteOptions options;
  const char* expected;
};

// The small document written with the option sets of the loader, the error
// report and the DTD code.
std::vector<OptionCase> SmallDocumentOptionCases() {
  return {
      {"saving a tree", SaveOptions(), "<?xml version=\"1.0\"?>\n<r>\n\t<a x=\"1\"/>\n\t<b>t</b>\n</r>\n"},
      {"error report", KTWriteOptions{.spaceBeforeSlash = true},
       "<?xml version=\"1.0\"?>\n<r>\n<a x=\"1\" />\n<b>t</b>\n</r>\n"},
      {"DTD code (no empty tags, no declaration)", KTWriteOptions{.emptyTag = false, .omitDeclaration = true},
       "\n<r>\n<a x=\"1\"></a>\n<b>t</b>\n</r>\n"},
  };
}

TEST(KTXWriter, DocumentWithEachOptionSet) {
  auto doc = SmallDocument();
  std::vector<OptionCase> cases = SmallDocumentOptionCases();
  cases.push_back({"carriage-return line ends", KTWriteOptions{.indent = u"  ", .lineEnd = u"\r"},
                   "<?xml version=\"1.0\"?>\r<r>\r  <a x=\"1\"/>\r  <b>t</b>\r</r>\r"});
  for (const OptionCase& c : cases) EXPECT_EQ(WriteTree(doc.get(), c.options), c.expected) << c.what;
}

// The same document as the parser builds it from its text, written back
// with the option sets of the loader, the error report and the DTD code.
TEST(KTXWriter, ParsedDocumentWrittenBack) {
  KTGrammarCache cache;
  ASSERT_TRUE(cache.LoadGrammar(KTGrammarCache::kXml, false)) << Utf8(cache.GetLoadError());
  const std::u16string source = u"<?xml version='1.0'?><r><a x=\"1\"/><b>t</b></r>";
  KTParserDriver driver;
  KTLoadStatus status;
  auto doc = MakeNode(kXmlDocument);
  ASSERT_TRUE(driver.Init(cache.FindGrammar(KTGrammarCache::kXml), true, true, true));
  ASSERT_TRUE(driver.Parse(source.c_str(), static_cast<int>(source.size()), status, doc.get(), nullptr, true))
      << Utf8(status.GetMessage());
  for (const OptionCase& c : SmallDocumentOptionCases())
    EXPECT_EQ(WriteTree(doc.get(), c.options), c.expected) << c.what;
}

TEST(KTXWriter, RecordedOffsetsDelimitEachNode) {
  auto doc = SmallDocument();
  const KTWriteOptions options{.indent = u"\t", .recordOffsets = true};
  KTString text;
  int length = 0;
  text.AppendAtLength(u"12345", length, 0);  // offsets count from the caller's length
  doc->WriteText(text, length, -1, options);
  std::u16string all(text.c_str(), length);
  auto span = [&](KTXNode* n) {
    return Utf8(std::u16string(all, n->GetStartOffset(), n->GetEndOffset() - n->GetStartOffset()).c_str());
  };
  KTXNode* r = doc->GetLastChild();
  KTXNode* a = r->GetFirstChild();
  EXPECT_EQ(span(doc->GetFirstChild()), "<?xml version=\"1.0\"?>");
  EXPECT_EQ(span(doc->GetFirstChild()->GetFirstChild()), "version=\"1.0\"");
  EXPECT_EQ(span(a), "<a x=\"1\"/>");
  EXPECT_EQ(span(a->GetFirstChild()), "x=\"1\"");
  EXPECT_EQ(span(r), "<r>\n\t<a x=\"1\"/>\n\t<b>t</b>\n</r>");
  EXPECT_EQ(doc->GetStartOffset(), 5);
  EXPECT_EQ(doc->GetEndOffset(), length);

  // Without the option nothing is recorded.
  auto fresh = SmallDocument();
  WriteTree(fresh.get(), SaveOptions());
  EXPECT_EQ(fresh->GetLastChild()->GetStartOffset(), -1);
}

TEST(KTXWriter, ElementForms) {
  struct Case {
    const char* what;
    KTWriteOptions options;
    const char* expected;
  };
  auto build = [] {
    auto e = MakeNode(kElement, u"e");
    AddNode(e.get(), kAttribute, u"q", u"say \"hi\"");
    AddNode(e.get(), kAttribute, u"amp", u"a&b<c");
    return e;
  };
  const Case cases[] = {
      {"empty tag", KTWriteOptions{.emptyTag = true},
       "<e q='say \"hi\"' amp=\"a&b<c\"/>"},
      {"space before slash", KTWriteOptions{.spaceBeforeSlash = true},
       "<e q='say \"hi\"' amp=\"a&b<c\" />"},
      {"no empty tag", KTWriteOptions{.emptyTag = false},
       "<e q='say \"hi\"' amp=\"a&b<c\"></e>"},
  };
  for (const Case& c : cases) {
    auto e = build();
    EXPECT_EQ(WriteTree(e.get(), c.options, 0), c.expected) << c.what;
  }

  // Mixed content: no line break before text or after it.
  auto p = MakeNode(kElement, u"p");
  AddNode(p.get(), kText, nullptr, u"a < b & ");
  AddNode(p.get(), kElement, u"i");
  AddNode(p.get(), kCData, nullptr, u"<x>");
  AddNode(p.get(), kComment, nullptr, u" note ");
  AddNode(p.get(), kProcessingInstruction, u"pi");
  AddNode(p.get(), kProcessingInstruction, u"pi", u"d a t a");
  EXPECT_EQ(WriteTree(p.get(), SaveOptions(), 0),
            "<p>a < b & <i/><![CDATA[<x>]]><!-- note -->\n\t<?pi?>\n\t<?pi d a t a?>\n</p>");

  // An element value is written as content; depth -1 leaves out the tags.
  auto v = MakeNode(kElement, u"v", u"text");
  AddNode(v.get(), kAttribute, u"k", u"1");
  EXPECT_EQ(WriteTree(v.get(), SaveOptions(), 0), "<v k=\"1\">text</v>");
  EXPECT_EQ(WriteTree(v.get(), SaveOptions(), -1), "text");
}

TEST(KTXWriter, NamesListKeepsSubtreeOnOneLine) {
  auto r = MakeNode(kElement, u"r");
  KTXNode* pre = AddNode(r.get(), kElement, u"pre");
  KTXNode* b = AddNode(pre, kElement, u"b");
  AddNode(b, kElement, u"i");
  AddNode(pre, kElement, u"c");
  KTXNode* after = AddNode(r.get(), kElement, u"after");
  AddNode(after, kElement, u"x");
  const std::vector<KTString> names{KTString(u"pre")};
  const KTWriteOptions options{.indent = u"\t", .names = &names};
  EXPECT_EQ(WriteTree(r.get(), options, 0), "<r>\n\t<pre><b><i/></b><c/></pre>\n\t<after>\n\t\t<x/>\n\t</after>\n</r>");
}

TEST(KTXWriter, DeclarationAndDoctype) {
  auto tag = MakeNode(kXmlTag);
  AddNode(tag.get(), kAttribute, u"standalone", u"yes");
  AddNode(tag.get(), kAttribute, u"other", u"x");
  AddNode(tag.get(), kAttribute, u"encoding", u"UTF-8");
  AddNode(tag.get(), kAttribute, u"version", u"1.0");
  EXPECT_EQ(WriteTree(tag.get(), SaveOptions(), 0),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>");

  auto doc = MakeNode(kXmlDocument);
  KTXNode* doctype = AddNode(doc.get(), kDoctype, u"html");
  AddNode(doctype, kDoctypeExternalId, u"SYSTEM", u"\"x.dtd\"");
  AddNode(doc.get(), kElement, u"html");
  EXPECT_EQ(WriteTree(doc.get(), SaveOptions()), "<!DOCTYPE html SYSTEM \"x.dtd\">\n<html/>\n");

  AddNode(doctype, kDoctypeEntity, u"e", u"\"v\"");
  AddNode(doctype, kComment, nullptr, u"c");
  EXPECT_EQ(WriteTree(doc.get(), SaveOptions()),
            "<!DOCTYPE html SYSTEM \"x.dtd\" [\n\t<!ENTITY e \"v\">\n\t<!--c-->\n]>\n<html/>\n");
  // Nested one level down, the subset is indented one level further.
  EXPECT_EQ(WriteTree(doctype, SaveOptions(), 1),
            "\t<!DOCTYPE html SYSTEM \"x.dtd\" [\n\t\t<!ENTITY e \"v\">\n\t\t<!--c-->\n\t]>");
}

TEST(KTXWriter, SelectiveModeWritesFlaggedNodesOnly) {
  auto doc = SmallDocument();
  const KTWriteOptions selective{.mode = 1};
  EXPECT_EQ(WriteTree(doc.get(), selective), "");
  KTXNode* r = doc->GetLastChild();
  r->SetFlag(true, true, kFlagWrite);  // the whole element and its subtree
  EXPECT_EQ(WriteTree(doc.get(), selective), "<r>\n<a x=\"1\"/>\n<b>t</b>\n</r>\n");
  r->GetFirstChild()->SetFlag(false, true, kFlagWrite);
  EXPECT_EQ(WriteTree(doc.get(), selective), "<r>\n<b>t</b>\n</r>\n");
}

TEST(KTXWriter, LargeOutputGrowsOnce) {
  // 200,000 siblings: the text is built by appending at a tracked length.
  auto r = MakeNode(kElement, u"r");
  for (int i = 0; i < 200000; ++i) AddNode(r.get(), kElement, u"item", u"v");
  std::string text = WriteTree(r.get(), KTWriteOptions{}, 0);
  EXPECT_EQ(text.size(), 3u + 200000u * (1 + 14) + 1 + 4);
}

TEST(KTXWriter, OutputBlockGrowsGeometrically) {
  // Many writes into one text at the caller's length (as a caller writing
  // node after node does): the block is replaced a logarithmic number of
  // times, not once per fixed step of characters.
  auto e = MakeNode(kElement, u"item");
  AddNode(e.get(), kAttribute, u"k", u"1");
  const KTWriteOptions options{};
  KTString text;
  int length = 0;
  const char16_t* block = text.c_str();
  int moves = 0;
  for (int i = 0; i < 200000; ++i) {
    e->WriteText(text, length, 0, options);
    if (text.c_str() != block) {
      block = text.c_str();
      ++moves;
    }
  }
  ASSERT_EQ(length, 200000 * 13);
  EXPECT_EQ(std::u16string_view(text.c_str() + length - 13, 13), u"<item k=\"1\"/>");
  EXPECT_LT(moves, 40);  // fixed steps of 16,384 characters would take 159
}

// ---------------------------------------------------------------------------
// DTD declarations

KTDoctypeElementNode* AddElementDecl(KTXNode* parent, const char16_t* name, int type, int occurrence = 0) {
  auto* node = static_cast<KTDoctypeElementNode*>(AddNode(parent, kDoctypeElement, name));
  node->SetContentType(type);
  node->SetOccurrence(occurrence);
  return node;
}

KTDoctypeAttlistNode* AddAttlist(KTXNode* parent, int part, const char16_t* name = nullptr,
                                 const char16_t* value = nullptr) {
  auto* node = static_cast<KTDoctypeAttlistNode*>(AddNode(parent, kDoctypeAttlist, name));
  node->SetPart(part);
  if (value) node->SetValue(value);
  return node;
}

const KTWriteOptions& DtdOptions() {
  static const KTWriteOptions options{.emptyTag = false, .omitDeclaration = true};
  return options;
}

TEST(KTDoctypeElement, ContentModelsTextAndComputedValues) {
  auto dtd = MakeNode(kDtdDocument);
  struct Case {
    int type;
    int occurrence;
    std::vector<std::pair<const char16_t*, int>> particles;  // name, occurrence
    const char* text;
    const char* value;
  };
  const Case cases[] = {
      {kContentPCData, 0, {}, "<!ELEMENT e (#PCDATA)>", "#PCDATA"},
      {kContentSequence, 0, {}, "<!ELEMENT e (#PCDATA)>", "#PCDATA"},  // no children: effective #PCDATA
      {kContentEmpty, 2, {}, "<!ELEMENT e EMPTY>", "EMPTY"},
      {kContentAny, 0, {}, "<!ELEMENT e ANY>", "ANY"},
      {kContentMixed, 0, {{u"a", 0}, {u"b", 0}}, "<!ELEMENT e (#PCDATA | a | b)*>", "#PCDATA and any of"},
      {kContentSequence, 0, {{u"a", 1}, {u"b", 2}, {u"c", 3}}, "<!ELEMENT e (a?, b+, c*)>", "sequence of"},
      {kContentChoice, 3, {{u"a", 0}, {u"b", 0}, {u"c", 0}}, "<!ELEMENT e (a | b | c)*>", "0 or more choice of"},
      {kContentSequence, 1, {{u"a", 0}}, "<!ELEMENT e (a)?>", "0 or 1 sequence of"},
      {kContentEmpty, 0, {{u"a", 0}}, "<!ELEMENT e (a)>", "sequence of"},  // children make it a group
  };
  for (const Case& c : cases) {
    dtd->DeleteChildren();
    KTDoctypeElementNode* e = AddElementDecl(dtd.get(), u"e", c.type, c.occurrence);
    for (auto [name, occurrence] : c.particles) AddElementDecl(e, name, kContentSequence, occurrence);
    EXPECT_EQ(WriteTree(e, DtdOptions(), 0), c.text);
    EXPECT_EQ(Utf8(e->GetValue()), c.value) << c.text;
    EXPECT_FALSE(e->IsEmpty());
    EXPECT_TRUE(e->HasComputedValue());
  }

  // Free text holds the content model as written, and it is the value in use.
  dtd->DeleteChildren();
  KTDoctypeElementNode* free = AddElementDecl(dtd.get(), u"f", kContentText);
  free->SetValue(u"%model;");
  EXPECT_EQ(WriteTree(free, DtdOptions(), 0), "<!ELEMENT f %model;>");
  EXPECT_TRUE(free->IsEmpty());
  EXPECT_EQ(Utf8(free->GetValue()), "%model;");
}

TEST(KTDoctypeElement, NestedGroupsAndParticleNames) {
  auto dtd = MakeNode(kDtdDocument);
  KTDoctypeElementNode* e = AddElementDecl(dtd.get(), u"e", kContentSequence);
  KTDoctypeElementNode* head = AddElementDecl(e, u"head", 0, 1);
  KTDoctypeElementNode* group = AddElementDecl(e, u"", kContentChoice, 2);
  AddElementDecl(group, u"p", 0);
  KTDoctypeElementNode* inner = AddElementDecl(group, u"", kContentSequence, 3);
  AddElementDecl(inner, u"x", 0);
  AddElementDecl(inner, u"y", 0);
  EXPECT_EQ(WriteTree(dtd.get(), DtdOptions()), "<!ELEMENT e (head?, (p | (x, y)*)+)>\n");

  // A name particle: type 7, its name shown; a group shows no name.
  EXPECT_EQ(head->GetContentType(true), kContentName);
  EXPECT_EQ(head->GetContentType(false), 0);
  EXPECT_TRUE(head->HasName());
  EXPECT_EQ(Utf8(head->GetValue()), "0 or 1 ");
  EXPECT_EQ(Utf8(head->GetTypeCode()), "71");
  EXPECT_FALSE(group->HasName());
  EXPECT_EQ(Utf8(group->GetName()), "");
  EXPECT_EQ(Utf8(group->GetValue()), "1 or more choice of");
  EXPECT_TRUE(e->HasName());

  // Type codes: digits of the type and the occurrence.
  KTDoctypeElementNode* coded = AddElementDecl(dtd.get(), u"c", 0);
  AddElementDecl(coded, u"a", 0);
  coded->SetTypeCode(u"31");
  EXPECT_EQ(coded->GetContentType(false), kContentChoice);
  EXPECT_EQ(coded->GetOccurrence(), 1);
  EXPECT_EQ(Utf8(coded->GetTypeCode()), "31");
  coded->SetTypeCode(u"/2");  // a character below '0' leaves its field alone
  EXPECT_EQ(Utf8(coded->GetTypeCode()), "32");

  // Without a parent the stored type is the one in effect, whatever digit
  // was typed in: a type outside the table shows and writes no model.
  for (const char16_t* code : {u"80", u"91", u"z3"}) {
    auto loose = MakeNode(kDoctypeElement, u"e");
    loose->SetTypeCode(code);
    EXPECT_EQ(Utf8(loose->GetValue()), "") << Utf8(code);
    EXPECT_EQ(WriteTree(loose.get(), DtdOptions(), 0), "<!ELEMENT e >") << Utf8(code);
  }
}

TEST(KTDoctypeAttlist, DefinitionsWrittenAsOneDeclaration) {
  auto dtd = MakeNode(kDtdDocument);
  KTDoctypeAttlistNode* first = AddAttlist(dtd.get(), kAttlistDefinition, u"e");
  AddAttlist(first, kAttlistName, nullptr, u"a");
  AddAttlist(first, kAttlistTypeCDATA);
  AddAttlist(first, kAttlistImplied);
  KTDoctypeAttlistNode* second = AddAttlist(dtd.get(), kAttlistDefinition, u"e");
  AddAttlist(second, kAttlistName, nullptr, u"b");
  AddAttlist(second, kAttlistTypeCDATA + 1);
  AddAttlist(second, kAttlistRequired);
  KTDoctypeAttlistNode* third = AddAttlist(dtd.get(), kAttlistDefinition, u"e");
  AddAttlist(third, kAttlistName, nullptr, u"c");
  AddAttlist(third, kAttlistTypeEnum);
  AddAttlist(third, kAttlistValue, nullptr, u"x");
  AddAttlist(third, kAttlistValue, nullptr, u"y");
  AddAttlist(third, kAttlistFixed);
  AddAttlist(third, kAttlistDefault, nullptr, u"x");
  KTDoctypeAttlistNode* other = AddAttlist(dtd.get(), kAttlistDefinition, u"f");
  AddAttlist(other, kAttlistName, nullptr, u"n");
  AddAttlist(other, kAttlistTypeNotation);
  AddAttlist(other, kAttlistValue, nullptr, u"gif");
  AddAttlist(other, kAttlistDefault, nullptr, u"say \"gif\"");

  // With an empty indent the definitions still stand apart.
  EXPECT_EQ(WriteTree(dtd.get(), DtdOptions()),
            "<!ATTLIST e\na CDATA #IMPLIED\n b ID #REQUIRED\n c (x | y) #FIXED \"x\"\n>\n"
            "<!ATTLIST f\nn NOTATION (gif) 'say \"gif\"'\n>\n");
  // Written node after node, as the DTD code reads a declaration back.
  EXPECT_EQ(WriteTree(first, DtdOptions(), 0) + WriteTree(second, DtdOptions(), 0) + WriteTree(third, DtdOptions(), 0),
            "<!ATTLIST e\na CDATA #IMPLIED b ID #REQUIRED c (x | y) #FIXED \"x\"\n>");
  const KTWriteOptions tabbed{.indent = u"\t", .emptyTag = false, .omitDeclaration = true};
  EXPECT_EQ(WriteTree(first, tabbed, 0) + WriteTree(second, tabbed, 0),
            "<!ATTLIST e\n\ta CDATA #IMPLIED\tb ID #REQUIRED");

  // Shown names and values by part.
  KTXNode* name = first->GetFirstChild();
  EXPECT_EQ(Utf8(name->GetName()), "Name");
  EXPECT_EQ(Utf8(name->GetValue()), "a");
  EXPECT_EQ(Utf8(name->GetNextSibling()->GetName()), "Type");
  EXPECT_EQ(Utf8(name->GetNextSibling()->GetValue()), "CDATA");
  EXPECT_EQ(Utf8(first->GetLastChild()->GetName()), "Presence");
  EXPECT_EQ(Utf8(first->GetLastChild()->GetValue()), "#IMPLIED");
  EXPECT_EQ(Utf8(third->GetFirstChild()->GetNextSibling()->GetValue()), "Choice");
  EXPECT_EQ(Utf8(third->GetLastChild()->GetName()), "Default");
  EXPECT_EQ(Utf8(first->GetName()), "e");
  EXPECT_TRUE(first->HasName());
  EXPECT_FALSE(name->HasName());
  EXPECT_TRUE(name->IsEmpty());
  EXPECT_FALSE(name->GetNextSibling()->IsEmpty());
  EXPECT_EQ(Utf8(third->GetLastChild()->GetTypeCode()), "A");  // '0' + 17
}

TEST(KTDoctypeAttlist, WholeDeclarationsAndReferences) {
  auto dtd = MakeNode(kDtdDocument);
  AddAttlist(dtd.get(), kAttlistWhole, u"e", u"%attrs;");
  KTDoctypeAttlistNode* def = AddAttlist(dtd.get(), kAttlistDefinition, u"g");
  AddAttlist(def, kAttlistName, nullptr, u"t");
  AddAttlist(def, kAttlistTypePERef, nullptr, u"%type;");
  AddAttlist(def, kAttlistImplied);
  AddAttlist(dtd.get(), kAttlistDefinition, u"h");
  EXPECT_EQ(WriteTree(dtd.get(), DtdOptions()),
            "<!ATTLIST e %attrs;>\n<!ATTLIST g\nt %type; #IMPLIED\n>\n<!ATTLIST h>\n");
}

TEST(KTDoctypeDecls, EntitiesNotationsAndInternalSubset) {
  auto doctype = MakeNode(kDoctype, u"d");
  AddNode(doctype.get(), kDoctypeEntity, u"% ents", u"SYSTEM \"ents.ent\"");
  AddNode(doctype.get(), kDoctypeEntity, u"copy", u"\"&#169;\"");
  AddNode(doctype.get(), kDoctypeNotation, u"gif", u"PUBLIC \"-//gif\"");
  AddNode(doctype.get(), kText, nullptr, u"%ents;");
  AddElementDecl(doctype.get(), u"d", kContentEmpty);
  EXPECT_EQ(WriteTree(doctype.get(), SaveOptions(), 0),
            "<!DOCTYPE d [\n\t<!ENTITY % ents SYSTEM \"ents.ent\">\n\t<!ENTITY copy \"&#169;\">\n"
            "\t<!NOTATION gif PUBLIC \"-//gif\">\n\t%ents;\n\t<!ELEMENT d EMPTY>\n]>");
}

}  // namespace
