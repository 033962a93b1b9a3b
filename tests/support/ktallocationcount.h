// Counts the heap allocations made on the calling thread while a counter is
// armed, and the bytes they ask for, for tests that check a step allocates
// nothing (a destructor that also runs while an out-of-memory error unwinds
// must not need memory itself) or that a growing block is not copied at every
// step, and refuses one chosen allocation, for tests of what memory that runs
// out does.
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
  // The bytes they asked for.
  std::size_t Bytes() const;
};

// While alive, the allocation of the given number (0: the next one) made on
// this thread is refused: std::bad_alloc, or null from the nothrow forms.
class KTAllocationRefusal {
 public:
  explicit KTAllocationRefusal(std::size_t number = 0);
  ~KTAllocationRefusal();
  KTAllocationRefusal(const KTAllocationRefusal&) = delete;
  KTAllocationRefusal& operator=(const KTAllocationRefusal&) = delete;

  // Whether the chosen allocation was reached (and refused).
  bool Refused() const;
};
