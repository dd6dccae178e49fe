#include "trie_node.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "node_pool.hpp"

namespace wordsieve {

namespace {

// Freed nodes go back to the pool in batches of this many, one lock for each batch: large enough
// that the lock costs nothing beside the walk, small enough to sit on the stack (2 KiB).
constexpr std::size_t kReleaseBatch = 256;

void* checked_malloc(std::size_t n) {
  void* p = std::malloc(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

// Dense nodes: a direct table for byte keys, and sorted arrays for the rare keys above 0xFF.
struct alignas(16) ChildMap::Dense {
  TrieNode* bytes[kByteKeys] = {};
  std::size_t size = 0;
  std::vector<std::uint32_t> wide_keys;
  std::vector<TrieNode*> wide_children;
};

// Lists: a size, then the entries in ascending key order, in a pool slot of just their size (a
// list changes only when a foreign state is read or edited, so it is never given room to grow).
struct alignas(16) ChildMap::Wide {
  std::uint32_t size;
  std::uint32_t reserved;
  Entry* entries() noexcept { return reinterpret_cast<Entry*>(this + 1); }
  const Entry* entries() const noexcept { return reinterpret_cast<const Entry*>(this + 1); }
};

static_assert(sizeof(ChildMap::Entry) == 16 && alignof(ChildMap::Entry) <= 8);

// Even, so that the block (16 key bytes and 8 bytes per child) fills a pool slot exactly.
std::uint32_t ChildMap::small_capacity(std::uint32_t size) noexcept {
  return std::max<std::uint32_t>(2, (size + 1) & ~std::uint32_t{1});
}

std::size_t ChildMap::dense_size() const noexcept { return is_wide() ? wide()->size : dense()->size; }

ChildMap& ChildMap::operator=(ChildMap&& other) noexcept {
  if (this != &other) {
    ChildMap old(std::move(*this));
    word_ = other.word_;
    other.word_ = 0;
  }
  return *this;
}

ChildMap::~ChildMap() {
  if (word_ == 0) return;
  // Each node is deleted only after its children were moved to the stack, so no destructor below
  // recurses: depth costs heap, not call stack. The slots go back to the pool in batches, one
  // lock for many nodes.
  std::vector<TrieNode*> stack;
  release_all(stack);
  void* done[kReleaseBatch];
  std::size_t count = 0;
  while (!stack.empty()) {
    TrieNode* node = stack.back();
    stack.pop_back();
    node->children.release_all(stack);
    node->~TrieNode();
    done[count++] = node;
    if (count == std::size(done)) {
      node_pool::release_many(done, count);
      count = 0;
    }
  }
  node_pool::release_many(done, count);
}

void ChildMap::free_storage() noexcept {
  switch (kind()) {
    case kSmall:
      node_pool::release(ptr());
      break;
    case kDense:
      if (is_wide()) {
        node_pool::release(ptr());
      } else {
        delete dense();
      }
      break;
    default:
      break;
  }
  word_ = 0;
}

TrieNode* ChildMap::find_dense(std::uint32_t key) const noexcept {
  if (is_wide()) {
    const Wide* w = wide();
    const Entry* entries = w->entries();
    for (std::uint32_t i = 0; i < w->size; ++i) {
      if (entries[i].key == key) return entries[i].child;
    }
    return nullptr;
  }
  const Dense* d = dense();
  if (key < kByteKeys) return d->bytes[key];
  auto it = std::lower_bound(d->wide_keys.begin(), d->wide_keys.end(), key);
  if (it == d->wide_keys.end() || *it != key) return nullptr;
  return d->wide_children[static_cast<std::size_t>(it - d->wide_keys.begin())];
}

// `entries` are in ascending key order, all keys below kByteKeys, 2 <= size <= kSmallMax.
void ChildMap::set_small(std::uint32_t size, const Entry* entries) {
  const std::uint32_t capacity = small_capacity(size);
  const std::size_t key_bytes = small_key_bytes(size);
  static_assert(32 + kSmallMax * sizeof(TrieNode*) <= node_pool::kLargestSlot);
  void* block = node_pool::allocate(key_bytes + capacity * sizeof(TrieNode*));
  auto* keys = static_cast<unsigned char*>(block);
  auto* children = reinterpret_cast<TrieNode**>(keys + key_bytes);
  std::memset(keys, 0, key_bytes);
  for (std::uint32_t i = 0; i < size; ++i) {
    keys[i] = static_cast<unsigned char>(entries[i].key);
    children[i] = entries[i].child;
  }
  free_storage();
  set(kSmall, block, size);
}

// `entries` are in ascending key order.
void ChildMap::set_dense(std::size_t size, const Entry* entries) {
  auto d = std::make_unique<Dense>();
  if (!storable(d.get())) throw std::bad_alloc();
  for (std::size_t i = 0; i < size; ++i) {
    if (entries[i].key < kByteKeys) {
      d->bytes[entries[i].key] = entries[i].child;
    } else {
      d->wide_keys.push_back(entries[i].key);
      d->wide_children.push_back(entries[i].child);
    }
  }
  d->size = size;
  free_storage();
  set(kDense, d.release(), 0);
}

// `entries` are in ascending key order, 1 <= size <= kWideMax.
void ChildMap::set_wide(std::uint32_t size, const Entry* entries) {
  static_assert(sizeof(Wide) + kWideMax * sizeof(Entry) <= node_pool::kLargestSlot);
  auto* list = static_cast<Wide*>(node_pool::allocate(sizeof(Wide) + size * sizeof(Entry)));
  list->size = size;
  list->reserved = 0;
  std::copy(entries, entries + size, list->entries());
  free_storage();
  set(kDense, list, kWideList);
}

// The representation for these entries (ascending, size >= 1).
void ChildMap::set_entries(std::size_t size, const Entry* entries) {
  if (size == 1 && entries[0].key < kOneKeyLimit) {
    free_storage();
    set(kOne, entries[0].child, entries[0].key);
  } else if (size >= 2 && size <= kSmallMax && entries[size - 1].key < kByteKeys) {
    set_small(static_cast<std::uint32_t>(size), entries);
  } else if (size <= kWideMax) {
    set_wide(static_cast<std::uint32_t>(size), entries);
  } else {
    set_dense(size, entries);
  }
}

void ChildMap::adopt_sorted(const Entry* entries, std::size_t count) {
  if (count == 0) return;
  set_entries(count, entries);
}

void ChildMap::add_new(std::uint32_t key, TrieNode* child) {
  switch (kind()) {
    case kEmpty: {
      const Entry entry{key, child};
      set_entries(1, &entry);
      return;
    }
    case kOne: {
      Entry entries[2] = {{aux(), static_cast<TrieNode*>(ptr())}, {key, child}};
      if (entries[1].key < entries[0].key) std::swap(entries[0], entries[1]);
      const std::uint64_t before = word_;
      word_ = 0;  // the single child moves into the new storage; nothing to free
      try {
        set_entries(2, entries);
      } catch (...) {
        word_ = before;
        throw;
      }
      return;
    }
    case kSmall:
      return add_to_small(key, child);
    case kDense:
      return is_wide() ? add_to_wide(key, child) : add_to_dense(key, child);
  }
}

void ChildMap::add_to_small(std::uint32_t key, TrieNode* child) {
  const std::uint32_t size = aux();
  unsigned char* keys = small_keys();
  TrieNode** children = small_children();
  std::uint32_t at = 0;
  while (at < size && keys[at] < key) ++at;
  if (key < kByteKeys && size < kSmallMax && small_capacity(size + 1) == small_capacity(size) &&
      small_key_bytes(size + 1) == small_key_bytes(size)) {
    // Room in the block: shift the larger keys up by one.
    for (std::uint32_t i = size; i > at; --i) {
      keys[i] = keys[i - 1];
      children[i] = children[i - 1];
    }
    keys[at] = static_cast<unsigned char>(key);
    children[at] = child;
    set(kSmall, keys, size + 1);
    return;
  }
  Entry entries[kSmallMax + 1];
  std::uint32_t n = 0;
  for (std::uint32_t i = 0; i < size; ++i) {
    if (i == at) entries[n++] = {key, child};
    entries[n++] = {keys[i], children[i]};
  }
  if (at == size) entries[n++] = {key, child};
  set_entries(n, entries);
}

// A new list with the entry in its place, or a table past kWideMax entries.
void ChildMap::add_to_wide(std::uint32_t key, TrieNode* child) {
  const Wide* list = wide();
  Entry entries[kWideMax + 1];
  std::uint32_t n = 0;
  bool placed = false;
  for (std::uint32_t i = 0; i < list->size; ++i) {
    if (!placed && key < list->entries()[i].key) {
      entries[n++] = {key, child};
      placed = true;
    }
    entries[n++] = list->entries()[i];
  }
  if (!placed) entries[n++] = {key, child};
  set_entries(n, entries);
}

void ChildMap::add_to_dense(std::uint32_t key, TrieNode* child) {
  Dense* d = dense();
  if (key < kByteKeys) {
    d->bytes[key] = child;
  } else {
    auto it = std::lower_bound(d->wide_keys.begin(), d->wide_keys.end(), key);
    const auto at = it - d->wide_keys.begin();
    d->wide_keys.insert(it, key);
    try {
      d->wide_children.insert(d->wide_children.begin() + at, child);
    } catch (...) {
      d->wide_keys.erase(d->wide_keys.begin() + at);
      throw;
    }
  }
  ++d->size;
}

TrieNode& ChildMap::find_or_create(std::uint32_t key) {
  if (TrieNode* found = find(key)) return *found;
  auto child = std::make_unique<TrieNode>();
  add_new(key, child.get());
  return *child.release();
}

void ChildMap::insert(std::uint32_t key, std::unique_ptr<TrieNode> child) {
  // The old subtree is destroyed through a map of its own, so deep subtrees go the iterative way.
  if (TrieNode* old = detach(key)) {
    ChildMap holder;
    holder.add_new(key, old);
  }
  add_new(key, child.get());
  child.release();
}

void ChildMap::erase(std::uint32_t key) {
  if (TrieNode* old = detach(key)) {
    ChildMap holder;
    holder.add_new(key, old);
  }
}

// Never allocates: a small block shrinks in place (it may then hold more room than its size needs),
// and a dense table that would have to become a small block stays dense when that block cannot be
// allocated, which is a valid representation of any size.
TrieNode* ChildMap::detach(std::uint32_t key) noexcept {
  TrieNode* found = nullptr;
  switch (kind()) {
    case kEmpty:
      return nullptr;
    case kOne:
      if (aux() != key) return nullptr;
      found = static_cast<TrieNode*>(ptr());
      word_ = 0;
      return found;
    case kSmall: {
      if (key >= kByteKeys) return nullptr;
      std::uint32_t size = aux();
      unsigned char* keys = small_keys();
      TrieNode** children = small_children();
      std::uint32_t at = 0;
      while (at < size && keys[at] != key) ++at;
      if (at == size) return nullptr;
      found = children[at];
      for (std::uint32_t i = at + 1; i < size; ++i) {
        keys[i - 1] = keys[i];
        children[i - 1] = children[i];
      }
      --size;
      keys[size] = 0;
      if (small_key_bytes(size) != small_key_bytes(size + 1)) {
        // Back to 16 key bytes: the pointers move down in place (the block keeps its room).
        auto* moved = reinterpret_cast<TrieNode**>(keys + small_key_bytes(size));
        std::memmove(moved, children, size * sizeof(TrieNode*));
        children = moved;
      }
      if (size == 1) {
        TrieNode* last = children[0];
        const std::uint32_t last_key = keys[0];
        node_pool::release(keys);
        set(kOne, last, last_key);
      } else {
        set(kSmall, keys, size);
      }
      return found;
    }
    case kDense: {
      if (is_wide()) {
        Wide* list = wide();
        Entry* entries = list->entries();
        std::uint32_t at = 0;
        while (at < list->size && entries[at].key != key) ++at;
        if (at == list->size) return nullptr;
        found = entries[at].child;
        std::copy(entries + at + 1, entries + list->size, entries + at);
        --list->size;
        compact();
        return found;
      }
      Dense* d = dense();
      if (key < kByteKeys) {
        found = d->bytes[key];
        if (found == nullptr) return nullptr;
        d->bytes[key] = nullptr;
      } else {
        auto it = std::lower_bound(d->wide_keys.begin(), d->wide_keys.end(), key);
        if (it == d->wide_keys.end() || *it != key) return nullptr;
        const auto at = it - d->wide_keys.begin();
        found = d->wide_children[static_cast<std::size_t>(at)];
        d->wide_keys.erase(it);
        d->wide_children.erase(d->wide_children.begin() + at);
      }
      --d->size;
      compact();
      return found;
    }
  }
  return nullptr;
}

// A table or a list that lost an entry takes the smaller form its entries allow. Never fails: when
// the new block cannot be allocated, the map keeps its form, which holds any entries.
void ChildMap::compact() noexcept {
  const std::size_t n = size();
  if (n == 0) {
    free_storage();
    return;
  }
  if (n > kSmallMax) return;
  Entry entries[kSmallMax];
  std::size_t count = 0;
  std::size_t pos = 0;
  Entry e;
  while (next(pos, e)) entries[count++] = e;
  if (count == 1 && entries[0].key < kOneKeyLimit) {
    free_storage();
    set(kOne, entries[0].child, entries[0].key);
    return;
  }
  try {
    if (count >= 2 && entries[count - 1].key < kByteKeys) {
      set_small(static_cast<std::uint32_t>(count), entries);
    } else if (!is_wide() && count <= kWideMax) {
      set_wide(static_cast<std::uint32_t>(count), entries);
    }
  } catch (...) {
    // Keeps its form.
  }
}

bool ChildMap::next(std::size_t& pos, Entry& out) const noexcept {
  switch (kind()) {
    case kOne:
      if (pos != 0) return false;
      out = {aux(), static_cast<TrieNode*>(ptr())};
      pos = 1;
      return true;
    case kSmall:
      if (pos >= aux()) return false;
      out = {small_keys()[pos], small_children()[pos]};
      ++pos;
      return true;
    case kDense: {
      if (is_wide()) {
        const Wide* list = wide();
        if (pos >= list->size) return false;
        out = list->entries()[pos++];
        return true;
      }
      const Dense* d = dense();
      while (pos < kByteKeys) {
        const std::size_t at = pos++;
        if (d->bytes[at] != nullptr) {
          out = {static_cast<std::uint32_t>(at), d->bytes[at]};
          return true;
        }
      }
      const std::size_t wide = pos - kByteKeys;
      if (wide >= d->wide_keys.size()) return false;
      out = {d->wide_keys[wide], d->wide_children[wide]};
      ++pos;
      return true;
    }
    default:
      return false;
  }
}

void ChildMap::release_all(std::vector<TrieNode*>& out) {
  std::size_t pos = 0;
  Entry e;
  while (next(pos, e)) out.push_back(e.child);
  if (kind() == kOne) {
    word_ = 0;
  } else {
    free_storage();
  }
}

// A name that fits a pool slot is 4 bytes of length and its bytes; a longer one comes from the C
// heap, with a first word that no short name has.
struct CleanName::Block {
  std::uint32_t size;  // kLongName for a long name
  char bytes[1];
};

namespace {

constexpr std::uint32_t kLongName = 0xFFFFFFFFU;
constexpr std::size_t kShortNameMax = node_pool::kLargestSlot - 4;

struct LongName {
  std::uint32_t marker;  // kLongName
  std::size_t size;
  char bytes[1];
};

}  // namespace

CleanName& CleanName::operator=(CleanName&& other) noexcept {
  if (this != &other) {
    reset();
    bits_ = other.bits_;
    other.bits_ = 0;
  }
  return *this;
}

std::string_view CleanName::view_of_block() const noexcept {
  if (bits_ == 0) return {};
  const Block* block = reinterpret_cast<const Block*>(bits_);
  if (block->size != kLongName) return {block->bytes, block->size};
  const LongName* name = reinterpret_cast<const LongName*>(bits_);
  return {name->bytes, name->size};
}

void CleanName::assign(std::string_view text) {
  std::uintptr_t bits;
  if (kInline && text.size() <= kInlineMax) {
    unsigned char raw[sizeof bits] = {};
    raw[0] = static_cast<unsigned char>(text.size() << 1 | 1U);
    if (!text.empty()) std::memcpy(raw + 1, text.data(), text.size());
    std::memcpy(&bits, raw, sizeof bits);
  } else if (text.size() <= kShortNameMax) {
    auto* block = static_cast<Block*>(node_pool::allocate(offsetof(Block, bytes) + text.size()));
    block->size = static_cast<std::uint32_t>(text.size());
    std::memcpy(block->bytes, text.data(), text.size());
    bits = reinterpret_cast<std::uintptr_t>(block);
  } else {
    auto* name = static_cast<LongName*>(checked_malloc(offsetof(LongName, bytes) + text.size()));
    name->marker = kLongName;
    name->size = text.size();
    std::memcpy(name->bytes, text.data(), text.size());
    bits = reinterpret_cast<std::uintptr_t>(name);
  }
  reset();
  bits_ = bits;
}

void CleanName::reset() noexcept {
  if (bits_ != 0 && !is_inline()) {
    auto* block = reinterpret_cast<Block*>(bits_);
    if (block->size != kLongName) {
      node_pool::release(block);
    } else {
      std::free(block);
    }
  }
  bits_ = 0;
}

static_assert(sizeof(TrieNode) == 16 && alignof(TrieNode) <= node_pool::kSlotAlign);

void* TrieNode::operator new(std::size_t size) {
  if (size != sizeof(TrieNode)) throw std::bad_alloc();
  return node_pool::allocate(sizeof(TrieNode));
}

void TrieNode::operator delete(void* node) noexcept { node_pool::release(node); }

}  // namespace wordsieve
