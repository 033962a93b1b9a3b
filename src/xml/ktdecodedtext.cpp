// Decoding a document's bytes to UTF-16 and encoding UTF-16 text for saving,
// through the encoding table's detection and converters.
#include "xml/ktdecodedtext.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <latch>
#include <new>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/ktencoding.h"
#include "platform/ktmemory.h"
#include "platform/ktwchar.h"
#include "xml/ktchunkparse.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"

namespace {

// Room the detection may fill with a declared encoding name.
constexpr int kEncodingNameRoom = 80;
// Ids below this one are the single-byte encodings: one byte, one character.
constexpr int kFirstMultiByteId = 90;

KTString CanonicalName(int id) {
  int row = EncodingIndexFromId(id);
  return row < 0 ? KTString() : KTString(EncodingTable[row].canonicalName);
}

void ReportReplaced(int replaced, int id, KTLoadStatus& status) {
  KTString message;
  KTString name = CanonicalName(id);
  message.Format(u"%d character(s) have no code in %s and were replaced", replaced,
                 name.IsEmpty() ? u"the chosen encoding" : name.c_str());
  KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, message);
}

// Where decoding met its first problem and what it was.
struct BadPlace {
  enum Kind { kNone, kSequence, kNul, kNonCharacter } kind = kNone;
  long byteOffset = -1;  // -1: not known for the encoding
  int line = 0;          // 0: not known
  int column = 0;
  unsigned code = 0;     // the character for kNul and kNonCharacter
};

// The first sequence of UTF-8 bytes that is not valid, or NUL, or U+FFFE
// (which the decoder replaces: it is a reversed byte-order mark, no
// character). Lines and columns count characters, a four-byte form once.
BadPlace FindBadUtf8(const unsigned char* bytes, size_t size) {
  BadPlace place;
  int line = 1;
  int column = 1;
  size_t i = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  while (i < size) {
    unsigned b = bytes[i];
    size_t length = b < 0x80 ? 1 : b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3 : b >= 0xF0 && b < 0xF5 ? 4 : 0;
    bool valid = length > 0 && i + length <= size;
    unsigned value = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (bytes[i + k] & 0xC0) == 0x80;
      value = (value << 6) | (bytes[i + k] & 0x3F);
    }
    if (valid)
      valid = (length != 3 || (value >= 0x800 && (value < 0xD800 || value > 0xDFFF))) &&
              (length != 4 || (value >= 0x10000 && value <= 0x10FFFF));
    BadPlace::Kind kind = !valid ? BadPlace::kSequence
                          : value == 0 ? BadPlace::kNul
                          : value == 0xFFFE ? BadPlace::kNonCharacter
                                            : BadPlace::kNone;
    // A character XML forbids outranks an earlier bad sequence: it ends the
    // load, so it is the one to name.
    if (kind != BadPlace::kNone && (place.kind == BadPlace::kNone || kind != BadPlace::kSequence)) {
      place.kind = kind;
      place.byteOffset = static_cast<long>(i);
      place.line = line;
      place.column = column;
      place.code = value;
      if (kind != BadPlace::kSequence)
        return place;
    }
    if (!valid)
      length = 1;
    if (b == '\n' || (b == '\r' && (i + 1 >= size || bytes[i + 1] != '\n'))) {
      ++line;
      column = 1;
    } else if (b != '\r') {
      ++column;
    }
    i += length;
  }
  return place;
}

// The first NUL or replaced character of text decoded from another encoding;
// the byte offset is known where one byte makes one character.
BadPlace FindBadUnits(const char16_t* units, int length, bool singleByte) {
  BadPlace place;
  int line = 1;
  int lineStart = 0;
  for (int i = 0; i < length; ++i) {
    char16_t c = units[i];
    if ((c == 0 || c == 0xFFFD) && (place.kind == BadPlace::kNone || c == 0)) {
      place.kind = c == 0 ? BadPlace::kNul : BadPlace::kSequence;
      place.byteOffset = singleByte ? i : -1;
      place.line = line;
      place.column = KTCountCharacters(units + lineStart, units + i) + 1;
      if (c == 0)
        return place;
    }
    if (c == u'\n' || (c == u'\r' && (i + 1 >= length || units[i + 1] != u'\n'))) {
      ++line;
      lineStart = i + 1;
    }
  }
  return place;
}

// True when the bytes open with an XML declaration (or the text declaration
// of an external entity): "<?xml" and white space at the very start, and the
// first "encoding" of the bytes, with its "=" and quoted value, stands before
// the declaration's "?>". XML 1.0 §4.3.3 reads an encoding name there only;
// the detection finds the first "encoding" anywhere in the first bytes, so an
// attribute or processing instruction of a document without a declaration
// must not decide its encoding. A byte-order mark never gets here: it decides
// before any name is read.
bool HasEncodingDeclaration(const unsigned char* bytes, size_t size) {
  if (size < 6 || std::memcmp(bytes, "<?xml", 5) != 0)
    return false;
  unsigned char space = bytes[5];
  if (space != 0x20 && space != 0x09 && space != 0x0D && space != 0x0A)
    return false;
  // The detection found its name within its first bytes, so this scan stops
  // at that "encoding" at the latest.
  constexpr char kName[] = "encoding";
  constexpr size_t kNameLength = sizeof kName - 1;
  size_t at = 6;
  for (;; ++at) {
    if (at + kNameLength > size || (bytes[at] == '?' && bytes[at + 1] == '>'))
      return false;
    size_t k = 0;
    while (k < kNameLength && (bytes[at + k] | 0x20) == static_cast<unsigned char>(kName[k]))
      ++k;
    if (k == kNameLength)
      break;
  }
  // "=", an opening and a closing quote, each the first found as the
  // detection looks for them, all before "?>".
  enum Step { kEquals, kOpen, kClose } step = kEquals;
  for (size_t i = at + kNameLength; i + 1 < size; ++i) {
    unsigned char c = bytes[i];
    if (c == '?' && bytes[i + 1] == '>')
      return false;
    if (step == kEquals) {
      if (c == '=')
        step = kOpen;
    } else if (c == '"' || c == '\'') {
      if (step == kClose)
        return true;
      step = kClose;
    }
  }
  return false;
}

// "byte offset N, line L, column C" as far as each is known.
KTString DescribePlace(const BadPlace& place) {
  KTString where;
  if (place.byteOffset >= 0)
    where.Format(u"byte offset %ld", place.byteOffset);
  if (place.line > 0) {
    KTString lineColumn;
    lineColumn.Format(u"line %d, column %d", place.line, place.column);
    where = where.IsEmpty() ? lineColumn : where + u", " + lineColumn;
  }
  return where;
}

}  // namespace

KTDecodedTextBuffer::~KTDecodedTextBuffer() { Clear(); }

void KTDecodedTextBuffer::Clear() {
  ReleaseData();
  text_ = KTString();
  length_ = 0;
  hasText_ = false;
}

const char16_t* KTDecodedTextBuffer::GetText(int& length) const {
  length = length_;
  return hasText_ ? text_.c_str() : nullptr;
}

KTString KTDecodedTextBuffer::ReleaseText() {
  KTString text = std::move(text_);
  text_ = KTString();
  length_ = 0;
  hasText_ = false;
  return text;
}

int KTDecodedTextBuffer::DetectEncoding(int& id, int& byteOrder, KTString& name) {
  if (data_ == nullptr)
    return 0;
  char16_t declared[kEncodingNameRoom + 1] = u"unknown";
  int result = ::DetectEncoding(data_, size_, &id, &byteOrder, declared);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data_);
  if (!(result & DetectNoDeclaration) && !HasEncodingDeclaration(bytes, size_)) {
    // The name came from elsewhere than a declaration: the bytes are read as
    // those of an entity that declares nothing.
    id = HasIso2022JpEscape(bytes, size_) ? kEncodingIso2022Jp : kEncodingNone;
    byteOrder = kByteOrderNone;
    result = DetectNoDeclaration | (id != kEncodingNone ? DetectFound : 0);
  }
  if (id == kEncodingNone) {
    // XML 1.0 §4.3.3: an entity with neither a byte-order mark nor a known
    // encoding declaration is UTF-8 (bytes that are not get counted as errors).
    id = kEncodingUtf8;
    byteOrder = kByteOrderNone;
  }
  KTString canonical = CanonicalName(id);
  name = canonical.IsEmpty() || (result & DetectUnknownName) ? KTString(declared) : canonical;
  return result;
}

bool KTDecodedTextBuffer::Decode(const void* bytes, uint32_t size, bool copy, KTLoadStatus& status) {
  Clear();
  if (!SetData(bytes, size, copy))
    return false;
  return FinishDecode(status);
}

bool KTDecodedTextBuffer::DecodeBlock(std::unique_ptr<char[]> block, uint32_t size, KTLoadStatus& status) {
  Clear();
  if (!block)
    return false;
  TakeData(std::move(block), size);
  return FinishDecode(status);
}

bool KTDecodedTextBuffer::FinishDecode(KTLoadStatus& status) {
  int result = DetectEncoding(encodingId_, byteOrder_, encodingName_);
  if (result & DetectUnknownName) {
    // XML 1.0 §4.3.3: an entity declared in an encoding the processor cannot
    // read is a fatal error (a byte-order mark, which decides before any
    // declaration is read, never gets here).
    KTString message;
    message.Format(u"The encoding \"%s\" named in the encoding declaration is not supported", encodingName_.c_str());
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed, message);
    ReleaseData();
    return false;
  }
  if (!AcceptEncoding(result, encodingId_, byteOrder_, encodingName_) || ShouldConvert() == 0)
    return true;
  Convert(status);
  if (!hasText_)
    return false;
  ReleaseData();
  return true;
}

bool KTDecodedTextBuffer::DecodeAs(const void* bytes, uint32_t size, int id, int byteOrder, bool copy,
                                   KTLoadStatus& status) {
  Clear();
  if (!SetData(bytes, size, copy))
    return false;
  encodingId_ = id;
  byteOrder_ = byteOrder;
  encodingName_ = KTString();
  Convert(status);
  if (!hasText_)
    return false;
  ReleaseData();
  return true;
}

void KTDecodedTextBuffer::TakeText(KTString&& text) {
  Clear();
  length_ = text.GetLength();
  text_ = std::move(text);
  hasText_ = true;
  encodingId_ = kEncodingUtf16;
  byteOrder_ = kByteOrderLittle;
  encodingName_ = CanonicalName(kEncodingUtf16);
}

namespace {

// XML 1.0 §2.2 allows no U+0000, and a KTString ends at its first NUL: a NUL
// would silently cut the text there. It becomes U+FFFD and counts as a
// character that could not be decoded.
int ReplaceNuls(char16_t* units, int length) {
  // Blocks of 16 units are tested four units to a word, with no branch per
  // unit; only a block holding a NUL is looked at unit by unit.
  constexpr int kBlock = 16;
  constexpr std::uint64_t kLow = 0x0001000100010001ull;
  constexpr std::uint64_t kHigh = 0x8000800080008000ull;
  int replaced = 0;
  int i = 0;
  for (; length - i >= kBlock; i += kBlock) {
    std::uint64_t words[4];
    std::memcpy(words, units + i, sizeof words);
    std::uint64_t zero = 0;
    for (std::uint64_t w : words)
      zero |= (w - kLow) & ~w & kHigh;  // set for some unit exactly when one is 0
    if (zero == 0)
      continue;
    for (int k = 0; k < kBlock; ++k) {
      if (units[i + k] == 0) {
        units[i + k] = 0xFFFD;
        ++replaced;
      }
    }
  }
  for (; i < length; ++i) {
    if (units[i] == 0) {
      units[i] = 0xFFFD;
      ++replaced;
    }
  }
  return replaced;
}

// The UTF-16 units that UTF-8 bytes[0, size) decode to when they are well
// formed: one a byte that continues no sequence, one more a four-byte lead.
// False at a NUL byte (the decode must replace it: see ReplaceNuls).
bool CountUtf8Units(const unsigned char* bytes, size_t size, size_t& units) {
  size_t count = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i beforeLead = _mm_set1_epi8(static_cast<char>(0xC0));      // bytes below it (signed) continue
  const __m128i beforeFourLead = _mm_set1_epi8(static_cast<char>(0xEF));  // bytes above it (signed) lead four
  for (; size - i >= 16; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(block, zero)) != 0) return false;
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(block));
    if (high == 0) {
      count += 16;
      continue;
    }
    const unsigned continuing = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(block, beforeLead)));
    const unsigned fourLead =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(block, beforeFourLead))) & high;
    count += 16 - static_cast<size_t>(std::popcount(continuing)) + static_cast<size_t>(std::popcount(fourLead));
  }
#endif
  for (; i < size; ++i) {
    const unsigned char b = bytes[i];
    if (b == 0) return false;
    count += (b & 0xC0) != 0x80;
    count += b >= 0xF0;
  }
  units = count;
  return true;
}

std::atomic<long> gPiecewise{0};

// Bytes of a large text below which a piece is not worth a thread of its own.
constexpr size_t kMinPieceBytes = size_t{1} << 18;

// Decodes the UTF-8 bytes [source, end) into target in pieces, on threads
// when the load may use them (KTChunkParse::MaySplit), and sets `length`.
// The pieces start at bytes that continue no sequence, where the decode of
// the whole starts a sequence too, so each piece decodes alike alone; each
// piece is counted first, so that it is written straight to its place.
// False, with the target's contents undefined, when the text is not split
// or any piece holds what the whole decode would replace or refuse (an
// ill-formed sequence, a NUL): the caller then decodes the whole.
bool DecodeUtf8InPieces(const char* source, const char* end, char16_t* target, int& length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(source);
  const size_t size = static_cast<size_t>(end - source);
  int threads = 1;
  bool forced = false;
  if (!KTChunkParse::MaySplit(static_cast<long>(std::min<size_t>(size, LONG_MAX)), threads, forced)) return false;
  // A forced mode cuts even a short text, for tests.
  const size_t pieces = forced ? std::min<size_t>(KTChunkParse::kMaxThreads, size)
                               : std::min<size_t>(static_cast<size_t>(threads), size / kMinPieceBytes);
  if (pieces < 2) return false;
  std::vector<size_t> starts(pieces + 1);
  starts[pieces] = size;
  for (size_t k = 1; k < pieces; ++k) {
    size_t at = size / pieces * k;
    // A well-formed sequence has at most three bytes after its lead.
    for (int step = 0; at < size && (bytes[at] & 0xC0) == 0x80; ++step, ++at) {
      if (step == 3) return false;
    }
    if (at <= starts[k - 1] || at >= size) return false;
    starts[k] = at;
  }
  starts[0] = 0;
  std::vector<size_t> units(pieces, 0);
  std::unique_ptr<bool[]> good(new bool[pieces]());
  // Every piece is counted before any is written: a piece's place is the
  // sum of the counts before it.
  std::latch counted(static_cast<std::ptrdiff_t>(pieces));
  auto count = [&](size_t k) {
    good[k] = CountUtf8Units(bytes + starts[k], starts[k + 1] - starts[k], units[k]);
  };
  auto decode = [&](size_t k) {
    if (!good[k]) return;
    size_t place = 0;
    for (size_t j = 0; j < k; ++j) place += units[j];
    const char* from = source + starts[k];
    const char* to = source + starts[k + 1];
    char16_t* written = target + place;
    char16_t* const limit = written + units[k];
    UnconvertibleCount = 0;
    good[k] = Utf8ToUtf16(from, to, written, limit) == ConvertDone && from == to && written == limit &&
              UnconvertibleCount == 0;
  };
  const size_t helpers = threads > 1 ? std::min<size_t>(static_cast<size_t>(threads), pieces) - 1 : 0;
  std::vector<std::thread> pool;
  if (helpers > 0) {
    // Each helper takes the pieces k with k % (helpers + 1) == its number;
    // the calling thread takes number 0.
    auto share = [&](size_t first) {
      for (size_t k = first; k < pieces; k += helpers + 1) count(k);
      for (size_t k = first; k < pieces; k += helpers + 1) counted.count_down();
      counted.wait();
      for (size_t k = first; k < pieces; k += helpers + 1) decode(k);
    };
    try {
      for (size_t h = 1; h <= helpers; ++h) pool.emplace_back(share, h);
    } catch (...) {
      // Fewer threads than planned: the pieces of those never started are
      // counted here, so that the latch opens, and none is decoded.
      for (size_t h = pool.size() + 1; h <= helpers; ++h) {
        for (size_t k = h; k < pieces; k += helpers + 1) {
          good[k] = false;
          counted.count_down();
        }
      }
    }
    share(0);
    for (std::thread& t : pool) t.join();
  } else {
    for (size_t k = 0; k < pieces; ++k) count(k);
    for (size_t k = 0; k < pieces; ++k) decode(k);
  }
  UnconvertibleCount = 0;
  size_t total = 0;
  for (size_t k = 0; k < pieces; ++k) {
    if (!good[k]) return false;
    total += units[k];
  }
  length = static_cast<int>(total);
  gPiecewise.fetch_add(1);
  return true;
}

}  // namespace

long KTDecodedTextBuffer::GetPiecewiseCount() { return gPiecewise.load(); }

namespace {

std::atomic<long> gStreamed{0};

// The piece a file is read in: its pages stay in memory from one piece to
// the next, where the whole file's bytes would take a page fault each.
constexpr size_t kStreamPieceBytes = size_t{1} << 15;
// A well-formed UTF-8 sequence is at most four bytes long: a piece carries
// at most that many of a sequence it cuts over to the next.
constexpr size_t kMaxSequenceBytes = 4;

// Fills buffer[0, want) from fd; the bytes read (fewer at the end of the
// file), or -1 on an error.
long ReadFully(int fd, char* buffer, size_t want) {
  size_t got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd, buffer + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

// Where a piece of bytes[0, n) that the file goes on after is cut: before
// the lead byte of the last sequence when the piece ends inside it or right
// after it, so each decode sees whole sequences only.
size_t CutBeforeLastLead(const unsigned char* bytes, size_t n) {
  size_t at = n;
  while (at > 0 && n - at < kMaxSequenceBytes - 1 && (bytes[at - 1] & 0xC0) == 0x80) --at;
  return at > 0 && bytes[at - 1] >= 0xC0 ? at - 1 : n;
}

}  // namespace

long KTDecodedTextBuffer::GetStreamedCount() { return gStreamed.load(); }

bool KTDecodedTextBuffer::DecodeUtf8File(int fd, size_t size) {
  Clear();
  // A text shorter than two pieces gains nothing, and the detection must see
  // the same first bytes as over the whole file.
  if (size < 2 * kStreamPieceBytes || size > kMaxDocumentBytes) return false;
  std::unique_ptr<char[]> piece(new (std::nothrow) char[kStreamPieceBytes]);
  if (!piece) return false;
  KTPutPagesInPlace(piece.get(), kStreamPieceBytes);
  const long first = ReadFully(fd, piece.get(), kStreamPieceBytes);
  if (first != static_cast<long>(kStreamPieceBytes)) return false;
  // The detection reads a window at the start of the bytes, and the whole of
  // them only for an ISO-2022-JP escape, which no piece may hold (below).
  SetData(piece.get(), kStreamPieceBytes, false);
  const int result = DetectEncoding(encodingId_, byteOrder_, encodingName_);
  ReleaseData();
  if ((result & DetectUnknownName) || encodingId_ != kEncodingUtf8 || byteOrder_ != kByteOrderNone) {
    Clear();
    return false;
  }
  KTString text;
  text.ClearAndReserve(static_cast<int>(size));
  char16_t* const start = text.GetBuffer();
  char16_t* target = start;
  size_t done = static_cast<size_t>(first);  // file bytes read so far
  size_t filled = static_cast<size_t>(first);  // bytes in the piece
  size_t skip = size >= 3 && std::memcmp(piece.get(), "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;  // the signature
  for (;;) {
    const bool last = done == size;
    const auto* bytes = reinterpret_cast<const unsigned char*>(piece.get());
    // A NUL is replaced and an escape may make the text ISO-2022-JP: both
    // are left to the whole decode.
    if (std::memchr(bytes + skip, 0, filled - skip) || std::memchr(bytes + skip, 0x1B, filled - skip)) break;
    const size_t cut = last ? filled : CutBeforeLastLead(bytes, filled);
    const char* from = piece.get() + skip;
    const char* to = piece.get() + cut;
    // A piece of n bytes writes at most n units, exactly n for ASCII: their
    // pages are put in place by one call instead of a fault each. Text of
    // wider characters writes fewer, and the next piece starts where this
    // one ended, so at most one piece's worth is put in place unwritten.
    KTPutPagesInPlace(target, static_cast<size_t>(to - from) * sizeof(char16_t));
    UnconvertibleCount = 0;
    if (Utf8ToUtf16(from, to, target, start + size) != ConvertDone || from != to || UnconvertibleCount != 0) break;
    if (last) {
      const int length = static_cast<int>(target - start);
      UnconvertibleCount = 0;
      text.SetWrittenLength(length);
      text_ = std::move(text);
      length_ = length;
      hasText_ = true;
      gStreamed.fetch_add(1);
      return true;
    }
    const size_t carried = filled - cut;
    std::memmove(piece.get(), piece.get() + cut, carried);
    const size_t want = std::min(kStreamPieceBytes - carried, size - done);
    const long got = ReadFully(fd, piece.get() + carried, want);
    if (got != static_cast<long>(want)) break;
    done += want;
    filled = carried + want;
    skip = 0;
  }
  UnconvertibleCount = 0;
  Clear();
  return false;
}

bool KTDecodedTextBuffer::DecodeUtf8InPlace(int& replaced) {
  // UTF-8, the common case, decodes straight into the string's own block: N
  // bytes give at most N units. This spares the converter's separate block
  // and the copy out of it, so a load peaks at the bytes plus the text.
  if (size_ == 0) {
    UnconvertibleCount = 0;
    text_ = KTString();
    length_ = 0;
    return true;
  }
  const char* source = data_;
  const char* sourceEnd = data_ + size_;
  if (size_ >= 3 && std::memcmp(data_, "\xEF\xBB\xBF", 3) == 0)
    source += 3;  // the signature is no text
  KTString text;
  text.ClearAndReserve(static_cast<int>(size_));
  char16_t* start = text.GetBuffer();
  int pieced = 0;
  if (DecodeUtf8InPieces(source, sourceEnd, start, pieced)) {
    // Well formed and without a NUL: nothing was replaced.
    replaced = 0;
    text.SetWrittenLength(pieced);
    text_ = std::move(text);
    length_ = pieced;
    return true;
  }
  char16_t* target = start;
  UnconvertibleCount = 0;
  const char* bytes = source;
  if (Utf8ToUtf16(source, sourceEnd, target, start + size_) != ConvertDone)
    return false;
  int length = static_cast<int>(target - start);
  // A well-formed multi-byte form never decodes to U+0000 (overlong forms are
  // refused), so a NUL unit comes from a NUL byte alone: a text without one
  // (any real document) is not read again.
  const bool nulByte = std::memchr(bytes, 0, static_cast<size_t>(sourceEnd - bytes)) != nullptr;
  replaced = UnconvertibleCount + (nulByte ? ReplaceNuls(start, length) : 0);
  // No NUL is left in the text: its length is known without a scan.
  text.SetWrittenLength(length);
  text_ = std::move(text);
  length_ = length;
  return true;
}

void KTDecodedTextBuffer::Convert(KTLoadStatus& status) {
  text_ = KTString();
  length_ = 0;
  hasText_ = false;
  if (size_ > static_cast<uint32_t>(INT_MAX)) {
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed,
                   KTString(u"The document is too large to decode"));
    return;
  }
  int replaced = 0;
  bool decoded = false;
  BadPlace bad;
  if (encodingId_ == kEncodingUtf8) {
    decoded = DecodeUtf8InPlace(replaced);
    if (decoded && replaced > 0)
      bad = FindBadUtf8(reinterpret_cast<const unsigned char*>(data_), size_);
  } else {
    int length = static_cast<int>(size_);
    std::unique_ptr<char16_t[]> block = DecodeToUtf16(data_, &length, encodingId_, byteOrder_);
    if (block) {
      replaced = UnconvertibleCount;
      if (replaced > 0 || std::char_traits<char16_t>::find(block.get(), static_cast<size_t>(length), 0))
        bad = FindBadUnits(block.get(), length, encodingId_ < kFirstMultiByteId);
      replaced += ReplaceNuls(block.get(), length);
      // The raw bytes go before the copy, so that bytes, block and text are
      // never all held at once. The converter's block has no KTString
      // header, so the text is copied out of it once.
      ReleaseData();
      text_.Assign(block.get(), length);
      length_ = length;
      decoded = true;
    }
  }
  if (!decoded) {
    KTString message;
    message.Format(u"The bytes cannot be decoded as %s", encodingName_.IsEmpty() ? u"the given encoding"
                                                                                  : encodingName_.c_str());
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed, message);
    return;
  }
  if (bad.kind == BadPlace::kNul || bad.kind == BadPlace::kNonCharacter) {
    // XML 1.0 §2.2 allows neither: the document is not well-formed, so the
    // decode ends here, naming the character and its place.
    KTString message;
    if (bad.byteOffset >= 0)
      message.Format(u"line %d, column %d: the character U+%04X is not allowed in XML (byte offset %ld)", bad.line,
                     bad.column, bad.code, bad.byteOffset);
    else
      message.Format(u"line %d, column %d: the character U+%04X is not allowed in XML", bad.line, bad.column,
                     bad.code);
    status.SetError(KTLoadStatus::kParse, KTLoadStatus::kParseFailed);
    status.SetMessage(message);
    status.SetPosition(bad.line, bad.column);
    text_ = KTString();
    length_ = 0;
    return;
  }
  hasText_ = true;
  if (replaced > 0) {
    KTString message;
    const char16_t* name = encodingName_.IsEmpty() ? u"the given encoding" : encodingName_.c_str();
    if (bad.kind == BadPlace::kSequence)
      message.Format(u"%d byte sequence(s) are not valid %s and were replaced; the first at %s", replaced, name,
                     DescribePlace(bad).c_str());
    else
      message.Format(u"%d byte sequence(s) are not valid %s and were replaced", replaced, name);
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed, message);
  }
}

std::unique_ptr<char[]> KTDecodedTextBuffer::Encode(int id, int byteOrder, uint32_t& size, KTLoadStatus& status) {
  size = 0;
  if (!hasText_)
    return nullptr;
  int length = length_;
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(text_.c_str(), &length, id, byteOrder, true, false);
  int replaced = UnconvertibleCount;
  if (!bytes) {
    KTString message;
    message.Format(u"The text cannot be written in encoding %d", id);
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, message);
    return nullptr;
  }
  size = static_cast<uint32_t>(length);
  if (replaced > 0) ReportReplaced(replaced, id, status);
  return bytes;
}

// ---- Encoding in pieces ----

bool KTPiecewiseEncoder::EncodesPiecewise(int id) {
  return id == kEncodingUtf8 || (id > kEncodingNone && id < kFirstMultiByteId);
}

KTPiecewiseEncoder::KTPiecewiseEncoder(int id, const char16_t* lineEnd) : id_(id) {
  size_t length = lineEnd ? std::char_traits<char16_t>::length(lineEnd) : 0;
  if (length == 1 || length == 2) {
    lineEndLength_ = static_cast<int>(length);
    lineEnd_[0] = lineEnd[0];
    lineEnd_[1] = length == 2 ? lineEnd[1] : 0;
  }
}

void KTPiecewiseEncoder::PutLineEnd() {
  Put(lineEnd_[0]);
  if (lineEndLength_ == 2) Put(lineEnd_[1]);
}

void KTPiecewiseEncoder::Append(const char16_t* text, size_t length) {
  if (ended_ || failed_) return;
  const char16_t* nul = KTFindUnit(text, length, u'\0');
  if (nul) {
    length = static_cast<size_t>(nul - text);
    ended_ = true;
  }
  appended_ += length;
  if (lineEndLength_ == 0 && pending_.empty()) {
    // Nothing waits: the piece is encoded where it lies, but a trailing
    // high surrogate, which waits for the next piece.
    size_t count = length;
    if (count > 0 && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF) --count;
    EncodeUnits(text, count);
    pending_.insert(pending_.end(), text + count, text + length);
    return;
  }
  if (lineEndLength_ == 0) {
    pending_.insert(pending_.end(), text, text + length);
  } else {
    size_t i = 0;
    while (i < length) {
      if (pendingCr_) {
        pendingCr_ = false;
        PutLineEnd();
        if (text[i] == u'\n') {
          ++i;
          continue;
        }
      }
      // The run up to the next line end goes over as it is. Where line ends
      // are written as LF, an LF stays as it is and only a CR ends the run.
      size_t run = i;
      if (lineEndLength_ == 1 && lineEnd_[0] == u'\n') {
        const char16_t* cr = KTFindUnit(text + i, length - i, u'\r');
        run = cr ? static_cast<size_t>(cr - text) : length;
      } else {
        while (run < length && text[run] != u'\r' && text[run] != u'\n') ++run;
      }
      pending_.insert(pending_.end(), text + i, text + run);
      if (run == length) break;
      if (text[run] == u'\r')
        pendingCr_ = true;
      else
        PutLineEnd();
      i = run + 1;
    }
  }
  EncodePending(false);
}

void KTPiecewiseEncoder::EncodePending(bool last) {
  size_t count = pending_.size();
  // A high surrogate waits for the low one that may open the next piece.
  if (!last && count > 0 && pending_[count - 1] >= 0xD800 && pending_[count - 1] <= 0xDBFF) --count;
  if (count == 0 || failed_) return;
  EncodeUnits(pending_.data(), count);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
}

void KTPiecewiseEncoder::EncodeUnits(const char16_t* units, size_t count) {
  if (count == 0 || failed_) return;
  int length = static_cast<int>(count);
  std::unique_ptr<char[]> piece = EncodeFromUtf16(units, &length, id_, kByteOrderNone, false, false);
  if (!piece) {
    failed_ = true;
    return;
  }
  replaced_ += UnconvertibleCount;
  const char* from = piece.get();
  size_t left = static_cast<size_t>(length);
  while (left > 0) {
    if (blocks_.empty() || lastUsed_ == kBlockSize) {
      // Memory that runs out is reported as such (std::bad_alloc), not as
      // text the encoding cannot hold.
      std::unique_ptr<char, GiveBackBlock> block(static_cast<char*>(KTTakePageBlock()));
      if (!block) throw std::bad_alloc();
      blocks_.push_back(std::move(block));
      lastUsed_ = 0;
    }
    size_t step = std::min(left, kBlockSize - lastUsed_);
    std::memcpy(blocks_.back().get() + lastUsed_, from, step);
    lastUsed_ += step;
    size_ += step;
    from += step;
    left -= step;
  }
}

std::unique_ptr<char[]> KTPiecewiseEncoder::Finish(uint32_t& size, KTLoadStatus& status) {
  size = 0;
  if (pendingCr_) {
    pendingCr_ = false;
    PutLineEnd();
  }
  EncodePending(true);
  if (!failed_ && size_ > static_cast<size_t>(INT_MAX)) failed_ = true;
  // One block for the writer: each block is freed once copied, so the bytes
  // are held about once, not twice.
  std::unique_ptr<char[]> bytes(failed_ ? nullptr : new char[size_ + 1]);
  if (!bytes) {
    blocks_.clear();
    KTString message;
    message.Format(u"The text cannot be written in encoding %d", id_);
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, message);
    return nullptr;
  }
  size_t at = 0;
  for (size_t i = 0; i < blocks_.size(); ++i) {
    size_t used = i + 1 == blocks_.size() ? lastUsed_ : kBlockSize;
    std::memcpy(bytes.get() + at, blocks_[i].get(), used);
    at += used;
    blocks_[i].reset();
  }
  blocks_.clear();
  bytes[size_] = 0;
  size = static_cast<uint32_t>(size_);
  if (replaced_ > 0) ReportReplaced(static_cast<int>(std::min<long long>(replaced_, INT_MAX)), id_, status);
  return bytes;
}
