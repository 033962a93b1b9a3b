// UTF-8 <-> UTF-16 conversion for the command line and the console, and the
// escaping of control characters in what the console shows.
#include "platform/ktutf8.h"

std::u16string KTUtf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned c = *p;
    if (c < 0x80) { out.push_back(static_cast<char16_t>(c)); ++p; continue; }
    int extra;
    unsigned cp, min;
    if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; min = 0x80; }
    else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; min = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; min = 0x10000; }
    else { out.push_back(0xFFFD); ++p; continue; }
    if (end - p <= extra) { out.push_back(0xFFFD); ++p; continue; }
    bool ok = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) { ok = false; break; }
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD); ++p; continue;
    }
    p += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string KTUtf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

namespace {

bool IsShownEscaped(char16_t c) {
  return (c < 0x20 && c != u'\t' && c != u'\n') || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::u16string KTEscapeControls(std::u16string_view text) {
  size_t first = 0;
  while (first < text.size() && !IsShownEscaped(text[first])) ++first;
  if (first == text.size()) return std::u16string(text);
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out(text.substr(0, first));
  out.reserve(text.size() + 8);
  for (size_t i = first; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (IsShownEscaped(c)) {
      out += u"\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string KTEscapeControls(std::string_view utf8) {
  bool plain = true;
  for (unsigned char byte : utf8) {
    if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte >= 0x7F) {
      plain = false;
      break;
    }
  }
  // Text beyond ASCII is decoded: a C1 control is two bytes in UTF-8.
  return plain ? std::string(utf8) : KTUtf16ToUtf8(KTEscapeControls(KTUtf8ToUtf16(utf8)));
}

bool KTWriteConsole(FILE* stream, std::u16string_view text) {
  std::string bytes = KTUtf16ToUtf8(KTEscapeControls(text));
  return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
}
