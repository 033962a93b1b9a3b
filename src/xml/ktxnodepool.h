// The node allocator shared by the document nodes (KTXNode) and the XPath
// view nodes (KTXPathNode): per-size free lists carved out of large blocks,
// one set per thread (no lock).
#pragma once

#include <cstddef>

#include "platform/ktmemory.h"

// Sizes up to kKTXNodePoolLargest bytes, in steps of kKTXNodePoolStep, each
// with a free list; larger objects go to the general allocator. An address
// sanitizer build allocates every node on its own, so that it can still see
// a node used after it was freed.
inline constexpr size_t kKTXNodePoolStep = 8;
inline constexpr size_t kKTXNodePoolLargest = 256;
inline constexpr bool kKTXNodePoolOn = !kKTAddressSanitizerBuild;
// Past this many blocks (2 MiB) a thread's pool takes its blocks as a
// growing owner (their pages put in place at once); a small document's
// nodes hold no more memory than it writes.
inline constexpr size_t kKTXNodePoolBlocksBeforeGrowing = 8;

// The lists and the block being carved, one per thread: trees may be built
// on several threads at once (documents loaded beside each other), and a
// node freed on another thread than the one that made it joins the freeing
// thread's lists. Constant-initialised and never destroyed: a node
// allocation reads it without a guard, and nodes deleted at exit still find
// it.
struct KTXNodePoolState {
  void* free[kKTXNodePoolLargest / kKTXNodePoolStep + 1];
  char* block;
  size_t left;
  size_t blocksTaken;
};
extern thread_local constinit KTXNodePoolState gKTXNodePool;

// A new block to carve from (or the general allocator); the rare path of
// KTXNodePoolAllocate.
void* KTXNodePoolAllocateSlow(size_t size);

// Memory for one node of `size` bytes; sizes above 256 bytes (and every size
// in an address-sanitizer build) go to the general allocator. Inline: every
// document and view node comes through here.
inline void* KTXNodePoolAllocate(size_t size) {
  if (kKTXNodePoolOn && size <= kKTXNodePoolLargest) {
    size = (size + kKTXNodePoolStep - 1) / kKTXNodePoolStep * kKTXNodePoolStep;
    void*& head = gKTXNodePool.free[size / kKTXNodePoolStep];
    if (void* node = head) {
      head = *static_cast<void**>(node);
      return node;
    }
    if (gKTXNodePool.left >= size) {
      void* node = gKTXNodePool.block;
      gKTXNodePool.block += size;
      gKTXNodePool.left -= size;
      return node;
    }
  }
  return KTXNodePoolAllocateSlow(size);
}
// A thread that ends hands its lists and the rest of its block to the
// process (KTXNodePoolParkThread), and the next thread that starts loading
// takes them over (KTXNodePoolAdoptParked), so a worker's unused memory is
// not stranded with it. Both take a lock: they run once per thread.
void KTXNodePoolParkThread() noexcept;
void KTXNodePoolAdoptParked() noexcept;
// From now on the calling thread's pool takes its blocks as an owner that
// grows (KTTakePageBlock), whatever it holds yet: after a document loaded on
// several threads, its view and the transformation grow on this one, whose
// own share of the load's blocks was small.
void KTXNodePoolGrowFromNow() noexcept;

// Gives a node back to the free list of its size (the size it was taken with).
void KTXNodePoolFree(void* node, size_t size) noexcept;
// Gives a block back (the size it was taken with) as pieces of `piece`
// bytes for the free list of that size, and what is left over for the list
// of its own size: memory freed as one kind of object goes to the next
// objects of another (a pending attribute block to the attribute nodes made
// from it). Sizes above 256 bytes go back to the general allocator whole.
void KTXNodePoolFreePieces(void* block, size_t size, size_t piece) noexcept;
