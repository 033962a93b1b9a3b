// The node allocator: every KTXNode and every KTXPathNode comes from per-size
// free lists carved out of large blocks, one set per thread, so the lists
// take no lock.
#include <cstddef>
#include <new>

#include "xml/ktxnodepool.h"

#include "platform/ktmemory.h"
#include "platform/ktparkedpools.h"
#include "xml/ktxnode.h"

namespace {

// ---- Node allocator ----

// Blocks are page blocks, so a tree built while its parse tree is freed
// takes over the parse tree's pages. They are never given back: freed nodes
// wait for the next nodes of their size.
constexpr size_t kPoolStep = kKTXNodePoolStep;
constexpr size_t kPoolLargest = kKTXNodePoolLargest;
constexpr size_t kPoolBlockBytes = kKTPageBlockBytes;
constexpr size_t kBlocksBeforeGrowing = kKTXNodePoolBlocksBeforeGrowing;
constexpr bool kPoolNodes = kKTXNodePoolOn;

KTXNodePoolState& Pool() { return gKTXNodePool; }

void PushFree(KTXNodePoolState& pool, void* memory, size_t size) {
  *static_cast<void**>(memory) = pool.free[size / kPoolStep];
  pool.free[size / kPoolStep] = memory;
}

}  // namespace

thread_local constinit KTXNodePoolState gKTXNodePool = {};

namespace {

bool HoldsNothing(const KTXNodePoolState& pool) {
  if (pool.block && pool.left > 0) return false;
  for (void* head : pool.free)
    if (head) return false;
  return true;
}

}  // namespace

void KTXNodePoolParkThread() noexcept { KTParkedPools<KTXNodePoolState, HoldsNothing>::Park(Pool()); }

void KTXNodePoolAdoptParked() noexcept { KTParkedPools<KTXNodePoolState, HoldsNothing>::Adopt(Pool()); }

void KTXNodePoolGrowFromNow() noexcept {
  KTXNodePoolState& pool = Pool();
  if (pool.blocksTaken < kBlocksBeforeGrowing) pool.blocksTaken = kBlocksBeforeGrowing;
}

// Reached when the size's list is empty and the block has too little left
// (or the size is not pooled).
void* KTXNodePoolAllocateSlow(size_t size) {
  if (!kPoolNodes || size > kPoolLargest) return ::operator new(size);
  size = (size + kPoolStep - 1) / kPoolStep * kPoolStep;
  KTXNodePoolState& pool = Pool();
  if (void* node = pool.free[size / kPoolStep]) {
    pool.free[size / kPoolStep] = *static_cast<void**>(node);
    return node;
  }
  if (pool.left < size) {
    // What is left of the old block serves the size that fits it exactly.
    if (pool.left >= kPoolStep) PushFree(pool, pool.block, pool.left);
    pool.block = static_cast<char*>(KTTakePageBlock(pool.blocksTaken++ >= kBlocksBeforeGrowing));
    pool.left = pool.block ? kPoolBlockBytes : 0;
    if (!pool.block) throw std::bad_alloc();
  }
  void* node = pool.block;
  pool.block += size;
  pool.left -= size;
  return node;
}

void KTXNodePoolFree(void* node, size_t size) noexcept {
  if (!node) return;
  if (!kPoolNodes || size > kPoolLargest) {
    ::operator delete(node);
    return;
  }
  size = (size + kPoolStep - 1) / kPoolStep * kPoolStep;
  PushFree(Pool(), node, size);
}

void KTXNodePoolFreePieces(void* block, size_t size, size_t piece) noexcept {
  if (!block) return;
  size = (size + kPoolStep - 1) / kPoolStep * kPoolStep;
  piece = (piece + kPoolStep - 1) / kPoolStep * kPoolStep;
  if (!kPoolNodes || size > kPoolLargest || piece == 0 || piece > size) {
    KTXNodePoolFree(block, size);
    return;
  }
  KTXNodePoolState& pool = Pool();
  char* at = static_cast<char*>(block);
  for (; size >= piece; at += piece, size -= piece) PushFree(pool, at, piece);
  if (size >= kPoolStep) PushFree(pool, at, size);
}

void* KTXNode::operator new(size_t size) { return KTXNodePoolAllocate(size); }

void KTXNode::operator delete(void* node, size_t size) noexcept { KTXNodePoolFree(node, size); }
