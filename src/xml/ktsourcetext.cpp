#include "xml/ktsourcetext.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

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

void KTSourceText::LineAndColumn(int offset, int& line, int& column, KTLineMap::PairMiddle pairMiddle) const {
  // Only the text up to the offset, and the unit there (which tells whether
  // it stands between a CR and its LF), is mapped.
  offset = std::clamp(offset, 0, length_);
  const KTLineMap lines(std::min(offset + 1, length_), [this](int i) { return At(i); });
  line = 1;
  column = 1;
  lines.Locate(offset, line, column, {KTLineMap::Columns::kCharacters, pairMiddle});
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

void KTSourceText::Restore() {
  if (!releasable_ || released_ == 0) return;
  const uintptr_t alignedStart = reinterpret_cast<uintptr_t>(text_) - lead_;
  const size_t count = kStretchBytes / 2;
  for (size_t stretch = 0; stretch < narrowed_.size(); ++stretch) {
    if (!narrowed_[stretch]) continue;
    char16_t* first = reinterpret_cast<char16_t*>(alignedStart + stretch * kStretchBytes);
    const uint8_t* narrow = reinterpret_cast<const uint8_t*>(first);
    // Backward in place: the unit a step writes covers bytes that step or a
    // later one (a higher place) has read already.
    for (size_t i = count; i-- > 0;) first[i] = narrow[i];
    narrowed_[stretch] = 0;
  }
  released_ = 0;
  nextStretch_ = 1;
  nextCheck_ = static_cast<int>(std::min<size_t>((kStretchBytes * 2 - lead_) / 2, size_t(length_) + 1));
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

namespace {

// Sixteen units and sixteen bytes: the test and the copy of a stretch take
// sixteen characters a step, with no branch per character.
typedef uint16_t SixteenUnits __attribute__((vector_size(32)));
typedef uint8_t SixteenBytes __attribute__((vector_size(16)));
constexpr size_t kUnitsPerStep = 16;
// Units read before a wide character can end the test early.
constexpr size_t kUnitsPerTest = 512;

// Whether every unit of units[0, count) fits in one byte (count a multiple
// of kUnitsPerTest).
bool AllFitInBytes(const char16_t* units, size_t count) {
  for (size_t block = 0; block < count; block += kUnitsPerTest) {
    SixteenUnits any = {};
    for (size_t i = block; i < block + kUnitsPerTest; i += kUnitsPerStep) {
      SixteenUnits step;
      std::memcpy(&step, units + i, sizeof step);
      any |= step;
    }
    any >>= 8;
    uint64_t words[4];
    std::memcpy(words, &any, sizeof words);
    if (words[0] | words[1] | words[2] | words[3]) return false;
  }
  return true;
}

}  // namespace

void KTSourceText::Narrow(size_t stretch) {
  static const size_t pageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  static_assert(kStretchBytes / 2 % kUnitsPerTest == 0);
  if (narrowed_[stretch]) return;
  const uintptr_t alignedStart = reinterpret_cast<uintptr_t>(text_) - lead_;
  char16_t* first = reinterpret_cast<char16_t*>(alignedStart + stretch * kStretchBytes);
  const size_t count = kStretchBytes / 2;
  if ((kStretchBytes / 2) % pageBytes != 0 || !AllFitInBytes(first, count)) return;
  // Forward in place: the bytes a step writes lie within the characters
  // that it or an earlier step has read.
  auto* narrow = reinterpret_cast<uint8_t*>(first);
  for (size_t i = 0; i < count; i += kUnitsPerStep) {
    SixteenUnits units;
    std::memcpy(&units, first + i, sizeof units);
    const SixteenBytes bytes = __builtin_convertvector(units, SixteenBytes);
    std::memcpy(narrow + i, &bytes, sizeof bytes);
  }
  narrowed_[stretch] = 1;
  released_ += static_cast<long long>(count);
  // The second half now holds nothing anyone reads; its pages go back
  // (should the system refuse, they just stay).
  madvise(narrow + count, kStretchBytes / 2, MADV_DONTNEED);
}
