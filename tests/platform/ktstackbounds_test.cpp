// The stack bounds of the main thread and of other threads.
#include "platform/ktstackbounds.h"

#include <gtest/gtest.h>

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

}  // namespace
