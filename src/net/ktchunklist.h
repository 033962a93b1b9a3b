// KTChunkList: collects a body block by block while it arrives and flattens it
// into one heap block of exactly the body's size.
#pragma once

#include <cstdint>
#include <vector>

class KTChunkList {
 public:
  KTChunkList() = default;
  ~KTChunkList() { Clear(); }
  KTChunkList(const KTChunkList&) = delete;
  KTChunkList& operator=(const KTChunkList&) = delete;

  // With copy the bytes are copied into a block the list owns; without it
  // the list refers to the caller's bytes, which must stay valid until the
  // list is flattened or cleared.
  void Append(const void* data, uint64_t length, bool copy);
  // One new block (new[]) holding all bytes in append order, owned by the
  // caller; null when the list holds no byte. The list is left as it was.
  unsigned char* Flatten() const;
  // Frees the owned blocks and empties the list; the entries' storage stays.
  void Clear();

  uint64_t GetTotal() const { return total_; }

 private:
  struct Entry {
    const unsigned char* data;
    uint64_t length;
    bool owned;
  };
  std::vector<Entry> entries_;
  uint64_t total_ = 0;
};
