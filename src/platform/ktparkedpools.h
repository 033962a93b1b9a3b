// KTParkedPools: where the per-thread allocation pools of threads that ended
// wait for the next thread. A worker thread's pool may still hold blocks and
// free lists when the thread ends; parked, they go to the next thread that
// starts with an empty pool instead of staying unused to the end of the run.
#pragma once

#include <mutex>
#include <vector>

// State is the pool's per-thread state (copyable, value-initialised as
// empty); HoldsNothing(state) says whether it has nothing worth handing on.
template <typename State, bool (*HoldsNothing)(const State&)>
class KTParkedPools {
 public:
  // Moves the calling thread's pool here, leaving it empty; a pool that
  // cannot be parked (no memory for the list) stays where it is.
  static void Park(State& pool) noexcept {
    if (HoldsNothing(pool)) return;
    Lists& parked = Get();
    try {
      std::lock_guard<std::mutex> lock(parked.busy);
      parked.states.push_back(pool);
    } catch (...) {
      return;
    }
    pool = {};
  }

  // Gives an empty pool the last one parked, if any.
  static void Adopt(State& pool) noexcept {
    if (!HoldsNothing(pool)) return;
    Lists& parked = Get();
    std::lock_guard<std::mutex> lock(parked.busy);
    if (parked.states.empty()) return;
    pool = parked.states.back();
    parked.states.pop_back();
  }

 private:
  struct Lists {
    std::mutex busy;
    std::vector<State> states;
  };
  static Lists& Get() {
    static Lists* parked = new Lists;  // never destroyed: threads may end at exit
    return *parked;
  }
};
