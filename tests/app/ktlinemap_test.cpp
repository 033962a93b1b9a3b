// KTLineMap: line and character of an offset, with every kind of line end.
#include "app/ktlinemap.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LineMapTest, LineAndCharacterOfEachOffset) {
  struct Case {
    const char16_t* text;
    int offset;
    bool found;
    int line;
    int column;
  };
  const Case cases[] = {
      {u"abc", 0, true, 1, 1},
      {u"abc", 2, true, 1, 3},
      {u"abc", 3, true, 1, 4},  // the end of the text is a place too
      {u"abc", 4, false, 0, 0},
      {u"abc", -1, false, 0, 0},
      {u"a\nb", 2, true, 2, 1},
      {u"a\r\nb", 3, true, 2, 1},  // CR LF ends one line, not two
      {u"a\rb", 2, true, 2, 1},    // a lone CR ends a line
      {u"a\r\rb", 3, true, 3, 1},
      {u"a\r\r\nb", 4, true, 3, 1},
      {u"a\n\nbc", 4, true, 3, 2},
      {u"a\n", 2, true, 2, 1},
      {u"", 0, true, 1, 1},
      {u"", 1, false, 0, 0},
      // A character past U+FFFF is two units of the text but one character,
      // as the parser counts its columns.
      {u"\U0001F600x", 2, true, 1, 2},
      {u"a\U0001F600\U0001F600b", 5, true, 1, 4},
      {u"a\U0001F600\U0001F600b", 6, true, 1, 5},
      {u"\U0001F600\nab", 4, true, 2, 2},  // pairs of earlier lines count nowhere
      {u"\U0001F600\r\n\U0001F600b", 6, true, 2, 2},
      {u"\u00e9\u4e2dx", 2, true, 1, 3},  // other characters are one unit each
  };
  for (const Case& c : cases) {
    KTLineMap map{std::u16string_view(c.text)};
    int line = 0;
    int column = 0;
    std::string name = "offset " + std::to_string(c.offset) + " of case " + std::to_string(&c - cases);
    ASSERT_EQ(map.Locate(c.offset, line, column), c.found) << name;
    if (!c.found) continue;
    EXPECT_EQ(line, c.line) << name;
    EXPECT_EQ(column, c.column) << name;
  }
}

TEST(LineMapTest, AnEmptyMapPlacesNothing) {
  KTLineMap map;
  int line = 0;
  int column = 0;
  EXPECT_FALSE(map.Locate(0, line, column));
}

}  // namespace
