// NUL-terminated UTF-16 text helpers.
#include "platform/ktwchar.h"

#include <bit>
#include <cstdint>
#include <cstring>

int KTStrLen(const char16_t* text) {
  const char16_t* p = text;
  while (*p) ++p;
  return static_cast<int>(p - text);
}

static_assert(std::endian::native == std::endian::little, "KTFindUnitInWords reads lanes in memory order");

const char16_t* KTFindUnitInWords(const char16_t* text, size_t count, char16_t c) {
  // Sixteen units a step, compared at once with no branch per unit.
  typedef std::uint16_t EightUnits __attribute__((vector_size(16)));
  EightUnits pattern;
  for (int k = 0; k < 8; ++k) pattern[k] = c;
  size_t i = 0;
  for (; count - i >= 16; i += 16) {
    EightUnits low;
    EightUnits high;
    std::memcpy(&low, text + i, sizeof low);
    std::memcpy(&high, text + i + 8, sizeof high);
    auto equalLow = low == pattern;
    auto equalHigh = high == pattern;
    std::uint64_t words[4];
    std::memcpy(words, &equalLow, sizeof equalLow);
    std::memcpy(words + 2, &equalHigh, sizeof equalHigh);
    if ((words[0] | words[1]) | (words[2] | words[3])) {
      // Each lane is all ones or all zeros: the lowest set bit of the first
      // word that has one names the first unit found.
      int w = 0;
      while (!words[w])
        ++w;
      return text + i + w * 4 + std::countr_zero(words[w]) / 16;
    }
  }
  for (; i < count; ++i) {
    if (text[i] == c)
      return text + i;
  }
  return nullptr;
}

int KTStrCmp(const char16_t* a, const char16_t* b) {
  while (*a && *a == *b) { ++a; ++b; }
  return static_cast<int>(static_cast<unsigned>(*a)) - static_cast<int>(static_cast<unsigned>(*b));
}

int KTStrNCmp(const char16_t* a, const char16_t* b, int count) {
  for (int i = 0; i < count; ++i) {
    if (a[i] != b[i] || !a[i])
      return static_cast<int>(a[i]) - static_cast<int>(b[i]);
  }
  return 0;
}

int KTStrICmpAscii(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    char16_t x = KTToLowerAscii(*a), y = KTToLowerAscii(*b);
    if (x != y || !x) return static_cast<int>(x) - static_cast<int>(y);
  }
}

int KTStrNICmpAscii(const char16_t* a, const char16_t* b, int count) {
  for (int i = 0; i < count; ++i) {
    char16_t x = KTToLowerAscii(a[i]), y = KTToLowerAscii(b[i]);
    if (x != y || !x) return static_cast<int>(x) - static_cast<int>(y);
  }
  return 0;
}

char16_t* KTStrCpy(char16_t* dest, const char16_t* src) {
  char16_t* d = dest;
  while ((*d++ = *src++)) {}
  return dest;
}

const char16_t* KTStrChr(const char16_t* text, char16_t c) {
  for (;; ++text) {
    if (*text == c) return text;
    if (!*text) return nullptr;
  }
}

const char16_t* KTStrRChr(const char16_t* text, char16_t c) {
  const char16_t* found = nullptr;
  for (;; ++text) {
    if (*text == c) found = text;
    if (!*text) return found;
  }
}

const char16_t* KTStrStr(const char16_t* text, const char16_t* what) {
  if (!*what) return text;
  for (; *text; ++text) {
    if (*text != *what) continue;
    const char16_t* t = text;
    const char16_t* w = what;
    while (*w && *t == *w) { ++t; ++w; }
    if (!*w) return text;
  }
  return nullptr;
}

int KTCountCharacters(const char16_t* begin, const char16_t* end) {
  int count = 0;
  for (const char16_t* p = begin; p < end; ++p)
    if (!(*p >= 0xDC00 && *p <= 0xDFFF && p > begin && p[-1] >= 0xD800 && p[-1] <= 0xDBFF))
      ++count;
  return count;
}
