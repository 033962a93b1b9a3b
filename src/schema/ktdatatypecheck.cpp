// Lexical checks of the built-in types: the table of built-in patterns (built
// on first use), the digit-by-digit integer checks with their bounds as
// decimal numerals, the character-set checks, the date and time checks and
// the two decimal-numeral comparisons.
#include <memory>
#include <vector>

#include "schema/ktdatatype.h"
#include "schema/ktdatetime.h"
#include "schema/ktfacet.h"
#include "schema/xmlregexp.h"

namespace {

struct KTBuiltinPattern {
  const char16_t* pattern;
  uint8_t flag;  // 1: a match of a leading part only ends the match
};

// Zone of the g* types (XML Schema Part 2, 3.2.7 and following).
#define OST_ZONE u"(Z|[\\-\\+]\\d{2}:\\d{2})?"
#define OST_NAME u"[\\p{L}_][\\p{L}\\d\\.\\-_]*"
#define OST_NMTOKEN u"[\\p{L}\\d\\.\\-_:]+"
#define OST_STEP u"(((child::)?((\\i\\c*:)?(\\i\\c*|\\*)))|\\.)"
#define OST_ATTR u"((attribute::|@)((\\i\\c*:)?(\\i\\c*|\\*)))"
#define OST_SELECTOR u"(\\.//)?" OST_STEP u"(/" OST_STEP u")*"
#define OST_FIELD u"(\\.//)?(" OST_STEP u"/)*(" OST_STEP u"|" OST_ATTR u")"

// Indexed by type id. Where the shapes of XML Schema Part 2 accept more than
// a narrower form would (decimal "1.", language "es-419", a zone on gYear),
// the table follows XML Schema.
constexpr KTBuiltinPattern kBuiltinPatterns[kDtUnknown] = {
    {u"", 0},                                                                   // string
    {u"true|false|0|1", 1},                                                     // boolean
    {u"[\\-\\+]?(INF|NaN|(\\d*(\\.\\d*)?([eE][\\-\\+]?\\d+)?))", 0},            // float
    {u"[\\-\\+]?(INF|NaN|(\\d*(\\.\\d*)?([eE][\\-\\+]?\\d+)?))", 0},            // double
    {u"[\\-\\+]?(\\d+(\\.\\d*)?|\\.\\d+)", 1},                                  // decimal
    {u"[\\-\\+]?P(\\d+Y)?(\\d+M)?(\\d+D)?(T(\\d+H)?(\\d+M)?(\\d+(\\.\\d*)?S)?)?", 1},  // duration
    {u"\\-?\\d{4,}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?(Z|([\\-\\+]\\d{2}:\\d{2}))?", 1},
    {u"\\d{1,2}:\\d{1,2}(:\\d{1,2}(\\.\\d+)?)?(Z|([\\-\\+]\\d{1,2}:\\d{1,2}))?", 1},  // time
    {u"-?\\d{2,}(-(\\d{2})?(-(\\d{2}))?)?(Z|([\\-\\+]\\d{1,2}:\\d{1,2}))?", 1},     // date
    {u"\\-?\\d{4,}-\\d{2}" OST_ZONE, 1},                                        // gYearMonth
    {u"\\-?\\d{4,}" OST_ZONE, 1},                                               // gYear
    {u"-?-?\\d{2}-\\d{2}" OST_ZONE, 1},                                         // gMonthDay
    {u"-?-?-?\\d{2}" OST_ZONE, 1},                                              // gDay
    {u"(--)?\\d{2}(--)?" OST_ZONE, 1},                                          // gMonth
    {u"[0-9a-fA-F]*", 1},                                                       // hexBinary
    {u"[A-Za-z0-9+/=\\s]*", 1},                                                 // base64Binary
    {u"", 0},                                                                   // anyURI
    {u"(" OST_NAME u":)?" OST_NAME, 0},                                         // QName
    {OST_NAME, 0},                                                              // NOTATION
    {u"[^\\n\\r\\t]*", 0},                                                      // normalizedString
    {u"((\\S+)(\\s+\\S+)*)?", 0},                                               // token
    {u"[a-zA-Z]{1,8}(-[a-zA-Z0-9]{1,8})*", 0},                                  // language
    {u"(" OST_NAME u")(\\s+" OST_NAME u")*", 0},                                // IDREFS
    {u"(" OST_NAME u")(\\s+" OST_NAME u")*", 0},                                // ENTITIES
    {OST_NMTOKEN, 1},                                                           // NMTOKEN
    {u"(" OST_NMTOKEN u")(\\s+" OST_NMTOKEN u")*", 0},                          // NMTOKENS
    {u"[\\p{L}_:][\\p{L}\\d\\.\\-_:]*", 1},                                     // Name
    {OST_NAME, 1},                                                              // NCName
    {OST_NAME, 1},                                                              // ID
    {OST_NAME, 1},                                                              // IDREF
    {OST_NAME, 1},                                                              // ENTITY
    {u"[\\-\\+]?\\d+", 1},                                                      // integer
    {u"\\+?0+|-\\d+", 1},                                                       // nonPositiveInteger
    {u"-\\d+", 1},                                                              // negativeInteger
    {u"[\\-\\+]?\\d+", 1},                                                      // long
    {u"[\\-\\+]?\\d+", 1},                                                      // int
    {u"[\\-\\+]?\\d+", 1},                                                      // short
    {u"[\\-\\+]?\\d+", 1},                                                      // byte
    {u"\\+?\\d+", 1},                                                           // nonNegativeInteger
    {u"\\+?\\d+", 1},                                                           // unsignedLong
    {u"\\+?\\d+", 1},                                                           // unsignedInt
    {u"\\+?\\d+", 1},                                                           // unsignedShort
    {u"\\+?\\d+", 1},                                                           // unsignedByte
    {u"\\+?\\d+", 1},                                                           // positiveInteger
    {u"[0-9a-fA-F]{8}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{12}", 0},  // uuid
    {u"", 0},                                                                   // XDR enumeration
    {u"", 0},                                                                   // XDR char
    {u"\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?", 1},                // XDR dateTime
    {u"\\d{2}:\\d{2}(:\\d{2}(\\.\\d+)?)?", 1},                                  // XDR time
    {u"[\\-\\+]?\\d{0,14}(\\.\\d{0,4})?", 1},                                   // fixed.14.4
    {u"0|1", 1},                                                                // XDR boolean
    {OST_SELECTOR u"(\\|" OST_SELECTOR u")*", 0},                               // selector path
    {OST_FIELD u"(\\|" OST_FIELD u")*", 0},                                     // field path
};

// The compiled table, built on the first check (never before main) and kept
// until the process ends.
XMLRegExp& BuiltinPattern(uint32_t id) {
  static std::vector<std::unique_ptr<XMLRegExp>> table = [] {
    std::vector<std::unique_ptr<XMLRegExp>> t;
    t.reserve(kDtUnknown);
    for (const KTBuiltinPattern& p : kBuiltinPatterns) {
      t.push_back(std::make_unique<XMLRegExp>(KTString(p.pattern), p.flag));
    }
    return t;
  }();
  return *table[id];
}

bool MatchesBuiltin(uint32_t id, const KTString& text) {
  return BuiltinPattern(id).Match(text) == XMLRegExp::kMatch;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool AllIn(const KTString& text, const char16_t* set) {
  for (const char16_t* p = text.c_str(); *p; ++p) {
    bool found = false;
    for (const char16_t* s = set; *s && !found; ++s) found = *p == *s;
    if (!found) return false;
  }
  return true;
}

// One or more digits from p to the end.
bool DigitsToEnd(const char16_t* p) {
  if (!IsDigit(*p)) return false;
  while (IsDigit(*p)) ++p;
  return *p == 0;
}

bool IntegerLexical(uint32_t id, const KTString& text) {
  const char16_t* p = text.c_str();
  switch (id) {
    case kDtNonPositiveInteger: {
      // "-" before any digits; "+" or no sign only before zero
      // (XML Schema Part 2, 3.3.14.1).
      if (*p == u'-') return DigitsToEnd(p + 1);
      if (*p == u'+') ++p;
      if (*p != u'0') return false;
      while (*p == u'0') ++p;
      return *p == 0;
    }
    case kDtNegativeInteger:
      return *p == u'-' && DigitsToEnd(p + 1);
    case kDtNonNegativeInteger:
    case kDtUnsignedLong:
    case kDtUnsignedInt:
    case kDtUnsignedShort:
    case kDtUnsignedByte:
    case kDtPositiveInteger:
      if (*p == u'+') ++p;
      return DigitsToEnd(p);
    default:
      if (*p == u'+' || *p == u'-') ++p;
      return DigitsToEnd(p);
  }
}

struct KTIntegerBounds {
  const char16_t* min;  // null: none
  const char16_t* max;
};

bool AtMost(const KTString& text, const char16_t* m) {
  const KTString bound(m);
  return DecimalLess(text, bound) || DecimalEquals(text, bound);
}

bool IntegerInRange(uint32_t id, const KTString& text) {
  static constexpr KTIntegerBounds kBounds[] = {
      {nullptr, nullptr},                                  // integer
      {nullptr, u"0"},                                     // nonPositiveInteger
      {nullptr, nullptr},                                  // negativeInteger: below 0
      {u"-9223372036854775808", u"9223372036854775807"},   // long
      {u"-2147483648", u"2147483647"},                     // int
      {u"-32768", u"32767"},                               // short
      {u"-128", u"127"},                                   // byte
      {u"0", nullptr},                                     // nonNegativeInteger
      {u"0", u"18446744073709551615"},                     // unsignedLong
      {u"0", u"4294967295"},                               // unsignedInt
      {u"0", u"65535"},                                    // unsignedShort
      {u"0", u"255"},                                      // unsignedByte
      {nullptr, nullptr},                                  // positiveInteger: above 0
  };
  const KTString zero(u"0");
  if (id == kDtNegativeInteger) return DecimalLess(text, zero);
  if (id == kDtPositiveInteger) return !DecimalLess(text, zero) && !DecimalEquals(text, zero);
  const KTIntegerBounds& b = kBounds[id - kDtInteger];
  if (b.min && DecimalLess(text, KTString(b.min))) return false;
  if (b.max && !AtMost(text, b.max)) return false;
  return true;
}

// gDay and gMonth: the number between the dashes.
long long DayOrMonthNumber(const KTString& text) {
  const char16_t* p = text.c_str();
  while (*p == u'-' || *p == u' ') ++p;
  long long v = 0;
  for (; IsDigit(*p) && v < 1000; ++p) v = v * 10 + (*p - u'0');
  return v;
}

int CharacterCount(const KTString& text) {
  int count = 0;
  for (const char16_t* p = text.c_str(); *p; ++p) {
    if (*p >= 0xDC00 && *p <= 0xDFFF && p > text.c_str() && p[-1] >= 0xD800 && p[-1] <= 0xDBFF) continue;
    ++count;
  }
  return count;
}

}  // namespace

void BuildBuiltinPatternTable() { BuiltinPattern(kDtString); }

int KTDatatype::CheckBuiltinLexical(const KTString& text, bool skipFacets) const {
  const uint32_t id = typeId_;
  if (id == kDtUnknown) return kDatatypeValid;
  if (id > kDtUnknown) return kDatatypeLexical;

  int result = kDatatypeValid;
  switch (id) {
    case kDtString:
    case kDtAnyUri:
    case kDtXdrEnumeration:
      break;
    case kDtBoolean:
      if (text.GetLength() == 1 ? !(text == u"0" || text == u"1") : !(text == u"true" || text == u"false")) {
        result = kDatatypeLexical;
      }
      break;
    case kDtXdrBoolean:
      if (!(text == u"0" || text == u"1")) result = kDatatypeLexical;
      break;
    case kDtXdrChar:
      // One character: a surrogate pair counts as one.
      if (CharacterCount(text) != 1) result = kDatatypeLexical;
      break;
    case kDtHexBinary:
      if (!AllIn(text, u"0123456789abcdefABCDEF")) result = kDatatypeLexical;
      break;
    case kDtBase64Binary:
      if (!AllIn(text, u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/= \t\r\n")) {
        result = kDatatypeLexical;
      }
      break;
    case kDtTime: {
      if (!MatchesBuiltin(id, text)) {
        result = kDatatypeLexical;
        break;
      }
      KTTime time;
      bool valid = false;
      ParseTime(time, text, &valid);
      if (!valid) result = kDatatypeRange;
      break;
    }
    case kDtDate: {
      if (!MatchesBuiltin(id, text)) {
        result = kDatatypeLexical;
        break;
      }
      KTDate date;
      ParseDate(date, text);
      if (!IsExistingDate(date)) result = kDatatypeRange;
      break;
    }
    case kDtDateTime: {
      if (!MatchesBuiltin(id, text)) {
        result = kDatatypeLexical;
        break;
      }
      // The date must exist and the time be a time of day, as for date and time.
      KTDateTime value;
      bool timeValid = false;
      const int t = text.Find(u'T');
      KTDate date;
      ParseDate(date, text.Left(t));
      ParseDateTime(value, text, &timeValid);
      if (!IsExistingDate(date) || !timeValid) result = kDatatypeRange;
      break;
    }
    case kDtGDay:
    case kDtGMonth: {
      if (!MatchesBuiltin(id, text)) {
        result = kDatatypeLexical;
        break;
      }
      const long long n = DayOrMonthNumber(text);
      if (n < 1 || n > (id == kDtGDay ? 31 : 12)) result = kDatatypeRange;
      break;
    }
    default:
      if (id >= kDtInteger && id <= kDtPositiveInteger) {
        if (!IntegerLexical(id, text)) {
          result = kDatatypeLexical;
        } else if (!IntegerInRange(id, text)) {
          result = kDatatypeRange;
        }
      } else if (!MatchesBuiltin(id, text)) {
        result = kDatatypeLexical;
      }
      break;
  }
  if (result != kDatatypeValid || skipFacets) return result;

  for (const auto& f : facets_) {
    const KTFacetKind kind = f->GetKind();
    // On a list the length family counts items, which CheckValue does.
    if (listFlag_ && (kind == kFacetLength || kind == kFacetMinLength || kind == kFacetMaxLength)) continue;
    if (!f->Check(id, text)) {
      SetFailingFacetText(*f);
      return kDatatypeFacet;
    }
  }
  return kDatatypeValid;
}

// ---------------------------------------------------------------------------
// Decimal numerals

namespace {

// A numeral read from text: sign, integer digits without leading zeros,
// fraction digits without trailing zeros. Reading stops at the first
// character that is not part of the numeral (a zone after a year).
struct KTNumeral {
  bool negative = false;
  const char16_t* integer = nullptr;
  int integerLength = 0;
  const char16_t* fraction = nullptr;
  int fractionLength = 0;
};

KTNumeral ReadNumeral(const KTString& text) {
  KTNumeral n;
  const char16_t* p = text.c_str();
  while (*p == u' ' || *p == u'\t' || *p == u'\r' || *p == u'\n') ++p;
  if (*p == u'+') {
    ++p;
  } else if (*p == u'-') {
    n.negative = true;
    ++p;
  }
  while (*p == u'0') ++p;
  n.integer = p;
  while (IsDigit(*p)) ++p;
  n.integerLength = static_cast<int>(p - n.integer);
  if (*p == u'.') {
    ++p;
    n.fraction = p;
    while (IsDigit(*p)) ++p;
    n.fractionLength = static_cast<int>(p - n.fraction);
    while (n.fractionLength > 0 && n.fraction[n.fractionLength - 1] == u'0') --n.fractionLength;
  }
  // Zero has no sign: -0 equals 0 and is not below it.
  if (n.integerLength == 0 && n.fractionLength == 0) n.negative = false;
  return n;
}

// -1, 0 or 1 by magnitude.
int CompareMagnitude(const KTNumeral& a, const KTNumeral& b) {
  if (a.integerLength != b.integerLength) return a.integerLength < b.integerLength ? -1 : 1;
  for (int i = 0; i < a.integerLength; ++i) {
    if (a.integer[i] != b.integer[i]) return a.integer[i] < b.integer[i] ? -1 : 1;
  }
  const int n = a.fractionLength > b.fractionLength ? a.fractionLength : b.fractionLength;
  for (int i = 0; i < n; ++i) {
    const char16_t da = i < a.fractionLength ? a.fraction[i] : u'0';
    const char16_t db = i < b.fractionLength ? b.fraction[i] : u'0';
    if (da != db) return da < db ? -1 : 1;
  }
  return 0;
}

}  // namespace

bool DecimalEquals(const KTString& a, const KTString& b) {
  const KTNumeral x = ReadNumeral(a);
  const KTNumeral y = ReadNumeral(b);
  return x.negative == y.negative && CompareMagnitude(x, y) == 0;
}

bool DecimalLess(const KTString& a, const KTString& b) {
  const KTNumeral x = ReadNumeral(a);
  const KTNumeral y = ReadNumeral(b);
  if (x.negative != y.negative) return x.negative;
  const int m = CompareMagnitude(x, y);
  return x.negative ? m > 0 : m < 0;
}
