// A check that work grows linearly with its input, without a clock: the
// loops whose cost must stay in proportion to their input count their steps
// (platform/ktworkcount.h), and the steps counted on a small and on a large
// input are compared. Counted steps are the same on a slow or a busy machine
// as on an idle one, so the check can be exact where a time can only be
// generous.
#pragma once

#include <cstdint>
#include <functional>

#include <gtest/gtest.h>

#include "platform/ktworkcount.h"

// The steps counted on this thread while work runs.
inline uint64_t CountedSteps(const std::function<void()>& work) {
  const uint64_t before = KTWorkCount::Total();
  work();
  return KTWorkCount::Total() - before;
}

// Whether the steps counted while work(scale) runs stay within kAllowance
// times `scale` of those of work(1): linear work counts about `scale` times
// as many, work quadratic in the input `scale` squared (64 times for the
// default). work(1) must count at least `leastSteps`, so that work whose
// loops stopped counting fails instead of passing on a count of nothing.
inline ::testing::AssertionResult GrowsLinearly(const std::function<void(int scale)>& work, uint64_t leastSteps,
                                                int scale = 8) {
  constexpr uint64_t kAllowance = 2;
  const uint64_t small = CountedSteps([&] { work(1); });
  const uint64_t large = CountedSteps([&] { work(scale); });
  auto result = small >= leastSteps && large <= small * scale * kAllowance ? ::testing::AssertionSuccess()
                                                                          : ::testing::AssertionFailure();
  return result << small << " steps counted at scale 1 (at least " << leastSteps << " expected), " << large
                << " at scale " << scale << " (linear growth allows " << small * scale * kAllowance << ")";
}
