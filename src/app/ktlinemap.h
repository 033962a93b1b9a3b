// KTLineMap: where each line of one document's text starts, recorded once,
// so that every error position in that text finds its line and character by
// a binary search. Used by the front end's error reports.
#pragma once

#include <string_view>
#include <vector>

class KTLineMap {
 public:
  KTLineMap() = default;
  // CR LF, a lone CR and a lone LF each end one line (XML 1.0 §2.11).
  explicit KTLineMap(std::u16string_view text);

  // The line and character (both counted from 1) of an offset from 0 to the
  // text's length; false for any other offset, and for a map of no text.
  // Characters are counted as the parser counts its columns: a character
  // past U+FFFF, two UTF-16 units in the text, is one character.
  bool Locate(int offset, int& line, int& column) const;

 private:
  // The offset of each line's first character, then the text's length + 1.
  std::vector<int> lineStarts_;
  // The offset of the second unit of each surrogate pair, in order.
  std::vector<int> pairEnds_;
};
