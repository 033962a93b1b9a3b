// The encoding table, encoding-name lookup and detection of an entity's
// encoding from its byte-order mark, its first bytes or its XML declaration
// (XML 1.0 Appendix F). No allocation, no exceptions.
#include "core/ktencodingtable.h"

#include <cstring>
#include <string_view>

#include "core/enc_tables/ktencmaps.h"

using namespace ktenc;

#define KT_MAP(name) name, name##Size

// Row order matters: EncodingIdFromName prefers, among keys of equal length,
// the one of the higher row (so IBM850 is code page 850, not EBCDIC).
const KTEncodingRow EncodingTable[kEncodingCount] = {
    {1, u"ISO-8859-1", u"8859-1", u"ISO 8859-1 (Latin-1/West European)", KT_MAP(kMapIso8859_1)},
    {2, u"ISO-8859-2", u"8859-2", u"ISO 8859-2 (Latin-2/Central European)", KT_MAP(kMapIso8859_2)},
    {3, u"ISO-8859-3", u"8859-3", u"ISO 8859-3 (Latin-3/South European)", KT_MAP(kMapIso8859_3)},
    {4, u"ISO-8859-4", u"8859-4", u"ISO 8859-4 (Latin-4/North European)", KT_MAP(kMapIso8859_4)},
    {5, u"ISO-8859-5", u"8859-5", u"ISO 8859-5 (Cyrillic)", KT_MAP(kMapIso8859_5)},
    {6, u"ISO-8859-6", u"8859-6", u"ISO 8859-6 (Arabic)", KT_MAP(kMapIso8859_6)},
    {7, u"ISO-8859-7", u"8859-7", u"ISO 8859-7 (Greek)", KT_MAP(kMapIso8859_7)},
    {8, u"ISO-8859-8", u"8859-8", u"ISO 8859-8 (Hebrew)", KT_MAP(kMapIso8859_8)},
    {9, u"ISO-8859-9", u"8859-9", u"ISO 8859-9 (Latin-5/Turkish)", KT_MAP(kMapIso8859_9)},
    {11, u"ISO-8859-11", u"8859-11;TIS-620", u"ISO 8859-11/TIS-620 (Thai)", KT_MAP(kMapCp874)},
    {14, u"ISO-8859-14", u"8859-14", u"ISO 8859-14 (Latin-8)", KT_MAP(kMapIso8859_14)},
    {15, u"ISO-8859-15", u"8859-15", u"ISO 8859-15 (Latin-9)", KT_MAP(kMapIso8859_15)},
    {30, u"US-ASCII", u"ASCII;ISO-646", u"US-ASCII (ISO-646-US)", KT_MAP(kMapAscii)},
    {31, u"ebcdic-cp-us", u"EBCDIC;037;IBM", u"EBCDIC (IBM Mainframes)", KT_MAP(kMapCp037)},
    {40, u"DOS codepage-437", u"437", u"Codepage 437 (DOS, US)", KT_MAP(kMapCp437)},
    {42, u"KTDIK codepage-850", u"KTDIK", u"Codepage 850 (KTDIK)", KT_MAP(kMapCp850Variant)},
    {41, u"DOS codepage-850", u"850", u"Codepage 850 (DOS, Latin-1)", KT_MAP(kMapCp850)},
    {52, u"windows-1252", u"1252", u"Codepage 1252 (Western)", KT_MAP(kMapCp1252)},
    {50, u"windows-1250", u"1250", u"Codepage 1250 (Central European)", KT_MAP(kMapCp1250)},
    {51, u"windows-1251", u"1251", u"Codepage 1251 (Cyrillic)", KT_MAP(kMapCp1251)},
    {53, u"windows-1253", u"1253", u"Codepage 1253 (Greek)", KT_MAP(kMapCp1253)},
    {54, u"windows-1254", u"1254", u"Codepage 1254 (Turkish)", KT_MAP(kMapCp1254)},
    {55, u"windows-1255", u"1255", u"Codepage 1255 (Hebrew)", KT_MAP(kMapCp1255)},
    {56, u"windows-1256", u"1256", u"Codepage 1256 (Arabic)", KT_MAP(kMapCp1256)},
    {57, u"windows-1257", u"1257", u"Codepage 1257 (Baltic)", KT_MAP(kMapCp1257)},
    {58, u"windows-1258", u"1258", u"Codepage 1258 (Vietnamese)", KT_MAP(kMapCp1258)},
    {80, u"windows-874", u"874", u"Codepage 874 (Thai)", KT_MAP(kMapCp874)},
    {92, u"Shift_JIS", u"SHIFT-JIS;MS-KANJI", u"Shift-JIS (Japanese)", KT_MAP(kMapCp932)},
    {200, u"EUC-JP", u"EUC-JP", u"EUC-JP (Japanese)", KT_MAP(kMapCp932)},
    {500, u"ISO-2022-JP", u"ISO-2022-JP", u"ISO-2022-JP (Japanese)", KT_MAP(kMapCp932)},
    {93, u"GB2312", u"2312;GBK;EUC-CN", u"GB2312 (Chinese)", KT_MAP(kMapCp936)},
    {94, u"EUC-KR", u"EUC-KR;UHC", u"EUC-KR (Korean)", KT_MAP(kMapCp949)},
    {95, u"Big5", u"BIG5;FIVE", u"Big5 (Taiwanese)", KT_MAP(kMapCp950)},
    {1001, u"UTF-7", u"UTF-7", u"Unicode UTF-7", nullptr, 0},
    {1000, u"UTF-8", u"UTF-8", u"Unicode UTF-8", nullptr, 0},
    {2000, u"UTF-16", u"UTF-16", u"Unicode UTF-16", nullptr, 0},
    {3000, u"ISO-10646-UCS-2", u"UCS-2", u"ISO-10646-UCS-2 (Unicode 16-bit)", nullptr, 0},
    {4000, u"ISO-10646-UCS-4", u"UCS-4", u"ISO-10646-UCS-4 (Unicode 32-bit)", nullptr, 0},
};

#undef KT_MAP

namespace {

// Names longer than this are looked at only up to this length; no alias key
// is longer than 11 characters, and no whole IANA name of kExactAliases
// longer than 45, so real names are never cut.
constexpr std::size_t kNameWorkLength = 47;

// Bytes of an entity's start searched for an encoding declaration.
constexpr unsigned kDeclarationWindow = 79;

char16_t UpperAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

struct Signature {
  unsigned char bytes[4];
  unsigned length;
  int id;
  int byteOrder;
};

// XML 1.0 Appendix F: byte-order marks and the first bytes of "<?xml" in the
// encoding families; tried in this order, the first match decides.
constexpr Signature kSignatures[] = {
    {{0x00, 0x00, 0x00, 0x3C}, 4, kEncodingUcs4, kByteOrderBig},
    {{0x00, 0x00, 0xFE, 0xFF}, 4, kEncodingUcs4, kByteOrderBig},
    {{0x3C, 0x00, 0x00, 0x00}, 4, kEncodingUcs4, kByteOrderLittle},
    {{0xFF, 0xFE, 0x00, 0x00}, 4, kEncodingUcs4, kByteOrderLittle},
    {{0x00, 0x00, 0x3C, 0x00}, 4, kEncodingUcs4, kByteOrder2143},
    {{0x00, 0x00, 0xFF, 0xFE}, 4, kEncodingUcs4, kByteOrder2143},
    {{0x00, 0x3C, 0x00, 0x00}, 4, kEncodingUcs4, kByteOrder3412},
    {{0xFE, 0xFF, 0x00, 0x00}, 4, kEncodingUcs4, kByteOrder3412},
    {{0xFE, 0xFF}, 2, kEncodingUtf16, kByteOrderBig},
    {{0xFF, 0xFE}, 2, kEncodingUtf16, kByteOrderLittle},
    {{0x00, 0x3C, 0x00, 0x3F}, 4, kEncodingUtf16, kByteOrderBig},
    {{0x3C, 0x00, 0x3F, 0x00}, 4, kEncodingUtf16, kByteOrderLittle},
    {{0xEF, 0xBB, 0xBF}, 3, kEncodingUtf8, kByteOrderNone},
    {{0x4C, 0x6F, 0xA7, 0x94}, 4, 31, kByteOrderNone},  // "<?xm" in EBCDIC
};

// Reads the value of the first "ENCODING = 'value'" in the upper-cased window.
// Returns false when a part of it is missing within the window.
bool FindDeclaredValue(const char* window, std::size_t size, std::size_t* begin, std::size_t* end) {
  std::string_view text(window, size);
  std::size_t pos = text.find("ENCODING");
  if (pos == std::string_view::npos) return false;
  pos = text.find('=', pos + 8);
  if (pos == std::string_view::npos) return false;
  pos = text.find_first_of("\"'", pos + 1);
  if (pos == std::string_view::npos || pos + 1 >= size) return false;
  std::size_t close = text.find_first_of("\"'", pos + 1);
  if (close == std::string_view::npos) return false;
  *begin = pos + 1;
  *end = close;
  return true;
}

// True when the key stands in the name and no digit follows it there: the
// key 8859-1 names ISO-8859-1, not ISO-8859-13, and IBM names EBCDIC, not
// IBM855.
bool ContainsKey(std::u16string_view name, std::u16string_view key) {
  for (std::size_t at = name.find(key); at != std::u16string_view::npos; at = name.find(key, at + 1)) {
    std::size_t after = at + key.size();
    if (after >= name.size() || name[after] < u'0' || name[after] > u'9') return true;
  }
  return false;
}

// IANA names of the encodings above that no alias key finds (or finds
// wrongly: IBM819 is Latin-1, not EBCDIC), matched as whole names after the
// case folding and '_' to '-' of EncodingIdFromName.
struct ExactAlias {
  std::u16string_view name;
  int id;
};
constexpr ExactAlias kExactAliases[] = {
    {u"LATIN1", 1}, {u"L1", 1}, {u"IBM819", 1}, {u"CP819", 1}, {u"CSISOLATIN1", 1}, {u"ISO-IR-100", 1},
    {u"LATIN2", 2}, {u"L2", 2}, {u"CSISOLATIN2", 2}, {u"ISO-IR-101", 2},
    {u"LATIN3", 3}, {u"L3", 3}, {u"CSISOLATIN3", 3}, {u"ISO-IR-109", 3},
    {u"LATIN4", 4}, {u"L4", 4}, {u"CSISOLATIN4", 4}, {u"ISO-IR-110", 4},
    {u"CYRILLIC", 5}, {u"CSISOLATINCYRILLIC", 5}, {u"ISO-IR-144", 5},
    {u"ARABIC", 6}, {u"ECMA-114", 6}, {u"ASMO-708", 6}, {u"CSISOLATINARABIC", 6}, {u"ISO-IR-127", 6},
    {u"GREEK", 7}, {u"GREEK8", 7}, {u"ELOT-928", 7}, {u"ECMA-118", 7}, {u"CSISOLATINGREEK", 7}, {u"ISO-IR-126", 7},
    {u"HEBREW", 8}, {u"CSISOLATINHEBREW", 8}, {u"ISO-IR-138", 8},
    {u"LATIN5", 9}, {u"L5", 9}, {u"CSISOLATIN5", 9}, {u"ISO-IR-148", 9},
    {u"CSTIS620", 11},
    {u"LATIN8", 14}, {u"L8", 14}, {u"ISO-CELTIC", 14}, {u"CSISO885914", 14}, {u"ISO-IR-199", 14},
    {u"LATIN-9", 15}, {u"CSISO885915", 15},
    {u"US", 30}, {u"ISO646-US", 30}, {u"ANSI-X3.4-1968", 30}, {u"ANSI-X3.4-1986", 30}, {u"ISO-646.IRV:1991", 30},
    {u"IBM367", 30}, {u"CP367", 30}, {u"CSASCII", 30}, {u"ISO-IR-6", 30},
    {u"EBCDIC-CP-CA", 31}, {u"EBCDIC-CP-WT", 31}, {u"EBCDIC-CP-NL", 31}, {u"CSIBM037", 31},
    {u"CSPC8CODEPAGE437", 40}, {u"CSPC850MULTILINGUAL", 41},
    {u"CSSHIFTJIS", 92},
    {u"CSEUCPKDFMTJAPANESE", 200}, {u"EXTENDED-UNIX-CODE-PACKED-FORMAT-FOR-JAPANESE", 200},
    {u"CSISO2022JP", 500},
    {u"CSEUCKR", 94},
    {u"CSUTF7", 1001}, {u"CSUTF8", 1000}, {u"CSUTF16", 2000}, {u"CSUTF16BE", 2000}, {u"CSUTF16LE", 2000},
    {u"CSUNICODE", 3000}, {u"CSUCS4", 4000},
};

// The longest name of kExactAliases.
constexpr std::size_t kLongestExactAlias = 45;
constexpr bool AliasesFit() {
  for (const ExactAlias& alias : kExactAliases)
    if (alias.name.size() > kLongestExactAlias) return false;
  return kLongestExactAlias < kNameWorkLength;
}
static_assert(AliasesFit(), "every whole alias is compared in full");

}  // namespace

int EncodingIdFromName(const char16_t* name) {
  if (!name) return 0;
  char16_t work[kNameWorkLength + 1];
  std::size_t length = 0;
  for (; length < kNameWorkLength && name[length]; ++length) {
    char16_t c = UpperAscii(name[length]);
    work[length] = c == u'_' ? u'-' : c;
  }
  work[length] = 0;
  std::u16string_view workName(work, length);
  if (length <= kLongestExactAlias && !name[length]) {
    for (const ExactAlias& alias : kExactAliases)
      if (alias.name == workName) return alias.id;
  }

  int bestId = 0;
  std::size_t bestLength = 0;
  bool taken = false;
  for (int row = kEncodingCount - 1; row >= 0; --row) {
    std::u16string_view keys(EncodingTable[row].aliasKeys);
    while (!keys.empty()) {
      std::size_t cut = keys.find(u';');
      std::u16string_view key = keys.substr(0, cut);
      keys = cut == std::u16string_view::npos ? std::u16string_view() : keys.substr(cut + 1);
      if (key.empty() || !ContainsKey(workName, key)) continue;
      if (!taken || key.size() > bestLength) {
        taken = true;
        bestId = EncodingTable[row].id;
        bestLength = key.size();
        break;
      }
    }
  }
  return bestId;
}

int EncodingIndexFromId(int id) {
  if (id < 1) return -1;
  for (int row = 0; row < kEncodingCount; ++row)
    if (EncodingTable[row].id == id) return row;
  return -1;
}

bool HasIso2022JpEscape(const unsigned char* bytes, unsigned length) {
  if (!bytes || length < 4) return false;
  const unsigned char* p = bytes;
  const unsigned char* last = bytes + (length - 4);
  while (p <= last) {
    p = static_cast<const unsigned char*>(std::memchr(p, 0x1B, std::size_t(last - p) + 1));
    if (!p) return false;
    if (p[1] == 0x24 && (p[2] == 0x42 || p[2] == 0x40)) return true;
    ++p;
  }
  return false;
}

int DetectEncoding(const char* bytes, unsigned int length, int* id, int* byteOrder,
                   char16_t* declaredName) {
  if (!id || !byteOrder) return 0;
  *id = 0;
  *byteOrder = 0;
  if (length < 4 || !bytes) return 0;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes);

  for (const Signature& sig : kSignatures) {
    if (std::memcmp(data, sig.bytes, sig.length) == 0) {
      *id = sig.id;
      *byteOrder = sig.byteOrder;
      return DetectNoDeclaration | DetectFound;
    }
  }

  char window[kDeclarationWindow + 1];
  std::size_t size = 0;
  for (; size < kDeclarationWindow && size < length && data[size]; ++size) {
    char c = bytes[size];
    window[size] = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
  }
  window[size] = 0;

  int flags = 0;
  bool declared = false;
  std::size_t begin = 0, end = 0;
  if (FindDeclaredValue(window, size, &begin, &end)) {
    char16_t value[kDeclarationWindow + 1];
    std::size_t n = 0;
    // The name as written (the window is upper-cased for the search).
    for (std::size_t i = begin; i < end; ++i) value[n++] = data[i];
    value[n] = 0;
    if (declaredName) std::memcpy(declaredName, value, (n + 1) * sizeof(char16_t));
    *id = EncodingIdFromName(value);
    declared = true;
    if (*id == 0) flags |= DetectUnknownName;
  }

  if (*id == 0 || *id == kEncodingShiftJis || *id == kEncodingEucJp) {
    if (HasIso2022JpEscape(data, length)) {
      if (*id != 0) flags |= DetectConflict;
      *id = kEncodingIso2022Jp;
    }
  }

  // A 16- or 32-bit form cannot be declared in an entity whose first bytes
  // read as single bytes.
  if (*id >= kEncodingUtf16) {
    *id = 0;
    flags |= DetectConflict;
  }

  if (!declared) flags |= DetectNoDeclaration;
  if (*id != 0) flags |= DetectFound;
  return flags;
}
