// Binding layers: lookups walk from the innermost layer outwards.
#include "xslt/ktbindings.h"

#include <cstring>
#include <type_traits>

// Entries and the index hold views of the names, whose texts never move:
// the vector may move its entries; it must not copy them.
static_assert(std::is_nothrow_move_constructible_v<KTBindingEntry>);

namespace {

// FNV-1a over the code units: names are short, and a lookup hashes one.
size_t HashName(std::u16string_view name) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char16_t c : name) {
    hash ^= static_cast<uint64_t>(c);
    hash *= 0x100000001b3ull;
  }
  return static_cast<size_t>(hash ^ (hash >> 29));
}

// The same text read in place (a name looked up by the declaration that
// bound it) needs no comparing. Names are short: they are compared four
// code units to a load, inline, where a call of memcmp would cost more
// than the comparing.
bool SameName(std::u16string_view have, std::u16string_view wanted) {
  if (have.size() != wanted.size()) return false;
  const char16_t* a = have.data();
  const char16_t* b = wanted.data();
  if (a == b) return true;
  size_t left = wanted.size();
  for (; left >= 4; left -= 4, a += 4, b += 4) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    if (x != y) return false;
  }
  for (; left > 0; --left, ++a, ++b)
    if (*a != *b) return false;
  return true;
}

}  // namespace

int KTBindingScope::IndexOf(std::u16string_view wanted, uint64_t bit) const {
  if ((names_ & bit) == 0) return -1;
  return IndexOfBound(wanted);
}

// Kept out of line: Find passes most layers on their name bits alone, and
// without the hashing and comparing inline its loop needs few registers.
__attribute__((noinline)) int KTBindingScope::IndexOfBound(std::u16string_view wanted) const {
  if (!slots_.empty()) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = HashName(wanted) & mask;; i = (i + 1) & mask) {
      const uint32_t slot = slots_[i];
      if (slot == 0) return -1;
      if (SameName(own_[slot - 1].name, wanted)) return static_cast<int>(slot - 1);
    }
  }
  for (size_t i = 0; i < own_.size(); ++i)
    if (SameName(own_[i].name, wanted)) return static_cast<int>(i);
  return -1;
}

void KTBindingScope::IndexEntry(uint32_t position) {
  if ((own_.size()) * 2 > slots_.size()) {
    size_t size = 32;
    while (size < own_.size() * 4) size *= 2;
    slots_.assign(size, 0);
    for (uint32_t k = 0; k < own_.size(); ++k) {
      const size_t mask = size - 1;
      size_t i = HashName(own_[k].name) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = k + 1;
    }
    return;
  }
  const size_t mask = slots_.size() - 1;
  size_t i = HashName(own_[position].name) & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = position + 1;
}

const KTBindingRecord* KTBindingScope::FindOwn(const KTString& name) const {
  const std::u16string_view wanted = name.View();
  const int i = IndexOf(wanted, NameBit(wanted));
  return i < 0 ? nullptr : &own_[i].record;
}

const KTBindingRecord* KTBindingScope::Find(const KTString& name) const {
  const std::u16string_view wanted = name.View();
  const uint64_t bit = NameBit(wanted);
  for (const KTBindingScope* scope = this; scope; scope = scope->outer_.get()) {
    if ((scope->names_ & bit) == 0) continue;
    const int i = scope->IndexOfBound(wanted);
    if (i >= 0) return &scope->own_[i].record;
  }
  return nullptr;
}

void KTBindingScope::Bind(const KTString& name, KTBindingRecord record) {
  const int i = IndexOf(name.View(), NameBit(name.View()));
  if (i >= 0) {
    own_[i].record = std::move(record);
    return;
  }
  BindView(copies_.emplace_front(name).View(), std::move(record));
}

void KTBindingScope::BindLasting(const KTString& name, KTBindingRecord&& record) {
  const int i = IndexOf(name.View(), NameBit(name.View()));
  if (i >= 0) {
    own_[i].record = std::move(record);
    return;
  }
  BindView(name.View(), std::move(record));
}

void KTBindingScope::BindView(std::u16string_view name, KTBindingRecord&& record) {
  if (own_.empty()) own_.reserve(kFirstRoom);
  own_.emplace_back(name, std::move(record));
  names_ |= NameBit(name);
  if (!slots_.empty() || own_.size() > kLinearLimit) IndexEntry(static_cast<uint32_t>(own_.size() - 1));
}

const KTBindingRecord* KTBindingMapSource::FindBinding(const KTString& name) const {
  if (!map_) return nullptr;
  auto it = map_->find(name);
  return it == map_->end() ? nullptr : &it->second;
}
