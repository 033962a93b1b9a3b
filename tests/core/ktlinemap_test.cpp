// KTLineMap: line and character of an offset, with every kind of line end.
#include "core/ktlinemap.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The ways of counting: the default, and besides it columns in UTF-16 units
// and an offset between the CR and the LF of a pair placed at the start of
// the next line.
const KTLineMap::Counting kDefault{};
const KTLineMap::Counting kUnits{KTLineMap::Columns::kUnits, KTLineMap::PairMiddle::kOnEndedLine};
const KTLineMap::Counting kNextLine{KTLineMap::Columns::kCharacters, KTLineMap::PairMiddle::kOnNextLine};
const KTLineMap::Counting kUnitsNextLine{KTLineMap::Columns::kUnits, KTLineMap::PairMiddle::kOnNextLine};

TEST(LineMapTest, LineAndCharacterOfEachOffset) {
  struct Case {
    const char16_t* text;
    int offset;
    bool found;
    int line;
    int column;
    KTLineMap::Counting counting = kDefault;
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
      {u"a\U0001F600b", 3, true, 1, 4, kUnits},
      {u"a\U0001F600b", 3, true, 1, 3, kDefault},
      {u"\U0001F600\r\n\U0001F600b", 6, true, 2, 3, kUnits},
      {u"ab\r\ncd", 3, true, 1, 4, kDefault},  // the LF of the pair: still line 1
      {u"ab\r\ncd", 3, true, 2, 1, kNextLine},
      {u"ab\r\ncd", 3, true, 2, 1, kUnitsNextLine},
      {u"ab\r\ncd", 2, true, 1, 3, kNextLine},  // the CR itself ends line 1
      {u"ab\r\ncd", 5, true, 2, 2, kNextLine},  // past the pair both agree
      {u"ab\n\ncd", 3, true, 2, 1, kNextLine},  // a lone LF is no pair's middle
      {u"a\r\r\nb", 3, true, 3, 1, kNextLine},
      {u"ab\r\n", 3, true, 2, 1, kNextLine},  // a pair that ends the text
      {u"ab\r\n", 4, true, 2, 1, kNextLine},
      {u"ab\r\n", 5, false, 0, 0, kUnitsNextLine},
      {u"\U0001F600\U0001F600\r\nx\U0001F600y", 9, true, 2, 3, kNextLine},
      {u"\U0001F600\U0001F600\r\nx\U0001F600y", 9, true, 2, 4, kUnitsNextLine},
  };
  for (const Case& c : cases) {
    KTLineMap map{std::u16string_view(c.text)};
    int line = 0;
    int column = 0;
    std::string name = "offset " + std::to_string(c.offset) + " of case " + std::to_string(&c - cases);
    const bool found = c.counting.columns == kDefault.columns && c.counting.pairMiddle == kDefault.pairMiddle
                           ? map.Locate(c.offset, line, column)
                           : map.Locate(c.offset, line, column, c.counting);
    ASSERT_EQ(found, c.found) << name;
    if (!c.found) continue;
    EXPECT_EQ(line, c.line) << name;
    EXPECT_EQ(column, c.column) << name;
  }
}

// A text read one unit at a time is mapped as the same text in one block.
TEST(LineMapTest, ReadByUnitAgreesWithOneBlock) {
  const std::u16string text = u"a\r\nb\rc\n\U0001F600d\r\r\ne";
  const KTLineMap block{std::u16string_view(text)};
  const KTLineMap byUnit(static_cast<int>(text.size()), [&text](int i) { return text[static_cast<size_t>(i)]; });
  for (int offset = 0; offset <= static_cast<int>(text.size()); ++offset) {
    for (auto middle : {KTLineMap::PairMiddle::kOnEndedLine, KTLineMap::PairMiddle::kOnNextLine}) {
      const KTLineMap::Counting counting{KTLineMap::Columns::kCharacters, middle};
      int line1 = 0, column1 = 0, line2 = 0, column2 = 0;
      ASSERT_TRUE(block.Locate(offset, line1, column1, counting));
      ASSERT_TRUE(byUnit.Locate(offset, line2, column2, counting));
      EXPECT_EQ(line1, line2) << offset;
      EXPECT_EQ(column1, column2) << offset;
    }
  }
}

TEST(LineMapTest, AnEmptyMapPlacesNothing) {
  KTLineMap map;
  int line = 0;
  int column = 0;
  EXPECT_FALSE(map.Locate(0, line, column));
}

// The map of a text in one block passes over runs without line ends a block
// of units at a time: whatever the phase at which a line end, a CR LF pair or
// a surrogate pair falls (across a block's edge among them), it places every
// offset as the map built one unit at a time.
TEST(LineMapTest, BlockScanPlacesAsTheUnitScan) {
  const std::u16string marks = u"a\r\nb\U0001F600c\rd\n\n\r\re\U0001F600\U0001F600";
  for (int shift = 0; shift < 40; ++shift) {
    std::u16string text(static_cast<size_t>(shift), u'x');
    text += marks;
    text += std::u16string(37, u'y') + u"\r\n" + std::u16string(static_cast<size_t>(shift), u'z') + marks;
    const KTLineMap blocks{std::u16string_view(text)};
    const KTLineMap units(static_cast<int>(text.size()), [&text](int i) { return text[static_cast<size_t>(i)]; });
    for (const KTLineMap::Counting counting : {kDefault, kUnits, kNextLine, kUnitsNextLine}) {
      for (int offset = -1; offset <= static_cast<int>(text.size()) + 1; ++offset) {
        int line = 0, column = 0, wantLine = 0, wantColumn = 0;
        const bool want = units.Locate(offset, wantLine, wantColumn, counting);
        ASSERT_EQ(blocks.Locate(offset, line, column, counting), want) << shift << " " << offset;
        ASSERT_EQ(line, wantLine) << shift << " " << offset;
        ASSERT_EQ(column, wantColumn) << shift << " " << offset;
      }
    }
  }
}

}  // namespace
