// KTBlockPool: recycled memory for the objects the run loop makes and drops
// at every step (frames and instruction executors). Blocks of one size
// class go back to a per-thread list instead of the heap, so a transform
// that pushes and pops hundreds of thousands of frames asks the heap only
// for as many as are alive at once.
#pragma once

#include <cstddef>

class KTBlockPool {
 public:
  // A block of at least `size` bytes, aligned for any object. Inline: the
  // size is known where a frame or executor is made, and a block from the
  // thread's list then costs a few instructions.
  static void* Allocate(std::size_t size) {
    const std::size_t sizeClass = ClassOf(size);
    if (IsPooled(sizeClass)) {
      if (FreeBlock* block = heads_[sizeClass]) {
        heads_[sizeClass] = block->next;
        return block;
      }
    }
    return AllocateSlow(size);
  }
  // Takes back a block that Allocate gave for the same size. A list that
  // already holds blocks takes it inline; the first block of a list goes
  // through ReleaseSlow, which registers the thread's clean-up.
  static void Release(void* block, std::size_t size) noexcept {
    const std::size_t sizeClass = ClassOf(size);
    if (block && IsPooled(sizeClass) && heads_[sizeClass]) {
      FreeBlock* free = static_cast<FreeBlock*>(block);
      free->next = heads_[sizeClass];
      heads_[sizeClass] = free;
      return;
    }
    ReleaseSlow(block, size);
  }

 private:
  friend struct KTBlockPoolCleanup;
  struct FreeBlock {
    FreeBlock* next;
  };
  static constexpr std::size_t kGranule = 16;
  static constexpr std::size_t kClasses = 64;  // blocks up to 1 KB are pooled
  static constexpr std::size_t ClassOf(std::size_t size) { return (size + kGranule - 1) / kGranule; }
  static constexpr bool IsPooled(std::size_t sizeClass) { return sizeClass != 0 && sizeClass < kClasses; }
  static void* AllocateSlow(std::size_t size);
  static void ReleaseSlow(void* block, std::size_t size) noexcept;
  // The free lists of one thread: plain thread-local data, constant
  // initialised, so every step reaches them directly.
  static inline thread_local FreeBlock* heads_[kClasses] = {};
};

// A standard allocator over the pool, for what the run makes and drops at
// nearly every step besides frames and executors: binding layers and their
// entries. Only blocks of up to 1 KB are pooled; larger ones come from the
// heap as before.
template <typename T>
struct KTPoolAllocator {
  using value_type = T;
  static_assert(alignof(T) <= 16, "pool blocks are aligned as operator new aligns them");
  KTPoolAllocator() noexcept = default;
  template <typename U>
  KTPoolAllocator(const KTPoolAllocator<U>&) noexcept {}
  T* allocate(std::size_t count) { return static_cast<T*>(KTBlockPool::Allocate(count * sizeof(T))); }
  void deallocate(T* block, std::size_t count) noexcept { KTBlockPool::Release(block, count * sizeof(T)); }
  template <typename U>
  bool operator==(const KTPoolAllocator<U>&) const noexcept {
    return true;
  }
};
