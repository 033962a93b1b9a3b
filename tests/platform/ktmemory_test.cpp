// Page blocks: alignment, reuse of a block given back, the bound on blocks
// kept waiting, and takers on several threads.
#include "platform/ktmemory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#ifdef KT_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace {

bool Aligned(const void* block) {
  return reinterpret_cast<uintptr_t>(block) % kKTPageBlockBytes == 0;
}

}  // namespace

TEST(KTPageBlocks, BlocksAreAlignedDistinctAndWholeAcrossRuns) {
  // More blocks than one mapping run holds, so blocks of two runs meet;
  // every other one taken as a growing owner's, its pages put in place.
  std::vector<char*> blocks;
  std::set<char*> seen;
  for (int i = 0; i < 20; ++i) {
    char* block = static_cast<char*>(KTTakePageBlock(i % 2 == 1));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(Aligned(block));
    EXPECT_EQ(block[kKTPageBlockBytes / 2], 0);
    EXPECT_TRUE(seen.insert(block).second);
    std::memset(block, i + 1, kKTPageBlockBytes);
    blocks.push_back(block);
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i][0], static_cast<char>(i + 1));
    EXPECT_EQ(blocks[i][kKTPageBlockBytes - 1], static_cast<char>(i + 1));
  }
  for (char* block : blocks) KTGiveBackPageBlock(block);
  EXPECT_GE(KTGetWaitingPageBlockCount(), 1u);
  EXPECT_LT(KTGetWaitingPageBlockCount(), blocks.size());
}

TEST(KTPageBlocks, ABlockGivenBackIsTakenNextWithItsPages) {
  char* first = static_cast<char*>(KTTakePageBlock());
  ASSERT_NE(first, nullptr);
  first[4096] = 'x';
  KTGiveBackPageBlock(first);
  const size_t waiting = KTGetWaitingPageBlockCount();
  char* again = static_cast<char*>(KTTakePageBlock());
  EXPECT_EQ(again, first);
  EXPECT_EQ(again[4096], 'x');
  EXPECT_EQ(KTGetWaitingPageBlockCount(), waiting - 1);
  KTGiveBackPageBlock(again);
  KTGiveBackPageBlock(nullptr);
  EXPECT_EQ(KTGetWaitingPageBlockCount(), waiting);
}

// A parse node read after its block went back would otherwise read whatever
// the block's next owner wrote there; an address sanitizer build reports it.
TEST(KTPageBlocks, AWaitingBlockIsOffLimitsToTheAddressSanitizer) {
#ifdef KT_ADDRESS_SANITIZER
  char* block = static_cast<char*>(KTTakePageBlock());
  ASSERT_NE(block, nullptr);
  block[100] = 'x';
  KTGiveBackPageBlock(block);
  char* again = static_cast<char*>(KTTakePageBlock());
  if (again == block) {
    // It waited: off limits while it waited, open again now.
    KTGiveBackPageBlock(again);
    EXPECT_TRUE(__asan_address_is_poisoned(block + 100));
    again = static_cast<char*>(KTTakePageBlock());
    ASSERT_EQ(again, block);
  }
  EXPECT_FALSE(__asan_address_is_poisoned(again + 100));
  EXPECT_FALSE(__asan_address_is_poisoned(again + kKTPageBlockBytes - 1));
  KTGiveBackPageBlock(again);
#else
  GTEST_SKIP() << "an address sanitizer build only";
#endif
}

TEST(KTPageBlocks, ThreadsTakeAndGiveBackWithoutSharingABlock) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  std::vector<int> faults(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &faults] {
      for (int r = 0; r < kRounds; ++r) {
        auto* block = static_cast<volatile int*>(KTTakePageBlock());
        if (!block) {
          ++faults[t];
          continue;
        }
        block[0] = t;
        block[1] = r;
        if (block[0] != t || block[1] != r) ++faults[t];
        KTGiveBackPageBlock(const_cast<int*>(block));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
}

// With the helper preparing blocks ahead, owners that grow on several
// threads at once, each holding its blocks, never get a block another
// holds: every block keeps what its owner wrote. Blocks are given back in
// between, so waiting, ready and fresh blocks all change hands.
TEST(KTPageBlocks, BlocksPreparedAheadGoToOneOwnerEach) {
  KTPreparePageBlocksAhead();
  KTPreparePageBlocksAhead();  // a second call starts nothing more
  constexpr int kThreads = 4;
  constexpr int kHeld = 24;
  std::vector<std::vector<char*>> held(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &held] {
      for (int k = 0; k < kHeld; ++k) {
        char* block = static_cast<char*>(KTTakePageBlock(true));
        if (!block) continue;
        std::memset(block, 'a' + t, kKTPageBlockBytes);
        if (k % 3 == 2) {
          KTGiveBackPageBlock(block);
        } else {
          held[t].push_back(block);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<char*> seen;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(held[t].size(), static_cast<size_t>(kHeld - kHeld / 3)) << "thread " << t;
    for (char* block : held[t]) {
      EXPECT_TRUE(Aligned(block));
      EXPECT_TRUE(seen.insert(block).second);
      EXPECT_EQ(block[0], 'a' + t);
      EXPECT_EQ(block[kKTPageBlockBytes / 2], 'a' + t);
      EXPECT_EQ(block[kKTPageBlockBytes - 1], 'a' + t);
    }
  }
  for (const std::vector<char*>& blocks : held) {
    for (char* block : blocks) KTGiveBackPageBlock(block);
  }
}

// Blocks given back for takers expected soon wait beyond the usual few, up
// to their own bound, and go to the next takers with what they hold; a
// block given back the usual way still goes to the system while more than a
// few wait.
TEST(KTPageBlocks, BlocksGivenBackForTakersSoonWaitForThem) {
  // Taken from the system first, so that every one is a block of its own.
  std::vector<char*> blocks;
  for (size_t i = 0; i < kKTMaxWaitingSoonBlocks + 4; ++i) {
    char* block = static_cast<char*>(KTTakePageBlock());
    ASSERT_NE(block, nullptr);
    block[8] = static_cast<char>(i);
    blocks.push_back(block);
  }
  const size_t before = KTGetWaitingPageBlockCount();
  for (char* block : blocks) KTGiveBackPageBlock(block, true);
  EXPECT_EQ(KTGetWaitingPageBlockCount(), kKTMaxWaitingSoonBlocks);
  char* extra = static_cast<char*>(KTTakePageBlock());
  ASSERT_NE(extra, nullptr);
  KTGiveBackPageBlock(extra);  // more than a few wait: back to the system
  EXPECT_EQ(KTGetWaitingPageBlockCount(), kKTMaxWaitingSoonBlocks - 1);
  std::set<char*> given(blocks.begin(), blocks.end());
  std::set<char*> taken;
  for (size_t i = 0; i + before < kKTMaxWaitingSoonBlocks - 1; ++i) {
    char* block = static_cast<char*>(KTTakePageBlock());
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(taken.insert(block).second);
    if (given.count(block)) {
      const size_t index = static_cast<size_t>(std::find(blocks.begin(), blocks.end(), block) - blocks.begin());
      EXPECT_EQ(block[8], static_cast<char>(index));
    }
  }
  for (char* block : taken) KTGiveBackPageBlock(block);
  EXPECT_LE(KTGetWaitingPageBlockCount(), kKTMaxWaitingSoonBlocks);
}

// The pages of a range (rounded out to whole pages) are in place after the
// call, as if written, and what they held is still there; a range in the
// middle of a mapping leaves the pages beyond it alone.
TEST(KTPageBlocks, PagesPutInPlaceKeepTheirContents) {
#ifdef MADV_POPULATE_WRITE
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t pages = 16;
  auto* memory = static_cast<char*>(mmap(nullptr, pages * page, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(memory, MAP_FAILED);
  if (madvise(memory + (pages - 1) * page, page, MADV_POPULATE_WRITE) != 0) {
    munmap(memory, pages * page);
    GTEST_SKIP() << "the system does not put pages in place ahead";
  }
  std::memcpy(memory + 3 * page + 5, "kept", 4);
  // From inside page 3 to inside page 9: pages 3 to 9 in place.
  KTPutPagesInPlace(memory + 3 * page + 100, 6 * page);
  std::vector<unsigned char> resident(pages);
  ASSERT_EQ(mincore(memory, pages * page, resident.data()), 0);
  for (size_t i = 0; i < pages; ++i) {
    const bool expected = (i >= 3 && i <= 9) || i == pages - 1;
    EXPECT_EQ(resident[i] & 1, expected ? 1 : 0) << "page " << i;
  }
  EXPECT_EQ(std::memcmp(memory + 3 * page + 5, "kept", 4), 0);
  EXPECT_EQ(memory[9 * page + 7], 0);
  munmap(memory, pages * page);
#else
  GTEST_SKIP() << "no MADV_POPULATE_WRITE";
#endif
}
