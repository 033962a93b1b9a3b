// The Unicode character database: the lookups over the stored Unicode 3.2
// data, and the loaders' handling of unusual lines in small scratch files.
#include "streams/ktunicodedatabase.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/ktutf8.h"
#include "streamtesthelpers.h"

namespace {

std::string Text(const char16_t* text) { return text ? KTUtf16ToUtf8(text) : "<none>"; }

TEST(UnicodeDatabase, Categories) {
  struct Case {
    char16_t c;
    const char* category;
  } cases[] = {
      {0x0000, "Cc"}, {0x0041, "Lu"}, {0x0030, "Nd"}, {0x00E9, "Ll"}, {0x0375, "Sk"},
      {0x0378, "Cn"},  // unassigned: not the category of the code point below it
      {0x3400, "Lo"}, {0x3401, "Lo"}, {0x4DB5, "Lo"}, {0x4DB6, "Cn"},  // ranges given by two ends
      {0x4E01, "Lo"}, {0xAC01, "Lo"}, {0xD7A3, "Lo"}, {0xD7A4, "Cn"},
      {0xD800, "Cs"}, {0xDFFF, "Cs"}, {0xE000, "Co"}, {0xF8FF, "Co"},
      {0xFFFD, "So"}, {0xFFFE, "Cn"}, {0xFFFF, "Cn"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(KTUnicodeDatabase::GetCategory(c.c)), c.category) << std::hex << static_cast<int>(c.c);
  }
}

TEST(UnicodeDatabase, Blocks) {
  struct Case {
    char16_t c;
    const char* block;
  } cases[] = {
      {0x0041, "BasicLatin"},       {0x007F, "BasicLatin"},
      {0x0080, "Latin-1Supplement"}, {0x0370, "GreekandCoptic"},
      {0x0500, "CyrillicSupplementary"}, {0xFFFF, "Specials"},
      {0xFFF0, "Specials"},         {0xD800, "HighSurrogates"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(KTUnicodeDatabase::GetBlockName(c.c)), c.block) << std::hex << static_cast<int>(c.c);
  }
  // The code points of the plane that lie in no block, checked at both ends.
  const char16_t unblocked[][2] = {{0x0750, 0x077F}, {0x07C0, 0x08FF}, {0x1380, 0x139F}, {0x18B0, 0x1DFF},
                                   {0x2B00, 0x2E7F}, {0x2FE0, 0x2FEF}, {0x31C0, 0x31EF}, {0x4DC0, 0x4DFF},
                                   {0xA4D0, 0xABFF}, {0xD7B0, 0xD7FF}, {0xFE10, 0xFE1F}};
  for (const auto& range : unblocked) {
    EXPECT_EQ(KTUnicodeDatabase::GetBlockName(range[0]), nullptr) << std::hex << static_cast<int>(range[0]);
    EXPECT_EQ(KTUnicodeDatabase::GetBlockName(range[1]), nullptr) << std::hex << static_cast<int>(range[1]);
    EXPECT_NE(KTUnicodeDatabase::GetBlockName(range[0] - 1), nullptr) << std::hex << static_cast<int>(range[0]);
    EXPECT_NE(KTUnicodeDatabase::GetBlockName(range[1] + 1), nullptr) << std::hex << static_cast<int>(range[1]);
  }
  EXPECT_EQ(KTUnicodeDatabase::Instance().GetBlockCount(), 99);
}

TEST(UnicodeDatabase, BlockListLines) {
  WriteScratch(u"memory:ucd-blocks",
               "0000;007F;BasicLatin\r\n"
               "0041;0045;InsideBasicLatin\r\n"  // overlaps a block held: not taken
               "0070;00A0;Straddling\r\n"
               ";;;\r\n"                       // no field at all: skipped
               "zz;0200;NoDigits\r\n"          // no hexadecimal digit: skipped
               "0100;;017F;;LatinExtended-A\r\n"  // empty fields are no fields
               "0200;01FF;Backwards\r\n"
               "10000;1007F;LinearBSyllabary\r\n"  // beyond the plane: the reading ends
               "0300;036F;AfterTheEnd\r\n");
  WriteScratch(u"memory:ucd-blocks-empty-line", "0000;007F;BasicLatin\r\n\r\n0080;00FF;Latin-1Supplement\r\n");
  WriteScratch(u"memory:ucd-blocks-one-field", "0000;007F;BasicLatin\r\n0080\r\n0100;017F;LatinExtended-A\r\n");
  WriteScratch(u"memory:ucd-data-minimal", "0041;A;Lu\r\n");

  auto db = std::make_unique<KTUnicodeDatabase>(u"memory:ucd-blocks", u"memory:ucd-data-minimal");
  EXPECT_EQ(db->GetBlockCount(), 2);
  EXPECT_EQ(Text(db->BlockNameOf(0x0042)), "BasicLatin");
  EXPECT_EQ(Text(db->BlockNameOf(0x0090)), "<none>");
  EXPECT_EQ(Text(db->BlockNameOf(0x0150)), "LatinExtended-A");
  EXPECT_EQ(Text(db->BlockNameOf(0x0300)), "<none>");

  for (const char16_t* name : {u"memory:ucd-blocks-empty-line", u"memory:ucd-blocks-one-field"}) {
    db = std::make_unique<KTUnicodeDatabase>(name, u"memory:ucd-data-minimal");
    EXPECT_EQ(db->GetBlockCount(), 1) << Text(name);
    EXPECT_EQ(Text(db->BlockNameOf(0x0080)), "<none>") << Text(name);
  }
}

TEST(UnicodeDatabase, CharacterDataLines) {
  // A line longer than the line buffer is passed over whole: its tail, which
  // looks like a line of its own, must not be read as one.
  std::string overlong = "0044;NAME";
  overlong.resize(1023, 'X');
  overlong += "0046;F;Lu";
  WriteScratch(u"memory:ucd-data",
               "0041;LATIN CAPITAL LETTER A;Lu;0;L;;;;;N;;;;0061;\r\n"
               "0042;BAD;Lxx\r\n"  // a category of three letters changes nothing
               "3400;<CJK Ideograph Extension A, First>;Lo\r\n"
               "4DB5;<CJK Ideograph Extension A, Last>;Lo\r\n"
               "4DB7;SOMETHING;So\r\n"
               "E000;<Private Use, First>;Co\r\n"
               "E002;NOT THE LAST;Co\r\n" +  // a First without its Last fills nothing
                   overlong + "\r\n" +
                   "0045;E;Lu\r\n"
                   "0047;G;L\r\n"
                   "10000;LINEAR B SYLLABLE B008 A;Lo\r\n"
                   "0043;AFTER THE END;Lu\r\n");
  WriteScratch(u"memory:ucd-blocks-minimal", "0000;007F;BasicLatin\r\n");
  auto db = std::make_unique<KTUnicodeDatabase>(u"memory:ucd-blocks-minimal", u"memory:ucd-data");
  struct Case {
    char16_t c;
    const char* category;
  } cases[] = {
      {0x0000, "Cn"}, {0x0040, "Cn"}, {0x0041, "Lu"}, {0x0042, "Cn"}, {0x0043, "Cn"}, {0x0044, "Cn"},
      {0x0045, "Lu"}, {0x0046, "Cn"}, {0x0047, "L"},  {0x3400, "Lo"}, {0x4000, "Lo"}, {0x4DB5, "Lo"},
      {0x4DB6, "Cn"}, {0x4DB7, "So"}, {0xE000, "Co"}, {0xE001, "Cn"}, {0xE002, "Co"}, {0xFFFF, "Cn"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(db->CategoryOf(c.c)), c.category) << std::hex << static_cast<int>(c.c);
  }
}

TEST(UnicodeDatabase, MissingDataFileRaisesTheOpenResult) {
  WriteScratch(u"memory:ucd-blocks-for-missing", "0000;007F;BasicLatin\r\n");
  try {
    KTUnicodeDatabase db(u"memory:ucd-blocks-for-missing", u"memory:ucd-no-such-file");
    FAIL() << "no error raised";
  } catch (const KTComError& error) {
    EXPECT_EQ(error.Error(), kStreamNotFound);
  }
}

}  // namespace
