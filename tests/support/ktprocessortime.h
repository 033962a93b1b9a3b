// A check that work grows linearly with its input for work whose steps no
// loop counts (another program's, or a path through the processor that
// keeps no tally): processor times on a small and a sixteen-times larger
// input are compared in one run. Processor time leaves out the time spent
// waiting for a processor, and the inputs lie far enough apart that linear
// and quadratic growth cannot be taken for each other on a busy machine.
// No time is asserted, only the ratio. Needs nothing of src/, so the
// program tests in tests/e2e use it too.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

// Processor seconds, user and system, of the calling thread and of the child
// processes that have ended and been waited for.
inline double KTProcessorSeconds() {
  timespec thread{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &thread);
  rusage children{};
  getrusage(RUSAGE_CHILDREN, &children);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return static_cast<double>(thread.tv_sec) + static_cast<double>(thread.tv_nsec) * 1e-9 +
         seconds(children.ru_utime) + seconds(children.ru_stime);
}

// Whether work(scale) takes at most kAllowance times `scale` the processor
// time of work(1). Linear work needs about 16 times as long at the default
// scale, work quadratic in the input 256 times; the allowance of 4 (64
// times) leaves a factor of four either way for what processor time still
// feels of a busy machine (caches, a sibling hardware thread, page faults).
// One run of each size warms up; then the sizes alternate for kRounds and
// the fastest of each counts. work(1) should take some milliseconds, so
// that the timer's grain and the fixed costs of a run do not decide.
inline ::testing::AssertionResult ProcessorTimeGrowsLinearly(const std::function<void(int scale)>& work,
                                                             int scale = 16) {
  constexpr double kAllowance = 4.0;
  constexpr int kRounds = 5;
  auto seconds = [&](int s) {
    const double begin = KTProcessorSeconds();
    work(s);
    return KTProcessorSeconds() - begin;
  };
  seconds(1);
  seconds(scale);
  double small = seconds(1);
  double large = seconds(scale);
  for (int round = 1; round < kRounds; ++round) {
    small = std::min(small, seconds(1));
    large = std::min(large, seconds(scale));
  }
  const double bound = small * scale * kAllowance;
  auto result = large <= bound ? ::testing::AssertionSuccess() : ::testing::AssertionFailure();
  return result << "processor time at scale " << scale << " is " << large / small << " times that at scale 1 ("
                << large << " s against " << small << " s); linear growth allows " << scale * kAllowance;
}
