// KTBlockPool: recycled memory for the objects the run loop makes and drops
// at every step (frames and instruction executors). Blocks of one size
// class go back to a per-thread list instead of the heap, so a transform
// that pushes and pops hundreds of thousands of frames asks the heap only
// for as many as are alive at once.
#pragma once

#include <cstddef>

class KTBlockPool {
 public:
  // A block of at least `size` bytes, aligned for any object.
  static void* Allocate(std::size_t size);
  // Takes back a block that Allocate gave for the same size.
  static void Release(void* block, std::size_t size) noexcept;
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
