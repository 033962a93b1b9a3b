// Interned node names: one counted copy of each distinct element and
// attribute name, shared by every node that carries it. Names are assigned and
// dropped on any thread: the table takes a lock only while documents load on
// several threads at once (KTXName::BeginThreaded), and the counts of holders
// are atomic.
#include "xml/ktxname.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---- Name table ----

// Open addressing with linear probing over the entries themselves: a name
// costs one slot here beside its entry, which matters for documents whose
// names are mostly distinct. Removal shifts the following run back, so no
// slot is ever marked deleted.
class NameTable {
 public:
  KTXName::Entry* Find(std::u16string_view key, size_t hash) const;
  void Insert(KTXName::Entry* entry);
  void Erase(const KTXName::Entry* entry);
  size_t Size() const { return size_; }
  // The entries that no node holds.
  void CollectUnheld(std::vector<KTXName::Entry*>& out) const {
    for (KTXName::Entry* entry : slots_)
      if (entry && entry->holders == 0) out.push_back(entry);
  }

 private:
  void Grow();

  std::vector<KTXName::Entry*> slots_;  // a power of two of them; null: free
  size_t size_ = 0;
};

NameTable& Names() {
  static NameTable* names = new NameTable;
  return *names;
}

KTXName::Entry* NameTable::Find(std::u16string_view key, size_t hash) const {
  if (slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask; slots_[i]; i = (i + 1) & mask) {
    if (slots_[i]->hash == hash && slots_[i]->text.View() == key) return slots_[i];
  }
  return nullptr;
}

void NameTable::Insert(KTXName::Entry* entry) {
  if ((size_ + 1) * 2 > slots_.size()) Grow();
  const size_t mask = slots_.size() - 1;
  size_t i = entry->hash & mask;
  while (slots_[i]) i = (i + 1) & mask;
  slots_[i] = entry;
  ++size_;
}

void NameTable::Erase(const KTXName::Entry* entry) {
  const size_t mask = slots_.size() - 1;
  size_t hole = entry->hash & mask;
  while (slots_[hole] != entry) hole = (hole + 1) & mask;
  // Entries after the hole whose home slot does not lie between the hole and
  // themselves move back into it.
  for (size_t j = (hole + 1) & mask; slots_[j]; j = (j + 1) & mask) {
    const size_t home = slots_[j]->hash & mask;
    const bool between = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (!between) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = nullptr;
  --size_;
}

void NameTable::Grow() {
  std::vector<KTXName::Entry*> old(std::max<size_t>(64, slots_.size() * 2), nullptr);
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (KTXName::Entry* entry : old) {
    if (!entry) continue;
    size_t i = entry->hash & mask;
    while (slots_[i]) i = (i + 1) & mask;
    slots_[i] = entry;
  }
}

// Recently assigned names by a cheap key of their text: documents repeat a
// few names many times, and a hit spares hashing the whole text and probing
// the table. A slot is cleared before its entry is deleted.
// The slots are enough for the couple of hundred names of a document with
// many prefixes; the key's bits are mixed so that names differing in one
// character spread over them.
constexpr int kRecentSlotBits = 10;
constexpr size_t kRecentSlots = size_t{1} << kRecentSlotBits;
// Per thread: a slot is read without a lock, so no other thread may change
// it (see BeginThreaded for why its entry stays alive).
thread_local constinit KTXName::Entry* gRecent[kRecentSlots] = {};

// Threads loading beside the starting one: while any do, the table is
// locked around every use and no entry is deleted.
std::atomic<int> gThreaded{0};
std::mutex gTableLock;

bool Threaded() { return gThreaded.load(std::memory_order_relaxed) != 0; }

// The counts are changed atomically only while other threads load: a
// locked instruction on every copy of a name would slow the one-thread run,
// which copies names for every node it builds.
void Hold(KTXName::Entry* entry) {
  if (Threaded())
    std::atomic_ref<size_t>(entry->holders).fetch_add(1, std::memory_order_relaxed);
  else
    ++entry->holders;
}
// True when the entry had its last holder.
bool Unhold(KTXName::Entry* entry) {
  if (Threaded()) return std::atomic_ref<size_t>(entry->holders).fetch_sub(1, std::memory_order_acq_rel) == 1;
  return --entry->holders == 0;
}

size_t RecentSlot(const char16_t* text, size_t length) {
  uint64_t key = length;
  if (length >= 4) {
    // The first four units and the last four, read as two words.
    uint64_t head;
    uint64_t tail;
    std::memcpy(&head, text, sizeof head);
    std::memcpy(&tail, text + length - 4, sizeof tail);
    key = (key ^ head) * 0xFF51AFD7ED558CCDull ^ tail;
  } else {
    for (size_t i = 0; i < length; ++i) key = key * 31 + text[i];
  }
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kRecentSlotBits));
}

// Whether the entry holds exactly the `length` units at text. Names are
// short: four to eight units are compared as their first and last four, read
// as two words each (as RecentSlot reads them), fewer one by one, and only
// longer names through the library's compare.
bool HoldsText(const KTXName::Entry* entry, const char16_t* text, size_t length) {
  const std::u16string_view held = entry->text.View();
  if (held.size() != length) return false;
  if (length >= 4 && length <= 8) {
    uint64_t a[2];
    uint64_t b[2];
    std::memcpy(&a[0], held.data(), sizeof a[0]);
    std::memcpy(&a[1], held.data() + length - 4, sizeof a[1]);
    std::memcpy(&b[0], text, sizeof b[0]);
    std::memcpy(&b[1], text + length - 4, sizeof b[1]);
    return ((a[0] ^ b[0]) | (a[1] ^ b[1])) == 0;
  }
  if (length < 4) {
    for (size_t i = 0; i < length; ++i)
      if (held[i] != text[i]) return false;
    return true;
  }
  return std::memcmp(held.data(), text, length * sizeof(char16_t)) == 0;
}

bool IsPlainName(std::u16string_view name) {
  if (name.starts_with(u"xmlns")) return false;
  for (const char16_t c : name)
    if (c > 0xFF || c == u':') return false;
  return true;
}

void DropName(KTXName::Entry* entry) {
  if (!entry || !Unhold(entry)) return;
  // Another thread may still find it (in the table, or in its own cache of
  // recent names): EndThreaded deletes it if it is still held by nobody.
  if (Threaded()) return;
  KTXName::Entry*& recent = gRecent[RecentSlot(entry->text.c_str(), entry->text.View().size())];
  if (recent == entry) recent = nullptr;
  Names().Erase(entry);
  delete entry;
}

}  // namespace

KTXName::KTXName(const KTXName& other) noexcept : entry_(other.entry_) {
  if (!entry_) return;
  Hold(entry_);
}

KTXName& KTXName::operator=(const KTXName& other) noexcept {
  if (entry_ == other.entry_) return *this;
  if (other.entry_) Hold(other.entry_);
  DropName(entry_);
  entry_ = other.entry_;
  return *this;
}

KTXName::~KTXName() { Clear(); }

void KTXName::Clear() noexcept {
  if (!entry_) return;
  DropName(entry_);
  entry_ = nullptr;
}

void KTXName::Assign(const char16_t* text, int length) {
  if (text && length > 0) {
    // A recent name equal to the whole text holds no NUL, so a hit needs no
    // scan for one.
    const size_t units = static_cast<size_t>(length);
    if (Entry* hit = gRecent[RecentSlot(text, units)]; hit && HoldsText(hit, text, units)) {
      notPlainCount_ += !hit->plain;
      Hold(hit);
      DropName(entry_);
      entry_ = hit;
      return;
    }
    // Like a string assignment, the name ends at its first NUL.
    if (const char16_t* nul = std::char_traits<char16_t>::find(text, static_cast<size_t>(length), 0)) {
      length = static_cast<int>(nul - text);
    }
  }
  if (!text || length <= 0) {
    Clear();
    return;
  }
  const std::u16string_view key(text, static_cast<size_t>(length));
  if (entry_ && entry_->text.View() == key) {
    notPlainCount_ += !entry_->plain;
    return;
  }
  Entry*& recent = gRecent[RecentSlot(text, key.size())];
  const size_t hash = std::hash<std::u16string_view>{}(key);
  NameTable& names = Names();
  Entry* entry;
  {
    std::unique_lock<std::mutex> lock(gTableLock, std::defer_lock);
    if (Threaded()) lock.lock();
    entry = names.Find(key, hash);
    if (entry) {
      Hold(entry);
    } else {
      // A copy of the text takes exactly its size.
      KTString sized;
      sized.Assign(text, length);
      entry = new Entry{KTString(sized), hash, 1, IsPlainName(key)};
      names.Insert(entry);
    }
  }
  notPlainCount_ += !entry->plain;
  DropName(entry_);
  entry_ = entry;
  recent = entry;
}

const KTString& KTXName::Empty() noexcept {
  static const KTString kEmpty;
  return kEmpty;
}

size_t KTXName::GetInternedCount() {
  std::unique_lock<std::mutex> lock(gTableLock, std::defer_lock);
  if (Threaded()) lock.lock();
  return Names().Size();
}

void KTXName::BeginThreaded() { gThreaded.fetch_add(1, std::memory_order_acq_rel); }

void KTXName::EndThreaded() {
  if (gThreaded.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The other threads have been joined: the entries whose last holder went
  // while they ran are deleted now, out of this thread's cache first.
  NameTable& names = Names();
  std::vector<Entry*> unheld;
  names.CollectUnheld(unheld);
  for (Entry* entry : unheld) {
    Entry*& recent = gRecent[RecentSlot(entry->text.c_str(), entry->text.View().size())];
    if (recent == entry) recent = nullptr;
    names.Erase(entry);
    delete entry;
  }
}

void KTXName::ForgetRecentNames() noexcept { std::fill(std::begin(gRecent), std::end(gRecent), nullptr); }
