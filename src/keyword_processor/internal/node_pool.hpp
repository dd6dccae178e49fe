// Storage for the small blocks of a trie: trie nodes, the blocks of small child maps and clean
// names, in fixed-size slots carved out of 64 KiB pages, without a per-block header.
//
// A keyword trie is mostly nodes with one child, millions of them for a large keyword list, each
// far smaller than the bookkeeping a general allocator adds to it. Slots of one size packed into
// pages cost a third less memory, keep the nodes of a keyword next to each other, and are
// returned to their page with a pointer push. A page whose slots are all free goes back to the
// system, so memory is not held after a processor is gone (one empty page per size stays cached).
//
// One pool per process, shared by every processor; a mutex makes it safe to build tries on
// several threads at once, and each thread keeps a few slots of each size so that the mutex is
// taken once per batch of blocks. Reading a trie never touches the pool. fork() may come from any
// thread at any moment: the child finds the mutex free (the slots other threads kept in their
// caches stay used in the child, as those threads do not exist there).
#pragma once

#include <cstddef>

namespace wordsieve::node_pool {

// Slot sizes are the multiples of 16 up to kLargestSlot; every slot is 16-byte aligned and lies at
// an address below 2^48 (child maps store addresses in 48 bits).
inline constexpr std::size_t kSlotAlign = 16;
inline constexpr std::size_t kLargestSlot = 288;

// One uninitialised slot of at least `bytes` bytes (1 <= bytes <= kLargestSlot). Throws
// std::bad_alloc when no page can be had.
void* allocate(std::size_t bytes);

// Gives back a slot obtained from allocate(). Null is ignored.
void release(void* slot) noexcept;
void release_many(void* const* slots, std::size_t count) noexcept;

// After a large trie is gone (destroyed, or refused while it was being read): once the pool has
// given kWorthGivingBack pages back to the system since the last call, also gives back what it and
// the C library keep for reuse (the calling thread's cached slots, the empty page of each size,
// and, with glibc, the free pages of the C heap), and returns true. Cheap otherwise. Owners of
// tries call it after dropping a large one.
inline constexpr std::size_t kWorthGivingBack = 64;  // 4 MiB of pages
bool give_back_if_worthwhile() noexcept;

}  // namespace wordsieve::node_pool
