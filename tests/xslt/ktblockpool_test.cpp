// The frame and executor block pool: blocks a thread holds in its free lists
// go back to the heap when the thread ends, whichever thread took them.
// The program's operator new and delete are replaced here so that the test
// can see which blocks reach the heap again.
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include <gtest/gtest.h>

#include "xslt/ktblockpool.h"

namespace {
std::atomic<void*> gWatched{nullptr};
std::atomic<bool> gWatchedFreed{false};

void Freed(void* block) {
  if (block && block == gWatched.load()) gWatchedFreed = true;
  std::free(block);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { Freed(block); }
void operator delete(void* block, std::size_t) noexcept { Freed(block); }
// The no-throw forms go through the same blocks, so that no block is freed
// by another allocator than the one that gave it (an address-sanitizer build
// replaces every form not replaced here).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Freed(block); }

namespace {

// Takes a block on a thread of its own that ends holding nothing.
void* TakeOnOtherThread(std::size_t size) {
  void* block = nullptr;
  std::thread([&] { block = KTBlockPool::Allocate(size); }).join();
  return block;
}

void Watch(void* block) {
  gWatched = block;
  gWatchedFreed = false;
}

TEST(KTBlockPoolTest, ThreadGivesBackItsOwnBlocksWhenItEnds) {
  std::thread([] {
    void* block = KTBlockPool::Allocate(200);
    Watch(block);
    KTBlockPool::Release(block, 200);
  }).join();
  EXPECT_TRUE(gWatchedFreed);
}

TEST(KTBlockPoolTest, ThreadGivesBackBlocksAnotherThreadTookWhenItEnds) {
  // The releasing thread never takes a block from the heap itself.
  for (std::size_t size : {16, 48, 1000}) {
    void* block = TakeOnOtherThread(size);
    ASSERT_NE(block, nullptr);
    Watch(block);
    std::thread([&] { KTBlockPool::Release(block, size); }).join();
    EXPECT_TRUE(gWatchedFreed) << size;
  }
}

TEST(KTBlockPoolTest, BlockInUseWhenItsThreadEndsStaysValid) {
  void* block = TakeOnOtherThread(64);
  static_cast<char*>(block)[63] = 1;  // still ours after the thread ended
  Watch(block);
  KTBlockPool::Release(block, 64);
  EXPECT_FALSE(gWatchedFreed);  // waits in this thread's list
  EXPECT_EQ(KTBlockPool::Allocate(64), block);
  KTBlockPool::Release(block, 64);
}

}  // namespace
