// A check that work grows linearly with its input, without any fixed time
// limit: the same work is timed on a small and on a large input in one run,
// so a loaded machine slows both alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

// Times work(scale) against work(1) (best of three runs each) and answers
// whether the large run stayed within kAllowance times `scale` of the small
// one. Linear work needs about `scale` times as long; work that is
// quadratic in the input needs `scale` squared, far beyond the allowance.
inline bool GrowsLinearly(const std::function<void(int scale)>& work, int scale = 8) {
  constexpr double kAllowance = 3.0;
  auto best = [&](int s) {
    double fastest = 0;
    for (int run = 0; run < 3; ++run) {
      const auto begin = std::chrono::steady_clock::now();
      work(s);
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      fastest = run == 0 ? seconds : std::min(fastest, seconds);
    }
    return fastest;
  };
  const double small = best(1);
  const double large = best(scale);
  return large <= small * scale * kAllowance;
}
