// KTLineMap: line starts of a text, and line and character by offset.
#include "app/ktlinemap.h"

#include <algorithm>

KTLineMap::KTLineMap(std::u16string_view text) {
  const int length = static_cast<int>(text.size());
  lineStarts_.push_back(0);
  for (int i = 0; i < length; ++i) {
    if (text[i] == u'\r' && i + 1 < length && text[i + 1] == u'\n') ++i;
    if (text[i] == u'\r' || text[i] == u'\n') lineStarts_.push_back(i + 1);
  }
  lineStarts_.push_back(length + 1);  // the end, past the last line
}

bool KTLineMap::Locate(int offset, int& line, int& column) const {
  if (lineStarts_.size() < 2 || offset < 0 || offset >= lineStarts_.back()) return false;
  auto next = std::upper_bound(lineStarts_.begin(), lineStarts_.end(), offset);
  line = static_cast<int>(next - lineStarts_.begin());
  column = offset - *(next - 1) + 1;
  return true;
}
