// Datatypes: the name lookup and type names, the counted handle, copies and
// union chains, CheckValue (character references, white space, lists,
// unions) and the lexical and range checks of every built-in type.
#include "schema/ktdatatype.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "ktallocationcount.h"
#include "platform/ktutf8.h"
#include "schema/ktfacet.h"

namespace {

std::string U8(const KTString& s) { return KTUtf16ToUtf8(s.View()); }

int Check(uint32_t id, const char16_t* text) {
  KTDatatype dt(id, 52, false);
  return dt.CheckValue(KTString(text), false, false);
}

TEST(KTDatatypeTest, NamesMapToIds) {
  const struct {
    const char16_t* name;
    uint8_t dialect;
    uint32_t id;
  } cases[] = {
      {u"boolean", 0, 1},     {u"boolean", 1, 50},  {u"time", 0, 7},      {u"time", 1, 48},
      {u"time.tz", 1, 7},     {u"time.tz", 0, 7},   {u"dateTime", 1, 6},  {u"dateTime.tz", 0, 6},
      {u"anySimpleType", 0, 0}, {u"r8", 1, 3},      {u"number", 0, 3},    {u"ui1", 1, 42},
      {u"fixed.14.4", 1, 49}, {u"NOTATION", 0, 18}, {u"xs:int", 0, 53},   {u"Int", 0, 53},
      {u"", 0, 53},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DatatypeIdFromName(KTString(c.name), c.dialect), c.id) << U8(c.name) << " " << int(c.dialect);
  }
  KTDatatype byName(KTString(u"i4"), 52, 1, false);
  EXPECT_EQ(byName.GetTypeId(), kDtInt);
  EXPECT_EQ(byName.GetTypeName(false), KTString(u"int"));
  EXPECT_EQ(byName.GetXdrTypeName(false), KTString(u"i4"));
  EXPECT_EQ(KTDatatype(kDtSelectorPath, 52, false).GetTypeName(false), KTString(u"string"));
}

TEST(KTDatatypeTest, DescribedNamesTellListsAndUnions) {
  KTDatatype u(kDtInteger, 52, false);
  u.AddMemberType(new KTDatatype(kDtBoolean, 52, false));
  EXPECT_EQ(U8(u.GetXdrTypeName(true)), "union of int, boolean");
  EXPECT_EQ(U8(u.GetTypeName(true)), "union of integer, boolean");
  KTDatatype list(kDtNmtoken, 52, true);
  EXPECT_EQ(U8(list.GetTypeName(true)), "list of NMTOKEN");
  EXPECT_EQ(U8(list.GetTypeName(false)), "NMTOKEN");
}

TEST(KTDatatypeTest, HandlesCountAndDeleteOnce) {
  KTDatatypeRef a(new KTDatatype(kDtInt, 52, false));
  EXPECT_TRUE(a.IsValid());
  EXPECT_EQ(a.GetCount(), 1);
  KTDatatypeRef b = a;
  EXPECT_EQ(a.GetCount(), 2);
  EXPECT_EQ(b.Get(), a.Get());
  a.Release();
  EXPECT_FALSE(a.IsValid());
  EXPECT_EQ(b.GetCount(), 1);
  EXPECT_EQ(b->CheckValue(KTString(u"5"), false, false), kDatatypeValid);
  b = b;  // self-assignment keeps the datatype
  EXPECT_EQ(b.GetCount(), 1);
  KTDatatypeRef empty;
  b = empty;  // releases the last reference
  EXPECT_FALSE(b.IsValid());
  EXPECT_FALSE(KTDatatypeRef(nullptr).IsValid());
}

// Memory that runs out while a handle is made is reported (the loaders let
// std::bad_alloc end the run in order); a null handle would be read as the
// datatype by the caller. The datatype is freed either way.
TEST(KTDatatypeTest, AHandleThatCannotBeHadThrows) {
  auto* dt = new KTDatatype(kDtInt, 52, false);
  KTAllocationRefusal refusal;
  EXPECT_THROW(KTDatatypeRef ref(dt), std::bad_alloc);
  EXPECT_TRUE(refusal.Refused());
}

TEST(KTDatatypeTest, CopiesAreDeep) {
  KTDatatype dt(kDtInt, 52, false);
  ASSERT_TRUE(dt.SetFacet(KTString(u"maxInclusive"), KTString(u"10")));
  dt.AddMemberType(new KTDatatype(kDtBoolean, 52, false));
  KTDatatype copy(dt);
  ASSERT_TRUE(dt.SetFacet(KTString(u"maxInclusive"), KTString(u"100")));
  EXPECT_EQ(dt.CheckValue(KTString(u"50"), false, false), kDatatypeValid);
  // The copy keeps the old bound; its member then refuses 50 as no boolean.
  EXPECT_EQ(copy.CheckValue(KTString(u"50"), false, false), kDatatypeLexical);
  EXPECT_EQ(copy.CheckValue(KTString(u"5"), false, false), kDatatypeValid);
  EXPECT_EQ(copy.CheckValue(KTString(u"true"), false, false), kDatatypeValid);  // the member
  KTDatatype assigned(kDtString, 52, true);
  assigned = copy;
  EXPECT_FALSE(assigned.IsList());
  EXPECT_EQ(assigned.GetTypeId(), kDtInt);
  EXPECT_EQ(U8(assigned.GetTypeName(true)), "union of int, boolean");
}

TEST(KTDatatypeTest, LongUnionChainsCheckAndDieWithoutRecursion) {
  auto* dt = new KTDatatype(kDtBoolean, 52, false);
  KTDatatypeRef ref(dt);
  KTDatatype* tail = dt;
  for (int i = 0; i < 200000; ++i) {
    auto* next = new KTDatatype(kDtBoolean, 52, false);
    tail->AddMemberType(next);
    tail = next;
  }
  tail->AddMemberType(new KTDatatype(kDtDate, 52, false));
  EXPECT_EQ(dt->CheckValue(KTString(u"2004-02-29"), false, true), kDatatypeValid);
  EXPECT_NE(dt->CheckValue(KTString(u"x"), false, true), kDatatypeValid);
  KTDatatype copy(*dt);
  EXPECT_EQ(copy.CheckValue(KTString(u"2004-02-29"), false, true), kDatatypeValid);
}

TEST(KTDatatypeTest, ValuesAreNormalisedBeforeTheCheck) {
  // A character reference is the character; collapse joins runs of white space.
  KTDatatype letter(kDtString, 52, false);
  ASSERT_TRUE(letter.SetFacet(KTString(u"enumeration"), KTString(u"A")));
  EXPECT_EQ(letter.CheckValue(KTString(u"&#65;"), false, false), kDatatypeValid);
  EXPECT_EQ(letter.CheckValue(KTString(u"&#x41;"), false, false), kDatatypeValid);
  KTDatatype collapse(kDtString, 52, false);
  ASSERT_TRUE(collapse.SetFacet(KTString(u"whiteSpace"), KTString(u"collapse")));
  ASSERT_TRUE(collapse.SetFacet(KTString(u"enumeration"), KTString(u"a b")));
  EXPECT_EQ(collapse.CheckValue(KTString(u"  a \tb  "), false, false), kDatatypeValid);
  KTDatatype replace(kDtString, 52, false);
  ASSERT_TRUE(replace.SetFacet(KTString(u"whiteSpace"), KTString(u"replace")));
  ASSERT_TRUE(replace.SetFacet(KTString(u"enumeration"), KTString(u" a  b")));
  EXPECT_EQ(replace.CheckValue(KTString(u"\ta\n\rb"), false, false), kDatatypeValid);
  // Types other than string and normalizedString collapse by themselves.
  EXPECT_EQ(Check(kDtInt, u" 5 "), kDatatypeValid);
  EXPECT_EQ(Check(kDtBoolean, u"\ttrue\n"), kDatatypeValid);
  EXPECT_EQ(Check(kDtNormalizedString, u" a\tb"), kDatatypeLexical);
}

// The form in which a default or fixed value is supplied: the whiteSpace
// facet when the type has one, else the built-in type's own rule (XML
// Schema Part 2, 4.3.6).
TEST(KTDatatypeTest, WhiteSpaceIsNormalisedAsTheTypeSays) {
  const struct {
    uint32_t id;
    bool list;
    const char16_t* facet;  // whiteSpace value, or null
    const char16_t* value;
    const char16_t* normalised;
  } cases[] = {
      {kDtString, false, nullptr, u" a\t\n b ", u" a\t\n b "},
      {kDtNormalizedString, false, nullptr, u" a\t\n b ", u" a   b "},
      {kDtToken, false, nullptr, u" a\t\n b ", u"a b"},
      {kDtInt, false, nullptr, u"\n 7 ", u"7"},
      {kDtString, true, nullptr, u" x \t y ", u"x y"},
      {kDtString, false, u"replace", u"a\r\nb", u"a  b"},
      {kDtString, false, u"collapse", u"  a  b  ", u"a b"},
      {kDtToken, false, u"preserve", u" a ", u" a "},
      {kDtString, false, nullptr, u"", u""},
  };
  for (const auto& c : cases) {
    KTDatatype type(c.id, 52, c.list);
    if (c.facet) ASSERT_TRUE(type.SetFacet(KTString(u"whiteSpace"), KTString(c.facet)));
    EXPECT_EQ(U8(type.NormalizeWhiteSpace(KTString(c.value))), U8(KTString(c.normalised)))
        << U8(KTString(DatatypeName(c.id))) << " \"" << U8(KTString(c.value)) << "\"";
  }
}

TEST(KTDatatypeTest, ListsCheckEveryTokenAndCountThem) {
  KTDatatype list(kDtInt, 52, true);
  EXPECT_EQ(list.CheckValue(KTString(u" 1 2\t3 "), false, false), kDatatypeValid);
  EXPECT_EQ(list.CheckValue(KTString(u"1 x 3"), false, false), kDatatypeLexical);
  EXPECT_EQ(list.CheckValue(KTString(u"1 99999999999"), false, false), kDatatypeRange);
  KTDatatype nmtokens(kDtNmtoken, 52, true);
  ASSERT_TRUE(nmtokens.SetFacet(KTString(u"maxLength"), KTString(u"2")));
  EXPECT_EQ(nmtokens.CheckValue(KTString(u"a b"), false, false), kDatatypeValid);
  EXPECT_EQ(nmtokens.CheckValue(KTString(u"a b c"), false, false), kDatatypeFacet);
  EXPECT_EQ(U8(KTDatatype::GetFailingFacetText()), "maxLength=\"2\"");
  // The as-list byte makes any datatype read a list.
  KTDatatype single(kDtBoolean, 52, false);
  EXPECT_EQ(single.CheckValue(KTString(u"true 0 false"), true, false), kDatatypeValid);
  // A list of a union: each token may match any member.
  KTDatatype unionList(kDtInt, 52, true);
  unionList.AddMemberType(new KTDatatype(kDtBoolean, 52, false));
  EXPECT_EQ(unionList.CheckValue(KTString(u"1 true 2"), false, false), kDatatypeValid);
  EXPECT_NE(unionList.CheckValue(KTString(u"1 yes"), false, false), kDatatypeValid);
}

TEST(KTDatatypeTest, UnknownTypesAcceptEverything) {
  KTDatatype unknown(KTString(u"mystery"), 52, 0, false);
  EXPECT_EQ(unknown.GetTypeId(), kDtUnknown);
  EXPECT_TRUE(unknown.SetFacet(KTString(u"maxLength"), KTString(u"1")));
  EXPECT_TRUE(unknown.SetFacet(KTString(u"enumeration"), KTString(u"a")));
  EXPECT_EQ(unknown.CheckValue(KTString(u"anything at all"), false, false), kDatatypeValid);
  KTDatatype beyond(60, 52, false);
  EXPECT_EQ(beyond.CheckValue(KTString(u"x"), false, false), kDatatypeLexical);
}

struct LexicalCase {
  uint32_t id;
  const char16_t* text;
  int result;
};

TEST(KTDatatypeTest, BuiltinTypesCheckTheirLiterals) {
  const LexicalCase cases[] = {
      // boolean and XDR boolean
      {kDtBoolean, u"true", 0}, {kDtBoolean, u"false", 0}, {kDtBoolean, u"0", 0},
      {kDtBoolean, u"1", 0}, {kDtBoolean, u"TRUE", 1}, {kDtBoolean, u"yes", 1}, {kDtBoolean, u"", 1},
      {kDtXdrBoolean, u"1", 0}, {kDtXdrBoolean, u"true", 1},
      // float, double
      {kDtFloat, u"1.5e3", 0}, {kDtFloat, u"-INF", 0}, {kDtFloat, u"NaN", 0}, {kDtFloat, u"", 0},
      {kDtFloat, u"1.5x", 1}, {kDtDouble, u".5E-2", 0}, {kDtDouble, u"1.5.5", 1},
      // decimal: XML Schema forms, "1." included
      {kDtDecimal, u"-12.50", 0}, {kDtDecimal, u"1.", 0}, {kDtDecimal, u".5", 0}, {kDtDecimal, u"+7", 0},
      {kDtDecimal, u".", 1}, {kDtDecimal, u"1e2", 1}, {kDtDecimal, u"", 1},
      // duration
      {kDtDuration, u"P1Y2M3DT4H5M6.5S", 0}, {kDtDuration, u"-PT5M", 0}, {kDtDuration, u"1Y", 1},
      // dateTime, time, date
      {kDtDateTime, u"2004-02-29T23:59:59.5Z", 0}, {kDtDateTime, u"2004-01-01T10:00:00+02:00", 0},
      {kDtDateTime, u"2003-02-29T00:00:00", 2}, {kDtDateTime, u"2004-01-01T25:00:00", 2},
      {kDtDateTime, u"2004-01-01", 1},
      {kDtTime, u"23:59:59", 0}, {kDtTime, u"24:00:00", 2}, {kDtTime, u"12:60:00", 2},
      {kDtTime, u"10:00:00+02:00", 0}, {kDtTime, u"noon", 1},
      {kDtDate, u"2004-02-29", 0}, {kDtDate, u"2003-02-29", 2}, {kDtDate, u"1582-10-10", 2},
      {kDtDate, u"1582-10-04", 0}, {kDtDate, u"1582-10-15", 0}, {kDtDate, u"2003-04-31", 2},
      {kDtDate, u"2004/02/29", 1}, {kDtDate, u"-0044-03-15", 0}, {kDtDate, u"2004-02-29Z", 0},
      // g* types, with zones
      {kDtGYearMonth, u"2004-05", 0}, {kDtGYearMonth, u"2004-05+01:00", 0}, {kDtGYearMonth, u"04-05", 1},
      {kDtGYear, u"2004", 0}, {kDtGYear, u"2004Z", 0}, {kDtGYear, u"-0044", 0}, {kDtGYear, u"204", 1},
      {kDtGMonthDay, u"--05-12", 0}, {kDtGMonthDay, u"--05-12Z", 0}, {kDtGMonthDay, u"--5-12", 1},
      {kDtGDay, u"---05", 0}, {kDtGDay, u"---31-05:00", 0}, {kDtGDay, u"---32", 2}, {kDtGDay, u"---00", 2},
      {kDtGMonth, u"--12--", 0}, {kDtGMonth, u"--12", 0}, {kDtGMonth, u"--12Z", 0},
      {kDtGMonth, u"13", 2}, {kDtGMonth, u"--1", 1},
      // binary
      {kDtHexBinary, u"0fA9", 0}, {kDtHexBinary, u"", 0}, {kDtHexBinary, u"0g", 1},
      {kDtBase64Binary, u"QUJD RA==", 0}, {kDtBase64Binary, u"QU*", 1},
      // strings and names
      {kDtString, u" anything \t", 0}, {kDtAnyUri, u"%%not a uri", 0},
      {kDtQName, u"xs:int", 0}, {kDtQName, u"int", 0}, {kDtQName, u"a:b:c", 1}, {kDtQName, u"1a", 1},
      {kDtNotation, u"gif", 0}, {kDtNotation, u"a:b", 1},
      {kDtNormalizedString, u"a b", 0}, {kDtNormalizedString, u"a\nb", 1},
      {kDtToken, u"a b", 0}, {kDtToken, u"", 0},
      {kDtLanguage, u"en", 0}, {kDtLanguage, u"eng", 0}, {kDtLanguage, u"de-1996", 0},
      {kDtLanguage, u"es-419", 0}, {kDtLanguage, u"en-US", 0}, {kDtLanguage, u"x-klingon", 0},
      {kDtLanguage, u"123", 1}, {kDtLanguage, u"abcdefghi", 1}, {kDtLanguage, u"en-", 1},
      {kDtIdrefs, u"a b _c", 0}, {kDtIdrefs, u"a 1b", 1}, {kDtEntities, u"pic1 pic2", 0},
      {kDtNmtoken, u"1.a-b:c", 0}, {kDtNmtoken, u"a b", 1}, {kDtNmtoken, u"", 1},
      {kDtNmtokens, u"1 2 a", 0}, {kDtNmtokens, u"a !", 1},
      {kDtName, u":a.b", 0}, {kDtName, u"-a", 1}, {kDtNCName, u"a.b", 0}, {kDtNCName, u"a:b", 1},
      {kDtId, u"_x1", 0}, {kDtId, u"1x", 1}, {kDtIdref, u"\u00e9t\u00e9", 0}, {kDtEntity, u"a b", 1},
      // integer types: form, then range
      {kDtInteger, u"1234567890123456789012345678901234567890", 0}, {kDtInteger, u"-0", 0},
      {kDtInteger, u"", 1}, {kDtInteger, u"1.0", 1}, {kDtInteger, u"+-1", 1},
      {kDtNonPositiveInteger, u"0", 0}, {kDtNonPositiveInteger, u"000", 0},
      {kDtNonPositiveInteger, u"-0", 0}, {kDtNonPositiveInteger, u"-5", 0},
      {kDtNonPositiveInteger, u"5", 1}, {kDtNonPositiveInteger, u"+0", 0},
      {kDtNonPositiveInteger, u"+000", 0}, {kDtNonPositiveInteger, u"+5", 1},
      {kDtNonPositiveInteger, u"+", 1}, {kDtNonPositiveInteger, u"+-0", 1},
      {kDtNegativeInteger, u"-1", 0}, {kDtNegativeInteger, u"-0", 2}, {kDtNegativeInteger, u"1", 1},
      {kDtLong, u"9223372036854775807", 0}, {kDtLong, u"-9223372036854775808", 0},
      {kDtLong, u"9223372036854775808", 2}, {kDtLong, u"-9223372036854775809", 2},
      {kDtInt, u"2147483647", 0}, {kDtInt, u"-2147483648", 0}, {kDtInt, u"2147483648", 2},
      {kDtInt, u"-2147483649", 2}, {kDtInt, u"00000000002147483647", 0},
      {kDtShort, u"32767", 0}, {kDtShort, u"-32768", 0}, {kDtShort, u"32768", 2}, {kDtShort, u"-32769", 2},
      {kDtByte, u"-128", 0}, {kDtByte, u"+127", 0}, {kDtByte, u"128", 2}, {kDtByte, u"-129", 2},
      {kDtByte, u"1.5", 1},
      {kDtNonNegativeInteger, u"0", 0}, {kDtNonNegativeInteger, u"-1", 1},
      {kDtUnsignedLong, u"18446744073709551615", 0}, {kDtUnsignedLong, u"18446744073709551616", 2},
      {kDtUnsignedInt, u"4294967295", 0}, {kDtUnsignedInt, u"4294967296", 2},
      {kDtUnsignedShort, u"65535", 0}, {kDtUnsignedShort, u"65536", 2},
      {kDtUnsignedByte, u"255", 0}, {kDtUnsignedByte, u"+0", 0}, {kDtUnsignedByte, u"256", 2},
      {kDtUnsignedByte, u"-1", 1},
      {kDtPositiveInteger, u"1", 0}, {kDtPositiveInteger, u"0", 2}, {kDtPositiveInteger, u"000", 2},
      // uuid
      {kDtUuid, u"123e4567-e89b-12d3-a456-426614174000", 0}, {kDtUuid, u"123e4567e89b12d3a456426614174000", 0},
      {kDtUuid, u"123e4567-e89b-12d3-a456-42661417400", 1},
      // XDR types
      {kDtXdrEnumeration, u"", 0}, {kDtXdrChar, u"x", 0}, {kDtXdrChar, u"xy", 1}, {kDtXdrChar, u"", 1},
      {kDtXdrChar, u"\U0001F600", 0},
      {kDtXdrDateTime, u"2004-01-01T10:00:00", 0}, {kDtXdrDateTime, u"2004-01-01T10:00:00Z", 1},
      {kDtXdrTime, u"10:00", 0}, {kDtXdrTime, u"10:00Z", 1},
      {kDtXdrFixed, u"12345678901234.1234", 0}, {kDtXdrFixed, u"123456789012345", 1},
      {kDtXdrFixed, u"1.12345", 1},
      // identity-constraint paths
      {kDtSelectorPath, u".//a:b/c|d", 0}, {kDtSelectorPath, u"a/@b", 1},
      {kDtFieldPath, u"a/@b", 0}, {kDtFieldPath, u"@b|child::c", 0}, {kDtFieldPath, u"@b/c", 1},
  };
  for (const LexicalCase& c : cases) {
    EXPECT_EQ(Check(c.id, c.text), c.result) << U8(DatatypeName(c.id)) << " (" << c.id << ") \"" << U8(c.text) << "\"";
  }
}

TEST(KTDatatypeTest, EveryBuiltinPatternCompiles) {
  BuildBuiltinPatternTable();
  // A pattern that failed to compile would accept every text; each
  // pattern-checked type refuses a text of one control character.
  for (uint32_t id = kDtFloat; id < kDtUnknown; ++id) {
    if (id == kDtAnyUri || id == kDtXdrEnumeration || id == kDtXdrChar || id == kDtNormalizedString ||
        id == kDtToken) {
      continue;
    }
    EXPECT_NE(Check(id, u"\x01"), kDatatypeValid) << U8(DatatypeName(id)) << " (" << id << ")";
  }
}

TEST(KTDatatypeTest, DecimalNumeralsCompareByValue) {
  const struct {
    const char16_t* a;
    const char16_t* b;
    bool less;
    bool equal;
  } cases[] = {
      {u"1", u"2", true, false},          {u"2", u"1", false, false},
      {u"1.0", u"1", false, true},        {u"001.500", u"1.5", false, true},
      {u"-1", u"1", true, false},         {u"-2", u"-1", true, false},
      {u"-0", u"0", false, true},         {u"+0.0", u"-0", false, true},
      {u"0.1", u"0.09", false, false},    {u"-0.1", u"-0.09", true, false},
      {u"99999999999999999999", u"100000000000000000000", true, false},
      {u" 12", u"12", false, true},       {u"1.0001", u"1.0001", false, true},
      {u"1.00001", u"1.0001", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecimalLess(KTString(c.a), KTString(c.b)), c.less) << U8(c.a) << " < " << U8(c.b);
    EXPECT_EQ(DecimalEquals(KTString(c.a), KTString(c.b)), c.equal) << U8(c.a) << " = " << U8(c.b);
  }
}

}  // namespace
