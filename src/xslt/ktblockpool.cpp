// KTBlockPool: size classes of 16 bytes up to 1 KB, each a list of free
// blocks threaded through the blocks themselves; larger blocks go straight
// to the heap.
#include "xslt/ktblockpool.h"

#include <array>
#include <new>

namespace {

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = 64;  // blocks up to 1 KB are pooled

struct FreeBlock {
  FreeBlock* next;
};

// The free lists of one thread. The heads are plain thread-local data, so
// every step reaches them directly; the object that gives their blocks back
// to the heap when the thread ends is a thread-local of its own, touched
// (and so registered for the thread's end) only when a block comes from the
// heap or a list turns non-empty.
thread_local std::array<FreeBlock*, kClasses> heads{};

struct FreeListsCleanup {
  ~FreeListsCleanup() {
    for (std::size_t i = 0; i < kClasses; ++i) {
      while (FreeBlock* block = heads[i]) {
        heads[i] = block->next;
        ::operator delete(static_cast<void*>(block), i * kGranule);
      }
    }
  }
};

thread_local FreeListsCleanup cleanup;

void* FromHeap(std::size_t bytes) {
  static_cast<void>(&cleanup);  // the first use on a thread registers it
  return ::operator new(bytes);
}

std::size_t ClassOf(std::size_t size) { return (size + kGranule - 1) / kGranule; }

}  // namespace

void* KTBlockPool::Allocate(std::size_t size) {
  const std::size_t sizeClass = ClassOf(size);
  if (sizeClass == 0 || sizeClass >= kClasses) return ::operator new(size);
  if (FreeBlock* block = heads[sizeClass]) {
    heads[sizeClass] = block->next;
    return block;
  }
  return FromHeap(sizeClass * kGranule);
}

void KTBlockPool::Release(void* block, std::size_t size) noexcept {
  if (!block) return;
  const std::size_t sizeClass = ClassOf(size);
  if (sizeClass == 0 || sizeClass >= kClasses) {
    ::operator delete(block, size);
    return;
  }
  // A list that turns non-empty here registers the clean-up too: a thread
  // may give back blocks another thread took from the heap, and must still
  // free them when it ends.
  if (!heads[sizeClass]) static_cast<void>(&cleanup);
  FreeBlock* free = static_cast<FreeBlock*>(block);
  free->next = heads[sizeClass];
  heads[sizeClass] = free;
}
