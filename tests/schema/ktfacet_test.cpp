// Facets: creation and own-value checks through KTDatatype::SetFacet, the
// check of each kind by type, the failing-facet text and the adjustments.
#include "schema/ktfacet.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/ktutf8.h"
#include "schema/ktdatatype.h"

namespace {

std::string U8(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

struct FacetCase {
  uint32_t type;
  const char16_t* facet;
  const char16_t* value;
  const char16_t* text;
  bool accepted;
};

TEST(KTFacetTest, FacetsRestrictValuesByType) {
  const FacetCase cases[] = {
      // Length family: characters, hex octets, list tokens; other types pass.
      {kDtString, u"length", u"3", u"abc", true},
      {kDtString, u"length", u"3", u"ab", false},
      {kDtString, u"length", u"1", u"\U0001F600", true},
      {kDtHexBinary, u"length", u"3", u"a1b2c3", true},
      {kDtNmtokens, u"length", u"3", u"a b", false},
      {kDtNmtokens, u"length", u"2", u" a  b ", true},
      {kDtInt, u"length", u"1", u"12345", true},
      {kDtString, u"minLength", u"2", u"a", false},
      {kDtString, u"maxLength", u"2", u"abc", false},
      // Pattern: the whole text; list types are matched as a whole.
      {kDtString, u"pattern", u"[a-c]+", u"abcab", true},
      {kDtString, u"pattern", u"[a-c]+", u"abcd", false},
      {kDtNmtokens, u"pattern", u"[a-z]+( [a-z]+)*", u"ab cd", true},
      {kDtNmtokens, u"pattern", u"[a-z]+", u"ab cd", false},
      // Enumeration: numbers by value for numeric types, texts otherwise.
      {kDtDecimal, u"enumeration", u"1.0", u"1", true},
      {kDtString, u"enumeration", u"1.0", u"1", false},
      {kDtDouble, u"enumeration", u"1e2", u"100", true},
      {kDtDouble, u"enumeration", u"NaN", u"NaN", true},
      {kDtInt, u"enumeration", u"007", u"7", true},
      {kDtNmtoken, u"enumeration", u"a", u"b", false},
      // Bounds, by the comparison of the type.
      {kDtInt, u"maxExclusive", u"10", u"10", false},
      {kDtInt, u"maxExclusive", u"10", u"9", true},
      {kDtInt, u"maxInclusive", u"10", u"10", true},
      {kDtInt, u"minExclusive", u"-5", u"-5", false},
      {kDtInteger, u"minInclusive", u"99999999999999999999", u"100000000000000000000", true},
      {kDtDecimal, u"maxInclusive", u"1.5", u"1.50", true},
      {kDtDecimal, u"maxExclusive", u"1.5", u"1.5000001", false},
      {kDtFloat, u"maxInclusive", u"1e3", u"999.9", true},
      {kDtFloat, u"maxInclusive", u"1e3", u"INF", false},
      {kDtDouble, u"minInclusive", u"-INF", u"-1e308", true},
      {kDtGDay, u"minInclusive", u"---05", u"---07", true},
      {kDtGDay, u"minInclusive", u"---05", u"---04", false},
      {kDtGMonth, u"maxInclusive", u"--06--", u"--07--", false},
      {kDtGYear, u"minInclusive", u"2000", u"1999", false},
      {kDtGYear, u"minInclusive", u"2000", u"2004Z", true},
      {kDtDate, u"maxInclusive", u"2004-02-29", u"2004-02-29", true},
      {kDtDate, u"maxExclusive", u"2004-02-29", u"2004-03-01", false},
      {kDtTime, u"minExclusive", u"12:00:00", u"12:00:00.5", true},
      {kDtTime, u"maxInclusive", u"09:00:00", u"10:00:00+02:00", true},
      {kDtDateTime, u"maxInclusive", u"2004-01-01T00:00:00", u"2003-12-31T23:59:59", true},
      {kDtDateTime, u"maxInclusive", u"2004-01-01T00:00:00", u"2004-01-01T00:00:01", false},
      {kDtDateTime, u"minInclusive", u"2004-01-01T00:00:00", u"2003-12-31T23:30:00-01:00", true},
      {kDtDuration, u"maxInclusive", u"P1D", u"P9Y", true},
      // Digit counts: leading and trailing zeros do not count.
      {kDtDecimal, u"totalDigits", u"3", u"-1234", false},
      {kDtDecimal, u"totalDigits", u"3", u"12.3", true},
      {kDtDecimal, u"totalDigits", u"2", u"0012", true},
      {kDtDecimal, u"totalDigits", u"2", u"0.0012", true},
      {kDtDecimal, u"totalDigits", u"3", u"12.300", true},
      {kDtDecimal, u"totalDigits", u"2", u"100", false},
      {kDtDecimal, u"fractionDigits", u"2", u"1.234", false},
      {kDtDecimal, u"fractionDigits", u"2", u"1.230", true},
      {kDtDecimal, u"fractionDigits", u"0", u"5.", true},
      // whiteSpace restricts nothing.
      {kDtString, u"whiteSpace", u"collapse", u"a b", true},
  };
  for (const FacetCase& c : cases) {
    KTDatatype dt(c.type, 52, false);
    ASSERT_TRUE(dt.SetFacet(KTString(c.facet), KTString(c.value))) << U8(c.facet) << "=" << U8(c.value);
    const int result = dt.CheckValue(KTString(c.text), false, false);
    EXPECT_EQ(result == kDatatypeValid, c.accepted)
        << U8(DatatypeName(c.type)) << " " << U8(c.facet) << "=" << U8(c.value) << " on \"" << U8(c.text)
        << "\" gave " << result;
    if (!c.accepted && result == kDatatypeFacet) {
      EXPECT_EQ(KTDatatype::GetFailingFacetText(),
                KTString(c.facet) + KTString(u"=\"") + KTString(c.value) + KTString(u"\""));
    }
  }
}

TEST(KTFacetTest, SettingAgainAddsOrReplaces) {
  // Pattern values become alternatives; enumeration values a list.
  KTDatatype patterns(kDtString, 52, false);
  ASSERT_TRUE(patterns.SetFacet(KTString(u"pattern"), KTString(u"a")));
  ASSERT_TRUE(patterns.SetFacet(KTString(u"pattern"), KTString(u"b")));
  EXPECT_EQ(patterns.GetFacets().size(), 1u);
  EXPECT_EQ(patterns.CheckValue(KTString(u"a"), false, false), kDatatypeValid);
  EXPECT_EQ(patterns.CheckValue(KTString(u"b"), false, false), kDatatypeValid);
  EXPECT_EQ(patterns.CheckValue(KTString(u"ab"), false, false), kDatatypeFacet);
  EXPECT_EQ(U8(patterns.FindFacet(KTString(u"pattern"))->Value()), "a|b");

  KTDatatype values(kDtDecimal, 52, false);
  ASSERT_TRUE(values.SetFacet(KTString(u"enumeration"), KTString(u"1.0")));
  ASSERT_TRUE(values.SetFacet(KTString(u"enumeration"), KTString(u"2")));
  EXPECT_EQ(values.CheckValue(KTString(u"2.00"), false, false), kDatatypeValid);
  EXPECT_EQ(values.CheckValue(KTString(u"3"), false, false), kDatatypeFacet);
  EXPECT_EQ(U8(KTDatatype::GetFailingFacetText()), "enumeration=\"1.0 2\"");

  KTDatatype bound(kDtInt, 52, false);
  ASSERT_TRUE(bound.SetFacet(KTString(u"maxInclusive"), KTString(u"5")));
  ASSERT_TRUE(bound.SetFacet(KTString(u"maxInclusive"), KTString(u"50")));
  EXPECT_EQ(bound.CheckValue(KTString(u"40"), false, false), kDatatypeValid);
}

TEST(KTFacetTest, OwnValuesAreChecked) {
  const struct {
    uint32_t type;
    const char16_t* facet;
    const char16_t* value;
    bool fits;
  } cases[] = {
      {kDtString, u"length", u"3", true},       {kDtString, u"length", u"-1", false},
      {kDtString, u"length", u"abc", false},    {kDtString, u"minLength", u"1.5", false},
      {kDtString, u"pattern", u"(", false},     {kDtString, u"pattern", u"[a-z]", true},
      {kDtInt, u"enumeration", u"x", false},    {kDtInt, u"enumeration", u"12", true},
      {kDtInt, u"maxInclusive", u"1e3", false}, {kDtDate, u"minInclusive", u"2003-02-29", false},
      {kDtDecimal, u"totalDigits", u"-2", false}, {kDtDecimal, u"fractionDigits", u"2", true},
      {kDtString, u"whiteSpace", u"anything", true},
  };
  for (const auto& c : cases) {
    KTDatatype dt(c.type, 52, false);
    EXPECT_EQ(dt.SetFacet(KTString(c.facet), KTString(c.value)), c.fits) << U8(c.facet) << "=" << U8(c.value);
    // A facet whose value does not fit stays; the caller reports it.
    EXPECT_NE(dt.FindFacet(KTString(c.facet)), nullptr);
  }
  KTDatatype dt(kDtString, 52, false);
  EXPECT_FALSE(dt.SetFacet(KTString(u"maxSize"), KTString(u"3")));
  EXPECT_TRUE(dt.GetFacets().empty());
  EXPECT_EQ(CreateFacet(KTString(u"Length"), KTString(u"3")), nullptr);
}

TEST(KTFacetTest, UnreadableNumbersRefuseEveryValue) {
  KTDatatype dt(kDtString, 52, false);
  EXPECT_FALSE(dt.SetFacet(KTString(u"maxLength"), KTString(u"lots")));
  EXPECT_EQ(dt.CheckValue(KTString(u""), false, false), kDatatypeFacet);
  KTDatatype num(kDtInt, 52, false);
  EXPECT_FALSE(num.SetFacet(KTString(u"maxInclusive"), KTString(u"ten")));
  EXPECT_EQ(num.CheckValue(KTString(u"1"), false, false), kDatatypeFacet);
  KTDatatype empty(kDtString, 52, false);
  empty.SetFacet(KTString(u"enumeration"), KTString(u"a"));
  EXPECT_EQ(empty.CheckValue(KTString(u"a"), false, true), kDatatypeValid);  // facets skipped
}

TEST(KTFacetTest, AdjustMakesATextThatSatisfies) {
  const struct {
    const char16_t* facet;
    const char16_t* value;
    const char16_t* text;
    const char16_t* adjusted;
  } cases[] = {
      {u"maxLength", u"2", u"abcd", u"ab"},   {u"minLength", u"3", u"x", u"xaa"},
      {u"length", u"2", u"x", u"xa"},         {u"length", u"2", u"xyz", u"xy"},
      {u"pattern", u"[A-Z]{2}\\d+", u"", u"AA0"}, {u"enumeration", u"red", u"blue", u"red"},
      {u"maxInclusive", u"9", u"12", u"9"},   {u"minExclusive", u"9", u"1", u"1"},
      {u"totalDigits", u"2", u"12345", u"123"}, {u"fractionDigits", u"1", u"1.2345", u"1.2"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<KTFacet> f(CreateFacet(KTString(c.facet), KTString(c.value)));
    ASSERT_NE(f, nullptr);
    KTString text(c.text);
    f->Adjust(text);
    EXPECT_EQ(U8(text), U8(c.adjusted)) << U8(c.facet);
    std::unique_ptr<KTFacet> clone(f->Clone());
    EXPECT_EQ(clone->GetKind(), f->GetKind());
    EXPECT_EQ(U8(clone->Value()), U8(f->Value()));
  }
}

}  // namespace
