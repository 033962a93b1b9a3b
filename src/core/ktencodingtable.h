// The table of the 38 character encodings, name lookup and detection of the
// encoding of an XML entity from its first bytes and its encoding declaration.
// The converters (ktencodingcodepage.h, ktencodingutf.h) read the byte maps.
#pragma once

#include <cstdint>

// Encoding ids with a meaning of their own for the converters. Ranges: below 90
// single-byte maps, 90-999 double-byte codes, 1000 and above Unicode forms.
inline constexpr int kEncodingNone = 0;
inline constexpr int kEncodingShiftJis = 92;
inline constexpr int kEncodingEucJp = 200;
inline constexpr int kEncodingIso2022Jp = 500;
inline constexpr int kEncodingUtf8 = 1000;
inline constexpr int kEncodingUtf7 = 1001;
inline constexpr int kEncodingUtf16 = 2000;
inline constexpr int kEncodingUcs2 = 3000;
inline constexpr int kEncodingUcs4 = 4000;

// Byte-order codes of the 16- and 32-bit forms.
inline constexpr int kByteOrderNone = 0;
inline constexpr int kByteOrderLittle = 1;   // 4321
inline constexpr int kByteOrderBig = 2;      // 1234
inline constexpr int kByteOrder3412 = 4;
inline constexpr int kByteOrder2143 = 8;

// Result flags of DetectEncoding.
enum : int {
  DetectNoDeclaration = 1,
  DetectUnknownName = 2,
  DetectConflict = 4,
  DetectFound = 8,
};

// One row of the encoding table. byteMap is a flat list of (code, UTF-16
// character) pairs; byteMapSize counts its uint16 values (twice the pairs).
struct KTEncodingRow {
  int id;
  const char16_t* canonicalName;
  const char16_t* aliasKeys;  // upper-case keys separated by ';'
  const char16_t* description;
  const std::uint16_t* byteMap;
  unsigned byteMapSize;
};

inline constexpr int kEncodingCount = 38;
extern const KTEncodingRow EncodingTable[kEncodingCount];

// Id named by an encoding name (any case, '_' read as '-'); the longest alias
// key found anywhere in the name wins. 0 for null or unknown names.
int EncodingIdFromName(const char16_t* name);

// Row of the id in EncodingTable, -1 when none.
int EncodingIndexFromId(int id);

// Detects the encoding of an entity. Writes the id and byte-order code; copies a
// declared encoding value (upper case) to declaredName (>= 80 characters) when
// one is read. Returns Detect* flags, 0 when id or byteOrder is null or the
// input is shorter than 4 bytes.
int DetectEncoding(const char* bytes, unsigned int length, int* id, int* byteOrder,
                   char16_t* declaredName);

// True when ESC $ B or ESC $ @ (the JIS X 0208 designations of ISO-2022-JP)
// starts at any position from 0 to length - 4: the bytes are taken for
// ISO-2022-JP when nothing else names their encoding.
bool HasIso2022JpEscape(const unsigned char* bytes, unsigned length);
