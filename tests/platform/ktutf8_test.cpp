// Tests of the UTF-8 conversion used at the command line and the console.
#include "platform/ktutf8.h"

#include <gtest/gtest.h>

#include "platform/ktresources.h"
#include "platform/ktwchar.h"

namespace {

TEST(KTUtf8Test, RoundTripAndMalformedInput) {
  std::u16string text = u"a\u00e9\u20ac\U0001F600";
  EXPECT_EQ(KTUtf8ToUtf16(KTUtf16ToUtf8(text)), text);
  EXPECT_EQ(KTUtf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  struct Case {
    const char* bytes;
    std::u16string expected;
  } cases[] = {
      {"\xC0\xBC", u"\uFFFD\uFFFD"},       // overlong '<'
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\x80x", u"\uFFFDx"},               // stray continuation byte
      {"\xE2\x82", u"\uFFFD\uFFFD"},       // cut off at the end
      {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // 5-byte form
  };
  for (const auto& c : cases) EXPECT_EQ(KTUtf8ToUtf16(c.bytes), c.expected) << c.bytes;
  EXPECT_EQ(KTUtf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

// What the console shows: control characters as \xHH, tab, line feed and
// every other character as they are.
TEST(KTUtf8Test, ControlCharactersAreEscapedForTheConsole) {
  struct Case {
    std::u16string text;
    std::u16string shown;
  } cases[] = {
      {u"plain text\tand\nlines", u"plain text\tand\nlines"},
      {u"a\u0001\u001B[31mb", u"a\\x01\\x1B[31mb"},
      {std::u16string(u"\r\u0000\u007F", 3), u"\\x0D\\x00\\x7F"},
      {u"\u009B2J \u00A0\u00E9", u"\\x9B2J \u00A0\u00E9"},  // C1 CSI; NBSP and é stay
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KTEscapeControls(std::u16string_view(c.text)), c.shown);
    EXPECT_EQ(KTEscapeControls(std::string_view(KTUtf16ToUtf8(c.text))), KTUtf16ToUtf8(c.shown));
  }
}

TEST(KTWcharTest, HelpersAndWhiteSpace) {
  EXPECT_EQ(KTStrLen(u"abc"), 3);
  EXPECT_LT(KTStrCmp(u"Z", u"a"), 0);
  EXPECT_GT(KTStrCmp(u"\uffff", u"a"), 0);
  EXPECT_EQ(KTStrICmpAscii(u"AbC", u"aBc"), 0);
  EXPECT_NE(KTStrICmpAscii(u"\u00c9", u"\u00e9"), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(KTStrStr(u"abcabd", u"abd")),
               reinterpret_cast<const char*>(u"abd"));
  EXPECT_EQ(KTStrStr(u"abc", u"x"), nullptr);
  EXPECT_EQ(*KTStrRChr(u"a/b/c", u'/') , u'/');
  for (char16_t c : {u'\t', u'\n', u'\v', u'\f', u'\r', u' ', u'\u3000', u'\u2028'})
    EXPECT_TRUE(KTIsSpace(c)) << int(c);
  for (char16_t c : {u'\u0085', u'\u00a0', u'a', u'\0'}) EXPECT_FALSE(KTIsSpace(c)) << int(c);
}

// KTFindUnitInWords tests eight units at once: the unit sought at every
// place of a text of near neighbours (one more, one less, its other byte
// changed), and never past the count; KTFindUnit agrees with it.
TEST(KTWcharTest, FindUnitAtEveryPlace) {
  for (char16_t c : {u'\0', u'&', u'\u0001', u'\u8000', u'\uffff', u'\u0126'}) {
    const char16_t near[] = {char16_t(c + 1), char16_t(c - 1), char16_t(c ^ 0x100), char16_t(c ^ 0x8000)};
    for (size_t length = 0; length <= 40; ++length) {
      std::u16string text;
      for (size_t i = 0; i <= length; ++i) text += near[i % 4];
      EXPECT_EQ(KTFindUnitInWords(text.data(), length, c), nullptr) << int(c) << " " << length;
      for (size_t at = 0; at < length; ++at) {
        std::u16string with = text;
        with[at] = c;
        if (at + 2 < length) with[at + 2] = c;
        EXPECT_EQ(KTFindUnitInWords(with.data(), length, c), with.data() + at) << int(c) << " " << at;
        EXPECT_EQ(KTFindUnit(with.data(), length, c), with.data() + at) << int(c) << " " << at;
      }
      text[length] = c;  // just past the count
      EXPECT_EQ(KTFindUnitInWords(text.data(), length, c), nullptr) << int(c) << " " << length;
      EXPECT_EQ(KTFindUnit(text.data(), length, c), nullptr) << int(c) << " " << length;
    }
  }
}

TEST(KTResourcesTest, LoadByIdLikeAStringTable) {
  char16_t buf[8];
  EXPECT_EQ(KTLoadStringResource(1, buf, 8), 7);
  EXPECT_EQ(std::u16string(buf), u"Ostrel ");
  EXPECT_EQ(KTLoadStringResource(123456, buf, 8), 0);
  EXPECT_EQ(KTFindStringResource(123456), nullptr);
}

}  // namespace
