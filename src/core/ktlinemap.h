// KTLineMap: where each line of one document's text starts, recorded once,
// so that every error position in that text finds its line and column by a
// binary search.
#pragma once

#include <string_view>
#include <vector>

class KTLineMap {
 public:
  // What a column counts: characters (a character past U+FFFF, two UTF-16
  // units in the text, is one) or UTF-16 units.
  enum class Columns { kCharacters, kUnits };
  // Where an offset between the CR and the LF of a pair lies: at the end of
  // the line the pair ends (the pair is one line end), or at the start of the
  // next line (the CR alone ends the line, as a parser counting line ends as
  // it passes them has it).
  enum class PairMiddle { kOnEndedLine, kOnNextLine };
  struct Counting {
    Columns columns = Columns::kCharacters;
    PairMiddle pairMiddle = PairMiddle::kOnEndedLine;
  };

  KTLineMap() = default;
  // CR LF, a lone CR and a lone LF each end one line (XML 1.0 §2.11).
  explicit KTLineMap(std::u16string_view text);
  // The same over a text of `length` units read one at a time through
  // unitAt(index), for a text not held in one block.
  template <typename UnitAt>
  KTLineMap(int length, UnitAt unitAt) {
    Build(length, unitAt);
  }

  // The line and column (both counted from 1) of an offset from 0 to the
  // text's length; false for any other offset, and for a map of no text.
  // Columns count characters and the LF of a pair ends its line, unless
  // counting says otherwise.
  bool Locate(int offset, int& line, int& column) const;
  bool Locate(int offset, int& line, int& column, Counting counting) const;

 private:
  template <typename UnitAt>
  void Build(int length, UnitAt unitAt);
  // Records what the unit at i, after the unit before it, ends (a line, a
  // CR LF pair, a surrogate pair), if anything.
  void Note(char16_t unit, char16_t before, int i);
  void Note(const char16_t* units, int i) { Note(units[i], i > 0 ? units[i - 1] : 0, i); }

  // The offset of each line's first unit, then the text's length + 1.
  std::vector<int> lineStarts_;
  // The offset of the second unit of each surrogate pair, in order.
  std::vector<int> pairEnds_;
  // The offset of the LF of each CR LF pair, in order.
  std::vector<int> pairedLineFeeds_;
};

template <typename UnitAt>
void KTLineMap::Build(int length, UnitAt unitAt) {
  lineStarts_.push_back(0);
  char16_t before = 0;
  for (int i = 0; i < length; ++i) {
    const char16_t unit = unitAt(i);
    Note(unit, before, i);
    before = unit;
  }
  lineStarts_.push_back(length + 1);  // the end, past the last line
}
