// Name syntax checks: the NCName and QName productions of Namespaces in XML
// over XML 1.0 (fifth edition) name characters, read as UTF-16 with
// surrogate pairs for the characters above U+FFFF.
#include "xslt/ktxsltnames.h"

#include "platform/ktwchar.h"

bool KTIsNCNameStartChar(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool KTIsNCNameChar(char32_t c) {
  if (KTIsNCNameStartChar(c)) return true;
  if (c < 0x80) return c == '-' || c == '.' || (c >= '0' && c <= '9');
  return c == 0xB7 || (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

namespace {

// The code point at text[at] (a pair read as one), advancing `at`; 0xFFFF
// (no name character) for a lone surrogate.
char32_t Next(const char16_t* text, int& at) {
  char16_t c = text[at++];
  if (c < 0xD800 || c > 0xDFFF) return c;
  if (c <= 0xDBFF && text[at] >= 0xDC00 && text[at] <= 0xDFFF) {
    char32_t low = text[at++];
    return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (low - 0xDC00);
  }
  return 0xFFFF;
}

// Reads one NCName from text[at]; false (at unspecified) when none starts there.
bool ScanNCName(const char16_t* text, int& at) {
  if (!text[at] || !KTIsNCNameStartChar(Next(text, at))) return false;
  while (text[at] && text[at] != u':') {
    if (!KTIsNCNameChar(Next(text, at))) return false;
  }
  return true;
}

}  // namespace

bool IsNCName(const char16_t* text) {
  if (!text) return false;
  int at = 0;
  return ScanNCName(text, at) && text[at] == 0;
}

bool IsQName(const char16_t* text) {
  if (!text) return false;
  int at = 0;
  if (!ScanNCName(text, at)) return false;
  if (text[at] == 0) return true;
  ++at;  // the ':' that ended the prefix
  return ScanNCName(text, at) && text[at] == 0;
}

bool IsNotXmlName(const char16_t* text) { return KTStrICmpAscii(text ? text : u"", u"xml") != 0; }
