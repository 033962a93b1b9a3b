#include "xml/ktsourcetext.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

KTSourceText::KTSourceText(const char16_t* text, int length)
    : text_(const_cast<char16_t*>(text)),  // never written through: not releasable
      length_(text ? std::max(length, 0) : 0),
      releasable_(false),
      lead_(0),
      nextCheck_(length_ + 1) {}

KTSourceText::KTSourceText(char16_t* text, int length, bool releasable)
    : text_(text), length_(text ? std::max(length, 0) : 0), releasable_(releasable && text), lead_(0) {
  if (!releasable_) {
    nextCheck_ = length_ + 1;
    return;
  }
  const uintptr_t address = reinterpret_cast<uintptr_t>(text_);
  lead_ = address & kStretchMask;
  narrowed_.resize(Place(length_) / kStretchBytes + 1);
  // The first stretch begins before the text: it is never handed back,
  // since the block's own header may share its first page.
  nextStretch_ = 1;
  nextCheck_ = static_cast<int>(std::min<size_t>((kStretchBytes * 2 - lead_) / 2, size_t(length_) + 1));
}

KTSourceText::~KTSourceText() = default;

std::u16string_view KTSourceText::Range(int start, int end, std::u16string& scratch) const {
  start = std::clamp(start, 0, length_);
  end = std::clamp(end, start, length_);
  if (released_ == 0)
    return std::u16string_view(text_ + start, static_cast<size_t>(end - start));
  scratch.clear();
  scratch.reserve(static_cast<size_t>(end - start));
  for (int i = start; i < end; ++i) scratch.push_back(At(i));
  return scratch;
}

void KTSourceText::LineAndColumn(int offset, int& line, int& column) const {
  line = 1;
  int lineStart = 0;
  offset = std::clamp(offset, 0, length_);
  for (int i = 0; i < offset; ++i) {
    const char16_t c = At(i);
    if (c == u'\n' || (c == u'\r' && (i + 1 >= length_ || At(i + 1) != u'\n'))) {
      ++line;
      lineStart = i + 1;
    }
  }
  column = CountCharacters(lineStart, offset) + 1;
}

int KTSourceText::CountCharacters(int start, int end) const {
  int count = 0;
  for (int i = start; i < end; ++i) {
    // The second half of a surrogate pair adds nothing.
    const char16_t c = At(i);
    if (c >= 0xDC00 && c <= 0xDFFF && i > start) {
      const char16_t before = At(i - 1);
      if (before >= 0xD800 && before <= 0xDBFF) continue;
    }
    ++count;
  }
  return count;
}

size_t KTSourceText::FirstStretch(int start) const {
  return Place(std::clamp(start, 0, length_)) >> kStretchShift;
}

size_t KTSourceText::EndStretch(int start, int end) const {
  start = std::clamp(start, 0, length_);
  end = std::clamp(end, start, length_);
  return (Place(end) >> kStretchShift) + 1;
}

void KTSourceText::Pin(int start, int end) {
  if (!releasable_) return;
  if (pins_.empty()) pins_.resize(narrowed_.size());
  const size_t last = std::min(EndStretch(start, end), pins_.size());
  for (size_t stretch = FirstStretch(start); stretch < last; ++stretch) {
    if (pins_[stretch]++ == 0) ++pinned_;
  }
}

void KTSourceText::Unpin(int start, int end) {
  if (!releasable_ || pins_.empty()) return;
  const size_t last = std::min(EndStretch(start, end), pins_.size());
  for (size_t stretch = FirstStretch(start); stretch < last; ++stretch) {
    if (pins_[stretch] == 0 || --pins_[stretch] > 0) continue;
    --pinned_;
    // ReleaseBefore passed over it while it was pinned.
    if (stretch > 0 && stretch < nextStretch_) Narrow(stretch);
  }
}

void KTSourceText::ReleaseStretches(int offset) {
  if (!releasable_) return;
  // A stretch is handed back once the offset has passed all of it, and only
  // when the text goes on after it, so the text's terminating zero and the
  // block's end stay untouched.
  const size_t reached = std::min(Place(std::min(offset, length_)), Place(length_));
  while ((nextStretch_ + 1) * kStretchBytes <= reached) {
    const size_t stretch = nextStretch_++;
    if (!pins_.empty() && pins_[stretch] > 0) continue;
    Narrow(stretch);
  }
  const size_t next = (nextStretch_ + 1) * kStretchBytes;
  nextCheck_ = static_cast<int>(std::min<size_t>((next - lead_) / 2, size_t(length_) + 1));
}

void KTSourceText::Narrow(size_t stretch) {
  static const size_t pageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (narrowed_[stretch]) return;
  const uintptr_t alignedStart = reinterpret_cast<uintptr_t>(text_) - lead_;
  char16_t* first = reinterpret_cast<char16_t*>(alignedStart + stretch * kStretchBytes);
  const size_t count = kStretchBytes / 2;
  bool narrowable = (kStretchBytes / 2) % pageBytes == 0;
  for (size_t i = 0; i < count && narrowable; ++i) narrowable = first[i] <= 0xFF;
  if (!narrowable) return;
  // Forward in place: byte i lies within character i / 2, read already.
  auto* narrow = reinterpret_cast<uint8_t*>(first);
  for (size_t i = 0; i < count; ++i) narrow[i] = static_cast<uint8_t>(first[i]);
  narrowed_[stretch] = 1;
  released_ += static_cast<long long>(count);
  // The second half now holds nothing anyone reads; its pages go back
  // (should the system refuse, they just stay).
  madvise(narrow + count, kStretchBytes / 2, MADV_DONTNEED);
}
