// KTLineMap: line starts of a text, and line and column by offset.
#include "core/ktlinemap.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

// Whether a unit may end a line or a surrogate pair: LF, CR (and the two
// units between them, which a text rarely holds), or a low surrogate.
inline bool MayMark(char16_t unit) {
  return static_cast<char16_t>(unit - u'\n') <= u'\r' - u'\n' || (unit & 0xFC00) == 0xDC00;
}

// 32 units tested at once with no branch per unit: four vectors of eight,
// read as eight words of four 16-bit lanes, all ones where MayMark holds.
typedef std::uint16_t EightUnits __attribute__((vector_size(16)));
constexpr int kRun = 32;
constexpr int kWords = kRun / 4;

inline bool RunMarks(const char16_t* units, std::uint64_t words[kWords]) {
  std::uint64_t any = 0;
  for (int block = 0; block < kRun / 8; ++block) {
    EightUnits v;
    std::memcpy(&v, units + block * 8, sizeof v);
    auto marks = ((v - u'\n') <= u'\r' - u'\n') | ((v & 0xFC00) == 0xDC00);
    std::memcpy(words + block * 2, &marks, 2 * sizeof(std::uint64_t));
    any |= words[block * 2] | words[block * 2 + 1];
  }
  return any != 0;
}

}  // namespace

void KTLineMap::Note(char16_t unit, char16_t before, int i) {
  if (unit >= 0xDC00 && unit <= 0xDFFF && before >= 0xD800 && before <= 0xDBFF) pairEnds_.push_back(i);
  if (unit == u'\n') {
    // The LF of a CR LF pair ends the line the CR began to end.
    if (before == u'\r') {
      pairedLineFeeds_.push_back(i);
      lineStarts_.back() = i + 1;
    } else {
      lineStarts_.push_back(i + 1);
    }
  } else if (unit == u'\r') {
    lineStarts_.push_back(i + 1);
  }
}

KTLineMap::KTLineMap(std::u16string_view text) {
  // As Build does, looking only at the units that may end a line or a pair:
  // a map is made for every stylesheet module loaded, and most units are
  // neither.
  const char16_t* units = text.data();
  const int length = static_cast<int>(text.size());
  lineStarts_.push_back(0);
  int i = 0;
  for (; i + kRun <= length; i += kRun) {
    std::uint64_t words[kWords];
    if (!RunMarks(units + i, words)) continue;
    for (int word = 0; word < kWords; ++word) {
      // Lanes in order, so that a CR is seen before the LF after it.
      for (std::uint64_t bits = words[word]; bits != 0;) {
        const int lane = std::countr_zero(bits) / 16;
        Note(units, i + word * 4 + lane);
        bits &= ~(std::uint64_t{0xFFFF} << (lane * 16));
      }
    }
  }
  for (; i < length; ++i)
    if (MayMark(units[i])) Note(units, i);
  lineStarts_.push_back(length + 1);  // the end, past the last line
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
