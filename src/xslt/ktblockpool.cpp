// KTBlockPool: size classes of 16 bytes up to 1 KB, each a list of free
// blocks threaded through the blocks themselves; larger blocks go straight
// to the heap. The lists' fast paths are inline (ktblockpool.h); here are
// the ways to the heap and the clean-up at a thread's end.
#include "xslt/ktblockpool.h"

#include <new>

// Gives a thread's listed blocks back to the heap when the thread ends. It
// is a thread-local of its own, touched (and so registered for the thread's
// end) only when a block comes from the heap or a list turns non-empty: a
// non-empty list always has it registered.
struct KTBlockPoolCleanup {
  ~KTBlockPoolCleanup() {
    for (std::size_t i = 0; i < KTBlockPool::kClasses; ++i) {
      while (KTBlockPool::FreeBlock* block = KTBlockPool::heads_[i]) {
        KTBlockPool::heads_[i] = block->next;
        ::operator delete(static_cast<void*>(block), i * KTBlockPool::kGranule);
      }
    }
  }
};

namespace {

thread_local KTBlockPoolCleanup cleanup;

}  // namespace

void* KTBlockPool::AllocateSlow(std::size_t size) {
  const std::size_t sizeClass = ClassOf(size);
  if (!IsPooled(sizeClass)) return ::operator new(size);
  static_cast<void>(&cleanup);  // the first use on a thread registers it
  return ::operator new(sizeClass * kGranule);
}

void KTBlockPool::ReleaseSlow(void* block, std::size_t size) noexcept {
  if (!block) return;
  const std::size_t sizeClass = ClassOf(size);
  if (!IsPooled(sizeClass)) {
    ::operator delete(block, size);
    return;
  }
  // A list that turns non-empty here registers the clean-up too: a thread
  // may give back blocks another thread took from the heap, and must still
  // free them when it ends.
  static_cast<void>(&cleanup);
  FreeBlock* free = static_cast<FreeBlock*>(block);
  free->next = heads_[sizeClass];
  heads_[sizeClass] = free;
}
