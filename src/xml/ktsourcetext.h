// KTSourceText: a document's decoded UTF-16 text as the tree build and the
// checks after it read it, able to give back the part the build has passed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ktlinemap.h"

// While a large document's tree is built, the decoded text and the growing
// tree would stand side by side at full size. The build reads the text in
// document order, and what lies behind it is read again only to place an
// error (line, column, the character a check names). So each stretch the
// build has passed whose characters all fit in one byte is rewritten in
// place, one byte a character, into its own first half, and the pages of its
// second half are handed back to the system; stretches with wider characters
// stay as they are. Narrowing in place needs no new memory, so the handed-back
// half is saved whole. Reads go through At and Range, which take either form.
//
// The text block must stay allocated for the lifetime of this object; once a
// stretch is narrowed, the block no longer holds its UTF-16 and only this
// object reads it right.
class KTSourceText {
 public:
  // A view of text[0, length) that never hands anything back.
  KTSourceText(const char16_t* text, int length);
  // The same over a text this object may hand back while it lives (see
  // ReleaseBefore); the caller keeps the block allocated.
  KTSourceText(char16_t* text, int length, bool releasable);
  KTSourceText(const KTSourceText&) = delete;
  KTSourceText& operator=(const KTSourceText&) = delete;
  ~KTSourceText();

  const char16_t* Begin() const { return text_; }
  int GetLength() const { return length_; }
  bool IsReleasable() const { return releasable_; }
  // Whether any stretch has been handed back: the block no longer holds the
  // whole text.
  bool HasReleased() const { return released_ > 0; }

  char16_t At(int index) const {
    const size_t place = Place(index);
    if (narrowed_.empty() || !narrowed_[place >> kStretchShift]) return text_[index];
    // The stretch's k-th character is now its k-th byte.
    const uintptr_t stretch = reinterpret_cast<uintptr_t>(text_) - lead_ + (place & ~kStretchMask);
    return *reinterpret_cast<const uint8_t*>(stretch + (place & kStretchMask) / 2);
  }
  // The characters [start, end) (clipped to the text): a view into the
  // block where it holds them, otherwise a copy in scratch.
  std::u16string_view Range(int start, int end, std::u16string& scratch) const;
  // Characters in [start, end), a surrogate pair counting as one.
  int CountCharacters(int start, int end) const;
  // 1-based line and column of an offset (clipped to the text); CR, LF and
  // CR LF each end a line, and a surrogate pair counts as one column. An
  // offset between the CR and the LF of a pair lies where pairMiddle says.
  void LineAndColumn(int offset, int& line, int& column,
                     KTLineMap::PairMiddle pairMiddle = KTLineMap::PairMiddle::kOnEndedLine) const;

  // Narrows every whole stretch before `offset` whose characters all fit in
  // one byte and hands back its second half (a releasable text only; nothing
  // otherwise). Cheap to call often: it returns at once until the offset
  // reaches the next stretch.
  void ReleaseBefore(int offset) {
    if (offset >= nextCheck_) ReleaseStretches(offset);
  }
  // Gives every narrowed stretch its UTF-16 back in the block (the pages
  // handed back return as they are written) and starts the hand-back over:
  // the block holds the whole text again, for a parse that must begin anew
  // after a failed attempt that released text (ktchunkparse.h). Not for a
  // text with pins.
  void Restore();
  // Keeps the stretches holding text[start, end) as they are until the same
  // range is unpinned: ReleaseBefore passes over a pinned stretch, and
  // narrows it once its last pin goes. Pins are counted per stretch, so
  // however many ranges are pinned, no more is kept than the stretches they
  // touch.
  void Pin(int start, int end);
  void Unpin(int start, int end);
  // Stretches held by pins now (for tests and measurements).
  int GetPinnedCount() const { return pinned_; }
  // Characters in the stretches narrowed so far (for tests and
  // measurements); half their UTF-16 bytes went back to the system.
  long long GetReleasedCount() const { return released_; }

  // The stretch is the unit handed back: stretches are aligned to their size
  // in the address space, so each one covers whole pages.
  static constexpr int kStretchShift = 16;
  static constexpr size_t kStretchBytes = size_t{1} << kStretchShift;

 private:
  static constexpr size_t kStretchMask = kStretchBytes - 1;
  // Byte place of a character counted from the aligned start of its stretch.
  size_t Place(int index) const { return lead_ + static_cast<size_t>(index) * 2; }
  void ReleaseStretches(int offset);
  // Narrows one stretch and hands back its second half when its characters
  // all fit in one byte.
  void Narrow(size_t stretch);
  // The stretches holding text[start, end).
  size_t FirstStretch(int start) const;
  size_t EndStretch(int start, int end) const;

  char16_t* text_;
  int length_;
  bool releasable_;
  size_t lead_;       // bytes from the first stretch's aligned start to the text
  int nextCheck_;     // offset at which the next stretch may be handed back
  size_t nextStretch_ = 0;
  int pinned_ = 0;  // stretches with pins
  long long released_ = 0;
  // Per stretch: non-zero once it holds its characters one byte each.
  std::vector<uint8_t> narrowed_;
  // Per stretch: the pins on it (empty until the first pin).
  std::vector<uint32_t> pins_;
};
