// Pattern parsing and formatting for format-number(). Digits come from the
// exact decimal expansion of the double, rounded half away from zero at the
// pattern's count of fraction digits, so 0.125 with two digits gives 0.13
// and 1.005 (stored as 1.00499...) gives 1.00.
#include "xslt/ktnumberformatter.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "streams/ktunicodedatabase.h"

bool KTDecimalFormat::operator==(const KTDecimalFormat& other) const {
  return name == other.name && decimalSeparator == other.decimalSeparator &&
         groupingSeparator == other.groupingSeparator && infinity == other.infinity && minusSign == other.minusSign &&
         nan == other.nan && percent == other.percent && perMille == other.perMille && zeroDigit == other.zeroDigit &&
         digit == other.digit && patternSeparator == other.patternSeparator;
}

bool KTNumberFormatter::IsPatternChar(char16_t c) const {
  const KTDecimalFormat& f = *format_;
  return c == f.decimalSeparator || c == f.digit || c == f.zeroDigit || c == f.patternSeparator ||
         (c == f.groupingSeparator && groupingLiteral_ == 0);
}

// Prefix or suffix text, up to the next digit, separator or sub-pattern
// separator. Quotes work as in JDK 1.1 DecimalFormat, which XSLT 1.0 §12.3
// follows: text between quotes is taken as it stands, the quotes themselves
// are not part of it, and two quotes in a row (inside or outside a quoted
// run) stand for one quote. So "'#'#0" is the text "#" before the digits
// "#0". A quote left open is an invalid pattern. A percent or per-mille sign
// outside quotes is text that also sets the sub-pattern's multiplier; a
// second one is an invalid pattern.
bool KTNumberFormatter::ParseAffix(const char16_t*& position, std::u16string& out, KTNumberSubPattern& pattern) {
  bool quoting = false;
  while (char16_t c = *position) {
    if (c == u'\'') {
      if (position[1] == u'\'') {
        out += u'\'';
        position += 2;
        continue;
      }
      quoting = !quoting;
      ++position;
      continue;
    }
    if (!quoting) {
      if (IsPatternChar(c)) break;
      if (c == format_->percent || c == format_->perMille) {
        if (pattern.percent || pattern.perMille) return false;
        pattern.percent = c == format_->percent;
        pattern.perMille = !pattern.percent;
      }
    }
    out += c;
    ++position;
  }
  return !quoting;
}

// prefix, integer digits ('#'s, then '0's, with grouping separators among
// them), an optional decimal separator with fraction digits ('0's, then
// '#'s), suffix. Digits may be missing altogether ("", "abc"): the number
// then shows as many integer digits as it has. Where the decimal separator
// and the grouping separator are the same character it is the decimal
// separator.
bool KTNumberFormatter::ParseSubPattern(const char16_t*& position, KTNumberSubPattern& pattern) {
  const KTDecimalFormat& f = *format_;
  if (!ParseAffix(position, pattern.prefix, pattern)) return false;
  bool lastWasSeparator = false;
  auto integerRun = [&](char16_t digitChar, int& count) {
    for (char16_t c = *position; c != 0 && c != f.decimalSeparator && (c == digitChar || c == f.groupingSeparator);
         c = *++position) {
      lastWasSeparator = c == f.groupingSeparator;
      if (lastWasSeparator) {
        pattern.groupingUsed = true;
        pattern.groupingSize = 0;
      } else {
        ++pattern.groupingSize;
        ++count;
      }
    }
  };
  integerRun(f.digit, pattern.optionalIntegerDigits);
  integerRun(f.zeroDigit, pattern.minimumIntegerDigits);
  if (lastWasSeparator) return false;
  if (*position != 0 && *position == f.decimalSeparator) {
    pattern.hasDecimalSeparator = true;
    ++position;
    while (*position != 0 && *position == f.zeroDigit) {
      ++pattern.minimumFractionDigits;
      ++position;
    }
    while (*position != 0 && *position == f.digit) {
      ++pattern.optionalFractionDigits;
      ++position;
    }
  }
  // Without any '0', the '#' beside the decimal separator is taken as a '0'
  // ("#.#" is "0.#", ".##" is ".0#"), as JDK 1.1 DecimalFormat reads such
  // patterns.
  if (pattern.hasDecimalSeparator && pattern.minimumIntegerDigits == 0 && pattern.minimumFractionDigits == 0) {
    if (pattern.optionalIntegerDigits > 0) {
      --pattern.optionalIntegerDigits;
      pattern.minimumIntegerDigits = 1;
    } else if (pattern.optionalFractionDigits > 0) {
      --pattern.optionalFractionDigits;
      pattern.minimumFractionDigits = 1;
    }
  }
  return ParseAffix(position, pattern.suffix, pattern);
}

bool KTNumberFormatter::ParsePattern(const char16_t*& position) {
  if (!format_ || !position) return false;
  positive_ = KTNumberSubPattern();
  negative_ = KTNumberSubPattern();
  hasNegative_ = false;
  if (!ParseSubPattern(position, positive_)) return false;
  if (*position != 0 && *position == format_->patternSeparator) {
    ++position;
    hasNegative_ = true;
    return ParseSubPattern(position, negative_);
  }
  return true;
}

namespace {

// The exact decimal expansion of |x| (finite) rounded half away from zero to
// `fractionDigits` digits: integer digits (at least "0") and fraction digits.
void RoundedDigits(double x, int fractionDigits, std::string& integerPart, std::string& fractionPart) {
  x = std::fabs(x);
  // A double's fraction has as many decimal digits as binary ones.
  int exactDigits = 0;
  if (x != 0 && x != std::floor(x)) {
    int exponent = 0;
    double mantissa = std::frexp(x, &exponent);
    auto bits = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
    int trailing = 0;
    while ((bits & 1) == 0) {
      bits >>= 1;
      ++trailing;
    }
    exactDigits = 53 - exponent - trailing;
  }
  int precision = exactDigits > fractionDigits ? exactDigits : fractionDigits;
  std::string text(static_cast<size_t>(precision) + 330, '\0');
  auto done = std::to_chars(text.data(), text.data() + text.size(), x, std::chars_format::fixed, precision);
  text.resize(static_cast<size_t>(done.ptr - text.data()));
  size_t point = text.find('.');
  integerPart.assign(text, 0, point == std::string::npos ? text.size() : point);
  fractionPart.clear();
  if (point != std::string::npos) fractionPart.assign(text, point + 1, std::string::npos);
  bool roundUp = static_cast<int>(fractionPart.size()) > fractionDigits && fractionPart[fractionDigits] >= '5';
  fractionPart.resize(static_cast<size_t>(fractionDigits), '0');
  if (!roundUp) return;
  for (size_t i = fractionPart.size(); i-- > 0;) {
    if (fractionPart[i] != '9') {
      ++fractionPart[i];
      return;
    }
    fractionPart[i] = '0';
  }
  for (size_t i = integerPart.size(); i-- > 0;) {
    if (integerPart[i] != '9') {
      ++integerPart[i];
      return;
    }
    integerPart[i] = '0';
  }
  integerPart.insert(integerPart.begin(), '1');
}

}  // namespace

const char16_t* KTNumberFormatter::Format(double x) {
  if (!format_) return nullptr;
  const KTDecimalFormat& f = *format_;
  result_.clear();
  if (std::isnan(x)) {
    result_ = f.nan.View();
    return result_.c_str();
  }
  if (std::isinf(x)) {
    if (x < 0) result_ += f.minusSign;
    result_ += f.infinity.View();
    return result_.c_str();
  }
  // A zero-digit other than an ASCII digit (another script's zero, or a
  // letter) shifts every digit by its distance from '0'.
  int zeroOffset = 0;
  if (f.zeroDigit < u'0' || f.zeroDigit > u'9') {
    const char16_t* category = KTUnicodeDatabase::GetCategory(f.zeroDigit);
    if (category[0] == u'L' || (category[0] == u'N' && category[1] == u'd')) zeroOffset = f.zeroDigit - u'0';
  }
  // A negative sub-pattern gives only its prefix, suffix and multiplier;
  // the digits are always the positive one's. Without a multiplier of its
  // own it takes the positive one's: "#%;(#)" formats -0.25 as (25).
  bool negative = x < 0;
  const KTNumberSubPattern& digits = positive_;
  const KTNumberSubPattern& affixes = negative && hasNegative_ ? negative_ : positive_;
  const KTNumberSubPattern& scale = affixes.percent || affixes.perMille ? affixes : positive_;
  if (scale.percent) {
    x *= 100;
  } else if (scale.perMille) {
    x *= 1000;
  }
  // A finite number that the scaling took past the largest double is
  // written as JDK 1.1 DecimalFormat writes an infinite value: the infinity
  // string between the sub-pattern's prefix and suffix.
  if (std::isinf(x)) {
    if (negative && !hasNegative_) result_ += f.minusSign;
    result_ += affixes.prefix;
    result_ += f.infinity.View();
    result_ += affixes.suffix;
    return result_.c_str();
  }
  std::string integerPart;
  RoundedDigits(x, digits.minimumFractionDigits + digits.optionalFractionDigits, integerPart, digits_);
  while (!digits_.empty() && digits_.back() == '0') digits_.pop_back();
  if (static_cast<int>(digits_.size()) < digits.minimumFractionDigits)
    digits_.resize(static_cast<size_t>(digits.minimumFractionDigits), '0');
  if (integerPart == "0") integerPart.clear();
  if (static_cast<int>(integerPart.size()) < digits.minimumIntegerDigits)
    integerPart.insert(0, static_cast<size_t>(digits.minimumIntegerDigits) - integerPart.size(), '0');
  // A zero stands in for a number that would otherwise show no digit.
  if (integerPart.empty() && digits_.empty()) integerPart = "0";

  if (negative && !hasNegative_) result_ += f.minusSign;
  result_ += affixes.prefix;
  int size = digits.groupingSize;
  bool group = digits.groupingUsed && size > 0 && static_cast<int>(integerPart.size()) > size;
  int length = static_cast<int>(integerPart.size());
  for (int i = 0; i < length; ++i) {
    if (group && i > 0 && (length - i) % size == 0) result_ += f.groupingSeparator;
    result_ += static_cast<char16_t>(integerPart[static_cast<size_t>(i)] + zeroOffset);
  }
  // A pattern whose decimal separator has no fraction digit after it ("#.")
  // always shows the separator.
  bool alwaysShown = digits.hasDecimalSeparator && digits.minimumFractionDigits + digits.optionalFractionDigits == 0;
  if (!digits_.empty() || alwaysShown) result_ += f.decimalSeparator;
  for (char d : digits_) result_ += static_cast<char16_t>(d + zeroOffset);
  result_ += affixes.suffix;
  return result_.c_str();
}
