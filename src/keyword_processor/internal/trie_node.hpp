// The keyword trie: nodes, their child maps and their clean names.
//
// Ownership is strictly a tree: a node owns its children and its clean name, and destroying a node
// destroys its whole subtree. Destruction walks the subtree with an explicit stack, so a trie as deep
// as a million-byte keyword is destroyed without deep recursion.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "keyword_processor/platform_features.hpp"

#if defined(WORDSIEVE_SSE2)
#include <emmintrin.h>
#elif defined(WORDSIEVE_NEON)
#include <arm_neon.h>
#endif

namespace wordsieve {

struct TrieNode;

// Maps a 32-bit key to an owned child node. Keys created by the engine are bytes (0..255); keys above
// 0xFF come only from foreign persisted states and are kept as read.
//
// Most nodes of a keyword trie have one child and a few (the root, the first levels) have many, so
// the map changes representation with its size:
//   * no child:       nothing allocated;
//   * one child, key below 0x10000: key and pointer held in the map itself;
//   * 2..32 children, all keys bytes: one block of the key bytes (16, or 32 past 16 children) and
//     the child pointers, sorted by key; a lookup compares 16 key bytes at once;
//   * up to 17 children, some key above 0xFF (or one key from 0x10000): a sorted list of (key,
//     child) in one block, so that keys only foreign states hold cost no more than bytes do;
//   * anything else: a 256-slot table indexed by byte, plus a sorted list for keys above 0xFF.
// Lookup is constant time in every representation and is inline, since the scans make one per byte.
// Iteration is always in ascending key order, so the persisted form of a trie and the tie-breaking
// order of the fuzzy search depend only on its content.
//
// The whole map is one 64-bit word, so that a node (map and clean name) takes 16 bytes: the
// representation in the low 2 bits, a 16-byte aligned pointer in bits 4 to 47, and the single key or
// the small size in the top 16 bits. Every pointer is checked to fit when it is first stored (user
// space addresses on 64-bit Linux stay below 2^47 unless asked for); one that does not is refused
// like a failed allocation, never truncated.
class ChildMap {
 public:
  struct Entry {
    std::uint32_t key;
    TrieNode* child;
  };

  ChildMap() noexcept = default;
  ChildMap(const ChildMap&) = delete;
  ChildMap& operator=(const ChildMap&) = delete;
  ChildMap(ChildMap&& other) noexcept : word_(other.word_) { other.word_ = 0; }
  ChildMap& operator=(ChildMap&& other) noexcept;
  ~ChildMap();  // destroys every child subtree, iteratively

  std::size_t size() const noexcept {
    switch (kind()) {
      case kOne:
        return 1;
      case kSmall:
        return aux();
      case kDense:
        return dense_size();
      default:
        return 0;
    }
  }
  bool empty() const noexcept { return word_ == 0; }

  // Asks the processor to bring the map's key block into the cache ahead of a lookup or an
  // iteration (walks over many nodes overlap their misses this way).
  void prefetch() const noexcept {
    if (kind() == kSmall || kind() == kDense) __builtin_prefetch(ptr());
  }

  // The child under `key`, or null.
  TrieNode* find(std::uint32_t key) const noexcept {
    const Kind k = kind();
    if (k == kOne) return aux() == key ? static_cast<TrieNode*>(ptr()) : nullptr;
    if (k == kSmall) return key < kByteKeys ? find_small(static_cast<unsigned char>(key)) : nullptr;
    if (k == kDense) return find_dense(key);
    return nullptr;
  }

  // The child under `key`, created empty when there is none.
  TrieNode& find_or_create(std::uint32_t key);

  // Puts `child` under `key`; a child already there is destroyed with its subtree.
  void insert(std::uint32_t key, std::unique_ptr<TrieNode> child);

  // Removes and destroys the child under `key`, if any.
  void erase(std::uint32_t key);

  // Entries in ascending key order. Start with pos = 0; each call stores the next entry and advances
  // pos, and returns false once there is none left.
  bool next(std::size_t& pos, Entry& out) const noexcept;

  // Moves every child pointer onto `out` (the caller takes ownership) and empties the map.
  void release_all(std::vector<TrieNode*>& out);

  // Takes ownership of `count` children whose keys strictly ascend; the map must be empty. For
  // readers that have all children of a node at hand.
  void adopt_sorted(const Entry* entries, std::size_t count);

  // Takes ownership of `child` as the only child of an empty map and returns true, when the key
  // fits the one-child form (it allocates nothing, so it cannot fail); else changes nothing and
  // returns false.
  bool adopt_only(std::uint32_t key, TrieNode* child) noexcept {
    if (word_ != 0 || key >= kOneKeyLimit || !storable(child)) return false;
    set(kOne, child, key);
    return true;
  }

 private:
  struct Dense;
  struct Wide;
  // kDense holds either form of the last two above: the table (aux 0) or the list (aux kWideList).
  enum Kind : std::uint8_t { kEmpty = 0, kOne = 1, kSmall = 2, kDense = 3 };
  static constexpr std::uint32_t kWideList = 1;
  // Keys below this are bytes; the others come only from foreign persisted states.
  static constexpr std::uint32_t kByteKeys = 256;

  static constexpr std::uint32_t kSmallMax = 32;
  static constexpr std::uint32_t kWideMax = 17;
  static constexpr std::uint32_t kOneKeyLimit = 0x10000;
  static constexpr std::uint64_t kPointerBits = 0x0000FFFFFFFFFFF0ULL;
  static constexpr int kAuxShift = 48;

  Kind kind() const noexcept { return static_cast<Kind>(word_ & 3U); }
  void* ptr() const noexcept { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(word_ & kPointerBits)); }
  std::uint32_t aux() const noexcept { return static_cast<std::uint32_t>(word_ >> kAuxShift); }
  // Whether `p` can be stored: 16-byte aligned and below 2^48.
  static bool storable(const void* p) noexcept {
    return (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)) & ~kPointerBits) == 0;
  }
  void set(Kind k, const void* p, std::uint32_t aux_value) noexcept {
    word_ = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)) | k |
            (static_cast<std::uint64_t>(aux_value) << kAuxShift);
  }

  // kSmall storage: the key bytes, padded with zeros to 16 (32 past 16 children) and masked off
  // by the size, then the child pointers; room for small_capacity(size) of them, so the block
  // needs no header.
  static std::uint32_t small_capacity(std::uint32_t size) noexcept;
  static std::size_t small_key_bytes(std::uint32_t size) noexcept { return size <= 16 ? 16 : 32; }
  unsigned char* small_keys() const noexcept { return static_cast<unsigned char*>(ptr()); }
  TrieNode** small_children() const noexcept {
    return reinterpret_cast<TrieNode**>(static_cast<unsigned char*>(ptr()) + small_key_bytes(aux()));
  }
  Dense* dense() const noexcept { return static_cast<Dense*>(ptr()); }
  Wide* wide() const noexcept { return static_cast<Wide*>(ptr()); }
  bool is_wide() const noexcept { return kind() == kDense && aux() == kWideList; }
  std::size_t dense_size() const noexcept;

  TrieNode* find_small(unsigned char key) const noexcept {
    const unsigned char* keys = small_keys();
    const std::uint32_t size = aux();
#if defined(WORDSIEVE_SSE2)
    // Both halves are compared whatever the size: every block is at least 32 bytes, and the bits
    // past the size are masked off, so no branch depends on which layout the block has.
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(key));
    const std::uint64_t low = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys)), wanted)));
    const std::uint64_t high = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16)), wanted)));
    const std::uint64_t mask = (low | high << 16) & ((std::uint64_t{1} << size) - 1U);
    return mask != 0
               ? reinterpret_cast<TrieNode* const*>(keys + small_key_bytes(size))[std::countr_zero(mask)]
               : nullptr;
#elif defined(WORDSIEVE_NEON)
    // The same with NEON, which has no byte mask: each comparison is narrowed to 4 bits a byte.
    const uint8x16_t wanted = vdupq_n_u8(key);
    const auto nibbles = [&](const unsigned char* p) {
      const uint8x16_t equal = vceqq_u8(vld1q_u8(p), wanted);
      return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(equal), 4)), 0);
    };
    std::uint64_t low = nibbles(keys);
    std::uint64_t high = nibbles(keys + 16);
    if (size < 16) low &= (std::uint64_t{1} << (4 * size)) - 1U;
    if (size <= 16) high = 0;
    else if (size < 32) high &= (std::uint64_t{1} << (4 * (size - 16))) - 1U;
    const int index = low != 0 ? std::countr_zero(low) / 4 : high != 0 ? 16 + std::countr_zero(high) / 4 : -1;
    return index >= 0 ? reinterpret_cast<TrieNode* const*>(keys + small_key_bytes(size))[index] : nullptr;
#else
    for (std::uint32_t i = 0; i < size; ++i) {
      if (keys[i] == key) return small_children()[i];
    }
    return nullptr;
#endif
  }
  TrieNode* find_dense(std::uint32_t key) const noexcept;

  void set_small(std::uint32_t size, const Entry* entries);  // replaces the storage (not children)
  void set_dense(std::size_t size, const Entry* entries);    // likewise
  void set_wide(std::uint32_t size, const Entry* entries);   // likewise; size <= kWideMax
  void set_entries(std::size_t size, const Entry* entries);  // the representation for them
  void free_storage() noexcept;  // frees blocks only; the children must have been released
  void add_new(std::uint32_t key, TrieNode* child);  // key must be absent
  void add_to_small(std::uint32_t key, TrieNode* child);  // add_new for each form
  void add_to_wide(std::uint32_t key, TrieNode* child);
  void add_to_dense(std::uint32_t key, TrieNode* child);
  TrieNode* detach(std::uint32_t key) noexcept;      // removes the entry, returns its child
  void compact() noexcept;  // after a removal: the form its entries need, when it can be had

  std::uint64_t word_ = 0;
};

// An optional UTF-8 string in one word: zero when absent, else either a pointer to a heap block or,
// on little-endian machines, up to 7 bytes held in the word itself (its lowest byte, odd, gives the
// length), since most keywords are short. An empty string is present.
class CleanName {
 public:
  CleanName() noexcept = default;
  CleanName(const CleanName&) = delete;
  CleanName& operator=(const CleanName&) = delete;
  CleanName(CleanName&& other) noexcept : bits_(other.bits_) { other.bits_ = 0; }
  CleanName& operator=(CleanName&& other) noexcept;
  ~CleanName() { reset(); }

  bool has_value() const noexcept { return bits_ != 0; }
  // Empty when absent; valid while the name is unchanged. Inline for the short names most are:
  // every match and every candidate test reads one.
  std::string_view view() const noexcept {
    if (is_inline()) return {reinterpret_cast<const char*>(&bits_) + 1, (bits_ & 0xFFU) >> 1};
    return view_of_block();
  }
  void assign(std::string_view text);
  void reset() noexcept;

 private:
  struct Block;
  static constexpr bool kInline = std::endian::native == std::endian::little;
  static constexpr std::size_t kInlineMax = 7;
  bool is_inline() const noexcept { return kInline && (bits_ & 1U) != 0; }
  std::string_view view_of_block() const noexcept;  // view() of a name not held inline

  std::uintptr_t bits_ = 0;
};

// Nodes live in the 16-byte slots of node_pool.hpp; a trie walk reads nodes only.
struct alignas(16) TrieNode {
  ChildMap children;
  CleanName clean_name;

  static void* operator new(std::size_t size);
  static void operator delete(void* node) noexcept;
};

}  // namespace wordsieve
