// A check that work grows linearly with its input, without any time limit:
// the same work is measured on a small and on a large input in one run, in
// the processor time of the calling thread, so neither the speed of the
// machine nor time spent waiting for a processor on a loaded one decides.
#pragma once

#include <time.h>

#include <algorithm>
#include <functional>

// Measures work(scale) against work(1) and answers whether the large run
// stayed within kAllowance times `scale` of the small one. Linear work needs
// about `scale` times as long; work quadratic in the input needs `scale`
// squared (64 times for the default), far beyond the allowance. The runs
// alternate and the fastest of each size counts.
inline bool GrowsLinearly(const std::function<void(int scale)>& work, int scale = 8) {
  constexpr double kAllowance = 4.0;
  constexpr int kRounds = 5;
  auto seconds = [&](int s) {
    timespec begin{};
    timespec end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
    work(s);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return static_cast<double>(end.tv_sec - begin.tv_sec) + static_cast<double>(end.tv_nsec - begin.tv_nsec) * 1e-9;
  };
  double small = seconds(1);
  double large = seconds(scale);
  for (int round = 1; round < kRounds; ++round) {
    small = std::min(small, seconds(1));
    large = std::min(large, seconds(scale));
  }
  return large <= small * scale * kAllowance;
}
