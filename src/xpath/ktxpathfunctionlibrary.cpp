// The XPath value conversions: string values of nodes, number <-> string in
// the XPath forms (locale-independent, through std::to_chars and
// std::from_chars), boolean and round.
#include "xpath/ktxpathfunctionlibrary.h"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <limits>
#include <string>

#include "platform/ktwchar.h"
#include "xml/ktxpathnode.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Growth step of gathered text; the buffer grows geometrically beyond it.
// Small, since most string values are short and each is gathered afresh
// (a large first block made every value-of allocate 32 KB).
constexpr int kTextGrowth = 64;

// XPath 1.0 white space (production [39] ExprWhitespace uses XML's S).
constexpr bool IsXPathSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
constexpr bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsContainer(const KTXPathNode* node) {
  return node->GetKind() == kXPathRoot || node->GetKind() == kXPathElement;
}

}  // namespace

// ---- String values of nodes ----

void KTXPathFunctionLibrary::AppendStringValue(const KTXPathNode* node, KTString& out, int& length) {
  if (!node) return;
  if (!IsContainer(node)) {
    out.AppendAtLength(node->GetValue(), length, kTextGrowth);
    return;
  }
  // Depth-first through parent and sibling links, so that deep trees need no
  // stack; attributes and namespace nodes are not part of the text.
  if (node->GetChildCount() == 0) return;
  const KTXPathNode* current = node->GetChild(0);
  while (current) {
    int kind = current->GetKind();
    if (kind == kXPathText || kind == kXPathCData) out.AppendAtLength(current->GetValue(), length, kTextGrowth);
    if (kind != kXPathAttribute && kind != kXPathNamespace && current->GetChildCount() > 0) {
      current = current->GetChild(0);
      continue;
    }
    while (current != node) {
      if (const KTXPathNode* next = current->GetNextSibling()) {
        current = next;
        break;
      }
      current = current->GetParent();
    }
    if (current == node) break;
  }
}

std::u16string_view KTXPathFunctionLibrary::StringValueView(const KTXPathNode* node, KTString& scratch) {
  if (!node) return {};
  if (!IsContainer(node)) return std::u16string_view(node->GetValue());
  // A container of one text node alone (an element of one value, a
  // result-tree fragment of one text) is that text, read in place.
  if (node->GetChildCount() == 1) {
    const KTXPathNode* child = node->GetChild(0);
    if (child->GetKind() == kXPathText || child->GetKind() == kXPathCData) return std::u16string_view(child->GetValue());
  }
  int length = 0;
  scratch.ClearAndReserve(0);
  AppendStringValue(node, scratch, length);
  return std::u16string_view(scratch.c_str(), static_cast<size_t>(length));
}

// ---- Conversions ----

KTString KTXPathFunctionLibrary::ToString(const KTXPathValue& value) {
  KTString out;
  ToString(out, value);
  return out;
}

KTString& KTXPathFunctionLibrary::ToString(KTString& out, const KTXPathValue& value) {
  switch (value.GetKind()) {
    case kValueNodeSet: {
      const KTXPathNodeItem* first = value.FirstInDocumentOrder();
      int length = 0;
      out.ClearAndReserve(0);
      if (first) AppendStringValue(first->GetNode(), out, length);
      return out;
    }
    case kValueBoolean:
      out = value.GetBoolean() ? u"true" : u"false";
      return out;
    case kValueNumber:
      return NumberToString(value.GetNumber(), out);
    default:
      // A whole text is copied as it stands; a piece of a shared one by
      // its length.
      if (const KTString* whole = value.WholeString()) out = *whole;
      else out.Assign(value.StringText().data(), static_cast<int>(value.StringText().size()));
      return out;
  }
}

bool KTXPathFunctionLibrary::ToBoolean(const KTXPathValue& value) noexcept {
  switch (value.GetKind()) {
    case kValueNodeSet: return value.ItemCount() > 0;
    case kValueBoolean: return value.GetBoolean();
    case kValueNumber: return value.GetNumber() != 0.0 && !std::isnan(value.GetNumber());
    default: return !value.StringText().empty();
  }
}

double KTXPathFunctionLibrary::ToNumber(const KTXPathValue& value) {
  switch (value.GetKind()) {
    case kValueBoolean: return value.GetBoolean() ? 1.0 : 0.0;
    case kValueNumber: return value.GetNumber();
    case kValueString: return StringToNumber(value.StringText());
    default: {
      const KTXPathNodeItem* first = value.FirstInDocumentOrder();
      if (!first) return kNaN;
      KTString scratch;
      return StringToNumber(StringValueView(first->GetNode(), scratch));
    }
  }
}

double KTXPathFunctionLibrary::RoundDouble(double x) noexcept {
  if (std::isnan(x) || std::isinf(x) || x == 0.0) return x;
  if (x < 0.0 && x >= -0.5) return -0.0;
  // floor(x + 0.5) would round 0.49999999999999994 up through the addition;
  // the distance to the floor is exact below 2^52, and beyond it every double
  // is already an integer.
  if (std::fabs(x) >= 4503599627370496.0) return x;
  double low = std::floor(x);
  return x - low >= 0.5 ? low + 1.0 : low;
}

double KTXPathFunctionLibrary::RoundNumber(const KTXPathValue& value) { return RoundDouble(ToNumber(value)); }

double KTXPathFunctionLibrary::StringToNumber(std::u16string_view text) noexcept {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsXPathSpace(text[begin])) ++begin;
  while (end > begin && IsXPathSpace(text[end - 1])) --end;
  // XPath 1.0 §4.4: '-'? Number, where Number is Digits ('.' Digits?)? or
  // '.' Digits. No '+', no exponent, no other text.
  size_t i = begin;
  if (i < end && text[i] == u'-') ++i;
  size_t digitsBefore = 0;
  size_t digitsAfter = 0;
  while (i < end && IsDigit(text[i])) ++i, ++digitsBefore;
  if (i < end && text[i] == u'.') {
    ++i;
    while (i < end && IsDigit(text[i])) ++i, ++digitsAfter;
  }
  if (i != end || digitsBefore + digitsAfter == 0) return kNaN;
  // Up to 15 digits without a point: the integer is exact in a double, as
  // from_chars would give it.
  if (digitsAfter == 0 && digitsBefore <= 15 && text[i - 1] != u'.') {
    const bool negative = text[begin] == u'-';
    int64_t whole = 0;
    for (size_t k = negative ? begin + 1 : begin; k < end; ++k) whole = whole * 10 + (text[k] - u'0');
    const double value = static_cast<double>(whole);
    return negative ? -value : value;
  }
  std::string ascii;
  ascii.reserve(end - begin);
  for (size_t k = begin; k < end; ++k) ascii.push_back(static_cast<char>(text[k]));
  double result = 0.0;
  auto [ptr, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), result);
  if (ptr != ascii.data() + ascii.size()) return kNaN;
  // Out of range: from_chars leaves the result alone; the XPath value is the
  // infinity or zero that IEEE 754 rounding gives.
  if (ec == std::errc::result_out_of_range) {
    bool negative = ascii[0] == '-';
    bool huge = digitsBefore > 0 && ascii.find_first_not_of("-0") < ascii.find('.');
    double magnitude = huge ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
  }
  return result;
}

KTString& KTXPathFunctionLibrary::NumberToString(double number, KTString& out) {
  if (std::isnan(number)) return out = u"NaN";
  if (std::isinf(number)) return out = number > 0 ? u"Infinity" : u"-Infinity";
  if (number == 0.0) return out = u"0";
  // A whole number below 2^53 in magnitude is its integer's digits: the
  // fixed form below would end in zeros after the point and drop them. The
  // usual case (counts, positions, sums of them) skips the floating-point
  // formatting.
  if (std::fabs(number) < 9007199254740992.0 && number == std::trunc(number)) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof(digits), static_cast<int64_t>(number)).ptr;
    const int length = static_cast<int>(end - digits);
    out.ClearAndReserve(length);
    char16_t* data = out.GetBuffer();
    for (int k = 0; k < length; ++k) data[k] = static_cast<char16_t>(digits[k]);
    data[length] = 0;
    return out;
  }
  // About 16 significant digits: the digits after the point are
  // trunc(log10(2^52) - log10(|x|)), none for large numbers; fixed notation,
  // so there is never an exponent.
  int precision = static_cast<int>(std::trunc(15.653559774527022 - std::log10(std::fabs(number))));
  if (precision < 0) precision = 0;
  // At most 309 integer digits, a sign, a point and 340 decimals.
  char buffer[720];
  auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof(buffer), number, std::chars_format::fixed, precision);
  if (ec != std::errc()) return out = u"NaN";  // cannot happen with this buffer
  char* end = ptr;
  if (std::char_traits<char>::find(buffer, end - buffer, '.')) {
    while (end > buffer && end[-1] == '0') --end;
    while (end > buffer && end[-1] == '.') --end;
  }
  int length = static_cast<int>(end - buffer);
  out.ClearAndReserve(length);
  char16_t* data = out.GetBuffer();
  for (int k = 0; k < length; ++k) data[k] = static_cast<char16_t>(buffer[k]);
  data[length] = 0;
  return out;
}
