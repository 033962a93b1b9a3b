// XML Schema regular expressions: whole-text matching with both match flags,
// character classes and escapes, compile errors, samples and the limits
// that bound backtracking.
#include "schema/xmlregexp.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/ktutf8.h"

namespace {

std::string U8(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

struct MatchCase {
  const char16_t* pattern;
  uint8_t flag;
  const char16_t* text;
  bool matches;
};

TEST(XMLRegExpTest, MatchesWholeTexts) {
  const MatchCase cases[] = {
      // Alternation: flag 0 backtracks into the second branch, flag 1 stops
      // at the first attempt that leaves text over.
      {u"a|ab", 0, u"ab", true},
      {u"a|ab", 1, u"ab", false},
      {u"a|ab", 1, u"a", true},
      {u"a*a", 0, u"aaa", true},
      {u"(ab)+", 0, u"ababab", true},
      {u"(ab)+", 0, u"ababa", false},
      {u"a|", 0, u"", true},
      {u"", 0, u"", true},
      {u"", 0, u"a", false},
      // Subtraction and groups.
      {u"[a-z-[aeiou]]", 0, u"b", true},
      {u"[a-z-[aeiou]]", 0, u"e", false},
      {u"[^a]", 0, u"b", true},
      {u"[^a]", 0, u"a", false},
      {u"[-a]", 0, u"-", true},
      {u"[a-]", 0, u"-", true},
      {u"[\\-x]+", 0, u"-x-", true},
      {u"[^\\d]", 0, u"5", false},
      {u"[^\\d]", 0, u"x", true},
      // Categories and blocks; block names may hold digits.
      {u"\\p{Lu}", 0, u"A", true},
      {u"\\p{Lu}", 0, u"a", false},
      {u"\\p{L}", 0, u"a", true},
      {u"\\p{L}", 0, u"A", true},
      {u"\\P{L}", 0, u"1", true},
      {u"\\P{L}", 0, u"x", false},
      {u"\\p{IsBasicLatin}", 0, u"A", true},
      {u"\\p{IsBasicLatin}", 0, u"\u00e9", false},
      {u"\\p{IsLatin-1Supplement}", 0, u"\u00e9", true},
      {u"\\p{IsLatin-1Supplement}", 0, u"e", false},
      {u"\\p{IsLatinExtended-A}+", 0, u"\u0100\u017f", true},
      {u"\\p{IsNoSuchBlock}", 0, u"a", false},
      // Wildcard and escapes.
      {u".", 0, u"\n", false},
      {u".", 0, u"\u4e00", true},
      {u"\\s", 0, u"\t", true},
      {u"\\S", 0, u" ", false},
      {u"\\n\\r\\t", 0, u"\n\r\t", true},
      {u"\\.\\*\\{", 0, u".*{", true},
      {u"\\i\\c*", 0, u"_a1-b", true},
      {u"\\i\\c*", 0, u"1a", false},
      {u"\\w", 0, u"!", false},
      {u"\\W", 0, u"!", true},
      // Quantities.
      {u"\\d{2,3}", 0, u"12", true},
      {u"\\d{2,3}", 0, u"123", true},
      {u"\\d{2,3}", 0, u"1234", false},
      {u"\\d{2,3}", 0, u"1", false},
      {u"a{2}", 0, u"aa", true},
      {u"a{2,}", 0, u"aaaaa", true},
      {u"a{0}b", 0, u"b", true},
      {u"x?", 0, u"", true},
      {u"(a?){3}b", 0, u"b", true},
      // Built-in shapes.
      {u"[\\-\\+]?(\\d*\\.)?\\d+", 1, u"-12.50", true},
      {u"[\\-\\+]?(\\d*\\.)?\\d+", 1, u"1.", false},
  };
  for (const MatchCase& c : cases) {
    XMLRegExp re(KTString(c.pattern), c.flag);
    ASSERT_TRUE(re.IsCompiled()) << U8(c.pattern);
    EXPECT_EQ(re.Match(KTString(c.text)) == XMLRegExp::kMatch, c.matches)
        << U8(c.pattern) << " flag " << int(c.flag) << " on \"" << U8(c.text) << "\"";
  }
}

TEST(XMLRegExpTest, CompileErrorsSetTheErrorValues) {
  const struct {
    const char16_t* pattern;
    int offset;
  } cases[] = {
      {u"(", 1},
      {u"a)", 1},
      {u"[a", 2},
      {u"\\p{Xx}", 3},
      {u"a{,2}", 2},
      {u"\\q", 0},
  };
  for (const auto& c : cases) {
    XMLRegExp re(KTString(c.pattern), 0);
    EXPECT_FALSE(re.IsCompiled()) << U8(c.pattern);
    EXPECT_EQ(XMLRegExp::GetErrorOffset(), c.offset) << U8(c.pattern);
    EXPECT_EQ(XMLRegExp::GetErrorLine(), 1);
    EXPECT_EQ(U8(XMLRegExp::GetErrorPosition()), U8(KTString(c.pattern).Mid(c.offset)));
    EXPECT_FALSE(XMLRegExp::GetErrorText().IsEmpty()) << U8(c.pattern);
    // Without a compiled form every text matches: callers check compiling first.
    EXPECT_EQ(re.Match(KTString(u"anything")), XMLRegExp::kMatch);
    EXPECT_TRUE(re.MakeSample().IsEmpty());
  }
}

TEST(XMLRegExpTest, GroupsNestedTooDeeplyAreRefused) {
  std::u16string deep(XMLRegExp::kMaxNesting + 1, u'(');
  deep += u'a';
  deep += std::u16string(XMLRegExp::kMaxNesting + 1, u')');
  XMLRegExp re(KTString(std::u16string_view(deep)), 0);
  EXPECT_FALSE(re.IsCompiled());

  std::u16string fits(XMLRegExp::kMaxNesting, u'(');
  fits += u'a';
  fits += std::u16string(XMLRegExp::kMaxNesting, u')');
  XMLRegExp ok(KTString(std::u16string_view(fits)), 0);
  ASSERT_TRUE(ok.IsCompiled());
  EXPECT_EQ(ok.Match(KTString(u"a")), XMLRegExp::kMatch);
}

TEST(XMLRegExpTest, SamplesMatchTheirPatterns) {
  const struct {
    const char16_t* pattern;
    const char16_t* sample;
  } cases[] = {
      {u"[A-Z]{2}\\d+", u"AA0"}, {u"x?", u"x"},   {u"a|b", u"a"},
      {u"[^a]", u"x"},           {u"\\s\\S", u"\rx"}, {u"\\p{IsLatin-1Supplement}", u"\u0080"},
      {u"\\i\\c", u"AA"},        {u"(ab){2}", u"abab"},
  };
  for (const auto& c : cases) {
    XMLRegExp re(KTString(c.pattern), 0);
    ASSERT_TRUE(re.IsCompiled()) << U8(c.pattern);
    const KTString sample = re.MakeSample();
    EXPECT_EQ(sample, KTString(c.sample)) << U8(c.pattern);
    EXPECT_EQ(re.Match(sample), XMLRegExp::kMatch) << U8(c.pattern);
  }
  XMLRegExp huge(KTString(u"a{1000000000}"), 0);
  EXPECT_EQ(huge.MakeSample().GetLength(), XMLRegExp::kMaxSampleLength);
}

TEST(XMLRegExpTest, CopiesCompileTheSamePattern) {
  XMLRegExp re(KTString(u"a|ab"), 1);
  std::unique_ptr<XMLRegExp> copy(re.Clone());
  EXPECT_EQ(copy->GetPattern(), KTString(u"a|ab"));
  EXPECT_EQ(copy->GetFlag(), 1);
  EXPECT_NE(copy->Match(KTString(u"ab")), XMLRegExp::kMatch);
  EXPECT_EQ(copy->Match(KTString(u"a")), XMLRegExp::kMatch);
}

// Nested repetitions: the attempt and choice-point limits, with the step
// budget behind them, end the match after bounded work whatever the text.
TEST(XMLRegExpTest, NestedRepetitionsEndWithinTheirLimits) {
  XMLRegExp re(KTString(u"(a*)*b"), 0);
  ASSERT_TRUE(re.IsCompiled());
  for (int n : {999, 10000}) {
    const KTString text(std::u16string(static_cast<size_t>(n), u'a'));
    EXPECT_NE(re.Match(text), XMLRegExp::kMatch) << n;
    EXPECT_LE(re.GetLastStepCount(), XMLRegExp::kStepBudgetBase + XMLRegExp::kStepBudgetPerChar * n + 1);
    EXPECT_LE(re.GetLastAttemptCount(), XMLRegExp::kMaxAttempts + 1);
    // The text that does match is still found at once.
    const KTString withB = text + KTString(u"b");
    EXPECT_EQ(re.Match(withB), XMLRegExp::kMatch) << n;
    EXPECT_EQ(re.GetLastAttemptCount(), 1);
  }
}

TEST(XMLRegExpTest, BacktrackingStopsAtTheAttemptLimit) {
  // 20 a's keep the choice points below their limit, so every way of
  // splitting the run is tried until the attempt limit ends the match.
  XMLRegExp re(KTString(u"(a*)*b"), 0);
  EXPECT_NE(re.Match(KTString(std::u16string(20, u'a'))), XMLRegExp::kMatch);
  EXPECT_EQ(re.GetLastAttemptCount(), XMLRegExp::kMaxAttempts + 1);
  // Backtracking itself works: repetitions given back let the rest match.
  XMLRegExp few(KTString(u"(a|b)*b"), 0);
  EXPECT_EQ(few.Match(KTString(u"ababab")), XMLRegExp::kMatch);
  XMLRegExp split(KTString(u"(a?){3}a{3}"), 0);
  EXPECT_EQ(split.Match(KTString(u"aaaa")), XMLRegExp::kMatch);
}

TEST(XMLRegExpTest, LongTextsMatchInOneAttempt) {
  // Past the choice-point limit no point is recorded, so a long run costs
  // linear work and bounded memory.
  XMLRegExp re(KTString(u"[a-z]*"), 0);
  const int n = 1000000;
  const KTString text(std::u16string(static_cast<size_t>(n), u'q'));
  EXPECT_EQ(re.Match(text), XMLRegExp::kMatch);
  EXPECT_EQ(re.GetLastAttemptCount(), 1);
  EXPECT_LT(re.GetLastStepCount(), 4 * n);
}

}  // namespace
