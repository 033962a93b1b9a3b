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
