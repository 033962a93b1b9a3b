// KTLineMap: line starts of a text, and line and character by offset.
#include "app/ktlinemap.h"

#include <algorithm>

namespace {

bool IsLeadSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsTrailSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

KTLineMap::KTLineMap(std::u16string_view text) {
  const int length = static_cast<int>(text.size());
  lineStarts_.push_back(0);
  for (int i = 0; i < length; ++i) {
    if (IsTrailSurrogate(text[i]) && i > 0 && IsLeadSurrogate(text[i - 1])) pairEnds_.push_back(i);
    if (text[i] == u'\r' && i + 1 < length && text[i + 1] == u'\n') ++i;
    if (text[i] == u'\r' || text[i] == u'\n') lineStarts_.push_back(i + 1);
  }
  lineStarts_.push_back(length + 1);  // the end, past the last line
}

bool KTLineMap::Locate(int offset, int& line, int& column) const {
  if (lineStarts_.size() < 2 || offset < 0 || offset >= lineStarts_.back()) return false;
  auto next = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), offset);
  line = static_cast<int>(next - lineStarts_.begin());
  const int lineStart = *(next - 1);
  // The second units of the pairs between the line's start and the offset
  // add no character.
  const auto pairs = std::lower_bound(pairEnds_.begin(), pairEnds_.end(), offset) -
                     std::lower_bound(pairEnds_.begin(), pairEnds_.end(), lineStart);
  column = offset - lineStart - static_cast<int>(pairs) + 1;
  return true;
}
