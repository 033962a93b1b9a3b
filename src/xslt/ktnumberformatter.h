// Decimal formats (xsl:decimal-format) and the number-pattern formatter that
// format-number() uses (XSLT 1.0 §12.3): a pattern is parsed into a positive
// and an optional negative sub-pattern, then a double is formatted with it.
// Texts are held in growing buffers, so any number of digits fits.
#pragma once

#include <string>

#include "core/ktstring.h"

class KTDecimalFormat {
 public:
  KTDecimalFormat() = default;
  virtual ~KTDecimalFormat() = default;

  bool operator==(const KTDecimalFormat& other) const;

  KTString name;  // expanded name; empty for the default format
  char16_t decimalSeparator = u'.';
  char16_t groupingSeparator = u',';
  KTString infinity = u"Infinity";
  char16_t minusSign = u'-';
  KTString nan = u"NaN";
  char16_t percent = u'%';
  char16_t perMille = u'\u2030';
  char16_t zeroDigit = u'0';
  char16_t digit = u'#';
  char16_t patternSeparator = u';';
};

// One side of a pattern. The prefix and suffix hold any percent or per-mille
// sign where it stands; `percent` and `perMille` say which multiplier it sets.
struct KTNumberSubPattern {
  bool hasDecimalSeparator = false;
  int optionalIntegerDigits = 0;
  int minimumIntegerDigits = 0;
  int optionalFractionDigits = 0;
  int minimumFractionDigits = 0;
  int groupingSize = 0;
  bool groupingUsed = false;
  bool percent = false;
  bool perMille = false;
  std::u16string prefix;
  std::u16string suffix;
};

class KTNumberFormatter {
 public:
  // `format` is borrowed. With a non-zero groupingLiteral the grouping
  // separator may stand in a prefix or suffix as text.
  explicit KTNumberFormatter(const KTDecimalFormat* format, int groupingLiteral = 0)
      : format_(format), groupingLiteral_(groupingLiteral) {}

  // Parses a pattern from `position` and advances it past what was read.
  // Callers treat false, or text left after the position, as an invalid
  // pattern.
  bool ParsePattern(const char16_t*& position);
  // The formatted text, valid until the next call; null without a format.
  const char16_t* Format(double x);

  const KTNumberSubPattern& Positive() const { return positive_; }
  bool HasNegative() const { return hasNegative_; }

 private:
  bool ParseSubPattern(const char16_t*& position, KTNumberSubPattern& pattern);
  bool ParseAffix(const char16_t*& position, std::u16string& out, KTNumberSubPattern& pattern);
  bool IsPatternChar(char16_t c) const;

  const KTDecimalFormat* format_;
  int groupingLiteral_;
  KTNumberSubPattern positive_;
  KTNumberSubPattern negative_;
  bool hasNegative_ = false;
  std::u16string result_;
  std::string digits_;
};
