// printf-style formatting over char16_t text. Numbers are rendered by the C
// library's narrow snprintf (in the "C" conventions: '.' decimal point) and
// widened; text arguments are padded and cut here.
#include "platform/ktformat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/ktutf8.h"

namespace {

long long AsSigned(const KTFormatArg& a) {
  switch (a.kind) {
    case KTFormatArg::Kind::Signed: return a.s;
    case KTFormatArg::Kind::Unsigned: return static_cast<long long>(a.u);
    case KTFormatArg::Kind::Double: return static_cast<long long>(a.d);
    default: return 0;
  }
}

// A negative signed value given to an unsigned conversion without a 64-bit
// prefix is taken as the 32-bit value the caller passed.
unsigned long long AsUnsigned(const KTFormatArg& a, bool wide64 = true) {
  switch (a.kind) {
    case KTFormatArg::Kind::Signed:
      if (!wide64 && a.s < 0 && a.s >= INT32_MIN) return static_cast<uint32_t>(static_cast<int32_t>(a.s));
      return static_cast<unsigned long long>(a.s);
    case KTFormatArg::Kind::Unsigned: return a.u;
    case KTFormatArg::Kind::Double: return static_cast<unsigned long long>(a.d);
    default: return 0;
  }
}

double AsDouble(const KTFormatArg& a) {
  switch (a.kind) {
    case KTFormatArg::Kind::Signed: return static_cast<double>(a.s);
    case KTFormatArg::Kind::Unsigned: return static_cast<double>(a.u);
    case KTFormatArg::Kind::Double: return a.d;
    default: return 0;
  }
}

void AppendPadded(std::u16string& out, std::u16string_view text, int width, bool left) {
  int pad = width > static_cast<int>(text.size()) ? width - static_cast<int>(text.size()) : 0;
  if (!left) out.append(pad, u' ');
  out.append(text);
  if (left) out.append(pad, u' ');
}

}  // namespace

std::u16string KTFormatV(const char16_t* format, std::span<const KTFormatArg> args) {
  std::u16string out;
  size_t next = 0;
  auto take = [&]() -> const KTFormatArg* { return next < args.size() ? &args[next++] : nullptr; };
  const char16_t* p = format;
  while (*p) {
    if (*p != u'%') { out.push_back(*p++); continue; }
    const char16_t* start = p++;
    if (*p == u'%') { out.push_back(u'%'); ++p; continue; }
    std::string flags;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0')
      flags.push_back(static_cast<char>(*p++));
    int width = -1, precision = -1;
    if (*p == u'*') {
      const KTFormatArg* a = take();
      width = a ? static_cast<int>(AsSigned(*a)) : 0;
      if (width < 0) { flags.push_back('-'); width = -width; }
      ++p;
    } else if (*p >= u'0' && *p <= u'9') {
      width = 0;
      while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
    }
    if (*p == u'.') {
      ++p;
      precision = 0;
      if (*p == u'*') {
        const KTFormatArg* a = take();
        precision = a ? static_cast<int>(AsSigned(*a)) : 0;
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
      }
    }
    // Length prefixes only say how wide the caller's value was; the argument
    // record already carries it, so they are skipped. Without a 64-bit prefix
    // an unsigned conversion takes a 32-bit value (int and long are 32 bits in
    // these formats), so a negative int prints as 8 hex digits, not 16.
    bool wide64 = false;
    for (;;) {
      if (*p == u'l' && p[1] == u'l') { wide64 = true; p += 2; continue; }
      if (*p == u'z' || *p == u'j' || *p == u't') { wide64 = true; ++p; continue; }
      if (*p == u'h' || *p == u'l' || *p == u'L') { ++p; continue; }
      if (*p == u'I' && p[1] == u'6' && p[2] == u'4') { wide64 = true; p += 3; continue; }
      if (*p == u'I' && p[1] == u'3' && p[2] == u'2') { p += 3; continue; }
      break;
    }
    char16_t conv = *p;
    if (!conv) { out.append(start, p); break; }
    ++p;
    bool left = flags.find('-') != std::string::npos;
    switch (conv) {
      case u's': case u'S': {
        const KTFormatArg* a = take();
        std::u16string text;
        if (!a) {
        } else if (a->kind == KTFormatArg::Kind::Wide) {
          text = a->w ? std::u16string(a->w) : std::u16string(u"(null)");
        } else if (a->kind == KTFormatArg::Kind::Narrow) {
          // Narrow text on this system (command line, system messages) is UTF-8.
          text = a->n ? KTUtf8ToUtf16(a->n) : std::u16string(u"(null)");
        }
        if (precision >= 0 && static_cast<int>(text.size()) > precision) text.resize(precision);
        AppendPadded(out, text, width, left);
        break;
      }
      case u'c': case u'C': {
        const KTFormatArg* a = take();
        char16_t c = a ? static_cast<char16_t>(AsUnsigned(*a)) : u'\0';
        AppendPadded(out, std::u16string_view(&c, 1), width, left);
        break;
      }
      case u'd': case u'i': case u'u': case u'x': case u'X': case u'o':
      case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': case u'p': {
        const KTFormatArg* a = take();
        std::string narrowFormat = "%";
        narrowFormat += flags;
        if (width >= 0) narrowFormat += std::to_string(width);
        if (precision >= 0) {
          narrowFormat += '.';
          narrowFormat += std::to_string(precision);
        }
        char buf[512];
        int n;
        char c = static_cast<char>(conv);
        if (c == 'd' || c == 'i') {
          narrowFormat += "lld";
          n = std::snprintf(buf, sizeof buf, narrowFormat.c_str(), a ? AsSigned(*a) : 0LL);
        } else if (c == 'u' || c == 'x' || c == 'X' || c == 'o') {
          narrowFormat += "ll";
          narrowFormat.push_back(c);
          n = std::snprintf(buf, sizeof buf, narrowFormat.c_str(), a ? AsUnsigned(*a, wide64) : 0ULL);
        } else if (c == 'p') {
          narrowFormat += "llX";
          n = std::snprintf(buf, sizeof buf, narrowFormat.c_str(), a ? AsUnsigned(*a) : 0ULL);
        } else {
          narrowFormat.push_back(c);
          n = std::snprintf(buf, sizeof buf, narrowFormat.c_str(), a ? AsDouble(*a) : 0.0);
        }
        if (n < 0) break;
        if (n < static_cast<int>(sizeof buf)) {
          for (int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(buf[i]));
        } else {
          std::string big(static_cast<size_t>(n) + 1, '\0');
          if (c == 'd' || c == 'i') std::snprintf(big.data(), big.size(), narrowFormat.c_str(), a ? AsSigned(*a) : 0LL);
          else if (c == 'u' || c == 'x' || c == 'X' || c == 'o')
            std::snprintf(big.data(), big.size(), narrowFormat.c_str(), a ? AsUnsigned(*a, wide64) : 0ULL);
          else if (c == 'p')
            std::snprintf(big.data(), big.size(), narrowFormat.c_str(), a ? AsUnsigned(*a) : 0ULL);
          else std::snprintf(big.data(), big.size(), narrowFormat.c_str(), a ? AsDouble(*a) : 0.0);
          for (int i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(big[i]));
        }
        break;
      }
      default:
        // An unknown conversion is copied as written.
        out.append(start, p);
        break;
    }
  }
  return out;
}
