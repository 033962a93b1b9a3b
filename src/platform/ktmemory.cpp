// Page blocks: mapped from the system in aligned runs, reused last in, first
// out, returned with munmap beyond a few waiting blocks.
#include "platform/ktmemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

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

// Fresh blocks the helper (KTPreparePageBlocksAhead) keeps with their pages
// in place for the next owners that grow: enough to stay ahead of one owner
// that grows fast, few enough that memory held for nothing stays small.
constexpr size_t kMaxReadyBlocks = 2;

struct PageBlocks {
  std::mutex busy;
  void* waiting[kKTMaxWaitingSoonBlocks] = {};
  size_t waitingCount = 0;
  char* run = nullptr;  // the part of the current run not handed out yet
  size_t runLeft = 0;
  // The helper: started, asked to fill the ready blocks (by a take that
  // grows), and the blocks it is putting in place now.
  void* ready[kMaxReadyBlocks] = {};
  size_t readyCount = 0;
  bool helperStarted = false;
  bool helperWanted = false;
  size_t preparing = 0;
  // Never destroyed: the helper waits on it until the process ends.
  std::condition_variable* wake = nullptr;
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

// A fresh block cut from the current run (a new run when it is used up);
// nullptr when the system has no memory for one. Under the lock.
char* CutFreshBlock() {
  if (gBlocks.runLeft == 0) {
    char* run = MapRun();
    if (!run) return nullptr;
    gBlocks.run = run;
    gBlocks.runLeft = kRunBytes;
  }
  char* block = gBlocks.run;
  gBlocks.run += kKTPageBlockBytes;
  gBlocks.runLeft -= kKTPageBlockBytes;
  return block;
}

// The helper's loop: while asked, fresh blocks have their pages put in
// place, off the thread of the owner that grows, until the ready ones are
// full; then it waits to be asked again.
void PrepareBlocks() noexcept {
  std::unique_lock<std::mutex> lock(gBlocks.busy);
  for (;;) {
    gBlocks.wake->wait(lock, [] {
      return gBlocks.helperWanted && gBlocks.readyCount + gBlocks.preparing < kMaxReadyBlocks;
    });
    char* block = CutFreshBlock();
    if (!block) {
      gBlocks.helperWanted = false;
      continue;
    }
    ++gBlocks.preparing;
    lock.unlock();
#ifdef MADV_POPULATE_WRITE
    madvise(block, kKTPageBlockBytes, MADV_POPULATE_WRITE);
#endif
    lock.lock();
    --gBlocks.preparing;
    gBlocks.ready[gBlocks.readyCount++] = block;
    if (gBlocks.readyCount >= kMaxReadyBlocks) gBlocks.helperWanted = false;
  }
}

}  // namespace

void KTPreparePageBlocksAhead() noexcept {
  if (kKTAddressSanitizerBuild) return;
  Lock lock;
  if (gBlocks.helperStarted) return;
  try {
    gBlocks.wake = new std::condition_variable;
    std::thread(PrepareBlocks).detach();
    gBlocks.helperStarted = true;
  } catch (...) {
    // No helper: owners put their pages in place themselves, as before.
  }
}

void* KTTakePageBlock(bool growing) noexcept {
  char* block;
  {
    Lock lock;
    if (gBlocks.waitingCount > 0) return MarkTaken(gBlocks.waiting[--gBlocks.waitingCount]);
    if (gBlocks.helperStarted && growing) {
      // Ask the helper for the next ones (it waits for the lock).
      gBlocks.helperWanted = true;
      gBlocks.wake->notify_one();
    }
    if (gBlocks.readyCount > 0) return MarkTaken(gBlocks.ready[--gBlocks.readyCount]);
    block = CutFreshBlock();
    if (!block) return nullptr;
  }
#ifdef MADV_POPULATE_WRITE
  // One call puts the block's pages in place, where writing them would fault
  // once per page; older kernels refuse the advice and fault as before.
  if (growing) madvise(block, kKTPageBlockBytes, MADV_POPULATE_WRITE);
#endif
  return block;
}

void KTGiveBackPageBlock(void* block, bool takenSoon) noexcept {
  if (!block) return;
  {
    Lock lock;
    if (gBlocks.waitingCount < (takenSoon ? kKTMaxWaitingSoonBlocks : kMaxWaitingBlocks)) {
      MarkWaiting(block);
      gBlocks.waiting[gBlocks.waitingCount++] = block;
      return;
    }
  }
  munmap(block, kKTPageBlockBytes);
}

void KTPutPagesInPlace(void* memory, size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  if (!memory || bytes == 0) return;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = reinterpret_cast<uintptr_t>(memory) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + bytes + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
  static_cast<void>(memory);
  static_cast<void>(bytes);
#endif
}

size_t KTGetWaitingPageBlockCount() noexcept {
  Lock lock;
  return gBlocks.waitingCount;
}
