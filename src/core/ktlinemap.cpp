// KTLineMap: line starts of a text, and line and column by offset.
#include "core/ktlinemap.h"

#include <algorithm>

KTLineMap::KTLineMap(std::u16string_view text) {
  Build(static_cast<int>(text.size()), [text](int i) { return text[static_cast<size_t>(i)]; });
}

bool KTLineMap::Locate(int offset, int& line, int& column) const {
  return Locate(offset, line, column, Counting{});
}

bool KTLineMap::Locate(int offset, int& line, int& column, Counting counting) const {
  if (lineStarts_.size() < 2 || offset < 0 || offset >= lineStarts_.back()) return false;
  if (counting.pairMiddle == PairMiddle::kOnNextLine &&
      std::binary_search(pairedLineFeeds_.begin(), pairedLineFeeds_.end(), offset)) {
    // The LF is the last unit of its line; the CR before it already ended it.
    auto next = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), offset);
    line = static_cast<int>(next - lineStarts_.begin()) + 1;
    column = 1;
    return true;
  }
  auto next = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), offset);
  line = static_cast<int>(next - lineStarts_.begin());
  const int lineStart = *(next - 1);
  int pairs = 0;
  if (counting.columns == Columns::kCharacters) {
    // The second units of the pairs between the line's start and the offset
    // add no character.
    pairs = static_cast<int>(std::lower_bound(pairEnds_.begin(), pairEnds_.end(), offset) -
                             std::lower_bound(pairEnds_.begin(), pairEnds_.end(), lineStart));
  }
  column = offset - lineStart - pairs + 1;
  return true;
}
