// Page blocks: mapped from the system in aligned runs, reused last in, first
// out, returned with munmap beyond a few waiting blocks.
#include "platform/ktmemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>

#ifdef KT_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Blocks waiting for a taker: enough to carry the parse tree's blocks over
// to the document tree as both change hands block by block, few enough that
// memory held for nothing stays under a megabyte.
constexpr size_t kMaxWaitingBlocks = 2;

// Fresh blocks are cut from runs of this many, mapped in one call.
constexpr size_t kBlocksPerRun = 8;
constexpr size_t kRunBytes = kBlocksPerRun * kKTPageBlockBytes;

struct PageBlocks {
  std::mutex busy;
  void* waiting[kMaxWaitingBlocks] = {};
  size_t waitingCount = 0;
  char* run = nullptr;  // the part of the current run not handed out yet
  size_t runLeft = 0;
};
constinit PageBlocks gBlocks;

// A mutex rather than a spin: a thread that holds it may be mapping memory.
class Lock {
 public:
  Lock() { gBlocks.busy.lock(); }
  ~Lock() { gBlocks.busy.unlock(); }
};

// A run of kRunBytes aligned to one block: map one block more and cut the
// alignment out of it.
char* MapRun() {
  const size_t mapped = kRunBytes + kKTPageBlockBytes;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kKTPageBlockBytes - 1) & ~(uintptr_t{kKTPageBlockBytes} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t tail = aligned + kRunBytes;
  if (start + mapped > tail) munmap(reinterpret_cast<void*>(tail), start + mapped - tail);
  return reinterpret_cast<char*>(aligned);
}

// An address sanitizer build marks a waiting block as out of bounds, so that
// a read of a node whose block was given back is reported, as the fault on
// an unmapped block would be, rather than reading the next owner's data.
void MarkWaiting(void* block) {
#ifdef KT_ADDRESS_SANITIZER
  ASAN_POISON_MEMORY_REGION(block, kKTPageBlockBytes);
#else
  static_cast<void>(block);
#endif
}

void* MarkTaken(void* block) {
#ifdef KT_ADDRESS_SANITIZER
  ASAN_UNPOISON_MEMORY_REGION(block, kKTPageBlockBytes);
#endif
  return block;
}

}  // namespace

void* KTTakePageBlock(bool growing) noexcept {
  char* block;
  {
    Lock lock;
    if (gBlocks.waitingCount > 0) return MarkTaken(gBlocks.waiting[--gBlocks.waitingCount]);
    if (gBlocks.runLeft == 0) {
      char* run = MapRun();
      if (!run) return nullptr;
      gBlocks.run = run;
      gBlocks.runLeft = kRunBytes;
    }
    block = gBlocks.run;
    gBlocks.run += kKTPageBlockBytes;
    gBlocks.runLeft -= kKTPageBlockBytes;
  }
#ifdef MADV_POPULATE_WRITE
  // One call puts the block's pages in place, where writing them would fault
  // once per page; older kernels refuse the advice and fault as before.
  if (growing) madvise(block, kKTPageBlockBytes, MADV_POPULATE_WRITE);
#endif
  return block;
}

void KTGiveBackPageBlock(void* block) noexcept {
  if (!block) return;
  {
    Lock lock;
    if (gBlocks.waitingCount < kMaxWaitingBlocks) {
      MarkWaiting(block);
      gBlocks.waiting[gBlocks.waitingCount++] = block;
      return;
    }
  }
  munmap(block, kKTPageBlockBytes);
}

size_t KTGetWaitingPageBlockCount() noexcept {
  Lock lock;
  return gBlocks.waitingCount;
}
