#include "node_pool.hpp"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

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

Page* new_page(Pool& p) {
  Page* page = p.spare;
  p.spare = nullptr;
  if (page == nullptr) {
    void* memory = std::aligned_alloc(kPageSize, kPageSize);
    if (memory == nullptr) throw std::bad_alloc();
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
      std::free(page);
    }
  }
}

}  // namespace

void* allocate() {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
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

void release(void* slot) noexcept {
  if (slot == nullptr) return;
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  release_locked(p, slot);
}

void release_many(void* const* slots, std::size_t count) noexcept {
  if (count == 0) return;
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  for (std::size_t i = 0; i < count; ++i) {
    if (slots[i] != nullptr) release_locked(p, slots[i]);
  }
}

}  // namespace wordsieve::node_pool
