// Tests of the node checks against a small grammar that defines the rules
// the checks name.
#include <gtest/gtest.h>

#include "ktxtest_util.h"
#include "parso/parsogrammar.h"
#include "parso/parsoparser.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnodecheck.h"

namespace {

const char16_t kCheckGrammar[] =
    u"checks ::= ElementName AttName AttValue1 AttValue2 TextData PITarget PIData CommentText CData\n"
    u"checks ::= DocTypeName ExtIDTextSys ExtIDTextPub VersionNum EncName SDValue extSubsetDecl elementdecl\n"
    u"checks ::= NameOrPERef GEName GEDef PEName PEDef NotationName NotationText AttlistName AttTypeEnumName\n"
    u"checks ::= PEReference\n"
    u"ElementName ::= [a-zA-Z_:] [a-zA-Z0-9_:.]* >element name\n"
    u"AttName ::= [a-zA-Z_:]+ >attribute name\n"
    u"AttValue1 ::= [^<&\"]* >attribute value\n"
    u"AttValue2 ::= [^<&']* >attribute value\n"
    u"TextData ::= [^<&]+ >character data\n"
    u"PITarget ::= [a-z]+ >target\n"
    u"PIData ::= [^?]* >processing instruction data\n"
    u"CommentText ::= [^#x2D]* >comment text\n"
    u"CData ::= [^#x5D]* >character data section\n"
    u"DocTypeName ::= [a-z]+ >document type name\n"
    u"ExtIDTextSys ::= '\"' [^\"]* '\"' >system literal\n"
    u"ExtIDTextPub ::= '\"' [^\"]* '\" \"' [^\"]* '\"' >public id and system literal\n"
    u"VersionNum ::= '1.' [0-9]+ >version number\n"
    u"EncName ::= [A-Za-z] [A-Za-z0-9._#x2D]* >encoding name\n"
    u"SDValue ::= 'yes' | 'no' >standalone value\n"
    u"extSubsetDecl ::= '%' [a-z]+ ';' >parameter-entity reference\n"
    u"elementdecl ::= '<!ELEMENT ' [a-z]+ ' ' spec '>' >element declaration\n"
    u"spec ::= 'EMPTY' | 'ANY' | group >content model\n"
    u"group ::= '(' [a-z, |#]+ ')' [*?+]? >group\n"
    u"NameOrPERef ::= [a-z%;]+ >element name\n"
    u"GEName ::= [a-z]+ >entity name\n"
    u"GEDef ::= '\"' [^\"]* '\"' >entity value\n"
    u"PEName ::= '% ' [a-z]+ >parameter entity name\n"
    u"PEDef ::= '\"' [^\"]* '\"' >parameter entity value\n"
    u"NotationName ::= [a-z]+ >notation name\n"
    u"NotationText ::= 'SYSTEM \"' [^\"]* '\"' >notation id\n"
    u"AttlistName ::= [a-z]+ >attribute name\n"
    u"AttTypeEnumName ::= [a-z0-9]+ >enumerated value\n"
    u"PEReference ::= '%' [a-z]+ ';' >parameter-entity reference\n";

class KTXNodeCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(grammar_.LoadText(kCheckGrammar, u"checks")) << Utf8(grammar_.GetLoadError().c_str());
    parser_ = std::make_unique<ParsoParser>(&grammar_);
    parser_->SetCaseSensitive(true);
  }

  // Runs ValidateSubtree with a fresh checker; returns "" on success, else
  // the failing node's name or kind, the name flag and the message id found
  // by matching the stored message against each candidate text.
  struct Result {
    bool ok;
    KTXNode* node;
    bool name;
    int detail;
  };
  Result Check(KTXNode* root) {
    KTTextChecker checker(parser_.get());
    bool ok = root->ValidateSubtree(checker);
    return {ok, checker.GetNode(), checker.IsNameFailure(), checker.GetDetail()};
  }

  ParsoGrammar grammar_;
  std::unique_ptr<ParsoParser> parser_;
};

TEST_F(KTXNodeCheck, DocumentStructure) {
  auto doc = MakeNode(kXmlDocument);
  KTXNode* comment = AddNode(doc.get(), kComment, nullptr, u"only");
  Result r = Check(doc.get());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.node, comment);  // no element: the last child is named

  AddNode(doc.get(), kElement, u"a");
  EXPECT_TRUE(Check(doc.get()).ok);
  KTXNode* second = AddNode(doc.get(), kElement, u"b");
  r = Check(doc.get());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.node, second);

  // A child kind the parent does not take.
  auto e = MakeNode(kElement, u"e");
  KTXNode* stray = AddNode(e.get(), kDoctype, u"d");
  r = Check(e.get());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.node, stray);

  auto entity = MakeNode(kXmlEntity);
  AddNode(entity.get(), kXmlTag);
  KTXNode* tag2 = AddNode(entity.get(), kXmlTag);
  r = Check(entity.get());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.node, tag2);
}

TEST_F(KTXNodeCheck, NamesAndValuesAgainstRules) {
  struct Case {
    const char* what;
    int kind;
    const char16_t* name;
    const char16_t* value;
    bool ok;
    bool nameFails;
  };
  const Case cases[] = {
      {"element name", kElement, u"ok", nullptr, true, false},
      {"bad element name", kElement, u"9x", nullptr, false, true},
      {"missing element name", kElement, nullptr, nullptr, false, true},
      {"whitespace value skips the grammar", kElement, u"e", u"  \n", true, false},
      {"text value", kElement, u"e", u"a&b", false, false},
      {"attribute", kAttribute, u"a", u"v", true, false},
      {"attribute value with a double quote uses the second rule", kAttribute, u"a", u"say \"x\"", true, false},
      {"attribute value with both quotes", kAttribute, u"a", u"'\"", false, false},
      {"bad attribute name", kAttribute, u"1", u"v", false, true},
      {"text", kText, nullptr, u"plain", true, false},
      {"blank text", kText, nullptr, u" \t", true, false},
      {"bad text", kText, nullptr, u"a<b", false, false},
      {"comment", kComment, nullptr, u"c", true, false},
      {"bad comment", kComment, nullptr, u"a-b", false, false},
      {"empty comment", kComment, nullptr, nullptr, true, false},
      {"cdata", kCData, nullptr, u"<x>", true, false},
      {"processing instruction", kProcessingInstruction, u"pi", u"data", true, false},
      {"pi without data", kProcessingInstruction, u"pi", nullptr, true, false},
      {"bad pi target", kProcessingInstruction, u"PI", nullptr, false, true},
      {"system id", kDoctypeExternalId, u"SYSTEM", u"\"a.dtd\"", true, false},
      {"public id", kDoctypeExternalId, u"PUBLIC", u"\"-//x\" \"a.dtd\"", true, false},
      {"keyword case matters", kDoctypeExternalId, u"system", u"\"a.dtd\"", false, true},
      {"external id without literal", kDoctypeExternalId, u"SYSTEM", nullptr, false, false},
      {"general entity", kDoctypeEntity, u"copy", u"\"c\"", true, false},
      {"parameter entity", kDoctypeEntity, u"% ents", u"\"x\"", true, false},
      {"parameter entity name checked as such", kDoctypeEntity, u"%ents", u"\"x\"", false, true},
      {"entity without value", kDoctypeEntity, u"copy", nullptr, false, false},
      {"notation", kDoctypeNotation, u"gif", u"SYSTEM \"gif\"", true, false},
      {"bad notation text", kDoctypeNotation, u"gif", u"gif", false, false},
  };
  for (const Case& c : cases) {
    auto node = MakeNode(c.kind, c.name, c.value);
    KTTextChecker checker(parser_.get());
    EXPECT_EQ(node->Validate(checker), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(checker.GetNode(), node.get()) << c.what;
      EXPECT_EQ(checker.IsNameFailure(), c.nameFails) << c.what;
    }
  }
}

TEST_F(KTXNodeCheck, DuplicateAttributesAndDisabledChecker) {
  auto e = MakeNode(kElement, u"e");
  AddNode(e.get(), kAttribute, u"a", u"1");
  AddNode(e.get(), kAttribute, u"b", u"1");
  KTXNode* again = AddNode(e.get(), kAttribute, u"a", u"2");
  KTTextChecker duplicate(parser_.get());
  EXPECT_FALSE(e->ValidateSubtree(duplicate));
  EXPECT_EQ(duplicate.GetNode(), again);
  EXPECT_TRUE(duplicate.IsNameFailure());
  EXPECT_EQ(Utf8(duplicate.GetMessage()), "The attribute a is given more than once");

  // Past a handful of attributes the duplicate is found the same way.
  auto many = MakeNode(kElement, u"m");
  const char16_t* const names[] = {u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h", u"i", u"j", u"c"};
  for (const char16_t* name : names) AddNode(many.get(), kAttribute, name, u"1");
  KTTextChecker manyChecker(parser_.get());
  EXPECT_FALSE(many->Validate(manyChecker));
  EXPECT_EQ(manyChecker.GetNode(), many->GetLastChild());

  // A disabled checker passes every grammar check but not structure checks.
  auto bad = MakeNode(kElement, u"9");
  KTTextChecker disabled(parser_.get());
  disabled.SetDisabled(true);
  EXPECT_TRUE(bad->ValidateSubtree(disabled));
  EXPECT_FALSE(e->ValidateSubtree(disabled));
}

TEST_F(KTXNodeCheck, GrammarFailureCarriesOffsetAndMessage) {
  auto text = MakeNode(kText, nullptr, u"abc<def");
  KTTextChecker checker(parser_.get());
  EXPECT_FALSE(text->Validate(checker));
  EXPECT_EQ(checker.GetErrorOffset(), 3);
  EXPECT_EQ(checker.GetErrorLine(), 1);
  EXPECT_FALSE(checker.GetMessage().IsEmpty());
}

TEST_F(KTXNodeCheck, XmlDeclarationByContainer) {
  struct Case {
    const char* what;
    int container;
    std::vector<std::pair<const char16_t*, const char16_t*>> attributes;
    bool ok;
    int failingAttribute;  // index, or -1 for the declaration itself
  };
  const Case cases[] = {
      {"document declaration", kXmlDocument, {{u"version", u"1.0"}, {u"standalone", u"yes"}}, true, 0},
      {"document needs a version", kXmlDocument, {{u"encoding", u"UTF-8"}}, false, -1},
      {"bad version number", kXmlDocument, {{u"version", u"2"}}, false, 0},
      {"text declaration needs an encoding", kDtdDocument, {{u"version", u"1.0"}}, false, -1},
      {"text declaration", kDtdDocument, {{u"version", u"1.0"}, {u"encoding", u"UTF-8"}}, true, 0},
      {"standalone in an entity", kXmlEntity, {{u"version", u"1.0"}, {u"standalone", u"no"}}, false, 1},
      {"unknown pseudo-attribute", kXmlDocument, {{u"version", u"1.0"}, {u"other", u"x"}}, false, 1},
  };
  for (const Case& c : cases) {
    auto container = MakeNode(c.container);
    KTXNode* tag = AddNode(container.get(), kXmlTag);
    std::vector<KTXNode*> attributes;
    for (auto [name, value] : c.attributes) attributes.push_back(AddNode(tag, kAttribute, name, value));
    KTTextChecker checker(parser_.get());
    EXPECT_EQ(tag->Validate(checker), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(checker.GetNode(), c.failingAttribute < 0 ? tag : attributes[c.failingAttribute]) << c.what;
    }
  }
}

TEST_F(KTXNodeCheck, DoctypeAndDtdText) {
  auto doctype = MakeNode(kDoctype, u"d");
  AddNode(doctype.get(), kDoctypeExternalId, u"SYSTEM", u"\"a\"");
  AddNode(doctype.get(), kText, nullptr, u"%ents;");
  EXPECT_TRUE(Check(doctype.get()).ok);
  KTXNode* empty = AddNode(doctype.get(), kText, nullptr, u"");
  EXPECT_EQ(Check(doctype.get()).node, empty);
  doctype->RemoveEmptyTexts(nullptr);
  KTXNode* second = AddNode(doctype.get(), kDoctypeExternalId, u"SYSTEM", u"\"b\"");
  EXPECT_EQ(Check(doctype.get()).node, second);
}

TEST_F(KTXNodeCheck, ElementDeclarationWrittenAndParsed) {
  auto dtd = MakeNode(kDtdDocument);
  auto* e = static_cast<KTDoctypeElementNode*>(AddNode(dtd.get(), kDoctypeElement, u"e"));
  e->SetContentType(kContentChoice);
  e->SetOccurrence(3);
  AddNode(e, kDoctypeElement, u"a");
  AddNode(e, kDoctypeElement, u"b");
  EXPECT_TRUE(Check(dtd.get()).ok);

  // A particle name the declaration grammar rejects fails the whole
  // declaration once its text is parsed.
  auto* bad = static_cast<KTDoctypeElementNode*>(AddNode(dtd.get(), kDoctypeElement, u"f"));
  bad->SetContentType(kContentSequence);
  AddNode(bad, kDoctypeElement, u"x");
  KTXNode* group = AddNode(bad, kDoctypeElement);
  static_cast<KTDoctypeElementNode*>(group)->SetContentType(kContentChoice);
  AddNode(group, kDoctypeElement, u"y");
  Result r = Check(dtd.get());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.node, bad);
}

TEST_F(KTXNodeCheck, AttributeListPartOrder) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, const char16_t*>> parts;
    bool ok;
    int failingPart;  // index into parts, or parts.size() for the definition itself
    int detail;
  };
  const Case cases[] = {
      {"name type presence", {{1, u"a"}, {2, nullptr}, {15, nullptr}}, true, 0, 0},
      {"fixed with default", {{1, u"a"}, {2, nullptr}, {16, nullptr}, {17, u"v"}}, true, 0, 0},
      {"default alone", {{1, u"a"}, {2, nullptr}, {17, u"v"}}, true, 0, 0},
      {"enumeration", {{1, u"a"}, {11, nullptr}, {13, u"x"}, {13, u"y"}, {14, nullptr}}, true, 0, 0},
      {"lone parameter reference", {{1, u"%att;"}}, true, 0, 0},
      {"type as last reference", {{1, u"a"}, {12, u"%t;"}}, true, 0, 0},
      {"missing type", {{1, u"a"}, {15, nullptr}}, false, 1, 1},
      {"enumeration without values", {{1, u"a"}, {11, nullptr}, {15, nullptr}}, false, 2, 2},
      {"values after CDATA", {{1, u"a"}, {2, nullptr}, {13, u"x"}, {15, nullptr}}, false, 2, 0},
      {"fixed without default", {{1, u"a"}, {2, nullptr}, {16, nullptr}}, false, 3, 4},
      {"default after implied", {{1, u"a"}, {2, nullptr}, {15, nullptr}, {17, u"v"}}, false, 3, 0},
      {"nothing after default", {{1, u"a"}, {2, nullptr}, {17, u"v"}, {15, nullptr}}, false, 3, 0},
      {"ends after type", {{1, u"a"}, {2, nullptr}}, false, 2, 3},
      {"empty enumerated value", {{1, u"a"}, {11, nullptr}, {13, nullptr}, {15, nullptr}}, false, 2, 0},
  };
  for (const Case& c : cases) {
    auto dtd = MakeNode(kDtdDocument);
    auto* def = static_cast<KTDoctypeAttlistNode*>(AddNode(dtd.get(), kDoctypeAttlist, u"e"));
    std::vector<KTXNode*> parts;
    for (auto [code, value] : c.parts) {
      auto* part = static_cast<KTDoctypeAttlistNode*>(AddNode(def, kDoctypeAttlist, nullptr, value));
      part->SetPart(code);
      parts.push_back(part);
    }
    KTTextChecker checker(parser_.get());
    EXPECT_EQ(dtd->ValidateSubtree(checker), c.ok) << c.what;
    if (c.ok) continue;
    KTXNode* expected = c.failingPart < static_cast<int>(parts.size()) ? parts[c.failingPart] : def;
    EXPECT_EQ(checker.GetNode(), expected) << c.what;
    if (c.detail) {
      EXPECT_EQ(checker.GetDetail(), c.detail) << c.what;
    }
  }

  // A part outside a definition is out of place; a whole declaration is not.
  auto dtd = MakeNode(kDtdDocument);
  auto* loose = static_cast<KTDoctypeAttlistNode*>(AddNode(dtd.get(), kDoctypeAttlist, u"e", u"x"));
  loose->SetPart(kAttlistName);
  KTTextChecker checker(parser_.get());
  EXPECT_FALSE(loose->Validate(checker));
  loose->SetPart(kAttlistWhole);
  loose->SetValue(nullptr);
  KTTextChecker checker2(parser_.get());
  EXPECT_FALSE(loose->Validate(checker2));
  EXPECT_FALSE(checker2.IsNameFailure());
}

// A parsed document passes the checks of the grammar it was parsed with,
// and an edit that breaks a rule is found.
TEST(KTXNodeCheckDocumentGrammar, ParsedDocumentPassesItsOwnGrammar) {
  KTGrammarCache cache;
  ASSERT_TRUE(cache.LoadGrammar(KTGrammarCache::kXml, false)) << Utf8(cache.GetLoadError());
  const KTGrammarEntry* entry = cache.FindGrammar(KTGrammarCache::kXml);
  const std::u16string text =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      u"<!DOCTYPE doc SYSTEM \"doc.dtd\" [\n"
      u"<!ELEMENT doc (head?, (p | list)*)>\n"
      u"<!ELEMENT p (#PCDATA | b)*>\n"
      u"<!ATTLIST doc id ID #REQUIRED kind (a | b) \"a\">\n"
      u"<!ENTITY e \"x\">\n"
      u"<!NOTATION n SYSTEM \"n\">\n"
      u"]>\n"
      u"<doc id=\"d1\"><!-- c --><p>t &e; <b>b</b></p><?pi data?><![CDATA[<x>]]></doc>\n";
  KTParserDriver driver;
  KTLoadStatus status;
  auto doc = MakeNode(kXmlDocument);
  ASSERT_TRUE(driver.Init(entry, true, true, true));
  ASSERT_TRUE(driver.Parse(text.c_str(), static_cast<int>(text.size()), status, doc.get(), nullptr, true))
      << Utf8(status.GetMessage());

  ParsoParser parser(entry->grammar);
  parser.SetCaseSensitive(true);
  KTTextChecker checker(&parser);
  EXPECT_TRUE(doc->ValidateSubtree(checker)) << Utf8(checker.GetMessage()) << " at "
                                             << (checker.GetNode() ? Utf8(checker.GetNode()->GetName()) : "");

  KTChildKindIterator it;
  doc->FirstChildOfKind(it, kElement);
  ASSERT_FALSE(it.IsEnd());
  KTXNode* bad = AddNode(it.Node(), kAttribute, u"1x", u"v");
  KTTextChecker again(&parser);
  EXPECT_FALSE(doc->ValidateSubtree(again));
  EXPECT_EQ(again.GetNode(), bad);
  EXPECT_TRUE(again.IsNameFailure());
}

}  // namespace
