#include "scan_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "keyword_processor/interrupt.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve {

namespace {

// The filter's hash of a key's first word, read within the key's bytes.
std::uint64_t key_word_hash(std::string_view word) noexcept {
  unsigned char head[8] = {};
  std::memcpy(head, word.data(), std::min<std::size_t>(word.size(), 8));
  return ScanIndex::word_hash(head, word.size());
}

// About 10 to 20 bits per word (the size is a power of two) and at least 512: two bits of a word
// then give "maybe" for one to three words in a hundred that were never inserted.
constexpr std::size_t kFilterBitsPerWord = 10;
constexpr std::size_t kFilterMinBits = 512;

}  // namespace

ScanIndex::ScanIndex(const KeywordProcessor& processor)
    : words_(processor.non_word_boundaries),
      overlaps_(processor.allow_overlaps),
      simd_(best_simd_level()),
      prefixes_(processor.root, simd_) {
  for (unsigned b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    sets_.assign(byte, (overlaps_ || words_.is_boundary(byte)) ? kOpensAfter : 0);
  }
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (processor.root.children.next(pos, entry)) {
    if (entry.key < 256) set_first_byte_row(processor, static_cast<unsigned char>(entry.key));
  }
  if (overlaps_) return;  // every byte starts a match: the filter of words is not used

  // Two walks over the first words, one to count them and size the filter, one to fill it, so
  // that the build leaves nothing behind but the filter.
  std::size_t words = 0;
  for_each_first_word(processor.root, [&](std::uint64_t) { ++words; });
  size_filter(words);
  for_each_first_word(processor.root, [&](std::uint64_t h) { insert_hash(h); });
}

// Calls visit(hash) for the first word of every keyword that begins with a word byte: the nodes
// reached from the root over word bytes only that end a keyword or go on with a boundary byte.
//
// Most nodes of a large trie are in chains of single children, and following a chain is a cache
// miss per node (and another for a node's block of children), each waiting for the one before.
// So the walk follows kLanes paths at once, in rounds: each round first asks for the child blocks
// of every lane's next node (whose own line was asked for when it was pushed), then visits those
// nodes, so that the misses of all lanes overlap. A lane that runs dry takes a frame of the
// fullest one. Each frame carries the first 8 bytes of its path, which is all the hash reads.
template <class Visit>
void ScanIndex::for_each_first_word(const TrieNode& root, Visit&& visit) const {
  struct Frame {
    const TrieNode* node;
    std::uint64_t depth;
    unsigned char head[8];  // the path's first 8 bytes, zero past its end
  };
  constexpr std::size_t kLanes = 8;
  std::vector<Frame> lanes[kLanes];
  const auto push_word_children = [&](std::vector<Frame>& lane, const TrieNode& node, const Frame* parent) {
    std::size_t pos = 0;
    ChildMap::Entry child;
    bool goes_on_with_boundary = false;
    while (node.children.next(pos, child)) {
      if (child.key >= 256) continue;  // never equal to a byte of a text
      if (!words_.is_word(static_cast<unsigned char>(child.key))) {
        goes_on_with_boundary = true;
        continue;
      }
      Frame frame{child.child, 1, {}};
      if (parent != nullptr) {
        frame = *parent;
        frame.node = child.child;
        ++frame.depth;
      }
      if (frame.depth <= 8) frame.head[frame.depth - 1] = static_cast<unsigned char>(child.key);
      __builtin_prefetch(child.child);
      lane.push_back(frame);
    }
    return goes_on_with_boundary;
  };
  push_word_children(lanes[0], root, nullptr);
  for (bool busy = true; busy;) {
    busy = false;
    for (std::vector<Frame>& lane : lanes) {
      if (!lane.empty()) {
        lane.back().node->children.prefetch();
        continue;
      }
      std::vector<Frame>* fullest = &lane;
      for (std::vector<Frame>& other : lanes) {
        if (other.size() > fullest->size()) fullest = &other;
      }
      if (fullest->size() < 2) continue;
      lane.push_back(fullest->front());
      fullest->erase(fullest->begin());  // the oldest frame: likely the root of a large subtree
    }
    for (std::vector<Frame>& lane : lanes) {
      if (lane.empty()) continue;
      busy = true;
      poll_interrupt();  // a build over a large trie can be interrupted: nothing is kept
      const Frame frame = lane.back();
      lane.pop_back();
      if (push_word_children(lane, *frame.node, &frame) || frame.node->clean_name.has_value()) {
        visit(word_hash(frame.head, frame.depth));
      }
    }
  }
}

void ScanIndex::size_filter(std::size_t words) {
  const std::size_t bits = std::bit_ceil(std::max(kFilterMinBits, words * kFilterBitsPerWord));
  filter_.assign(bits / 64, 0);
  filter_shift_ = 64U - static_cast<unsigned>(std::countr_zero(bits / 64));
  bit_shift_ = filter_shift_ - 6;
  filter_words_ = 0;
  // Past this, more than one word in 20 that no keyword begins with answers "maybe".
  filter_capacity_ = bits / 8;
}

void ScanIndex::set_first_byte_row(const KeywordProcessor& processor, unsigned char byte) {
  const TrieNode* child = processor.root.children.find(byte);
  first_step_[byte] = child;
  second_level_ -= row_sizes_[byte];
  std::uint64_t* row = pairs_[byte];
  row[0] = row[1] = row[2] = row[3] = 0;
  row_sizes_[byte] = 0;
  if (child == nullptr) {
    sets_.assign(byte, static_cast<unsigned char>(sets_.of(byte) & ~kFirstByte));
    return;
  }
  sets_.assign(byte, static_cast<unsigned char>(sets_.of(byte) | kFirstByte));
  row_sizes_[byte] = static_cast<std::uint32_t>(child->children.size());
  second_level_ += row_sizes_[byte];
  if (child->clean_name.has_value()) {
    // A keyword of one byte: every second byte may follow.
    row[0] = row[1] = row[2] = row[3] = ~std::uint64_t{0};
    return;
  }
  std::size_t pos = 0;
  ChildMap::Entry second;
  while (child->children.next(pos, second)) {
    if (second.key < 256) row[second.key >> 6] |= std::uint64_t{1} << (second.key & 63);
  }
}

bool ScanIndex::insert_key(std::string_view key) {
  std::size_t length = 0;
  while (length < key.size() && words_.is_word(static_cast<unsigned char>(key[length]))) ++length;
  if (length == 0) return true;  // starts with a boundary byte: such starts are not filtered by word
  return !insert_hash(key_word_hash(key.substr(0, length))) || filter_words_ <= filter_capacity_;
}

bool ScanIndex::insert_hash(std::uint64_t h) noexcept {
  std::uint64_t& word = filter_[h >> filter_shift_];
  const std::uint64_t bits = (std::uint64_t{1} << ((h >> bit_shift_) & 63)) |
                             (std::uint64_t{1} << ((h >> (bit_shift_ - 6)) & 63));
  if ((word & bits) == bits) return false;
  word |= bits;
  ++filter_words_;
  return true;
}

bool ScanIndex::keyword_added(const KeywordProcessor& processor, std::string_view key) {
  if (key.empty()) return true;  // the empty keyword is never found by the exact search
  set_first_byte_row(processor, static_cast<unsigned char>(key[0]));
  prefixes_.add(key);
  return overlaps_ || insert_key(key);
}

bool ScanIndex::keyword_removed(const KeywordProcessor& processor, std::string_view key) {
  if (key.empty()) return true;
  set_first_byte_row(processor, static_cast<unsigned char>(key[0]));
  // The removed keyword's bits stay set: right, only less selective. Rebuilt once as many
  // keywords were removed as half the words the filter holds.
  return overlaps_ || ++removed_ <= filter_words_ / 2 + 16;
}

}  // namespace wordsieve
