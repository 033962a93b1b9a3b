// KTString: blocks, assignment, appending, search, substrings, editing,
// trimming and formatting.
#include "core/ktstring.h"

#include "core/ktstringpool.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "platform/ktmemory.h"
#include "platform/ktparkedpools.h"
#include "platform/ktresources.h"
#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"

namespace {

// The one shared empty block: capacity 0, length 0, an empty text. Constant
// initialised, so strings built before main may point at it.
struct alignas(8) SharedEmptyBlock {
  int capacity;
  int length;
  char16_t chars[4];
};
constinit SharedEmptyBlock gSharedEmpty = {0, 0, {0, 0, 0, 0}};

// Texts longer than this cannot be held: sizes are signed 32-bit numbers.
constexpr int kMaxCapacity = (INT_MAX / 2) - 64;

int Stepped(int n) { return n <= 0 ? 0 : ((n - 1) / 10 + 1) * 10; }

// Finds a text in time linear in the searched text, whatever both hold: a
// short pattern is compared directly (a bounded number of comparisons per
// position); a longer one goes through the Knuth-Morris-Pratt prefix table, so
// that a pattern such as "aa...ab" against a long run of 'a' does not cost
// text length times pattern length. The comparisons of the table and of the
// search go to KTWorkCount, so tests can check that they stay linear.
class KTTextSearch {
 public:
  explicit KTTextSearch(std::u16string_view pattern) : pattern_(pattern) {
    if (pattern.size() <= kShortPattern) return;
    prefix_.assign(pattern.size(), 0);
    size_t k = 0;
    uint64_t comparisons = 0;
    for (size_t i = 1; i < pattern.size(); ++i) {
      for (; k > 0 && pattern[i] != pattern[k]; ++comparisons) k = prefix_[k - 1];
      ++comparisons;
      if (pattern[i] == pattern[k]) ++k;
      prefix_[i] = k;
    }
    KTWorkCount::Add(comparisons);
  }

  // Index of the first occurrence at or after from, or npos.
  size_t Find(std::u16string_view text, size_t from) const {
    if (prefix_.empty()) return text.find(pattern_, from);
    size_t k = 0;
    uint64_t comparisons = 0;
    size_t found = std::u16string_view::npos;
    for (size_t i = from; i < text.size(); ++i) {
      for (; k > 0 && text[i] != pattern_[k]; ++comparisons) k = prefix_[k - 1];
      ++comparisons;
      if (text[i] == pattern_[k] && ++k == pattern_.size()) {
        found = i + 1 - k;
        break;
      }
    }
    KTWorkCount::Add(comparisons);
    return found;
  }

 private:
  static constexpr size_t kShortPattern = 16;
  std::u16string_view pattern_;
  std::vector<size_t> prefix_;  // empty for a short pattern
};

// ---- Pool of short blocks ----

// Every string block of up to KTString::kPooledBlockBytes, in steps of 4
// bytes (a block needs only its header's 4-byte alignment), each size with
// a free list; carved out of page blocks that are never given back (a
// document's values take over the pages of its parse tree as it is freed).
// Per thread, so no lock; a block freed on another thread joins that
// thread's lists. An address sanitizer build takes every block on its own,
// so that it still sees a block used after it was freed.
constexpr bool kPoolBlocks = !kKTAddressSanitizerBuild;

constexpr size_t kPoolStep = 4;
// A free block holds the next free block's address (copied, as the block
// may not be aligned for a pointer), so no block is smaller than one.
constexpr size_t kPoolSmallest = sizeof(void*);
constexpr size_t kPoolChunkBytes = kKTPageBlockBytes;
// Past this many chunks (2 MiB) the pool takes its chunks as a growing owner
// (their pages put in place at once); a small document's values hold no more
// memory than they write.
constexpr size_t kChunksBeforeGrowing = 8;

struct BlockPool {
  void* free[KTString::kPooledBlockBytes / kPoolStep + 1];
  char* chunk;
  size_t left;
  size_t chunksTaken;
};
thread_local constinit BlockPool tPool = {};

size_t PoolSize(size_t bytes) { return (bytes + kPoolStep - 1) / kPoolStep * kPoolStep; }

void* PoolAllocate(size_t size) {
  BlockPool& pool = tPool;
  if (void* block = pool.free[size / kPoolStep]) {
    std::memcpy(&pool.free[size / kPoolStep], block, sizeof(void*));
    return block;
  }
  if (pool.left < size) {
    // What is left of the old chunk serves the size that fits it exactly.
    if (pool.left >= kPoolSmallest) {
      std::memcpy(pool.chunk, &pool.free[pool.left / kPoolStep], sizeof(void*));
      pool.free[pool.left / kPoolStep] = pool.chunk;
    }
    pool.chunk = static_cast<char*>(KTTakePageBlock(pool.chunksTaken++ >= kChunksBeforeGrowing));
    pool.left = pool.chunk ? kPoolChunkBytes : 0;
    if (!pool.chunk) return nullptr;
  }
  void* block = pool.chunk;
  pool.chunk += size;
  pool.left -= size;
  return block;
}

void PoolFree(void* block, size_t size) noexcept {
  BlockPool& pool = tPool;
  std::memcpy(block, &pool.free[size / kPoolStep], sizeof(void*));
  pool.free[size / kPoolStep] = block;
}

bool HoldsNothing(const BlockPool& pool) {
  if (pool.chunk && pool.left > 0) return false;
  for (void* head : pool.free)
    if (head) return false;
  return true;
}

bool InSet(char16_t c, const char16_t* set) {
  for (; *set; ++set)
    if (*set == c) return true;
  return false;
}

}  // namespace

void KTStringPoolParkThread() noexcept { KTParkedPools<BlockPool, HoldsNothing>::Park(tPool); }

void KTStringPoolAdoptParked() noexcept { KTParkedPools<BlockPool, HoldsNothing>::Adopt(tPool); }

// ---- Blocks ----

bool KTString::OnShared() const noexcept { return data_ == gSharedEmpty.chars; }

char16_t* KTString::NewBlock(int capacity) {
  if (capacity < 0 || capacity > kMaxCapacity) KT_THROW_EXCEPT(KTExcept::kNoMemory);
  const size_t bytes = sizeof(Header) + (static_cast<size_t>(capacity) + 1) * sizeof(char16_t);
  // A short text takes its block from the pool: the general allocator would
  // add its own header and round up to 16 bytes on each of the hundreds of
  // thousands of names, values and expression texts a large stylesheet keeps.
  if (kPoolBlocks && PoolSize(bytes) <= kPooledBlockBytes) return NewPooledBlock(capacity);
  void* raw = ::operator new(bytes, std::nothrow);
  if (!raw) KT_THROW_EXCEPT(KTExcept::kNoMemory);
  Header* h = static_cast<Header*>(raw);
  h->capacity = capacity;
  h->length = 0;
  char16_t* data = reinterpret_cast<char16_t*>(h + 1);
  data[0] = 0;
  return data;
}

char16_t* KTString::NewPooledBlock(int capacity) {
  const size_t bytes = PoolSize(sizeof(Header) + (static_cast<size_t>(capacity) + 1) * sizeof(char16_t));
  if (!kPoolBlocks || capacity < 0 || bytes > kPooledBlockBytes) return NewBlock(capacity);
  void* raw = PoolAllocate(bytes);
  if (!raw) KT_THROW_EXCEPT(KTExcept::kNoMemory);
  Header* h = static_cast<Header*>(raw);
  h->capacity = capacity | kPooledBit;
  h->length = 0;
  char16_t* data = reinterpret_cast<char16_t*>(h + 1);
  data[0] = 0;
  return data;
}

void KTString::FreeBlock(char16_t* data) noexcept {
  if (data == gSharedEmpty.chars) return;
  Header* h = reinterpret_cast<Header*>(data) - 1;
  if (h->capacity & kPooledBit) {
    const int capacity = h->capacity & kCapacityBits;
    PoolFree(h, PoolSize(sizeof(Header) + (static_cast<size_t>(capacity) + 1) * sizeof(char16_t)));
  } else {
    ::operator delete(h);
  }
}

void KTString::Release() noexcept {
  FreeBlock(data_);
  data_ = gSharedEmpty.chars;
}

KTString::KTString() noexcept : data_(gSharedEmpty.chars) {}

KTString::KTString(const char16_t* text) : data_(gSharedEmpty.chars) {
  if (!text) return;
  int n = KTStrLen(text);
  data_ = NewBlock(n);
  std::memcpy(data_, text, n * sizeof(char16_t));
  SetLength(n);
}

KTString::KTString(char16_t c) : data_(NewBlock(1)) {
  data_[0] = c;
  data_[1] = 0;
  Head()->length = c ? 1 : 0;
}

KTString::KTString(std::u16string_view text) : data_(gSharedEmpty.chars) {
  Assign(text.data(), static_cast<int>(text.size()));
}

KTString::KTString(const KTString& other) : data_(gSharedEmpty.chars) {
  if (other.OnShared()) return;
  int n = other.GetLength();
  data_ = NewBlock(n);
  std::memcpy(data_, other.data_, n * sizeof(char16_t));
  SetLength(n);
}

KTString::KTString(KTString&& other) noexcept : data_(other.data_) { other.data_ = gSharedEmpty.chars; }

KTString::~KTString() { Release(); }

// Writable access never reaches the shared empty block: a string on it first
// gets an empty block of its own, so a stray write cannot change every empty
// string of the process.
char16_t* KTString::GetBuffer() {
  if (OnShared()) data_ = NewBlock(0);
  Head()->length = kUnknownLength;
  return data_;
}

void KTString::SetWrittenLength(int length) {
  if (OnShared()) return;  // no write went through GetBuffer
  if (length < 0 || length > GetCapacity()) KT_THROW_EXCEPT(KTExcept::kIndexTooLarge);
  SetLength(length);
}

int KTString::ScanLength() const {
  Header* h = Head();
  h->length = KTStrLen(data_);
  return h->length;
}

char16_t KTString::operator[](int index) const {
  if (index < 0 || index > GetCapacity()) KT_THROW_EXCEPT(KTExcept::kIndexTooLarge);
  return data_[index];
}

char16_t& KTString::operator[](int index) {
  if (index < 0 || index > GetCapacity()) KT_THROW_EXCEPT(KTExcept::kIndexTooLarge);
  if (OnShared()) data_ = NewBlock(0);
  Head()->length = kUnknownLength;
  return data_[index];
}

void KTString::SetCapacity(int n) { MoveToNewBlock(n, false); }

void KTString::SetCapacityPooled(int n) { MoveToNewBlock(n, true); }

void KTString::AssignPooled(const char16_t* text, int n) {
  if (n <= 0) {
    Release();
    return;
  }
  // The new block is filled before the old one goes: the text may lie in it.
  char16_t* block = NewPooledBlock(n);
  std::memcpy(block, text, static_cast<size_t>(n) * sizeof(char16_t));
  FreeBlock(data_);
  data_ = block;
  SetLength(n);
}

void KTString::MoveToNewBlock(int n, bool pooled) {
  if (n <= 0) {
    Release();
    return;
  }
  int len = std::min(GetLength(), n);
  char16_t* block = pooled ? NewPooledBlock(n) : NewBlock(n);
  std::memcpy(block, data_, len * sizeof(char16_t));
  FreeBlock(data_);
  data_ = block;
  SetLength(len);
}

void KTString::GrowTo(int n) {
  int cap = GetCapacity();
  if (n <= cap) return;
  // Geometric growth keeps repeated appends linear overall.
  long long wanted = std::max<long long>(Stepped(n), cap + cap / 2);
  int newCap = static_cast<int>(std::min<long long>(wanted, kMaxCapacity));
  if (newCap < n) newCap = n;
  int len = GetLength();
  char16_t* block = NewBlock(newCap);
  std::memcpy(block, data_, len * sizeof(char16_t));
  FreeBlock(data_);
  data_ = block;
  SetLength(len);
}

void KTString::Reserve(int n) {
  if (n <= 0) {
    if (!OnShared()) SetLength(0);
    return;
  }
  GrowTo(n);
}

void KTString::ClearAndReserve(int n) {
  if (n > GetCapacity()) {
    Release();
    data_ = NewBlock(Stepped(n));
  } else if (!OnShared()) {
    SetLength(0);
  }
}

void KTString::AllocBuffer(int n) {
  if (n <= 0 || n <= GetCapacity()) return;
  Release();
  data_ = NewBlock(Stepped(n));
}

// ---- Assignment ----

KTString& KTString::operator=(const char16_t* text) {
  if (!text || !*text) {
    Release();
    return *this;
  }
  return Assign(text, KTStrLen(text));
}

KTString& KTString::Assign(const char16_t* text, int count) {
  if (count <= 0) {
    Release();
    return *this;
  }
  if (text >= data_ && text <= data_ + GetCapacity()) {
    // Assigning part of our own text: copy it out first.
    KTString copy;
    copy.Assign(text, count);
    return *this = std::move(copy);
  }
  AllocBuffer(count);
  std::memcpy(data_, text, count * sizeof(char16_t));
  data_[count] = 0;
  // The text ends at its first NUL, wherever the copied units hold one.
  const char16_t* nul = KTFindUnit(data_, static_cast<size_t>(count), 0);
  Head()->length = nul ? static_cast<int>(nul - data_) : count;
  return *this;
}

KTString& KTString::operator=(char16_t c) {
  AllocBuffer(1);
  if (OnShared()) data_ = NewBlock(10);
  data_[0] = c;
  SetLength(c ? 1 : 0);
  return *this;
}

KTString& KTString::operator=(const KTString& other) {
  if (this == &other) return *this;
  int n = other.GetLength();
  if (n == 0) {
    if (!OnShared()) SetLength(0);
    return *this;
  }
  AllocBuffer(n);
  std::memcpy(data_, other.data_, n * sizeof(char16_t));
  SetLength(n);
  return *this;
}

KTString& KTString::operator=(KTString&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = other.data_;
    other.data_ = gSharedEmpty.chars;
  }
  return *this;
}

// ---- Appending ----

KTString& KTString::operator+=(const KTString& other) {
  int n = other.GetLength();
  if (n == 0) return *this;
  if (&other == this) {
    KTString copy(other);
    return *this += copy;
  }
  int len = GetLength();
  GrowTo(len + n);
  std::memcpy(data_ + len, other.data_, n * sizeof(char16_t));
  SetLength(len + n);
  return *this;
}

KTString& KTString::operator+=(const char16_t* text) {
  if (!text || !*text) return *this;
  int n = KTStrLen(text);
  if (text >= data_ && text <= data_ + GetCapacity()) {
    KTString copy(text);
    return *this += copy;
  }
  int len = GetLength();
  GrowTo(len + n);
  std::memcpy(data_ + len, text, n * sizeof(char16_t));
  SetLength(len + n);
  return *this;
}

KTString& KTString::operator+=(char16_t c) {
  if (!c) return *this;
  int len = GetLength();
  GrowTo(len + 1);
  data_[len] = c;
  SetLength(len + 1);
  return *this;
}

void KTString::AppendAtLength(const char16_t* text, int& length, int growBy, int count) {
  if (count < 0) count = KTStrLen(text);
  // The recorded length stays valid only if it matched the caller's length and
  // the appended units hold no NUL; otherwise the next GetLength scans.
  const bool lengthKnown = Head()->length == length;
  if (length + count > GetCapacity()) {
    if (text >= data_ && text <= data_ + GetCapacity()) {
      KTString copy;
      copy.Assign(text, count);
      AppendAtLength(copy.data_, length, growBy, count);
      return;
    }
    long long wanted = std::max<long long>(static_cast<long long>(length) + growBy + count,
                                           static_cast<long long>(GetCapacity()) * 3 / 2);
    int newCap = static_cast<int>(std::min<long long>(wanted, kMaxCapacity));
    if (newCap < length + count) KT_THROW_EXCEPT(KTExcept::kNoMemory);
    char16_t* block = NewBlock(newCap);
    std::memcpy(block, data_, length * sizeof(char16_t));
    FreeBlock(data_);
    data_ = block;
  }
  if (count > 0) std::memmove(data_ + length, text, count * sizeof(char16_t));
  const bool hasNul = count > 0 && KTFindUnit(data_ + length, static_cast<size_t>(count), 0);
  length += count;
  if (OnShared()) return;  // nothing appended to the shared block
  data_[length] = 0;
  Head()->length = lengthKnown && !hasNul ? length : kUnknownLength;
}

void KTString::AppendCharAtLength(char16_t c, int& length, int growBy) {
  const bool lengthKnown = Head()->length == length;
  if (length + 1 > GetCapacity()) {
    long long wanted = std::max<long long>(static_cast<long long>(length) + growBy + 1,
                                           static_cast<long long>(GetCapacity()) * 3 / 2);
    int newCap = static_cast<int>(std::min<long long>(wanted, kMaxCapacity));
    if (newCap < length + 1) KT_THROW_EXCEPT(KTExcept::kNoMemory);
    char16_t* block = NewBlock(newCap);
    std::memcpy(block, data_, length * sizeof(char16_t));
    FreeBlock(data_);
    data_ = block;
  }
  data_[length++] = c;
  data_[length] = 0;
  // The character is stored unchanged, even a NUL, so the scanned length may
  // differ from the caller's; let the next GetLength scan.
  Head()->length = lengthKnown && c ? length : kUnknownLength;
}

// ---- Concatenation and comparison ----

KTString operator+(const KTString& a, const KTString& b) {
  KTString r;
  int la = a.GetLength(), lb = b.GetLength();
  if (la + lb == 0) return r;
  r.SetCapacity(la + lb);
  int len = 0;
  r.AppendAtLength(a, len, 0, la);
  r.AppendAtLength(b, len, 0, lb);
  return r;
}

KTString operator+(char16_t a, const KTString& b) { return KTString(a) + b; }

KTString operator+(const KTString& a, const char16_t* b) { return a + KTString(b); }

KTString operator+(const char16_t* a, const KTString& b) { return KTString(a) + b; }

bool operator<(const KTString& a, const KTString& b) { return KTStrCmp(a.data_, b.data_) < 0; }

bool operator==(const KTString& a, const KTString& b) {
  // Lengths are known: one block compare instead of a walk to the NUL.
  const int n = a.GetLength();
  return n == b.GetLength() && std::memcmp(a.data_, b.data_, static_cast<size_t>(n) * sizeof(char16_t)) == 0;
}

bool operator==(const KTString& a, const char16_t* b) { return KTStrCmp(a.data_, b ? b : u"") == 0; }

// ---- Search ----

int KTString::Find(const KTString& what, int start) const { return Find(what.data_, start); }

int KTString::Find(const char16_t* what, int start) const {
  int len = GetLength();
  if (start < 0 || start >= len) return -1;
  int n = KTStrLen(what);
  if (n == 0) return start;
  size_t pos = KTTextSearch(std::u16string_view(what, n)).Find(View(), static_cast<size_t>(start));
  return pos == std::u16string_view::npos ? -1 : static_cast<int>(pos);
}

int KTString::Find(char16_t c, int start) const {
  int len = GetLength();
  if (start < 0 || start >= len) return -1;
  for (int i = start; i < len; ++i)
    if (data_[i] == c) return i;
  return -1;
}

int KTString::FindOneOf(const char16_t* set, int start) const {
  int len = GetLength();
  if (start < 0 || start >= len) return -1;
  for (int i = start; i < len; ++i)
    if (InSet(data_[i], set)) return i;
  return -1;
}

int KTString::ReverseFind(char16_t c) const {
  for (int i = GetLength() - 1; i >= 0; --i)
    if (data_[i] == c) return i;
  return -1;
}

// ---- Substrings ----

KTString KTString::Left(int n) const { return Mid(0, n); }

KTString KTString::Right(int n) const {
  int len = GetLength();
  if (n >= len) return *this;
  return Mid(len - n, n);
}

KTString KTString::Mid(int start) const {
  int len = GetLength();
  return Mid(start, len - start);
}

KTString KTString::Mid(int start, int count) const {
  int len = GetLength();
  KTString r;
  if (start < 0 || start >= len || count <= 0) return r;
  if (count > len - start) count = len - start;
  r.data_ = NewBlock(count);
  std::memcpy(r.data_, data_ + start, count * sizeof(char16_t));
  r.SetLength(count);
  return r;
}

KTString KTString::Tokenize(const char16_t* delimiters, int& position, const char16_t* quotes) const {
  int len = GetLength();
  int i = position;
  while (i < len && InSet(data_[i], delimiters)) ++i;
  int begin = i;
  bool quoted = false;
  for (; i < len; ++i) {
    char16_t c = data_[i];
    if (quotes && InSet(c, quotes)) {
      quoted = !quoted;
      continue;
    }
    if (!quoted && InSet(c, delimiters)) break;
  }
  position = i;
  return Mid(begin, i - begin);
}

// ---- Editing ----

// One pass over the text: the search resumes behind each match, which is the
// same as resuming behind the inserted text of a rebuilt string, since the
// search never looks into inserted text.
KTString& KTString::Replace(const char16_t* oldText, const char16_t* newText, int maxCount) {
  if (maxCount < 0 || !oldText || !*oldText) return *this;
  int oldLen = KTStrLen(oldText);
  std::u16string_view text = View();
  const KTTextSearch search(std::u16string_view(oldText, oldLen));
  size_t first = search.Find(text, 0);
  if (first == std::u16string_view::npos) return *this;
  std::u16string_view newView(newText ? newText : u"");
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0, match = first;
  int count = 0;
  while (match != std::u16string_view::npos) {
    out.append(text.substr(pos, match - pos));
    out.append(newView);
    pos = match + oldLen;
    if (++count == maxCount) break;
    match = search.Find(text, pos);
  }
  out.append(text.substr(pos));
  KTString result{std::u16string_view(out)};
  if (result.IsEmpty()) {
    if (!OnShared()) SetLength(0);
  } else {
    *this = std::move(result);
  }
  return *this;
}

void KTString::Replace(char16_t oldChar, char16_t newChar) {
  int len = GetLength();
  for (int i = 0; i < len; ++i)
    if (data_[i] == oldChar) data_[i] = newChar;
  if (!newChar && !OnShared()) Head()->length = kUnknownLength;
}

void KTString::Insert(const char16_t* text, int index) {
  if (!text || !*text) return;
  int n = KTStrLen(text);
  int len = GetLength();
  if (text >= data_ && text <= data_ + GetCapacity()) {
    KTString copy(text);
    Insert(copy.data_, index);
    return;
  }
  GrowTo(len + n);
  if (index < 0 || index > len) return;
  std::memmove(data_ + index + n, data_ + index, (len - index) * sizeof(char16_t));
  std::memcpy(data_ + index, text, n * sizeof(char16_t));
  SetLength(len + n);
}

void KTString::Delete(int index, int count) {
  int len = GetLength();
  if (index < 0 || index > len || count <= 0) return;
  if (count > len - index) count = len - index;
  std::memmove(data_ + index, data_ + index + count, (len - index - count) * sizeof(char16_t));
  SetLength(len - count);
}

KTString& KTString::CollapseChars(const char16_t* set, char16_t replacement, const char16_t* quotes) {
  int len = GetLength();
  if (len == 0) return *this;
  int w = 0;
  bool quoted = false, inRun = false;
  for (int r = 0; r < len; ++r) {
    char16_t c = data_[r];
    if (quotes && InSet(c, quotes)) {
      quoted = !quoted;
      inRun = false;
      data_[w++] = c;
    } else if (!quoted && InSet(c, set)) {
      if (!inRun) data_[w++] = replacement;
      inRun = true;
    } else {
      inRun = false;
      data_[w++] = c;
    }
  }
  SetLength(w);
  if (!replacement) Head()->length = kUnknownLength;
  return *this;
}

// ---- Trimming ----

KTString& KTString::TrimRight(const char16_t* set) {
  if (!set || !*set) return *this;
  int len = GetLength();
  int n = len;
  while (n > 0 && InSet(data_[n - 1], set)) --n;
  if (n != len) SetLength(n);
  return *this;
}

KTString& KTString::TrimRight(char16_t c) {
  int len = GetLength();
  int n = len;
  while (n > 0 && data_[n - 1] == c) --n;
  if (n != len) SetLength(n);
  return *this;
}

KTString& KTString::TrimRight() {
  int len = GetLength();
  int n = len;
  while (n > 0 && KTIsSpace(data_[n - 1])) --n;
  if (n != len) SetLength(n);
  return *this;
}

KTString& KTString::TrimLeft(const char16_t* set) {
  if (!set || !*set) return *this;
  int len = GetLength();
  int n = 0;
  while (n < len && InSet(data_[n], set)) ++n;
  if (n) Delete(0, n);
  return *this;
}

KTString& KTString::TrimLeft(char16_t c) {
  int len = GetLength();
  int n = 0;
  while (n < len && data_[n] == c) ++n;
  if (n) Delete(0, n);
  return *this;
}

KTString& KTString::TrimLeft() {
  int len = GetLength();
  int n = 0;
  while (n < len && KTIsSpace(data_[n])) ++n;
  if (n) Delete(0, n);
  return *this;
}

// ---- Case, formatting and resources ----

KTString& KTString::MakeLower() {
  int len = GetLength();
  for (int i = 0; i < len; ++i) data_[i] = KTToLowerAscii(data_[i]);
  return *this;
}

KTString& KTString::FormatArgs(const char16_t* format, std::span<const KTFormatArg> args) {
  std::u16string out = KTFormatV(format, args);
  ClearAndReserve(static_cast<int>(out.size()));
  if (out.empty()) return *this;
  // Format's output may hold a NUL from %c; the text ends at the first one.
  std::memcpy(data_, out.data(), out.size() * sizeof(char16_t));
  data_[out.size()] = 0;
  Head()->length = kUnknownLength;
  return *this;
}

bool KTString::LoadString(unsigned id) {
  const char16_t* text = KTFindStringResource(id);
  if (!text || !*text) {
    Release();
    return false;
  }
  *this = text;
  return true;
}
