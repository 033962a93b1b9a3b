// Grammar file format, rule-expression compiler and linking.
#include "parso/parsogrammar.h"
#include "streams/ktmemorystream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ktallocationcount.h"
#include "ktgrammardescribe.h"
#include "parso_test_util.h"

namespace {

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// r0 ::= r1 'ab', r1 ::= r2 'ab', ...: every line adds a named rule and a literal.
std::string ChainOfRules(int lines) {
  std::string g;
  for (int i = 0; i < lines; ++i) {
    g += 'r';
    g += std::to_string(i);
    g += " ::= r";
    g += std::to_string(i + 1);
    g += " 'ab'\n";
  }
  return g;
}

struct LoadCase {
  const char* what;
  std::string grammar;
  int errorLine;          // 0: the load succeeds
  const char* errorText;  // part of the reason
};

TEST(GrammarFile, LoadResultsAndErrors) {
  const LoadCase cases[] = {
      {"top-down order", "a ::= 'xy' b\nb ::= 'zz'\n", 0, ""},
      {"name defined before any reference", "a ::= b\nc ::= d\n", 2,
       "\"c\" is defined before any earlier line refers to it"},
      {"blank line skipped", "a ::= b\n \t \nb ::= 'xy'\n", 0, ""},
      {"empty line ends the grammar", "a ::= 'xy'\n\nthis is no rule\n", 0, ""},
      {"empty first line", "\na ::= 'xy'\n", 1, "no rule line"},
      {"empty input", "", 1, "no rule line"},
      {"separator without expression", "a ::=\n", 1, "rule without an expression"},
      {"separator and blanks only", "a ::= \t \n", 1, "rule without an expression"},
      {"wrong separator", "a := b\n", 1, "expected \"::=\""},
      {"separator glued to the name", "a::= b\n", 1, "expected \"::=\""},
      {"reference never defined", "a ::= b c\nb ::= 'xy'\n", 1,
       "\"c\" is referenced but never defined"},
      {"constraint name never defined", "a ::= 'xy' 'zz' { L = R }\nL ::= 'l1'\n", 1,
       "\"R\" is referenced but never defined"},
      {"unterminated literal", "a ::= 'xy\n", 1, "unterminated literal"},
      {"quote as the last character", "a ::= 'xy' '\n", 1, "unterminated literal"},
      {"unterminated group", "a ::= ('x' 'y'\n", 1, "unterminated group"},
      {"unterminated class", "a ::= [ab\n", 1, "unterminated class"},
      {"unterminated constraint", "a ::= 'xy' 'zz' { L = R\n", 1, "unterminated constraint"},
      {"constraint without '='", "a ::= 'xy' 'zz' { L }\n", 1, "constraint without '='"},
      {"malformed code", "a ::= 'xy' #xZZ\n", 1, "malformed character code"},
      {"malformed code in class", "a ::= [#x4]\n", 1, "malformed character code"},
      {"41 elements", "a ::= " + Repeat("'x' ", 41) + "\n", 1, "more than 40 elements"},
      {"40 elements", "a ::= " + Repeat("'x' ", 40) + "\n", 0, ""},
      {"41 elements in a group", "a ::= (" + Repeat("'x' ", 41) + ")\n", 1,
       "more than 40 elements"},
      {"11 constraint pairs", "a ::= 'xy' 'zz' " + Repeat("{b=c}", 11) + "\n", 1,
       "more than 20 constraint entries"},
      {"501 rules", ChainOfRules(250), 250, "more than 500 rules"},
      {"500 rules", ChainOfRules(249) + "r249 ::= 'ab'\n", 0, ""},
      {"line of 1025 characters", "a ::= 'x'" + std::string(1016, ' ') + "\n", 1,
       "line longer than 1024 characters"},
      {"line of 1024 characters", "a ::= 'x'" + std::string(1015, ' ') + "\n", 1,
       "expression longer than 255 characters"},
      {"name of 256 characters", std::string(256, 'n') + " ::= 'x'\n", 1,
       "rule name longer than 255 characters"},
      {"expression of 256 characters", "a ::= '" + std::string(254, 'x') + "'\n", 1,
       "expression longer than 255 characters"},
      {"expression of 255 characters", "a ::= '" + std::string(253, 'x') + "'\n", 0, ""},
      {"CR, LF and CR LF line ends", "a ::= b c\r\nb ::= 'xy'\rc ::= 'zz'\n", 0, ""},
      {"line starting with NUL skipped", std::string("a ::= 'xy'\n") + '\0' + "junk\n", 0, ""},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    ParsoGrammar g;
    const bool ok = g.LoadText(U(c.grammar), u"gra_test.txt");
    EXPECT_TRUE(g.IsLoaded());  // set even when the load fails
    if (c.errorLine == 0) {
      EXPECT_TRUE(ok) << N(g.GetLoadError());
      continue;
    }
    EXPECT_FALSE(ok);
    const std::string prefix = "gra_test.txt: line " + std::to_string(c.errorLine) + ": ";
    EXPECT_EQ(N(g.GetLoadError()).substr(0, prefix.size()), prefix) << N(g.GetLoadError());
    EXPECT_NE(N(g.GetLoadError()).find(c.errorText), std::string::npos) << N(g.GetLoadError());
  }
}

TEST(GrammarFile, ClassCharacterAboveFFFailsTheLoad) {
  ParsoGrammar g;
  EXPECT_FALSE(g.LoadText(u"a ::= [a-\u0100]\n", u"g"));
  EXPECT_NE(N(g.GetLoadError()).find("above U+00FF"), std::string::npos);
}

TEST(GrammarFile, NameMarks) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"r ::= Eq x y z k\n"
                         u"Eq! ::= 'eq'\n"
                         u"x$! ::= 'xx'\n"
                         u"y!$ ::= 'yy'\n"
                         u"z& ::= 'zz'\n"
                         u"k ::= 'k1'\n"
                         u"k$ ::= 'k2'\n",
                         u"g"))
      << N(g.GetLoadError());
  struct Expect {
    const char16_t* name;
    bool drop, keepChain, keep;
  };
  const Expect expects[] = {{u"Eq", true, false, false},
                            {u"x", true, false, true},
                            {u"y", true, false, false},
                            {u"z", false, true, false},
                            {u"k", false, false, true}};
  for (const Expect& e : expects) {
    SCOPED_TRACE(N(e.name));
    const GrammarRule* rule = g.FindRule(e.name);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->IsDrop(), e.drop);
    EXPECT_EQ(rule->IsKeepChain(), e.keepChain);
    EXPECT_EQ(rule->IsKeep(), e.keep);
  }
  // A second line for a name appends to the rule it defined first.
  EXPECT_EQ(g.FindRule(u"k")->GetChildCount(), 2);
  EXPECT_EQ(g.FindRule(u"y$"), nullptr);
}

TEST(GrammarCompile, LastOperatorWinsForTheWholeLevel) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"x ::= a b | c\na ::= 'aa'\nb ::= 'bb'\nc ::= 'cc'\n", u"g"));
  const GrammarRule* x = g.GetRoot();
  EXPECT_EQ(x->GetOperator(), GrammarRule::kChoice);
  ASSERT_EQ(x->GetChildCount(), 3);
  EXPECT_EQ(x->GetElement(0).rule, g.FindRule(u"a"));
  EXPECT_EQ(x->GetElement(2).rule, g.FindRule(u"c"));
}

TEST(GrammarCompile, GroupAgainstAnIdentifierIsCompiledFirst) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"z ::= a(b)\na ::= 'aa'\nb ::= 'bb'\n", u"g"));
  const GrammarRule* z = g.GetRoot();
  ASSERT_EQ(z->GetChildCount(), 2);
  EXPECT_EQ(z->GetOperator(), GrammarRule::kSequence);
  EXPECT_EQ(z->GetElement(0).rule->GetKind(), GrammarRule::kGroup);
  EXPECT_EQ(z->GetElement(1).rule, g.FindRule(u"a"));
}

TEST(GrammarCompile, CodeWithMarkAndDescription) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"d ::= 'xy' #x0D* 'zz' >the doc  \n", u"g"));
  const GrammarRule* d = g.GetRoot();
  ASSERT_EQ(d->GetChildCount(), 3);
  EXPECT_EQ(d->GetElement(1).mark, u'*');
  EXPECT_EQ(d->GetElement(1).rule->GetText(), u"\r");
  EXPECT_EQ(d->GetDescription(), u"the doc  ");
}

TEST(GrammarPrint, ExpressionText) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"e ::= 'x' [a-z]* (f | g)? \"'q\" - w / v\n"
                         u"f ::= 'ff'\ng ::= 'gg'\nw ::= 'ww'\nv ::= 'vv'\n",
                         u"g"));
  std::u16string out;
  g.GetRoot()->PrintExpression(out);
  EXPECT_EQ(N(out), "'x' / [...]* / (f | g)? / \"'q\" / w / v");

  ParsoGrammar h;
  ASSERT_TRUE(h.LoadText(u"e ::= 'x' [a-z]* (f | g)?\nf ::= 'ff'\ng ::= 'gg'\n", u"g"));
  out.clear();
  h.GetRoot()->PrintExpression(out);
  EXPECT_EQ(N(out), "'x' [...]* (f | g)?");
}

TEST(GrammarLink, SingleCharacterClassesBecomeLiteralsAndLoseTheirNames) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"r ::= y z w\ny ::= 'a'\nz ::= [b]\nw ::= [cd]\n", u"g"));
  const GrammarRule* r = g.GetRoot();
  ASSERT_EQ(r->GetChildCount(), 3);
  EXPECT_EQ(g.FindRule(u"y"), nullptr);
  EXPECT_EQ(g.FindRule(u"z"), nullptr);
  EXPECT_EQ(g.FindRule(u"w"), nullptr);
  EXPECT_EQ(r->GetElement(0).rule->GetKind(), GrammarRule::kLiteral);
  EXPECT_EQ(r->GetElement(0).rule->GetText(), u"a");
  EXPECT_EQ(r->GetElement(1).rule->GetKind(), GrammarRule::kLiteral);
  EXPECT_EQ(r->GetElement(1).rule->GetText(), u"b");
  const GrammarRule* w = r->GetElement(2).rule;
  EXPECT_EQ(w->GetKind(), GrammarRule::kClass);
  EXPECT_TRUE(w->ClassContains(u'c'));
  EXPECT_TRUE(w->ClassContains(u'd'));
  EXPECT_FALSE(w->ClassContains(u'b'));
}

TEST(GrammarLink, ChoiceOfCodesMergesButAMarkedReferenceStays) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"r ::= S 'x1'\nS! ::= (#x20 | #x09 | #x0D | #x0A)+\n", u"g"));
  const GrammarRule* s = g.FindRule(u"S");
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(s->IsDrop());
  ASSERT_EQ(s->GetChildCount(), 1);
  EXPECT_EQ(s->GetElement(0).mark, u'+');
  const GrammarRule* cls = s->GetElement(0).rule;
  ASSERT_EQ(cls->GetKind(), GrammarRule::kClass);
  int members = 0;
  for (int c = 0; c < 256; ++c) members += cls->ClassContains(static_cast<char16_t>(c));
  EXPECT_EQ(members, 4);
  EXPECT_TRUE(cls->ClassContains(u'\t'));
  EXPECT_TRUE(cls->ClassContains(u'\n'));
}

TEST(GrammarLink, MergedChoicesAndUnreferencedRulesAreRemoved) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"r ::= L 'xx'\nL ::= A | B | D\nA ::= [a-m]\nB ::= [n-z]\nD ::= (E | 'q')\n"
                         u"E ::= [0-9]\n",
                         u"g"));
  // L folds into one class of both letter ranges, digits and 'q'; A, B, D, E lose their names.
  for (const char16_t* name : {u"L", u"A", u"B", u"D", u"E"}) {
    EXPECT_EQ(g.FindRule(name), nullptr) << N(name);
  }
  const GrammarRule* l = g.GetRoot()->GetElement(0).rule;
  ASSERT_EQ(l->GetKind(), GrammarRule::kClass);
  EXPECT_TRUE(l->ClassContains(u'a'));
  EXPECT_TRUE(l->ClassContains(u'z'));
  EXPECT_TRUE(l->ClassContains(u'5'));
  EXPECT_TRUE(l->ClassContains(u'q'));
  EXPECT_FALSE(l->ClassContains(u'A'));
  // Only the root, the class and the literal 'xx' remain in the table.
  int live = 0;
  for (int i = 0; i < g.GetRuleCount(); ++i) {
    if (g.GetRule(i)) {
      ++live;
      EXPECT_EQ(g.GetRule(i)->GetIndex(), i);
    }
  }
  EXPECT_EQ(live, 3);
}

TEST(GrammarLink, ConstraintRulesSurviveLinking) {
  // R appears only in the constraint; it must stay alive for the engine.
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"e ::= L 'zz' { L = R }\nL ::= 'l1'\nR ::= 'r1'\n", u"g"));
  const GrammarRule* e = g.GetRoot();
  ASSERT_EQ(e->GetConstraints().size(), 2u);
  EXPECT_EQ(e->GetConstraints()[1], g.FindRule(u"R"));
}

TEST(GrammarLink, FindRuleByKind) {
  ParsoGrammar g;
  ASSERT_TRUE(g.LoadText(u"r ::= a 'lit'\na ::= 'aa'\n", u"g"));
  EXPECT_EQ(g.FindRule(u"a", GrammarRule::kNamed), g.FindRule(u"a"));
  const GrammarRule* lit = g.FindRule(u"lit", GrammarRule::kLiteral);
  ASSERT_NE(lit, nullptr);
  EXPECT_EQ(lit, g.GetRoot()->GetElement(1).rule);
  EXPECT_EQ(g.FindRule(u"lit", GrammarRule::kNamed), nullptr);
}

}  // namespace

namespace {

void AddMemoryFile(const char16_t* name, const std::string& text) {
  std::unique_ptr<char[]> data(new char[text.size()]);
  std::memcpy(data.get(), text.data(), text.size());
  ASSERT_NE(GetMemoryFileList()->AddFile(name, std::move(data), static_cast<int32_t>(text.size()), true),
            nullptr);
}

TEST(GrammarStream, EmbeddedGrammarThroughTheBuiltinStream) {
  ParsoGrammar g;
  ASSERT_TRUE(g.Init(u"gra_xml.txt")) << N(g.GetLoadError());
  EXPECT_NE(g.FindRule(u"document"), nullptr);
  EXPECT_EQ(g.GetRoot(), g.FindRule(u"document"));

  ParsoGrammar missing;
  EXPECT_FALSE(missing.Init(u"gra_missing.txt"));
  EXPECT_EQ(N(missing.GetLoadError()).rfind("gra_missing.txt: could not open", 0), 0u)
      << N(missing.GetLoadError());
}

TEST(GrammarStream, LinesOfAStream) {
  // CR LF and lone CR end lines; the empty line ends the grammar.
  const std::string text = "a ::= b c\r\nb ::= 'xy'\rc ::= 'zz'\n\nnot a rule\n";
  AddMemoryFile(u"parso-stream-grammar.txt", text);

  KTMemoryStreamImpl reader;
  ASSERT_EQ(reader.Open(u"parso-stream-grammar.txt", kStreamModeRead), kStreamOk);
  ParsoGrammar g;
  EXPECT_TRUE(g.Load(&reader)) << N(g.GetLoadError());
  EXPECT_NE(g.FindRule(u"c"), nullptr);

  ParsoGrammar none;
  EXPECT_FALSE(none.Load(static_cast<YStream*>(nullptr)));
  EXPECT_FALSE(none.IsLoaded());
}

TEST(GrammarStream, LoadErrorNamesTheStream) {
  const std::string text = "a ::= b\nc ::= d\n";
  AddMemoryFile(u"parso-bad-grammar.txt", text);
  KTMemoryStreamImpl reader;
  ASSERT_EQ(reader.Open(u"parso-bad-grammar.txt", kStreamModeRead), kStreamOk);
  ParsoGrammar g;
  EXPECT_FALSE(g.Load(&reader, u"parso-bad-grammar.txt"));
  EXPECT_EQ(N(g.GetLoadError()).rfind("parso-bad-grammar.txt: line 2: ", 0), 0u)
      << N(g.GetLoadError());
}

// A rule's destructor runs while a grammar links (merged and unreferenced
// rules go) and while an out-of-memory error unwinds: it gives its place in
// the rule table back without allocating, however many rules go at once.
TEST(GrammarLink, RulesAreFreedWithoutAllocating) {
  std::vector<std::unique_ptr<ParsoGrammar>> grammars;
  for (int i = 0; i < 40; ++i) {
    grammars.push_back(std::make_unique<ParsoGrammar>());
    ASSERT_TRUE(grammars.back()->LoadText(U(ChainOfRules(200) + "r200 ::= 'z'\n"), u"chain"))
        << N(grammars.back()->GetLoadError());
  }
  KTAllocationCounter counter;
  grammars.clear();
  EXPECT_EQ(counter.Count(), 0u);
}


// A linked grammar saved as words loads back to the same rules, tables,
// records made only for some rules, and names; saving the reload gives the
// same words. The embedded grammars hold every kind of rule and table.
TEST(GrammarLinked, SavedWordsLoadBackToTheSameGrammar) {
  for (const char16_t* name : {u"gra_3dml.txt", u"gra_dtd.txt", u"gra_ent.txt", u"gra_re.txt", u"gra_xml.txt"}) {
    ParsoGrammar g;
    ASSERT_TRUE(g.Init(name)) << N(g.GetLoadError());
    std::vector<uint32_t> words;
    g.SaveLinked(words);
    ParsoGrammar back;
    ASSERT_TRUE(back.LoadLinked(words.data(), words.size(), u"linked")) << N(back.GetLoadError());
    EXPECT_TRUE(back.IsLoaded());
    EXPECT_EQ(DescribeGrammar(back), DescribeGrammar(g)) << N(name);
    for (int i = 0; i < g.GetRuleCount(); ++i) {
      const GrammarRule* a = g.GetRule(i);
      const GrammarRule* b = back.GetRule(i);
      if (!a) continue;
      // Presence of the records that the description shows only by content.
      EXPECT_EQ(a->HasPrefixPeers(), b->HasPrefixPeers()) << N(name) << " rule " << i;
      EXPECT_EQ(a->GetScanTable() != nullptr, b->GetScanTable() != nullptr) << N(name) << " rule " << i;
      EXPECT_EQ(a->GetSkipStopCount(), b->GetSkipStopCount()) << N(name) << " rule " << i;
    }
    std::vector<uint32_t> again;
    back.SaveLinked(again);
    EXPECT_EQ(again, words) << N(name);
  }
}

// Words cut short, of another layout, or naming a rule slot that is empty or
// out of range fail the load with a message, leaving an empty grammar.
TEST(GrammarLinked, DamagedWordsFailTheLoad) {
  ParsoGrammar g;
  ASSERT_TRUE(g.Init(u"gra_xml.txt")) << N(g.GetLoadError());
  std::vector<uint32_t> words;
  g.SaveLinked(words);
  auto expectFailure = [](const std::vector<uint32_t>& w, size_t count, const std::string& what) {
    ParsoGrammar bad;
    EXPECT_FALSE(bad.LoadLinked(w.data(), count, u"damaged")) << what;
    EXPECT_EQ(N(bad.GetLoadError()), "damaged: malformed linked grammar tables") << what;
    EXPECT_EQ(bad.GetRuleCount(), 0) << what;
    EXPECT_EQ(bad.GetRoot(), nullptr) << what;
  };
  for (size_t count = 0; count < words.size(); count += 1 + count / 8) {
    expectFailure(words, count, "cut at " + std::to_string(count));
  }
  std::vector<uint32_t> longer = words;
  longer.push_back(0);
  expectFailure(longer, longer.size(), "one word too many");
  std::vector<uint32_t> magic = words;
  magic[0] ^= 1;
  expectFailure(magic, magic.size(), "another layout");
  // The root reference follows the magic, the slot count and the presence
  // bits: point it past the last slot, then at the emptied slot.
  const size_t slots = words[1];
  const size_t rootAt = 2 + (slots + 31) / 32;
  std::vector<uint32_t> root = words;
  root[rootAt] = static_cast<uint32_t>(slots + 1);
  expectFailure(root, root.size(), "root past the last slot");
  int emptied = -1;
  for (int i = 0; i < g.GetRuleCount(); ++i) {
    if (!g.GetRule(i)) emptied = i;
  }
  ASSERT_GE(emptied, 0);
  root[rootAt] = static_cast<uint32_t>(emptied + 1);
  expectFailure(root, root.size(), "root at an emptied slot");
  std::vector<uint32_t> slotCount = words;
  slotCount[1] = kParsoMaxRules + 1;
  expectFailure(slotCount, slotCount.size(), "too many slots");
}

// What the load of every embedded grammar builds, rule by rule, against a
// record written by an earlier build: the reading, linking and table
// computation may get faster, never different. After a deliberate change to
// a grammar file or to what linking computes, rewrite the record by running
// this test with OST_WRITE_GRAMMAR_TABLES=1 and review its difference.
TEST(GrammarFile, EmbeddedGrammarsLoadToTheRecordedTables) {
  std::string dump;
  for (const char16_t* name : {u"gra_3dml.txt", u"gra_dtd.txt", u"gra_ent.txt", u"gra_re.txt", u"gra_xml.txt"}) {
    ParsoGrammar g;
    const bool ok = g.Init(name);
    dump += "grammar " + N(name) + (ok ? " loaded" : " failed: " + N(g.GetLoadError())) + " rules " +
            std::to_string(g.GetRuleCount()) + " root " +
            std::to_string(g.GetRoot() ? g.GetRoot()->GetIndex() : -1) + "\n";
    for (int i = 0; i < g.GetRuleCount(); ++i) {
      if (const GrammarRule* rule = g.GetRule(i)) {
        rule->DescribeTables(dump);
      } else {
        dump += "-\n";
      }
    }
  }
  const std::string path = OST_TEST_DATA "/parso/embedded-grammar-tables.txt";
  if (std::getenv("OST_WRITE_GRAMMAR_TABLES")) {
    std::ofstream(path, std::ios::binary) << dump;
    GTEST_SKIP() << "wrote " << path;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  std::stringstream recorded;
  recorded << in.rdbuf();
  std::istringstream want(recorded.str()), got(dump);
  std::string wantLine, gotLine;
  for (int line = 1; std::getline(want, wantLine); ++line) {
    ASSERT_TRUE(std::getline(got, gotLine)) << "line " << line << " missing: " << wantLine;
    ASSERT_EQ(gotLine, wantLine) << "line " << line;
  }
  EXPECT_FALSE(std::getline(got, gotLine)) << "extra line: " << gotLine;
}

}  // namespace
