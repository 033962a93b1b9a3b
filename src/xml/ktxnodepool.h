// The node allocator shared by the document nodes (KTXNode) and the XPath
// view nodes (KTXPathNode): per-size free lists carved out of large blocks,
// for the program's one tree-building thread (no lock).
#pragma once

#include <cstddef>

// Memory for one node of `size` bytes; sizes above 256 bytes (and every size
// in an address-sanitizer build) go to the general allocator.
void* KTXNodePoolAllocate(size_t size);
// Gives a node back to the free list of its size (the size it was taken with).
void KTXNodePoolFree(void* node, size_t size) noexcept;
// Gives a block back (the size it was taken with) as pieces of `piece`
// bytes for the free list of that size, and what is left over for the list
// of its own size: memory freed as one kind of object goes to the next
// objects of another (a pending attribute block to the attribute nodes made
// from it). Sizes above 256 bytes go back to the general allocator whole.
void KTXNodePoolFreePieces(void* block, size_t size, size_t piece) noexcept;
