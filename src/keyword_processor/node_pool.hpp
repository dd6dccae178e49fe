// Storage for trie nodes: fixed-size slots carved out of 64 KiB pages, without a per-node header.
//
// A keyword trie is mostly nodes with one child, millions of them for a large keyword list, each
// far smaller than the bookkeeping a general allocator adds to it. Slots of one size packed into
// pages cost a third less memory, keep the nodes of a keyword next to each other, and are
// returned to their page with a pointer push. A page whose slots are all free goes back to the
// system allocator, so memory is not held after a processor is gone (one empty page stays cached).
//
// One pool per process, shared by every processor; a mutex makes it safe to build tries on
// several threads at once. Reading a trie never touches the pool.
#pragma once

#include <cstddef>

namespace wordsieve::node_pool {

inline constexpr std::size_t kSlotSize = 24;
inline constexpr std::size_t kSlotAlign = 8;

// One uninitialised slot of kSlotSize bytes. Throws std::bad_alloc when no page can be had.
void* allocate();

// Gives back slots obtained from allocate(). Null pointers are ignored.
void release(void* slot) noexcept;
void release_many(void* const* slots, std::size_t count) noexcept;

}  // namespace wordsieve::node_pool
