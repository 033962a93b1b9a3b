// KTWorkCount: a tally, per thread, of the steps taken by the loops whose
// cost must stay in proportion to their input (a text search's comparisons,
// the siblings walked to order two nodes, the map entries copied for a
// declaration). Tests read it around a piece of work to check that the work
// grows linearly by counting it, which a busy machine cannot disturb as it
// disturbs a clock.
#pragma once

#include <cstdint>

class KTWorkCount {
 public:
  // A loop adds its steps once, when it is done; a step that is costly in
  // itself (a run of an expression, one climb of a path) adds its own. The
  // tally never costs an addition to a thread's variable per character.
  static void Add(uint64_t steps) noexcept { steps_ += steps; }

  // The steps counted on this thread so far.
  static uint64_t Total() noexcept { return steps_; }

 private:
  static inline thread_local uint64_t steps_ = 0;
};
