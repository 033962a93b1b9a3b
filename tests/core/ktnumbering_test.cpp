// Roman and alphabetic numbering for xsl:number.
#include "core/ktstring.h"

#include <climits>

#include <gtest/gtest.h>

namespace {

struct NumberCase {
  int n;
  const char16_t* expected;
};

TEST(RomanNumeral, UpperCaseAcrossTheRange) {
  const NumberCase cases[] = {
      {1, u"I"},          {4, u"IV"},         {9, u"IX"},          {14, u"XIV"},
      {40, u"XL"},        {90, u"XC"},        {400, u"CD"},        {900, u"CM"},
      {1994, u"MCMXCIV"}, {3999, u"MMMCMXCIX"}, {4000, u"MMMM"}, {4999, u"MMMMCMXCIX"},
      {9888, u"MMMMMMMMMDCCCLXXXVIII"},  // the longest, 21 letters
      {9999, u"MMMMMMMMMCMXCIX"},
  };
  for (const NumberCase& c : cases) {
    KTString s;
    s.FormatRomanNumeral(c.n, true);
    EXPECT_EQ(s, c.expected) << c.n;
  }
}

TEST(RomanNumeral, LowerCase) {
  KTString s;
  EXPECT_EQ(s.FormatRomanNumeral(1994, false), u"mcmxciv");
  EXPECT_EQ(s.FormatRomanNumeral(4000, false), u"mmmm");
}

TEST(RomanNumeral, OutOfRangeEmptiesWhatWasThere) {
  for (int n : {0, -1, -3999, 10000, INT_MAX, INT_MIN}) {
    KTString s(u"old text");
    s.FormatRomanNumeral(n, true);
    EXPECT_TRUE(s.IsEmpty()) << n;
  }
}

TEST(Alphabetic, BijectiveBase26) {
  const NumberCase cases[] = {
      {1, u"a"},      {26, u"z"},     {27, u"aa"},      {28, u"ab"},    {52, u"az"},
      {53, u"ba"},    {702, u"zz"},   {703, u"aaa"},    {18278, u"zzz"}, {18279, u"aaaa"},
      {INT_MAX, u"fxshrxw"},
  };
  for (const NumberCase& c : cases) {
    KTString s(u"previous");
    s.FormatAlphabetic(c.n, false);
    EXPECT_EQ(s, c.expected) << c.n;
  }
  KTString upper;
  EXPECT_EQ(upper.FormatAlphabetic(28, true), u"AB");
  EXPECT_EQ(upper.FormatAlphabetic(703, true), u"AAA");
}

TEST(Alphabetic, NoLetterForZeroOrNegatives) {
  for (int n : {0, -1, INT_MIN}) {
    KTString s(u"x");
    s.FormatAlphabetic(n, true);
    EXPECT_TRUE(s.IsEmpty()) << n;
  }
}

}  // namespace
