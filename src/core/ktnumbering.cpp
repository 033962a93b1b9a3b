// Roman and alphabetic numbering of KTString, used by xsl:number format tokens
// of the "i"/"I" and "a"/"A" kinds (XSLT 1.0 §7.7.1).
#include "core/ktstring.h"

namespace {

// The longest numeral in range, that of 9888, has 21 letters.
constexpr int kRomanCapacity = 22;
constexpr int kRomanMax = 9999;

// Letters of one decimal digit with its (unit, five, ten) triple.
char16_t* AppendRomanDigit(char16_t* out, int digit, char16_t unit, char16_t five, char16_t ten) {
  if (digit == 9) {
    *out++ = unit;
    *out++ = ten;
    return out;
  }
  if (digit == 4) {
    *out++ = unit;
    *out++ = five;
    return out;
  }
  if (digit >= 5) {
    *out++ = five;
    digit -= 5;
  }
  while (digit-- > 0)
    *out++ = unit;
  return out;
}

}  // namespace

KTString& KTString::FormatRomanNumeral(int n, bool upperCase) {
  if (n < 1 || n > kRomanMax) {
    SetCapacity(0);
    return *this;
  }
  const char16_t* letters = upperCase ? u"IVXLCDM" : u"ivxlcdm";
  char16_t buffer[kRomanCapacity];
  char16_t* out = buffer;
  for (int m = n / 1000; m > 0; --m)  // no letter above M: 4000 is MMMM
    *out++ = letters[6];
  out = AppendRomanDigit(out, n / 100 % 10, letters[4], letters[5], letters[6]);
  out = AppendRomanDigit(out, n / 10 % 10, letters[2], letters[3], letters[4]);
  out = AppendRomanDigit(out, n % 10, letters[0], letters[1], letters[2]);
  Assign(buffer, static_cast<int>(out - buffer));
  return *this;
}

KTString& KTString::FormatAlphabetic(int n, bool upperCase) {
  if (n < 1) {
    SetCapacity(0);
    return *this;
  }
  // At most 7 letters for a 32-bit int (26^7 > 2^31).
  char16_t buffer[8];
  int count = 0;
  for (int m = n; m > 0; m = (m - 1) / 26)
    ++count;
  const char16_t first = upperCase ? u'A' : u'a';
  int at = count;
  for (int m = n; m > 0; m = (m - 1) / 26)
    buffer[--at] = static_cast<char16_t>(first + (m - 1) % 26);
  Assign(buffer, count);
  return *this;
}
