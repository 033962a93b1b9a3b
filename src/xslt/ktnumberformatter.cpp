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
  return c == f.decimalSeparator || c == f.digit || c == f.zeroDigit || c == f.patternSeparator || c == f.percent ||
         c == f.perMille || (c == f.groupingSeparator && groupingLiteral_ == 0);
}

// Prefix or suffix text. A quote followed by a quote is one quote; a quote
// followed by anything else toggles quoting and takes that character as
// text; inside quotes everything is text. In the negative sub-pattern the
// first minus sign is text and a second one ends the text.
void KTNumberFormatter::ParseLiteral(const char16_t*& position, std::u16string& out, bool negative) {
  bool quoting = false;
  while (char16_t c = *position) {
    if (c == u'\'') {
      char16_t next = position[1];
      if (next == 0) {
        ++position;
        break;
      }
      if (next != u'\'') quoting = !quoting;
      out += next;
      position += 2;
      continue;
    }
    if (!quoting) {
      if (c == format_->minusSign && negative) {
        if (minusSeen_) break;
        minusSeen_ = true;
      } else if (IsPatternChar(c)) {
        break;
      }
    }
    out += c;
    ++position;
  }
}

bool KTNumberFormatter::ParseSubPattern(const char16_t*& position, KTNumberSubPattern& pattern, bool negative) {
  const KTDecimalFormat& f = *format_;
  ParseLiteral(position, pattern.prefix, negative);
  auto takeSign = [&](bool& where) {
    if (*position == f.percent || *position == f.perMille) {
      where = true;
      pattern.percent = *position == f.percent;
      pattern.perMille = !pattern.percent;
      ++position;
    }
  };
  takeSign(pattern.signInPrefix);
  char16_t c = *position;
  if (c == 0 || (c != f.digit && c != f.zeroDigit && c != f.groupingSeparator)) return false;
  bool lastWasSeparator = false;
  auto integerRun = [&](char16_t digitChar, int& count) {
    for (c = *position; c != 0 && (c == digitChar || c == f.groupingSeparator); c = *++position) {
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
    if (*position == 0) return false;
    while (*position != 0 && *position == f.zeroDigit) {
      ++pattern.minimumFractionDigits;
      ++position;
    }
    while (*position != 0 && *position == f.digit) {
      ++pattern.optionalFractionDigits;
      ++position;
    }
  }
  takeSign(pattern.signInSuffix);
  ParseLiteral(position, pattern.suffix, negative);
  return true;
}

bool KTNumberFormatter::ParsePattern(const char16_t*& position) {
  if (!format_ || !position || *position == 0) return false;
  positive_ = KTNumberSubPattern();
  negative_ = KTNumberSubPattern();
  hasNegative_ = false;
  minusSeen_ = false;
  if (!ParseSubPattern(position, positive_, false)) return false;
  if (*position != 0 && *position == format_->patternSeparator) {
    ++position;
    hasNegative_ = true;
    return ParseSubPattern(position, negative_, true);
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
  // The multiplier is the positive sub-pattern's: "#%;(#)" formats -0.25 as
  // (25%), not (0%).
  if (positive_.percent) {
    x *= 100;
  } else if (positive_.perMille) {
    x *= 1000;
  }
  bool negative = x < 0;
  const KTNumberSubPattern& current = negative && hasNegative_ ? negative_ : positive_;
  std::string integerPart;
  RoundedDigits(x, current.minimumFractionDigits + current.optionalFractionDigits, integerPart, digits_);
  while (!digits_.empty() && digits_.back() == '0') digits_.pop_back();
  if (static_cast<int>(digits_.size()) < current.minimumFractionDigits)
    digits_.resize(static_cast<size_t>(current.minimumFractionDigits), '0');
  if (static_cast<int>(integerPart.size()) < current.minimumIntegerDigits)
    integerPart.insert(0, static_cast<size_t>(current.minimumIntegerDigits) - integerPart.size(), '0');

  if (negative && !hasNegative_) result_ += f.minusSign;
  result_ += current.prefix;
  char16_t sign = current.percent ? f.percent : f.perMille;
  if (current.signInPrefix) result_ += sign;
  int size = current.groupingSize;
  bool group = current.groupingUsed && size > 0 && static_cast<int>(integerPart.size()) > size;
  int length = static_cast<int>(integerPart.size());
  for (int i = 0; i < length; ++i) {
    if (group && i > 0 && (length - i) % size == 0) result_ += f.groupingSeparator;
    result_ += static_cast<char16_t>(integerPart[static_cast<size_t>(i)] + zeroOffset);
  }
  if (current.hasDecimalSeparator && !digits_.empty()) {
    result_ += f.decimalSeparator;
    for (char d : digits_) result_ += static_cast<char16_t>(d + zeroOffset);
  }
  if (current.signInSuffix) result_ += sign;
  result_ += current.suffix;
  return result_.c_str();
}
