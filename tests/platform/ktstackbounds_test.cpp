// The stack bounds of the main thread and of other threads.
#include "platform/ktstackbounds.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <thread>

namespace {

// The main thread's bound, worked out from the stack size limit and the top
// of the stack, is the one the thread-attribute call reads from the memory
// map; another thread's comes from its attributes. Either lies below the
// frame of the caller.
TEST(KTThreadStackLow, MatchesTheThreadAttributesOnTheMainAndAnotherThread) {
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t main = KTThreadStackLow();
  ASSERT_NE(main, 0u);
  EXPECT_EQ(main, KTThreadStackLowFromAttributes());
  EXPECT_LT(main, here);
  uintptr_t other = 0;
  uintptr_t otherFromAttributes = 0;
  uintptr_t otherHere = 0;
  std::thread worker([&] {
    otherHere = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    other = KTThreadStackLow();
    otherFromAttributes = KTThreadStackLowFromAttributes();
  });
  worker.join();
  ASSERT_NE(other, 0u);
  EXPECT_EQ(other, otherFromAttributes);
  EXPECT_LT(other, otherHere);
}

// Under a stack size limit that is not a whole number of pages, or one that
// reaches below the program and its heap, the main thread's bound still is
// the one the thread-attribute call gives: the limit in whole pages, and the
// mapping under the stack for a limit wider than the room there.
TEST(KTThreadStackLow, MatchesTheThreadAttributesUnderOddAndHugeLimits) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &saved), 0);
  const rlim_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const struct {
    const char* name;
    rlim_t limit;
  } cases[] = {
      {"a page and 1 KB past 8 MB", (8u << 20) + 4096 + 1024},
      {"1 KB past 1 MB", (1u << 20) + 1024},
      {"all but the lowest 64 KB below the caller", here - (64u << 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (saved.rlim_max != RLIM_INFINITY && c.limit > saved.rlim_max) continue;
    rlimit changed = saved;
    changed.rlim_cur = c.limit;
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &changed), 0);
    const uintptr_t main = KTThreadStackLow();
    const uintptr_t fromAttributes = KTThreadStackLowFromAttributes();
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &saved), 0);
    EXPECT_NE(main, 0u);
    EXPECT_EQ(main, fromAttributes);
  }
}

}  // namespace
