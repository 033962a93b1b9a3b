// The chunk list of URL request bodies.
#include "net/ktchunklist.h"

#include <cstring>
#include <new>

void KTChunkList::Append(const void* data, uint64_t length, bool copy) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (copy) {
    auto* block = new unsigned char[length ? length : 1];
    if (length) std::memcpy(block, bytes, length);
    bytes = block;
  }
  entries_.push_back({bytes, length, copy});
  total_ += length;
}

unsigned char* KTChunkList::Flatten() const {
  if (total_ < 1) return nullptr;
  auto* block = new (std::nothrow) unsigned char[total_];
  if (!block) return nullptr;
  unsigned char* at = block;
  for (const Entry& e : entries_) {
    if (e.length) std::memcpy(at, e.data, e.length);
    at += e.length;
  }
  return block;
}

void KTChunkList::Clear() {
  total_ = 0;
  for (const Entry& e : entries_)
    if (e.owned) delete[] e.data;
  entries_.clear();
}
