// Facets: creation by name, the per-kind checks and adjustments, and the
// checks of a facet's own value against its datatype. Facet numbers are read
// portably; a number that cannot be read refuses every value.
#include "schema/ktfacet.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <string>

#include "schema/ktdatatype.h"
#include "schema/ktdatetime.h"
#include "schema/xmlregexp.h"

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Digits with an optional '+', white space around; saturates.
bool ReadUnsigned(const KTString& text, unsigned long long& value) {
  const char16_t* p = text.c_str();
  while (IsXmlSpace(*p)) ++p;
  if (*p == u'+') ++p;
  if (!IsDigit(*p)) return false;
  value = 0;
  for (; IsDigit(*p); ++p) {
    const unsigned d = *p - u'0';
    value = value > (ULLONG_MAX - d) / 10 ? ULLONG_MAX : value * 10 + d;
  }
  while (IsXmlSpace(*p)) ++p;
  return *p == 0;
}

// A floating-point literal (XML Schema float and double: INF, -INF, NaN, an
// optional sign, mantissa and exponent), the whole text.
bool ReadDouble(const KTString& text, double& value) {
  std::string narrow;
  const char16_t* p = text.c_str();
  while (IsXmlSpace(*p)) ++p;
  for (; *p && !IsXmlSpace(*p); ++p) {
    if (*p > 0x7F) return false;
    narrow.push_back(static_cast<char>(*p));
  }
  while (IsXmlSpace(*p)) ++p;
  if (*p || narrow.empty()) return false;
  size_t start = narrow[0] == '+' ? 1 : 0;
  const char* first = narrow.data() + start;
  const char* last = narrow.data() + narrow.size();
  if (std::string_view(first, last - first) == "INF" || std::string_view(first, last - first) == "-INF") {
    value = first[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  if (std::string_view(first, last - first) == "NaN") {
    value = std::nan("");
    return true;
  }
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last;
}

bool DoublesEqual(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// gDay and gMonth: the number between the dashes.
bool ReadDayOrMonth(const KTString& text, long long& value) {
  const char16_t* p = text.c_str();
  while (*p == u'-' || *p == u' ') ++p;
  if (!IsDigit(*p)) return false;
  value = 0;
  for (; IsDigit(*p) && value < 1000000; ++p) value = value * 10 + (*p - u'0');
  return true;
}

bool HasDigit(const KTString& text) {
  for (const char16_t* p = text.c_str(); *p; ++p) {
    if (IsDigit(*p)) return true;
  }
  return false;
}

bool IsNonNegativeInteger(const KTString& value) {
  KTDatatype check(kDtNonNegativeInteger, 52, false);
  return check.CheckValue(value, false, false) == kDatatypeValid;
}

unsigned long long CharacterCount(const KTString& text) {
  unsigned long long count = 0;
  const char16_t* start = text.c_str();
  for (const char16_t* p = start; *p; ++p) {
    if (*p >= 0xDC00 && *p <= 0xDFFF && p > start && p[-1] >= 0xD800 && p[-1] <= 0xDBFF) continue;
    ++count;
  }
  return count;
}

unsigned long long TokenCount(const KTString& text) {
  unsigned long long count = 0;
  bool inToken = false;
  for (const char16_t* p = text.c_str(); *p; ++p) {
    const bool space = IsXmlSpace(*p);
    if (!space && !inToken) ++count;
    inToken = !space;
  }
  return count;
}

// Digits of the numeral at the start of the text (after white space and a
// sign): integer digits without leading zeros and fraction digits without
// trailing zeros; when the integer part is zero the fraction's leading zeros
// do not count either (0.0012 has two total digits).
void CountDigits(const KTString& text, int& total, int& fraction) {
  const char16_t* p = text.c_str();
  while (IsXmlSpace(*p)) ++p;
  if (*p == u'+' || *p == u'-') ++p;
  while (*p == u'0') ++p;
  int integer = 0;
  for (; IsDigit(*p); ++p) ++integer;
  fraction = 0;
  int significantFraction = 0;
  if (*p == u'.') {
    ++p;
    const char16_t* f = p;
    while (IsDigit(*p)) ++p;
    int n = static_cast<int>(p - f);
    while (n > 0 && f[n - 1] == u'0') --n;
    fraction = n;
    int lead = 0;
    if (integer == 0) {
      while (lead < n && f[lead] == u'0') ++lead;
    }
    significantFraction = n - lead;
  }
  total = integer + significantFraction;
}

}  // namespace

// ---------------------------------------------------------------------------
// Base

void KTFacet::Adjust(KTString&) const {}

bool KTFacet::SetValues(const std::vector<KTString>& values) {
  value_ = values.empty() ? KTString() : values.front();
  return true;
}

bool KTFacet::SetValue(const KTString& text) {
  value_ = text;
  return true;
}

bool KTFacet::CheckOwnValue(const KTDatatype& datatype) const {
  return datatype.CheckValue(value_, false, true) == kDatatypeValid;
}

KTFacet* CreateFacet(const KTString& name, const KTString& value) {
  KTFacet* facet = nullptr;
  if (name == u"length") {
    facet = new KTLengthFacet();
  } else if (name == u"minLength") {
    facet = new KTMinLengthFacet();
  } else if (name == u"maxLength") {
    facet = new KTMaxLengthFacet();
  } else if (name == u"pattern") {
    facet = new KTPatternFacet();
  } else if (name == u"enumeration") {
    facet = new KTEnumerationFacet();
  } else if (name == u"whiteSpace") {
    facet = new KTWhiteSpaceFacet();
  } else if (name == u"maxInclusive") {
    facet = new KTMaxInclusiveFacet();
  } else if (name == u"maxExclusive") {
    facet = new KTMaxExclusiveFacet();
  } else if (name == u"minInclusive") {
    facet = new KTMinInclusiveFacet();
  } else if (name == u"minExclusive") {
    facet = new KTMinExclusiveFacet();
  } else if (name == u"totalDigits") {
    facet = new KTTotalDigitsFacet();
  } else if (name == u"fractionDigits") {
    facet = new KTFractionDigitsFacet();
  }
  if (facet) facet->SetValue(value);
  return facet;
}

// ---------------------------------------------------------------------------
// Length family

bool KTLengthFacetBase::Accepts(unsigned long long length) const {
  unsigned long long n = 0;
  if (!ReadUnsigned(value_, n)) return false;
  switch (kind_) {
    case kFacetLength: return length == n;
    case kFacetMinLength: return length >= n;
    default: return length <= n;
  }
}

bool KTLengthFacetBase::Check(uint32_t typeId, const KTString& text) const {
  switch (typeId) {
    case kDtString:
    case kDtAnyUri: case kDtQName: case kDtNotation: case kDtNormalizedString: case kDtToken:
    case kDtLanguage: case kDtNmtoken: case kDtName: case kDtNCName: case kDtId: case kDtIdref:
    case kDtEntity:
      return Accepts(CharacterCount(text));
    case kDtHexBinary:
      return Accepts(static_cast<unsigned long long>(text.GetLength()) / 2);
    case kDtIdrefs: case kDtEntities: case kDtNmtokens:
      return Accepts(TokenCount(text));
    default:
      return true;
  }
}

bool KTLengthFacetBase::CheckOwnValue(const KTDatatype&) const { return IsNonNegativeInteger(value_); }

namespace {

void CutOrPad(KTString& text, unsigned long long n, bool cut, bool pad) {
  const unsigned long long length = static_cast<unsigned long long>(text.GetLength());
  if (cut && length > n) text = text.Left(static_cast<int>(n));
  if (pad) {
    int len = text.GetLength();
    for (unsigned long long i = length; i < n && len < INT_MAX - 1; ++i) text.AppendCharAtLength(u'a', len, 16);
  }
}

}  // namespace

void KTLengthFacet::Adjust(KTString& text) const {
  unsigned long long n = 0;
  if (ReadUnsigned(value_, n)) CutOrPad(text, n, true, true);
}

void KTMinLengthFacet::Adjust(KTString& text) const {
  unsigned long long n = 0;
  if (ReadUnsigned(value_, n)) CutOrPad(text, n, false, true);
}

void KTMaxLengthFacet::Adjust(KTString& text) const {
  unsigned long long n = 0;
  if (ReadUnsigned(value_, n)) CutOrPad(text, n, true, false);
}

// ---------------------------------------------------------------------------
// Pattern

KTPatternFacet::KTPatternFacet() : KTFacet(kFacetPattern) {}

KTPatternFacet::KTPatternFacet(const KTPatternFacet& other) : KTFacet(other) {
  if (other.regExp_) regExp_.reset(other.regExp_->Clone());
}

KTPatternFacet::~KTPatternFacet() = default;

bool KTPatternFacet::SetValue(const KTString& text) {
  // Several pattern values of one datatype are alternatives (XML Schema
  // Part 2, 4.3.4.3): each new one is joined with '|'.
  if (regExp_) {
    value_ += u"|";
    value_ += text;
  } else {
    value_ = text;
  }
  regExp_ = std::make_unique<XMLRegExp>(value_, 0);
  return regExp_->IsCompiled();
}

bool KTPatternFacet::Check(uint32_t, const KTString& text) const {
  // The whole lexical value is matched, list types (IDREFS, ENTITIES,
  // NMTOKENS) included (XML Schema Part 2, 4.3.4).
  if (!regExp_ || !regExp_->IsCompiled()) return false;
  return regExp_->Match(text) == XMLRegExp::kMatch;
}

void KTPatternFacet::Adjust(KTString& text) const {
  if (regExp_ && regExp_->IsCompiled()) text = regExp_->MakeSample();
}

bool KTPatternFacet::CheckOwnValue(const KTDatatype&) const { return regExp_ && regExp_->IsCompiled(); }

// ---------------------------------------------------------------------------
// Enumeration

bool KTEnumerationFacet::Check(uint32_t typeId, const KTString& text) const {
  if (typeId == kDtFloat || typeId == kDtDouble) {
    double v = 0;
    if (!ReadDouble(text, v)) return false;
    for (const KTString& listed : values_) {
      double w = 0;
      if (ReadDouble(listed, w) && DoublesEqual(v, w)) return true;
    }
    return false;
  }
  const bool decimal = typeId == kDtDecimal || (typeId >= kDtInteger && typeId <= kDtPositiveInteger);
  for (const KTString& listed : values_) {
    if (decimal ? DecimalEquals(text, listed) : text == listed) return true;
  }
  return false;
}

void KTEnumerationFacet::Adjust(KTString& text) const {
  if (!values_.empty()) text = values_.front();
}

const KTString& KTEnumerationFacet::Value() const {
  joined_ = KTString();
  for (size_t i = 0; i < values_.size(); ++i) {
    if (i > 0) joined_ += u" ";
    joined_ += values_[i];
  }
  return joined_;
}

bool KTEnumerationFacet::SetValues(const std::vector<KTString>& values) {
  values_.insert(values_.end(), values.begin(), values.end());
  return true;
}

bool KTEnumerationFacet::SetValue(const KTString& text) {
  values_.push_back(text);
  return true;
}

bool KTEnumerationFacet::CheckOwnValue(const KTDatatype& datatype) const {
  for (const KTString& listed : values_) {
    if (datatype.CheckValue(listed, false, true) != kDatatypeValid) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Bounds

bool KTBoundFacet::Check(uint32_t typeId, const KTString& text) const {
  // cmp: the text against the facet's value, -1, 0 or 1; unordered (NaN) or
  // unreadable values refuse.
  int cmp = 0;
  switch (typeId) {
    case kDtFloat:
    case kDtDouble: {
      double v = 0, n = 0;
      if (!ReadDouble(text, v) || !ReadDouble(value_, n)) return false;
      if (std::isnan(v) || std::isnan(n)) return false;
      cmp = v < n ? -1 : (v > n ? 1 : 0);
      break;
    }
    case kDtDecimal:
    case kDtGYear:
    case kDtInteger: case kDtNonPositiveInteger: case kDtNegativeInteger: case kDtLong:
    case kDtInt: case kDtShort: case kDtByte: case kDtNonNegativeInteger: case kDtUnsignedLong:
    case kDtUnsignedInt: case kDtUnsignedShort: case kDtUnsignedByte: case kDtPositiveInteger:
      if (!HasDigit(value_)) return false;
      cmp = DecimalLess(text, value_) ? -1 : (DecimalEquals(text, value_) ? 0 : 1);
      break;
    case kDtDateTime: {
      KTDateTime v, n;
      if (!ParseDateTime(v, text) || !ParseDateTime(n, value_)) return false;
      cmp = DateTimeLess(v, n) ? -1 : (DateTimeGreater(v, n) ? 1 : 0);
      break;
    }
    case kDtTime: {
      KTTime v, n;
      if (!ParseTimeWithFraction(v, text) || !ParseTimeWithFraction(n, value_)) return false;
      cmp = TimeLess(v, n) ? -1 : (TimeGreater(v, n) ? 1 : 0);
      break;
    }
    case kDtDate: {
      KTDate v, n;
      if (!ParseDate(v, text) || !ParseDate(n, value_)) return false;
      cmp = DateLess(v, n) ? -1 : (DateGreater(v, n) ? 1 : 0);
      break;
    }
    case kDtGDay:
    case kDtGMonth: {
      long long v = 0, n = 0;
      if (!ReadDayOrMonth(text, v) || !ReadDayOrMonth(value_, n)) return false;
      cmp = v < n ? -1 : (v > n ? 1 : 0);
      break;
    }
    default:
      return true;
  }
  switch (kind_) {
    case kFacetMaxInclusive: return cmp <= 0;
    case kFacetMaxExclusive: return cmp < 0;
    case kFacetMinInclusive: return cmp >= 0;
    default: return cmp > 0;
  }
}

// ---------------------------------------------------------------------------
// Digit counts

bool KTTotalDigitsFacet::Check(uint32_t, const KTString& text) const {
  unsigned long long n = 0;
  if (!ReadUnsigned(value_, n)) return false;
  int total = 0, fraction = 0;
  CountDigits(text, total, fraction);
  return static_cast<unsigned long long>(total) <= n;
}

void KTTotalDigitsFacet::Adjust(KTString& text) const {
  unsigned long long n = 0;
  if (ReadUnsigned(value_, n) && n < static_cast<unsigned long long>(text.GetLength())) {
    text = text.Left(static_cast<int>(n + 1));
  }
}

bool KTTotalDigitsFacet::CheckOwnValue(const KTDatatype&) const { return IsNonNegativeInteger(value_); }

bool KTFractionDigitsFacet::Check(uint32_t, const KTString& text) const {
  unsigned long long n = 0;
  if (!ReadUnsigned(value_, n)) return false;
  int total = 0, fraction = 0;
  CountDigits(text, total, fraction);
  return static_cast<unsigned long long>(fraction) <= n;
}

void KTFractionDigitsFacet::Adjust(KTString& text) const {
  unsigned long long n = 0;
  if (ReadUnsigned(value_, n) && n + 2 < static_cast<unsigned long long>(text.GetLength())) {
    text = text.Left(static_cast<int>(n + 2));
  }
}

bool KTFractionDigitsFacet::CheckOwnValue(const KTDatatype&) const { return IsNonNegativeInteger(value_); }
