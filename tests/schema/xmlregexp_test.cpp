// XML Schema regular expressions: whole-text matching with both match flags,
// character classes and escapes, compile errors, samples, and matching work
// that grows linearly with the text whatever the pattern nests.
#include "schema/xmlregexp.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ktutf8.h"
#include "ktprogramrunner.h"
#include "ktscaling_util.h"

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
      // (a?){3} may match nothing, so a{3} alone can take the text
      // (xmllint refuses these two, wrongly: the language is a{3,6}).
      {u"(a?){3}a{3}", 0, u"aaaa", true},
      {u"(a?){3}a{3}", 0, u"aaa", true},
      {u"(a|b)*b", 0, u"ababab", true},
      {u"(a*)*b", 0, u"aaab", true},
      {u"(a*)*b", 0, u"aaa", false},
      {u"(a|aa)*c", 0, u"aaaaac", true},
      {u"(a|aa)*c", 0, u"aaaaa", false},
      {u".*@.*\\..*", 0, u"someone@example.org", true},
      {u".*@.*\\..*", 0, u"someone@example", false},
      {u"a{2,4}", 0, u"aaaaa", false},
      {u"(ab){1,2}c", 0, u"ababc", true},
      // With flag 1 the first reading that reaches the end of the pattern
      // decides; readings that fail on the way do not.
      {u"a*a", 1, u"aaa", true},
      {u"(a|ab)c", 1, u"abc", true},
      {u"(a|ab)b?", 1, u"abb", false},
      {u"(a|ab)b?", 0, u"abb", true},
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

// Counted repetitions are written out state by state: a count that would
// need more states than the limit is a compile error, not a huge program.
TEST(XMLRegExpTest, RepetitionCountsBeyondTheStateLimitAreRefused) {
  for (const char16_t* pattern : {u"a{1000000000}", u"x(a{200}){200}", u"a{40000,}", u"[a-z]{1,20000}"}) {
    XMLRegExp re(KTString(pattern), 0);
    EXPECT_FALSE(re.IsCompiled()) << U8(pattern);
    EXPECT_EQ(XMLRegExp::GetErrorOffset(), KTString(pattern).Find(u'{')) << U8(pattern);
    EXPECT_FALSE(XMLRegExp::GetErrorText().IsEmpty());
  }
  XMLRegExp fits(KTString(u"\\d{1,1000}"), 0);
  ASSERT_TRUE(fits.IsCompiled());
  EXPECT_LE(fits.GetStateCount(), XMLRegExp::kMaxStates);
  EXPECT_EQ(fits.Match(KTString(std::u16string(1000, u'7'))), XMLRegExp::kMatch);
  EXPECT_NE(fits.Match(KTString(std::u16string(1001, u'7'))), XMLRegExp::kMatch);
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
}

TEST(XMLRegExpTest, CopiesCompileTheSamePattern) {
  XMLRegExp re(KTString(u"a|ab"), 1);
  std::unique_ptr<XMLRegExp> copy(re.Clone());
  EXPECT_EQ(copy->GetPattern(), KTString(u"a|ab"));
  EXPECT_EQ(copy->GetFlag(), 1);
  EXPECT_NE(copy->Match(KTString(u"ab")), XMLRegExp::kMatch);
  EXPECT_EQ(copy->Match(KTString(u"a")), XMLRegExp::kMatch);
}

// Patterns whose backtracking would be exponential or quadratic: the state
// simulation finds the answer for 100 KB texts, and its work doubles when the
// text doubles.
TEST(XMLRegExpTest, NestedRepetitionsMatchInLinearWork) {
  const struct {
    const char16_t* pattern;
    std::u16string unit;  // repeated to make the text
    std::u16string tail;  // appended once
    bool matches;
  } cases[] = {
      {u"(a*)*b", u"a", u"b", true},
      {u"(a*)*b", u"a", u"", false},
      {u"(a|aa)*c", u"a", u"c", true},
      {u"(a|aa)*c", u"a", u"", false},
      {u".*@.*\\..*", u"x@", u".y", true},
      {u".*@.*\\..*", u"x@", u"", false},
      {u"(\\S+)(\\s+\\S+)*", u"ab ", u"c", true},
      {u"(\\S+)(\\s+\\S+)*", u"ab ", u"", false},
  };
  constexpr size_t kBase = 100 * 1024;
  for (const auto& c : cases) {
    XMLRegExp re(KTString(c.pattern), 0);
    ASSERT_TRUE(re.IsCompiled()) << U8(c.pattern);
    auto steps = [&](size_t size) {
      std::u16string text;
      while (text.size() < size) text += c.unit;
      text += c.tail;
      EXPECT_EQ(re.Match(KTString(std::u16string_view(text))) == XMLRegExp::kMatch, c.matches)
          << U8(c.pattern) << " over " << size << " characters";
      return re.GetLastStepCount();
    };
    const int64_t once = steps(kBase);
    const int64_t twice = steps(2 * kBase);
    EXPECT_GE(once, static_cast<int64_t>(kBase)) << U8(c.pattern);
    // Doubling the text roughly doubles the work; quadratic work would be
    // four times as much.
    EXPECT_LE(twice, once * 2 + once / 4) << U8(c.pattern);
    EXPECT_GE(twice, once * 2 - once / 4) << U8(c.pattern);
    EXPECT_LE(once, static_cast<int64_t>(kBase + 8) * 2 * (re.GetStateCount() + 1)) << U8(c.pattern);
  }
}

// The work is counted in KTWorkCount as well, so the datatype checks that
// run many matches can be measured the same way.
TEST(XMLRegExpTest, MatchingWorkIsCounted) {
  XMLRegExp re(KTString(u"(a|aa)*c"), 0);
  EXPECT_TRUE(GrowsLinearly(
      [&](int scale) { re.Match(KTString(std::u16string(static_cast<size_t>(10000 * scale), u'a'))); },
      10000));
}

// Every pattern of a table against every value of a pool, decided by our
// matcher and by `xmllint --schema` on a schema with one simple type per
// pattern: the two must agree on each pair. ((a?){3}a{3} is left out:
// xmllint refuses "aaa" for it, which the language a{3,6} holds, and the
// same for any counted repetition of a group that may match nothing.)
TEST(XMLRegExpTest, AgreesWithXmllintOnPatternFacets) {
  if (std::system("/usr/bin/xmllint --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xmllint";
  const std::vector<std::u16string> patterns = {
      u"a|ab", u"a*a", u"(a*)*b", u"(a|aa)*c", u".*@.*\\..*", u"[a-z]+", u"[^a-z]+",
      u"[a-z-[aeiou]]+", u"\\d{2,3}", u"\\d{3}-\\d{4}", u"(ab)+", u"(ab){1,2}c", u"a{0}b",
      u"x?y?z?", u"[\\-+]?\\d+(\\.\\d*)?", u"\\i\\c*", u"\\w+", u"\\W", u"\\s*\\S+", u"[A-Z]{2}\\d+",
      u"\\p{Lu}\\p{Ll}*", u"\\P{L}+", u"\\p{IsBasicLatin}+", u"(\\S+)(\\s+\\S+)*", u"[a-c]{2,}|x",
      u"((a|b)c)*", u"\\.", u"a+b+", u"(ab?){2}c?", u"[0-9a-fA-F]{1,4}(:[0-9a-fA-F]{1,4})*",
      u"[\\^\\[\\]]+", u"(a|b|)+c?", u"[^\\s]{2}\\s?", u"\\p{L}+", u"\\d+", u"\\p{IsLatin-1Supplement}+\\P{Lu}?",
      u"[\\p{Ll}-[a-z]]+", u"\\c+\\.?",
      // Counted groups, alternatives that share a prefix, subtraction
      // inside negation and from escapes, dashes at either end of a group.
      u"(a|b){2,3}", u"((a|b)c?){1,3}d", u"(ab|a)(bc|c)", u"(a{2}){2}", u"x{0,0}y", u"[^a-c-[b]]+",
      u"[\\w-[\\d]]+", u"[\\c-[\\i]]+", u"[a-]+", u"[-a]+", u"\\p{Pd}", u"\\p{L}\\p{M}*",
      u"(0[1-9]|1[0-2])/(0[1-9]|[12]\\d|3[01])",
  };
  const std::vector<std::string> values = {
      "",       "a",        "ab",      "aaa",   "aab",   "aaaaac", "b",    "abab",        "ababc",
      "12",     "123",      "1234",    "555-1234", "x@y.z", "x@yz", "Hello", "hello world", "HELLO",
      "-12.5",  "+7",       "_a1",     "1a",    "!!",    " ",      "bc",   "acbc",        "aaaa",
      "fe80:0:1", ".",      "^[]",     "c",     "xyz",   "bcd",    "ab ",  "a b  c",
      "\u00e9t\u00e9", "\u03a9\u03c9", "\u0663\u0664", "\u00c9a", "\u00e9\u00c9", "\u00e9\u00e9e",
      "aad",    "acd",      "abd",     "a-",    "-a-",   "12/31",  "13/01", "02/30",
      "\u2212", "bcbcd",
  };
  auto escape = [](const std::string& text) {
    std::string out;
    for (char c : text) {
      if (c == '&') out += "&amp;";
      else if (c == '<') out += "&lt;";
      else out += c;
    }
    return out;
  };
  std::ostringstream xsd;
  xsd << "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
         "<xs:element name=\"r\"><xs:complexType><xs:choice minOccurs=\"0\" maxOccurs=\"unbounded\">\n";
  for (size_t i = 0; i < patterns.size(); ++i) xsd << "<xs:element name=\"p" << i << "\" type=\"t" << i << "\"/>\n";
  xsd << "</xs:choice></xs:complexType></xs:element>\n";
  for (size_t i = 0; i < patterns.size(); ++i) {
    xsd << "<xs:simpleType name=\"t" << i << "\"><xs:restriction base=\"xs:string\"><xs:pattern value=\""
        << escape(U8(KTString(std::u16string_view(patterns[i])))) << "\"/></xs:restriction></xs:simpleType>\n";
  }
  xsd << "</xs:schema>\n";
  // One value a line, so that xmllint's line numbers name the pair.
  std::ostringstream xml;
  xml << "<r>\n";
  struct Pair {
    size_t pattern;
    std::string value;
  };
  std::vector<Pair> pairs;
  for (size_t i = 0; i < patterns.size(); ++i) {
    for (const std::string& v : values) {
      xml << "<p" << i << ">" << escape(v) << "</p" << i << ">\n";
      pairs.push_back({i, v});
    }
  }
  xml << "</r>\n";
  KTScratchFolder folder;
  folder.Write("p.xsd", xsd.str());
  folder.Write("p.xml", xml.str());
  const KTProgramResult lint = KTRunProgram("/usr/bin/xmllint", {"--noout", "--schema", "p.xsd", "p.xml"}, folder.Path());
  ASSERT_EQ(lint.err.find("failed to compile"), std::string::npos) << lint.err;
  std::set<size_t> refusedLines;
  std::istringstream errors(lint.err);
  for (std::string line; std::getline(errors, line);) {
    if (line.rfind("p.xml:", 0) != 0 || line.find("[facet 'pattern']") == std::string::npos) continue;
    refusedLines.insert(std::stoul(line.substr(6)));
  }
  ASSERT_FALSE(refusedLines.empty()) << lint.err;
  std::vector<std::unique_ptr<XMLRegExp>> compiled;
  for (const std::u16string& p : patterns) {
    compiled.push_back(std::make_unique<XMLRegExp>(KTString(std::u16string_view(p)), 0));
    ASSERT_TRUE(compiled.back()->IsCompiled()) << U8(KTString(std::u16string_view(p)));
  }
  for (size_t k = 0; k < pairs.size(); ++k) {
    const size_t line = k + 2;  // the values start on the second line
    const bool theirs = refusedLines.count(line) == 0;
    const KTString value(std::u16string_view(KTUtf8ToUtf16(pairs[k].value)));
    const bool ours = compiled[pairs[k].pattern]->Match(value) == XMLRegExp::kMatch;
    EXPECT_EQ(ours, theirs) << "pattern " << U8(KTString(std::u16string_view(patterns[pairs[k].pattern])))
                            << " on \"" << pairs[k].value << "\"";
  }
}

}  // namespace
