// Counts the heap allocations made on the calling thread while a counter is
// armed, for tests that check a step allocates nothing (a destructor that also
// runs while an out-of-memory error unwinds must not need memory itself).
// A test program that includes this header links ktallocationcount.cpp, which
// replaces the global allocation functions with counting ones.
#pragma once

#include <cstddef>

// Allocations counted on this thread while a KTAllocationCounter is alive.
class KTAllocationCounter {
 public:
  KTAllocationCounter();
  ~KTAllocationCounter();
  KTAllocationCounter(const KTAllocationCounter&) = delete;
  KTAllocationCounter& operator=(const KTAllocationCounter&) = delete;

  // Allocations since the counter was made.
  std::size_t Count() const;
};
