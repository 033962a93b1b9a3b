// Grammar cache and load status: which grammars load from the embedded
// files, what the rule table of each grammar resolves, and the status record.
#include "xml/ktgrammarcache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parso/parsogrammar.h"
#include "platform/ktutf8.h"
#include "ktgrammardescribe.h"
#include "xml/ktloadstatus.h"

namespace {

TEST(GrammarCacheTest, StandardGrammarsLoadFromTheEmbeddedFiles) {
  KTGrammarCache cache;
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXml), nullptr);
  KTString failed = u"unchanged";
  EXPECT_TRUE(cache.LoadStandardGrammars(false, failed));
  EXPECT_EQ(failed, u"unchanged");
  for (int id : {0, 1, 2, 3}) {
    const KTGrammarEntry* entry = cache.FindGrammar(id);
    ASSERT_NE(entry, nullptr) << id;
    EXPECT_EQ(entry->id, static_cast<uint32_t>(id));
    EXPECT_TRUE(entry->grammar->IsLoaded());
  }
  // The two grammars the program does not carry are absent, silently.
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXmlTd), nullptr);
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXsl), nullptr);
  // A cached grammar is not loaded again; ids outside the list never load.
  const KTGrammarEntry* xml = cache.FindGrammar(KTGrammarCache::kXml);
  EXPECT_TRUE(cache.LoadGrammar(KTGrammarCache::kXml, true));
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXml), xml);
  EXPECT_FALSE(cache.LoadGrammar(6, false));
  EXPECT_FALSE(cache.LoadGrammar(-1, false));
  EXPECT_FALSE(cache.LoadGrammar(KTGrammarCache::kXsl, true));
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXml), xml);
}


// The cache builds each grammar of the start-up list that the program
// carries from the tables linked at build time; they must be exactly what
// reading, compiling and linking the embedded grammar file gives now.
TEST(GrammarCacheTest, LinkedTablesEqualTheLoadOfTheEmbeddedFile) {
  KTGrammarCache cache;
  for (int id : {KTGrammarCache::kDtd, KTGrammarCache::kXml, KTGrammarCache::kEntity, KTGrammarCache::k3dml}) {
    const KTString fileName = KTGrammarCache::GrammarFileName(id);
    bool linked = false;
    for (int i = 0; i < kLinkedGrammarTableCount; ++i) {
      linked = linked || fileName == kLinkedGrammarTables[i].fileName;
    }
    EXPECT_TRUE(linked) << "no linked tables for grammar " << id;
    ASSERT_TRUE(cache.LoadGrammar(id, false)) << id;
    const ParsoGrammar* cached = cache.FindGrammar(id)->grammar;
    ParsoGrammar read;
    ASSERT_TRUE(read.Init(fileName.c_str())) << id;
    EXPECT_EQ(DescribeGrammar(*cached), DescribeGrammar(read)) << id;
    std::vector<uint32_t> cachedWords, readWords;
    cached->SaveLinked(cachedWords);
    read.SaveLinked(readWords);
    EXPECT_EQ(cachedWords, readWords) << id;
  }
}

// Loading on first use: a lookup loads the one grammar it asks for, once, and
// gives what the start-up list would have given; the load error is untouched.
TEST(GrammarCacheTest, LoadOnFirstUseLoadsOnlyTheGrammarAskedFor) {
  KTGrammarCache cache;
  cache.SetLoadOnFirstUse(true);
  const KTGrammarEntry* xml = cache.FindGrammar(KTGrammarCache::kXml);
  ASSERT_NE(xml, nullptr);
  EXPECT_TRUE(xml->grammar->IsLoaded());
  EXPECT_NE(xml->rules.Get(KTGrammarRuleTable::kSTag), nullptr);
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXml), xml);
  EXPECT_FALSE(cache.LoadGrammar(KTGrammarCache::kXsl, true));
  const KTString error = cache.GetLoadError();
  EXPECT_FALSE(error.IsEmpty());
  // Not embedded, or outside the list: absent, and asked for again still absent.
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXsl), nullptr);
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXsl), nullptr);
  EXPECT_EQ(cache.FindGrammar(6), nullptr);
  EXPECT_EQ(cache.FindGrammar(-1), nullptr);
  EXPECT_EQ(cache.GetLoadError(), error);
  KTString failed = u"unchanged";
  EXPECT_TRUE(cache.LoadStandardGrammars(false, failed));
  EXPECT_EQ(cache.FindGrammar(KTGrammarCache::kXml), xml);
  // Without it a lookup never loads.
  KTGrammarCache plain;
  EXPECT_EQ(plain.FindGrammar(KTGrammarCache::kDtd), nullptr);
}

TEST(GrammarCacheTest, StopOnFailureEndsAtTheFirstMissingGrammar) {
  KTGrammarCache cache;
  KTString failed;
  EXPECT_FALSE(cache.LoadStandardGrammars(true, failed));
  EXPECT_EQ(failed, u"gra_xml_td.txt");
  for (int id : {0, 1, 2, 3}) EXPECT_NE(cache.FindGrammar(id), nullptr) << id;
  EXPECT_EQ(KTGrammarCache::GrammarFileName(5), u"gra_xsl.txt");
  EXPECT_TRUE(KTGrammarCache::GrammarFileName(6).IsEmpty());
}

// Every name the tree builder, the node checks and the DTD readers use must
// survive linking as a named rule (a rule of one class or one character
// would lose its name).
TEST(GrammarCacheTest, GrammarsKeepTheRuleNamesTheirUsersNeed) {
  KTGrammarCache cache;
  KTString failed;
  ASSERT_TRUE(cache.LoadStandardGrammars(false, failed));
  const char16_t* const checkNames[] = {
      u"NameOrPERef", u"PEReference", u"extSubsetDecl", u"elementSeqI", u"elementChoiceI",
      u"elementMixedI", u"attlistText", u"content", u"attlistDecl", u"elementdecl"};

  const KTGrammarEntry* xml = cache.FindGrammar(KTGrammarCache::kXml);
  KTGrammarRuleTable table;
  EXPECT_TRUE(table.Resolve(xml->grammar, true));  // all 82 names
  for (const char16_t* name : checkNames) EXPECT_NE(xml->grammar->FindRule(name), nullptr) << KTUtf16ToUtf8(name);

  const KTGrammarEntry* dtd = cache.FindGrammar(KTGrammarCache::kDtd);
  EXPECT_FALSE(table.Resolve(dtd->grammar, true));
  EXPECT_TRUE(table.Resolve(dtd->grammar, false));
  for (int i = 0; i < KTGrammarRuleTable::kCount; ++i) {
    const bool documentOnly = i == KTGrammarRuleTable::kSdDecl || i == KTGrammarRuleTable::kSdValue ||
                              (i >= KTGrammarRuleTable::kAttribute && i <= KTGrammarRuleTable::kAttName) ||
                              (i >= KTGrammarRuleTable::kRealElemTag && i <= KTGrammarRuleTable::kTextData) ||
                              i == KTGrammarRuleTable::kDoctypeDecl || i == KTGrammarRuleTable::kDocTypeName ||
                              (i >= KTGrammarRuleTable::kExternalId && i <= KTGrammarRuleTable::kExtIdTextPub);
    EXPECT_EQ(table.Get(i) == nullptr, documentOnly) << KTUtf16ToUtf8(KTGrammarRuleTable::kNames[i]);
  }
  for (const char16_t* name : checkNames) {
    const bool documentOnly = std::u16string_view(name) == u"content";
    EXPECT_EQ(dtd->grammar->FindRule(name) == nullptr, documentOnly) << KTUtf16ToUtf8(name);
  }

  const KTGrammarEntry* ent = cache.FindGrammar(KTGrammarCache::kEntity);
  EXPECT_NE(ent->grammar->FindRule(u"content"), nullptr);
  EXPECT_NE(ent->rules.Get(KTGrammarRuleTable::kRealElemTag), nullptr);
  EXPECT_NE(ent->rules.Get(KTGrammarRuleTable::kXmlDecl), nullptr);

  // A rule of one grammar is not taken for the same index of another.
  const GrammarRule* xmlContent = xml->rules.Get(KTGrammarRuleTable::kContent);
  EXPECT_EQ(xml->rules.IndexOf(xmlContent), KTGrammarRuleTable::kContent);
  EXPECT_EQ(ent->rules.IndexOf(xmlContent), -1);
}

TEST(LoadStatusTest, CodeDecidesAndClearKeepsDetail) {
  KTLoadStatus status;
  EXPECT_FALSE(status.HasError());
  status.SetError(KTLoadStatus::kLoader, 0);
  EXPECT_FALSE(status.HasError());  // a category alone is no error
  status.Set(KTLoadStatus::kFile, 2, 1, KTString(u"No such file"));
  EXPECT_TRUE(status.HasError());
  status.SetError(KTLoadStatus::kParse, KTLoadStatus::kParseFailed);
  EXPECT_EQ(status.GetDetail(), 1);  // parse errors leave detail alone
  status.SetPosition(3, 4);
  status.Clear();
  EXPECT_FALSE(status.HasError());
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kNone);
  EXPECT_TRUE(status.GetMessage().IsEmpty());
  EXPECT_EQ(status.GetLine(), 0);
  EXPECT_EQ(status.GetDetail(), 1);
}

}  // namespace
