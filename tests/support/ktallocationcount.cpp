// The global allocation functions of a test program, replaced by ones that
// count while a KTAllocationCounter is alive on the thread; they take memory
// from malloc as the standard ones do.
#include "ktallocationcount.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int tArmed = 0;
thread_local std::size_t tCount = 0;
thread_local std::size_t tBytes = 0;
// Allocations left before the refused one; -1: none is refused.
thread_local long long tRefuseIn = -1;
thread_local bool tRefused = false;

void* Take(std::size_t size) {
  if (tArmed > 0) {
    ++tCount;
    tBytes += size;
  }
  if (tRefuseIn >= 0 && tRefuseIn-- == 0) {
    tRefused = true;
    throw std::bad_alloc();
  }
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  return block;
}

}  // namespace

KTAllocationCounter::KTAllocationCounter() {
  ++tArmed;
  tCount = 0;
  tBytes = 0;
}

KTAllocationCounter::~KTAllocationCounter() { --tArmed; }

std::size_t KTAllocationCounter::Count() const { return tCount; }

std::size_t KTAllocationCounter::Bytes() const { return tBytes; }

KTAllocationRefusal::KTAllocationRefusal(std::size_t number) {
  tRefuseIn = static_cast<long long>(number);
  tRefused = false;
}

KTAllocationRefusal::~KTAllocationRefusal() { tRefuseIn = -1; }

bool KTAllocationRefusal::Refused() const { return tRefused; }

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
