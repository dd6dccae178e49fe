// Memory pages straight from the operating system, for the node pool: a page given back is memory
// given back to the system, not a hole in the C heap between other allocations.
#pragma once

#include <cstddef>

namespace wordsieve::page_map {

// `bytes` of readable and writable memory (contents unspecified) aligned to `bytes` (a power of two, a multiple of
// 64 KiB), or null when the system has none to give.
void* map_aligned(std::size_t bytes) noexcept;

// Gives back memory obtained from map_aligned() with the same `bytes`.
void unmap(void* memory, std::size_t bytes) noexcept;

}  // namespace wordsieve::page_map
