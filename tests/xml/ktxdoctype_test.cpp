// Declarations written as DTD text and read back through the DTD grammar
// give the same declaration nodes.
#include <gtest/gtest.h>

#include "ktxtest_util.h"
#include "platform/ktwchar.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"

namespace {

// One line per node: depth, kind, name, type code and the value in use;
// white-space-only text between declarations is left out.
void Dump(const KTXNode* node, int depth, std::string& out) {
  if (node->GetKind() == kText) {
    bool blank = true;
    for (const char16_t* p = node->GetValue(); *p; ++p) blank = blank && (*p == u' ' || *p == u'\n' || *p == u'\t');
    if (blank) return;
  }
  out += std::string(depth * 2, ' ') + Utf8(node->GetKindName()) + " [" + Utf8(node->GetName()) + "] " +
         Utf8(node->GetTypeCode()) + " " + (node->IsEmpty() ? Utf8(node->GetValue()) : std::string("-")) + "\n";
  for (KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) Dump(c, depth + 1, out);
}

KTDoctypeElementNode* Decl(KTXNode* parent, const char16_t* name, int type, int occurrence = 0) {
  auto* node = static_cast<KTDoctypeElementNode*>(AddNode(parent, kDoctypeElement, name));
  node->SetContentType(type);
  node->SetOccurrence(occurrence);
  return node;
}

KTDoctypeAttlistNode* Part(KTXNode* parent, int part, const char16_t* name = nullptr, const char16_t* value = nullptr) {
  auto* node = static_cast<KTDoctypeAttlistNode*>(AddNode(parent, kDoctypeAttlist, name, value));
  node->SetPart(part);
  return node;
}

std::unique_ptr<KTXNode> Declarations() {
  auto dtd = MakeNode(kDtdDocument);
  Decl(dtd.get(), u"empty", kContentEmpty);
  Decl(dtd.get(), u"any", kContentAny);
  Decl(dtd.get(), u"text", kContentPCData);
  KTDoctypeElementNode* mixed = Decl(dtd.get(), u"mixed", kContentMixed);
  Decl(mixed, u"a", kContentName);
  Decl(mixed, u"b", kContentName);
  KTDoctypeElementNode* seq = Decl(dtd.get(), u"seq", kContentSequence);
  Decl(seq, u"a", kContentName, 1);
  Decl(seq, u"b", kContentName, 2);
  Decl(seq, u"c", kContentName, 3);
  Decl(seq, u"d", kContentName);
  for (int occurrence = 0; occurrence <= 3; ++occurrence) {
    const char16_t* names[] = {u"choice0", u"choice1", u"choice2", u"choice3"};
    KTDoctypeElementNode* choice = Decl(dtd.get(), names[occurrence], kContentChoice, occurrence);
    Decl(choice, u"x", kContentName);
    KTDoctypeElementNode* group = Decl(choice, u"", kContentSequence, 2);
    Decl(group, u"y", kContentName);
    Decl(group, u"z", kContentName, 1);
  }

  KTDoctypeAttlistNode* def = Part(dtd.get(), kAttlistDefinition, u"seq");
  Part(def, kAttlistName, nullptr, u"id");
  Part(def, kAttlistTypeCDATA + 1);  // ID
  Part(def, kAttlistRequired);
  const char16_t* const kTypeAttributes[] = {u"c", u"r", u"rs", u"en", u"ens", u"tok", u"toks"};
  const int kTypes[] = {2, 4, 5, 6, 7, 8, 9};
  for (int i = 0; i < 7; ++i) {
    def = Part(dtd.get(), kAttlistDefinition, u"seq");
    Part(def, kAttlistName, nullptr, kTypeAttributes[i]);
    Part(def, kTypes[i]);
    Part(def, kAttlistImplied);
  }
  def = Part(dtd.get(), kAttlistDefinition, u"seq");
  Part(def, kAttlistName, nullptr, u"kind");
  Part(def, kAttlistTypeEnum);
  Part(def, kAttlistValue, nullptr, u"one");
  Part(def, kAttlistValue, nullptr, u"two");
  Part(def, kAttlistDefault, nullptr, u"one");
  def = Part(dtd.get(), kAttlistDefinition, u"seq");
  Part(def, kAttlistName, nullptr, u"img");
  Part(def, kAttlistTypeNotation);
  Part(def, kAttlistValue, nullptr, u"gif");
  Part(def, kAttlistFixed);
  Part(def, kAttlistDefault, nullptr, u"gif");

  // Parameter-entity references: a content model and a whole attribute
  // list held as text, and an attribute type given by reference.
  Decl(dtd.get(), u"free", kContentText)->SetValue(u"%model;");
  Part(dtd.get(), kAttlistWhole, u"free", u"t CDATA %dflt;");
  def = Part(dtd.get(), kAttlistDefinition, u"any");
  Part(def, kAttlistName, nullptr, u"t");
  Part(def, kAttlistTypePERef, nullptr, u"%type;");
  Part(def, kAttlistImplied);

  AddNode(dtd.get(), kDoctypeEntity, u"copy", u"\"&#169;\"");
  AddNode(dtd.get(), kDoctypeEntity, u"ext", u"SYSTEM \"ext.xml\"");
  AddNode(dtd.get(), kDoctypeEntity, u"% pe", u"\"(a | b)\"");
  AddNode(dtd.get(), kDoctypeNotation, u"gif", u"PUBLIC \"-//gif\"");
  AddNode(dtd.get(), kDoctypeNotation, u"png", u"SYSTEM \"png\"");
  return dtd;
}

TEST(KTDoctypeRoundTrip, DeclarationsReadBackEqual) {
  KTGrammarCache cache;
  ASSERT_TRUE(cache.LoadGrammar(KTGrammarCache::kDtd, false)) << Utf8(cache.GetLoadError());
  auto written = Declarations();
  const KTWriteOptions options{.emptyTag = false, .omitDeclaration = true};
  KTString text;
  int length = 0;
  written->WriteText(text, length, -1, options);

  KTParserDriver driver;
  KTLoadStatus status;
  auto read = MakeNode(kDtdDocument);
  ASSERT_TRUE(driver.Init(cache.FindGrammar(KTGrammarCache::kDtd), true, true, true));
  ASSERT_TRUE(driver.Parse(text.c_str(), length, status, read.get(), nullptr, true))
      << Utf8(status.GetMessage()) << "\n" << Utf8(text);

  std::string expected, actual;
  Dump(written.get(), 0, expected);
  Dump(read.get(), 0, actual);
  EXPECT_EQ(actual, expected) << Utf8(text);
}

// Declaration nodes compute their names and values from their parts; the
// lengths they report are those of the texts they answer.
TEST(KTDoctypeNodes, NameAndValueLengthsMatchTheComputedTexts) {
  auto dtd = Declarations();
  for (KTXNode* node = dtd.get(); node; node = node->NextInDocumentOrder(true)) {
    EXPECT_EQ(node->GetNameLength(), KTStrLen(node->GetName())) << Utf8(node->GetName());
    EXPECT_EQ(node->GetValueLength(), KTStrLen(node->GetValue())) << Utf8(node->GetValue());
  }
}

}  // namespace
