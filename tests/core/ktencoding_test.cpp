// Tests of the encoding table, encoding detection and the conversions between
// UTF-16 and the 38 encodings. Sample bytes were made once with Python's codecs.
#include "core/ktencoding.h"
#include "platform/ktutf8.h"
#include "core/ktstring.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>

using namespace std::literals;

namespace {

std::string HexBytes(std::string_view bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

std::string HexUnits(std::u16string_view text) {
  std::string out;
  char buf[6];
  for (char16_t c : text) {
    std::snprintf(buf, sizeof buf, "%04X ", unsigned(c));
    out += buf;
  }
  return out;
}

// Decodes through the entry point; nullopt when it fails. Checks the length
// convention and the terminating 0 unit on the way.
std::optional<std::u16string> Decode(std::string_view bytes, int id, int byteOrder = 0) {
  int length = int(bytes.size());
  std::unique_ptr<char16_t[]> text = DecodeToUtf16(bytes.data(), &length, id, byteOrder);
  if (!text) {
    EXPECT_EQ(length, 0);
    return std::nullopt;
  }
  EXPECT_EQ(text[length], 0);
  return std::u16string(text.get(), std::size_t(length));
}

std::optional<std::string> Encode(std::u16string_view text, int id, int byteOrder = 0,
                                  bool wideMark = false, bool utf8Mark = false) {
  int length = int(text.size());
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(text.data(), &length, id, byteOrder, wideMark, utf8Mark);
  if (!bytes) {
    EXPECT_EQ(length, 0);
    return std::nullopt;
  }
  EXPECT_EQ(bytes[length], 0);
  return std::string(bytes.get(), std::size_t(length));
}

// ---- encoding table and names -----------------------------------------------

TEST(EncodingNames, AliasesCaseAndSeparatorsLongestKeyWins) {
  struct Case {
    const char16_t* name;
    int id;
  } cases[] = {
      {u"ISO_8859-1", 1},        {u"iso-8859-1", 1},          {u"8859-1", 1},
      {u"latin1", 1},            {u"", 0},                    {u"x-none", 0},
      {u"ISO-8859-11", 11},      {u"TIS-620", 11},            {u"iso-8859-15", 15},
      {u"ISO-10646-UCS-2", 3000}, {u"ucs-4", 4000},           {u"UTF-16LE", 2000},
      {u"utf-8", 1000},          {u"utf_7", 1001},            {u"EUC-CN", 93},
      {u"GBK", 93},              {u"gb2312", 93},             {u"UHC", 94},
      {u"euc-kr", 94},           {u"FIVE", 95},               {u"big5", 95},
      {u"IBM037", 31},           {u"IBM437", 40},             {u"IBM850", 41},
      {u"ktdik-850", 42},        {u"windows-1252", 52},       {u"CP1252", 52},
      {u"windows-1250", 50},     {u"cp874", 80},              {u"Shift_JIS", 92},
      {u"ms_kanji", 92},         {u"euc-jp", 200},            {u"iso-2022-jp", 500},
      {u"us-ascii", 30},         {u"ISO-646", 30},            {u"ebcdic-cp-us", 31},
      // IANA aliases are whole names: IBM819 is Latin-1 (not EBCDIC by its
      // key IBM), latin10 is none of them.
      {u"L1", 1},                {u"IBM819", 1},              {u"csISOLatin2", 2},
      {u"iso-ir-100", 1},        {u"latin10", 0},             {u"Latin-9", 15},
      {u"ANSI_X3.4-1968", 30},   {u"ISO646-US", 30},          {u"csShiftJIS", 92},
      {u"csISO2022JP", 500},     {u"csEUCKR", 94},            {u"greek", 7},
      {u"Extended_UNIX_Code_Packed_Format_for_Japanese", 200},
      // Only the first 47 characters of a name are looked at.
      {u"x-very-long-encoding-name-padding-padding-padd-UTF-8", 0},
      {u"x-long-encoding-name-padding-padding-pad-UTF-8", 1000},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodingIdFromName(c.name), c.id) << HexUnits(c.name);
  EXPECT_EQ(EncodingIdFromName(nullptr), 0);
  // A key does not match where a digit follows it in the name.
  const Case digitAfterKey[] = {
      {u"ISO-8859-13", 0}, {u"ISO-8859-16", 0}, {u"IBM855", 0}, {u"IBM1047", 0},
      {u"windows-12521", 0}, {u"8859-1x", 1}, {u"IBM-037", 31},
  };
  for (const Case& c : digitAfterKey) EXPECT_EQ(EncodingIdFromName(c.name), c.id) << HexUnits(c.name);
}

TEST(EncodingNames, EveryCanonicalNameNamesItsOwnRow) {
  for (int row = 0; row < kEncodingCount; ++row) {
    const KTEncodingRow& r = EncodingTable[row];
    EXPECT_EQ(EncodingIdFromName(r.canonicalName), r.id) << "row " << row;
    // Each alias key alone, in lower case and with '_' for '-', names its row.
    std::u16string_view keys(r.aliasKeys);
    while (!keys.empty()) {
      std::u16string key(keys.substr(0, keys.find(u';')));
      keys.remove_prefix(std::min(keys.size(), key.size() + 1));
      for (char16_t& c : key) c = c == u'-' ? u'_' : (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
      EXPECT_EQ(EncodingIdFromName(key.c_str()), r.id) << "row " << row << " key " << HexUnits(key);
    }
    EXPECT_EQ(EncodingIndexFromId(r.id), row);
    // Code-page rows carry a byte map, the Unicode forms none.
    EXPECT_EQ(r.byteMap != nullptr, r.id < 1000) << "row " << row;
    EXPECT_EQ(r.byteMapSize % 2, 0u);
  }
  for (int id : {0, -1, 10, 999, 1002, 5000}) EXPECT_EQ(EncodingIndexFromId(id), -1) << id;
}

// ---- detection ----------------------------------------------------------------

struct Detected {
  int flags;
  int id;
  int byteOrder;
  std::u16string declared;
};

Detected Detect(std::string_view bytes) {
  Detected d{};
  char16_t declared[80] = u"unknown";
  d.flags = DetectEncoding(bytes.data(), unsigned(bytes.size()), &d.id, &d.byteOrder, declared);
  d.declared = declared;
  return d;
}

TEST(EncodingDetection, SignaturesInOrder) {
  struct Case {
    std::string_view bytes;
    int id;
    int byteOrder;
  } cases[] = {
      {"\x00\x00\x00\x3C"sv, 4000, 2}, {"\x00\x00\xFE\xFF"sv, 4000, 2},
      {"\x3C\x00\x00\x00"sv, 4000, 1}, {"\xFF\xFE\x00\x00"sv, 4000, 1},
      {"\x00\x00\x3C\x00"sv, 4000, 8}, {"\x00\x00\xFF\xFE"sv, 4000, 8},
      {"\x00\x3C\x00\x00"sv, 4000, 4}, {"\xFE\xFF\x00\x00"sv, 4000, 4},
      {"\xFE\xFF\x00\x3C"sv, 2000, 2}, {"\xFF\xFE\x3C\x00"sv, 2000, 1},
      {"\x00\x3C\x00\x3F"sv, 2000, 2}, {"\x3C\x00\x3F\x00"sv, 2000, 1},
      {"\xEF\xBB\xBF<a/>"sv, 1000, 0}, {"\x4C\x6F\xA7\x94"sv, 31, 0},
  };
  for (const auto& c : cases) {
    Detected d = Detect(c.bytes);
    EXPECT_EQ(d.flags, DetectNoDeclaration | DetectFound) << HexBytes(c.bytes);
    EXPECT_EQ(d.id, c.id) << HexBytes(c.bytes);
    EXPECT_EQ(d.byteOrder, c.byteOrder) << HexBytes(c.bytes);
    EXPECT_EQ(d.declared, u"unknown");
  }
}

TEST(EncodingDetection, Declarations) {
  // A declaration whose closing quote lies past the 79th byte is not read.
  std::string farValue = "<?xml version=\"1.0\"" + std::string(50, ' ') + "encoding=\"ISO-8859-1\"?>";
  struct Case {
    std::string bytes;
    int flags;
    int id;
    std::u16string declared;
  } cases[] = {
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", 9, 1000, u"unknown"},
      {"<?xml version='1.0' encoding='utf-8'?><a/>", 8, 1000, u"utf-8"},
      {"<?xml version=\"1.0\" encoding = \"windows-1252\" ?>", 8, 52, u"windows-1252"},
      {"<?xml version='1.0' encoding=\"Shift_JIS'?>", 8, 92, u"Shift_JIS"},
      {"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>", 4, 0, u"UTF-16"},
      {"<?xml version=\"1.0\" encoding=\"x-none\"?><a/>", 2, 0, u"x-none"},
      {"<?xml version=\"1.0\" encoding=\"\"?><a/>", 2, 0, u""},
      {"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a>\x1B$B$\"\x1B(B</a>", 12, 500, u"Shift_JIS"},
      {"<?xml version=\"1.0\" encoding=\"EUC-JP\"?><a>\x1B$@$\"\x1B(B</a>", 12, 500, u"EUC-JP"},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\x1B$B</a>", 8, 1000, u"UTF-8"},
      {"<a>\x1B$B$\"\x1B(B</a>", 9, 500, u"unknown"},
      {"<a/>", 1, 0, u"unknown"},
      // "ENCODING" is looked for anywhere in the first bytes, not only in a declaration.
      {"<!-- encoding = 'ISO-8859-2' --><a/>", 8, 2, u"ISO-8859-2"},
      {"<?xml version=\"1.0\" encoding=\"UTF-8", 1, 0, u"unknown"},
      {farValue, 1, 0, u"unknown"},
      // A zero byte ends the bytes searched.
      {"<?xml\0 encoding='UTF-8'?>"s, 1, 0, u"unknown"},
  };
  for (const auto& c : cases) {
    Detected d = Detect(c.bytes);
    EXPECT_EQ(d.flags, c.flags) << c.bytes;
    EXPECT_EQ(d.id, c.id) << c.bytes;
    EXPECT_EQ(d.byteOrder, 0) << c.bytes;
    EXPECT_EQ(d.declared, c.declared) << c.bytes;
  }
}

TEST(EncodingDetection, ShortInputAndMissingOutputs) {
  int id = 7, order = 7;
  EXPECT_EQ(DetectEncoding("\xEF\xBB\xBF", 3, &id, &order, nullptr), 0);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(order, 0);
  EXPECT_EQ(DetectEncoding("<a/>", 4, nullptr, &order, nullptr), 0);
  EXPECT_EQ(DetectEncoding("<a/>", 4, &id, nullptr, nullptr), 0);
  // No declared-name buffer: the value is still used.
  EXPECT_EQ(DetectEncoding("<?xml encoding='UTF-8'?>", 24, &id, &order, nullptr), DetectFound);
  EXPECT_EQ(id, 1000);
}

// What a document loader does: detect, then decode with the detected id.
TEST(EncodingDetection, DetectedEntitiesDecode) {
  struct Case {
    std::string_view bytes;
    std::u16string text;
  } cases[] = {
      // The byte-order mark outranks the declaration.
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xC3\xA9</a>"sv,
       u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>é</a>"},
      {"\xFF\xFE<\0a\0>\0\xE9\0<\0/\0a\0>\0"sv, u"<a>é</a>"},
      {"\xFE\xFF\0<\0a\0/\0>"sv, u"<a/>"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xE9</a>"sv,
       u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>é</a>"},
      {"\0\0\xFE\xFF\0\0\0<\0\0\0a\0\0\0>"sv, u"<a>"},
  };
  for (const auto& c : cases) {
    int id = 0, order = 0;
    ASSERT_NE(DetectEncoding(c.bytes.data(), unsigned(c.bytes.size()), &id, &order, nullptr) & DetectFound, 0);
    auto text = Decode(c.bytes, id, order);
    ASSERT_TRUE(text) << HexBytes(c.bytes);
    EXPECT_EQ(HexUnits(*text), HexUnits(c.text));
    EXPECT_EQ(UnconvertibleCount, 0);
  }
}

// ---- every encoding: decode a sample and encode it back ----------------------

struct Sample {
  int id;
  int byteOrder;
  bool mark;
  std::string_view bytes;
  std::u16string_view text;
};

const Sample kSamples[] = {
    {1, 0, false, "\x47\x72\xF6\xDF\x65\x3A\x20\x33\xBD\x20\xD7\x20\x34\x20\xBF\x51\x75\xE9\x3F\x20\xAB\xC7\x61\xBB\x20\xFF"sv, u"Größe: 3½ × 4 ¿Qué? «Ça» ÿ"},
    {2, 0, false, "\x5A\x61\xBF\xF3\xB3\xE6\x20\x67\xEA\xB6\x6C\xB1\x20\x6A\x61\xBC\xF1\x20\xAB\xF8"sv, u"Zażółć gęślą jaźń Ťř"},
    {3, 0, false, "\xC6\x75\x20\xF8\x69\x20\xFE\x61\x6E\xF8\x69\xF8\x61\x73\x3F\x20\xA1\x61\xF5\x61\x72\x20\xBF\x65\x62\x62\x75\xF5"sv, u"Ĉu ĝi ŝanĝiĝas? Ħaġar żebbuġ"},
    {4, 0, false, "\xC0\x20\xBA\x20\xEF\x20\xFE\x20\xB3\x20\xB6\x20\xF3\x20\xF1\x20\xA2"sv, u"Ā ē ī ū ŗ ļ ķ ņ ĸ"},
    {5, 0, false, "\xBF\xE0\xD8\xD2\xD5\xE2\x2C\x20\xDC\xD8\xE0\x21\x20\xF0\x20\xA2"sv, u"Привет, мир! № Ђ"},
    // The digit bytes read as Arabic-Indic digits.
    {6, 0, false, "\xE5\xD1\xCD\xC8\xC7\x20\xAC\x20\xBF\x20\x31\x32\x33"sv, u"مرحبا ، ؟ 123"},
    {7, 0, false, "\xCA\xE1\xEB\xE7\xEC\xDD\xF1\xE1\x20\xEA\xFC\xF3\xEC\xE5\x20\xC0"sv, u"Καλημέρα κόσμε ΐ"},
    {8, 0, false, "\xF9\xEC\xE5\xED\x20\xF2\xE5\xEC\xED\x20\xAA\xBA"sv, u"שלום עולם ×÷"},
    {9, 0, false, "\xDD\x73\x74\x61\x6E\x62\x75\x6C\x27\x64\x61\x20\xF0\xFC\xFE\xFD\xF6\xE7"sv, u"İstanbul'da ğüşıöç"},
    {11, 0, false, "\xC0\xD2\xC9\xD2\xE4\xB7\xC2\x20\xF1\xF2"sv, u"ภาษาไทย ๑๒"},
    {14, 0, false, "\xD0\xFE\x20\xA2\x20\xB8\x20\xBE\x20\xBC"sv, u"Ŵŷ ḃ ẁ ẅ ỳ"},
    {15, 0, false, "\xA4\x20\xBD\x20\xA6\x20\xB8\x20\xBE"sv, u"€ œ Š ž Ÿ"},
    {30, 0, false, "\x48\x65\x6C\x6C\x6F\x20\x3C\x77\x6F\x72\x6C\x64\x3E\x20\x26\x20\x7E\x7B\x7D\x7C"sv, u"Hello <world> & ~{}|"},
    {31, 0, false, "\xC8\x85\x93\x93\x96\x6B\x40\xE6\x96\x99\x93\x84\x5A\x40\xF1\xF2\xF3\x40\x4C\x81\x61\x6E"sv, u"Hello, World! 123 <a/>"},
    {40, 0, false, "\xC9\xCD\xBB\x20\xA4\x20\x81\x20\xAB\x20\xB0\x20\xE1"sv, u"╔═╗ ñ ü ½ ░ ß"},
    {42, 0, false, "\xB0\xB1\xB2\x20\x82\x20\xB3"sv, u"œŒ€ é │"},
    {41, 0, false, "\xA5\x61\x6E\x64\xA3\x20\x92\x9D\x8F\x20\xB0\x20\xCF"sv, u"Ñandú ÆØÅ ░ ¤"},
    {52, 0, false, "\x93\x53\x6D\x61\x72\x74\x94\x20\x71\x75\x6F\x74\x65\x73\x20\x96\x20\x80\x20\x99\x20\x9C"sv, u"“Smart” quotes – € ™ œ"},
    {50, 0, false, "\x50\xF8\xED\x6C\x69\x9A\x20\x9E\x6C\x75\x9D\x6F\x75\xE8\x6B\xFD\x20\x6B\xF9\xF2"sv, u"Příliš žluťoučký kůň"},
    {51, 0, false, "\xD1\xFA\xE5\xF8\xFC\x20\xE6\xE5\x20\xE5\xF9\xB8\x20\xA5"sv, u"Съешь же ещё Ґ"},
    {53, 0, false, "\xC5\xEB\xEB\xE7\xED\xE9\xEA\xDC\x20\xA2\xB8\xB9"sv, u"Ελληνικά ΆΈΉ"},
    {54, 0, false, "\xD0\xF0\x20\xDD\xFD\x20\xDE\xFE"sv, u"Ğğ İı Şş"},
    {55, 0, false, "\xF2\xE1\xF8\xE9\xFA\x20\xA4"sv, u"עברית ₪"},
    {56, 0, false, "\xC7\xE1\xDA\xD1\xC8\xED\xC9\x20\x81"sv, u"العربية پ"},
    {57, 0, false, "\xC0\xE8\xE6\xEB\xE1\xF0\xF8\xFB\xFE"sv, u"Ąčęėįšųūž"},
    {58, 0, false, "\x54\x69\xEA\xEC\x6E\x67\x20\x56\x69\xEA\xF2\x74\x20\xF0\x20\xFD\x20\xF5\x20\xFE"sv, u"Tiê\u0301ng Viê\u0323t đ ư ơ ₫"},
    {80, 0, false, "\xC0\xD2\xC9\xD2\xE4\xB7\xC2\x20\x80"sv, u"ภาษาไทย €"},
    {92, 0, false, "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x65\x83\x4C\x83\x58\x83\x67\x81\x41\xB6\xC0\xB6\xC5\x81\x45\x8A\xBF\x8E\x9A"sv, u"日本語のテキスト、ｶﾀｶﾅ・漢字"},
    {200, 0, false, "\xC6\xFC\xCB\xDC\xB8\xEC\xA4\xCE\xA5\xC6\xA5\xAD\xA5\xB9\xA5\xC8\xA1\xA2\x8E\xB6\x8E\xC0\x8E\xB6\x8E\xC5\xA1\xA6\xB4\xC1\xBB\xFA"sv, u"日本語のテキスト、ｶﾀｶﾅ・漢字"},
    {500, 0, false, "\x1B\x24\x42\x46\x7C\x4B\x5C\x38\x6C\x1B\x28\x42\x20\x74\x65\x78\x74\x20\x1B\x24\x42\x24\x2B\x24\x4A\x1B\x28\x42"sv, u"日本語 text かな"},
    {93, 0, false, "\xD6\xD0\xCE\xC4\xBC\xF2\xCC\xE5\xD7\xD6\xA3\xAC\xC4\xE3\xBA\xC3\x20\x41"sv, u"中文简体字，你好 A"},
    {94, 0, false, "\xC7\xD1\xB1\xB9\xBE\xEE\x20\xC5\xD8\xBD\xBA\xC6\xAE\x20\x41"sv, u"한국어 텍스트 A"},
    {95, 0, false, "\xA4\xA4\xA4\xE5\xC1\x63\xC5\xE9\xA6\x72\xA1\x41\xA7\x41\xA6\x6E\x20\x41"sv, u"中文繁體字，你好 A"},
    {1000, 0, false, "\x68\xC3\xA9\x6C\x6C\x6F\x20\xE6\x97\xA5\x20\xF0\x9F\x98\x80"sv, u"héllo 日 😀"},
    {2000, 1, true, "\xFF\xFE\x68\x00\xE9\x00\x6C\x00\x6C\x00\x6F\x00\x20\x00\xE5\x65\x20\x00\x3D\xD8\x00\xDE"sv, u"héllo 日 😀"},
    {2000, 2, true, "\xFE\xFF\x00\x68\x00\xE9\x00\x6C\x00\x6C\x00\x6F\x00\x20\x65\xE5\x00\x20\xD8\x3D\xDE\x00"sv, u"héllo 日 😀"},
    {3000, 2, false, "\x00\x68\x00\xE9\x00\x6C\x00\x6C\x00\x6F\x00\x20\x65\xE5\x00\x20\xD8\x3D\xDE\x00"sv, u"héllo 日 😀"},
    {4000, 1, true, "\xFF\xFE\x00\x00\x68\x00\x00\x00\xE9\x00\x00\x00\x6C\x00\x00\x00\x6C\x00\x00\x00\x6F\x00\x00\x00\x20\x00\x00\x00\xE5\x65\x00\x00\x20\x00\x00\x00\x00\xF6\x01\x00"sv, u"héllo 日 😀"},
    {4000, 2, true, "\x00\x00\xFE\xFF\x00\x00\x00\x68\x00\x00\x00\xE9\x00\x00\x00\x6C\x00\x00\x00\x6C\x00\x00\x00\x6F\x00\x00\x00\x20\x00\x00\x65\xE5\x00\x00\x00\x20\x00\x01\xF6\x00"sv, u"héllo 日 😀"},
    {4000, 8, true, "\x00\x00\xFF\xFE\x00\x00\x68\x00\x00\x00\xE9\x00\x00\x00\x6C\x00\x00\x00\x6C\x00\x00\x00\x6F\x00\x00\x00\x20\x00\x00\x00\xE5\x65\x00\x00\x20\x00\x01\x00\x00\xF6"sv, u"héllo 日 😀"},
    {4000, 4, true, "\xFE\xFF\x00\x00\x00\x68\x00\x00\x00\xE9\x00\x00\x00\x6C\x00\x00\x00\x6C\x00\x00\x00\x6F\x00\x00\x00\x20\x00\x00\x65\xE5\x00\x00\x00\x20\x00\x00\xF6\x00\x00\x01"sv, u"héllo 日 😀"},
};

// One rule for the whole program: a lone surrogate becomes U+FFFD in every
// UTF-16 to UTF-8 (or UCS-4) converter, never bytes no decoder accepts.
TEST(EncodingConversion, LoneSurrogatesBecomeTheReplacementCharacter) {
  const std::u16string lone = std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC00);
  auto utf8 = Encode(lone, kEncodingUtf8);
  ASSERT_TRUE(utf8);
  EXPECT_EQ(*utf8, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(UnconvertibleCount, 2);
  auto ucs4 = Encode(lone, kEncodingUcs4, kByteOrderBig);
  ASSERT_TRUE(ucs4);
  EXPECT_EQ(HexBytes(*ucs4), HexBytes(std::string("\0\0\0a\0\0\xFF\xFD\0\0\0b\0\0\xFF\xFD", 16)));
  EXPECT_EQ(KTUtf16ToUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  KTString bytes{std::u16string_view(lone)};
  bytes.EncodeUtf8Bytes();
  EXPECT_EQ(HexUnits(bytes.View()), HexUnits(u"a\u00EF\u00BF\u00BDb\u00EF\u00BF\u00BD"));
}

TEST(EncodingConversion, EverySampleDecodesAndEncodesBack) {
  std::map<int, int> seen;
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(testing::Message() << "id " << s.id << " order " << s.byteOrder);
    ++seen[s.id];
    auto text = Decode(s.bytes, s.id, s.byteOrder);
    ASSERT_TRUE(text);
    EXPECT_EQ(HexUnits(*text), HexUnits(s.text));
    EXPECT_EQ(UnconvertibleCount, 0);
    auto bytes = Encode(s.text, s.id, s.byteOrder, s.mark);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(HexBytes(*bytes), HexBytes(s.bytes));
    EXPECT_EQ(UnconvertibleCount, 0);
  }
  // UTF-7 has more than one correct spelling: compared by round trip.
  std::u16string utf7Text = u"Hi Mom -☺-! A+B é~\\ 😀 <a b='c'/>";
  auto utf7 = Encode(utf7Text, 1001);
  ASSERT_TRUE(utf7);
  for (unsigned char c : *utf7) EXPECT_LT(c, 0x80);
  auto back = Decode(*utf7, 1001);
  ASSERT_TRUE(back);
  EXPECT_EQ(HexUnits(*back), HexUnits(utf7Text));
  seen[1001] = 1;
  for (int row = 0; row < kEncodingCount; ++row)
    EXPECT_TRUE(seen.count(EncodingTable[row].id)) << "no sample for id " << EncodingTable[row].id;
}

// ---- code pages ---------------------------------------------------------------

TEST(EncodingCodePages, DecodeReplacesAndCounts) {
  struct Case {
    int id;
    std::string_view bytes;
    std::u16string_view text;
    int unconvertible;
  } cases[] = {
      {1, "A\x80\xE9"sv, u"A\uFFFD\u00E9", 1},
      {0, "A\x80\xE9"sv, u"A\u0080\u00E9", 0},
      {1, "\t\x7F"sv, u"\t\uFFFD", 1},
      {30, "a\x80\xFF"sv, u"a\uFFFD\uFFFD", 2},
      {6, "019"sv, u"019", 0},  // the ASCII digits, as every ISO 8859-6 decoder reads them
      {7, "\xA1\xA2\xA4"sv, u"\u02BD\u02BC\uFFFD", 1},
      {8, "\xAF\xFD"sv, u"\u203E\uFFFD", 1},
      {31, "\xC1\x05\x25"sv, u"A\t\n", 0},
      {41, "\xB0\xB1\xB2"sv, u"░▒▓", 0},
      {42, "\xB0\xB1\xB2"sv, u"œŒ€", 0},
      {52, "\x81"sv, u"\uFFFD", 1},
      {92, "\x82\xA0\xB1"sv, u"\u3042\uFF71", 0},
      {92, "\x82\xA0\x82"sv, u"\u3042\uFFFD", 1},  // a lead byte at the end
      {92, "\xF0\x40\xA0"sv, u"\uFFFD\uFFFD", 2},  // user-defined rows and A0 are not mapped
      {92, "\x80<"sv, u"\uFFFD", 1},               // any byte from 80 outside A1-DF leads
      {200, "\xA4\xA2"sv, u"\u3042", 0},
      {200, "\x8E\xB1\x8E\x41"sv, u"\uFF71\uFFFD", 1},
      {200, "\x8F\xB0\xA1<"sv, u"\uFFFD<", 1},     // JIS X 0212 is not mapped
      {200, "<\xA4"sv, u"<\uFFFD", 1},
      {500, "\x1B\x24\x42\x24\x22\x1B\x28\x42\x41"sv, u"\u3042A", 0},
      {500, "\x1B\x24\x40\x24\x22\x1B\x28\x4A\x41"sv, u"\u3042A", 0},
      {500, "\x1B\x24\x28\x44\x24\x22\x1B\x28\x42\x41"sv, u"\u3042A", 0},
      {500, "\x1B\x41\x42"sv, u"AB", 0},           // a stray ESC is dropped
      {500, "A\x1B\x24"sv, u"A", 0},               // an escape cut off ends the text
      {500, "\x1B\x24\x42\x24"sv, u"\uFFFD", 1},
      {93, "\x81\x40\xB0\xA1"sv, u"\u4E02\u554A", 0},
      {94, "\xB0\xA1\x81\x41"sv, u"\uAC00\uAC02", 0},
      {94, "\xA2\xE6"sv, u"\uFFFD", 1},
      {95, "\xA4\x40\xA3\xE1\xC6\xA1"sv, u"\u4E00\uFFFD\uFFFD", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "id " << c.id << " bytes " << HexBytes(c.bytes));
    auto text = Decode(c.bytes, c.id);
    ASSERT_TRUE(text);
    EXPECT_EQ(HexUnits(*text), HexUnits(c.text));
    EXPECT_EQ(UnconvertibleCount, c.unconvertible);
  }
}

TEST(EncodingCodePages, EncodeReplacesAndCounts) {
  struct Case {
    int id;
    std::u16string_view text;
    std::string_view bytes;
    int unconvertible;
  } cases[] = {
      {30, u"é", "_"sv, 1},
      {30, u"_\uFFFD", "__"sv, 0},
      {1, u"A€\u007F", "A__"sv, 2},
      {0, u"é\u3042", "\xE9_"sv, 1},
      {6, u"\u0661" u"1\u0669", "119"sv, 0},  // Arabic-Indic digits are written as the digits' bytes
      {31, u"A\t", "\xC1\x05"sv, 0},
      {31, u"\u00AC\u20AC", "\x5F\x5F"sv, 1},  // 5F is the code of U+00AC in EBCDIC
      {42, u"€", "\xB2"sv, 0},
      {41, u"€", "_"sv, 1},
      {92, u"\u3042\uFF71", "\x82\xA0\xB1"sv, 0},
      {92, u"\uFFE2", "\xFA\x54"sv, 0},  // several codes: the last one is written
      {92, u"\u3042\u00E9", "\x82\xA0_"sv, 1},
      {200, u"\u3042\uFF71", "\xA4\xA2\x8E\xB1"sv, 0},
      {200, u"A\u00E9\uFF71", "A_\x8E\xB1"sv, 1},
      {500, u"\u3042A", "\x1B\x24\x42\x24\x22\x1B\x28\x42\x41"sv, 0},
      {500, u"A\u3042", "A\x1B\x24\x42\x24\x22\x1B\x28\x42"sv, 0},
      {500, u"\uFF71", "_"sv, 1},  // half-width katakana have no 7-bit form
      {93, u"\u4E02", "\x81\x40"sv, 0},
      {94, u"\uAC00", "\xB0\xA1"sv, 0},
      {95, u"\u4E00\u00E9", "\xA4\x40_"sv, 1},
      {92, u"", ""sv, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "id " << c.id << " text " << HexUnits(c.text));
    auto bytes = Encode(c.text, c.id);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(HexBytes(*bytes), HexBytes(c.bytes));
    EXPECT_EQ(UnconvertibleCount, c.unconvertible);
  }
}

TEST(EncodingCodePages, IdsWithoutConverterFail) {
  for (int id : {-1, 10, 89, 91, 96, 1002, 1999}) {
    EXPECT_FALSE(Decode("abc", id)) << id;
    EXPECT_FALSE(Encode(u"abc", id)) << id;
  }
  char16_t out[4];
  unsigned count = 3;
  EXPECT_FALSE(DecodeDoubleByte("abc", out, &count, 30, 0, 0));
  EXPECT_FALSE(DecodeSingleByte("abc", out, 3, -5));
}

// Every byte of every single-byte map decodes to its character and encodes back.
TEST(EncodingCodePages, SingleByteMapsRoundTripEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += char(b);
  for (int row = 0; row < kEncodingCount; ++row) {
    const KTEncodingRow& r = EncodingTable[row];
    if (r.id >= 90) continue;
    SCOPED_TRACE(testing::Message() << "id " << r.id);
    auto text = Decode(all, r.id);
    ASSERT_TRUE(text);
    ASSERT_EQ(text->size(), 256u);
    std::u16string expected(256, u'\uFFFD');
    for (int b = 0; b < 0x20; ++b) expected[b] = char16_t(b);
    for (unsigned i = 0; i < r.byteMapSize; i += 2) expected[r.byteMap[i]] = r.byteMap[i + 1];
    EXPECT_EQ(HexUnits(*text), HexUnits(expected));
    std::string mapped;
    std::u16string mappedText;
    for (int b = 0; b < 256; ++b) {
      if ((*text)[b] == u'\uFFFD') continue;
      mapped += char(b);
      mappedText += (*text)[b];
    }
    auto bytes = Encode(mappedText, r.id);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(HexBytes(*bytes), HexBytes(mapped));
  }
}

// All codes of the double-byte maps decode to their characters; every mapped
// character encodes to its last code, and in the Japanese variants to bytes
// that read back as the same character.
TEST(EncodingCodePages, DoubleByteMapsRoundTripEveryCode) {
  for (int id : {92, 93, 94, 95}) {
    SCOPED_TRACE(testing::Message() << "id " << id);
    const KTEncodingRow& r = EncodingTable[EncodingIndexFromId(id)];
    std::string codes;
    std::u16string chars;
    std::map<char16_t, unsigned> lastCode;
    for (unsigned i = 0; i < r.byteMapSize; i += 2) {
      unsigned code = r.byteMap[i];
      if (code >= 256) codes += char(code >> 8);
      codes += char(code & 0xFF);
      chars += char16_t(r.byteMap[i + 1]);
      lastCode[char16_t(r.byteMap[i + 1])] = code;
    }
    auto text = Decode(codes, id);
    ASSERT_TRUE(text);
    EXPECT_TRUE(*text == chars);
    EXPECT_EQ(UnconvertibleCount, 0);

    std::u16string distinct;
    std::string expected;
    for (const auto& [c, code] : lastCode) {
      distinct += c;
      if (code >= 256) expected += char(code >> 8);
      expected += char(code & 0xFF);
    }
    auto bytes = Encode(distinct, id);
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(*bytes == expected);
    EXPECT_EQ(UnconvertibleCount, 0);

    if (id != 92) continue;
    std::u16string jis;  // what ISO-2022-JP can carry: no half-width katakana
    for (char16_t c : distinct)
      if ((c < 0xFF61 || c > 0xFF9F) && c != 0x1B) jis += c;
    auto euc = Encode(distinct, 200);
    ASSERT_TRUE(euc);
    EXPECT_EQ(UnconvertibleCount, 0);
    auto eucBack = Decode(*euc, 200);
    ASSERT_TRUE(eucBack);
    EXPECT_TRUE(*eucBack == distinct) << "EUC-JP";
    auto iso = Encode(jis, 500);
    ASSERT_TRUE(iso);
    EXPECT_EQ(UnconvertibleCount, 0);
    for (unsigned char b : *iso) ASSERT_LT(b, 0x80);
    auto isoBack = Decode(*iso, 500);
    ASSERT_TRUE(isoBack);
    EXPECT_TRUE(*isoBack == jis) << "ISO-2022-JP";
  }
}

TEST(EncodingCodePages, ShiftJisToJis) {
  struct Case {
    int lead, trail, row, cell;
  } cases[] = {{0x82, 0xA0, 0x24, 0x22}, {0x81, 0x40, 0x21, 0x21}, {0x88, 0x9F, 0x30, 0x21},
               {0x9F, 0xFC, 0x5E, 0x7E}, {0xE0, 0x40, 0x5F, 0x21}, {0xEA, 0xA4, 0x74, 0x26}};
  for (const auto& c : cases) {
    int lead = c.lead, trail = c.trail;
    ShiftJisToJis(&lead, &trail);
    EXPECT_EQ(lead, c.row) << std::hex << c.lead << ' ' << c.trail;
    EXPECT_EQ(trail, c.cell) << std::hex << c.lead << ' ' << c.trail;
  }
}

// ---- Unicode forms ------------------------------------------------------------

TEST(EncodingUtf8, StrictDecoding) {
  struct Case {
    std::string_view bytes;
    std::u16string_view text;
    int unconvertible;
  } cases[] = {
      {"\xC3\xA9"sv, u"\u00E9", 0},
      {"\xF0\x9F\x98\x80"sv, u"\U0001F600", 0},
      {"\xF4\x8F\xBF\xBF"sv, u"\U0010FFFF", 0},
      {"\xEF\xBB\xBF" "A"sv, u"A", 0},
      {"A\xEF\xBB\xBF"sv, u"A\uFEFF", 0},
      {"\xEF\xBB\xBF\xEF\xBB\xBF" "A"sv, u"\uFEFF" u"A", 0},  // only the signature goes
      {"\xEF\xBF\xBE"sv, u"\uFFFD", 1},             // U+FFFE is replaced, never dropped
      {"\xC0\xBC"sv, u"\uFFFD", 1},              // overlong '<'
      {"\xE0\x80\xBC"sv, u"\uFFFD", 1},
      {"\xF0\x80\x80\xBC"sv, u"\uFFFD", 1},
      {"\xED\xA0\x80\xED\xB0\x80"sv, u"\uFFFD\uFFFD", 2},  // encoded surrogates
      {"\xF4\x90\x80\x80"sv, u"\uFFFD", 1},      // above U+10FFFF
      {"\xF8\x88\x80\x80\x80"sv, u"\uFFFD", 1},  // five-byte form
      {"\xFC\x84\x80\x80\x80\x80"sv, u"\uFFFD", 1},
      {"\x80"sv, u"\uFFFD", 1},                  // stray continuation byte
      {"a\xBF\xBF" "b"sv, u"a\uFFFD\uFFFDb", 2},
      {"\xC3(<"sv, u"\uFFFD(<", 1},             // bad trailing byte is read again
      {"\xE2\x82<a"sv, u"\uFFFD<a", 1},
      {"\xFF<"sv, u"\uFFFD<", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(HexBytes(c.bytes));
    auto text = Decode(c.bytes, 1000);
    ASSERT_TRUE(text);
    EXPECT_EQ(HexUnits(*text), HexUnits(c.text));
    EXPECT_EQ(UnconvertibleCount, c.unconvertible);
  }
  // A sequence cut off by the end of the input fails the conversion.
  for (std::string_view cut : {"\xC3"sv, "abc\xE2\x82"sv, "\xF0\x9F\x98"sv, "\xF8\x88"sv})
    EXPECT_FALSE(Decode(cut, 1000)) << HexBytes(cut);
}

TEST(EncodingUtf8, EncodingAndSignature) {
  struct Case {
    std::u16string_view text;
    bool mark;
    std::string_view bytes;
  } cases[] = {
      {u"\u00E9", false, "\xC3\xA9"sv},
      {u"\u20AC", false, "\xE2\x82\xAC"sv},
      {u"\U0001F600", false, "\xF0\x9F\x98\x80"sv},
      {u"\xD800", false, "\xEF\xBF\xBD"sv},  // an unpaired surrogate has no UTF-8 form: U+FFFD
      {u"\xDC00\xD800", false, "\xEF\xBF\xBD\xEF\xBF\xBD"sv},
      {u"A", true, "\xEF\xBB\xBF" "A"sv},
      {u"", true, "\xEF\xBB\xBF"sv},
      {u"\uFFFF", false, "\xEF\xBF\xBF"sv},
  };
  for (const auto& c : cases) {
    auto bytes = Encode(c.text, 1000, 0, true, c.mark);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(HexBytes(*bytes), HexBytes(c.bytes)) << HexUnits(c.text);
  }
}

// The converter may be resumed after ConvertTargetFull and then gives the same
// text, whatever the room offered each time.
TEST(EncodingUtf8, ResumesAfterTargetFull) {
  std::string bytes = "plain ascii run of text, then é€😀 and more ascii after it \xC0\xBC.";
  std::u16string whole = *Decode(bytes, 1000);
  // Two units is the least room that always makes progress (a surrogate pair).
  for (std::size_t room : {2u, 3u, 7u, 9u, 16u, 17u, 40u}) {
    std::u16string out;
    const char* source = bytes.data();
    const char* sourceEnd = source + bytes.size();
    ConvertStatus status;
    do {
      char16_t chunk[40];
      char16_t* target = chunk;
      const char* before = source;
      status = Utf8ToUtf16(source, sourceEnd, target, chunk + room);
      out.append(chunk, target);
      ASSERT_TRUE(source > before || status != ConvertTargetFull) << "no progress, room " << room;
    } while (status == ConvertTargetFull);
    EXPECT_EQ(status, ConvertDone);
    EXPECT_EQ(HexUnits(out), HexUnits(whole)) << "room " << room;
  }
}

// ASCII runs are decoded many bytes at a time: a character of two, three or
// four bytes, or a malformed byte, at any place of a run comes out the same.
TEST(EncodingUtf8, NonAsciiAtEveryPlaceOfAnAsciiRun) {
  struct Case {
    std::string_view bytes;
    std::u16string_view text;
  } cases[] = {
      {"\xC3\xA9"sv, u"\u00E9"},
      {"\xE2\x82\xAC"sv, u"\u20AC"},
      {"\xF0\x9F\x98\x80"sv, u"\U0001F600"},
      {"\xC0"sv, u"\uFFFD"},
  };
  for (const Case& c : cases) {
    for (std::size_t before = 0; before <= 40; ++before) {
      const std::string bytes = std::string(before, 'a') + std::string(c.bytes) + std::string(21, 'b');
      const std::u16string text = std::u16string(before, u'a') + std::u16string(c.text) + std::u16string(21, u'b');
      EXPECT_EQ(HexUnits(*Decode(bytes, 1000)), HexUnits(text)) << HexUnits(c.text) << " after " << before;
    }
  }
}

// ASCII runs are encoded many units at a time: a character of two, three or
// four bytes, or a lone surrogate, at any place of a run comes out the same,
// and so does every room a resumed conversion is given.
TEST(EncodingUtf8, NonAsciiAtEveryPlaceOfAnAsciiRunEncodes) {
  struct Case {
    std::u16string_view text;
    std::string_view bytes;
  } cases[] = {
      {u"\u00E9", "\xC3\xA9"sv},
      {u"\u20AC", "\xE2\x82\xAC"sv},
      {u"\U0001F600", "\xF0\x9F\x98\x80"sv},
      {u"\xD800", "\xEF\xBF\xBD"sv},
      {u"\u007F\u0080", "\x7F\xC2\x80"sv},
  };
  for (const Case& c : cases) {
    for (std::size_t before = 0; before <= 40; ++before) {
      const std::u16string text = std::u16string(before, u'a') + std::u16string(c.text) + std::u16string(21, u'b');
      const std::string bytes = std::string(before, 'a') + std::string(c.bytes) + std::string(21, 'b');
      auto encoded = Encode(text, 1000, 0, true, false);
      ASSERT_TRUE(encoded);
      EXPECT_EQ(HexBytes(*encoded), HexBytes(bytes)) << HexUnits(c.text) << " after " << before;
      for (std::size_t room : {4u, 15u, 16u, 17u, 33u}) {
        std::string out;
        const char16_t* source = text.data();
        const char16_t* sourceEnd = source + text.size();
        ConvertStatus status;
        do {
          char chunk[40];
          char* target = chunk;
          const char16_t* start = source;
          status = Utf16ToUtf8(source, sourceEnd, target, chunk + room);
          out.append(chunk, target);
          ASSERT_TRUE(source > start || status != ConvertTargetFull) << "no progress, room " << room;
        } while (status == ConvertTargetFull);
        EXPECT_EQ(HexBytes(out), HexBytes(bytes)) << HexUnits(c.text) << " after " << before << ", room " << room;
      }
    }
  }
}

TEST(EncodingUtf16, ByteOrdersAndMarks) {
  EXPECT_EQ(HexBytes(*Encode(u"AB", 2000, 1, true)), HexBytes("\xFF\xFE\x41\x00\x42\x00"sv));
  EXPECT_EQ(HexBytes(*Encode(u"AB", 2000, 2, true)), HexBytes("\xFE\xFF\x00\x41\x00\x42"sv));
  EXPECT_EQ(HexBytes(*Encode(u"AB", 3000, 0, false)), HexBytes("\x41\x00\x42\x00"sv));
  EXPECT_EQ(HexBytes(*Encode(u"\xDC00", 2000, 2, false)), HexBytes("\xDC\x00"sv));

  struct Case {
    std::string_view bytes;
    int byteOrder;
    std::u16string_view text;
    int unconvertible;
  } cases[] = {
      {"\xFF\xFE\x41\x00"sv, 1, u"A", 0},
      {"\xFE\xFF\x00\x41"sv, 2, u"A", 0},
      {"\xFE\xFF\x41\x00"sv, 1, u"\uFFFE" u"A", 0},  // a mark of the other order is kept
      {"\x41\x00\x42"sv, 1, u"A", 1},                // odd last byte: dropped, counted
      {""sv, 1, u"", 0},
  };
  for (const auto& c : cases) {
    auto text = Decode(c.bytes, 2000, c.byteOrder);
    ASSERT_TRUE(text);
    EXPECT_EQ(HexUnits(*text), HexUnits(c.text)) << HexBytes(c.bytes);
    EXPECT_EQ(UnconvertibleCount, c.unconvertible);
  }
}

TEST(EncodingUcs4, ByteOrdersMarksAndErrors) {
  EXPECT_EQ(HexBytes(*Encode(u"A", 4000, 2, true)), HexBytes("\x00\x00\xFE\xFF\x00\x00\x00\x41"sv));
  EXPECT_EQ(HexBytes(*Encode(u"\U0001F600", 4000, 2, false)), HexBytes("\x00\x01\xF6\x00"sv));
  EXPECT_EQ(Encode(u"\U0001F600", 4000, 1, true)->size(), 8u);

  const std::string_view input = "\x00\x00\xFE\xFF\x00\x01\xF6\x00"sv;
  std::string copy(input);
  auto text = Decode(copy, 4000, 2);
  ASSERT_TRUE(text);
  EXPECT_EQ(HexUnits(*text), HexUnits(u"\U0001F600"));
  EXPECT_EQ(copy, input);  // the caller's bytes are left as they were

  EXPECT_FALSE(Decode("\x00\x00\x00\x41\x00"sv, 4000, 2));
  text = Decode("\x00\x00\x11\x00\x41\x00\x00\x00"sv, 4000, 1);
  ASSERT_TRUE(text);
  EXPECT_EQ(HexUnits(*text), HexUnits(u"\uFFFD" u"A"));
  EXPECT_EQ(UnconvertibleCount, 1);

  // Longer than one internal step, with a pair at every position.
  std::u16string longText;
  for (int i = 0; i < 3000; ++i) longText += (i % 3 == 0) ? u"\U0001F600" : u"x";
  for (int order : {1, 2, 4, 8}) {
    auto bytes = Encode(longText, 4000, order, true);
    ASSERT_TRUE(bytes);
    auto back = Decode(*bytes, 4000, order);
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == longText) << "order " << order;
  }
}

TEST(EncodingUtf7, EncodeAndDecode) {
  struct EncodeCase {
    std::u16string_view text;
    std::string_view bytes;
  } encodeCases[] = {
      {u"A+B", "A+-B"sv},
      {u"\u00E9", "+AOk-"sv},  // one character in base64 fits its buffer
      {u"\u00E9a", "+AOk-a"sv},
      {u"a~b", "a+AH4-b"sv},
      {u"Hi!", "Hi!"sv},
      {u"\\", "+AFw-"sv},
      {u"\U0001F600", "+2D3eAA-"sv},
      {u"", ""sv},
  };
  for (const auto& c : encodeCases) {
    auto bytes = Encode(c.text, 1001);
    ASSERT_TRUE(bytes) << HexUnits(c.text);
    EXPECT_EQ(*bytes, c.bytes);
  }

  struct DecodeCase {
    std::string_view bytes;
    std::optional<std::u16string_view> text;
  } decodeCases[] = {
      {"+AOk-"sv, u"\u00E9"},
      {"+AOk"sv, u"\u00E9"},
      {"+AOk."sv, u"\u00E9."},
      {"a+-b"sv, u"a+b"},
      {"+AOkA6Q-x"sv, u"\u00E9\u00E9x"},
      {"+/v8-x"sv, u"x"},  // a leading U+FEFF is removed
      {"+!"sv, std::nullopt},
      {"+AOl-"sv, std::nullopt},  // leftover bits must be zero
      {"\xE9"sv, std::nullopt},
      {"+"sv, std::nullopt},
      {"++"sv, std::nullopt},
  };
  for (const auto& c : decodeCases) {
    auto text = Decode(c.bytes, 1001);
    ASSERT_EQ(text.has_value(), c.text.has_value()) << c.bytes;
    if (text) {
      EXPECT_EQ(HexUnits(*text), HexUnits(*c.text)) << c.bytes;
    }
  }
}

// Arbitrary bytes never overrun a buffer or fail a code-page decoder, and
// whatever they decode to can be encoded again.
TEST(EncodingConversion, ArbitraryBytesInEveryEncoding) {
  std::string noise(4096 + 3, '\0');
  std::uint32_t seed = 12345;
  for (char& c : noise) {
    seed = seed * 1664525u + 1013904223u;
    c = char(seed >> 24);
  }
  for (int row = 0; row < kEncodingCount; ++row) {
    const int id = EncodingTable[row].id;
    SCOPED_TRACE(testing::Message() << "id " << id);
    for (std::size_t size : {noise.size(), std::size_t(4096), std::size_t(1)}) {
      for (int order : {1, 2}) {
        auto text = Decode(std::string_view(noise).substr(0, size), id, order);
        if (id < 1000) {
          ASSERT_TRUE(text);
          EXPECT_LE(text->size(), size);
        }
        if (text) {
          EXPECT_TRUE(Encode(*text, id, order, true, true));
        }
      }
    }
  }
}

TEST(EncodingConversion, EntryPointArguments) {
  EXPECT_FALSE(DecodeToUtf16("abc", nullptr, 1000, 0));
  EXPECT_FALSE(EncodeFromUtf16(u"abc", nullptr, 1000, 0, false, false));
  int length = -1;
  EXPECT_FALSE(DecodeToUtf16("abc", &length, 1000, 0));
  EXPECT_EQ(length, 0);
  length = 0;
  auto empty = DecodeToUtf16(nullptr, &length, 1, 0);
  ASSERT_TRUE(empty);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(empty[0], 0);
}

}  // namespace
