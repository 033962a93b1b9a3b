// Text and markup operations of KTString: the XML whitespace test, numeric
// character references, UTF-8 byte form and URI escaping, qualified-name parts,
// and the entity-name and hex-digit tables (constant-initialised, so usable by
// static initialisers of other files).
#include "core/ktstring.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace {

// XML 1.0 §2.3 S: space, tab, carriage return, line feed.
constexpr bool IsXmlSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

constexpr char16_t kReplacementChar = 0xFFFD;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Reads one code point at text[i], combining a surrogate pair; a lone surrogate
// reads as U+FFFD. Advances i past what was read.
char32_t NextCodePoint(std::u16string_view text, size_t& i) {
  char16_t c = text[i++];
  if (IsHighSurrogate(c)) {
    if (i < text.size() && IsLowSurrogate(text[i])) {
      char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i]) - 0xDC00);
      ++i;
      return cp;
    }
    return kReplacementChar;
  }
  if (IsLowSurrogate(c))
    return kReplacementChar;
  return c;
}

// Writes the UTF-8 bytes of cp into out; returns the byte count (1 to 4).
int Utf8Bytes(char32_t cp, unsigned char out[4]) {
  if (cp < 0x80) {
    out[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  return 4;
}

// Gives s room for length characters and returns its buffer. A result longer
// than a string can count is a failure to get its block.
char16_t* ReserveText(KTString& s, size_t length) {
  if (length > static_cast<size_t>(INT_MAX))
    KT_THROW_EXCEPT(KTExcept::kNoMemory);
  s.ClearAndReserve(static_cast<int>(length));
  return s.GetBuffer();
}

// Calls emit with every UTF-8 byte of text from index from on.
template <typename Emit>
void ForEachUtf8Byte(std::u16string_view text, size_t from, Emit emit) {
  unsigned char bytes[4];
  for (size_t i = from; i < text.size();) {
    int n = Utf8Bytes(NextCodePoint(text, i), bytes);
    for (int k = 0; k < n; ++k)
      emit(bytes[k]);
  }
}

// Bytes that a URI value may not hold as they are: space and the controls, the
// characters RFC 2396 §2.4.3 excludes ('"', '%', '<', '>', '^', '`', '{', '|',
// '}'), DEL and every byte of a multi-byte sequence.
bool NeedsPercentEscape(unsigned c) {
  if (c <= 0x20 || c >= 0x7F)
    return true;
  switch (c) {
  case u'"': case u'%': case u'<': case u'>': case u'^':
  case u'`': case u'{': case u'|': case u'}':
    return true;
  default:
    return false;
  }
}

constexpr char16_t kUpperHex[] = u"0123456789ABCDEF";

constexpr unsigned kMaxCodePoint = 0x10FFFF;

// Value of c as a digit of radix (10 or 16), or -1 when it is none. Only codes
// below 128 reach the table.
int DigitValue(char16_t c, int radix) {
  if (c >= 128)
    return -1;
  if (radix == 10)
    return (c >= u'0' && c <= u'9') ? c - u'0' : -1;
  if (c == u'0')
    return 0;
  int v = KTString::HexDigitValues[c];
  return v != 0 ? v : -1;
}

// Tries to read a character reference (XML 1.0 §4.1) at text[start], which holds
// '&'. On success returns true, the code point and the index just after ';'.
bool ReadCharRef(std::u16string_view text, size_t start, char32_t& cp, size_t& end) {
  size_t i = start + 1;
  if (i >= text.size() || text[i] != u'#')
    return false;
  ++i;
  int radix = 10;
  if (i < text.size() && text[i] == u'x') {
    radix = 16;
    ++i;
  }
  size_t digitsStart = i;
  unsigned value = 0;
  bool tooLarge = false;
  for (; i < text.size() && text[i] != u';'; ++i) {
    int d = DigitValue(text[i], radix);
    if (d < 0)
      return false;
    if (!tooLarge) {
      value = value * radix + d;
      tooLarge = value > kMaxCodePoint;  // stops before the sum can wrap
    }
  }
  if (i >= text.size() || i == digitsStart || tooLarge || value == 0)
    return false;
  cp = value;
  end = i + 1;
  return true;
}

}  // namespace

// Positional tables: C++ has no array designators, so each row of sixteen codes
// is written out; KT_NULL16 stands for a row without names.
#define KT_NULL4 nullptr, nullptr, nullptr, nullptr
#define KT_NULL16 KT_NULL4, KT_NULL4, KT_NULL4, KT_NULL4

// HTML 4.01 §24.2-24.4 names for the markup characters and the Latin-1 letters
// U+00C0-U+00FF except U+00D7 and U+00F7.
constinit const char16_t* const KTString::HtmlEntityNames[256] = {
  KT_NULL16,  // 0x00
  KT_NULL16,  // 0x10
  // 0x20
  nullptr, nullptr, u"quot", nullptr, nullptr, nullptr, u"amp", nullptr,
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  // 0x30
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  nullptr, nullptr, nullptr, nullptr, u"lt", nullptr, u"gt", nullptr,
  KT_NULL16,  // 0x40
  KT_NULL16,  // 0x50
  KT_NULL16,  // 0x60
  KT_NULL16,  // 0x70
  KT_NULL16,  // 0x80
  KT_NULL16,  // 0x90
  KT_NULL16,  // 0xA0
  KT_NULL16,  // 0xB0
  // 0xC0
  u"Agrave", u"Aacute", u"Acirc", u"Atilde", u"Auml", u"Aring", u"AElig", u"Ccedil",
  u"Egrave", u"Eacute", u"Ecirc", u"Euml", u"Igrave", u"Iacute", u"Icirc", u"Iuml",
  // 0xD0
  u"ETH", u"Ntilde", u"Ograve", u"Oacute", u"Ocirc", u"Otilde", u"Ouml", nullptr,
  u"Oslash", u"Ugrave", u"Uacute", u"Ucirc", u"Uuml", u"Yacute", u"THORN", u"szlig",
  // 0xE0
  u"agrave", u"aacute", u"acirc", u"atilde", u"auml", u"aring", u"aelig", u"ccedil",
  u"egrave", u"eacute", u"ecirc", u"euml", u"igrave", u"iacute", u"icirc", u"iuml",
  // 0xF0
  u"eth", u"ntilde", u"ograve", u"oacute", u"ocirc", u"otilde", u"ouml", nullptr,
  u"oslash", u"ugrave", u"uacute", u"ucirc", u"uuml", u"yacute", u"thorn", u"yuml",
};

// The five predefined entities of XML 1.0 §4.6.
constinit const char16_t* const KTString::XmlEntityNames[64] = {
  KT_NULL16,  // 0x00
  KT_NULL16,  // 0x10
  // 0x20
  nullptr, nullptr, u"quot", nullptr, nullptr, nullptr, u"amp", u"apos",
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  // 0x30
  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
  nullptr, nullptr, nullptr, nullptr, u"lt", nullptr, u"gt", nullptr,
};

#undef KT_NULL16
#undef KT_NULL4

constinit const unsigned short KTString::HexDigitValues[128] = {
  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x00
  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x10
  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x20
  0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0,  // 0x30
  0, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x40
  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x50
  0, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x60
  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x70
};

bool KTString::IsWhitespace(const char16_t* text) {
  if (!text)
    return true;
  while (IsXmlSpace(*text))
    ++text;
  return *text == 0;
}

bool KTString::IsWhitespace() const {
  return IsWhitespace(static_cast<const char16_t*>(*this));
}

// Converts every well-formed reference "&#digits;" or "&#xhexdigits;" whose value
// is a code point from 1 to U+10FFFF; a value above U+FFFF becomes a surrogate
// pair. Anything else (no digits, a non-digit, an upper-case X, value 0 or too
// large, no ';' before the end) stays as written, so no text is lost.
KTString& KTString::ResolveCharRefs() {
  const std::u16string_view text = View();
  size_t i = text.find(u'&');
  if (i == std::u16string_view::npos)
    return *this;

  // Resolved in place: a reference is never shorter than its result, so the
  // text written never overtakes the text still to be read. Runs between
  // references move in one piece.
  char16_t* out = data_ + i;
  bool changed = false;
  while (i < text.size()) {
    char32_t cp;
    size_t end;
    if (text[i] == u'&' && ReadCharRef(text, i, cp, end)) {
      if (cp < 0x10000) {
        *out++ = static_cast<char16_t>(cp);
      } else {
        cp -= 0x10000;
        *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
        *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      }
      i = end;
      changed = true;
      continue;
    }
    size_t next = text.find(u'&', i + 1);
    if (next == std::u16string_view::npos)
      next = text.size();
    if (out != data_ + i)
      std::memmove(out, data_ + i, (next - i) * sizeof(char16_t));
    out += next - i;
    i = next;
  }
  if (changed)
    SetLength(static_cast<int>(out - data_));
  return *this;
}

// Each code point becomes its UTF-8 bytes, one byte value per character. A
// surrogate pair is one code point (4 bytes); a lone surrogate becomes U+FFFD.
KTString& KTString::EncodeUtf8Bytes() {
  std::u16string_view text = View();
  size_t first = 0;
  while (first < text.size() && text[first] < 0x80)
    ++first;
  if (first == text.size())
    return *this;

  size_t length = first;
  ForEachUtf8Byte(text, first, [&](unsigned) { ++length; });
  KTString result;
  char16_t* out = ReserveText(result, length);
  out = std::copy(text.begin(), text.begin() + first, out);
  ForEachUtf8Byte(text, first, [&](unsigned b) { *out++ = static_cast<char16_t>(b); });
  result.SetLength(static_cast<int>(length));
  *this = std::move(result);
  return *this;
}

// UTF-8 bytes of the text, then "%XX" (upper-case hex) for every byte that a URI
// may not hold; '#', '&', '/', ':', ';', '=', '?', '[', '\', ']', '~' pass.
KTString& KTString::UrlEscape() {
  std::u16string_view text = View();
  size_t first = 0;
  while (first < text.size() && !NeedsPercentEscape(text[first]))
    ++first;
  if (first == text.size())
    return *this;

  size_t length = first;
  ForEachUtf8Byte(text, first, [&](unsigned b) { length += NeedsPercentEscape(b) ? 3 : 1; });
  KTString result;
  char16_t* out = ReserveText(result, length);
  out = std::copy(text.begin(), text.begin() + first, out);
  ForEachUtf8Byte(text, first, [&](unsigned b) {
    if (NeedsPercentEscape(b)) {
      *out++ = u'%';
      *out++ = kUpperHex[b >> 4];
      *out++ = kUpperHex[b & 0xF];
    } else {
      *out++ = static_cast<char16_t>(b);
    }
  });
  result.SetLength(static_cast<int>(length));
  *this = std::move(result);
  return *this;
}

bool KTString::HasPrefix() const {
  return View().find(u':') != std::u16string_view::npos;
}

KTString KTString::GetPrefix() const {
  std::u16string_view text = View();
  size_t colon = text.find(u':');
  KTString result;
  if (colon != std::u16string_view::npos && colon > 0)
    result.Assign(text.data(), static_cast<int>(colon));
  return result;
}

KTString KTString::GetLocalName() const {
  return KTString(GetLocalNamePtr());
}

const char16_t* KTString::GetLocalNamePtr() const {
  const char16_t* text = *this;
  std::u16string_view view = View();
  size_t colon = view.find(u':');
  return colon == std::u16string_view::npos ? text : text + colon + 1;
}
