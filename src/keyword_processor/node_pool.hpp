// Storage for trie nodes: fixed-size slots carved out of 64 KiB pages, without a per-node header.
//
// A keyword trie is mostly nodes with one child, millions of them for a large keyword list, each
// far smaller than the bookkeeping a general allocator adds to it. Slots of one size packed into
// pages cost a third less memory, keep the nodes of a keyword next to each other, and are
// returned to their page with a pointer push. A page whose slots are all free goes back to the
// system, so memory is not held after a processor is gone (one empty page stays cached).
//
// One pool per process, shared by every processor; a mutex makes it safe to build tries on
// several threads at once, and each thread keeps a few slots of its own so that the mutex is taken
// once per batch of nodes. Reading a trie never touches the pool.
#pragma once

#include <cstddef>

namespace wordsieve::node_pool {

inline constexpr std::size_t kSlotSize = 16;
inline constexpr std::size_t kSlotAlign = 16;

// One uninitialised slot of kSlotSize bytes, aligned to kSlotAlign, at an address below 2^48 (child
// maps store node addresses in 48 bits). Throws std::bad_alloc when no such page can be had.
void* allocate();

// Gives back slots obtained from allocate(). Null pointers are ignored.
void release(void* slot) noexcept;
void release_many(void* const* slots, std::size_t count) noexcept;

}  // namespace wordsieve::node_pool
