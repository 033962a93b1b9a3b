// UTF-8, UTF-7, UTF-16/UCS-2 and UCS-4 converters, and DecodeToUtf16 /
// EncodeFromUtf16, which pick the converter by encoding id, size the output
// once from the input length and handle byte orders and byte-order marks.
#include "core/ktencodingutf.h"

#include <climits>
#include <cstring>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/ktencodingcodepage.h"
#include "core/ktencodingtable.h"

namespace {

constexpr char16_t kReplacementChar = 0xFFFD;

// Bytes of UCS-4 reordered per step when decoding; keeps the caller's input
// untouched without a second full-size buffer.
constexpr std::size_t kUcs4Chunk = 1024;

template <class T>
std::unique_ptr<T[]> Allocate(std::size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// ---- UTF-8 -------------------------------------------------------------

// Continuation bytes announced by a lead byte; 80-BF are themselves
// continuation bytes and announce none.
constexpr unsigned char TrailingCount(unsigned b) {
  return b < 0xC0 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : b < 0xF8 ? 3 : b < 0xFC ? 4 : 5;
}

struct TrailingTable {
  unsigned char count[256];
  constexpr TrailingTable() : count() {
    for (unsigned b = 0; b < 256; ++b) count[b] = TrailingCount(b);
  }
};
constexpr TrailingTable kTrailing;

// Smallest value each sequence length may carry (anything lower is overlong)
// and the bits the lead byte contributes, by number of trailing bytes.
constexpr std::uint32_t kMinValue[4] = {0, 0x80, 0x800, 0x10000};
constexpr unsigned char kLeadMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
constexpr unsigned char kFirstByteMark[5] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};

inline bool AllAscii8(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0x8080808080808080ull) == 0;
}

// ---- UTF-7 (RFC 2152) ----------------------------------------------------

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Utf7Tables {
  signed char base64Value[128];  // -1 outside the alphabet
  bool mustEncode[128];          // not in Set D, Set O or the white space written directly
  constexpr Utf7Tables() : base64Value(), mustEncode() {
    for (int c = 0; c < 128; ++c) {
      base64Value[c] = -1;
      mustEncode[c] = true;
    }
    for (int v = 0; v < 64; ++v) base64Value[static_cast<unsigned char>(kBase64Alphabet[v])] = char(v);
    const char direct[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789'(),-./:?"
        "!\"#$%&*;<=>@[]^_`{|}"
        " \t\r\n";
    for (const char* p = direct; *p; ++p) mustEncode[static_cast<unsigned char>(*p)] = false;
  }
};
constexpr Utf7Tables kUtf7;

inline bool NeedsBase64(char16_t c) { return c > 0x7F || kUtf7.mustEncode[c]; }

// ---- byte orders -----------------------------------------------------------

inline std::uint32_t ReadUcs4(const unsigned char* p, int byteOrder) {
  switch (byteOrder) {
    case kByteOrderBig:
      return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
    case kByteOrder2143:
      return std::uint32_t(p[1]) << 24 | std::uint32_t(p[0]) << 16 | std::uint32_t(p[3]) << 8 | p[2];
    case kByteOrder3412:
      return std::uint32_t(p[2]) << 24 | std::uint32_t(p[3]) << 16 | std::uint32_t(p[0]) << 8 | p[1];
    default:
      return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
  }
}

inline void WriteUcs4(unsigned char* p, std::uint32_t v, int byteOrder) {
  unsigned char b0 = v & 0xFF, b1 = (v >> 8) & 0xFF, b2 = (v >> 16) & 0xFF, b3 = v >> 24;
  switch (byteOrder) {
    case kByteOrderBig: p[0] = b3; p[1] = b2; p[2] = b1; p[3] = b0; break;
    case kByteOrder2143: p[0] = b2; p[1] = b3; p[2] = b0; p[3] = b1; break;
    case kByteOrder3412: p[0] = b1; p[1] = b0; p[2] = b3; p[3] = b2; break;
    default: p[0] = b0; p[1] = b1; p[2] = b2; p[3] = b3; break;
  }
}

// Removes a leading U+FEFF from a decoded text of length units.
void DropLeadingMark(char16_t* text, std::size_t* length) {
  if (*length > 0 && text[0] == 0xFEFF) {
    std::memmove(text, text + 1, (*length - 1) * sizeof(char16_t));
    --*length;
  }
}

template <class T>
std::unique_ptr<T[]> Finish(std::unique_ptr<T[]> buffer, std::size_t used, int* length) {
  if (used > std::size_t(INT_MAX)) return nullptr;
  buffer[used] = 0;
  *length = int(used);
  return buffer;
}

std::unique_ptr<char16_t[]> DecodeUcs4(const unsigned char* in, std::size_t n, int byteOrder, int* length) {
  if (n % 4 != 0) return nullptr;
  std::size_t units = n / 4;
  auto out = Allocate<char16_t>(2 * units + 1);
  if (!out) return nullptr;
  char16_t* target = out.get();
  char16_t* targetEnd = target + 2 * units;
  std::uint32_t chunk[kUcs4Chunk];
  for (std::size_t done = 0; done < units;) {
    std::size_t step = units - done < kUcs4Chunk ? units - done : kUcs4Chunk;
    for (std::size_t k = 0; k < step; ++k) chunk[k] = ReadUcs4(in + 4 * (done + k), byteOrder);
    const std::uint32_t* source = chunk;
    if (Ucs4ToUtf16(source, chunk + step, target, targetEnd) != ConvertDone) return nullptr;
    done += step;
  }
  std::size_t used = std::size_t(target - out.get());
  DropLeadingMark(out.get(), &used);
  return Finish(std::move(out), used, length);
}

std::unique_ptr<char16_t[]> DecodeUtf16(const unsigned char* in, std::size_t n, int byteOrder, int* length) {
  auto out = Allocate<char16_t>(n / 2 + 1);
  if (!out) return nullptr;
  bool big = byteOrder == kByteOrderBig;
  std::size_t pos = 0;
  if (n >= 2 && ((big && in[0] == 0xFE && in[1] == 0xFF) || (!big && in[0] == 0xFF && in[1] == 0xFE)))
    pos = 2;
  std::size_t units = (n - pos) / 2;
  const unsigned char* p = in + pos;
  char16_t* o = out.get();
  if (big) {
    for (std::size_t i = 0; i < units; ++i) o[i] = char16_t(p[2 * i] << 8 | p[2 * i + 1]);
  } else {
    for (std::size_t i = 0; i < units; ++i) o[i] = char16_t(p[2 * i + 1] << 8 | p[2 * i]);
  }
  // An odd last byte cannot be a character; count it rather than lose it silently.
  if ((n - pos) % 2 != 0) UnconvertibleCount += 1;
  return Finish(std::move(out), units, length);
}

std::unique_ptr<char16_t[]> DecodeUtf8Or7(const char* bytes, std::size_t n, int id, int* length) {
  auto out = Allocate<char16_t>(n + 1);
  if (!out) return nullptr;
  const char* source = bytes;
  const char* sourceEnd = bytes + n;
  char16_t* target = out.get();
  ConvertStatus status;
  bool signature = false;
  if (id == kEncodingUtf8) {
    // Skipping the signature here spares moving the whole text afterwards. It
    // is the one leading U+FEFF removed: a second one is text and stays.
    signature = n >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0;
    if (signature) source += 3;
    status = Utf8ToUtf16(source, sourceEnd, target, target + n);
  } else {
    status = Utf7ToUtf16(source, sourceEnd, target, target + n);
  }
  if (status != ConvertDone) return nullptr;
  std::size_t used = std::size_t(target - out.get());
  if (!signature) DropLeadingMark(out.get(), &used);
  return Finish(std::move(out), used, length);
}

std::unique_ptr<char16_t[]> DecodeCodePage(const char* bytes, std::size_t n, int id, int* length) {
  if (n > UINT_MAX) return nullptr;
  auto out = Allocate<char16_t>(n + 1);
  if (!out) return nullptr;
  unsigned count = unsigned(n);
  bool ok;
  if (id < 90)
    ok = DecodeSingleByte(bytes, out.get(), count, id);
  else if (id == kEncodingShiftJis)
    ok = DecodeDoubleByte(bytes, out.get(), &count, id, 0xA1, 0xE0);
  else if (id == kEncodingEucJp)
    ok = DecodeEucJp(bytes, out.get(), &count, id);
  else if (id == kEncodingIso2022Jp)
    ok = DecodeIso2022Jp(bytes, out.get(), &count, id);
  else
    ok = DecodeDoubleByte(bytes, out.get(), &count, id, 0, 0);
  if (!ok) return nullptr;
  return Finish(std::move(out), count, length);
}

}  // namespace

ConvertStatus Utf8ToUtf16(const char*& source, const char* sourceEnd, char16_t*& target,
                          char16_t* targetEnd) {
  const auto* s = reinterpret_cast<const unsigned char*>(source);
  const auto* end = reinterpret_cast<const unsigned char*>(sourceEnd);
  char16_t* t = target;
  ConvertStatus status = ConvertDone;
  int unknown = 0;
  while (s < end) {
    unsigned b = *s;
    if (b < 0x80) {
      // Set where a block stopped at a byte that is not ASCII (text with a
      // letter of another script every few words): that byte goes straight
      // to the sequences below.
      bool atHigh = false;
#if defined(__SSE2__)
      // Sixteen bytes at a time: all sixteen are widened and stored, and the
      // place moves past those up to the first that is not ASCII (the units
      // stored after it lie within the target and are written over next).
      while (end - s >= 16 && targetEnd - t >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i zero = _mm_setzero_si128();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t + 8), _mm_unpackhi_epi8(bytes, zero));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (high != 0) {
          const int ascii = __builtin_ctz(high);
          s += ascii;
          t += ascii;
          atHigh = true;
          break;
        }
        s += 16;
        t += 16;
      }
#endif
      if (atHigh) {
        b = *s;
      } else {
        while (end - s >= 8 && targetEnd - t >= 8 && AllAscii8(s)) {
          for (int k = 0; k < 8; ++k) t[k] = s[k];
          s += 8;
          t += 8;
        }
        if (s >= end) break;
        b = *s;
        if (b < 0x80) {
          if (t >= targetEnd) {
            status = ConvertTargetFull;
            break;
          }
          *t++ = char16_t(b);
          ++s;
          continue;
        }
      }
    }

    // Well-formed two- and three-byte forms, the bulk of non-ASCII text, take
    // a short path; everything else goes through the checks below.
    if (b >= 0xC2 && b < 0xE0 && end - s >= 2 && (s[1] & 0xC0) == 0x80 && t < targetEnd) {
      *t++ = char16_t(((b & 0x1F) << 6) | (s[1] & 0x3F));
      s += 2;
      continue;
    }
    if (b >= 0xE0 && b < 0xF0 && end - s >= 3 && ((s[1] & 0xC0) == 0x80) && ((s[2] & 0xC0) == 0x80) &&
        t < targetEnd) {
      std::uint32_t v = ((b & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
      if (v >= 0x800 && (v < 0xD800 || v > 0xDFFF) && v != 0xFFFE) {
        *t++ = char16_t(v);
        s += 3;
        continue;
      }
    }

    // A multi-byte sequence, or a byte that cannot start one.
    unsigned trailing = kTrailing.count[b];
    std::size_t consumed = 1;
    std::uint32_t value = kReplacementChar;
    bool valid = false;
    if (b >= 0xC0) {
      unsigned present = 0;
      while (present < trailing && s + 1 + present < end && (s[1 + present] & 0xC0) == 0x80) ++present;
      if (present < trailing && s + 1 + present >= end) {
        status = ConvertTruncated;  // cut off by the end of the input
        break;
      }
      consumed = 1 + present;
      if (present == trailing && trailing <= 3) {
        value = b & kLeadMask[trailing];
        for (unsigned k = 1; k <= trailing; ++k) value = (value << 6) | (s[k] & 0x3F);
        valid = value >= kMinValue[trailing] && value <= 0x10FFFF &&
                (value < 0xD800 || value > 0xDFFF);
      }
    }
    if (!valid) value = kReplacementChar;

    // U+FFFE is no character of a text (only a reversed byte-order mark);
    // dropping it would lose input silently, so it is replaced and counted.
    if (value == 0xFFFE) {
      value = kReplacementChar;
      valid = false;
    }
    std::size_t units = value > 0xFFFF ? 2 : 1;
    if (std::size_t(targetEnd - t) < units) {
      status = ConvertTargetFull;
      break;
    }
    if (units == 1) {
      *t++ = char16_t(value);
    } else {
      value -= 0x10000;
      *t++ = char16_t(0xD800 + (value >> 10));
      *t++ = char16_t(0xDC00 + (value & 0x3FF));
    }
    unknown += !valid;
    s += consumed;
  }
  UnconvertibleCount += unknown;
  source = reinterpret_cast<const char*>(s);
  target = t;
  return status;
}

ConvertStatus Utf16ToUtf8(const char16_t*& source, const char16_t* sourceEnd, char*& target,
                          char* targetEnd) {
  const char16_t* s = source;
  char* t = target;
  ConvertStatus status = ConvertDone;
  while (s < sourceEnd) {
    std::uint32_t c = *s;
    if (c < 0x80) {
#if defined(__SSE2__)
      // Sixteen units at a time are narrowed to bytes and stored, and the
      // place moves past those up to the first that is not ASCII (the bytes
      // stored after it lie within the target and are written over next).
      const char16_t* blockStart = s;
      while (sourceEnd - s >= 16 && targetEnd - t >= 16) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t), _mm_packus_epi16(low, high));
        const __m128i nonAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
        const __m128i zero = _mm_setzero_si128();
        // Two mask bits a unit, set for an ASCII unit.
        const unsigned ascii =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(low, nonAscii), zero))) |
            (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(high, nonAscii), zero)))
             << 16);
        if (ascii != 0xFFFFFFFFu) {
          const int run = __builtin_ctz(~ascii) / 2;
          s += run;
          t += run;
          break;
        }
        s += 16;
        t += 16;
      }
      if (s != blockStart) continue;
#endif
      if (t >= targetEnd) {
        status = ConvertTargetFull;
        break;
      }
      *t++ = char(c);
      ++s;
      continue;
    }
    std::size_t read = 1;
    if (c >= 0xD800 && c <= 0xDBFF && s + 1 < sourceEnd && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
      c = ((c - 0xD800) << 10) + (s[1] - 0xDC00) + 0x10000;
      read = 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      // A lone surrogate has no UTF-8 form: like every converter of the
      // program, it writes U+FFFD (and counts it) instead of invalid bytes.
      c = kReplacementChar;
      ++UnconvertibleCount;
    }
    std::size_t bytes = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (std::size_t(targetEnd - t) < bytes) {
      status = ConvertTargetFull;
      break;
    }
    for (std::size_t k = bytes - 1; k > 0; --k) {
      t[k] = char(0x80 | (c & 0x3F));
      c >>= 6;
    }
    t[0] = char(kFirstByteMark[bytes] | c);
    t += bytes;
    s += read;
  }
  source = s;
  target = t;
  return status;
}

ConvertStatus Utf7ToUtf16(const char*& source, const char* sourceEnd, char16_t*& target,
                          char16_t* targetEnd) {
  const auto* s = reinterpret_cast<const unsigned char*>(source);
  const auto* end = reinterpret_cast<const unsigned char*>(sourceEnd);
  char16_t* t = target;
  bool bad = false;
  bool inBase64 = false;
  bool readAny = false;   // base64 bytes read in the current run
  bool wroteAny = false;  // units written by the current run
  std::uint32_t bits = 0;
  int bitCount = 0;
  ConvertStatus status = ConvertDone;

  // Closes the current run: the rules of RFC 2152 for a run that ends.
  auto endRun = [&] {
    if (!wroteAny) bad = true;
    if (bits & ((1u << bitCount) - 1)) bad = true;  // leftover bits must be zero
    inBase64 = false;
    bits = 0;
    bitCount = 0;
  };

  while (s < end) {
    unsigned b = *s;
    if (inBase64) {
      int v = b < 128 ? kUtf7.base64Value[b] : -1;
      if (v >= 0) {
        bits = (bits << 6) | unsigned(v);
        bitCount += 6;
        readAny = true;
        if (bitCount >= 16) {
          if (t >= targetEnd) {
            status = ConvertTargetFull;
            break;
          }
          bitCount -= 16;
          *t++ = char16_t((bits >> bitCount) & 0xFFFF);
          bits &= (1u << bitCount) - 1;
          wroteAny = true;
        }
        ++s;
        continue;
      }
      if (b == '-' && !readAny) {
        if (t >= targetEnd) {
          status = ConvertTargetFull;
          break;
        }
        *t++ = u'+';  // "+-" stands for the plus sign
        inBase64 = false;
        ++s;
        continue;
      }
      endRun();
      if (b == '-' || b == '+') ++s;  // the closing byte belongs to the run
      continue;
    }
    if (b == '+') {
      inBase64 = true;
      readAny = wroteAny = false;
      bits = 0;
      bitCount = 0;
      ++s;
      continue;
    }
    if (t >= targetEnd) {
      status = ConvertTargetFull;
      break;
    }
    if (b >= 0x80) bad = true;
    *t++ = char16_t(b);
    ++s;
  }
  if (status == ConvertDone) {
    if (inBase64) endRun();
    if (bad) status = ConvertBadInput;
  }
  source = reinterpret_cast<const char*>(s);
  target = t;
  return status;
}

ConvertStatus Utf16ToUtf7(const char16_t*& source, const char16_t* sourceEnd, char*& target,
                          char* targetEnd) {
  const char16_t* s = source;
  char* t = target;
  bool inBase64 = false;
  std::uint32_t bits = 0;
  int bitCount = 0;
  auto put = [&](char c) {
    if (t >= targetEnd) return false;
    *t++ = c;
    return true;
  };
  for (;;) {
    bool atEnd = s >= sourceEnd;  // one more step after the last unit closes a run
    char16_t r = atEnd ? 0 : *s;
    bool needs = !atEnd && NeedsBase64(r);
    if (needs && !inBase64) {
      if (!put('+')) break;
      if (r == u'+') {
        if (!put('-')) break;
      } else {
        inBase64 = true;
      }
    }
    if (inBase64) {
      if (needs) {
        bits = (bits << 16) | r;
        bitCount += 16;
      } else if (bitCount % 6 != 0) {
        int pad = 6 - bitCount % 6;
        bits <<= pad;
        bitCount += pad;
      }
      bool full = false;
      while (bitCount >= 6) {
        bitCount -= 6;
        if (!put(kBase64Alphabet[(bits >> bitCount) & 0x3F])) {
          full = true;
          break;
        }
      }
      if (full) break;
      bits &= (1u << bitCount) - 1;
      if (!needs) {
        if (!put('-')) break;
        inBase64 = false;
      }
    }
    if (atEnd) {
      source = s;
      target = t;
      return ConvertDone;
    }
    if (!needs && !put(char(r))) break;
    ++s;
  }
  source = s;
  target = t;
  return ConvertTargetFull;
}

ConvertStatus Ucs4ToUtf16(const std::uint32_t*& source, const std::uint32_t* sourceEnd,
                          char16_t*& target, char16_t* targetEnd) {
  const std::uint32_t* s = source;
  char16_t* t = target;
  ConvertStatus status = ConvertDone;
  int unknown = 0;
  while (s < sourceEnd) {
    if (t >= targetEnd) {
      status = ConvertTargetFull;
      break;
    }
    std::uint32_t v = *s;
    if (v <= 0xFFFF) {
      *t++ = char16_t(v);
    } else if (v > 0x10FFFF) {
      *t++ = kReplacementChar;
      ++unknown;
    } else {
      if (targetEnd - t < 2) {
        status = ConvertTargetFull;
        break;
      }
      v -= 0x10000;
      *t++ = char16_t(0xD800 + (v >> 10));
      *t++ = char16_t(0xDC00 + (v & 0x3FF));
    }
    ++s;
  }
  UnconvertibleCount += unknown;
  source = s;
  target = t;
  return status;
}

ConvertStatus Utf16ToUcs4(const char16_t*& source, const char16_t* sourceEnd,
                          std::uint32_t*& target, std::uint32_t* targetEnd) {
  const char16_t* s = source;
  std::uint32_t* t = target;
  ConvertStatus status = ConvertDone;
  while (s < sourceEnd) {
    std::uint32_t c = *s;
    std::size_t read = 1;
    if (c >= 0xD800 && c <= 0xDBFF && s + 1 < sourceEnd && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
      c = ((c - 0xD800) << 10) + (s[1] - 0xDC00) + 0x10000;
      read = 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacementChar;  // no UCS-4 value either
      ++UnconvertibleCount;
    }
    if (t >= targetEnd) {
      status = ConvertTargetFull;
      break;
    }
    *t++ = c;
    s += read;
  }
  source = s;
  target = t;
  return status;
}

std::unique_ptr<char16_t[]> DecodeToUtf16(const char* bytes, int* length, int id, int byteOrder) {
  UnconvertibleCount = 0;
  if (!length) return nullptr;
  int count = *length;
  *length = 0;
  if (count < 0 || (!bytes && count > 0)) return nullptr;
  if (!bytes) bytes = "";
  const std::size_t n = std::size_t(count);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  int produced = 0;
  std::unique_ptr<char16_t[]> result;
  if (id >= kEncodingUcs4)
    result = DecodeUcs4(in, n, byteOrder, &produced);
  else if (id >= kEncodingUtf16)
    result = DecodeUtf16(in, n, byteOrder, &produced);
  else if (id == kEncodingUtf8 || id == kEncodingUtf7)
    result = DecodeUtf8Or7(bytes, n, id, &produced);
  else
    result = DecodeCodePage(bytes, n, id, &produced);
  if (result) *length = produced;
  return result;
}

std::unique_ptr<char[]> EncodeFromUtf16(const char16_t* text, int* length, int id, int byteOrder,
                                        bool wideMark, bool utf8Mark) {
  UnconvertibleCount = 0;
  if (!length) return nullptr;
  int count = *length;
  *length = 0;
  if (count < 0 || (!text && count > 0)) return nullptr;
  if (!text) text = u"";
  const std::size_t n = std::size_t(count);
  const std::size_t mark = wideMark ? 1 : 0;
  std::unique_ptr<char[]> out;
  std::size_t used = 0;

  if (id >= kEncodingUcs4) {
    out = Allocate<char>((n + mark) * 4 + 1);
    if (!out) return nullptr;
    auto* o = reinterpret_cast<unsigned char*>(out.get());
    if (mark) {
      WriteUcs4(o, 0xFEFF, byteOrder);
      used = 4;
    }
    std::uint32_t chunk[kUcs4Chunk];
    const char16_t* source = text;
    const char16_t* sourceEnd = text + n;
    while (source < sourceEnd) {
      std::uint32_t* target = chunk;
      ConvertStatus status = Utf16ToUcs4(source, sourceEnd, target, chunk + kUcs4Chunk);
      if (status != ConvertDone && status != ConvertTargetFull) return nullptr;
      for (std::uint32_t* v = chunk; v < target; ++v, used += 4) WriteUcs4(o + used, *v, byteOrder);
    }
  } else if (id >= kEncodingUtf16) {
    out = Allocate<char>((n + mark) * 2 + 1);
    if (!out) return nullptr;
    auto* o = reinterpret_cast<unsigned char*>(out.get());
    bool big = byteOrder == kByteOrderBig;
    if (mark) {
      o[0] = big ? 0xFE : 0xFF;
      o[1] = big ? 0xFF : 0xFE;
    }
    unsigned char* p = o + 2 * mark;
    if (big) {
      for (std::size_t i = 0; i < n; ++i) { p[2 * i] = text[i] >> 8; p[2 * i + 1] = text[i] & 0xFF; }
    } else {
      for (std::size_t i = 0; i < n; ++i) { p[2 * i] = text[i] & 0xFF; p[2 * i + 1] = text[i] >> 8; }
    }
    used = (n + mark) * 2;
  } else if (id == kEncodingUtf7) {
    // A unit alone in a base64 run takes five bytes: "+", three digits, "-".
    out = Allocate<char>(n * 5 + 1);
    if (!out) return nullptr;
    const char16_t* source = text;
    char* target = out.get();
    if (Utf16ToUtf7(source, text + n, target, out.get() + n * 5) != ConvertDone) return nullptr;
    used = std::size_t(target - out.get());
  } else if (id == kEncodingUtf8) {
    // Three bytes a unit at most: a four-byte form takes two units.
    const std::size_t signature = utf8Mark ? 3 : 0;
    out = Allocate<char>(signature + n * 3 + 1);
    if (!out) return nullptr;
    if (utf8Mark) std::memcpy(out.get(), "\xEF\xBB\xBF", 3);
    const char16_t* source = text;
    char* target = out.get() + signature;
    if (Utf16ToUtf8(source, text + n, target, target + n * 3) != ConvertDone) return nullptr;
    used = std::size_t(target - out.get());
  } else if (id >= 90 && id <= 1999) {
    if (n > UINT_MAX / 5) return nullptr;
    // ISO-2022-JP: an escape (3) and two bytes a character, plus the closing escape.
    const std::size_t capacity = id == kEncodingIso2022Jp ? n * 5 + 3 : n * 2;
    out = Allocate<char>(capacity + 1);
    if (!out) return nullptr;
    unsigned written = unsigned(n);
    bool ok = id == kEncodingEucJp       ? EncodeEucJp(text, out.get(), &written, id)
              : id == kEncodingIso2022Jp ? EncodeIso2022Jp(text, out.get(), &written, id)
                                         : EncodeDoubleByte(text, out.get(), &written, id);
    if (!ok) return nullptr;
    used = written;
  } else {
    out = Allocate<char>(n + 1);
    if (!out) return nullptr;
    if (!EncodeSingleByte(text, out.get(), unsigned(n), id)) return nullptr;
    used = n;
  }
  return Finish(std::move(out), used, length);
}
