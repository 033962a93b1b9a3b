// Name syntax checks: the NCName and QName productions of Namespaces in XML
// over the XPath parser's name-character classes, read as UTF-16 with
// surrogate pairs for the characters above U+FFFF. The scan runs in place:
// these checks also serve computed names at run time, once per instantiation.
#include "xslt/ktxsltnames.h"

#include <array>

#include "platform/ktwchar.h"
#include "xpath/ktxpathparser.h"

namespace {

// Code units of the name character at `at` (a surrogate pair is one).
int Width(const char16_t* at) { return at[0] >= 0xD800 && at[0] <= 0xDBFF ? 2 : 1; }

// The ASCII name characters (XML 1.0 §2.3, without ':'), read without a
// call: most names are ASCII throughout.
constexpr auto kAsciiNameChars = [] {
  std::array<bool, 128> table{};
  for (char16_t c = u'a'; c <= u'z'; ++c) table[c] = true;
  for (char16_t c = u'A'; c <= u'Z'; ++c) table[c] = true;
  for (char16_t c = u'0'; c <= u'9'; ++c) table[c] = true;
  table[u'-'] = table[u'.'] = table[u'_'] = true;
  return table;
}();

// Reads one NCName from `at`; false when none starts there.
bool ScanNCName(const char16_t*& at) {
  if (!KTXPathParser::IsNCNameStartChar(at)) return false;
  at += Width(at);
  while (true) {
    if (*at < 128) {
      if (!kAsciiNameChars[*at]) break;
      ++at;
    } else if (KTXPathParser::IsNCNameChar(at)) {
      at += Width(at);
    } else {
      break;
    }
  }
  return true;
}

}  // namespace

bool IsNCName(const char16_t* text) {
  if (!text) return false;
  const char16_t* at = text;
  return ScanNCName(at) && *at == 0;
}

bool IsQName(const char16_t* text) {
  if (!text) return false;
  const char16_t* at = text;
  if (!ScanNCName(at)) return false;
  if (*at == 0) return true;
  if (*at != u':') return false;
  ++at;
  return ScanNCName(at) && *at == 0;
}

bool IsNotXmlName(const char16_t* text) { return KTStrICmpAscii(text ? text : u"", u"xml") != 0; }

std::vector<std::u16string_view> SplitNameList(std::u16string_view text) {
  auto isSpace = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  std::vector<std::u16string_view> tokens;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && isSpace(text[at])) ++at;
    size_t end = at;
    while (end < text.size() && !isSpace(text[end])) ++end;
    if (end > at) tokens.push_back(text.substr(at, end - at));
    at = end;
  }
  return tokens;
}
