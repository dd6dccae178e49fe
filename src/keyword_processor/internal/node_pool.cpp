#include "node_pool.hpp"

#include <cstdint>
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <iterator>
#include <mutex>
#include <new>

#include "keyword_processor/platform_features.hpp"
#include "page_map.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define WORDSIEVE_FORK_HANDLERS 1
#endif

// Under AddressSanitizer a slot is poisoned while it is not handed out, so that a use of a freed
// node or block is reported as it would be with the general allocator.
#if defined(__SANITIZE_ADDRESS__)
#define WORDSIEVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WORDSIEVE_ASAN 1
#endif
#endif
#if defined(WORDSIEVE_ASAN)
#include <sanitizer/asan_interface.h>
#define WORDSIEVE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define WORDSIEVE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define WORDSIEVE_POISON(p, n) ((void)(p), (void)(n))
#define WORDSIEVE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace wordsieve::node_pool {

namespace {

constexpr std::size_t kPageSize = 64 * 1024;  // also the alignment: a slot finds its page by masking
constexpr std::size_t kClasses = kLargestSlot / kSlotAlign;  // slot sizes 16, 32, ..., kLargestSlot

struct Page {
  Page* prev;         // in its class's list of pages with a free slot
  Page* next;
  void* free;         // freed slots, linked through their first word
  std::uint32_t live;
  std::uint32_t bumped;  // slots handed out from the untouched tail so far
  std::uint32_t slot_size;
  std::uint32_t capacity;
  bool listed;
};

constexpr std::size_t kFirstSlot = (sizeof(Page) + kSlotAlign - 1) / kSlotAlign * kSlotAlign;

struct Class {
  Page* open = nullptr;   // pages with at least one free slot
  Page* spare = nullptr;  // one empty page kept back, so a trie that grows and shrinks by a few
                          // blocks does not map and unmap a page each time
};

struct Pool {
  std::mutex mutex;
  Class classes[kClasses];
  std::size_t unmapped_since_give_back = 0;  // pages given back since give_back_if_worthwhile
};

Pool* the_pool = nullptr;

Pool& pool() {
  // Never destroyed: blocks of tries that outlive static destruction may still be released.
  static Pool* instance = [] {
    the_pool = new Pool();
#if defined(WORDSIEVE_FORK_HANDLERS)
    // fork() copies only the thread that calls it. Had another thread held the lock at that
    // moment (building a trie, or handing its cached slots back as it ends), the child would find
    // it held forever and hang on its first trie. Around fork() the lock is taken, then released
    // on both sides. (No other lock of the module is taken while this one is held.)
    pthread_atfork(+[] { the_pool->mutex.lock(); }, +[] { the_pool->mutex.unlock(); },
                   +[] { the_pool->mutex.unlock(); });
#endif
    return the_pool;
  }();
  return *instance;
}

std::size_t class_of(std::size_t bytes) noexcept { return (bytes + kSlotAlign - 1) / kSlotAlign - 1; }

Page* page_of(void* slot) noexcept {
  return reinterpret_cast<Page*>(reinterpret_cast<std::uintptr_t>(slot) & ~(kPageSize - 1));
}

void link(Class& c, Page* page) noexcept {
  page->prev = nullptr;
  page->next = c.open;
  if (c.open != nullptr) c.open->prev = page;
  c.open = page;
  page->listed = true;
}

void unlink(Class& c, Page* page) noexcept {
  if (page->prev != nullptr) page->prev->next = page->next;
  if (page->next != nullptr) page->next->prev = page->prev;
  if (c.open == page) c.open = page->next;
  page->prev = page->next = nullptr;
  page->listed = false;
}

void* map_page() noexcept { return page_map::map_aligned(kPageSize); }

void unmap_page(void* page) noexcept {
  WORDSIEVE_UNPOISON(page, kPageSize);  // the address range may be mapped again by anyone
  page_map::unmap(page, kPageSize);
}

Page* new_page(Class& c, std::size_t index) {
  Page* page = c.spare;
  c.spare = nullptr;
  if (page == nullptr) {
    void* memory = map_page();
    if (memory == nullptr) throw std::bad_alloc();
    if (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(memory)) >= (std::uint64_t{1} << 48)) {
      unmap_page(memory);
      throw std::bad_alloc();
    }
    page = static_cast<Page*>(memory);
  }
  const auto slot_size = static_cast<std::uint32_t>((index + 1) * kSlotAlign);
  *page = Page{nullptr, nullptr, nullptr, 0, 0, slot_size,
               static_cast<std::uint32_t>((kPageSize - kFirstSlot) / slot_size), false};
  link(c, page);
  return page;
}

void* allocate_locked(Pool& p, std::size_t index) {
  Class& c = p.classes[index];
  Page* page = c.open != nullptr ? c.open : new_page(c, index);
  void* slot;
  if (page->free != nullptr) {
    slot = page->free;
    WORDSIEVE_UNPOISON(slot, sizeof(void*));
    page->free = *static_cast<void**>(slot);
    WORDSIEVE_POISON(slot, sizeof(void*));
  } else {
    slot = reinterpret_cast<char*>(page) + kFirstSlot + std::size_t{page->bumped} * page->slot_size;
    ++page->bumped;
  }
  ++page->live;
  if (page->free == nullptr && page->bumped == page->capacity) unlink(c, page);
  return slot;
}

void release_locked(Pool& p, void* slot) noexcept {
  Page* page = page_of(slot);
  Class& c = p.classes[class_of(page->slot_size)];
  WORDSIEVE_UNPOISON(slot, sizeof(void*));
  *static_cast<void**>(slot) = page->free;
  WORDSIEVE_POISON(slot, sizeof(void*));
  page->free = slot;
  if (!page->listed) link(c, page);
  if (--page->live == 0) {
    unlink(c, page);
    if (c.spare == nullptr) {
      c.spare = page;
    } else {
      unmap_page(page);
      ++p.unmapped_since_give_back;
    }
  }
}

// Each thread keeps a few slots of each size, so that building a trie takes the pool's lock once
// per batch of blocks rather than once per block. Slots kept here count as used for their pages.
constexpr std::size_t kBatch = 32;

struct Cache {
  struct Stack {
    void* slots[2 * kBatch];
    std::size_t count = 0;
  };
  Stack stacks[kClasses];
};

// The thread's cache lives on the heap: the module's thread-local block must stay a few bytes, as
// the loader fits it into the small static area it reserves for modules loaded at run time. The
// holder frees the cache when the thread ends; the hot paths read a plain pointer, which is one load
// where the static TLS model is available (platform_features.hpp).
WORDSIEVE_FAST_THREAD_LOCAL Cache* current_cache = nullptr;

struct CacheHolder {
  Cache* cache = nullptr;

  ~CacheHolder() {
    if (cache == nullptr) return;
    current_cache = nullptr;  // later releases on this thread go straight back to the pool
    {
      Pool& p = pool();
      std::lock_guard<std::mutex> lock(p.mutex);
      for (Cache::Stack& stack : cache->stacks) {
        for (std::size_t i = 0; i < stack.count; ++i) release_locked(p, stack.slots[i]);
        stack.count = 0;
      }
    }
    delete cache;
    cache = nullptr;
  }
};

thread_local CacheHolder holder;

WORDSIEVE_NOINLINE Cache& new_thread_cache() {
  CacheHolder& h = holder;
  if (h.cache == nullptr) h.cache = new Cache();
  current_cache = h.cache;
  return *h.cache;
}

WORDSIEVE_NOINLINE void refill(Cache::Stack& stack, std::size_t index) {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  void* got[kBatch];
  std::size_t n = 0;
  while (n < kBatch) {
    try {
      got[n] = allocate_locked(p, index);
    } catch (...) {
      if (n == 0) throw;
      break;
    }
    ++n;
  }
  // Handed out last to first, so that blocks made one after another lie in ascending order, as a
  // keyword's nodes are walked.
  while (n > 0) stack.slots[stack.count++] = got[--n];
}

WORDSIEVE_NOINLINE void flush(Cache::Stack& stack) noexcept {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  while (stack.count > kBatch) release_locked(p, stack.slots[--stack.count]);
}

WORDSIEVE_NOINLINE void release_to_pool(void* slot) noexcept {
  Pool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  release_locked(p, slot);
}

}  // namespace

void* allocate(std::size_t bytes) {
  const std::size_t index = class_of(bytes);
  Cache* cache = current_cache;
  Cache::Stack& stack = (cache != nullptr ? *cache : new_thread_cache()).stacks[index];
  if (stack.count == 0) refill(stack, index);
  void* slot = stack.slots[--stack.count];
  WORDSIEVE_UNPOISON(slot, (index + 1) * kSlotAlign);
  return slot;
}

void release(void* slot) noexcept {
  if (slot == nullptr) return;
  WORDSIEVE_POISON(slot, page_of(slot)->slot_size);
  Cache* cache = current_cache;
  if (cache == nullptr) {
    // A thread that frees what it never allocated (or a thread being torn down): straight back.
    release_to_pool(slot);
    return;
  }
  Cache::Stack& stack = cache->stacks[class_of(page_of(slot)->slot_size)];
  if (stack.count == std::size(stack.slots)) flush(stack);
  stack.slots[stack.count++] = slot;
}

void release_many(void* const* slots, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) release(slots[i]);
}

bool give_back_if_worthwhile() noexcept {
  Pool& p = pool();
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.unmapped_since_give_back < kWorthGivingBack) return false;
    p.unmapped_since_give_back = 0;
    // The calling thread's cached slots go back to their pages (a cached slot keeps its page), and
    // the empty page each size keeps for reuse goes back to the system.
    if (Cache* cache = current_cache) {
      for (Cache::Stack& stack : cache->stacks) {
        while (stack.count > 0) release_locked(p, stack.slots[--stack.count]);
      }
    }
    for (Class& c : p.classes) {
      if (c.spare != nullptr) unmap_page(c.spare);
      c.spare = nullptr;
    }
  }
#if defined(__GLIBC__)
  // What the trie held in the C heap (tables of wide nodes, long clean names, the reader's lists)
  // is free now but may lie below memory still in use, where only a trim returns its pages.
  malloc_trim(0);
#endif
  return true;
}

}  // namespace wordsieve::node_pool
