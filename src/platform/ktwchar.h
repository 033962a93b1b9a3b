// NUL-terminated UTF-16 text helpers and the fixed white-space classification.
// Everything here is independent of the process locale: char16_t text is
// compared code unit by code unit, and only ASCII letters fold case.
#pragma once

#include <cstddef>

int KTStrLen(const char16_t* text);
int KTStrCmp(const char16_t* a, const char16_t* b);
int KTStrNCmp(const char16_t* a, const char16_t* b, int count);
// Compares with ASCII letters folded to lower case; every other unit compares as is.
int KTStrICmpAscii(const char16_t* a, const char16_t* b);
int KTStrNICmpAscii(const char16_t* a, const char16_t* b, int count);
char16_t* KTStrCpy(char16_t* dest, const char16_t* src);
const char16_t* KTStrChr(const char16_t* text, char16_t c);
// The first unit equal to c among text[0, count), null when there is none;
// a NUL is a unit like any other here. A short text is scanned in place; a
// longer one sixteen units a step (KTFindUnitInWords).
const char16_t* KTFindUnitInWords(const char16_t* text, size_t count, char16_t c);
inline const char16_t* KTFindUnit(const char16_t* text, size_t count, char16_t c) {
  if (count >= 16) return KTFindUnitInWords(text, count, c);
  for (size_t i = 0; i < count; ++i) {
    if (text[i] == c) return text + i;
  }
  return nullptr;
}
const char16_t* KTStrRChr(const char16_t* text, char16_t c);
const char16_t* KTStrStr(const char16_t* text, const char16_t* what);
// Characters in [begin, end): a surrogate pair counts once, so error columns
// count characters, not UTF-16 units.
int KTCountCharacters(const char16_t* begin, const char16_t* end);

constexpr char16_t KTToLowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}
constexpr char16_t KTToUpperAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

// White space as the console runtime classes it: U+0009 to U+000D and U+0020
// below U+0100 (U+0085 and U+00A0 are not white space), and above that the
// Unicode space, line and paragraph separators.
constexpr bool KTIsSpace(char16_t c) {
  if (c < 0x100) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  return c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}
