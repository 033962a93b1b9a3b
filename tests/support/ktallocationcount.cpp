// The global allocation functions of a test program, replaced by ones that
// count while a KTAllocationCounter is alive on the thread; they take memory
// from malloc as the standard ones do.
#include "ktallocationcount.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int tArmed = 0;
thread_local std::size_t tCount = 0;

void* Take(std::size_t size) {
  if (tArmed > 0) ++tCount;
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  return block;
}

}  // namespace

KTAllocationCounter::KTAllocationCounter() {
  ++tArmed;
  tCount = 0;
}

KTAllocationCounter::~KTAllocationCounter() { --tArmed; }

std::size_t KTAllocationCounter::Count() const { return tCount; }

void* operator new(std::size_t size) { return Take(size); }
void* operator new[](std::size_t size) { return Take(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Take(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Take(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
