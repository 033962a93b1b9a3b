// Code-page converters: lookup tables built from the byte maps of the encoding
// table, then one table lookup per byte or character. Tables are built on first
// use and kept for the process, so a conversion never pays for them twice.
#include "core/ktencodingcodepage.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "core/ktencodingtable.h"

thread_local constinit int UnconvertibleCount = 0;

namespace {

constexpr char16_t kReplacementChar = 0xFFFD;
constexpr std::uint16_t kReplacementCode = 0x5F;  // '_'
constexpr int kIso8859_6Id = 6;

// The Japanese map is written in Shift_JIS codes; EUC-JP and ISO-2022-JP read
// it through the JIS row/cell form of every two-byte code.
enum Variant { kVariantPlain, kVariantEuc, kVariantJis, kVariantCount };

struct CodePageTables {
  std::once_flag decodeOnce;
  std::once_flag encodeOnce;
  std::unique_ptr<char16_t[]> decode;        // 256 (single-byte) or 65,536 entries
  std::unique_ptr<std::uint8_t[]> encode8;   // single-byte: byte by character
  std::unique_ptr<std::uint16_t[]> encode16;  // double-byte: code by character
  bool asciiIdentity = false;                // 00-7E decode to themselves
  // The character that the replacement byte 5F stands for in a single-byte
  // map ('_' in the ASCII-based maps, U+00AC in EBCDIC): it encodes to 5F
  // without being a replacement.
  char16_t ownerOf5F = u'_';
};

CodePageTables gTables[kEncodingCount][kVariantCount];

// Maps a Japanese-map code to the code of the variant; false drops the entry.
// The vendor rows from F0 on have no place among the JIS rows (their row
// arithmetic wraps below 21), so they are left out of EUC-JP and ISO-2022-JP;
// every character of those rows has another code in the rows before.
bool VariantCode(Variant variant, unsigned code, unsigned* out) {
  if (variant == kVariantPlain || code < 256) {
    *out = code;
    return true;
  }
  int lead = int(code >> 8), trail = int(code & 0xFF);
  if (lead >= 0xF0) return false;
  ShiftJisToJis(&lead, &trail);
  if (variant == kVariantEuc) {
    lead += 0x80;
    trail += 0x80;
  }
  *out = unsigned((lead << 8) | trail) & 0xFFFF;
  return true;
}

// Row of the id whose byte map the tables come from, or -1. Rows sharing one
// map share their tables.
int MapRow(int id) {
  int row = EncodingIndexFromId(id);
  if (row < 0 || !EncodingTable[row].byteMap) return -1;
  for (int first = 0; first < row; ++first)
    if (EncodingTable[first].byteMap == EncodingTable[row].byteMap) return first;
  return row;
}

const char16_t* DecodeTable(int row, Variant variant, bool doubleByte, bool* asciiIdentity) {
  CodePageTables& t = gTables[row][variant];
  std::call_once(t.decodeOnce, [&] {
    const std::size_t size = doubleByte ? 65536 : 256;
    std::unique_ptr<char16_t[]> table(new (std::nothrow) char16_t[size]);
    if (!table) return;
    for (std::size_t i = 0; i < size; ++i) table[i] = i < 0x20 ? char16_t(i) : kReplacementChar;
    const KTEncodingRow& r = EncodingTable[row];
    for (unsigned i = 0; i + 1 < r.byteMapSize; i += 2) {
      unsigned code;
      if (!VariantCode(variant, r.byteMap[i], &code) || code >= size) continue;
      table[code] = r.byteMap[i + 1];
    }
    bool identity = true;
    for (unsigned i = 0; i < 0x7F && identity; ++i) identity = table[i] == i;
    t.asciiIdentity = identity;
    t.decode = std::move(table);
  });
  *asciiIdentity = t.asciiIdentity;
  return t.decode.get();
}

// Entries are applied in list order, so a character with several codes keeps
// the last (highest) one.
const std::uint8_t* SingleByteEncodeTable(int row, char16_t* ownerOf5F) {
  CodePageTables& t = gTables[row][kVariantPlain];
  std::call_once(t.encodeOnce, [&] {
    std::unique_ptr<std::uint8_t[]> table(new (std::nothrow) std::uint8_t[65536]);
    if (!table) return;
    for (unsigned i = 0; i < 65536; ++i) table[i] = i < 0x20 ? std::uint8_t(i) : std::uint8_t(kReplacementCode);
    const KTEncodingRow& r = EncodingTable[row];
    char16_t owner = u'_';
    for (unsigned i = 0; i + 1 < r.byteMapSize; i += 2) {
      if (r.byteMap[i] >= 256) continue;
      table[r.byteMap[i + 1]] = std::uint8_t(r.byteMap[i]);
      if (r.byteMap[i] == kReplacementCode) owner = char16_t(r.byteMap[i + 1]);
    }
    if (table[owner] == kReplacementCode) t.ownerOf5F = owner;
    // ISO 8859-6 has no codes of its own for the Arabic-Indic digits; they
    // are written as the ASCII digits, which is how they are read too.
    if (r.id == kIso8859_6Id)
      for (unsigned d = 0; d < 10; ++d) table[0x0660 + d] = std::uint8_t(0x30 + d);
    t.encode8 = std::move(table);
  });
  *ownerOf5F = t.ownerOf5F;
  return t.encode8.get();
}

const std::uint16_t* DoubleByteEncodeTable(int row, Variant variant) {
  CodePageTables& t = gTables[row][variant];
  std::call_once(t.encodeOnce, [&] {
    std::unique_ptr<std::uint16_t[]> table(new (std::nothrow) std::uint16_t[65536]);
    if (!table) return;
    for (unsigned i = 0; i < 65536; ++i) table[i] = i < 0x20 ? std::uint16_t(i) : kReplacementCode;
    const KTEncodingRow& r = EncodingTable[row];
    for (unsigned i = 0; i + 1 < r.byteMapSize; i += 2) {
      unsigned code;
      if (VariantCode(variant, r.byteMap[i], &code)) table[r.byteMap[i + 1]] = std::uint16_t(code);
    }
    t.encode16 = std::move(table);
  });
  return t.encode16.get();
}

inline bool Unconvertible(std::uint16_t code, char16_t c) {
  return code == kReplacementCode && c != u'_' && c != kReplacementChar;
}

// Widens a run of bytes 00-7E eight at a time; returns the bytes done. (7F is
// left to the table: the ISO 8859 maps leave it unmapped.)
inline std::size_t WidenAscii(const unsigned char* in, std::size_t n, char16_t* out) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  std::size_t i = 0;
  while (i + 8 <= n) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    // With no high bit set, adding 1 to each byte carries into bit 7 only for 7F.
    if ((word & kHigh) || ((word + 0x0101010101010101ull) & kHigh)) break;
    for (int k = 0; k < 8; ++k) out[i + k] = in[i + k];
    i += 8;
  }
  return i;
}

// How a double-byte variant reads its bytes: its map (indexed by a single
// byte, or by lead byte << 8 | trail byte), whether bytes below 80 are ASCII
// itself, the range [singleLow, singleHigh) of bytes from 80 on that stand
// alone, and whether the EUC-JP forms apply: 8E + half-width katakana, and
// 8F + two bytes (JIS X 0212, not in the map) read as one unknown character.
struct TwoByteForm {
  const char16_t* table;
  bool asciiIdentity;
  unsigned singleLow;
  unsigned singleHigh;
  bool eucJp;
};

// Double-byte decoding shared by DecodeDoubleByte and the EUC-JP decoder.
std::size_t DecodeTwoByteCodes(const unsigned char* in, std::size_t n, char16_t* out,
                               const TwoByteForm& form) {
  const char16_t* const table = form.table;
  const bool asciiIdentity = form.asciiIdentity;
  const unsigned singleLow = form.singleLow;
  const unsigned singleHigh = form.singleHigh;
  const bool eucJp = form.eucJp;
  char16_t* start = out;
  int unknown = 0;
  std::size_t i = 0;
  while (i < n) {
    if (asciiIdentity && in[i] < 0x80) {
      std::size_t done = WidenAscii(in + i, n - i, out);
      out += done;
      i += done;
      if (i >= n) break;
    }
    unsigned b = in[i];
    char16_t c;
    if (b < 0x80 || (b >= singleLow && b < singleHigh)) {
      c = table[b];
      i += 1;
    } else if (i + 1 >= n) {
      c = kReplacementChar;  // a lead byte cut off by the end
      i += 1;
    } else if (eucJp && b == 0x8E) {
      unsigned t = in[i + 1];
      c = (t >= 0xA1 && t <= 0xDF) ? table[t] : kReplacementChar;
      i += 2;
    } else if (eucJp && b == 0x8F) {
      c = kReplacementChar;
      i = (i + 3 <= n) ? i + 3 : n;
    } else {
      c = table[(b << 8) | in[i + 1]];
      i += 2;
    }
    unknown += c == kReplacementChar;
    *out++ = c;
  }
  UnconvertibleCount += unknown;
  return std::size_t(out - start);
}

bool DoubleByteId(int id) { return id >= 90 && id <= 1999; }

// The start of every double-byte conversion: the unconvertible count reset,
// the id checked and the table of the variant fetched; null where the id has
// no double-byte map.
const char16_t* StartDoubleByteDecode(const unsigned int* count, int id, Variant variant, bool* asciiIdentity) {
  UnconvertibleCount = 0;
  if (!count || !DoubleByteId(id)) return nullptr;
  int row = MapRow(id);
  return row < 0 ? nullptr : DecodeTable(row, variant, true, asciiIdentity);
}

const std::uint16_t* StartDoubleByteEncode(const unsigned int* count, int id, Variant variant) {
  UnconvertibleCount = 0;
  if (!count || !DoubleByteId(id)) return nullptr;
  int row = MapRow(id);
  return row < 0 ? nullptr : DoubleByteEncodeTable(row, variant);
}

// Double-byte encoding shared by EncodeDoubleByte and the EUC-JP encoder: one
// lookup a character, codes from 256 on written lead byte first. eucJp writes
// the single-byte codes 80-FF (half-width katakana, JIS X 0201) after the SS2
// prefix 8E. Returns the bytes written.
template <bool eucJp>
std::size_t EncodeTwoByteCodes(const char16_t* text, std::size_t n, char* out, const std::uint16_t* table) {
  char* start = out;
  int unknown = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint16_t code = table[text[i]];
    unknown += Unconvertible(code, text[i]);
    if (code < 0x80 || (!eucJp && code < 256)) {
      *out++ = char(code);
    } else if (eucJp && code < 256) {
      *out++ = char(0x8E);
      *out++ = char(code);
    } else {
      *out++ = char(code >> 8);
      *out++ = char(code & 0xFF);
    }
  }
  UnconvertibleCount += unknown;
  return std::size_t(out - start);
}

}  // namespace

bool DecodeSingleByte(const char* bytes, char16_t* out, unsigned int count, int id) {
  UnconvertibleCount = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  if (id == 0 || id >= 90) {
    for (unsigned i = 0; i < count; ++i) out[i] = in[i];
    return true;
  }
  int row = MapRow(id);
  if (row < 0) return false;
  bool asciiIdentity;
  const char16_t* table = DecodeTable(row, kVariantPlain, false, &asciiIdentity);
  if (!table) return false;
  int unknown = 0;
  for (unsigned i = 0; i < count;) {
    if (asciiIdentity && in[i] < 0x7F) {
      i += unsigned(WidenAscii(in + i, count - i, out + i));
      if (i >= count) break;
    }
    char16_t c = table[in[i]];
    unknown += c == kReplacementChar;
    out[i] = c;
    ++i;
  }
  UnconvertibleCount = unknown;
  return true;
}

bool EncodeSingleByte(const char16_t* text, char* out, unsigned int count, int id) {
  UnconvertibleCount = 0;
  int unknown = 0;
  if (id == 0 || id >= 90) {
    // ISO 8859-1 without a table: characters above U+00FF have no byte.
    for (unsigned i = 0; i < count; ++i) {
      char16_t c = text[i];
      if (c <= 0xFF) {
        out[i] = char(c);
      } else {
        out[i] = char(kReplacementCode);
        unknown += c != kReplacementChar;
      }
    }
    UnconvertibleCount = unknown;
    return true;
  }
  int row = MapRow(id);
  if (row < 0) return false;
  char16_t ownerOf5F;
  const std::uint8_t* table = SingleByteEncodeTable(row, &ownerOf5F);
  if (!table) return false;
  for (unsigned i = 0; i < count; ++i) {
    std::uint8_t b = table[text[i]];
    unknown += Unconvertible(b, text[i]) && text[i] != ownerOf5F;
    out[i] = char(b);
  }
  UnconvertibleCount = unknown;
  return true;
}

bool DecodeDoubleByte(const char* bytes, char16_t* out, unsigned int* count, int id,
                      unsigned int singleLow, unsigned int singleHigh) {
  bool asciiIdentity;
  const char16_t* table = StartDoubleByteDecode(count, id, kVariantPlain, &asciiIdentity);
  if (!table) return false;
  const TwoByteForm form{table, asciiIdentity, singleLow, singleHigh, false};
  *count = unsigned(DecodeTwoByteCodes(reinterpret_cast<const unsigned char*>(bytes), *count, out, form));
  return true;
}

bool EncodeDoubleByte(const char16_t* text, char* out, unsigned int* count, int id) {
  const std::uint16_t* table = StartDoubleByteEncode(count, id, kVariantPlain);
  if (!table) return false;
  *count = unsigned(EncodeTwoByteCodes<false>(text, *count, out, table));
  return true;
}

bool DecodeEucJp(const char* bytes, char16_t* out, unsigned int* count, int id) {
  bool asciiIdentity;
  const char16_t* table = StartDoubleByteDecode(count, id, kVariantEuc, &asciiIdentity);
  if (!table) return false;
  // Every byte from 80 on leads a code: no single-byte range.
  const TwoByteForm form{table, asciiIdentity, 0, 0, true};
  *count = unsigned(DecodeTwoByteCodes(reinterpret_cast<const unsigned char*>(bytes), *count, out, form));
  return true;
}

bool EncodeEucJp(const char16_t* text, char* out, unsigned int* count, int id) {
  const std::uint16_t* table = StartDoubleByteEncode(count, id, kVariantEuc);
  if (!table) return false;
  *count = unsigned(EncodeTwoByteCodes<true>(text, *count, out, table));
  return true;
}

bool DecodeIso2022Jp(const char* bytes, char16_t* out, unsigned int* count, int id) {
  bool asciiIdentity;
  const char16_t* table = StartDoubleByteDecode(count, id, kVariantJis, &asciiIdentity);
  if (!table) return false;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  const std::size_t n = *count;
  char16_t* start = out;
  int unknown = 0;
  bool twoByte = false;
  std::size_t i = 0;
  while (i < n) {
    unsigned b = in[i];
    if (b == 0x1B) {
      // ESC ( x: single-byte; ESC $ B, ESC $ @, ESC $ ( x: two-byte;
      // ESC $ x: mode kept. A sequence cut off by the end ends the text.
      if (i + 1 >= n) break;
      unsigned b1 = in[i + 1];
      if (b1 == 0x28) {
        if (i + 2 >= n) break;
        twoByte = false;
        i += 3;
      } else if (b1 == 0x24) {
        if (i + 2 >= n) break;
        unsigned b2 = in[i + 2];
        if (b2 == 0x42 || b2 == 0x40) {
          twoByte = true;
          i += 3;
        } else if (b2 == 0x28) {
          if (i + 3 >= n) break;
          twoByte = true;
          i += 4;
        } else {
          i += 3;
        }
      } else {
        i += 1;  // a stray ESC is dropped
      }
      continue;
    }
    char16_t c;
    if (!twoByte) {
      c = table[b];
      i += 1;
    } else if (i + 1 >= n) {
      c = kReplacementChar;
      i += 1;
    } else {
      c = table[(b << 8) | in[i + 1]];
      i += 2;
    }
    unknown += c == kReplacementChar;
    *out++ = c;
  }
  UnconvertibleCount = unknown;
  *count = unsigned(out - start);
  return true;
}

bool EncodeIso2022Jp(const char16_t* text, char* out, unsigned int* count, int id) {
  const std::uint16_t* table = StartDoubleByteEncode(count, id, kVariantJis);
  if (!table) return false;
  char* start = out;
  int unknown = 0;
  bool twoByte = false;
  for (unsigned i = 0; i < *count; ++i) {
    std::uint16_t code = table[text[i]];
    // Half-width katakana have no 7-bit form in ISO-2022-JP (RFC 1468).
    if (code >= 0x80 && code < 256) code = kReplacementCode;
    unknown += Unconvertible(code, text[i]);
    if (code >= 256) {
      if (!twoByte) {
        *out++ = 0x1B; *out++ = 0x24; *out++ = 0x42;  // ESC $ B
        twoByte = true;
      }
      *out++ = char(code >> 8);
      *out++ = char(code & 0xFF);
    } else {
      if (twoByte) {
        *out++ = 0x1B; *out++ = 0x28; *out++ = 0x42;  // ESC ( B
        twoByte = false;
      }
      *out++ = char(code);
    }
  }
  if (twoByte) {
    *out++ = 0x1B; *out++ = 0x28; *out++ = 0x42;
  }
  UnconvertibleCount = unknown;
  *count = unsigned(out - start);
  return true;
}

void ShiftJisToJis(int* lead, int* trail) {
  int s1 = *lead, s2 = *trail;
  int adjust = s2 < 0x9F ? 1 : 0;
  int rowOffset = s1 < 0xA0 ? 0x70 : 0xB0;
  int cellOffset = adjust == 0 ? 0x7E : (s2 > 0x7F ? 0x20 : 0x1F);
  *lead = (s1 - rowOffset) * 2 - adjust;
  *trail = s2 - cellOffset;
}
