#include "node_pool.hpp"

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

namespace wordsieve::node_pool {

namespace {

constexpr std::size_t kPageSize = 64 * 1024;  // also the alignment: a slot finds its page by masking

struct Page {
  Page* prev;         // in the list of pages with a free slot
  Page* next;
  void* free;         // freed slots, linked through their first word
  std::uint32_t live;
  std::uint32_t bumped;  // slots handed out from the untouched tail so far
  bool listed;
};

constexpr std::size_t kFirstSlot = (sizeof(Page) + kSlotAlign - 1) / kSlotAlign * kSlotAlign;
constexpr std::uint32_t kSlotsPerPage = static_cast<std::uint32_t>((kPageSize - kFirstSlot) / kSlotSize);

struct Pool {
  std::mutex mutex;
  Page* open = nullptr;   // pages with at least one free slot
  Page* spare = nullptr;  // one empty page kept back, so a trie that grows and shrinks by a few
                          // nodes does not allocate and free a page each time
};

Pool& pool() {
  // Never destroyed: nodes of tries that outlive static destruction may still be released.
  static Pool* instance = new Pool();
  return *instance;
}

Page* page_of(void* slot) noexcept {
  return reinterpret_cast<Page*>(reinterpret_cast<std::uintptr_t>(slot) & ~(kPageSize - 1));
}

void link(Pool& p, Page* page) noexcept {
  page->prev = nullptr;
  page->next = p.open;
  if (p.open != nullptr) p.open->prev = page;
  p.open = page;
  page->listed = true;
}

void unlink(Pool& p, Page* page) noexcept {
  if (page->prev != nullptr) page->prev->next = page->next;
  if (page->next != nullptr) page->next->prev = page->prev;
  if (p.open == page) p.open = page->next;
  page->prev = page->next = nullptr;
  page->listed = false;
}

// Pages come straight from the system where there is mmap, so that a page given back is memory
// given back to the system, not a hole in the C heap between other allocations.
#if defined(__unix__) || defined(__APPLE__)
void* map_page() noexcept {
  // Twice the size, so that an aligned page lies inside; the rest is unmapped at once.
  const std::size_t span = 2 * kPageSize;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kPageSize - 1) & ~(kPageSize - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + kPageSize;
  if (start + span > tail) munmap(reinterpret_cast<void*>(tail), start + span - tail);
  return reinterpret_cast<void*>(aligned);
}
void unmap_page(void* page) noexcept { munmap(page, kPageSize); }
#else
void* map_page() noexcept { return std::aligned_alloc(kPageSize, kPageSize); }
void unmap_page(void* page) noexcept { std::free(page); }
#endif

Page* new_page(Pool& p) {
  Page* page = p.spare;
  p.spare = nullptr;
  if (page == nullptr) {
    void* memory = map_page();
    if (memory == nullptr) throw std::bad_alloc();
    if (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(memory)) >= (std::uint64_t{1} << 48)) {
      unmap_page(memory);
      throw std::bad_alloc();
    }
    page = static_cast<Page*>(memory);
  }
  *page = Page{nullptr, nullptr, nullptr, 0, 0, false};
  link(p, page);
  return page;
}

void release_locked(Pool& p, void* slot) noexcept {
  Page* page = page_of(slot);
  *static_cast<void**>(slot) = page->free;
  page->free = slot;
  if (!page->listed) link(p, page);
  if (--page->live == 0) {
    unlink(p, page);
    if (p.spare == nullptr) {
      p.spare = page;
    } else {
      unmap_page(page);
    }
  }
}

void* allocate_locked(Pool& p) {
  Page* page = p.open != nullptr ? p.open : new_page(p);
  void* slot;
  if (page->free != nullptr) {
    slot = page->free;
    page->free = *static_cast<void**>(slot);
  } else {
    slot = reinterpret_cast<char*>(page) + kFirstSlot + std::size_t{page->bumped} * kSlotSize;
    ++page->bumped;
  }
  ++page->live;
  if (page->free == nullptr && page->bumped == kSlotsPerPage) unlink(p, page);
  return slot;
}

// Each thread keeps a few slots of its own, so that building a trie takes the pool's lock once per
// batch of nodes rather than once per node. Slots kept here count as used for their pages.
constexpr std::size_t kBatch = 32;

struct Cache {
  void* slots[2 * kBatch];
  std::size_t count = 0;

  ~Cache() {
    if (count == 0) return;
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    for (std::size_t i = 0; i < count; ++i) release_locked(p, slots[i]);
    count = 0;
  }
};

thread_local Cache cache;

void refill(Cache& c) {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  void* got[kBatch];
  std::size_t n = 0;
  while (n < kBatch) {
    try {
      got[n] = allocate_locked(p);
    } catch (...) {
      if (n == 0) throw;
      break;
    }
    ++n;
  }
  // Handed out last to first, so that nodes made one after another lie in ascending order, as a
  // keyword's nodes are walked.
  while (n > 0) c.slots[c.count++] = got[--n];
}

void flush(Cache& c) {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  while (c.count > kBatch) release_locked(p, c.slots[--c.count]);
}

}  // namespace

void* allocate() {
  Cache& c = cache;
  if (c.count == 0) refill(c);
  return c.slots[--c.count];
}

void release(void* slot) noexcept {
  if (slot == nullptr) return;
  Cache& c = cache;
  if (c.count == std::size(c.slots)) flush(c);
  c.slots[c.count++] = slot;
}

void release_many(void* const* slots, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) release(slots[i]);
}

}  // namespace wordsieve::node_pool
