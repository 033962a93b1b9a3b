// Blocks of memory pages taken straight from the system, shared by the pools
// that hold a document while it is loaded: the parse engine's node arena, the
// document nodes' pool and the pool of short strings.
#pragma once

#include <cstddef>

// Whether the build runs under the address sanitizer. The pools then take
// every node and string on its own, so that a use after free is still seen,
// and a block waiting for its next owner is marked off limits.
#if defined(__SANITIZE_ADDRESS__)
#define KT_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KT_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef KT_ADDRESS_SANITIZER
inline constexpr bool kKTAddressSanitizerBuild = true;
#else
inline constexpr bool kKTAddressSanitizerBuild = false;
#endif

// A page block's size, and its alignment: an owner finds a block's header by
// masking an address inside it.
constexpr size_t kKTPageBlockBytes = size_t{1} << 18;

// A block of kKTPageBlockBytes aligned to its size, or nullptr when the system
// has no memory for it. A block given back recently comes first: its pages
// are still in memory, so the next owner writes them without a page fault
// each (the parse tree's blocks, freed while the document tree is built,
// become the document tree's blocks). A fresh block's pages are mapped only
// as they are first written, so a small document never holds a whole block.
// An owner that grows fast and already holds many blocks (the parse tree of a
// large document) says `growing`: a fresh block's pages are then put in place
// by one call before it is handed out, instead of one page fault each (where
// the system cannot, they come by faults as before).
// Any thread may call.
void* KTTakePageBlock(bool growing = false) noexcept;
// From this call on, a helper thread puts the pages of the next fresh blocks
// in place ahead of the owners that say `growing`, keeping a few ready, so
// that such an owner takes a block without stopping for its pages. Called
// once a document has been loaded on several threads: what follows (its
// XPath view, the transformation) grows on one. Starts no thread in an
// address sanitizer build, nor when one cannot be started.
void KTPreparePageBlocksAhead() noexcept;
// Gives a block back for the next KTTakePageBlock; while a few blocks wait
// already, it goes back to the system instead, so freed memory never piles
// up unused. An owner that knows others are about to take many blocks (a
// load's scratch freed as its parse starts) says `takenSoon`: then up to
// kKTMaxWaitingSoonBlocks wait, their pages kept for the next takers.
constexpr size_t kKTMaxWaitingSoonBlocks = 32;
void KTGiveBackPageBlock(void* block, bool takenSoon = false) noexcept;
// The blocks waiting for a taker (for tests).
size_t KTGetWaitingPageBlockCount() noexcept;

// Puts in place, by one call, the pages of memory[0, bytes) (and of the
// pages it starts and ends in), which the caller is about to write in full:
// writing them would fault once a page. The memory must be mapped writable,
// as any block the caller owns is; its contents stay as they are. Where the
// system cannot, the pages come by faults as before.
void KTPutPagesInPlace(void* memory, size_t bytes) noexcept;
