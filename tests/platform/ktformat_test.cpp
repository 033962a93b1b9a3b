// Tests of the char16_t formatter.
#include "platform/ktformat.h"

#include <gtest/gtest.h>

namespace {

TEST(KTFormatTest, Specifiers) {
  EXPECT_EQ(KTFormat(u"%d|%i|%ld|%u|%lu", -3, 4, -5L, 6u, 7UL), u"-3|4|-5|6|7");
  EXPECT_EQ(KTFormat(u"%X|%02X|%0lX|%x|%08X", 255, 5, 0x1ABUL, 255, 0xBEEFu), u"FF|05|1AB|ff|0000BEEF");
  EXPECT_EQ(KTFormat(u"%I64d", 1234567890123LL), u"1234567890123");
  EXPECT_EQ(KTFormat(u"%s and %S", u"w\u00e9", "n"), u"w\u00e9 and n");
  // Narrow text is UTF-8 here: its characters, not its bytes, are shown.
  EXPECT_EQ(KTFormat(u"[%s][%.4S]", "caf\xC3\xA9", "\xE2\x82\xAC" "12345"), u"[caf\u00E9][\u20AC123]");
  EXPECT_EQ(KTFormat(u"[%5s][%-4s][%.2s]", u"ab", u"c", u"xyz"), u"[   ab][c   ][xy]");
  EXPECT_EQ(KTFormat(u"%c%c", u'a', 0x263A), u"a\u263A");
  EXPECT_EQ(KTFormat(u"100%%"), u"100%");
  EXPECT_EQ(KTFormat(u"%.3f|%g", 1.5, 0.25), u"1.500|0.25");
  EXPECT_EQ(KTFormat(u"%*d", 4, 7), u"   7");
  EXPECT_EQ(KTFormat(u"%s", static_cast<const char16_t*>(nullptr)), u"(null)");
  // Missing arguments format as empty/zero instead of reading garbage.
  EXPECT_EQ(KTFormat(u"%s|%d"), u"|0");
}

// Result codes are 32-bit: a negative one shown in hex or as unsigned reads
// as its 32-bit value; only a 64-bit prefix takes the value as 64 bits.
TEST(KTFormatTest, NegativeValuesOfUnsignedConversions) {
  const int32_t code = static_cast<int32_t>(0x8007000Eu);
  EXPECT_EQ(KTFormat(u"%X|%08lX|%x|%u|%lu", code, code, -1, -1, -2L), u"8007000E|8007000E|ffffffff|4294967295|4294967294");
  EXPECT_EQ(KTFormat(u"%llX|%I64X", -1LL, -2LL), u"FFFFFFFFFFFFFFFF|FFFFFFFFFFFFFFFE");
  EXPECT_EQ(KTFormat(u"%d|%ld|%X", code, -5L, 0xFFFFFFFFFFull), u"-2147024882|-5|FFFFFFFFFF");
}

TEST(KTFormatTest, LongOutputIsNotCut) {
  std::u16string big(100000, u'z');
  EXPECT_EQ(KTFormat(u"%s!", big.c_str()).size(), 100001u);
  EXPECT_EQ(KTFormat(u"%600d", 1).size(), 600u);
}

}  // namespace
