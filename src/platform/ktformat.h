// printf-style formatting over char16_t text, independent of the locale.
// Understands %s (wide text), %S (narrow UTF-8 text), %c, %d %i %u %x %X %o with the
// length prefixes h, l, ll, I64, I32, z and the floating forms %f %e %g, with
// flags, width and precision (also as '*'), and %%.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

struct KTFormatArg {
  enum class Kind { Signed, Unsigned, Double, Wide, Narrow };
  Kind kind;
  union {
    long long s;
    unsigned long long u;
    double d;
    const char16_t* w;
    const char* n;
  };

  template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
  KTFormatArg(T v) : kind(Kind::Signed), s(v) {}
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_signed_v<T> &&
                                             !std::is_same_v<T, bool>, int> = 0>
  KTFormatArg(T v) : kind(Kind::Unsigned), u(v) {}
  KTFormatArg(bool v) : kind(Kind::Signed), s(v ? 1 : 0) {}
  KTFormatArg(double v) : kind(Kind::Double), d(v) {}
  KTFormatArg(float v) : kind(Kind::Double), d(v) {}
  KTFormatArg(const char16_t* v) : kind(Kind::Wide), w(v) {}
  KTFormatArg(char16_t* v) : kind(Kind::Wide), w(v) {}
  KTFormatArg(const char* v) : kind(Kind::Narrow), n(v) {}
};

// Formats into a new string; the whole output is kept, however long.
std::u16string KTFormatV(const char16_t* format, std::span<const KTFormatArg> args);

template <typename... Args>
std::u16string KTFormat(const char16_t* format, const Args&... args) {
  const KTFormatArg list[] = {KTFormatArg(args)..., KTFormatArg(0)};
  return KTFormatV(format, std::span<const KTFormatArg>(list, sizeof...(Args)));
}
